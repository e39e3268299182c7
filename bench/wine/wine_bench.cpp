// Times KVUp511f.exe inside a Wine prefix, driving its window the way a person would.
//
//   kv_wine_bench replace APP INSTALL_FOLDER
//       One timed Replace: starts APP (the updater, in its package folder beside korv5.ex_ and
//       korv.hl_), waits until its window shows INSTALL_FOLDER\korv5.exe, then measures from
//       posting the Replace click until the success message box is visible. Presses OK and
//       waits for the program to end. Prints "replace_ms <milliseconds>".
//       The caller arranges the installation before each run (old files in place, no backups).
//
//   kv_wine_bench startup APP INSTALL_FOLDER MINIMAL RUNS
//       Start-up: from CreateProcessW until the updater's window is visible and its path field
//       holds INSTALL_FOLDER\korv5.exe, against MINIMAL (a program that opens one empty window)
//       from CreateProcessW until its window is visible. One untimed warm-up of each, then RUNS
//       interleaved runs of each. Prints "startup_app_ms <ms>" and "startup_minimal_ms <ms>"
//       per run.
//
//   kv_wine_bench copies PACKAGE_FOLDER WORK_FOLDER
//       The procedure's file work alone, for the analysis: the same four CopyFileW calls
//       (PACKAGE_FOLDER\korv5.ex_ and korv.hl_ -> WORK_FOLDER\staged -> WORK_FOLDER\installed)
//       and the two DeleteFileW calls on the staged copies, timed in this process. Prints
//       "copyfile_ms <ms> deletefile_ms <ms>". The destinations must not exist.
//
// replace and startup set HKLM\SOFTWARE\Quillmarsh\Korvane "Help_Dir" to INSTALL_FOLDER first. All times come
// from QueryPerformanceCounter; windows are polled once a millisecond.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "app/resource.h"

namespace {

constexpr DWORD kTimeoutMs = 60000;
constexpr wchar_t kMinimalClass[] = L"KvMinimalWindow";
constexpr wchar_t kSuccessText[] = L"Old Version was successfully updated!";

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "kv_wine_bench: %s (error %lu)\n", what, GetLastError());
    std::fflush(stderr);
    ExitProcess(2);
}

double Milliseconds(LONGLONG ticks)
{
    static LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    return 1000.0 * static_cast<double>(ticks) / static_cast<double>(frequency);
}

LONGLONG Now()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

std::wstring Join(const std::wstring& folder, const wchar_t* name)
{
    return (!folder.empty() && folder.back() == L'\\') ? folder + name : folder + L"\\" + name;
}

std::wstring FolderOf(const std::wstring& path)
{
    const auto slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

std::wstring TextOf(HWND window)
{
    wchar_t text[2048] = {};
    GetWindowTextW(window, text, 2048);
    return text;
}

// An edit control keeps its text to itself: Wine's GetWindowTextW on another process's edit
// control reads the text it was created with, so ask the control.
std::wstring EditTextOf(HWND edit)
{
    wchar_t text[2048] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(edit, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(text),
                             SMTO_ABORTIFHUNG, 5000, &copied))
        return L"(no answer to WM_GETTEXT)";
    return text;
}

void SetInstallFolder(const std::wstring& folder)
{
    // The updater reads the value with the ANSI API, as the product's installer wrote it.
    char ansi[MAX_PATH * 2] = {};
    const int n = WideCharToMultiByte(CP_ACP, 0, folder.c_str(), -1, ansi, sizeof ansi, nullptr,
                                      nullptr);
    if (n <= 0)
        Fail("install folder not representable in the ANSI code page");
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillmarsh\\Korvane", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        Fail("RegCreateKeyExA");
    const LONG rc = RegSetValueExA(key, "Help_Dir", 0, REG_SZ, reinterpret_cast<BYTE*>(ansi),
                                   static_cast<DWORD>(n));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        Fail("RegSetValueExA");
    // No edition marker: the family edition, which the updater accepts.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zelvaric");
}

// What the path field last showed, for the report when a wait times out.
std::wstring lastPathShown = L"(no visible window)";

class Process {
public:
    explicit Process(const std::wstring& exe)
    {
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        std::wstring commandLine = L"\"" + exe + L"\"";
        const std::wstring folder = FolderOf(exe);
        if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            folder.c_str(), &si, &pi_))
            Fail("CreateProcessW");
    }
    ~Process()
    {
        if (WaitForSingleObject(pi_.hProcess, kTimeoutMs) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "kv_wine_bench: program did not end; terminating it\n");
            TerminateProcess(pi_.hProcess, 99);
            WaitForSingleObject(pi_.hProcess, 5000);
        }
        CloseHandle(pi_.hThread);
        CloseHandle(pi_.hProcess);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Running() const { return WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT; }

    // The first visible top-level window of this process with the given class, or nullptr.
    HWND VisibleWindow(const wchar_t* className) const
    {
        for (HWND w = FindWindowExW(nullptr, nullptr, className, nullptr); w;
             w = FindWindowExW(nullptr, w, className, nullptr)) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid == pi_.dwProcessId && IsWindowVisible(w))
                return w;
        }
        return nullptr;
    }

    // Polls `ready` once a millisecond; fails the run on timeout or when the program ends.
    template <typename Ready>
    HWND WaitFor(const char* what, Ready ready) const
    {
        const DWORD start = GetTickCount();
        for (;;) {
            if (HWND w = ready())
                return w;
            if (!Running()) {
                std::fprintf(stderr, "kv_wine_bench: program ended while waiting for %s\n", what);
                ExitProcess(2);
            }
            if (GetTickCount() - start > kTimeoutMs) {
                std::fprintf(stderr, "kv_wine_bench: timed out waiting for %s (path field: %ls)\n",
                             what, lastPathShown.c_str());
                TerminateProcess(pi_.hProcess, 99);
                ExitProcess(2);
            }
            Sleep(1);
        }
    }

private:
    PROCESS_INFORMATION pi_ = {};
};

// The updater's main window once it is visible and shows `expectedPath`, or nullptr.
HWND FilledMainWindow(const Process& app, const std::wstring& expectedPath)
{
    HWND main = app.VisibleWindow(KV_FORM_CLASS);
    if (!main)
        return nullptr;
    HWND edit = GetDlgItem(main, IDC_TEXT1);
    lastPathShown = edit ? EditTextOf(edit) : L"(no path field)";
    return edit && lastPathShown == expectedPath ? main : nullptr;
}

int Replace(const std::wstring& app, const std::wstring& installFolder)
{
    SetInstallFolder(installFolder);
    const std::wstring expectedPath = Join(installFolder, L"korv5.exe");

    Process process(app);
    HWND main = process.WaitFor("the updater's window",
                                [&] { return FilledMainWindow(process, expectedPath); });
    HWND replace = GetDlgItem(main, IDC_COMMAND1);
    if (!replace || !IsWindowEnabled(replace))
        Fail("the Replace button is missing or disabled");
    Sleep(300); // let the window finish painting and go idle

    // Posted, not sent: the click handler runs the whole procedure and then a modal message box.
    const LONGLONG start = Now();
    if (!PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDC_COMMAND1, BN_CLICKED),
                      reinterpret_cast<LPARAM>(replace)))
        Fail("PostMessageW");
    HWND box = process.WaitFor("the message box", [&] { return process.VisibleWindow(L"#32770"); });
    const LONGLONG end = Now();

    Sleep(50); // the box's static text is filled while the dialog initialises
    const std::wstring text = TextOf(GetDlgItem(box, 0xFFFF));
    PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    if (text != kSuccessText) {
        std::fprintf(stderr, "kv_wine_bench: the update did not succeed: %ls\n", text.c_str());
        return 1;
    }
    std::printf("replace_ms %.3f\n", Milliseconds(end - start));
    std::fflush(stdout);
    return 0;
}

double TimeAppStart(const std::wstring& app, const std::wstring& expectedPath)
{
    const LONGLONG start = Now();
    Process process(app);
    HWND main = process.WaitFor("the updater's window",
                                [&] { return FilledMainWindow(process, expectedPath); });
    const LONGLONG end = Now();
    // Cancel ends the updater without touching anything.
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDC_COMMAND2, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(main, IDC_COMMAND2)));
    return Milliseconds(end - start);
}

double TimeMinimalStart(const std::wstring& minimal)
{
    const LONGLONG start = Now();
    Process process(minimal);
    HWND window = process.WaitFor("the minimal window",
                                  [&] { return process.VisibleWindow(kMinimalClass); });
    const LONGLONG end = Now();
    PostMessageW(window, WM_CLOSE, 0, 0);
    return Milliseconds(end - start);
}

int Startup(const std::wstring& app, const std::wstring& installFolder,
            const std::wstring& minimal, int runs)
{
    SetInstallFolder(installFolder);
    const std::wstring expectedPath = Join(installFolder, L"korv5.exe");

    // Each measurement's process has ended (Process's destructor waits) before the next starts;
    // the pause lets Wine finish tearing it down.
    TimeAppStart(app, expectedPath);
    Sleep(200);
    TimeMinimalStart(minimal);
    Sleep(200);
    for (int i = 0; i < runs; ++i) {
        // Alternate which goes first, so neither always follows the other.
        if (i % 2 == 0) {
            std::printf("startup_app_ms %.3f\n", TimeAppStart(app, expectedPath));
            Sleep(200);
            std::printf("startup_minimal_ms %.3f\n", TimeMinimalStart(minimal));
        } else {
            std::printf("startup_minimal_ms %.3f\n", TimeMinimalStart(minimal));
            Sleep(200);
            std::printf("startup_app_ms %.3f\n", TimeAppStart(app, expectedPath));
        }
        std::fflush(stdout);
        Sleep(200);
    }
    return 0;
}

int Copies(const std::wstring& package, const std::wstring& work)
{
    const std::wstring packedExe = Join(package, L"korv5.ex_");
    const std::wstring packedHelp = Join(package, L"korv.hl_");
    const std::wstring stagedExe = Join(work, L"staged\\korv5.exe");
    const std::wstring stagedHelp = Join(work, L"staged\\korv.hlp");
    const std::wstring installedExe = Join(work, L"installed\\korv5.exe");
    const std::wstring installedHelp = Join(work, L"installed\\korv.hlp");

    const LONGLONG start = Now();
    if (!CopyFileW(packedExe.c_str(), stagedExe.c_str(), FALSE) ||
        !CopyFileW(packedHelp.c_str(), stagedHelp.c_str(), FALSE) ||
        !CopyFileW(stagedExe.c_str(), installedExe.c_str(), FALSE) ||
        !CopyFileW(stagedHelp.c_str(), installedHelp.c_str(), FALSE))
        Fail("CopyFileW");
    const LONGLONG copied = Now();
    if (!DeleteFileW(stagedExe.c_str()) || !DeleteFileW(stagedHelp.c_str()))
        Fail("DeleteFileW");
    const LONGLONG deleted = Now();
    std::printf("copyfile_ms %.3f deletefile_ms %.3f\n", Milliseconds(copied - start),
                Milliseconds(deleted - copied));
    std::fflush(stdout);
    return 0;
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: kv_wine_bench replace APP INSTALL_FOLDER\n"
                 "       kv_wine_bench startup APP INSTALL_FOLDER MINIMAL RUNS\n"
                 "       kv_wine_bench copies PACKAGE_FOLDER WORK_FOLDER\n");
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && std::wcscmp(argv[1], L"replace") == 0)
        return Replace(argv[2], argv[3]);
    if (argc == 4 && std::wcscmp(argv[1], L"copies") == 0)
        return Copies(argv[2], argv[3]);
    if (argc == 6 && std::wcscmp(argv[1], L"startup") == 0) {
        const int runs = _wtoi(argv[5]);
        return runs > 0 ? Startup(argv[2], argv[3], argv[4], runs) : Usage();
    }
    return Usage();
}
