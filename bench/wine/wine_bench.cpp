// Times KVUp511f.exe inside a Wine prefix, driving it through the demo's Wine driver.
//
//   kv_wine_bench replace APP INSTALL_FOLDER
//       One Replace: starts APP (in its package folder, beside korv5.ex_ and korv.hl_), waits
//       until its window shows INSTALL_FOLDER\korv5.exe, then times from posting the click on
//       Replace until the success box is visible; answers it. Prints "replace_ms MS".
//   kv_wine_bench startup APP INSTALL_FOLDER MINIMAL RUNS
//       From CreateProcessW until the updater's window is visible and shows the installed path,
//       against MINIMAL (the floor) until its window is visible and answers with its caption;
//       one untimed start of each, then RUNS of each, alternating which goes first. Prints
//       "startup_app_ms MS" and "startup_minimal_ms MS" per run.
// The caller points the registry at INSTALL_FOLDER. Times come from QueryPerformanceCounter.
#include <cstdio>
#include <cwchar>

#include "app/resource.h"
#include "demo/driver.h"

namespace {

double Now()
{
    LARGE_INTEGER t, frequency;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool Ended(const demo::App& app)
{
    return WaitForSingleObject(app.process.hProcess, 0) != WAIT_TIMEOUT;
}

// Looks at the program's windows once a millisecond: the driver's own waits look every 10 ms,
// too coarse to time a start-up of about 100 ms.
template <typename Ready>
void Await(demo::App& app, const char* what, Ready ready)
{
    for (const DWORD start = GetTickCount(); !(app.Watch([] { return true; }, 0), ready());
         Sleep(1))
        if (Ended(app) || GetTickCount() - start > 20000) {
            std::fprintf(stderr, "kv_wine_bench: no %s\n", what);
            ExitProcess(2);
        }
}

// The updater's window once it shows the installation it found.
void AwaitFilled(demo::App& app, const std::wstring& path)
{
    Await(app, "filled window",
          [&] { return app.main && demo::TextOf(app.Item(IDC_TEXT1)) == path; });
}

int Replace(const std::wstring& exe, const std::wstring& installFolder)
{
    demo::App app(exe);
    AwaitFilled(app, installFolder + L"\\korv5.exe");
    Sleep(300); // let the window finish painting and go idle
    // Posted: the click runs the whole procedure and then the modal box.
    const double start = Now();
    PostMessageW(app.main, WM_COMMAND, MAKEWPARAM(IDC_COMMAND1, BN_CLICKED),
                 LPARAM(app.Item(IDC_COMMAND1)));
    Await(app, "message box", [&] { return app.box; });
    const double end = Now();
    const std::wstring answer = app.Answer();
    if (answer != L"Old Version was successfully updated!") {
        std::fprintf(stderr, "kv_wine_bench: the update did not succeed: %ls\n", answer.c_str());
        return 1;
    }
    WaitForSingleObject(app.process.hProcess, 10000);
    std::printf("replace_ms %.3f\n", end - start);
    return 0;
}

// Until the window is visible and its thread answers with the text a person would see: the
// updater's path field, the floor's caption (its thread answers once it has painted and runs its
// message loop, as the updater's must).
void TimeStart(const std::wstring& exe, const std::wstring& path, bool print)
{
    const double start = Now();
    demo::App app(exe);
    if (path.empty())
        Await(app, "window",
              [&] { return app.main && demo::TextOf(app.main) == L"Minimal window"; });
    else
        AwaitFilled(app, path);
    const double end = Now();
    PostMessageW(app.main, WM_CLOSE, 0, 0);
    WaitForSingleObject(app.process.hProcess, 10000);
    Sleep(200); // Wine tears the process down after it has ended
    if (print)
        std::printf("startup_%s_ms %.3f\n", path.empty() ? "minimal" : "app", end - start);
    std::fflush(stdout);
}

int Startup(const std::wstring& exe, const std::wstring& installFolder, const std::wstring& minimal,
            int runs)
{
    const std::wstring path = installFolder + L"\\korv5.exe";
    for (int i = -1; i < runs; ++i)   // round -1 warms Wine up, untimed
        for (int k : {i & 1, ~i & 1}) // which goes first alternates
            TimeStart(k ? minimal : exe, k ? L"" : path, i >= 0);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && !std::wcscmp(argv[1], L"replace"))
        return Replace(argv[2], argv[3]);
    if (argc == 6 && !std::wcscmp(argv[1], L"startup") && _wtoi(argv[5]) > 0)
        return Startup(argv[2], argv[3], argv[4], _wtoi(argv[5]));
    std::fprintf(stderr, "usage: kv_wine_bench replace APP INSTALL_FOLDER\n"
                         "       kv_wine_bench startup APP INSTALL_FOLDER MINIMAL RUNS\n");
    return 2;
}
