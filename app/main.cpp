// KVUp511f: brings an installed Korvane 5.00-5.10 up to 5.11.
#include <windows.h>

#include <sddl.h>

#include <cstdlib>

#include "app/form1.h"
#include "app/resource.h"

namespace {

// The updater runs elevated from a downloads folder, where anything may lie beside it. Where
// Windows has SetDefaultDllDirectories (Windows 8 and later, and Vista and 7 with the 2011 loader
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

// Every window of the running updater belongs to its one thread: the form, on show or still
// hidden while the installation is looked up, and its message boxes. The not-found box shows
// before the form does and has no owner, so the form's own popups do not lead to it.
BOOL CALLBACK FindMessageBox(HWND window, LPARAM found)
{
    wchar_t name[8] = {};
    GetClassNameW(window, name, 8);
    if (lstrcmpW(name, L"#32770") != 0) // the class of every message box
        return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

void BringRunningUpdaterForward()
{
    // Windows of another session cannot be seen from here: that updater's user is told by it.
    HWND form = FindWindowW(KV_FORM_CLASS, nullptr);
    if (!form)
        return;
    HWND box = nullptr;
    EnumThreadWindows(GetWindowThreadProcessId(form, nullptr), FindMessageBox,
                      reinterpret_cast<LPARAM>(&box));
    if (IsIconic(form))
        ShowWindow(form, SW_RESTORE); // and with it a box it owns
    // A message box, when one is up, is what waits for the user. Before the form shows, the
    // installation is being looked up: nothing to show yet.
    if (box || IsWindowVisible(form))
        SetForegroundWindow(box ? box : form);
}

// One updater per installation, so one per machine: a second start, in this session or in
// another one (fast user switching, a terminal server), opens no window of its own and ends.
// The mutex lives as long as the process.
bool AnotherUpdaterRuns()
{
    // Only administrators and the system may open the mutex: every updater can, as each runs
    // elevated (the manifest asks for it), whoever started it. An ordinary user's program cannot,
    // so it cannot hold the name open after the updaters end and keep every later one from
    // running. The DACL is protected: nothing is inherited from the object directory.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;BA)(A;;GA;;;SY)",
                                                         SDDL_REVISION_1, &descriptor, nullptr);
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
    const HANDLE mutex = CreateMutexW(descriptor ? &security : nullptr, FALSE, L"Global\\KVUp511f");
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    // Access refused also means that it exists: another updater made it for administrators.
    if (mutex ? error != ERROR_ALREADY_EXISTS : error != ERROR_ACCESS_DENIED)
        return false;
    BringRunningUpdaterForward();
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
