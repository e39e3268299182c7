// A DLL planted beside the updater, as an attacker would drop version.dll, uxtheme.dll or
// dwmapi.dll into a downloads folder. Being loaded is all it does: it appends
// "<its path> <- <the program that loaded it>" to C:\planted-loads.txt.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t dll[MAX_PATH] = {}, host[MAX_PATH] = {}, line[2 * MAX_PATH + 8] = {};
    GetModuleFileNameW(self, dll, MAX_PATH);
    GetModuleFileNameW(nullptr, host, MAX_PATH);
    const int length = wsprintfW(line, L"%s <- %s\r\n", dll, host);
    HANDLE log = CreateFileW(L"C:\\planted-loads.txt", GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (log != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        SetFilePointer(log, 0, nullptr, FILE_END);
        WriteFile(log, line, static_cast<DWORD>(length * sizeof(wchar_t)), &written, nullptr);
        CloseHandle(log);
    }
    return TRUE;
}
