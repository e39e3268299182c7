#include "tests/e2e/harness.h"

#include "app/resource.h"

#include <algorithm>
#include <cwctype>
#include <random>

namespace e2e {

namespace {

constexpr char kProductKey[] = "SOFTWARE\\Quillmarsh\\Korvane";
constexpr char kEditionKey[] = "SOFTWARE\\Zelvaric";

std::wstring Lower(std::wstring s)
{
    for (auto& c : s)
        c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

std::string LastError(const char* what)
{
    return std::string(what) + " failed, error " + std::to_string(GetLastError());
}

} // namespace

// --- Environment ------------------------------------------------------------------------------

std::wstring EnvOr(const wchar_t* name, const std::wstring& fallback)
{
    wchar_t buffer[4096];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 4096);
    if (n == 0 || n >= 4096)
        return fallback;
    return std::wstring(buffer, n);
}

std::wstring ToWindowsPath(const std::wstring& path)
{
    if (path.empty() || path[0] != L'/')
        return path;
    std::wstring result = L"Z:" + path;
    std::replace(result.begin(), result.end(), L'/', L'\\');
    return result;
}

std::wstring AppExePath()
{
    return ToWindowsPath(EnvOr(L"KV_E2E_APP", L""));
}

std::wstring FixturesFolder()
{
    return ToWindowsPath(EnvOr(L"KV_E2E_FIXTURES", L""));
}

std::wstring WideFromUtf8(const std::string& s)
{
    if (s.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string Utf8(const std::wstring& w)
{
    if (w.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
    return s;
}

int ScreenDpi()
{
    HDC dc = GetDC(nullptr);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSX);
    ReleaseDC(nullptr, dc);
    return dpi;
}

// --- Files ------------------------------------------------------------------------------------

Bytes PatternBytes(std::size_t size, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        // Alternate incompressible noise with repeated text and zero runs, like a real binary.
        const std::size_t chunk = 512 + rng() % 4096;
        switch (rng() % 3) {
        case 0:
            for (std::size_t i = 0; i < chunk; ++i)
                bytes.push_back(static_cast<char>(rng() & 0xFF));
            break;
        case 1:
            for (std::size_t i = 0; i < chunk; ++i)
                bytes.push_back("Korvane help topic "[i % 19]);
            break;
        default:
            bytes.append(chunk, '\0');
            break;
        }
    }
    bytes.resize(size);
    return bytes;
}

void WriteBytes(const std::wstring& path, const Bytes& bytes)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << LastError("CreateFileW") << " for " << Utf8(path);
    DWORD written = 0;
    const BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    ASSERT_TRUE(ok && written == bytes.size()) << "writing " << Utf8(path);
}

std::optional<Bytes> ReadBytes(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    Bytes bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(h);
    return bytes;
}

bool FileExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void MakeFolder(const std::wstring& path)
{
    for (std::size_t pos = path.find(L'\\', 3); ; pos = path.find(L'\\', pos + 1)) {
        CreateDirectoryW(path.substr(0, pos).c_str(), nullptr);
        if (pos == std::wstring::npos)
            break;
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    ASSERT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        << "cannot make folder " << Utf8(path);
}

void EmptyFolder(const std::wstring& path, const std::wstring& keep)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(Join(path, L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L".." || (!keep.empty() && Lower(name) == Lower(keep)))
            continue;
        const std::wstring child = Join(path, name);
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            RemoveTree(child);
        else
            DeleteFileW(child.c_str());
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

void RemoveTree(const std::wstring& path)
{
    EmptyFolder(path, L"");
    RemoveDirectoryW(path.c_str());
}

void CopyOrFail(const std::wstring& from, const std::wstring& to)
{
    ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE))
        << LastError("CopyFileW") << ": " << Utf8(from) << " -> " << Utf8(to);
}

Listing ListFolder(const std::wstring& path)
{
    Listing listing;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(Join(path, L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return listing;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        const auto bytes = ReadBytes(Join(path, data.cFileName));
        listing[Lower(data.cFileName)] = bytes ? *bytes : Bytes("<unreadable>");
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return listing;
}

std::vector<std::wstring> Names(const Listing& listing)
{
    std::vector<std::wstring> names;
    for (const auto& entry : listing)
        names.push_back(entry.first);
    return names;
}

std::wstring Join(const std::wstring& folder, const std::wstring& name)
{
    if (!folder.empty() && folder.back() == L'\\')
        return folder + name;
    return folder + L"\\" + name;
}

// --- Registry ---------------------------------------------------------------------------------

void ClearRegistry()
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProductKey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEditionKey);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        FAIL() << "cannot remove HKLM\\" << kProductKey;
    }
}

namespace {

void SetValue(const char* subKey, const char* name, DWORD type, const void* data, DWORD size)
{
    HKEY key;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr);
    ASSERT_EQ(rc, ERROR_SUCCESS) << "RegCreateKeyExA " << subKey;
    if (name)
        rc = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    ASSERT_EQ(rc, ERROR_SUCCESS) << "RegSetValueExA " << subKey << " " << (name ? name : "");
}

} // namespace

void SetInstallFolderRaw(const std::string& bytes)
{
    SetValue(kProductKey, "Help_Dir", REG_SZ, bytes.data(), static_cast<DWORD>(bytes.size()));
}

void SetInstallFolder(const std::wstring& folder)
{
    std::string ansi(folder.size() * 2 + 1, '\0');
    const int n = WideCharToMultiByte(CP_ACP, 0, folder.c_str(), static_cast<int>(folder.size()),
                                      ansi.data(), static_cast<int>(ansi.size()), nullptr, nullptr);
    ansi.resize(static_cast<std::size_t>(n));
    ansi.push_back('\0');
    SetInstallFolderRaw(ansi);
}

void CreateProductKeyOnly()
{
    SetValue(kProductKey, nullptr, 0, nullptr, 0);
}

void SetEdition(DWORD value)
{
    SetValue(kEditionKey, "Value32", REG_DWORD, &value, sizeof value);
}

// --- Windows ----------------------------------------------------------------------------------

std::wstring ClassOf(HWND hwnd)
{
    wchar_t name[256] = {};
    GetClassNameW(hwnd, name, 256);
    return name;
}

std::wstring TextOf(HWND hwnd)
{
    // GetWindowTextW does not ask a window of another process for its text (an edit control
    // keeps its own); WM_GETTEXT does, and is marshalled across processes.
    wchar_t text[2048] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(text),
                             SMTO_ABORTIFHUNG, 5000, &copied))
        return L"<no answer to WM_GETTEXT>";
    return std::wstring(text, std::min<std::size_t>(copied, 2047));
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(20);
    }
}

MessageBoxView ReadMessageBox(HWND box)
{
    MessageBoxView view;
    view.title = TextOf(box);
    if (HWND text = GetDlgItem(box, 0xFFFF))
        view.text = TextOf(text);
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child))
            continue;
        const std::wstring cls = Lower(ClassOf(child));
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        if (cls == L"button")
            view.visibleButtonIds.push_back(GetDlgCtrlID(child));
        else if (cls == L"static" && (style & SS_TYPEMASK) == SS_ICON) {
            // Wine keeps an empty icon control in boxes without an icon.
            DWORD_PTR icon = 0;
            SendMessageTimeoutW(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 5000, &icon);
            view.hasIcon = view.hasIcon || icon != 0;
        }
    }
    return view;
}

App::~App()
{
    if (pi_.hProcess) {
        if (Running()) {
            TerminateProcess(pi_.hProcess, 99);
            WaitForSingleObject(pi_.hProcess, 5000);
        }
        CloseHandle(pi_.hProcess);
        CloseHandle(pi_.hThread);
    }
}

void App::Start(const std::wstring& exe, const std::wstring& workingFolder)
{
    STARTUPINFOW si{};
    si.cb = sizeof si;
    std::wstring commandLine = L"\"" + exe + L"\"";
    ASSERT_TRUE(CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, workingFolder.c_str(), &si, &pi_))
        << LastError("CreateProcessW") << " for " << Utf8(exe);
}

namespace {

struct WindowSearch {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindowsOfProcess(HWND hwnd, LPARAM param)
{
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == search->pid)
        search->found.push_back(hwnd);
    return TRUE;
}

} // namespace

std::vector<HWND> App::TopWindows() const
{
    WindowSearch search{pi_.dwProcessId, {}};
    EnumWindows(CollectWindowsOfProcess, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND App::FindMain(bool visibleOnly) const
{
    for (HWND hwnd : TopWindows())
        if (ClassOf(hwnd) == KV_FORM_CLASS && (!visibleOnly || IsWindowVisible(hwnd)))
            return hwnd;
    return nullptr;
}

std::vector<HWND> App::VisibleMessageBoxes() const
{
    std::vector<HWND> boxes;
    for (HWND hwnd : TopWindows())
        if (ClassOf(hwnd) == L"#32770" && IsWindowVisible(hwnd))
            boxes.push_back(hwnd);
    return boxes;
}

HWND App::WaitMain()
{
    HWND main = nullptr;
    WaitUntil([&] { return (main = FindMain(true)) != nullptr || !Running(); }, kWindowTimeout);
    return main;
}

HWND App::WaitMessageBox()
{
    HWND box = nullptr;
    WaitUntil(
        [&] {
            const auto boxes = VisibleMessageBoxes();
            box = boxes.empty() ? nullptr : boxes.front();
            return box != nullptr || !Running();
        },
        kWindowTimeout);
    // Let the box finish its initialisation (texts, hidden buttons) before it is read.
    if (box)
        Sleep(100);
    return box;
}

bool App::WaitExit(DWORD timeoutMs)
{
    return WaitForSingleObject(pi_.hProcess, timeoutMs) == WAIT_OBJECT_0;
}

bool App::Running() const
{
    return WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT;
}

DWORD App::ExitCode() const
{
    DWORD code = 0xDEADBEEF;
    GetExitCodeProcess(pi_.hProcess, &code);
    return code;
}

HWND App::Control(int id) const
{
    HWND main = FindMain(false);
    return main ? GetDlgItem(main, id) : nullptr;
}

HWND App::Focus() const
{
    HWND main = FindMain(false);
    if (!main)
        return nullptr;
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &info))
        return nullptr;
    return info.hwndFocus;
}

void App::Click(HWND button) const
{
    PostMessageW(button, BM_CLICK, 0, 0);
}

void App::Key(HWND target, UINT vk) const
{
    const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(vk, 0)) << 16;
    PostMessageW(target, WM_KEYDOWN, vk, scan | 1);
    PostMessageW(target, WM_KEYUP, vk, scan | 1 | (LPARAM(1) << 30) | (LPARAM(1) << 31));
}

void App::KeyOnFocus(UINT vk) const
{
    HWND focus = Focus();
    ASSERT_NE(focus, nullptr) << "the program has no focused window";
    Key(focus, vk);
}

void App::CloseBox(HWND window) const
{
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
}

void App::PressOk(HWND box) const
{
    HWND ok = GetDlgItem(box, IDOK);
    ASSERT_NE(ok, nullptr) << "message box without an OK button";
    PostMessageW(ok, BM_CLICK, 0, 0);
}

std::wstring App::AnswerMessageBox(const std::wstring& expectedTitle)
{
    HWND box = WaitMessageBox();
    if (!box) {
        ADD_FAILURE() << "no message box appeared";
        return {};
    }
    EXPECT_EQ(VisibleMessageBoxes().size(), 1u) << "more than one message box at once";
    const MessageBoxView view = ReadMessageBox(box);
    EXPECT_EQ(Utf8(view.title), Utf8(expectedTitle));
    EXPECT_EQ(view.visibleButtonIds, std::vector<int>{IDOK}) << "an OK-only box was expected";
    EXPECT_FALSE(view.hasIcon) << "message box shows an icon";
    PressOk(box);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box) || !IsWindowVisible(box); }, kWindowTimeout))
        << "message box did not close after OK";
    return view.text;
}

// --- Scenario folders -------------------------------------------------------------------------

Scene Scene::Fresh()
{
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    Scene scene;
    scene.root = L"C:\\e2e\\" + WideFromUtf8(name);
    scene.inst = Join(scene.root, L"inst");
    scene.pkg = Join(scene.root, L"pkg");
    scene.cwd = Join(scene.root, L"cwd");
    scene.exePath = Join(scene.inst, L"korv5.exe");
    scene.helpPath = Join(scene.inst, L"korv.hlp");
    RemoveTree(scene.root);
    MakeFolder(scene.inst);
    MakeFolder(scene.pkg);
    MakeFolder(scene.cwd);
    ClearRegistry();
    return scene;
}

void Scene::Launch(App& app) const
{
    const std::wstring exe = AppExePath();
    ASSERT_FALSE(exe.empty()) << "KV_E2E_APP is not set";
    if (!FileExists(AppInPackage()))
        CopyOrFail(exe, AppInPackage());
    app.Start(AppInPackage(), cwd);
}

// The checks on message boxes rest on ReadMessageBox; make sure it tells an icon box from a
// plain one, using boxes of this process.
namespace {

struct BoxRequest {
    const wchar_t* title;
    UINT flags;
};

DWORD WINAPI ShowBox(void* param)
{
    const auto* request = static_cast<const BoxRequest*>(param);
    MessageBoxW(nullptr, L"harness check", request->title, request->flags);
    return 0;
}

} // namespace

TEST(Harness, ReadsMessageBoxes)
{
    const BoxRequest requests[] = {{L"kv plain box", MB_OK}, {L"kv icon box", MB_OK | MB_ICONERROR},
                                   {L"kv two buttons", MB_OKCANCEL}};
    for (const auto& request : requests) {
        SCOPED_TRACE(Utf8(request.title));
        HANDLE thread = CreateThread(nullptr, 0, ShowBox, const_cast<BoxRequest*>(&request), 0,
                                     nullptr);
        ASSERT_NE(thread, nullptr);
        HWND box = nullptr;
        ASSERT_TRUE(WaitUntil([&] { return (box = FindWindowW(L"#32770", request.title)); },
                              kWindowTimeout));
        Sleep(100);
        const MessageBoxView view = ReadMessageBox(box);
        EXPECT_EQ(Utf8(view.title), Utf8(request.title));
        EXPECT_EQ(Utf8(view.text), "harness check");
        EXPECT_EQ(view.hasIcon, (request.flags & MB_ICONMASK) != 0);
        const std::vector<int> buttons = (request.flags & MB_TYPEMASK) == MB_OKCANCEL
                                             ? std::vector<int>{IDOK, IDCANCEL}
                                             : std::vector<int>{IDOK};
        EXPECT_EQ(view.visibleButtonIds, buttons);
        PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        EXPECT_EQ(WaitForSingleObject(thread, kWindowTimeout), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
}

} // namespace e2e
