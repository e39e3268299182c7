// Driving the real KVUp511f.exe from a program in the same Wine prefix, as a person would: its
// windows, the message boxes, what the screen shows. scripts/demo's kv_demo.exe, the end-to-end
// tests and the Wine benchmarks drive the updater through it. It reports what it saw; judging it
// is up to its caller.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace demo {

// The installation as the updater finds it: Help_Dir (none when empty) and the edition's
// Value32 (none when 0).
void SetRegistry(const std::wstring& installFolder, DWORD edition = 0);
std::wstring TextOf(HWND window);                  // also another process's edit control's
std::vector<DWORD> Pixels(const RECT& screenRect); // as shown, rows top down, 0xRRGGBB
// Waits until the window shows on screen as painted: not one flat colour, and alike in two looks
// in a row. False when the time is up first.
bool Painted(HWND window, DWORD ms = 3000);

// The updater, started in C:\. Each wait polls its windows and ends as soon as the outcome is
// known: what is waited for, a message box instead, or the program's end.
class App {
public:
    explicit App(const std::wstring& exe);
    ~App(); // ends it if it is still running
    // False when the time is up or the program ended first.
    bool Watch(const std::function<bool()>& done, DWORD ms);
    // The main window, or nullptr when a box or the end came first. A cold Wine takes seconds.
    HWND Main()
    {
        return Watch([&] { return main || box; }, 20000), main;
    }
    // Reads the message box, presses its OK and waits for it to go; returns its text, or
    // "<no message box>" when none came. What else it saw of the box is in `answered`.
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
    struct Box {
        bool seen = false;
        std::wstring title;
        std::vector<int> items; // the buttons on show by ID, and 0 for an icon
        bool closed = false;    // gone after OK
    } answered;                 // the box of the last Answer()
    GUITHREADINFO gui{sizeof gui};
};

} // namespace demo
