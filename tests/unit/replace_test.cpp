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
    const std::map<std::string, std::wstring> paths = {
        {"E", kInstallation.exePath},    {"EB", kInstallation.exePath + L".backup"},
        {"H", kInstallation.helpPath},   {"HB", kInstallation.helpPath + L".backup"},
        {"SE", package + L"korv5.exe"},  {"SH", package + L"korv.hlp"},
        {"PE", package + L"korv5.ex_"},  {"PH", package + L"korv.hl_"},
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
// cut short), @N (locked until N ms). The package's own files (PE:new PH:new U) are there unless
// the text says "-PE" and so on.
std::map<std::wstring, FakeFile> Files(const std::string& text, const std::wstring& package)
{
    std::map<std::wstring, FakeFile> files;
    std::istringstream words("PE:new PH:new U:updater " + text);
    for (std::string word; words >> word;) {
        if (word[0] == '-') {
            files.erase(PathOf(word.substr(1), package));
            continue;
        }
        const std::string key = word.substr(0, word.find(':'));
        std::string content =
            word.substr(key.size() + 1, word.find_first_of("+@") - key.size() - 1);
        if (key != "U")
            content = (key.find('H') != std::string::npos ? "help " : "exe ") + content;
        FakeFile& file = files[PathOf(key, package)] = FakeFile{};
        file.bytes = content;
        file.readOnly = word.find("+ro") != std::string::npos;
        if (word.find("+motw") != std::string::npos)
            file.streams.insert("Zone.Identifier");
        if (word.find("+szdd") != std::string::npos || word.find("+cut") != std::string::npos)
            file.bytes =
                PackSzdd(content).substr(0, word.find("+cut") != std::string::npos ? 15 : -1);
        if (const auto at = word.find('@'); at != std::string::npos)
            file.lockedUntil = std::stoul(word.substr(at + 1));
    }
    return files;
}

std::map<std::wstring, std::string> Contents(const std::map<std::wstring, FakeFile>& files)
{
    std::map<std::wstring, std::string> contents;
    for (const auto& [path, file] : files)
        contents[path] = file.bytes;
    return contents;
}

// Presses Replace once per outcome letter (U updated, F failed, R refused) and checks the
// messages, the files afterwards (unless `after` is null), that each installed file's previous
// version is at its place, in its backup or replaced by the new one, and that everything the
// update wrote is a plain file.
void Press(FakePlatform& fake, const std::string& outcomes, const char* after)
{
    const auto before = Contents(fake.files);
    std::vector<std::wstring> messages;
    fake.messages.clear();
    for (const char outcome : outcomes) {
        const R expected = outcome == 'U' ? R::Updated : outcome == 'F' ? R::Failed : R::Refused;
        EXPECT_EQ(UpdateInstallation(fake, kInstallation), expected);
        messages.push_back(outcome == 'U' ? kSuccess : outcome == 'F' ? kFailure : kRefusal);
        const auto now = Contents(fake.files);
        const auto has = [&](const std::wstring& path, const std::string& bytes) {
            return now.count(path) && now.at(path) == bytes;
        };
        for (const char* key : {"E", "H"}) {
            const std::string kind = key[0] == 'E' ? "exe " : "help ";
            const std::wstring path = PathOf(key);
            EXPECT_TRUE(!before.count(path) || has(path, kind + "old") || has(path, kind + "new") ||
                        has(path + L".backup", kind + "old"))
                << key << " lost its previous version";
        }
    }
    EXPECT_EQ(fake.messages, messages);
    if (after) {
        EXPECT_EQ(Contents(fake.files), Contents(Files(after, fake.packageFolder)));
    }
    EXPECT_EQ(fake.openKeys, 0);
    for (const auto& [path, file] : fake.files) {
        const bool written = !before.count(path) || before.at(path) != file.bytes;
        EXPECT_FALSE(written && (file.readOnly || !file.streams.empty())) << "not a plain file";
    }
}

const char* const kWorn = "E:old H:old EB:older HB:older SE:stale SH:stale";
const char* const kUpdated = "E:new H:new EB:old HB:old";

// Each file step failing, from a worn installation (older backups, stale staged copies), for two
// presses; nothing is retried, since only locks clear by themselves.
TEST(Replace, EveryFileStepFailingLeavesAKnownAndSafeState)
{
    const struct {
        std::size_t step;
        Op op;
        const char* path;
        const char* after;
    } cases[] = {
        // An older backup that cannot go blocks its file's move aside: stop before any install.
        {0, Op::Delete, "EB", "E:old H:old EB:older SE:stale SH:stale"},
        {1, Op::Delete, "HB", "EB:old H:old HB:older SE:stale SH:stale"},
        {2, Op::Rename, "E", "E:old H:old SE:stale SH:stale"},
        {3, Op::Rename, "H", "EB:old H:old SE:stale SH:stale"},
        // A stale copy that cannot go is overwritten anyway; the final clean-up then fails.
        {4, Op::Delete, "SE", "E:new H:new EB:old HB:old SE:new SH:new"},
        {5, Op::Delete, "SH", "E:new H:new EB:old HB:old SH:new"},
        {6, Op::Read, "PE", "EB:old HB:old"},
        {6, Op::Write, "SE", "EB:old HB:old"},
        {6, Op::Close, "SE", "EB:old HB:old"},
        {7, Op::Read, "PH", "EB:old HB:old SE:new"},
        {8, Op::Copy, "E", "EB:old HB:old SE:new SH:new"},
        {9, Op::Copy, "H", "E:new EB:old HB:old SE:new SH:new"},
        {10, Op::Delete, "SE", "E:new H:new EB:old HB:old SE:new SH:new"},
        {11, Op::Delete, "SH", "E:new H:new EB:old HB:old SH:new"},
    };
    std::set<std::size_t> covered;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "step " << c.step << ": " << UpdateSteps()[c.step].name);
        covered.insert(c.step);
        FakePlatform fake;
        fake.files = Files(kWorn, fake.packageFolder);
        fake.faults.insert({c.op, PathOf(c.path)});
        Press(fake, "F", c.after);
        Press(fake, "F", nullptr);
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
    } cases[] = {
        {"first update", "E:old H:old", L"C:\\Package", "U", kUpdated},
        {"older backups, stale copies", kWorn, L"C:\\Package", "U", kUpdated},
        {"no help file installed", "E:old", L"C:\\Package", "U", "E:new H:new EB:old"},
        {"package at a drive root", "E:old H:old", L"E:\\", "U", kUpdated},
        {"packed korv5.exe missing", "E:old H:old -PE", L"C:\\Package", "FF", "EB:old HB:old -PE"},
        {"SZDD packed files", "E:old H:old PE:new+szdd PH:new+szdd", L"C:\\Package", "U",
         "E:new H:new EB:old HB:old PE:new+szdd PH:new+szdd"},
        {"SZDD file cut short", "E:old H:old PE:new+cut", L"C:\\Package", "F",
         "EB:old HB:old PE:new+cut"},
        // A CD, or an archive that keeps attributes, of a download with its Mark of the Web.
        {"read-only packed files", "E:old H:old PE:new+ro+motw PH:new+ro+motw", L"C:\\Package", "U",
         kUpdated},
        {"read-only old backup", "E:old H:old EB:older+ro", L"C:\\Package", "F",
         "E:old H:old EB:older"},
        {"package unpacked into the installation", "E:old H:old", L"C:\\Korvane", "FF",
         "E:old H:old"},
        {"korv5.exe locked for 300 ms", "E:old@300 H:old", L"C:\\Package", "U", kUpdated},
        {"korv.hlp locked for 1.9 s", "E:old H:old@1900", L"C:\\Package", "U", kUpdated},
        {"korv5.exe locked for good", "E:old@99999 H:old", L"C:\\Package", "F", "E:old H:old"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform fake;
        fake.packageFolder = c.package;
        fake.files = Files(c.start, c.package);
        Press(fake, c.presses, c.after);
    }

    FakePlatform readOnlyFolder;
    readOnlyFolder.files = Files("E:old H:old", readOnlyFolder.packageFolder);
    readOnlyFolder.readOnlyFolders.insert(L"C:\\Package");
    Press(readOnlyFolder, "F", "EB:old HB:old");

    FakePlatform administration;
    administration.files = Files(kWorn, administration.packageFolder);
    administration.PutValue(L"SOFTWARE\\Zelvaric\\", L"Value32", std::string("\2\0\0\0", 4), 4);
    administration.writeProtectedKeys.insert(L"SOFTWARE\\Zelvaric\\");
    Press(administration, "RR", kWorn);
}

TEST(Replace, BriefLocksAreWaitedOutForAboutTwoSeconds)
{
    for (const std::uint32_t lock : {2000u, 2050u}) {
        FakePlatform fake;
        fake.files = Files("E:old H:old", fake.packageFolder);
        fake.files[PathOf("E")].lockedUntil = lock;
        EXPECT_EQ(UpdateInstallation(fake, kInstallation), lock <= 2000 ? R::Updated : R::Failed);
        EXPECT_GE(fake.now - fake.start, std::min(lock, kLockRetryMilliseconds));
        EXPECT_LE(fake.now - fake.start, kLockRetryMilliseconds + kLockRetryPauseMilliseconds);
    }
}

TEST(ReplaceNaming, FormsNamesFromInstallationAndPackageFolder)
{
    for (const std::wstring folder : {L"C:\\Package", L"C:\\Package\\", L"E:\\"}) {
        const UpdateFiles f = FormUpdateFiles(kInstallation, folder);
        EXPECT_EQ(f.exeBackup + f.helpBackup, PathOf("EB") + PathOf("HB"));
        EXPECT_EQ(f.stagedExe + f.stagedHelp, PathOf("SE", folder) + PathOf("SH", folder));
        EXPECT_EQ(f.packedExe + f.packedHelp, PathOf("PE", folder) + PathOf("PH", folder));
    }
    EXPECT_EQ(PackedName(L"a") + PackedName(L""), L"_");
}

} // namespace
} // namespace kv
