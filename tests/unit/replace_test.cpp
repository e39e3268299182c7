// One press of Replace: the installed executable and help file are moved aside, the package's
// packed copies restored and installed. Whatever goes wrong, the user must never be left with
// neither the old nor the new version of a file.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/unit/fake_platform.h"
#include "update/replace.h"

namespace kv {
namespace {

using test::FakePlatform;
using test::Op;

const std::wstring kExpectedSuccess = L"Old Version was successfully updated!";
const std::wstring kExpectedFailure =
    L"Error! Problems were encountered during the upgrade. Deinstall the old Korvane version and "
    L"do a new installation of the current version, which is available at "
    L"https://www.korvane.example/";
const std::wstring kExpectedRefusal =
    L"Error!!! Can't use the Family Version update on this computer, because it has the "
    L"administration version of Korvane installed. In order to update Korvane on this computer "
    L"use the Business Version update!";

// Installation folder
const std::wstring E = L"C:\\Programs\\Korvane\\korv5.exe";
const std::wstring H = L"C:\\Programs\\Korvane\\korv.hlp";
const std::wstring EB = L"C:\\Programs\\Korvane\\korv5.exe.backup";
const std::wstring HB = L"C:\\Programs\\Korvane\\korv.hlp.backup";
const Installation kInstallation{E, H};

// Package folder
const std::wstring kPackage = L"C:\\Package";
const std::wstring PE = L"C:\\Package\\korv5.ex_";
const std::wstring PH = L"C:\\Package\\korv.hl_";
const std::wstring SE = L"C:\\Package\\korv5.exe";
const std::wstring SH = L"C:\\Package\\korv.hlp";
const std::wstring U = L"C:\\Package\\KVUp511f.exe"; // the running updater, never touched

const std::string kOldExe = "old exe";
const std::string kOldHelp = "old help";
const std::string kNewExe = "new exe";
const std::string kNewHelp = "new help";

using Tree = std::map<std::wstring, std::string>; // path -> bytes

Tree Contents(const FakePlatform& fake)
{
    Tree tree;
    for (const auto& [path, file] : fake.files)
        tree[path] = file.bytes;
    return tree;
}

void Arrange(FakePlatform& fake, const Tree& tree)
{
    for (const auto& [path, bytes] : tree)
        fake.PutFile(path, bytes);
}

// An installation that has been updated before, and a package folder where an earlier run left
// its restored copies behind: every file step has something to work on.
Tree WornState()
{
    return {{E, kOldExe},      {H, kOldHelp},      {EB, "older exe"}, {HB, "older help"},
            {PE, kNewExe},     {PH, kNewHelp},     {SE, "stale exe"}, {SH, "stale help"},
            {U, "updater"}};
}

Tree FreshState()
{
    return {{E, kOldExe}, {H, kOldHelp}, {PE, kNewExe}, {PH, kNewHelp}, {U, "updater"}};
}

const Tree kUpdated = {{E, kNewExe},  {H, kNewHelp},  {EB, kOldExe}, {HB, kOldHelp},
                       {PE, kNewExe}, {PH, kNewHelp}, {U, "updater"}};

// The old content of an installed file survives at its place or as its backup, unless the new
// content has taken its place.
void ExpectNothingLost(const FakePlatform& fake)
{
    const auto safe = [&fake](const std::wstring& path, const std::string& oldBytes,
                              const std::string& newBytes) {
        return fake.Bytes(path) == oldBytes || fake.Bytes(path + L".backup") == oldBytes ||
               fake.Bytes(path) == newBytes;
    };
    EXPECT_TRUE(safe(E, kOldExe, kNewExe)) << "old executable lost";
    EXPECT_TRUE(safe(H, kOldHelp, kNewHelp)) << "old help file lost";
}

// SZDD with every byte stored as a literal: header, then groups of a flag byte (all literals)
// and up to eight bytes.
std::string PackSzdd(const std::string& data)
{
    std::string out = "SZDD\x88\xF0\x27\x33";
    out += 'A';  // compression mode
    out += 'e';  // the name's replaced last character
    const auto size = static_cast<std::uint32_t>(data.size());
    for (int shift = 0; shift < 32; shift += 8)
        out += static_cast<char>((size >> shift) & 0xFF);
    for (std::size_t i = 0; i < data.size(); i += 8) {
        out += '\xFF';
        out += data.substr(i, 8);
    }
    return out;
}

TEST(ReplaceNaming, PackedNameReplacesTheLastCharacter)
{
    const struct {
        std::wstring name, packed;
    } cases[] = {
        {L"korv5.exe", L"korv5.ex_"},
        {L"C:\\Package\\korv.hlp", L"C:\\Package\\korv.hl_"},
        {L"a", L"_"},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PackedName(c.name), c.packed) << std::string(c.name.begin(), c.name.end());
}

TEST(ReplaceNaming, FormsNamesFromInstallationAndPackageFolder)
{
    const Installation installed{L"D:\\Korv\\korv5.exe", L"D:\\Korv\\korv.hlp"};
    const struct {
        std::wstring folder, base;
    } cases[] = {
        {L"C:\\Package", L"C:\\Package\\"},
        {L"C:\\Package\\", L"C:\\Package\\"},
        {L"E:\\", L"E:\\"},
        {L"\\\\server\\share\\upd", L"\\\\server\\share\\upd\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.folder.begin(), c.folder.end()));
        const UpdateFiles f = FormUpdateFiles(installed, c.folder);
        EXPECT_EQ(f.exePath, L"D:\\Korv\\korv5.exe");
        EXPECT_EQ(f.helpPath, L"D:\\Korv\\korv.hlp");
        EXPECT_EQ(f.exeBackup, L"D:\\Korv\\korv5.exe.backup");
        EXPECT_EQ(f.helpBackup, L"D:\\Korv\\korv.hlp.backup");
        EXPECT_EQ(f.stagedExe, c.base + L"korv5.exe");
        EXPECT_EQ(f.stagedHelp, c.base + L"korv.hlp");
        EXPECT_EQ(f.packedExe, c.base + L"korv5.ex_");
        EXPECT_EQ(f.packedHelp, c.base + L"korv.hl_");
    }
}

struct FaultCase {
    std::size_t step; // index into UpdateSteps() that the fault makes fail
    Op op;
    std::wstring path;
    ReplaceOutcome first;
    Tree afterFirst;
    ReplaceOutcome second; // a second press with the fault still there
};

std::vector<FaultCase> FaultCases()
{
    using R = ReplaceOutcome;
    // Run stopped while restoring or installing: the old files are only backups now.
    const Tree aside = {{EB, kOldExe}, {HB, kOldHelp}, {PE, kNewExe}, {PH, kNewHelp}, {U, "updater"}};
    Tree asideExeStaged = aside;
    asideExeStaged[SE] = kNewExe;
    Tree asideBothStaged = asideExeStaged;
    asideBothStaged[SH] = kNewHelp;
    Tree exeInstalled = asideBothStaged;
    exeInstalled[E] = kNewExe;
    // Everything installed, but a restored copy could not be removed from the package folder.
    Tree bothStagedLeft = kUpdated;
    bothStagedLeft[SE] = kNewExe;
    bothStagedLeft[SH] = kNewHelp;
    Tree helpStagedLeft = kUpdated;
    helpStagedLeft[SH] = kNewHelp;

    return {
        // Stage 1: a backup that cannot be deleted or made keeps the old one; the new files
        // still go in.
        {0, Op::Delete, EB, R::Updated,
         {{E, kNewExe}, {H, kNewHelp}, {EB, "older exe"}, {HB, kOldHelp},
          {PE, kNewExe}, {PH, kNewHelp}, {U, "updater"}},
         R::Updated},
        {1, Op::Delete, HB, R::Updated,
         {{E, kNewExe}, {H, kNewHelp}, {EB, kOldExe}, {HB, "older help"},
          {PE, kNewExe}, {PH, kNewHelp}, {U, "updater"}},
         R::Updated},
        {2, Op::Rename, E, R::Updated,
         {{E, kNewExe}, {H, kNewHelp}, {HB, kOldHelp}, {PE, kNewExe}, {PH, kNewHelp}, {U, "updater"}},
         R::Updated},
        {3, Op::Rename, H, R::Updated,
         {{E, kNewExe}, {H, kNewHelp}, {EB, kOldExe}, {PE, kNewExe}, {PH, kNewHelp}, {U, "updater"}},
         R::Updated},
        // Stage 2: the stale copy is overwritten by the restore anyway; the same fault then
        // stops the final clean-up, after both files are installed.
        {4, Op::Delete, SE, R::Failed, bothStagedLeft, R::Failed},
        {5, Op::Delete, SH, R::Failed, helpStagedLeft, R::Failed},
        // Stage 3: the run stops where it is, nothing is undone.
        {6, Op::Read, PE, R::Failed, aside, R::Failed},
        {6, Op::Copy, SE, R::Failed, aside, R::Failed},
        {7, Op::Read, PH, R::Failed, asideExeStaged, R::Failed},
        {7, Op::Copy, SH, R::Failed, asideExeStaged, R::Failed},
        {8, Op::Copy, E, R::Failed, asideBothStaged, R::Failed},
        {9, Op::Copy, H, R::Failed, exeInstalled, R::Failed},
        {10, Op::Delete, SE, R::Failed, bothStagedLeft, R::Failed},
        {11, Op::Delete, SH, R::Failed, helpStagedLeft, R::Failed},
    };
}

std::wstring OutcomeMessage(ReplaceOutcome outcome)
{
    return outcome == ReplaceOutcome::Updated ? kExpectedSuccess : kExpectedFailure;
}

TEST(Replace, EveryFileStepFailingLeavesAKnownAndSafeState)
{
    const auto& steps = UpdateSteps();
    const std::vector<FaultCase> cases = FaultCases();
    for (std::size_t index = 0; index < steps.size(); ++index) {
        bool covered = false;
        for (const FaultCase& c : cases) {
            if (c.step != index)
                continue;
            covered = true;
            SCOPED_TRACE(testing::Message() << "step " << index << " (" << steps[index].name
                                            << "), fault " << static_cast<int>(c.op) << " on "
                                            << std::string(c.path.begin(), c.path.end()));

            // The fault really is what makes this step fail.
            {
                FakePlatform probe;
                Arrange(probe, WornState());
                probe.faults.insert({c.op, c.path});
                const UpdateFiles files = FormUpdateFiles(kInstallation, kPackage);
                for (std::size_t before = 0; before < index; ++before)
                    steps[before].run(probe, files);
                EXPECT_FALSE(steps[index].run(probe, files));
            }

            FakePlatform fake;
            fake.packageFolder = kPackage;
            Arrange(fake, WornState());
            fake.faults.insert({c.op, c.path});

            EXPECT_EQ(Command1_Click(fake, kInstallation), c.first);
            EXPECT_EQ(fake.messages, std::vector<std::wstring>{OutcomeMessage(c.first)});
            EXPECT_EQ(Contents(fake), c.afterFirst);
            ExpectNothingLost(fake);

            EXPECT_EQ(Command1_Click(fake, kInstallation), c.second);
            ASSERT_EQ(fake.messages.size(), 2u);
            EXPECT_EQ(fake.messages[1], OutcomeMessage(c.second));
            ExpectNothingLost(fake);
            EXPECT_EQ(fake.Bytes(U), "updater");
        }
        EXPECT_TRUE(covered) << "no fault for step " << index << " (" << steps[index].name << ")";
    }
}

TEST(Replace, FirstUpdateKeepsTheOldFilesAsBackups)
{
    FakePlatform fake;
    Arrange(fake, FreshState());

    EXPECT_EQ(Command1_Click(fake, kInstallation), ReplaceOutcome::Updated);
    EXPECT_EQ(fake.messages, std::vector<std::wstring>{kExpectedSuccess});
    EXPECT_EQ(Contents(fake), kUpdated);
}

TEST(Replace, UpdateOverOlderBackupsAndStaleStagedCopies)
{
    FakePlatform fake;
    Arrange(fake, WornState());

    EXPECT_EQ(Command1_Click(fake, kInstallation), ReplaceOutcome::Updated);
    EXPECT_EQ(fake.messages, std::vector<std::wstring>{kExpectedSuccess});
    EXPECT_EQ(Contents(fake), kUpdated); // older backups replaced, stale copies not installed
}

TEST(Replace, MissingPackedExecutableKeepsTheBackupAcrossPresses)
{
    FakePlatform fake;
    Tree start = FreshState();
    start.erase(PE);
    Arrange(fake, start);
    const Tree expected = {{EB, kOldExe}, {HB, kOldHelp}, {PH, kNewHelp}, {U, "updater"}};

    EXPECT_EQ(Command1_Click(fake, kInstallation), ReplaceOutcome::Failed);
    EXPECT_EQ(Contents(fake), expected);

    // The backup is now the only copy of the old version; pressing again must not delete it.
    EXPECT_EQ(Command1_Click(fake, kInstallation), ReplaceOutcome::Failed);
    EXPECT_EQ(Contents(fake), expected);
    EXPECT_EQ(fake.messages, (std::vector<std::wstring>{kExpectedFailure, kExpectedFailure}));
}

TEST(Replace, InstallationWithoutHelpFileGetsOne)
{
    FakePlatform fake;
    Tree start = FreshState();
    start.erase(H);
    Arrange(fake, start);

    EXPECT_EQ(Command1_Click(fake, kInstallation), ReplaceOutcome::Updated);
    EXPECT_EQ(fake.messages, std::vector<std::wstring>{kExpectedSuccess});
    Tree expected = kUpdated;
    expected.erase(HB);
    EXPECT_EQ(Contents(fake), expected);
}

TEST(Replace, PackageAtDriveRoot)
{
    FakePlatform fake;
    fake.packageFolder = L"E:\\";
    Arrange(fake, {{E, kOldExe}, {H, kOldHelp}, {L"E:\\korv5.ex_", kNewExe},
                   {L"E:\\korv.hl_", kNewHelp}, {L"E:\\KVUp511f.exe", "updater"}});

    EXPECT_EQ(Command1_Click(fake, kInstallation), ReplaceOutcome::Updated);
    EXPECT_EQ(fake.messages, std::vector<std::wstring>{kExpectedSuccess});
    EXPECT_EQ(Contents(fake), (Tree{{E, kNewExe}, {H, kNewHelp}, {EB, kOldExe}, {HB, kOldHelp},
                                    {L"E:\\korv5.ex_", kNewExe}, {L"E:\\korv.hl_", kNewHelp},
                                    {L"E:\\KVUp511f.exe", "updater"}}));
}

TEST(Replace, ReadOnlyPackageFolderFails)
{
    FakePlatform fake;
    fake.readOnlyFolders.insert(kPackage);
    Arrange(fake, FreshState());

    EXPECT_EQ(Command1_Click(fake, kInstallation), ReplaceOutcome::Failed);
    EXPECT_EQ(fake.messages, std::vector<std::wstring>{kExpectedFailure});
    EXPECT_EQ(Contents(fake),
              (Tree{{EB, kOldExe}, {HB, kOldHelp}, {PE, kNewExe}, {PH, kNewHelp}, {U, "updater"}}));
}

TEST(Replace, SzddPackageInstallsExpandedFiles)
{
    // Bytes that would upset a text-mode or NUL-terminated copy, and more than one flag group.
    const std::string exe = std::string("MZ\0\x90\r\n\x1A", 7) + std::string(20, '\xFF') + "end";
    const std::string help = "?_\3help text";
    FakePlatform fake;
    Arrange(fake, {{E, kOldExe}, {H, kOldHelp}, {PE, PackSzdd(exe)}, {PH, PackSzdd(help)}});

    EXPECT_EQ(Command1_Click(fake, kInstallation), ReplaceOutcome::Updated);
    EXPECT_EQ(fake.messages, std::vector<std::wstring>{kExpectedSuccess});
    EXPECT_EQ(Contents(fake), (Tree{{E, exe}, {H, help}, {EB, kOldExe}, {HB, kOldHelp},
                                    {PE, PackSzdd(exe)}, {PH, PackSzdd(help)}}));
}

TEST(Replace, BrokenSzddPackageLeavesNoStagedFile)
{
    const std::string packed = PackSzdd("new executable bytes");
    const struct {
        const char* name;
        std::string bytes;
        std::set<std::pair<Op, std::wstring>> faults;
    } cases[] = {
        {"data cut short", packed.substr(0, packed.size() - 5), {}},
        {"header cut short", packed.substr(0, 10), {}},
        {"staged copy cannot be written", packed, {{Op::Write, SE}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform fake;
        Arrange(fake, {{E, kOldExe}, {H, kOldHelp}, {PE, c.bytes}, {PH, kNewHelp}});
        fake.faults = c.faults;

        EXPECT_EQ(Command1_Click(fake, kInstallation), ReplaceOutcome::Failed);
        EXPECT_EQ(fake.messages, std::vector<std::wstring>{kExpectedFailure});
        EXPECT_EQ(Contents(fake),
                  (Tree{{EB, kOldExe}, {HB, kOldHelp}, {PE, c.bytes}, {PH, kNewHelp}}));
    }
}

TEST(Replace, AdministrationEditionIsRefusedWithoutTouchingFiles)
{
    FakePlatform fake;
    fake.PutValue(L"SOFTWARE\\Zelvaric\\", L"Value32", std::string("\2\0\0\0", 4), 4);
    fake.writeProtectedKeys.insert(L"SOFTWARE\\Zelvaric\\");
    Arrange(fake, WornState());

    EXPECT_EQ(Command1_Click(fake, kInstallation), ReplaceOutcome::Refused);
    EXPECT_EQ(Command1_Click(fake, kInstallation), ReplaceOutcome::Refused);
    EXPECT_EQ(fake.messages, (std::vector<std::wstring>{kExpectedRefusal, kExpectedRefusal}));
    EXPECT_EQ(Contents(fake), WornState());
    EXPECT_EQ(fake.openKeys, 0);
}

TEST(Replace, LockedInstalledExecutableStaysInPlace)
{
    FakePlatform fake;
    Arrange(fake, FreshState());
    fake.files[E].locked = true;

    EXPECT_EQ(Command1_Click(fake, kInstallation), ReplaceOutcome::Failed);
    EXPECT_EQ(fake.messages, std::vector<std::wstring>{kExpectedFailure});
    EXPECT_EQ(Contents(fake), (Tree{{E, kOldExe}, {HB, kOldHelp}, {PE, kNewExe}, {PH, kNewHelp},
                                    {SE, kNewExe}, {SH, kNewHelp}, {U, "updater"}}));
    EXPECT_TRUE(fake.files[E].locked);
}

} // namespace
} // namespace kv
