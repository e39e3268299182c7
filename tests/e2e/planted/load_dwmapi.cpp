// The control case for the planted-DLL test: a program that loads dwmapi.dll the ordinary way,
// without restricting the DLL search, from the folder where the DLL was planted.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return LoadLibraryW(L"dwmapi.dll") ? 0 : 1;
}
