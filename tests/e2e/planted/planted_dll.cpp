// A DLL planted beside the updater, as an attacker would drop version.dll, uxtheme.dll or
// dwmapi.dll into a downloads folder. Being loaded is all it does: it appends the path of the
// program that loaded it to C:\planted-loads.txt.
#include <windows.h>

#include <cstdio>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    char host[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, host, MAX_PATH);
    FILE* log = reason == DLL_PROCESS_ATTACH ? std::fopen("C:\\planted-loads.txt", "a") : nullptr;
    if (log)
        std::fprintf(log, "%s\n", host), std::fclose(log);
    return TRUE;
}
