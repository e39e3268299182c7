// The Replace floor: the file calls the updater's Replace must make, for the same files, and
// nothing else - move the two installed files aside as .backup, copy each packed file into the
// package folder (restore) and from there into the installation (install), delete the two
// staged copies.
//
//   replace_floor HOW PACKAGE_FOLDER INSTALL_FOLDER
//       HOW is how the copies are made, RESTORE[/INSTALL] when the two steps differ: copyfile
//       (CopyFileW), copyfileex (CopyFileExW), or rw:KIB[:eof] - a ReadFile/WriteFile loop with a
//       KIB KiB buffer, both files opened for sequential access, with :eof the target's size set
//       first with SetEndOfFile. (Wine does not implement reserving space with
//       FileAllocationInfo: error 120.) Prints "floor_ms TOTAL restore_ms R install_ms I
//       delete_ms D"; the two renames are in the total only.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

[[noreturn]] void Fail(const wchar_t* what, const std::wstring& path)
{
    std::fprintf(stderr, "replace_floor: %ls %ls (error %lu)\n", what, path.c_str(),
                 GetLastError());
    ExitProcess(2);
}

void ReadWriteCopy(const std::wstring& how, const std::wstring& from, const std::wstring& to)
{
    const DWORD bufferBytes = std::wcstoul(how.c_str() + 3, nullptr, 10) * 1024;
    char* buffer =
        static_cast<char*>(VirtualAlloc(nullptr, bufferBytes, MEM_COMMIT, PAGE_READWRITE));
    HANDLE in = CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    HANDLE out = CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (!buffer || in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE)
        Fail(L"cannot copy", from);
    if (how.find(L":eof") != std::wstring::npos) {
        LARGE_INTEGER size, start = {};
        if (!GetFileSizeEx(in, &size) || !SetFilePointerEx(out, size, nullptr, FILE_BEGIN) ||
            !SetEndOfFile(out) || !SetFilePointerEx(out, start, nullptr, FILE_BEGIN))
            Fail(L"SetEndOfFile", to);
    }
    for (DWORD got = 0, written = 0;;) {
        if (!ReadFile(in, buffer, bufferBytes, &got, nullptr))
            Fail(L"ReadFile", from);
        if (got == 0)
            break;
        if (!WriteFile(out, buffer, got, &written, nullptr) || written != got)
            Fail(L"WriteFile", to);
    }
    CloseHandle(in);
    if (!CloseHandle(out))
        Fail(L"CloseHandle", to);
    VirtualFree(buffer, 0, MEM_RELEASE);
}

void Copy(const std::wstring& how, const std::wstring& from, const std::wstring& to)
{
    if (how.rfind(L"rw:", 0) == 0)
        ReadWriteCopy(how, from, to);
    else if (how == L"copyfile" ? !CopyFileW(from.c_str(), to.c_str(), FALSE)
             : how == L"copyfileex"
                 ? !CopyFileExW(from.c_str(), to.c_str(), nullptr, nullptr, nullptr, 0)
                 : (SetLastError(ERROR_INVALID_PARAMETER), true))
        Fail(how.c_str(), from);
}

LONGLONG Now()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

double Ms(LONGLONG from, LONGLONG to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(to - from) / static_cast<double>(frequency.QuadPart);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: replace_floor HOW PACKAGE_FOLDER INSTALL_FOLDER\n");
        return 2;
    }
    const std::wstring how = argv[1];
    const std::wstring restoreHow = how.substr(0, how.find(L'/'));
    const std::wstring installHow = how.substr(how.find(L'/') + 1); // whole HOW when no '/'
    const std::wstring package = std::wstring(argv[2]) + L"\\",
                       install = std::wstring(argv[3]) + L"\\";
    const wchar_t* names[] = {L"korv5.exe", L"korv.hlp"};
    const wchar_t* packed[] = {L"korv5.ex_", L"korv.hl_"};

    const LONGLONG start = Now();
    for (const wchar_t* name : names)
        if (!MoveFileW((install + name).c_str(), (install + name + L".backup").c_str()))
            Fail(L"MoveFileW", install + name);
    const LONGLONG renamed = Now();
    for (int i = 0; i < 2; ++i)
        Copy(restoreHow, package + packed[i], package + names[i]);
    const LONGLONG restored = Now();
    for (const wchar_t* name : names)
        Copy(installHow, package + name, install + name);
    const LONGLONG installed = Now();
    for (const wchar_t* name : names)
        if (!DeleteFileW((package + name).c_str()))
            Fail(L"DeleteFileW", package + name);
    const LONGLONG end = Now();
    std::printf("floor_ms %.3f restore_ms %.3f install_ms %.3f delete_ms %.3f\n", Ms(start, end),
                Ms(renamed, restored), Ms(restored, installed), Ms(installed, end));
    return 0;
}
