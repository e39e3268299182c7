// The main window: what it shows, where, and how it answers the mouse and the keyboard.
#include "tests/e2e/harness.h"

#include "app/product.h"
#include "app/resource.h"

#include <cstdlib>
#include <set>
#include <utility>
#include <vector>

namespace e2e {
namespace {

class MainWindow : public testing::Test {
  protected:
    void SetUp() override
    {
        scene = Scene::Fresh();
        WriteBytes(scene.exePath, PatternBytes(20000, 7));
        WriteBytes(scene.helpPath, PatternBytes(3000, 8));
        SetInstallFolder(scene.inst);
        scene.Launch(app);
        ASSERT_FALSE(HasFatalFailure());
        main = app.WaitMain();
        ASSERT_NE(main, nullptr) << "main window not shown";
    }

    HWND Control(int id) const { return app.Control(id); }

    // Ends with the program gone and never having shown a message box.
    void ExpectQuietExit()
    {
        bool boxSeen = false;
        const bool exited = WaitUntil(
            [&] {
                boxSeen = boxSeen || !app.VisibleMessageBoxes().empty();
                return !app.Running();
            },
            kExitTimeout);
        EXPECT_TRUE(exited) << "program still running";
        EXPECT_FALSE(boxSeen) << "a message box was shown";
    }

    Scene scene;
    App app;
    HWND main = nullptr;
};

TEST_F(MainWindow, ShowsItsTextsAndTheInstalledExe)
{
    const struct {
        int id;
        std::wstring text;
    } expected[] = {
        {IDC_LABEL1, L"This program updates Korvane version 5.00-5.10  to the newest version 5.11  "
                     L"It does *not* work with versions prior to version 5!"},
        {IDC_LABEL5, L"Make sure Korvane is not running during update"},
        {IDC_LABEL2, L"Existing exe found at:"},
        {IDC_TEXT1, scene.exePath},
        {IDC_COMMAND1, L"Replace exitsing version with new 5.11 version"},
        {IDC_COMMAND2, L"Cancel"},
        {IDC_LABEL4, L"If you encounter problems, contact: support@korvane.example"},
        {IDC_LABEL3, kv::kAttribution},
    };
    EXPECT_EQ(Utf8(TextOf(main)), "Korvane - Update");
    for (const auto& e : expected) {
        HWND control = Control(e.id);
        ASSERT_NE(control, nullptr) << "no control with ID " << e.id;
        EXPECT_TRUE(IsWindowVisible(control)) << "control " << e.id;
        EXPECT_EQ(Utf8(TextOf(control)), Utf8(e.text)) << "control " << e.id;
    }
    EXPECT_TRUE(IsWindowEnabled(Control(IDC_COMMAND1)));
    EXPECT_TRUE(IsWindowEnabled(Control(IDC_COMMAND2)));
    EXPECT_TRUE(app.VisibleMessageBoxes().empty());
}

TEST_F(MainWindow, HasFixedFrameCloseBoxAndReadOnlyPath)
{
    const LONG style = GetWindowLongW(main, GWL_STYLE);
    EXPECT_TRUE(style & WS_SYSMENU) << "no close box";
    EXPECT_TRUE((style & WS_CAPTION) == WS_CAPTION);
    EXPECT_FALSE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME) << "frame can be resized";

    HWND text1 = Control(IDC_TEXT1);
    EXPECT_EQ(Utf8(ClassOf(text1)), "Edit");
    EXPECT_TRUE(GetWindowLongW(text1, GWL_STYLE) & ES_READONLY);
    EXPECT_EQ(Utf8(ClassOf(Control(IDC_COMMAND1))), "Button");
    EXPECT_EQ(Utf8(ClassOf(Control(IDC_COMMAND2))), "Button");
}

#pragma pack(push, 2)
struct IconGroupEntry { // one image in an RT_GROUP_ICON resource
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST_F(MainWindow, CarriesTheApplicationIconAndItsVersionRecord)
{
    // Wine does not answer GetClassLongPtr for another program's window, so the icon is checked
    // in the executable the window class loads it from: nine images, 48, 32 and 16 pixels, each
    // in 256, 16 and 2 colours.
    HMODULE image = LoadLibraryExW(AppExePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    HRSRC group =
        FindResourceW(image, MAKEINTRESOURCEW(IDI_APP), MAKEINTRESOURCEW(14)); // RT_GROUP_ICON
    ASSERT_NE(group, nullptr) << "no icon group " << IDI_APP;
    const auto* header = static_cast<const WORD*>(LockResource(LoadResource(image, group)));
    ASSERT_EQ(header[2], 9) << "images in the icon";
    std::set<std::pair<int, int>> sizesAndDepths;
    const auto* entries = reinterpret_cast<const IconGroupEntry*>(header + 3);
    for (int i = 0; i < header[2]; ++i)
        sizesAndDepths.insert({entries[i].width, entries[i].bitCount});
    const std::set<std::pair<int, int>> expected = {{48, 8}, {48, 4}, {48, 1}, {32, 8}, {32, 4},
                                                    {32, 1}, {16, 8}, {16, 4}, {16, 1}};
    EXPECT_EQ(sizesAndDepths, expected);
    for (int size : {32, 16}) {
        HICON icon = static_cast<HICON>(
            LoadImageW(image, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, size, size, 0));
        EXPECT_NE(icon, nullptr) << size << " pixel icon does not load";
        DestroyIcon(icon);
    }

    // The manifest: elevation (the updater writes into the installation folder), Common
    // Controls 6 and system DPI awareness.
    HRSRC manifest = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)); // RT_MANIFEST
    ASSERT_NE(manifest, nullptr) << "no application manifest";
    const std::string xml(static_cast<const char*>(LockResource(LoadResource(image, manifest))),
                          SizeofResource(image, manifest));
    for (const char* needle :
         {"level=\"requireAdministrator\"", "Microsoft.Windows.Common-Controls",
          "version=\"6.0.0.0\"", ">true</dpiAware>"})
        EXPECT_NE(xml.find(needle), std::string::npos) << needle << " not in the manifest";
    FreeLibrary(image);

    const std::wstring exe = AppExePath();
    DWORD ignored = 0;
    std::string record(GetFileVersionInfoSizeW(exe.c_str(), &ignored), '\0');
    ASSERT_FALSE(record.empty()) << "no version record";
    ASSERT_TRUE(
        GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(record.size()), record.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(record.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    const std::pair<const wchar_t*, const wchar_t*> strings[] = {
        {L"ProductName", L"Korv_Update"},       {L"FileVersion", L"1.00"},
        {L"ProductVersion", L"1.00"},           {L"InternalName", L"KVUp511f"},
        {L"OriginalFilename", L"KVUp511f.exe"},
    };
    for (const auto& [name, value] : strings) {
        wchar_t* text = nullptr;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        ASSERT_TRUE(
            VerQueryValueW(record.data(), path.c_str(), reinterpret_cast<void**>(&text), &length))
            << Utf8(name) << " missing";
        EXPECT_EQ(Utf8(text), Utf8(value)) << Utf8(name);
    }
}

// How many pixels of a window, as the screen shows it, have exactly this colour.
int PixelsOfColour(HWND window, COLORREF colour)
{
    RECT rect;
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFOHEADER info{sizeof info, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<DWORD> pixels(static_cast<std::size_t>(width) * height);
    GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
              DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    const DWORD wanted = (GetRValue(colour) << 16) | (GetGValue(colour) << 8) | GetBValue(colour);
    int count = 0;
    for (DWORD pixel : pixels)
        count += (pixel & 0xFFFFFF) == wanted;
    return count;
}

TEST_F(MainWindow, DrawsItsColours)
{
    const COLORREF navy = RGB(0, 0, 128), blue = RGB(0, 0, 255), grey = RGB(192, 192, 192);
    const auto shows = [&](int id, COLORREF colour, int atLeast) {
        return WaitUntil([&] { return PixelsOfColour(Control(id), colour) >= atLeast; }, 5000);
    };
    EXPECT_TRUE(shows(IDC_LABEL1, navy, 1)) << "Label1 is not navy";
    EXPECT_TRUE(shows(IDC_LABEL5, navy, 1)) << "Label5 is not navy";
    EXPECT_TRUE(shows(IDC_LABEL4, blue, 1)) << "Label4 is not blue";
    // Most of the path's box is its light grey background.
    RECT text1;
    GetClientRect(Control(IDC_TEXT1), &text1);
    EXPECT_TRUE(shows(IDC_TEXT1, grey, text1.right * text1.bottom / 2)) << "Text1 is not grey";
    EXPECT_EQ(PixelsOfColour(Control(IDC_LABEL2), navy), 0) << "Label2 has the default colour";
}

// Size, centring and control rectangles at the screen's resolution.
void ExpectLayout(HWND main, int dpi)
{
    RECT client;
    ASSERT_TRUE(GetClientRect(main, &client));
    EXPECT_EQ(client.right - client.left, MulDiv(6585, dpi, 1440)) << "client width at " << dpi;
    EXPECT_EQ(client.bottom - client.top, MulDiv(3705, dpi, 1440)) << "client height at " << dpi;

    RECT frame;
    ASSERT_TRUE(GetWindowRect(main, &frame));
    const int screenW = GetSystemMetrics(SM_CXSCREEN);
    const int screenH = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_LE(std::abs(frame.left - (screenW - (frame.right - frame.left)) / 2), 1)
        << "not centred horizontally: left " << frame.left << " width " << frame.right - frame.left
        << " screen " << screenW;
    EXPECT_LE(std::abs(frame.top - (screenH - (frame.bottom - frame.top)) / 2), 1)
        << "not centred vertically: top " << frame.top << " height " << frame.bottom - frame.top
        << " screen " << screenH;

    // Left, top, width, height in client pixels at 96 DPI.
    const struct {
        int id;
        int x, y, w, h;
    } rects[] = {
        {IDC_LABEL1, 9, 6, 414, 35},     {IDC_LABEL5, 7, 41, 420, 16},
        {IDC_LABEL2, 7, 69, 114, 17},    {IDC_TEXT1, 119, 65, 308, 22},
        {IDC_COMMAND1, 8, 108, 419, 41}, {IDC_COMMAND2, 8, 158, 419, 27},
        {IDC_LABEL4, 13, 200, 403, 13},  {IDC_LABEL3, 290, 228, 136, 17},
    };
    // At 96 DPI the numbers are exact; scaled from twips they may round either way.
    const int slack = dpi == 96 ? 0 : 1;
    for (const auto& r : rects) {
        HWND control = GetDlgItem(main, r.id);
        ASSERT_NE(control, nullptr) << "no control with ID " << r.id;
        RECT rc;
        GetWindowRect(control, &rc);
        MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&rc), 2);
        const int got[4] = {rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top};
        const int want[4] = {MulDiv(r.x, dpi, 96), MulDiv(r.y, dpi, 96), MulDiv(r.w, dpi, 96),
                             MulDiv(r.h, dpi, 96)};
        for (int i = 0; i < 4; ++i)
            EXPECT_LE(std::abs(got[i] - want[i]), slack)
                << "control " << r.id << " (left, top, width, height)[" << i << "] is " << got[i]
                << ", expected " << want[i] << " at " << dpi << " DPI";
    }
}

TEST_F(MainWindow, LayoutAt96Dpi)
{
    ASSERT_EQ(ScreenDpi(), 96) << "this run expects the default resolution";
    ExpectLayout(main, 96);
}

// Run by the e2e_dpi144 test, after the runner switched the prefix to 144 DPI.
class Dpi144 : public MainWindow {};

TEST_F(Dpi144, LayoutScalesWithResolution)
{
    ASSERT_EQ(ScreenDpi(), 144) << "LogPixels 144 is not in effect";
    ExpectLayout(main, 144);
}

TEST_F(MainWindow, FocusStartsOnCancelAndTabCycles)
{
    EXPECT_TRUE(WaitUntil([&] { return app.Focus() == Control(IDC_COMMAND2); }, kWindowTimeout))
        << "focus starts on control " << GetDlgCtrlID(app.Focus());
    for (int next : {IDC_COMMAND1, IDC_TEXT1, IDC_COMMAND2}) {
        app.KeyOnFocus(VK_TAB);
        EXPECT_TRUE(WaitUntil([&] { return app.Focus() == Control(next); }, kWindowTimeout))
            << "after Tab expected control " << next << ", focus on " << GetDlgCtrlID(app.Focus());
    }
    EXPECT_TRUE(app.Running());
    EXPECT_TRUE(app.VisibleMessageBoxes().empty());
}

TEST_F(MainWindow, EscapeDoesNothing)
{
    ASSERT_TRUE(WaitUntil([&] { return app.Focus() == Control(IDC_COMMAND2); }, kWindowTimeout));
    app.KeyOnFocus(VK_ESCAPE);
    Sleep(kQuietPeriod);
    EXPECT_TRUE(app.Running());
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_TRUE(app.VisibleMessageBoxes().empty());
    EXPECT_EQ(app.Focus(), Control(IDC_COMMAND2));
    // Still alive and answering: Cancel ends it.
    app.Click(Control(IDC_COMMAND2));
    ExpectQuietExit();
}

struct EndCase {
    const char* name;
    void (*act)(App& app, HWND main);
};

const EndCase kEndCases[] = {
    {"CancelClicked", [](App& app, HWND) { app.Click(app.Control(IDC_COMMAND2)); }},
    {"EnterAtFirstDisplay", [](App& app, HWND) { app.KeyOnFocus(VK_RETURN); }},
    {"SpaceAtFirstDisplay", [](App& app, HWND) { app.KeyOnFocus(VK_SPACE); }},
    {"CloseBox", [](App& app, HWND main) { app.CloseBox(main); }},
};

void PrintTo(const EndCase& c, std::ostream* os)
{
    *os << c.name;
}

class Ending : public MainWindow, public testing::WithParamInterface<EndCase> {};

TEST_P(Ending, EndsTheProgramWithoutMessage)
{
    // Keys go to the focused control, which must be Cancel when the window first shows.
    ASSERT_TRUE(WaitUntil([&] { return app.Focus() == Control(IDC_COMMAND2); }, kWindowTimeout));
    GetParam().act(app, main);
    ExpectQuietExit();
    // Nothing was updated.
    EXPECT_TRUE(FileExists(scene.exePath));
    EXPECT_FALSE(FileExists(scene.exePath + L".backup"));
}

INSTANTIATE_TEST_SUITE_P(MainWindow, Ending, testing::ValuesIn(kEndCases),
                         [](const testing::TestParamInfo<EndCase>& info) {
                             return std::string(info.param.name);
                         });

// Tab to Replace and press it from the keyboard; the family-edition refusal shows it ran.
class KeyboardReplace : public MainWindow, public testing::WithParamInterface<UINT> {};

TEST_P(KeyboardReplace, PressesReplace)
{
    SetEdition(2);
    ASSERT_TRUE(WaitUntil([&] { return app.Focus() == Control(IDC_COMMAND2); }, kWindowTimeout));
    app.KeyOnFocus(VK_TAB);
    ASSERT_TRUE(WaitUntil([&] { return app.Focus() == Control(IDC_COMMAND1); }, kWindowTimeout));
    app.KeyOnFocus(GetParam());
    EXPECT_EQ(Utf8(app.AnswerMessageBox()), Utf8(kRefusalText));
    Sleep(kQuietPeriod);
    EXPECT_TRUE(app.Running());
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_TRUE(app.VisibleMessageBoxes().empty());
}

INSTANTIATE_TEST_SUITE_P(MainWindow, KeyboardReplace, testing::Values(VK_SPACE, VK_RETURN),
                         [](const testing::TestParamInfo<UINT>& info) {
                             return std::string(info.param == VK_SPACE ? "Space" : "Enter");
                         });

} // namespace
} // namespace e2e
