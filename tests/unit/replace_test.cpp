// One press of Replace, on an in-memory Windows. Whatever goes wrong, the user must never be left
// without a complete copy of the previous version, and the message must match the disk.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "tests/unit/fake_platform.h"
#include "update/replace.h"

namespace kv {
namespace {

using test::FakePlatform;
using test::Op;
using R = ReplaceOutcome;
using Tree = std::map<std::wstring, std::string>;

const std::wstring kSuccess = L"Old Version was successfully updated!";
const std::wstring kFailure =
    L"Error! Problems were encountered during the upgrade. Deinstall the old Korvane version and "
    L"do a new installation of the current version, which is available at "
    L"https://www.korvane.example/";
const std::wstring kRefusal =
    L"Error!!! Can't use the Family Version update on this computer, because it has the "
    L"administration version of Korvane installed. In order to update Korvane on this computer "
    L"use the Business Version update!";

const std::map<std::string, std::wstring> kPaths = {
    {"E", L"C:\\Korvane\\korv5.exe"},         {"H", L"C:\\Korvane\\korv.hlp"},
    {"EB", L"C:\\Korvane\\korv5.exe.backup"}, {"HB", L"C:\\Korvane\\korv.hlp.backup"},
    {"SE", L"C:\\Package\\korv5.exe"},        {"SH", L"C:\\Package\\korv.hlp"},
    {"PE", L"C:\\Package\\korv5.ex_"},        {"PH", L"C:\\Package\\korv.hl_"},
    {"U", L"C:\\Package\\KVUp511f.exe"}};
const Installation kInstallation{kPaths.at("E"), kPaths.at("H")};

// "E:old H:new" is korv5.exe with the old executable's bytes and korv.hlp with the new help's;
// the package's own files (PE, PH, U) are there unless the text says "-PE" and so on.
Tree T(const std::string& text)
{
    Tree tree = {
        {kPaths.at("PE"), "exe new"}, {kPaths.at("PH"), "help new"}, {kPaths.at("U"), "updater"}};
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        const auto colon = word.find(':');
        if (word[0] == '-') {
            tree.erase(kPaths.at(word.substr(1)));
            continue;
        }
        const std::string key = word.substr(0, colon);
        tree[kPaths.at(key)] =
            std::string(key[0] == 'H' || key[1] == 'H' ? "help " : "exe ") + word.substr(colon + 1);
    }
    return tree;
}

const Tree kFresh = T("E:old H:old");
const Tree kWorn = T("E:old H:old EB:older HB:older SE:stale SH:stale");
const Tree kUpdated = T("E:new H:new EB:old HB:old");

Tree Contents(const FakePlatform& fake)
{
    Tree tree;
    for (const auto& [path, file] : fake.files)
        tree[path] = file.bytes;
    return tree;
}

// The old bytes of each installed file are at its place or in its backup, unless the new ones
// have taken the place.
void ExpectNothingLost(const FakePlatform& fake)
{
    const Tree now = Contents(fake);
    for (const char* file : {"E", "H"}) {
        const std::string kind = file[0] == 'E' ? "exe " : "help ";
        const auto at = [&](const std::wstring& p) { return now.count(p) ? now.at(p) : ""; };
        const std::wstring path = kPaths.at(file);
        EXPECT_TRUE(at(path) == kind + "old" || at(path + L".backup") == kind + "old" ||
                    at(path) == kind + "new")
            << file << " lost its old version";
    }
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

void Arrange(FakePlatform& fake, const Tree& tree)
{
    for (const auto& [path, bytes] : tree)
        fake.files[path].bytes = bytes;
}

TEST(ReplaceNaming, FormsNamesFromInstallationAndPackageFolder)
{
    const struct {
        std::wstring folder, base;
    } cases[] = {{L"C:\\Package", L"C:\\Package\\"},
                 {L"C:\\Package\\", L"C:\\Package\\"},
                 {L"E:\\", L"E:\\"}};
    for (const auto& c : cases) {
        const UpdateFiles f = FormUpdateFiles(kInstallation, c.folder);
        EXPECT_EQ(f.exeBackup + f.helpBackup,
                  L"C:\\Korvane\\korv5.exe.backupC:\\Korvane\\korv.hlp.backup");
        EXPECT_EQ(f.stagedExe + L"|" + f.stagedHelp, c.base + L"korv5.exe|" + c.base + L"korv.hlp");
        EXPECT_EQ(f.packedExe + L"|" + f.packedHelp, c.base + L"korv5.ex_|" + c.base + L"korv.hl_");
    }
    EXPECT_EQ(PackedName(L"a"), L"_");
    EXPECT_EQ(PackedName(L""), L"");
}

// Each file step failing, from a worn installation (older backups, stale staged copies): the
// outcome of two presses, and the files after the first.
TEST(Replace, EveryFileStepFailingLeavesAKnownAndSafeState)
{
    const struct {
        std::size_t step;
        Op op;
        const char* path;
        R outcome;
        Tree after;
    } cases[] = {
        // An older backup that cannot go blocks its file's move aside: stop before any install.
        {0, Op::Delete, "EB", R::Failed, T("E:old H:old EB:older SE:stale SH:stale")},
        {1, Op::Delete, "HB", R::Failed, T("EB:old H:old HB:older SE:stale SH:stale")},
        {2, Op::Rename, "E", R::Failed, T("E:old H:old SE:stale SH:stale")},
        {3, Op::Rename, "H", R::Failed, T("EB:old H:old SE:stale SH:stale")},
        // A stale copy that cannot go is overwritten anyway; the final clean-up then fails.
        {4, Op::Delete, "SE", R::Failed, T("E:new H:new EB:old HB:old SE:new SH:new")},
        {5, Op::Delete, "SH", R::Failed, T("E:new H:new EB:old HB:old SH:new")},
        {6, Op::Read, "PE", R::Failed, T("EB:old HB:old")},
        {6, Op::Write, "SE", R::Failed, T("EB:old HB:old")},
        {7, Op::Read, "PH", R::Failed, T("EB:old HB:old SE:new")},
        {8, Op::Copy, "E", R::Failed, T("EB:old HB:old SE:new SH:new")},
        {9, Op::Copy, "H", R::Failed, T("E:new EB:old HB:old SE:new SH:new")},
        {10, Op::Delete, "SE", R::Failed, T("E:new H:new EB:old HB:old SE:new SH:new")},
        {11, Op::Delete, "SH", R::Failed, T("E:new H:new EB:old HB:old SH:new")},
    };
    std::set<std::size_t> covered;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "step " << c.step << ": " << UpdateSteps()[c.step].name);
        covered.insert(c.step);
        FakePlatform fake;
        Arrange(fake, kWorn);
        fake.faults.insert({c.op, kPaths.at(c.path)});

        EXPECT_EQ(UpdateInstallation(fake, kInstallation), c.outcome);
        EXPECT_EQ(Contents(fake), c.after);
        ExpectNothingLost(fake);
        EXPECT_EQ(UpdateInstallation(fake, kInstallation), c.outcome);
        ExpectNothingLost(fake);
        EXPECT_EQ(fake.messages, std::vector<std::wstring>(2, kFailure));
        EXPECT_EQ(fake.now, 0u) << "a lasting failure was waited on";
    }
    EXPECT_EQ(covered.size(), UpdateSteps().size());
}

// Whole presses in situations a user meets, with the files and messages they end with.
TEST(Replace, SituationsEndWithTheFilesTheUserIsTold)
{
    const std::string exe = std::string("MZ\0\x90\r\n\x1A", 7) + std::string(20, '\xFF') + "end";
    Tree driveRoot = T("E:new H:new EB:old HB:old -PE -PH -U");
    driveRoot[L"E:\\korv5.ex_"] = "exe new";
    driveRoot[L"E:\\korv.hl_"] = "help new";
    Tree inside = T("E:old H:old -PE -PH -U");
    inside[L"C:\\Korvane\\korv5.ex_"] = "exe new";
    inside[L"C:\\Korvane\\korv.hl_"] = "help new";
    const struct {
        const char* name;
        Tree start;
        std::function<void(FakePlatform&)> arrange;
        std::vector<R> outcomes; // one per press
        Tree after;
    } cases[] = {
        {"first update", kFresh, nullptr, {R::Updated}, kUpdated},
        {"over older backups and stale copies", kWorn, nullptr, {R::Updated}, kUpdated},
        {"no help file installed", T("E:old"), nullptr, {R::Updated}, T("E:new H:new EB:old")},
        {"package at a drive root",
         T("E:old H:old -PE -PH -U"),
         [](FakePlatform& f) {
             f.packageFolder = L"E:\\";
             f.files[L"E:\\korv5.ex_"].bytes = "exe new";
             f.files[L"E:\\korv.hl_"].bytes = "help new";
         },
         {R::Updated},
         driveRoot},
        {"packed executable missing, pressed twice",
         T("E:old H:old -PE"),
         nullptr,
         {R::Failed, R::Failed},
         T("EB:old HB:old -PE")},
        {"package folder read-only",
         kFresh,
         [](FakePlatform& f) { f.readOnlyFolders.insert(L"C:\\Package"); },
         {R::Failed},
         T("EB:old HB:old")},
        {"SZDD packed files",
         T("E:old H:old -PE -PH"),
         [&](FakePlatform& f) {
             f.files[kPaths.at("PE")].bytes = PackSzdd(exe);
             f.files[kPaths.at("PH")].bytes = PackSzdd("help new");
         },
         {R::Updated},
         {}},
        {"SZDD file cut short",
         T("E:old H:old -PE"),
         [](FakePlatform& f) {
             f.files[kPaths.at("PE")].bytes = PackSzdd("exe new").substr(0, 15);
         },
         {R::Failed},
         {}},
        // A CD or an archive that keeps attributes: read-only packed files with the download's
        // Mark of the Web; what is installed must be plain files without either.
        {"read-only packed files",
         kFresh,
         [](FakePlatform& f) {
             for (const char* p : {"PE", "PH"}) {
                 f.files[kPaths.at(p)].readOnly = true;
                 f.files[kPaths.at(p)].streams = {"Zone.Identifier"};
             }
         },
         {R::Updated},
         kUpdated},
        {"read-only old backup",
         T("E:old H:old EB:older"),
         [](FakePlatform& f) { f.files[kPaths.at("EB")].readOnly = true; },
         {R::Failed},
         T("E:old H:old EB:older")},
        {"package unpacked into the installation",
         inside,
         [](FakePlatform& f) { f.packageFolder = L"C:\\Korvane"; },
         {R::Failed, R::Failed},
         inside},
        {"korv5.exe locked for 300 ms",
         kFresh,
         [](FakePlatform& f) { f.files[kPaths.at("E")].lockedUntil = 300; },
         {R::Updated},
         kUpdated},
        {"korv.hlp locked for 1.9 s",
         kFresh,
         [](FakePlatform& f) { f.files[kPaths.at("H")].lockedUntil = 1900; },
         {R::Updated},
         kUpdated},
        {"korv5.exe locked for good",
         kFresh,
         [](FakePlatform& f) { f.files[kPaths.at("E")].lockedUntil = test::kForever; },
         {R::Failed},
         T("E:old H:old")},
        {"administration edition",
         kWorn,
         [](FakePlatform& f) {
             f.PutValue(L"SOFTWARE\\Zelvaric\\", L"Value32", std::string("\2\0\0\0", 4), 4);
             f.writeProtectedKeys.insert(L"SOFTWARE\\Zelvaric\\");
         },
         {R::Refused, R::Refused},
         kWorn},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform fake;
        Arrange(fake, c.start);
        if (c.arrange)
            c.arrange(fake);
        const Tree packed = Contents(fake);
        std::vector<std::wstring> expectedMessages;
        for (const R outcome : c.outcomes) {
            EXPECT_EQ(UpdateInstallation(fake, kInstallation), outcome);
            expectedMessages.push_back(outcome == R::Updated  ? kSuccess
                                       : outcome == R::Failed ? kFailure
                                                              : kRefusal);
            ExpectNothingLost(fake);
        }
        EXPECT_EQ(fake.messages, expectedMessages);
        EXPECT_EQ(fake.openKeys, 0);
        if (!c.after.empty()) {
            EXPECT_EQ(Contents(fake), c.after);
        } else if (c.outcomes[0] == R::Updated) { // SZDD: the expansions are installed
            EXPECT_EQ(fake.files[kPaths.at("E")].bytes + fake.files[kPaths.at("H")].bytes,
                      exe + "help new");
        } else { // a broken SZDD file leaves no half-expanded staged copy
            EXPECT_EQ(fake.files.count(kPaths.at("SE")) + fake.files.count(kPaths.at("E")), 0u);
        }
        for (const auto& [path, file] : fake.files) {
            const bool written = !packed.count(path) || packed.at(path) != file.bytes;
            EXPECT_FALSE(written && (file.readOnly || !file.streams.empty())) << "not a plain file";
        }
    }
}

TEST(Replace, BriefLocksAreWaitedOutForAboutTwoSeconds)
{
    for (const std::uint32_t lock : {1999u, 2100u}) {
        FakePlatform fake;
        Arrange(fake, kFresh);
        fake.files[kPaths.at("E")].lockedUntil = lock;
        EXPECT_EQ(UpdateInstallation(fake, kInstallation), lock < 2000 ? R::Updated : R::Failed);
        EXPECT_GE(fake.now, std::min(lock, kLockRetryMilliseconds));
        EXPECT_LE(fake.now, kLockRetryMilliseconds + kLockRetryPauseMilliseconds);
    }
}

} // namespace
} // namespace kv
