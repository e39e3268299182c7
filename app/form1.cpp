#include "app/form1.h"

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

int DisplayDpi()
{
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen)
        ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
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
    font_.Reset(CreateDialogFont(dpi_));
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
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<LRESULT>(
            OnColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    case WM_ACTIVATE:
        // The keyboard focus is ours to keep across deactivation, as a dialog keeps it.
        if (LOWORD(wParam) == WA_INACTIVE) {
            focusBeforeDeactivation_ = GetFocus();
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

HWND Form1::AddControl(const wchar_t* className, const wchar_t* text, DWORD style, DWORD exStyle,
                       int id, int left, int top, int width, int height)
{
    HWND control =
        CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, Scale(left),
                        Scale(top), Scale(width), Scale(height), window_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), FALSE);
    return control;
}

void Form1::CreateControls()
{
    const std::wstring supportLine =
        std::wstring(L"If you encounter problems, contact: ") + kSupportEmail;

    // Created in tab order, which is the order the keyboard visits them.
    const DWORD label = SS_NOPREFIX;
    AddControl(L"STATIC",
               L"This program updates Korvane version 5.00-5.10  to the newest version 5.11  It "
               L"does *not* work with versions prior to version 5!",
               label | SS_LEFT, 0, IDC_LABEL1, 135, 90, 6210, 525);
    AddControl(L"BUTTON", L"Cancel", BS_PUSHBUTTON | WS_TABSTOP, 0, IDC_COMMAND2, 120, 2370, 6285,
               405);
    AddControl(L"BUTTON", L"Replace exitsing version with new 5.11 version",
               BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 0, IDC_COMMAND1, 120, 1620, 6285, 615);
    AddControl(L"EDIT", L"", ES_LEFT | ES_AUTOHSCROLL | ES_READONLY | WS_TABSTOP, WS_EX_CLIENTEDGE,
               IDC_TEXT1, 1785, 975, 4620, 330);
    AddControl(L"STATIC", L"Existing exe found at:", label | SS_LEFT, 0, IDC_LABEL2, 105, 1035,
               1710, 255);
    AddControl(L"STATIC", kAttribution, label | SS_RIGHT, 0, IDC_LABEL3, 4350, 3420, 2040, 255);
    AddControl(L"STATIC", supportLine.c_str(), label | SS_CENTER, 0, IDC_LABEL4, 195, 3000, 6045,
               195);
    AddControl(L"STATIC", L"Make sure Korvane is not running during update", label | SS_CENTER, 0,
               IDC_LABEL5, 105, 615, 6300, 240);
}

HBRUSH Form1::OnColorStatic(HDC dc, HWND control)
{
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
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
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
    UpdateWindow(window_);
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
    case IDOK: {
        // The window has no default button: Enter presses whichever button has the focus.
        HWND focus = GetFocus();
        const int focusId = GetDlgCtrlID(focus);
        if (focusId == IDC_COMMAND1 || focusId == IDC_COMMAND2)
            SendMessageW(focus, BM_CLICK, 0, 0);
        break;
    }
    }
}

void Form1::Command1_Click()
{
    updating_ = true;
    const ReplaceOutcome outcome = UpdateInstallation(platform_, installation_);
    updating_ = false;
    if (outcome == ReplaceOutcome::Updated)
        DestroyWindow(window_);
}

void Form1::Command2_Click()
{
    ExitProcess(0);
}

} // namespace kv
