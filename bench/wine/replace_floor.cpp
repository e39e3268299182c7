// The Replace floor: the Windows calls the updater's Replace makes for the same files, made
// directly and nothing else, behind a window the benchmark drives exactly as it drives the
// updater's (same window class, path field and Replace button, same success box).
//
// It finds the installation through Help_Dir and the package beside itself, as the updater does
// (before the click, untimed). A click on Replace then, as the updater:
//   1. asks Windows to wait with log-off (ShutdownBlockReasonCreate); deletes stale copies in the
//      package folder (korv5.exe, korv.hlp) and leftover new files in the installation
//      (korv5.exe.new, korv.hlp.new);
//   2. restores korv5.ex_ and korv.hl_ straight into korv5.exe.new and korv.hlp.new: one
//      sequential read in 256 KiB pieces, CNG SHA-256 (bcrypt.dll loaded by full path when first
//      needed) over the restored bytes (and the packed ones, as a package's updater does), written
//      in whole pieces through CreateFileW(GENERIC_WRITE | DELETE, no sharing, CREATE_ALWAYS),
//      FlushFileBuffers; the new file is kept open;
//   3. opens both installed files for moving (GENERIC_READ | DELETE, FILE_SHARE_READ) and hashes
//      one only when its size equals the new file's; deletes the old backups (read-only cleared
//      first);
//   4. per file, renames through the handles (SetFileInformationByHandle, FileRenameInfo):
//      installed -> .backup, .new -> installed;
//   5. flushes the installation folder (its handle opened GENERIC_WRITE with backup semantics),
//      ends the log-off block, closes the files and shows the success box; OK ends it.
// The packed files must be plain copies (the benchmark's are): the floor does not expand SZDD.
//
// The updater's build in the benchmark carries no package sums, so it hashes the packed bytes
// not at all and the restored ones once; the benchmark runs the floor with KV_FLOOR_HASH=once,
// which does the same (for a plain copy the packed bytes are the restored ones).
//
// Environment:
//   KV_FLOOR=least       the least a verified update can do instead: per file the read, the
//                        hashing, the write and flush of the new file, the installed file opened
//                        (read only when its size equals the new one's) and the two renames;
//                        no deletions, no log-off block, no folder flush.
//   KV_FLOOR_HASH=once   as above; =none: no SHA-256 at all, the same reads and writes; unset:
//                        the packed and the restored bytes hashed, as a package's updater does.
//   KV_FLOOR_TIMES=FILE  appends "tidy_ms T restore_ms R hold_ms H swap_ms S flush_ms F" (each
//                        summed over both files) to FILE once the box is answered.
#include <windows.h>

#include <bcrypt.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/resource.h"
#include "platform/product.h"

namespace {

constexpr DWORD kPiece = 256 * 1024;

[[noreturn]] void Fail(const wchar_t* what, const std::wstring& path)
{
    wchar_t text[600];
    wsprintfW(text, L"replace_floor: %s %s (error %lu)", what, path.c_str(), GetLastError());
    MessageBoxW(nullptr, text, L"replace_floor", MB_OK); // the benchmark then reports the text
    ExitProcess(2);
}

enum class Hashing { Both, Once, None };

Hashing HashingAsked()
{
    wchar_t value[16] = {};
    GetEnvironmentVariableW(L"KV_FLOOR_HASH", value, 16);
    return !std::wcscmp(value, L"once")   ? Hashing::Once
           : !std::wcscmp(value, L"none") ? Hashing::None
                                          : Hashing::Both;
}

// CNG's SHA-256 from System32's bcrypt.dll, loaded on first use as the updater loads it.
struct Cng {
    using Open = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG);
    using Create = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR,
                                     ULONG, ULONG);
    using Data = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
    using Finish = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
    using Destroy = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE);

    Cng()
    {
        wchar_t path[MAX_PATH];
        GetSystemDirectoryW(path, MAX_PATH - 12);
        lstrcatW(path, L"\\bcrypt.dll");
        HMODULE dll = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!dll)
            Fail(L"LoadLibraryExW", path);
        const auto find = [dll](const char* name) {
            return reinterpret_cast<void*>(GetProcAddress(dll, name));
        };
        const auto open = reinterpret_cast<Open>(find("BCryptOpenAlgorithmProvider"));
        create = reinterpret_cast<Create>(find("BCryptCreateHash"));
        data = reinterpret_cast<Data>(find("BCryptHashData"));
        finish = reinterpret_cast<Finish>(find("BCryptFinishHash"));
        destroy = reinterpret_cast<Destroy>(find("BCryptDestroyHash"));
        if (!open || !create || !data || !finish || !destroy ||
            open(&sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
            Fail(L"BCryptOpenAlgorithmProvider", path);
    }

    BCRYPT_ALG_HANDLE sha256 = nullptr;
    Create create = nullptr;
    Data data = nullptr;
    Finish finish = nullptr;
    Destroy destroy = nullptr;
};

using Digest = std::array<UCHAR, 32>;

// One SHA-256; with `on` false it takes the bytes and hashes nothing.
class Sha256 {
public:
    explicit Sha256(bool on) : on_(on)
    {
        static const Cng cng;
        cng_ = &cng;
        if (on_ && cng.create(cng.sha256, &hash_, nullptr, 0, nullptr, 0, 0) != 0)
            Fail(L"BCryptCreateHash", L"");
    }
    ~Sha256()
    {
        if (on_)
            cng_->destroy(hash_);
    }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void Add(void* bytes, DWORD size)
    {
        if (on_ && cng_->data(hash_, static_cast<PUCHAR>(bytes), size, 0) != 0)
            Fail(L"BCryptHashData", L"");
    }
    Digest Finish()
    {
        Digest digest{};
        if (on_ && cng_->finish(hash_, digest.data(), 32, 0) != 0)
            Fail(L"BCryptFinishHash", L"");
        return digest;
    }

private:
    const Cng* cng_;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
    bool on_;
};

HANDLE Open(const std::wstring& path, DWORD access, DWORD sharing, DWORD creation, DWORD flags)
{
    HANDLE file = CreateFileW(path.c_str(), access, sharing, nullptr, creation, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        Fail(L"cannot open", path);
    return file;
}

// Reads `in` to its end in whole pieces; each piece goes through `read`, then to `out` (when
// there is one) through `written`.
void Pump(HANDLE in, const std::wstring& from, HANDLE out, const std::wstring& to, Sha256& read,
          Sha256& written)
{
    std::vector<char> buffer(kPiece);
    for (DWORD got = 0, put = 0;;) {
        if (!ReadFile(in, buffer.data(), kPiece, &got, nullptr))
            Fail(L"ReadFile", from);
        if (got == 0)
            return;
        read.Add(buffer.data(), got);
        if (out == nullptr)
            continue;
        written.Add(buffer.data(), got);
        if (!WriteFile(out, buffer.data(), got, &put, nullptr) || put != got)
            Fail(L"WriteFile", to);
    }
}

ULONGLONG SizeOf(HANDLE file)
{
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    return static_cast<ULONGLONG>(size.QuadPart);
}

// A new file and the installed one it replaces, each held by its handle until the end.
struct Held {
    HANDLE fresh = nullptr, old = nullptr;
    Digest sum{};
    bool upToDate = false;
};

void Restore(const std::wstring& packed, const std::wstring& fresh, Hashing hashing, Held& held)
{
    Sha256 packedSum(hashing == Hashing::Both), restoredSum(hashing != Hashing::None);
    HANDLE in =
        Open(packed, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
    held.fresh = Open(fresh, GENERIC_WRITE | DELETE, 0, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
    Pump(in, packed, held.fresh, fresh, packedSum, restoredSum);
    packedSum.Finish();
    held.sum = restoredSum.Finish();
    if (!FlushFileBuffers(held.fresh))
        Fail(L"FlushFileBuffers", fresh);
    CloseHandle(in);
}

void Hold(const std::wstring& installed, Hashing hashing, Held& held)
{
    held.old = Open(installed, GENERIC_READ | DELETE, FILE_SHARE_READ, OPEN_EXISTING,
                    FILE_FLAG_SEQUENTIAL_SCAN);
    if (SizeOf(held.old) != SizeOf(held.fresh))
        return;
    Sha256 sum(hashing != Hashing::None), none(false);
    Pump(held.old, installed, nullptr, L"", sum, none);
    held.upToDate = hashing != Hashing::None && sum.Finish() == held.sum;
}

void Rename(HANDLE file, const std::wstring& to)
{
    const DWORD nameBytes = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = nameBytes;
    std::memcpy(rename->FileName, to.data(), nameBytes);
    if (!SetFileInformationByHandle(file, FileRenameInfo, rename,
                                    static_cast<DWORD>(buffer.size())))
        Fail(L"SetFileInformationByHandle", to);
}

LONGLONG Now()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

// Found at start-up, before the clock runs.
struct Paths {
    std::wstring package, install; // each ending with a backslash
};
Paths paths;
Hashing askedHashing = Hashing::Both;
bool least = false;

void Replace(HWND window)
{
    const Hashing hashing = askedHashing;
    const wchar_t* names[] = {L"korv5.exe", L"korv.hlp"};
    const wchar_t* packed[] = {L"korv5.ex_", L"korv.hl_"};
    enum { kTidy, kRestore, kHold, kSwap, kFlush, kParts };
    LONGLONG spent[kParts] = {};
    LONGLONG mark = Now();
    const auto done = [&](int part) {
        const LONGLONG now = Now();
        spent[part] += now - mark;
        mark = now;
    };

    if (!least) {
        ShutdownBlockReasonCreate(window, L"Updating Korvane");
        for (const wchar_t* name : names)
            DeleteFileW((paths.package + name).c_str());
        for (const wchar_t* name : names)
            DeleteFileW((paths.install + name + L".new").c_str());
    }
    done(kTidy);
    Held held[2];
    for (int i = 0; i < 2; ++i)
        Restore(paths.package + packed[i], paths.install + names[i] + L".new", hashing, held[i]);
    done(kRestore);
    for (int i = 0; i < 2; ++i)
        Hold(paths.install + names[i], hashing, held[i]);
    for (int i = 0; i < 2 && !least; ++i) {
        if (held[i].upToDate)
            continue;
        const std::wstring backup = paths.install + names[i] + L".backup";
        const DWORD attributes = GetFileAttributesW(backup.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES)
            SetFileAttributesW(backup.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
        DeleteFileW(backup.c_str());
    }
    done(kHold);
    for (int i = 0; i < 2; ++i) {
        if (held[i].upToDate)
            continue;
        Rename(held[i].old, paths.install + names[i] + L".backup");
        Rename(held[i].fresh, paths.install + names[i]);
    }
    done(kSwap);
    if (!least) {
        HANDLE folder = Open(paths.install, GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS);
        if (!FlushFileBuffers(folder))
            Fail(L"FlushFileBuffers", paths.install);
        CloseHandle(folder);
        ShutdownBlockReasonDestroy(window);
    }
    for (Held& file : held) {
        CloseHandle(file.old);
        if (!CloseHandle(file.fresh))
            Fail(L"CloseHandle", paths.install);
    }
    done(kFlush);

    // The updater's success box: its text, its title, owned by the visible window.
    MessageBoxW(IsWindowVisible(window) ? window : nullptr,
                L"Old Version was successfully updated!", kv::kMessageTitle, MB_OK);

    // After the box: the clock stopped when it came up.
    wchar_t timesFile[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"KV_FLOOR_TIMES", timesFile, MAX_PATH)) {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        const auto ms = [&](int part) { return 1000.0 * spent[part] / frequency.QuadPart; };
        if (FILE* out = _wfopen(timesFile, L"a")) {
            std::fprintf(out,
                         "tidy_ms %.3f restore_ms %.3f hold_ms %.3f swap_ms %.3f "
                         "flush_ms %.3f\n",
                         ms(kTidy), ms(kRestore), ms(kHold), ms(kSwap), ms(kFlush));
            std::fclose(out);
        }
    }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND && LOWORD(wParam) == IDC_COMMAND1 && HIWORD(wParam) == BN_CLICKED) {
        Replace(window);
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

// The installation (Help_Dir) and the package folder (this program's own), as the updater finds
// them at start-up.
bool FindPaths()
{
    wchar_t folder[MAX_PATH] = {};
    DWORD size = sizeof folder;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quillmarsh\\Korvane", L"Help_Dir",
                     RRF_RT_REG_SZ, nullptr, folder, &size) != ERROR_SUCCESS)
        return false;
    paths.install = std::wstring(folder) + L"\\";
    wchar_t self[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length == MAX_PATH)
        return false;
    paths.package = self;
    paths.package.erase(paths.package.find_last_of(L'\\') + 1);
    return true;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    if (!FindPaths())
        Fail(L"no installation or package folder", L"");
    askedHashing = HashingAsked();
    wchar_t way[8] = {};
    GetEnvironmentVariableW(L"KV_FLOOR", way, 8);
    least = !std::wcscmp(way, L"least");
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = KV_FORM_CLASS;
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, KV_FORM_CLASS, L"Replace floor",
                                  WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 440, 250, nullptr, nullptr, instance, nullptr);
    CreateWindowExW(0, L"STATIC", (paths.install + L"korv5.exe").c_str(), WS_CHILD | WS_VISIBLE, 10,
                    10, 410, 20, window, reinterpret_cast<HMENU>(IDC_TEXT1), instance, nullptr);
    CreateWindowExW(0, L"BUTTON", L"Replace", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10, 40, 80, 25,
                    window, reinterpret_cast<HMENU>(IDC_COMMAND1), instance, nullptr);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}
