// KVUp511f: brings an installed Korvane 5.00-5.10 up to 5.11.
#include <windows.h>

#include <sddl.h>

#include <cstdlib>

#include "app/form1.h"
#include "app/resource.h"

namespace {

// A kernel32 function of a later Windows than the program's header claims, or one that Wine
// lacks: nullptr where there is none.
template <typename Function>
Function KernelFunction(const char* name)
{
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

// The updater runs elevated from a downloads folder, where anything may lie beside it. Where
// Windows has SetDefaultDllDirectories (Windows 8 and later, and Vista and 7 with the 2011 loader
// update KB2533623), DLLs come from System32 only. Without it, SetDllDirectoryW(L"") only takes
// the current folder out of the search; the program's own folder is still searched.
void RestrictDllSearchToSystem32()
{
    constexpr DWORD kLoadLibrarySearchSystem32 = 0x00000800;
    const auto setDefault = KernelFunction<BOOL(WINAPI*)(DWORD)>("SetDefaultDllDirectories");
    if (setDefault)
        setDefault(kLoadLibrarySearchSystem32);
    SetDllDirectoryW(L"");
}

// The updater runs elevated in folders a standard user may write to. Where Windows has
// RedirectionGuard (current Windows 10 and 11), a junction that no administrator made is then not
// followed at all; the platform checks the way to the installation folder itself everywhere
// else. A Windows without the policy refuses it, which changes nothing.
void TrustOnlyAdministratorsRedirections()
{
    constexpr int kProcessRedirectionTrustPolicy = 16;
    constexpr DWORD kEnforceRedirectionTrust = 1;
    const auto setPolicy =
        KernelFunction<BOOL(WINAPI*)(int, PVOID, SIZE_T)>("SetProcessMitigationPolicy");
    DWORD policy = kEnforceRedirectionTrust;
    if (setPolicy)
        setPolicy(kProcessRedirectionTrustPolicy, &policy, sizeof policy);
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
    // Nothing here waits for the running updater: while it is busy (restoring files from a slow
    // CD) this start still ends at once. The restore waits in its queue, a box it owns comes
    // back with the form, and only a window that answers within a moment is brought forward.
    if (IsIconic(form))
        ShowWindowAsync(form, SW_RESTORE);
    // A message box, when one is up, is what waits for the user. Before the form shows, the
    // installation is being looked up: nothing to show yet.
    if ((box || IsWindowVisible(form)) &&
        SendMessageTimeoutW(form, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, 200, nullptr))
        SetForegroundWindow(box ? box : form);
}

// The security of the updaters' named objects: only administrators and the system may open them.
// The DACL is protected: nothing is inherited from the object directory. LocalFree it; nullptr
// if it could not be made.
PSECURITY_DESCRIPTOR AdministratorsOnly()
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;BA)(A;;GA;;;SY)",
                                                         SDDL_REVISION_1, &descriptor, nullptr);
    return descriptor;
}

// Where the updaters' mutex is named. In their own object namespace, one per machine: its
// boundary holds the Administrators group, so only a process in which that group is enabled (an
// elevated one, as every updater is) can make it, and only administrators and the system may open
// it. An ordinary user's program can take no name in it, so it cannot keep the updaters from
// running, as it can by taking their name in Global\ first; Global\ is only for a Windows (or a
// Wine) without private namespaces. The namespace's handle is kept for the life of the process:
// the namespace lasts while an updater holds it. nullptr when it is there but cannot be opened:
// Windows refuses that once its maker has ended, and another updater that opened it still holds
// it, running on or about to end.
const wchar_t* InstanceMutexName()
{
    const wchar_t *alias = L"KVUp511f", *inGlobal = L"Global\\KVUp511f";
    const auto createBoundary =
        KernelFunction<decltype(&CreateBoundaryDescriptorW)>("CreateBoundaryDescriptorW");
    const auto addSid =
        KernelFunction<decltype(&AddSIDToBoundaryDescriptor)>("AddSIDToBoundaryDescriptor");
    const auto createNamespace =
        KernelFunction<decltype(&CreatePrivateNamespaceW)>("CreatePrivateNamespaceW");
    const auto openNamespace =
        KernelFunction<decltype(&OpenPrivateNamespaceW)>("OpenPrivateNamespaceW");
    if (!createBoundary || !addSid || !createNamespace || !openNamespace)
        return inGlobal;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    HANDLE boundary = createBoundary(alias, 0);
    if (!boundary ||
        !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
        !addSid(&boundary, administrators))
        return inGlobal;
    PSECURITY_DESCRIPTOR descriptor = AdministratorsOnly();
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
    HANDLE updaters = createNamespace(descriptor ? &security : nullptr, boundary, alias);
    const bool made = updaters || GetLastError() != ERROR_ALREADY_EXISTS;
    if (!made) // by another updater
        updaters = openNamespace(boundary, alias);
    LocalFree(descriptor);
    if (updaters)
        return L"KVUp511f\\KVUp511f";
    return made ? inGlobal : nullptr;
}

// Whether another updater holds the mutex of that name. Every updater can open it, as each runs
// elevated (the manifest asks for it), whoever started it; an ordinary user's program cannot. The
// mutex lives as long as the process.
bool InstanceMutexTaken(const wchar_t* name)
{
    PSECURITY_DESCRIPTOR descriptor = AdministratorsOnly();
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
    const HANDLE mutex = CreateMutexW(descriptor ? &security : nullptr, FALSE, name);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    // Access refused also means that it exists: another updater made it for administrators.
    return mutex ? error == ERROR_ALREADY_EXISTS : error == ERROR_ACCESS_DENIED;
}

// One updater per installation, so one per machine: a second start, in this session or in
// another one (fast user switching, a terminal server), opens no window of its own and ends.
bool AnotherUpdaterRuns()
{
    const wchar_t* name = InstanceMutexName();
    if (name && !InstanceMutexTaken(name))
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
    TrustOnlyAdministratorsRedirections();
    if (AnotherUpdaterRuns())
        return 0;

    kv::Form1 form(instance);
    if (!form.Create())
        return 1;
    if (form.Form_Load())
        form.Show();
    return RunMessageLoop(form.Window());
}
