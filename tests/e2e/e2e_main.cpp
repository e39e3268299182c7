// The end-to-end test program: every scenario drives the real KVUp511f.exe.
#include <windows.h>

#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv)
{
    // Coordinates of the program's windows are compared in physical pixels.
    SetProcessDPIAware();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
