// Replace: backing up the installed files, unpacking the package and installing it.
#include "tests/e2e/harness.h"

#include "app/resource.h"

namespace e2e {
namespace {

const std::wstring kExe = L"korv5.exe";
const std::wstring kHelp = L"korv.hlp";
const std::wstring kExeBackup = L"korv5.exe.backup";
const std::wstring kHelpBackup = L"korv.hlp.backup";
const std::wstring kPackedExe = L"korv5.ex_";
const std::wstring kPackedHelp = L"korv.hl_";

std::string Describe(const Listing& listing)
{
    std::string s;
    for (const auto& e : listing)
        s += Utf8(e.first) + "(" + std::to_string(e.second.size()) + ") ";
    return s;
}

class Replace : public testing::Test {
protected:
    void SetUp() override { scene = Scene::Fresh(); }

    // The installed version 5.0x and the new version 5.11, all different from each other.
    const Bytes oldExe = PatternBytes(300 * 1024, 11);
    const Bytes oldHelp = PatternBytes(120 * 1024, 12);
    const Bytes newExe = PatternBytes(310 * 1024 + 17, 21);
    const Bytes newHelp = PatternBytes(125 * 1024 + 3, 22);

    void InstallOld(bool withHelp = true)
    {
        WriteBytes(scene.exePath, oldExe);
        if (withHelp)
            WriteBytes(scene.helpPath, oldHelp);
        SetInstallFolder(scene.inst);
    }

    // Packed files stored as plain copies, which the program restores byte for byte.
    void PackPlain(const std::wstring& folder)
    {
        WriteBytes(Join(folder, kPackedExe), newExe);
        WriteBytes(Join(folder, kPackedHelp), newHelp);
    }

    HWND Start(const std::wstring& appPath)
    {
        if (!FileExists(appPath))
            CopyOrFail(AppExePath(), appPath);
        app.Start(appPath, scene.cwd);
        if (HasFatalFailure())
            return nullptr;
        HWND main = app.WaitMain();
        EXPECT_NE(main, nullptr) << "main window not shown";
        return main;
    }
    HWND Start() { return Start(scene.AppInPackage()); }

    std::wstring PressReplace()
    {
        HWND replace = app.Control(IDC_COMMAND1);
        EXPECT_TRUE(IsWindowEnabled(replace)) << "Replace is disabled";
        app.Click(replace);
        return app.AnswerMessageBox();
    }

    // After a success message the program closes its window and exits with code 0.
    void ExpectSuccessAndExit()
    {
        EXPECT_EQ(Utf8(PressReplace()), Utf8(kSuccessText));
        ASSERT_TRUE(app.WaitExit()) << "program still running after the success message";
        EXPECT_EQ(app.ExitCode(), 0u);
    }

    // After an error the window stays, ready for another try.
    void ExpectWindowStays()
    {
        Sleep(kQuietPeriod);
        ASSERT_TRUE(app.Running()) << "program ended after an error";
        HWND main = app.FindMain(true);
        ASSERT_NE(main, nullptr) << "main window gone after an error";
        EXPECT_TRUE(IsWindowEnabled(app.Control(IDC_COMMAND1)));
        EXPECT_TRUE(app.VisibleMessageBoxes().empty());
    }

    void ExpectUpdatedInstallation(const Bytes& exeBackup, const std::optional<Bytes>& helpBackup)
    {
        Listing want{{kExe, newExe}, {kHelp, newHelp}, {kExeBackup, exeBackup}};
        if (helpBackup)
            want[kHelpBackup] = *helpBackup;
        const Listing got = ListFolder(scene.inst);
        EXPECT_EQ(Names(got), Names(want)) << "installation holds " << Describe(got);
        for (const auto& [name, bytes] : want) {
            if (got.count(name)) {
                EXPECT_TRUE(got.at(name) == bytes) << Utf8(name) << " differs";
            }
        }
    }

    // The package folder keeps exactly the program and the packed files, unchanged.
    void ExpectPackageFolder(const std::wstring& folder, const Listing& before)
    {
        const Listing got = ListFolder(folder);
        EXPECT_EQ(Names(got), Names(before)) << "package folder holds " << Describe(got);
        EXPECT_TRUE(got == before) << "package files were changed";
    }

    Scene scene;
    App app;
};

TEST_F(Replace, FirstUpdateInstallsAndKeepsBackups)
{
    InstallOld();
    PackPlain(scene.pkg);
    ASSERT_NE(Start(), nullptr);
    const Listing package = ListFolder(scene.pkg);
    ExpectSuccessAndExit();
    ExpectUpdatedInstallation(oldExe, oldHelp);
    ExpectPackageFolder(scene.pkg, package);
}

TEST_F(Replace, OlderBackupsAreReplaced)
{
    InstallOld();
    WriteBytes(Join(scene.inst, kExeBackup), PatternBytes(4000, 31));
    WriteBytes(Join(scene.inst, kHelpBackup), PatternBytes(4000, 32));
    PackPlain(scene.pkg);
    ASSERT_NE(Start(), nullptr);
    ExpectSuccessAndExit();
    ExpectUpdatedInstallation(oldExe, oldHelp);
}

TEST_F(Replace, StaleFilesInPackageFolderAreReplaced)
{
    InstallOld();
    PackPlain(scene.pkg);
    WriteBytes(Join(scene.pkg, kExe), PatternBytes(9000, 41));
    WriteBytes(Join(scene.pkg, kHelp), PatternBytes(9000, 42));
    ASSERT_NE(Start(), nullptr);
    Listing package = ListFolder(scene.pkg);
    package.erase(kExe);
    package.erase(kHelp);
    ExpectSuccessAndExit();
    ExpectUpdatedInstallation(oldExe, oldHelp);
    ExpectPackageFolder(scene.pkg, package);
}

TEST_F(Replace, MissingHelpIsCreated)
{
    InstallOld(/*withHelp=*/false);
    PackPlain(scene.pkg);
    ASSERT_NE(Start(), nullptr);
    ExpectSuccessAndExit();
    ExpectUpdatedInstallation(oldExe, std::nullopt);
}

// A package that lacks one of its packed files fails every time and keeps the old exe.
class IncompletePackage : public Replace, public testing::WithParamInterface<std::wstring> {};

TEST_P(IncompletePackage, FailsAndKeepsOldExeAsBackup)
{
    InstallOld();
    PackPlain(scene.pkg);
    ASSERT_TRUE(DeleteFileW(Join(scene.pkg, GetParam()).c_str()));
    ASSERT_NE(Start(), nullptr);
    for (int attempt = 1; attempt <= 2; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        EXPECT_EQ(Utf8(PressReplace()), Utf8(kFailureText));
        ExpectWindowStays();
        const auto backup = ReadBytes(Join(scene.inst, kExeBackup));
        ASSERT_TRUE(backup.has_value()) << "old exe lost";
        EXPECT_TRUE(*backup == oldExe) << "backup differs from the old exe";
    }
    app.Click(app.Control(IDC_COMMAND2));
    EXPECT_TRUE(app.WaitExit());
}

INSTANTIATE_TEST_SUITE_P(Replace, IncompletePackage, testing::Values(kPackedExe, kPackedHelp),
                         [](const testing::TestParamInfo<std::wstring>& info) {
                             return info.param == kPackedExe ? "NoPackedExe" : "NoPackedHelp";
                         });

TEST_F(Replace, LockedInstalledExeFails)
{
    InstallOld();
    PackPlain(scene.pkg);
    ASSERT_NE(Start(), nullptr);
    // Korvane still running: its exe is open without sharing.
    HANDLE held = CreateFileW(scene.exePath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Utf8(PressReplace()), Utf8(kFailureText));
    ExpectWindowStays();
    CloseHandle(held);
    const auto installed = ReadBytes(scene.exePath);
    ASSERT_TRUE(installed.has_value()) << "installed exe is gone";
    EXPECT_TRUE(*installed == oldExe) << "installed exe was changed";
}

// The edition guard: only Value32 = 2 (administration version) refuses.
struct EditionCase {
    const char* name;
    std::optional<DWORD> value32;
    bool refused;
};

const EditionCase kEditionCases[] = {
    {"NoEditionKey", std::nullopt, false},
    {"Value0", 0, false},
    {"Value1", 1, false},
    {"Value3", 3, false},
    {"Value2", 2, true},
};

void PrintTo(const EditionCase& c, std::ostream* os) { *os << c.name; }

class Edition : public Replace, public testing::WithParamInterface<EditionCase> {};

TEST_P(Edition, OnlyAdministrationVersionIsRefused)
{
    const EditionCase& c = GetParam();
    InstallOld();
    PackPlain(scene.pkg);
    if (c.value32)
        SetEdition(*c.value32);
    ASSERT_NE(Start(), nullptr);
    if (!c.refused) {
        ExpectSuccessAndExit();
        ExpectUpdatedInstallation(oldExe, oldHelp);
        return;
    }
    const Listing inst = ListFolder(scene.inst);
    const Listing package = ListFolder(scene.pkg);
    for (int attempt = 1; attempt <= 2; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        EXPECT_EQ(Utf8(PressReplace()), Utf8(kRefusalText));
        ExpectWindowStays();
        EXPECT_TRUE(ListFolder(scene.inst) == inst) << "installation was changed";
        EXPECT_TRUE(ListFolder(scene.pkg) == package) << "package folder was changed";
    }
}

INSTANTIATE_TEST_SUITE_P(Replace, Edition, testing::ValuesIn(kEditionCases),
                         [](const testing::TestParamInfo<EditionCase>& info) {
                             return std::string(info.param.name);
                         });

// Packed files made by Debian's mscompress (SZDD) are expanded on installation.
TEST_F(Replace, SzddPackageIsExpanded)
{
    const std::wstring fixtures = FixturesFolder();
    ASSERT_FALSE(fixtures.empty()) << "KV_E2E_FIXTURES is not set; run through tests/e2e/run";
    const auto origExe = ReadBytes(Join(fixtures, kExe));
    const auto origHelp = ReadBytes(Join(fixtures, kHelp));
    const auto packedExe = ReadBytes(Join(fixtures, kPackedExe));
    const auto packedHelp = ReadBytes(Join(fixtures, kPackedHelp));
    ASSERT_TRUE(origExe && origHelp && packedExe && packedHelp)
        << "fixtures missing in " << Utf8(fixtures);
    const Bytes magic("SZDD\x88\xF0\x27\x33", 8);
    ASSERT_EQ(packedExe->substr(0, 8), magic);
    ASSERT_EQ(packedHelp->substr(0, 8), magic);
    ASSERT_LT(packedExe->size(), origExe->size()) << "fixture does not exercise compression";

    InstallOld();
    CopyOrFail(Join(fixtures, kPackedExe), Join(scene.pkg, kPackedExe));
    CopyOrFail(Join(fixtures, kPackedHelp), Join(scene.pkg, kPackedHelp));
    ASSERT_NE(Start(), nullptr);
    const Listing package = ListFolder(scene.pkg);
    EXPECT_EQ(Utf8(PressReplace()), Utf8(kSuccessText));
    ASSERT_TRUE(app.WaitExit());
    EXPECT_EQ(app.ExitCode(), 0u);

    const Listing got = ListFolder(scene.inst);
    const Listing want{{kExe, *origExe}, {kHelp, *origHelp}, {kExeBackup, oldExe},
                       {kHelpBackup, oldHelp}};
    EXPECT_EQ(Names(got), Names(want)) << "installation holds " << Describe(got);
    EXPECT_TRUE(got == want) << "expanded files differ from the originals";
    ExpectPackageFolder(scene.pkg, package);
}

// The package may sit at the root of a drive (a CD or a stick); the runner maps that drive.
TEST_F(Replace, PackageAtDriveRoot)
{
    const std::wstring root = EnvOr(L"KV_E2E_DRIVE", L"E:") + L"\\";
    const std::wstring marker = L".kv-e2e-drive";
    ASSERT_TRUE(FileExists(root + marker))
        << Utf8(root) << " is not the test drive; run through tests/e2e/run";
    EmptyFolder(root, marker);
    InstallOld();
    PackPlain(root);
    ASSERT_NE(Start(root + L"KVUp511f.exe"), nullptr);
    const Listing package = ListFolder(root);
    ExpectSuccessAndExit();
    ExpectUpdatedInstallation(oldExe, oldHelp);
    ExpectPackageFolder(root, package);
    EmptyFolder(root, marker);
}

} // namespace
} // namespace e2e
