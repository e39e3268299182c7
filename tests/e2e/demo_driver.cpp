// The demo's person at the keyboard: starts the updater from its package folder, reads the
// window, presses Replace, reads the message and presses OK, saving a picture of each screen.
// Usage: kv_demo.exe PACKAGE_FOLDER SHOTS_FOLDER
#include "tests/e2e/harness.h"

#include <cstdio>

#include "app/resource.h"

namespace {

// Saves the whole screen as a 24-bit BMP.
bool SaveScreen(const std::wstring& path)
{
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const DWORD rowBytes = ((width * 3 + 3) / 4) * 4;
    std::string pixels(rowBytes * height, '\0');
    GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
              DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42; // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    e2e::Bytes bytes(reinterpret_cast<const char*>(&file), sizeof file);
    bytes.append(reinterpret_cast<const char*>(&info), sizeof info);
    bytes += pixels;
    e2e::WriteBytes(path, bytes);
    return true;
}

void Say(const std::wstring& line)
{
    std::printf("%s\n", e2e::Utf8(line).c_str());
    std::fflush(stdout);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        Say(L"usage: kv_demo.exe PACKAGE_FOLDER SHOTS_FOLDER");
        return 2;
    }
    const std::wstring package = argv[1];
    const std::wstring shots = argv[2];

    e2e::App app;
    app.Start(e2e::Join(package, L"KVUp511f.exe"), L"C:\\");
    HWND form = app.WaitMain();
    if (!form) {
        if (HWND box = app.WaitMessageBox()) {
            Say(L"Message box: " + e2e::ReadMessageBox(box).text);
            SaveScreen(e2e::Join(shots, L"1-message.bmp"));
            app.PressOk(box);
        }
        Say(L"The updater did not show its window.");
        return 1;
    }
    Sleep(300); // let the window finish painting before the picture
    Say(L"Window \"" + e2e::TextOf(form) + L"\"");
    Say(L"  Existing exe found at: " + e2e::TextOf(app.Control(IDC_TEXT1)));
    Say(L"  Replace is " + std::wstring(IsWindowEnabled(app.Control(IDC_COMMAND1)) ? L"enabled" : L"disabled") +
        L"; the focus is on \"" + e2e::TextOf(app.Focus()) + L"\"");
    SaveScreen(e2e::Join(shots, L"1-window.bmp"));

    Say(L"Pressing \"" + e2e::TextOf(app.Control(IDC_COMMAND1)) + L"\"");
    app.Click(app.Control(IDC_COMMAND1));
    HWND box = app.WaitMessageBox();
    if (!box) {
        Say(L"No message box appeared.");
        return 1;
    }
    const e2e::MessageBoxView message = e2e::ReadMessageBox(box);
    Say(L"Message box \"" + message.title + L"\": " + message.text);
    SaveScreen(e2e::Join(shots, L"2-message.bmp"));
    app.PressOk(box);
    const bool ended = app.WaitExit();
    Say(ended ? L"Pressed OK; the updater ended." : L"Pressed OK; the updater is still running.");
    return ended && message.text == L"Old Version was successfully updated!" ? 0 : 1;
}
