// Driving the real KVUp511f.exe from a program in the same Wine prefix, as a person would: its
// windows, the message boxes, what the screen shows.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace e2e {

// The installation as the updater finds it: Help_Dir (none when empty) and the edition's
// Value32 (none when 0).
void SetRegistry(const std::wstring& installFolder, DWORD edition = 0);
std::wstring TextOf(HWND window);                  // also another process's edit control's
std::vector<DWORD> Pixels(const RECT& screenRect); // as shown, rows top down, 0xRRGGBB

// The updater, started in C:\. Each wait polls its windows and ends as soon as the outcome is
// known: what is waited for, a message box instead, or the program's end.
class App {
public:
    explicit App(const std::wstring& exe);
    ~App(); // ends it if a test left it running
    // False when the time is up or the program ended first.
    bool Watch(const std::function<bool()>& done, DWORD ms);
    // The main window, or nullptr when a box or the end came first. A cold Wine takes seconds.
    HWND Main()
    {
        return Watch([&] { return main || box; }, 20000), main;
    }
    // Reads the message box (title "Korv_Update", only OK, no icon), presses OK, returns the text.
    std::wstring Answer();
    bool EndsQuietly(); // with exit code 0, without another message box
    // Still running a moment later, with its window on show and no message box.
    bool Stays()
    {
        return !Watch([&] { return box; }, 500) && IsWindowVisible(main);
    }
    HWND Item(int id) const { return GetDlgItem(main, id); }
    HWND Focus() { return GetGUIThreadInfo(process.dwThreadId, &gui) ? gui.hwndFocus : nullptr; }
    // A key pressed on the focused control.
    void Key(WPARAM k)
    {
        PostMessageW(Focus(), WM_KEYDOWN, k, 0), PostMessageW(Focus(), WM_KEYUP, k, 0);
    }

    PROCESS_INFORMATION process{};
    HWND main = nullptr, box = nullptr; // the main window once shown; the message box up now
    GUITHREADINFO gui{sizeof gui};
};

} // namespace e2e
