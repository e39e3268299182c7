#include "app/form1.h"

#include <algorithm>

#include "app/resource.h"
#include "platform/product.h"
#include "update/replace.h"

namespace kv {

namespace {

// The window's client area and the controls' places are laid out in twips (1/1440 inch) and
// scaled to the display's DPI, so the window looks the same at 96 and at 144 DPI.
constexpr int kClientWidthTwips = 6585;
constexpr int kClientHeightTwips = 3705;
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;

constexpr COLORREF kNavy = RGB(0, 0, 128);
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kLightGrey = RGB(192, 192, 192);

// Sent by Windows 8.1 and later; the headers for Vista do not name it.
constexpr UINT kDpiChanged = 0x02E0; // WM_DPICHANGED

int DisplayDpi()
{
    // Windows since Vista offers no resolution below 96 (100 %); a screen DC that cannot be had
    // reads as 0 and gets that too.
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return std::max(dpi, 96);
}

// The classic 8-point dialog font at the display's DPI.
HFONT CreateDialogFont(int dpi)
{
    return CreateFontW(-MulDiv(8, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, L"MS Shell Dlg");
}

} // namespace

bool Form1::Create()
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance_;
    windowClass.hIcon =
        static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    windowClass.hIconSm = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDI_APP),
                                                        IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                        GetSystemMetrics(SM_CYSMICON), 0));
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = KV_FORM_CLASS;
    if (!RegisterClassExW(&windowClass))
        return false;

    dpi_ = DisplayDpi();
    ReadColourScheme();
    textBackground_.Reset(CreateSolidBrush(kLightGrey));
    RECT frame = {0, 0, Scale(kClientWidthTwips), Scale(kClientHeightTwips)};
    AdjustWindowRectEx(&frame, kFormStyle, FALSE, 0);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;

    CreateWindowExW(0, KV_FORM_CLASS, KV_FORM_CAPTION, kFormStyle, left, top, width, height,
                    nullptr, nullptr, instance_, this);
    return window_ != nullptr;
}

LRESULT CALLBACK Form1::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Form1* form = nullptr;
    if (message == WM_NCCREATE) {
        form = static_cast<Form1*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        form->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    } else {
        form = reinterpret_cast<Form1*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    }
    if (!form)
        return DefWindowProcW(window, message, wParam, lParam);
    return form->HandleMessage(window, message, wParam, lParam);
}

LRESULT Form1::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        CreateControls();
        return 0;
    case WM_COMMAND:
        // While Replace runs, queued clicks and keys must not start it again or end the program.
        if (!updating_)
            OnCommand(LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_CLOSE:
        if (updating_)
            return 0;
        break;
    case WM_QUERYENDSESSION:
        // Not while the installed files are being moved: Windows would end us half-way.
        return platform_.SessionEndBlocked() ? FALSE : TRUE;
    case WM_SETCURSOR:
        // Busy while Replace works, but not over its message box, which waits for the user.
        if (updating_ && IsWindowEnabled(window)) {
            SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32514))); // IDC_WAIT
            return TRUE;
        }
        break;
    case WM_SYSCOLORCHANGE:
    case WM_SETTINGCHANGE:
        ReadColourScheme();
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
        break;
    case kDpiChanged: {
        // Moved to a monitor of another resolution: the same window at the new one, in the
        // place the system suggests.
        dpi_ = HIWORD(wParam);
        LayOut();
        const RECT& place = *reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(window, nullptr, place.left, place.top, place.right - place.left,
                     place.bottom - place.top, SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
    }
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<LRESULT>(
            OnColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    case WM_ACTIVATE:
        // The keyboard focus is ours to keep across deactivation, as a dialog keeps it.
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus && IsChild(window, focus))
                focusBeforeDeactivation_ = focus;
        } else if (focusBeforeDeactivation_ && IsWindow(focusBeforeDeactivation_)) {
            SetFocus(focusBeforeDeactivation_);
            return 0;
        }
        break;
    case WM_DESTROY:
        platform_.SetMessageOwner(nullptr);
        window_ = nullptr;
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

namespace {

// The controls in the order a screen reader reads them, which is also the order the keyboard
// visits those that take the focus: Cancel, Replace, the path's box. The path's box takes its
// spoken name from the label right before it. Places in twips: left, top, width, height.
struct Control {
    int id;
    const wchar_t* className;
    DWORD style;
    int left, top, width, height;
};
constexpr DWORD kLabel = SS_NOPREFIX;
constexpr Control kControls[] = {
    {IDC_LABEL1, L"STATIC", kLabel | SS_LEFT, 135, 90, 6210, 525},
    {IDC_LABEL5, L"STATIC", kLabel | SS_CENTER, 105, 615, 6300, 240},
    {IDC_COMMAND2, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 120, 2370, 6285, 405},
    {IDC_COMMAND1, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 120, 1620, 6285, 615},
    {IDC_LABEL2, L"STATIC", kLabel | SS_LEFT, 105, 1035, 1710, 255},
    {IDC_TEXT1, L"EDIT", ES_LEFT | ES_AUTOHSCROLL | ES_READONLY | WS_TABSTOP, 1785, 975, 4620, 330},
    {IDC_LABEL4, L"STATIC", kLabel | SS_CENTER, 195, 3000, 6045, 195},
    {IDC_LABEL3, L"STATIC", kLabel | SS_RIGHT, 4350, 3420, 2040, 255}};

int Luma(COLORREF colour)
{
    return (GetRValue(colour) * 299 + GetGValue(colour) * 587 + GetBValue(colour) * 114) / 1000;
}

} // namespace

void Form1::CreateControls()
{
    const std::wstring supportLine =
        std::wstring(L"If you encounter problems, contact: ") + kSupportEmail;
    const std::pair<int, const wchar_t*> texts[] = {
        {IDC_LABEL1, L"This program updates Korvane version 5.00-5.10  to the newest version 5.11  "
                     L"It does *not* work with versions prior to version 5!"},
        {IDC_LABEL5, L"Make sure Korvane is not running during update"},
        {IDC_COMMAND2, L"Cancel"},
        {IDC_COMMAND1, L"Replace exitsing version with new 5.11 version"},
        {IDC_LABEL2, L"Existing exe found at:"},
        {IDC_TEXT1, L""},
        {IDC_LABEL4, supportLine.c_str()},
        {IDC_LABEL3, kAttribution}};
    for (const Control& c : kControls) {
        const wchar_t* text = L"";
        for (const auto& [id, value] : texts)
            text = id == c.id ? value : text;
        CreateWindowExW(c.id == IDC_TEXT1 ? WS_EX_CLIENTEDGE : 0, c.className, text,
                        WS_CHILD | WS_VISIBLE | c.style, 0, 0, 0, 0, window_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance_, nullptr);
    }
    LayOut();
    // Also when the window first shows without being activated: its first activation must not
    // leave the focus on the frame, where Enter does nothing.
    focusBeforeDeactivation_ = GetDlgItem(window_, IDC_COMMAND2);
}

void Form1::LayOut()
{
    HFONT font = CreateDialogFont(dpi_);
    for (const Control& c : kControls) {
        HWND control = GetDlgItem(window_, c.id);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        MoveWindow(control, Scale(c.left), Scale(c.top), Scale(c.width), Scale(c.height), TRUE);
    }
    font_.Reset(font); // the previous font is no longer in use
}

void Form1::ReadColourScheme()
{
    // Navy, blue and grey were chosen for the usual light scheme (dark button text on a light
    // button face). On a dark scheme, or with high contrast on, they would vanish: there every
    // label and the path's box take the system's colours.
    HIGHCONTRASTW contrast = {};
    contrast.cbSize = sizeof contrast;
    const bool highContrast =
        SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
        (contrast.dwFlags & HCF_HIGHCONTRASTON);
    ownColours_ = !highContrast && Luma(GetSysColor(COLOR_BTNTEXT)) < 128 &&
                  Luma(GetSysColor(COLOR_BTNFACE)) >= 128;
}

HBRUSH Form1::OnColorStatic(HDC dc, HWND control)
{
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    if (!ownColours_)
        return GetSysColorBrush(COLOR_BTNFACE);
    switch (GetDlgCtrlID(control)) {
    case IDC_TEXT1:
        SetBkColor(dc, kLightGrey);
        return textBackground_.Get();
    case IDC_LABEL1:
    case IDC_LABEL5:
        SetTextColor(dc, kNavy);
        break;
    case IDC_LABEL4:
        SetTextColor(dc, kBlue);
        break;
    }
    return GetSysColorBrush(COLOR_BTNFACE);
}

bool Form1::Form_Load()
{
    auto found = LocateInstallation(platform_);
    if (!found) {
        DestroyWindow(window_);
        return false;
    }
    installation_ = std::move(*found);
    SetDlgItemTextW(window_, IDC_TEXT1, installation_.exePath.c_str());
    EnableWindow(GetDlgItem(window_, IDC_COMMAND1), TRUE);
    return true;
}

void Form1::Show()
{
    ShowWindow(window_, SW_SHOWNORMAL);
    // Cancel is first in tab order of the controls that can take the focus.
    SetFocus(GetDlgItem(window_, IDC_COMMAND2));
    platform_.SetMessageOwner(window_);
}

void Form1::OnCommand(int id, int notification)
{
    switch (id) {
    case IDC_COMMAND1:
        if (notification == BN_CLICKED)
            Command1_Click();
        break;
    case IDC_COMMAND2:
        if (notification == BN_CLICKED)
            Command2_Click();
        break;
    case IDOK:
        // The window has no default button: Enter presses whichever button has the focus, as the
        // dialog manager presses a dialog's default button, with the command itself.
        OnCommand(GetDlgCtrlID(GetFocus()), BN_CLICKED);
        break;
    }
}

void Form1::SetBusy(bool busy)
{
    updating_ = busy;
    EnableWindow(GetDlgItem(window_, IDC_COMMAND1), !busy);
    EnableWindow(GetDlgItem(window_, IDC_COMMAND2), !busy);
    EnableMenuItem(GetSystemMenu(window_, FALSE), SC_CLOSE,
                   MF_BYCOMMAND | (busy ? MF_GRAYED : MF_ENABLED));
    if (busy)
        SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32514))); // IDC_WAIT
}

void Form1::Command1_Click()
{
    // Disabling the focused button takes the focus away; it comes back after a failure.
    if (HWND focus = GetFocus(); focus && IsChild(window_, focus))
        focusBeforeDeactivation_ = focus;
    SetBusy(true);
    const ReplaceOutcome outcome = UpdateInstallation(platform_, installation_);
    if (outcome == ReplaceOutcome::Updated) {
        DestroyWindow(window_);
        return;
    }
    SetBusy(false);
    SetFocus(focusBeforeDeactivation_);
}

void Form1::Command2_Click()
{
    ExitProcess(0);
}

} // namespace kv
