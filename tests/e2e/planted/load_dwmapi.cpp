// The control case for the planted DLLs: an ordinary program that loads dwmapi.dll by name, so
// the search starts in its own folder, where the DLL was planted.
#include <windows.h>

int main()
{
    return LoadLibraryW(L"dwmapi.dll") ? 0 : 1;
}
