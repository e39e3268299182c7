// KVUp511f: brings an installed Korvane 5.00-5.10 up to 5.11.
#include <windows.h>

#include <cstdlib>

#include "app/form1.h"
#include "app/resource.h"

namespace {

// The updater runs elevated from a downloads folder, where anything may lie beside it. Where
// Windows has SetDefaultDllDirectories (Windows 8 and later, and Windows 7 with the 2011 loader
// update KB2533623), DLLs come from System32 only. Without it, SetDllDirectoryW(L"") only takes
// the current folder out of the search; the program's own folder is still searched.
void RestrictDllSearchToSystem32()
{
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    constexpr DWORD kLoadLibrarySearchSystem32 = 0x00000800;
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefault)
        setDefault(kLoadLibrarySearchSystem32);
    SetDllDirectoryW(L"");
}

// One updater at a time: a second start (a double double-click, or the package opened again)
// brings the running one's window to the front and ends. The mutex lives as long as the process.
bool AnotherUpdaterRuns()
{
    if (!CreateMutexW(nullptr, FALSE, L"Local\\KVUp511f") || GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    if (HWND other = FindWindowW(KV_FORM_CLASS, nullptr)) {
        if (IsIconic(other))
            ShowWindow(other, SW_RESTORE);
        // Its message box, when one is up, is what waits for the user.
        SetForegroundWindow(GetLastActivePopup(other));
    }
    return true;
}

int RunMessageLoop(HWND form)
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // The dialog manager gives the window Tab, Enter and Space as in a dialog box.
        if (IsWindow(form) && IsDialogMessageW(form, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

} // namespace

// A GUI program has no console for libstdc++'s verbose report of an uncaught exception; its
// default handler would also link in the symbol demangler, a sixth of the program's size.
namespace __gnu_cxx {
void __verbose_terminate_handler()
{
    std::abort();
}
} // namespace __gnu_cxx

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    RestrictDllSearchToSystem32();
    if (AnotherUpdaterRuns())
        return 0;

    kv::Form1 form(instance);
    if (!form.Create())
        return 1;
    if (form.Form_Load())
        form.Show();
    return RunMessageLoop(form.Window());
}
