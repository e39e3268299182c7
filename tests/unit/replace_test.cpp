// One press of Replace, on an in-memory Windows. Whatever goes wrong, the user must never be left
// without a complete copy of the previous version, and the message must match the disk.
#include <gtest/gtest.h>

#include <cstring>
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
// cut short), +empty, @N (locked until N ms), %N (held by a viewer that lets others only read,
// until N ms), ~N (held with delete sharing until N ms). The package's own files (PE:new PH:new U)
// are there unless the text says "-PE" and so on.
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
            word.substr(key.size() + 1, word.find_first_of("+@~%") - key.size() - 1);
        if (key != "U")
            content = (key.find('H') != std::string::npos ? "help " : "exe ") + content;
        FakeFile& file = files[PathOf(key, package)] = FakeFile{};
        file.bytes = flag("+empty") ? "" : content;
        file.readOnly = flag("+ro");
        if (flag("+motw"))
            file.streams.insert("Zone.Identifier");
        if (flag("+szdd") || flag("+cut"))
            file.bytes = PackSzdd(content).substr(0, flag("+cut") ? 15 : std::string::npos);
        for (const auto& [mark, until] : {std::pair{'@', &FakeFile::lockedUntil},
                                          {'%', &FakeFile::viewedUntil},
                                          {'~', &FakeFile::heldUntil}})
            if (const auto at = word.find(mark); at != std::string::npos)
                file.*until = std::stoul(word.substr(at + 1));
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

// The package as the vendor shipped it: the updater carries the sums of its packed files, or of
// the same bytes under other names.
enum Sums { kNoSums, kShipped, kOtherNames };
const std::wstring kPkg = L"C:\\Package";
void Ship(FakePlatform& fake, bool otherNames = false)
{
    for (const char* key : {"PE", "PH"}) {
        const std::wstring path = PathOf(key, fake.packageFolder);
        std::string name(path.begin() + path.find_last_of(L'\\') + 1, path.end());
        if (otherNames)
            name.back() = 'x'; // as long as the right name
        if (fake.files.count(path))
            fake.sums += FakePlatform::HexSha256(fake.files[path].bytes) + "  " + name + "\n";
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
// messages, and after every press: each installed file's previous version is installed or in its
// backup, byte for byte; after a failure both installed names are as before the press, after a
// success both hold the new version, and no ".new" file is left either way; everything the update
// wrote is a plain file, and it holds no file or key open. `after`, when given, is the whole disk
// after the last press.
void Press(FakePlatform& fake, const std::string& outcomes, const char* after = nullptr,
           const std::string& newExe = "exe new")
{
    const auto before = Contents(fake.files);
    std::vector<std::wstring> messages;
    fake.messages.clear();
    fake.sessionEndBlockedAtMessage.clear();
    fake.renamesUnflushedAtMessage.clear();
    for (const char outcome : outcomes) {
        const auto last = Contents(fake.files);
        const R expected = outcome == 'U' ? R::Updated : outcome == 'F' ? R::Failed : R::Refused;
        EXPECT_EQ(UpdateInstallation(fake, kInstallation), expected);
        messages.push_back(outcome == 'U' ? kSuccess : outcome == 'F' ? kFailure : kRefusal);
        const auto now = Contents(fake.files);
        const auto has = [&now](const std::wstring& path, const std::string& bytes) {
            return now.count(path) && now.at(path) == bytes;
        };
        for (const auto& [key, bytes] : Previous(before))
            EXPECT_TRUE(has(PathOf(key), bytes) || has(PathOf(key) + L".backup", bytes))
                << key << " lost its previous version";
        for (const auto& [key, updated] : {std::pair{"E", newExe}, {"H", "help new"}}) {
            if (outcome == 'R')
                break; // the refusal touches nothing; `after` tells
            const std::wstring path = PathOf(key);
            const bool kept = last.count(path) ? has(path, last.at(path)) : !now.count(path);
            EXPECT_TRUE(outcome == 'U' ? has(path, updated) : kept)
                << key << (outcome == 'U' ? " is not the new version" : " changed, not updated");
            EXPECT_FALSE(now.count(path + L".new")) << key << ".new left behind";
        }
    }
    EXPECT_EQ(fake.messages, messages);
    EXPECT_EQ(fake.sessionEndBlockedAtMessage, std::vector<bool>(outcomes.size(), false));
    for (std::size_t i = 0; i < outcomes.size(); ++i)
        EXPECT_FALSE(outcomes[i] == 'U' && fake.renamesUnflushedAtMessage.at(i))
            << "success told before the renames were on the disk";
    if (after) {
        auto expected = Files(after, fake.packageFolder);
        EXPECT_EQ(Contents(fake.files), Contents(expected));
    }
    EXPECT_EQ(fake.openKeys, 0);
    EXPECT_FALSE(fake.heldAtMessage) << "a file held open while the user reads the message";
    for (const auto& [path, file] : fake.files) {
        const bool written = !before.count(path) || before.at(path) != file.bytes;
        EXPECT_FALSE(written && (file.readOnly || !file.streams.empty())) << "not a plain file";
    }
}

const char* const kWorn = "E:old H:old EB:older HB:older SE:stale SH:stale EN:half HN:half";
const char* const kUpdated = "E:new H:new EB:old HB:old";

// Whole presses in situations a user meets, and faults of every kind the disk can show.
TEST(Replace, EndsAllOldOrAllNewWithTheMessageThatSaysWhich)
{
    const struct {
        const char* name;
        const char* start;
        const char* presses;
        const char* after = nullptr; // the whole disk; by default only the checks of Press
        std::vector<std::pair<Op, const char*>> faults = {};
        std::wstring package = kPkg;
        const char* changedAfterShipping = "";
        Sums sums = kShipped; // the packed files' sums the updater carries
    } cases[] = {
        {"first update", "E:old H:old", "U", kUpdated},
        {"older backups, stale copies, half-written new files", kWorn, "U", kUpdated},
        {"no help file installed", "E:old", "U", "E:new H:new EB:old"},
        {"package at a drive root", "E:old H:old", "U", kUpdated, {}, L"E:\\"},
        {"run again after success", kUpdated, "UU", kUpdated},
        {"interrupted after korv5.exe was moved aside", "EB:old H:old HB:older", "U", kUpdated},
        {"interrupted after korv5.exe was replaced", "E:new EB:old H:old HB:older", "U", kUpdated},
        {"updater started alone", "E:old H:old -PE -PH", "FF", "E:old H:old -PE -PH"},
        {"korv.hl_ missing", "E:old H:old EB:older HB:older -PH", "F",
         "E:old H:old EB:older HB:older -PH"},
        {"SZDD packed files", "E:old H:old PE:new+szdd PH:new+szdd", "U",
         "E:new H:new EB:old HB:old PE:new+szdd PH:new+szdd"},
        {"SZDD file cut short", "E:old H:old PE:new+cut", "F"},
        {"empty packed korv5.exe", "E:old H:old PE:new+empty", "F"},
        {"one byte of korv5.ex_ changed", "E:old H:old", "F", nullptr, {}, kPkg, "PE:nEw"},
        {"sums of other files", "E:old H:old", "F", nullptr, {}, kPkg, "", kOtherNames},
        {"a build without sums installs what it finds",
         "E:old H:old",
         "U",
         nullptr,
         {},
         kPkg,
         "PE:nEw",
         kNoSums},
        {"unreadable korv5.ex_, no sums",
         kWorn,
         "F",
         nullptr,
         {{Op::Read, "PE"}},
         kPkg,
         "",
         kNoSums},
        // A CD, or an archive that keeps attributes, of a download with its Mark of the Web.
        {"read-only packed files", "E:old H:old PE:new+ro+motw PH:new+ro+motw", "U", kUpdated},
        {"read-only old backup", "E:old H:old EB:older+ro", "U", kUpdated},
        {"old backup held by a scanner", "E:old H:old EB:older~300", "U", kUpdated},
        {"half-written new file held by a scanner", "E:old H:old EN:half~300", "U", kUpdated},
        {"package unpacked into the installation",
         "E:old H:old",
         "FF",
         "E:old H:old",
         {},
         L"C:\\Korvane"},
        {"the installation by another drive letter",
         "E:old H:old",
         "FF",
         "E:old H:old",
         {},
         L"F:\\"},
        {"korv5.exe locked for 300 ms", "E:old@300 H:old", "U", kUpdated},
        {"korv.hlp open in a viewer for 1.9 s", "E:old H:old%1900", "U", kUpdated},
        {"korv5.exe locked for good", "E:old@99999 H:old", "F"},
        {"korv5.exe open in a viewer", "E:old%99999 H:old", "F", "E:old%99999 H:old"},
        {"korv.hlp open in a viewer", "E:old H:old%99999", "F"},
        {"korv5.exe whose presence cannot be read", kWorn, "F", nullptr, {{Op::Open, "E"}}},
        // The package on a CD: the stale copies' tidy-up fails, and does not matter.
        {"stale copies that cannot go", kWorn, "U", nullptr, {{Op::Delete, "SE"}}},
        {"unreadable korv5.ex_", kWorn, "F", nullptr, {{Op::Read, "PE"}}},
        {"unreadable korv.hl_", kWorn, "F", nullptr, {{Op::Open, "PH"}}},
        {"no write access", kWorn, "F", nullptr, {{Op::Write, "EN"}}},
        {"korv.hlp.new not flushed", kWorn, "F", nullptr, {{Op::Flush, "HN"}}},
        {"installation folder not flushed", kWorn, "F", nullptr, {{Op::Flush, "C:\\Korvane\\"}}},
        {"older backup that cannot go", kWorn, "F", nullptr, {{Op::Delete, "HB"}}},
        // A rename failing at each position of the swap: those done before it are undone.
        {"korv5.exe cannot move aside", kWorn, "F", nullptr, {{Op::Rename, "E"}}},
        {"korv5.exe.new cannot take its place", kWorn, "F", nullptr, {{Op::Rename, "EN"}}},
        {"korv.hlp cannot move aside", kWorn, "F", nullptr, {{Op::Rename, "H"}}},
        {"korv.hlp.new cannot take its place", kWorn, "F", nullptr, {{Op::Rename, "HN"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform fake;
        fake.packageFolder = c.package;
        fake.sameFolderAs[L"f:\\"] = L"c:\\korvane\\"; // subst F: C:\Korvane
        fake.files = Files(c.start, c.package);
        if (c.sums != kNoSums)
            Ship(fake, c.sums == kOtherNames);
        Put(fake.files, c.changedAfterShipping, c.package);
        for (const auto& [op, path] : c.faults)
            fake.faults.insert(
                {op, path[1] == ':' ? std::wstring(path, path + std::strlen(path)) : PathOf(path)});
        Press(fake, c.presses, c.after, c.sums == kNoSums ? "exe nEw" : "exe new");
        // Only locks are waited out: every other failure is final at once.
        EXPECT_TRUE(std::strpbrk(c.start, "@%~") || fake.now == fake.start);
    }

    // The disk full at every byte of the two new files, then with just enough room.
    const std::size_t needed = std::string("exe new").size() + std::string("help new").size();
    for (std::size_t room = 0; room <= needed; ++room) {
        SCOPED_TRACE(testing::Message() << room << " bytes free");
        FakePlatform full;
        full.files = Files("E:old H:old", full.packageFolder);
        full.freeBytes = room;
        Press(full, room < needed ? "F" : "U");
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
