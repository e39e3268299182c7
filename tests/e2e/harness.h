// Driving the real KVUp511f.exe from a program in the same Wine prefix, as a person would: its
// windows, the message boxes, what the screen shows.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace e2e {

std::wstring TextOf(HWND window);                  // also another process's edit control's
std::vector<DWORD> Pixels(const RECT& screenRect); // as shown, rows top down, 0xRRGGBB

// The updater, started in C:\. Each wait polls its windows and ends as soon as the outcome is
// known: what is waited for, a message box instead, or the program's end.
class App {
public:
    explicit App(const std::wstring& exe);
    ~App();                                                  // ends it if a test left it running
    bool Watch(const std::function<bool()>& done, DWORD ms); // false: timed out, or it ended
    HWND Main()
    {
        return Watch([&] { return main || box; }, 20000), main;
    } // cold Wine is slow
    // Reads the message box (title "Korv_Update", only OK, no icon), presses OK, returns the text.
    std::wstring Answer();
    bool EndsQuietly(); // with exit code 0, without another message box
    HWND Item(int id) const { return GetDlgItem(main, id); }

    PROCESS_INFORMATION process{};
    HWND main = nullptr, box = nullptr; // the main window once shown; the message box up now
};

} // namespace e2e
