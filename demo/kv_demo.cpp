// scripts/demo's person at the keyboard: starts the updater from its package folder, reads the
// window, presses Replace, reads the message and presses OK, saving a picture of each screen.
// Usage: kv_demo.exe PACKAGE_FOLDER SHOTS_FOLDER
#include "demo/driver.h"

#include "app/resource.h"

#include <cstdio>
#include <fstream>

std::wstring shots;

// The whole screen as a 32-bit BMP file, once the window it is taken for shows painted.
void Shoot(HWND window, const wchar_t* name)
{
    if (!demo::Painted(window))
        std::printf("(the picture %ls may show the window half painted)\n", name);
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    const std::vector<DWORD> pixels = demo::Pixels({0, 0, width, height});
    const BITMAPINFOHEADER info{40, width, -height, 1, 32, BI_RGB};
    const BITMAPFILEHEADER file{0x4D42, DWORD(54 + pixels.size() * 4), 0, 0, 54}; // "BM"
    std::ofstream((shots + L"\\" + name).c_str(), std::ios::binary)
        .write((const char*)&file, 14)
        .write((const char*)&info, 40)
        .write((const char*)pixels.data(), pixels.size() * 4);
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return std::printf("usage: kv_demo.exe PACKAGE_FOLDER SHOTS_FOLDER\n"), 2;
    shots = argv[2];
    demo::App app(argv[1] + std::wstring(L"\\KVUp511f.exe"));
    // The window once it shows the installation it found.
    if (app.Main() && app.Watch([&] { return !demo::TextOf(app.Item(IDC_TEXT1)).empty(); }, 5000)) {
        std::printf("Window \"%ls\"; existing exe found at %ls\nPressing \"%ls\"\n",
                    demo::TextOf(app.main).c_str(), demo::TextOf(app.Item(IDC_TEXT1)).c_str(),
                    demo::TextOf(app.Item(IDC_COMMAND1)).c_str());
        Shoot(app.main, L"1-window.bmp");
        PostMessageW(app.Item(IDC_COMMAND1), BM_CLICK, 0, 0);
    }
    // The message box once its text and its OK button are on show.
    const auto boxShown = [&] {
        return app.box && IsWindowVisible(GetDlgItem(app.box, 0xFFFF)) &&
               IsWindowVisible(GetDlgItem(app.box, IDOK));
    };
    if (app.Watch(boxShown, 10000))
        Shoot(app.box, L"2-message.bmp");
    std::printf("Message: %ls\n", app.Answer().c_str());
    // Only a successful update ends the program; after the other messages its window stays.
    const bool updated = app.main && app.EndsQuietly();
    std::printf("Pressed OK; the updater %s\n", updated ? "ended." : "runs on.");
    return updated ? 0 : 1;
}
