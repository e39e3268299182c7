// scripts/demo's person at the keyboard: starts the updater from its package folder, reads the
// window, presses Replace, reads the message and presses OK, saving a picture of each screen.
// Usage: kv_demo.exe PACKAGE_FOLDER SHOTS_FOLDER
#include "tests/e2e/harness.h"

#include "app/resource.h"

#include <cstdio>
#include <fstream>

std::wstring shots;

// The whole screen as a 32-bit BMP file.
void Shoot(const wchar_t* name)
{
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    const std::vector<DWORD> pixels = e2e::Pixels({0, 0, width, height});
    const BITMAPINFOHEADER info{40, width, -height, 1, 32, BI_RGB};
    const BITMAPFILEHEADER file{0x4D42, DWORD(54 + pixels.size() * 4), 0, 0, 54}; // "BM"
    std::ofstream((shots + name).c_str(), std::ios::binary)
        .write((const char*)&file, 14)
        .write((const char*)&info, 40)
        .write((const char*)pixels.data(), pixels.size() * 4);
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return std::printf("usage: kv_demo.exe PACKAGE_FOLDER SHOTS_FOLDER\n"), 2;
    shots = argv[2];
    e2e::App app(argv[1] + std::wstring(L"\\KVUp511f.exe"));
    if (app.Main()) {
        Sleep(300); // the window finishes painting
        std::printf("Window \"%ls\"; existing exe found at %ls\nPressing \"%ls\"\n",
                    e2e::TextOf(app.main).c_str(), e2e::TextOf(app.Item(IDC_TEXT1)).c_str(),
                    e2e::TextOf(app.Item(IDC_COMMAND1)).c_str());
        Shoot(L"\\1-window.bmp");
        PostMessageW(app.Item(IDC_COMMAND1), BM_CLICK, 0, 0);
    }
    app.Watch([&] { return app.box; }, 10000);
    Shoot(L"\\2-message.bmp");
    std::printf("Message: %ls\n", app.Answer().c_str());
    // Only a successful update ends the program; after the other messages its window stays.
    const bool updated = app.main && app.EndsQuietly();
    std::printf("Pressed OK; the updater %s\n", updated ? "ended." : "runs on.");
    return updated ? 0 : 1;
}
