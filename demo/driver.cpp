#include "demo/driver.h"

#include "app/resource.h"

#include <algorithm>

namespace demo {

// Window rectangles and screen pixels are physical pixels, also at 144 DPI.
static const BOOL dpiAware = SetProcessDPIAware();

std::wstring TextOf(HWND window)
{
    wchar_t text[512] = {}; // WM_GETTEXT, as GetWindowTextW does not ask another process
    SendMessageTimeoutW(window, WM_GETTEXT, 512, LPARAM(text), SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

void SetRegistry(const std::wstring& installFolder, DWORD edition)
{
    const wchar_t *product = L"SOFTWARE\\Quillmarsh\\Korvane", *editions = L"SOFTWARE\\Zelvaric";
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, product);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, editions);
    if (!installFolder.empty())
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, product, L"Help_Dir", REG_SZ, installFolder.c_str(),
                        (installFolder.size() + 1) * sizeof(wchar_t));
    if (edition)
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, editions, L"Value32", REG_DWORD, &edition, 4);
}

std::vector<DWORD> Pixels(const RECT& r)
{
    const int width = r.right - r.left, height = r.bottom - r.top;
    if (width <= 0 || height <= 0)
        return {};
    HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFOHEADER format{sizeof format, width, -height, 1, 32, BI_RGB};
    std::vector<DWORD> pixels(width * height);
    GetDIBits(memory, bitmap, 0, height, pixels.data(), (BITMAPINFO*)&format, DIB_RGB_COLORS);
    DeleteObject(bitmap), DeleteDC(memory), ReleaseDC(nullptr, screen);
    for (DWORD& pixel : pixels)
        pixel &= 0xFFFFFF;
    return pixels;
}

bool Painted(HWND window, DWORD ms)
{
    // What the program has still to paint, painted now rather than when it next goes idle. Wine
    // then copies it to the screen a moment later: two equal looks tell that it has.
    RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    std::vector<DWORD> last;
    for (const DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(100)) {
        RECT shown;
        if (!IsWindowVisible(window) || !GetWindowRect(window, &shown))
            return false;
        std::vector<DWORD> now = Pixels(shown);
        const bool flat = std::adjacent_find(now.begin(), now.end(), std::not_equal_to<>()) ==
                          now.end(); // not painted yet, or only its background
        if (now == last && !flat)
            return true;
        last = std::move(now);
    }
    return false;
}

App::App(const std::wstring& exe)
{
    STARTUPINFOW startup{sizeof startup};
    CreateProcessW(exe.c_str(), nullptr, nullptr, nullptr, 0, 0, nullptr, L"C:\\", &startup,
                   &process);
}

App::~App()
{
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
    CloseHandle(process.hProcess), CloseHandle(process.hThread);
}

bool App::Watch(const std::function<bool()>& done, DWORD ms)
{
    for (const DWORD start = GetTickCount();; Sleep(10)) {
        const bool ended = WaitForSingleObject(process.hProcess, 0) != WAIT_TIMEOUT;
        box = nullptr;
        for (HWND window = GetTopWindow(nullptr); window; window = GetWindow(window, GW_HWNDNEXT)) {
            DWORD pid = 0;
            wchar_t name[32] = {};
            GetWindowThreadProcessId(window, &pid);
            GetClassNameW(window, name, 32);
            const std::wstring mine =
                pid == process.dwProcessId && IsWindowVisible(window) ? name : L"";
            main = mine == KV_FORM_CLASS ? window : main;
            box = mine == L"#32770" ? window : box;
        }
        if (done() || ended || GetTickCount() - start > ms)
            return done();
    }
}

std::wstring App::Answer()
{
    answered = {};
    if (!Watch([&] { return box; }, 10000))
        return L"<no message box>";
    const HWND shown = box;
    answered.seen = true;
    answered.title = TextOf(shown);
    for (HWND item = GetWindow(shown, GW_CHILD); item; item = GetWindow(item, GW_HWNDNEXT)) {
        if (IsWindowVisible(item) && (SendMessageW(item, WM_GETDLGCODE, 0, 0) & DLGC_BUTTON))
            answered.items.push_back(GetDlgCtrlID(item));
        if (SendMessageW(item, STM_GETICON, 0, 0)) // Wine keeps an empty icon static in any box
            answered.items.push_back(0);
    }
    const std::wstring text = TextOf(GetDlgItem(shown, 0xFFFF));
    PostMessageW(GetDlgItem(shown, IDOK), BM_CLICK, 0, 0);
    answered.closed = Watch([&] { return !IsWindowVisible(shown); }, 5000);
    return text;
}

bool App::EndsQuietly()
{
    DWORD code = 1;
    return !Watch([&] { return box; }, 5000) && GetExitCodeProcess(process.hProcess, &code) &&
           code == 0;
}

} // namespace demo
