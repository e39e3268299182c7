// The updater runs elevated from a downloads folder, where anything may lie beside it. DLLs
// planted there under the names of system DLLs must never be loaded into it.
#include "tests/e2e/harness.h"

#include "app/resource.h"

namespace e2e {
namespace {

const std::wstring kLog = L"C:\\planted-loads.txt";
const wchar_t* const kPlanted[] = {L"version.dll", L"uxtheme.dll", L"dwmapi.dll"};

std::wstring PlantedFolder()
{
    return ToWindowsPath(EnvOr(L"KV_E2E_PLANTED", L""));
}

std::string LoadLog()
{
    const auto bytes = ReadBytes(kLog);
    if (!bytes)
        return {};
    return Utf8(std::wstring(reinterpret_cast<const wchar_t*>(bytes->data()),
                             bytes->size() / sizeof(wchar_t)));
}

// Windows looks in the program's own folder first for DLLs that are not KnownDLLs; Wine would
// rather use its built-in copies. These overrides make Wine search as Windows does.
class PlantedDlls : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(PlantedFolder().empty()) << "KV_E2E_PLANTED is not set";
        scene = Scene::Fresh();
        for (const wchar_t* dll : kPlanted)
            CopyOrFail(Join(PlantedFolder(), dll), Join(scene.pkg, dll));
        DeleteFileW(kLog.c_str());
        SetEnvironmentVariableW(L"WINEDLLOVERRIDES", L"mscoree,mshtml=;version,uxtheme,dwmapi=n,b");
    }
    void TearDown() override
    {
        SetEnvironmentVariableW(L"WINEDLLOVERRIDES", L"mscoree,mshtml=");
        DeleteFileW(kLog.c_str());
    }

    // Starts the updater, presses Replace and answers its message; returns the message.
    std::wstring RunReplace()
    {
        App app;
        scene.Launch(app);
        if (!app.WaitMain())
            return L"<no window>";
        app.Click(app.Control(IDC_COMMAND1));
        const std::wstring message = app.AnswerMessageBox();
        if (app.Running()) {
            app.CloseBox(app.FindMain(false));
            EXPECT_TRUE(app.WaitExit());
        }
        return message;
    }

    Scene scene;
};

TEST_F(PlantedDlls, NoneIsLoadedDuringStartUpAFailureOrAnUpdate)
{
    WriteBytes(scene.exePath, "old executable");
    SetInstallFolder(scene.inst);

    // Nothing packed yet: start-up, then a failed update.
    EXPECT_EQ(Utf8(RunReplace()), Utf8(kFailureText));
    WriteBytes(scene.exePath, "old executable"); // the failed run left it as the backup only
    WriteBytes(Join(scene.pkg, L"korv5.ex_"), "new executable");
    WriteBytes(Join(scene.pkg, L"korv.hl_"), "new help");
    EXPECT_EQ(Utf8(RunReplace()), Utf8(kSuccessText));
    EXPECT_EQ(ReadBytes(scene.exePath).value_or("<missing>"), "new executable");

    EXPECT_EQ(LoadLog(), "") << "a planted DLL was loaded into the updater";

    // The control case: an ordinary program in the same folder does load the planted DLL, so
    // the check above would see it if the updater did.
    const std::wstring control = Join(scene.pkg, L"load_dwmapi.exe");
    CopyOrFail(Join(PlantedFolder(), L"load_dwmapi.exe"), control);
    App probe;
    probe.Start(control, scene.cwd);
    ASSERT_TRUE(probe.WaitExit());
    EXPECT_NE(LoadLog().find("\\dwmapi.dll <- "), std::string::npos)
        << "the planted dwmapi.dll was not caught when an ordinary program loaded it:\n"
        << LoadLog();
    EXPECT_NE(LoadLog().find("load_dwmapi.exe"), std::string::npos) << LoadLog();
}

} // namespace
} // namespace e2e
