// The update window: created hidden, filled by the installation lookup, then shown.
#pragma once

#include <windows.h>

#include "locate/locator.h"
#include "platform/platform_win.h"

namespace kv {

// Owns a GDI object (font, brush) and deletes it once.
template <typename T>
class ScopedGdiObject {
public:
    explicit ScopedGdiObject(T object = nullptr) : object_(object) {}
    ~ScopedGdiObject() { Reset(); }
    ScopedGdiObject(const ScopedGdiObject&) = delete;
    ScopedGdiObject& operator=(const ScopedGdiObject&) = delete;
    T Get() const { return object_; }
    void Reset(T object = nullptr)
    {
        if (object_)
            DeleteObject(object_);
        object_ = object;
    }

private:
    T object_;
};

class Form1 {
public:
    explicit Form1(HINSTANCE instance) : instance_(instance) {}

    // Creates the window and its controls, not yet visible.
    bool Create();
    // Runs the installation lookup. False when the product was not found: the message has been
    // shown and the window closed.
    bool Form_Load();
    void Show();
    HWND Window() const { return window_; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    // Font and places of the controls for dpi_.
    void LayOut();
    int Scale(int twips) const { return MulDiv(twips, dpi_, 1440); }
    // Decides between the window's own colours and the system's, after a change of scheme.
    void ReadColourScheme();
    void OnCommand(int id, int notification);
    HBRUSH OnColorStatic(HDC dc, HWND control);
    // While Replace runs, nothing on the window looks as if it could be used.
    void SetBusy(bool busy);
    void Command1_Click();
    void Command2_Click();

    HINSTANCE instance_;
    HWND window_ = nullptr;
    HWND focusBeforeDeactivation_ = nullptr; // Cancel until the user moves the focus
    int dpi_ = 96;
    bool ownColours_ = true; // navy, blue and grey; false: the system's colours
    bool updating_ = false;  // a Replace run, its message box included, is in progress
    ScopedGdiObject<HFONT> font_;
    ScopedGdiObject<HBRUSH> textBackground_;
    Win32Platform platform_;
    Installation installation_; // ExePath and HelpPath
};

} // namespace kv
