// One press of Replace, on an in-memory Windows. Whatever goes wrong, the user must never be left
// without a complete copy of the previous version, and the message must match the disk.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/unit/fake_platform.h"
#include "update/replace.h"

namespace kv {
namespace {

using test::FakeFile;
using test::FakePlatform;
using test::Op;
using R = ReplaceOutcome;

const std::wstring kSuccess = L"Old Version was successfully updated!";
const std::wstring kFailure =
    L"Error! Problems were encountered during the upgrade. Deinstall the old Korvane version and "
    L"do a new installation of the current version, which is available at "
    L"https://www.korvane.example/";
const std::wstring kRefusal =
    L"Error!!! Can't use the Family Version update on this computer, because it has the "
    L"administration version of Korvane installed. In order to update Korvane on this computer "
    L"use the Business Version update!";
const Installation kInstallation{L"C:\\Korvane\\korv5.exe", L"C:\\Korvane\\korv.hlp"};

std::wstring PathOf(const std::string& key, std::wstring package = L"C:\\Package")
{
    if (package.back() != L'\\')
        package += L'\\';
    const std::wstring& exe = kInstallation.exePath;
    const std::wstring& help = kInstallation.helpPath;
    const std::map<std::string, std::wstring> paths = {{"E", exe},
                                                       {"EB", exe + L".backup"},
                                                       {"EN", exe + L".new"},
                                                       {"H", help},
                                                       {"HB", help + L".backup"},
                                                       {"HN", help + L".new"},
                                                       {"SE", package + L"korv5.exe"},
                                                       {"SH", package + L"korv.hlp"},
                                                       {"PE", package + L"korv5.ex_"},
                                                       {"PH", package + L"korv.hl_"},
                                                       {"U", package + L"KVUp511f.exe"}};
    return paths.at(key);
}

std::string PackSzdd(const std::string& data) // every byte a literal
{
    std::string out("SZDD\x88\xF0\x27\x33"
                    "Ae",
                    10);
    for (int shift = 0; shift < 32; shift += 8)
        out += static_cast<char>((data.size() >> shift) & 0xFF);
    for (std::size_t i = 0; i < data.size(); i += 8)
        out += '\xFF' + data.substr(i, 8);
    return out;
}

// "E:old H:new+ro": korv5.exe holds the old executable, korv.hlp the new help file and is
// read-only. Flags: +ro, +motw (the download's Mark of the Web), +szdd (packed), +cut (packed and
// cut short), +empty, @N (locked until N ms), ~N (held with delete sharing until N ms). The
// package's own files (PE:new PH:new U) are there unless the text says "-PE" and so on.
void Put(std::map<std::wstring, FakeFile>& files, const std::string& text,
         const std::wstring& package)
{
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (word[0] == '-') {
            files.erase(PathOf(word.substr(1), package));
            continue;
        }
        const std::string key = word.substr(0, word.find(':'));
        const auto flag = [&](const char* name) { return word.find(name) != std::string::npos; };
        std::string content =
            word.substr(key.size() + 1, word.find_first_of("+@~") - key.size() - 1);
        if (key != "U")
            content = (key.find('H') != std::string::npos ? "help " : "exe ") + content;
        FakeFile& file = files[PathOf(key, package)] = FakeFile{};
        file.bytes = flag("+empty") ? "" : content;
        file.readOnly = flag("+ro");
        if (flag("+motw"))
            file.streams.insert("Zone.Identifier");
        if (flag("+szdd") || flag("+cut"))
            file.bytes = PackSzdd(content).substr(0, flag("+cut") ? 15 : std::string::npos);
        if (const auto at = word.find('@'); at != std::string::npos)
            file.lockedUntil = std::stoul(word.substr(at + 1));
        if (const auto at = word.find('~'); at != std::string::npos)
            file.heldUntil = std::stoul(word.substr(at + 1));
    }
}

std::map<std::wstring, FakeFile> Files(const std::string& text, const std::wstring& package)
{
    std::map<std::wstring, FakeFile> files;
    Put(files, "PE:new PH:new U:updater " + text, package);
    return files;
}

std::map<std::wstring, std::string> Contents(const std::map<std::wstring, FakeFile>& files)
{
    std::map<std::wstring, std::string> contents;
    for (const auto& [path, file] : files)
        contents[path] = file.bytes;
    return contents;
}

// The package as the vendor shipped it: the updater carries the sums of its packed files.
void Ship(FakePlatform& fake)
{
    for (const char* key : {"PE", "PH"}) {
        const std::wstring path = PathOf(key, fake.packageFolder);
        if (fake.files.count(path))
            fake.sums += FakePlatform::HexSha256(fake.files[path].bytes) + "  " +
                         std::string(path.begin() + path.find_last_of(L'\\') + 1, path.end()) +
                         "\n";
    }
}

// Each installed file's version from before the first press: installed, or in the backup an
// interrupted update left.
std::map<std::string, std::string> Previous(const std::map<std::wstring, std::string>& files)
{
    std::map<std::string, std::string> previous;
    for (const char* key : {"E", "H"}) {
        for (const std::wstring& path : {PathOf(key), PathOf(key) + L".backup"})
            if (files.count(path) && !previous.count(key))
                previous[key] = files.at(path);
    }
    return previous;
}

// Presses Replace once per outcome letter (U updated, F failed, R refused) and checks the
// messages, the files afterwards (unless `after` is null), that after every press each installed
// file's previous version is installed or in its backup, byte for byte, that everything the update
// wrote is a plain file, and that nothing is left in a private folder.
void Press(FakePlatform& fake, const std::string& outcomes, const char* after)
{
    const auto before = Contents(fake.files);
    std::vector<std::wstring> messages;
    fake.messages.clear();
    fake.sessionEndBlockedAtMessage.clear();
    for (const char outcome : outcomes) {
        const R expected = outcome == 'U' ? R::Updated : outcome == 'F' ? R::Failed : R::Refused;
        EXPECT_EQ(UpdateInstallation(fake, kInstallation), expected);
        messages.push_back(outcome == 'U' ? kSuccess : outcome == 'F' ? kFailure : kRefusal);
        const auto now = Contents(fake.files);
        for (const auto& [key, bytes] : Previous(before)) {
            const auto has = [&](const std::wstring& path) {
                return now.count(path) && now.at(path) == bytes;
            };
            EXPECT_TRUE(has(PathOf(key)) || has(PathOf(key) + L".backup"))
                << key << " lost its previous version";
        }
    }
    EXPECT_EQ(fake.messages, messages);
    EXPECT_EQ(fake.sessionEndBlockedAtMessage, std::vector<bool>(outcomes.size(), false));
    if (after) {
        auto expected = Files(after, fake.packageFolder);
        EXPECT_EQ(Contents(fake.files), Contents(expected));
    }
    EXPECT_EQ(fake.openKeys, 0);
    EXPECT_TRUE(fake.privateFolders.empty());
    for (const auto& [path, file] : fake.files) {
        const bool written = !before.count(path) || before.at(path) != file.bytes;
        EXPECT_FALSE(written && (file.readOnly || !file.streams.empty())) << "not a plain file";
    }
}

const char* const kWorn = "E:old H:old EB:older HB:older SE:stale SH:stale";
const char* const kUpdated = "E:new H:new EB:old HB:old";
const char* const kPrepared = "E:old H:old EB:older HB:older SE:new SH:new";

// Each file step failing, for two presses; nothing is retried, since only locks clear by
// themselves.
TEST(Replace, EveryFileStepFailingLeavesAKnownAndSafeState)
{
    const struct {
        std::size_t step;
        std::vector<std::pair<Op, const char*>> faults;
        const char* start;
        const char* presses;
        const char* after;
    } cases[] = {
        // A stale copy that cannot go is overwritten anyway; the final clean-up then fails.
        {0, {{Op::Delete, "SE"}}, kWorn, "F", "E:new H:new EB:old HB:old SE:new SH:new"},
        {1, {{Op::Delete, "SH"}}, kWorn, "F", "E:new H:new EB:old HB:old SH:new"},
        // A half-written file an interrupted run left beside the installed one is overwritten.
        {2, {{Op::Delete, "EN"}}, "E:old H:old EN:half", "U", kUpdated},
        {3, {{Op::Delete, "HN"}}, "E:old H:old HN:half", "U", kUpdated},
        // A package fault leaves the installation as it was.
        {4, {{Op::Read, "PE"}}, kWorn, "F", "E:old H:old EB:older HB:older"},
        {4, {{Op::Open, "PE"}}, kWorn, "F", "E:old H:old EB:older HB:older"},
        {4, {{Op::Close, "SE"}}, kWorn, "F", "E:old H:old EB:older HB:older"},
        {5, {{Op::Read, "PH"}}, kWorn, "F", "E:old H:old EB:older HB:older SE:new"},
        // An older backup that cannot go blocks its file's move aside.
        {6, {{Op::Delete, "EB"}}, kWorn, "F", kPrepared},
        // A file whose presence cannot be read is not taken for absent.
        {6, {{Op::Attributes, "E"}, {Op::Rename, "E"}}, kWorn, "F", kPrepared},
        {7, {{Op::Rename, "E"}}, kWorn, "F", "E:old H:old HB:older SE:new SH:new"},
        {8, {{Op::Write, "EN"}}, kWorn, "F", "EB:old H:old HB:older SE:new SH:new"},
        {8, {{Op::Flush, "EN"}}, kWorn, "F", "EB:old H:old HB:older SE:new SH:new"},
        {8, {{Op::Rename, "EN"}}, kWorn, "F", "EB:old H:old HB:older SE:new SH:new"},
        {8, {{Op::Close, "EN"}}, kWorn, "F", "EB:old H:old HB:older SE:new SH:new"},
        // The staged copy changed between its check and its install.
        {8, {{Op::Tamper, "SE"}}, kWorn, "F", "EB:old H:old HB:older SE:new! SH:new"},
        {9, {{Op::Delete, "HB"}}, kWorn, "F", "E:new EB:old H:old HB:older SE:new SH:new"},
        {10, {{Op::Rename, "H"}}, kWorn, "F", "E:new EB:old H:old SE:new SH:new"},
        {11, {{Op::Write, "HN"}}, kWorn, "F", "E:new EB:old HB:old SE:new SH:new"},
        {12, {{Op::Delete, "SE"}}, "E:old H:old", "F", "E:new H:new EB:old HB:old SE:new SH:new"},
        {13, {{Op::Delete, "SH"}}, "E:old H:old", "F", "E:new H:new EB:old HB:old SH:new"},
    };
    std::set<std::size_t> covered;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "step " << c.step << ": " << UpdateSteps()[c.step].name);
        covered.insert(c.step);
        FakePlatform fake;
        fake.files = Files(c.start, fake.packageFolder);
        Ship(fake);
        for (const auto& [op, path] : c.faults)
            fake.faults.insert({op, PathOf(path)});
        Press(fake, c.presses, c.after);
        Press(fake, c.presses, nullptr);
        EXPECT_EQ(fake.now, fake.start);
    }
    EXPECT_EQ(covered.size(), UpdateSteps().size());
}

// Whole presses in situations a user meets.
TEST(Replace, SituationsEndWithTheFilesTheUserIsTold)
{
    const struct {
        const char* name;
        const char* start;
        std::wstring package;
        const char* presses;
        const char* after;
        const char* changedAfterShipping = "";
        bool shipped = true; // the updater carries the packed files' sums
    } cases[] = {
        {"first update", "E:old H:old", L"C:\\Package", "U", kUpdated},
        {"older backups, stale copies", kWorn, L"C:\\Package", "U", kUpdated},
        {"no help file installed", "E:old", L"C:\\Package", "U", "E:new H:new EB:old"},
        {"package at a drive root", "E:old H:old", L"E:\\", "U", kUpdated},
        {"run again after success", kUpdated, L"C:\\Package", "UU", kUpdated},
        {"interrupted after korv5.exe was moved aside", "EB:old H:new HB:old", L"C:\\Package", "U",
         kUpdated},
        {"updater started alone", "E:old H:old -PE -PH", L"C:\\Package", "FF",
         "E:old H:old -PE -PH"},
        {"korv.hl_ missing", "E:old H:old EB:older HB:older -PH", L"C:\\Package", "F",
         "E:old H:old EB:older HB:older SE:new -PH"},
        {"SZDD packed files", "E:old H:old PE:new+szdd PH:new+szdd", L"C:\\Package", "U",
         "E:new H:new EB:old HB:old PE:new+szdd PH:new+szdd"},
        {"SZDD file cut short", "E:old H:old PE:new+cut", L"C:\\Package", "F",
         "E:old H:old PE:new+cut"},
        {"empty packed korv5.exe", "E:old H:old PE:new+empty", L"C:\\Package", "F",
         "E:old H:old PE:new+empty"},
        {"one byte of korv5.ex_ changed", "E:old H:old", L"C:\\Package", "F", "E:old H:old PE:nEw",
         "PE:nEw"},
        {"a build without sums installs what it finds", "E:old H:old", L"C:\\Package", "U",
         "E:nEw H:new EB:old HB:old PE:nEw", "PE:nEw", false},
        // A CD, or an archive that keeps attributes, of a download with its Mark of the Web.
        {"read-only packed files", "E:old H:old PE:new+ro+motw PH:new+ro+motw", L"C:\\Package", "U",
         kUpdated},
        {"read-only old backup", "E:old H:old EB:older+ro", L"C:\\Package", "U", kUpdated},
        {"old backup held by a scanner", "E:old H:old EB:older~300", L"C:\\Package", "U", kUpdated},
        {"package unpacked into the installation", "E:old H:old", L"C:\\Korvane", "FF",
         "E:old H:old"},
        {"the installation by another drive letter", "E:old H:old", L"F:\\", "FF", "E:old H:old"},
        {"korv5.exe locked for 300 ms", "E:old@300 H:old", L"C:\\Package", "U", kUpdated},
        {"korv.hlp locked for 1.9 s", "E:old H:old@1900", L"C:\\Package", "U", kUpdated},
        {"korv5.exe locked for good", "E:old@99999 H:old", L"C:\\Package", "F",
         "E:old H:old SE:new SH:new"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform fake;
        fake.packageFolder = c.package;
        fake.sameFolderAs[L"f:\\"] = L"c:\\korvane\\"; // subst F: C:\Korvane
        fake.files = Files(c.start, c.package);
        if (c.shipped)
            Ship(fake);
        Put(fake.files, c.changedAfterShipping, c.package);
        Press(fake, c.presses, c.after);
    }

    // The staged copies go to a private folder instead, which goes when the run ends.
    for (const auto& [start, presses, after] :
         {std::tuple{"E:old H:old", "U", kUpdated}, {"E:old H:old -PH", "F", "E:old H:old -PH"}}) {
        FakePlatform readOnlyMedium;
        readOnlyMedium.files = Files(start, readOnlyMedium.packageFolder);
        readOnlyMedium.readOnlyFolders.insert(L"C:\\Package");
        Press(readOnlyMedium, presses, after);
    }

    FakePlatform administration;
    administration.files = Files(kWorn, administration.packageFolder);
    administration.PutValue(L"SOFTWARE\\Zelvaric\\", L"Value32", std::string("\2\0\0\0", 4), 4);
    administration.writeProtectedKeys.insert(L"SOFTWARE\\Zelvaric\\");
    Press(administration, "RR", kWorn);
}

// The machine stops dead after each change the update makes to the disk, in turn; what was not
// flushed may be lost. Then the user starts the updater again and presses Replace.
TEST(Replace, AnInterruptionAnywhereIsFinishedByTheNextStart)
{
    const auto worn = [] {
        FakePlatform fake;
        fake.files = Files(kWorn, fake.packageFolder);
        fake.PutValue(L"SOFTWARE\\Quillmarsh\\Korvane\\", L"Help_Dir",
                      std::string("C:\\Korvane\0", 11));
        Ship(fake);
        return fake;
    };
    FakePlatform whole = worn();
    ASSERT_EQ(UpdateInstallation(whole, kInstallation), R::Updated);
    ASSERT_GT(whole.changes, 10);

    for (int cut = 1; cut <= whole.changes; ++cut) {
        SCOPED_TRACE(testing::Message() << "power cut after change " << cut);
        FakePlatform fake = worn();
        fake.cutAfterChanges = cut;
        EXPECT_THROW(UpdateInstallation(fake, kInstallation), test::PowerCut);
        EXPECT_TRUE(fake.sessionEndBlockedAtCut) << "Windows was free to end the session here";
        fake.Restart();
        const auto now = Contents(fake.files);
        for (const char* kind : {"exe ", "help "}) {
            const std::wstring installed = PathOf(kind[0] == 'e' ? "E" : "H");
            const bool complete =
                now.count(installed) && (now.at(installed) == kind + std::string("old") ||
                                         now.at(installed) == kind + std::string("new"));
            const bool aside = !now.count(installed) && now.count(installed + L".backup") &&
                               now.at(installed + L".backup") == kind + std::string("old");
            EXPECT_TRUE(complete || aside) << kind << "is neither complete nor safely aside";
        }

        const std::optional<Installation> found = LocateInstallation(fake);
        ASSERT_TRUE(found);
        Press(fake, "U", kUpdated);
    }
}

} // namespace
} // namespace kv
