// Start-up: finding the installed korv5.exe through the registry, or telling the user it could
// not be found.
#include "tests/e2e/harness.h"

#include "app/resource.h"

#include <algorithm>

namespace e2e {
namespace {

struct LocateCase {
    const char* name;
    // Sets up the registry and the installation folder; scene.inst exists and is empty.
    void (*prepare)(const Scene& scene);
    bool found;
};

void WriteExe(const Scene& s) { WriteBytes(s.exePath, PatternBytes(5000, 1)); }

std::string Ansi(const std::wstring& w)
{
    std::string s;
    for (wchar_t c : w)
        s.push_back(static_cast<char>(c)); // scene paths are plain ASCII
    return s;
}

const LocateCase kLocateCases[] = {
    {"NoKey", [](const Scene& s) { WriteExe(s); }, false},
    {"KeyWithoutValue", [](const Scene& s) { WriteExe(s); CreateProductKeyOnly(); }, false},
    {"EmptyValue", [](const Scene& s) { WriteExe(s); SetInstallFolderRaw(std::string(1, '\0')); },
     false},
    {"FolderWithoutExe", [](const Scene& s) { SetInstallFolder(s.inst); }, false},
    {"FolderMissing",
     [](const Scene& s) { SetInstallFolder(Join(s.root, L"nowhere")); }, false},
    {"HiddenExe",
     [](const Scene& s) {
         WriteExe(s);
         SetFileAttributesW(s.exePath.c_str(), FILE_ATTRIBUTE_HIDDEN);
         SetInstallFolder(s.inst);
     },
     false},
    {"SystemExe",
     [](const Scene& s) {
         WriteExe(s);
         SetFileAttributesW(s.exePath.c_str(), FILE_ATTRIBUTE_SYSTEM);
         SetInstallFolder(s.inst);
     },
     false},
    {"ExeIsFolder",
     [](const Scene& s) { MakeFolder(s.exePath); SetInstallFolder(s.inst); }, false},
    {"OnlyHelpFile",
     [](const Scene& s) { WriteBytes(s.helpPath, "help"); SetInstallFolder(s.inst); }, false},

    {"NoTrailingBackslash", [](const Scene& s) { WriteExe(s); SetInstallFolder(s.inst); }, true},
    {"TrailingBackslash",
     [](const Scene& s) { WriteExe(s); SetInstallFolder(s.inst + L"\\"); }, true},
    {"SurroundingSpaces",
     [](const Scene& s) { WriteExe(s); SetInstallFolder(L"   " + s.inst + L"  "); }, true},
    {"TextAfterNul",
     [](const Scene& s) {
         WriteExe(s);
         SetInstallFolderRaw(Ansi(s.inst) + std::string("\0C:\\elsewhere\0", 14));
     },
     true},
    {"NoTerminatingNul", [](const Scene& s) { WriteExe(s); SetInstallFolderRaw(Ansi(s.inst)); },
     true},
    {"ReadOnlyExe",
     [](const Scene& s) {
         WriteExe(s);
         SetFileAttributesW(s.exePath.c_str(), FILE_ATTRIBUTE_READONLY);
         SetInstallFolder(s.inst);
     },
     true},
};

void PrintTo(const LocateCase& c, std::ostream* os) { *os << c.name; }

class Locate : public testing::TestWithParam<LocateCase> {};

TEST_P(Locate, FindsInstalledExeOrSaysItCannot)
{
    const LocateCase& c = GetParam();
    const Scene scene = Scene::Fresh();
    c.prepare(scene);
    App app;
    scene.Launch(app);
    if (HasFatalFailure())
        return;

    // Watch the whole life of the program: the main window must never show when the exe is
    // not found, and at most one message box may be up at a time.
    bool mainSeen = false;
    std::size_t mostBoxes = 0;
    HWND box = nullptr;
    HWND main = nullptr;
    const auto watch = [&] {
        if (HWND m = app.FindMain(true))
            main = m, mainSeen = true;
        const auto boxes = app.VisibleMessageBoxes();
        mostBoxes = std::max(mostBoxes, boxes.size());
        if (!boxes.empty())
            box = boxes.front();
    };

    if (c.found) {
        ASSERT_TRUE(WaitUntil([&] { watch(); return main || box || !app.Running(); },
                              kWindowTimeout));
        ASSERT_NE(main, nullptr) << "main window not shown";
        // The window is up; give a late message box a moment to appear.
        WaitUntil([&] { watch(); return box != nullptr; }, kQuietPeriod);
        EXPECT_EQ(box, nullptr) << "unexpected message box: " << Utf8(ReadMessageBox(box).text);
        EXPECT_EQ(Utf8(TextOf(app.Control(IDC_TEXT1))), Utf8(scene.exePath));
        EXPECT_TRUE(IsWindowEnabled(app.Control(IDC_COMMAND1)));
        return;
    }

    ASSERT_TRUE(WaitUntil([&] { watch(); return box || !app.Running(); }, kWindowTimeout));
    ASSERT_NE(box, nullptr) << "program ended without a message box";
    Sleep(100);
    const MessageBoxView view = ReadMessageBox(box);
    EXPECT_EQ(Utf8(view.text), Utf8(kNotFoundText));
    EXPECT_EQ(Utf8(view.title), "Korv_Update");
    EXPECT_EQ(view.visibleButtonIds, std::vector<int>{IDOK});
    EXPECT_FALSE(view.hasIcon);
    // The program must wait for the user: the box stays until OK.
    Sleep(kQuietPeriod);
    watch();
    ASSERT_TRUE(app.Running()) << "program ended before OK was pressed";
    app.PressOk(box);
    EXPECT_TRUE(WaitUntil([&] { watch(); return !app.Running(); }, kExitTimeout))
        << "program still running after OK";
    EXPECT_FALSE(mainSeen) << "main window was shown although the exe was not found";
    EXPECT_EQ(mostBoxes, 1u);
}

INSTANTIATE_TEST_SUITE_P(Startup, Locate, testing::ValuesIn(kLocateCases),
                         [](const testing::TestParamInfo<LocateCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace e2e
