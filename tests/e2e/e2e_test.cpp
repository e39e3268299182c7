// The real KVUp511f.exe under Wine: start-up, the window as a person sees and works it, and
// complete updates with their effects on disk. The messages' wording is the unit tests' to check;
// here, that the right one shows.
#include "demo/driver.h"

#include "app/resource.h"
#include "locate/locator.h"
#include "platform/product.h"
#include "update/edition_guard.h"
#include "update/replace.h"

#include <gtest/gtest.h>
#include <oleacc.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace e2e {
using namespace demo;
namespace {

// The updater's message boxes are all alike: the product's title, only OK, no icon; OK ends them.
// One that shows over the window is modal to it.
struct App : demo::App {
    using demo::App::App;
    std::wstring Answer()
    {
        const bool modal = Watch([&] { return box; }, 20000) && !(main && IsWindowEnabled(main));
        const std::wstring text = demo::App::Answer();
        if (answered.seen) {
            EXPECT_TRUE(modal) << "the box is not modal to the window";
            EXPECT_EQ(answered.title, kv::kMessageTitle);
            EXPECT_EQ(answered.items, std::vector<int>{IDOK})
                << "not a box with only OK and no icon";
            EXPECT_TRUE(answered.closed) << "the box stays after OK";
        }
        return text;
    }
};

using Bytes = std::string;
using Files = std::map<std::wstring, std::string>; // names and digests
const std::wstring kBuilt = KV_BUILD, kUpdater = kBuilt + L"/KVUp511f.exe";
const std::wstring kNotFound = kv::NotFoundMessage(), kRefusal = kv::RefusalMessage();
const std::wstring kFailure = kv::FailureMessage(), kSuccess = kv::SuccessMessage();

Bytes Read(const std::wstring& path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    return file ? Bytes(std::istreambuf_iterator<char>(file), {}) : "<unreadable>";
}

void Write(const std::wstring& path, const Bytes& bytes, DWORD attributes = 0)
{
    std::ofstream(path.c_str(), std::ios::binary) << bytes;
    SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_ARCHIVE);
}

// A file's size and a hash of its bytes, which a failed check can print.
std::string Digest(const Bytes& bytes)
{
    return std::to_string(bytes.size()) + " bytes, hash " +
           std::to_string(std::hash<Bytes>{}(bytes));
}

Files List(const std::wstring& folder)
{
    Files files;
    for (const auto& entry : std::filesystem::directory_iterator(folder + L"\\"))
        files[entry.path().filename()] = Digest(Read(entry.path()));
    return files;
}

// A new folder (the runner empties C:\e2e).
std::wstring NewFolder()
{
    static int made = 0;
    const std::wstring folder = L"C:\\e2e\\Korvane " + std::to_wstring(++made);
    std::filesystem::create_directories(folder);
    return folder;
}

TEST(Startup, WithoutInstallationOnlyTheNotFoundMessageShowsAndASecondStartRaisesIt)
{
    SetRegistry(L"");
    App app(kUpdater);
    // The box in front as it shows (the first program of a cold Wine takes seconds), then behind.
    ASSERT_TRUE(app.Watch([&] { return app.box && GetForegroundWindow() == app.box; }, 20000));
    SetForegroundWindow(GetDesktopWindow());
    ASSERT_TRUE(app.Watch([&] { return GetForegroundWindow() != app.box; }, 3000));
    EXPECT_TRUE(App(kUpdater).EndsQuietly());
    EXPECT_TRUE(app.Watch([&] { return GetForegroundWindow() == app.box; }, 3000));
    EXPECT_EQ(app.Answer(), kNotFound);
    EXPECT_TRUE(app.EndsQuietly());
    EXPECT_EQ(app.main, nullptr) << "the main window showed";
}

// What a screen reader says for a window or control: its accessible name.
std::wstring NameOf(HWND window)
{
    [[maybe_unused]] static const HRESULT com = CoInitialize(nullptr);
    IAccessible* object = nullptr;
    if (FAILED(AccessibleObjectFromWindow(window, OBJID_CLIENT, IID_IAccessible, (void**)&object)))
        return L"<no accessible object>";
    VARIANT self{};
    self.vt = VT_I4, self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    object->get_accName(self, &name);
    const std::wstring text = name ? name : L"<no name>";
    SysFreeString(name), object->Release();
    return text;
}

// The window as it first shows, an installation of the administration edition: pressing
// Replace only shows the refusal there. The folder's name is always the same, for the pictures.
class Window : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(app.Main()); }
    bool FocusOn(int id)
    {
        return app.Watch([&] { return app.Focus() == app.Item(id); }, 3000);
    }
    const std::wstring inst = [] {
        std::filesystem::create_directories(L"C:\\e2e\\Korvane");
        Write(L"C:\\e2e\\Korvane\\korv5.exe", "5.10"), SetRegistry(L"C:\\e2e\\Korvane", 2);
        return L"C:\\e2e\\Korvane";
    }();
    App app{kUpdater};
};

// What a person hears and does on one start, none of it ending the program. A screen reader
// names the window by its title and the path's box by its label (the other controls by the text
// they show, as the pictures do); the frame cannot be resized. The focus starts on Cancel and
// stays there through the first activation (after the window showed without one) and a second
// start that brings the window back, minimised or behind another; Tab takes it round; Enter or
// Space on Replace shows the refusal and leaves it there, both buttons taking presses again.
TEST_F(Window, ReadsAndWorksWithoutEnding)
{
    EXPECT_EQ(NameOf(app.main), L"Korvane - Update");
    EXPECT_EQ(NameOf(app.Item(IDC_TEXT1)), L"Existing exe found at:") << "the path's box";
    const LONG frame = WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
    EXPECT_EQ(GetWindowLongW(app.main, GWL_STYLE) & frame, WS_CAPTION | WS_SYSMENU);
    ASSERT_TRUE(FocusOn(IDC_COMMAND2));
    PostMessageW(app.main, WM_ACTIVATE, WA_CLICKACTIVE, 0);
    EXPECT_TRUE(app.Stays() && FocusOn(IDC_COMMAND2)) << "after the first activation";
    // The second start, with the window minimised meanwhile or behind the desktop's, ends.
    const auto front = [&] { return !IsIconic(app.main) && GetForegroundWindow() == app.main; };
    for (const bool minimised : {true, false}) {
        minimised ? ShowWindowAsync(app.main, SW_MINIMIZE)
                  : SetForegroundWindow(GetDesktopWindow());
        EXPECT_TRUE(app.Watch([&] { return minimised ? IsIconic(app.main) : !front(); }, 3000));
        App second(kUpdater);
        EXPECT_TRUE(second.EndsQuietly() && !second.main) << "the second start showed a window";
        EXPECT_TRUE(app.Watch(front, 3000) && FocusOn(IDC_COMMAND2)) << "minimised " << minimised;
    }
    const std::pair<WPARAM, int> keys[] = {{VK_ESCAPE, IDC_COMMAND2}, {VK_TAB, IDC_COMMAND1},
                                           {VK_RETURN, IDC_COMMAND1}, {VK_SPACE, IDC_COMMAND1},
                                           {VK_TAB, IDC_TEXT1},       {VK_TAB, IDC_COMMAND2}};
    for (const auto& [key, focus] : keys) {
        app.Key(key);
        EXPECT_EQ(key == VK_RETURN || key == VK_SPACE ? app.Answer() : kRefusal, kRefusal);
        EXPECT_TRUE(app.Stays() && FocusOn(focus)) << "after key " << key;
    }
    EXPECT_TRUE(IsWindowEnabled(app.Item(IDC_COMMAND1)) && IsWindowEnabled(app.Item(IDC_COMMAND2)));
}

// A second start while the running updater does not answer (its thread held, as while it reads
// a slow CD) ends at once; the window leaves the task bar as soon as that updater answers again.
TEST_F(Window, ASecondStartWhileTheFirstIsBusyEndsAtOnce)
{
    ShowWindowAsync(app.main, SW_MINIMIZE);
    ASSERT_TRUE(app.Watch([&] { return IsIconic(app.main); }, 3000));
    SuspendThread(app.process.hThread);
    App second(kUpdater);
    EXPECT_TRUE(second.EndsQuietly() && !second.main) << "the second start waited for the first";
    ResumeThread(app.process.hThread);
    EXPECT_TRUE(app.Watch([&] { return !IsIconic(app.main); }, 3000)) << "still minimised";
}

// The inputs that end the program, on Cancel as the window first shows.
using Input = std::pair<const char*, void (*)(App&)>;
class Ending : public Window, public testing::WithParamInterface<Input> {};

TEST_P(Ending, InputEndsTheProgramQuietly)
{
    ASSERT_TRUE(FocusOn(IDC_COMMAND2));
    GetParam().second(app);
    EXPECT_TRUE(app.EndsQuietly());
}

const Input kEndings[] = {
    {"CancelClicked", [](App& app) { PostMessageW(app.Item(IDC_COMMAND2), BM_CLICK, 0, 0); }},
    {"EnterOnCancel", [](App& app) { app.Key(VK_RETURN); }},
    {"SpaceOnCancel", [](App& app) { app.Key(VK_SPACE); }},
    {"CloseBox", [](App& app) { PostMessageW(app.main, WM_SYSCOMMAND, SC_CLOSE, 0); }}};
INSTANTIATE_TEST_SUITE_P(Window, Ending, testing::ValuesIn(kEndings),
                         [](const auto& info) { return std::string(info.param.first); });

// On the light scheme at the screen's resolution (e2e_dpi144 runs the Dpi144 instances), on a
// dark one, and moved to a monitor of another resolution (0: not moved): the window as its
// reference picture.
using Look = std::tuple<const char*, bool, int>; // name, dark, moved to that resolution

// The buttons' colours for the programs of the Wine prefix that start while it lives (Wine's
// programs read them once): white text on a dark face if asked. The window's colours stay light,
// as an updater that took them for its labels would show.
struct DarkScheme {
    explicit DarkScheme(bool dark) { SetSysColors(dark ? 2 : 0, kElements, kDark); }
    ~DarkScheme() { SetSysColors(2, kElements, saved); }
    static constexpr int kElements[] = {COLOR_BTNFACE, COLOR_BTNTEXT};
    static constexpr COLORREF kDark[] = {RGB(32, 32, 32), RGB(255, 255, 255)};
    const COLORREF saved[2] = {GetSysColor(COLOR_BTNFACE), GetSysColor(COLOR_BTNTEXT)};
};
class Looks : public DarkScheme, public Window, public testing::WithParamInterface<Look> {
protected:
    Looks() : DarkScheme(std::get<1>(GetParam())) {}
};

TEST_P(Looks, AsItsReferencePicture)
{
    const auto [name, dark, dpi] = GetParam();
    RECT r, place = {40, 30, 40 + MulDiv(6585, dpi, 1440), 30 + MulDiv(3705, dpi, 1440)};
    if (dpi) {
        // Where the system would put it: its client area at the new resolution, near the top.
        AdjustWindowRectEx(&place, WS_CAPTION | WS_SYSMENU, FALSE, 0);
        // The message carries a pointer, which Wine passes to another process as it is.
        void* remote =
            VirtualAllocEx(app.process.hProcess, nullptr, sizeof place, MEM_COMMIT, PAGE_READWRITE);
        WriteProcessMemory(app.process.hProcess, remote, &place, sizeof place, nullptr);
        EXPECT_TRUE(SendMessageTimeoutW(app.main, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                                        LPARAM(remote), SMTO_ABORTIFHUNG, 2000, nullptr));
        // Wine's labels paint at once when their font changes, before they are moved and grown,
        // and keep those pixels where they grow: the window is painted whole again first.
        RedrawWindow(app.main, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    }
    ASSERT_TRUE(Painted(app.main));
    // Where it shows, which its picture cannot tell: there, or centred on the screen.
    GetWindowRect(app.main, &r);
    EXPECT_TRUE(dpi ? EqualRect(&r, &place)
                    : std::abs(r.left + r.right - GetSystemMetrics(SM_CXSCREEN)) <= 1 &&
                          std::abs(r.top + r.bottom - GetSystemMetrics(SM_CYSCREEN)) <= 1)
        << "at " << r.left << "," << r.top;
    // The window, frame included, as a PPM file, against its reference picture, which the runner
    // gives the tests in that form. One that differs is saved beside it.
    Bytes got = "P6\n" + std::to_string(r.right - r.left) + " " + std::to_string(r.bottom - r.top) +
                "\n255\n";
    for (const DWORD pixel : Pixels(r))
        got += {char(pixel >> 16), char(pixel >> 8), char(pixel)};
    const std::wstring picture =
        kBuilt + L"/e2e/pictures/" + std::wstring(name, name + strlen(name));
    const Bytes want = Read(picture + L".ppm");
    if (got == want)
        return;
    Write(picture + L"-got.ppm", got);
    ADD_FAILURE() << "the window does not look as tests/e2e/reference/" << name << ".png: see "
                  << kBuilt.substr(2) << "/e2e/pictures/" << name << "-got.ppm. If it should, run "
                  << "in the repository: tests/e2e/run --update-pictures " << kBuilt.substr(2);
}

const auto kLookName = [](const auto& info) { return std::string(std::get<0>(info.param)); };
INSTANTIATE_TEST_SUITE_P(Dpi96, Looks,
                         testing::Values(Look{"Light", false, 0}, Look{"Dark", true, 0},
                                         Look{"MovedTo120", false, 120}),
                         kLookName);
INSTANTIATE_TEST_SUITE_P(Dpi144, Looks, testing::Values(Look{"Light144", false, 0}), kLookName);

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

Bytes Pattern(std::size_t size, int seed)
{
    Bytes bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = char(i * seed >> 7 ^ i);
    return bytes;
}

class Replace;
// What else happens while the program works on a press of Replace.
enum Meanwhile { kNothing, kClickAgain, kLockReleasedSoon };
struct Row {
    const char* name;
    std::vector<std::wstring> messages;    // one press of Replace each
    void (*arrange)(Replace& t) = nullptr; // before the updater starts
    Meanwhile meanwhile = kNothing;
    void (*afterFirst)(Replace& t) = nullptr; // after the first message was answered
    bool thenUpdates = false; // after a failure, with its cause mended, a new start updates
};

// The old version installed, the new one packed as plain copies beside the updater.
class Replace : public testing::TestWithParam<Row> {
public:
    void Install(const std::wstring& folder)
    {
        inst = folder;
        CreateDirectoryW(inst.c_str(), nullptr);
        Write(inst + L"\\korv5.exe", oldExe), Write(inst + L"\\korv.hlp", oldHelp);
        SetRegistry(inst);
    }
    void Pack(const std::wstring& folder, DWORD attributes = 0)
    {
        pkg = folder;
        Write(pkg + L"\\korv5.ex_", newExe, attributes);
        Write(pkg + L"\\korv.hl_", newHelp, attributes);
    }
    Bytes oldExe = Pattern(300000, 11), oldHelp = Pattern(90000, 12);
    Bytes newExe = Pattern(310017, 13), newHelp = Pattern(90003, 14);
    std::wstring inst, pkg;
    Files instBefore, pkgBefore;
    HANDLE viewer = nullptr; // another program that has korv.hlp open
    ~Replace() override { CloseHandle(viewer); }
};

TEST_P(Replace, Press)
{
    const Row& row = GetParam();
    Install(NewFolder()), Pack(NewFolder());
    if (row.arrange)
        row.arrange(*this);
    CopyFileW(kUpdater.c_str(), (pkg + L"\\KVUp511f.exe").c_str(), TRUE);
    instBefore = List(inst), pkgBefore = List(pkg);
    App app(pkg + L"\\KVUp511f.exe");
    ASSERT_TRUE(app.Main());
    // The pointer's shape, moved to the middle of a window first (a pixel on each time) if given.
    auto pointer = [&, x = 0](HWND over) mutable {
        RECT r;
        if (over && GetWindowRect(over, &r))
            SetCursorPos((r.left + r.right) / 2 + (x ^= 1), (r.top + r.bottom) / 2);
        CURSORINFO info{sizeof info};
        return Sleep(100), GetCursorInfo(&info), info.hCursor;
    };
    // Whether the window agrees to log-off and shutdown (WM_QUERYENDSESSION); -1: no answer.
    const auto endSession = [&] {
        DWORD_PTR agreed = 0;
        return SendMessageTimeoutW(app.main, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 2000,
                                   &agreed)
                   ? int(agreed != 0)
                   : -1;
    };
    for (std::size_t n = 0; n < row.messages.size(); ++n) {
        // korv.hlp opened without sharing, as by a virus scanner, for the middle of the swap.
        HANDLE lock = row.meanwhile != kLockReleasedSoon
                          ? nullptr
                          : CreateFileW((inst + L"\\korv.hlp").c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
        const HCURSOR idle = lock ? pointer(app.Item(IDC_LABEL1)) : nullptr;
        EXPECT_TRUE(!lock || endSession() == 1) << "log-off refused before Replace";
        for (int click = 0; click <= (row.meanwhile == kClickAgain); ++click)
            PostMessageW(app.Item(IDC_COMMAND1), BM_CLICK, 0, 0);
        if (lock) {
            EXPECT_NE(lock, INVALID_HANDLE_VALUE);
            // The new files are written beside the installed ones, then the program waits for
            // korv.hlp: its window answers, refuses log-off, shows it is busy and takes no press,
            // and a close request waits.
            EXPECT_TRUE(app.Watch([&] { return Exists(inst + L"\\korv.hlp.new"); }, 5000));
            // Busy at once where the mouse rests, and still when it moves.
            const HCURSOR busy = pointer(nullptr);
            EXPECT_NE(busy, idle) << "the pointer does not show that the program is busy";
            EXPECT_EQ(pointer(app.Item(IDC_LABEL1)), busy) << "not busy once the mouse moves";
            EXPECT_EQ(endSession(), 0) << "log-off agreed in the middle of the swap";
            EXPECT_FALSE(MoveFileW(inst.c_str(), (inst + L" moved").c_str()))
                << "the installation folder could be renamed while Replace works in it";
            EXPECT_FALSE(IsWindowEnabled(app.Item(IDC_COMMAND1)) ||
                         IsWindowEnabled(app.Item(IDC_COMMAND2)));
            PostMessageW(app.main, WM_CLOSE, 0, 0);
            CloseHandle(lock), lock = nullptr;
            // The arrow is back once the box shows; a slow machine takes a moment to show it.
            EXPECT_TRUE(app.Watch([&] { return app.box && pointer(app.box) == idle; }, 10000))
                << "the pointer is not the usual arrow of before Replace while the box shows";
            EXPECT_EQ(endSession(), 1) << "log-off refused while the last message waits";
        }
        EXPECT_EQ(app.Answer(), row.messages[n]) << "press " << n + 1;
        EXPECT_TRUE(row.messages[n] == kSuccess || app.Stays()) << "after press " << n + 1;
        if (n == 0 && row.afterFirst)
            row.afterFirst(*this);
    }
    const bool updated = row.messages.back() == kSuccess;
    const Files want = {{L"korv5.exe", Digest(newExe)},
                        {L"korv.hlp", Digest(newHelp)},
                        {L"korv5.exe.backup", Digest(oldExe)},
                        {L"korv.hlp.backup", Digest(oldHelp)}};
    EXPECT_EQ(List(inst), updated ? want : instBefore) << "the installation";
    EXPECT_EQ(List(pkg), pkgBefore) << "the package folder";
    EXPECT_TRUE(updated ? app.EndsQuietly() : app.Stays());
    for (const wchar_t* name : {L"\\korv5.exe", L"\\korv.hlp"})
        EXPECT_FALSE(GetFileAttributesW((inst + name).c_str()) & FILE_ATTRIBUTE_READONLY);
    if (updated)
        return;
    // After a failure Korvane is still there to be found: Cancel, and a new start shows the
    // window; once the cause is mended, its Replace updates.
    PostMessageW(app.Item(IDC_COMMAND2), BM_CLICK, 0, 0);
    EXPECT_TRUE(app.EndsQuietly());
    App next(pkg + L"\\KVUp511f.exe");
    ASSERT_TRUE(next.Main()) << "the next start does not find Korvane";
    if (!row.thenUpdates)
        return;
    PostMessageW(next.Item(IDC_COMMAND1), BM_CLICK, 0, 0);
    EXPECT_EQ(next.Answer(), kSuccess);
    EXPECT_EQ(List(inst), want) << "the installation";
}

// The package as the runner made it and a vendor ships it, run where it is: the new files packed
// by the classic tool, and a signed updater when scripts/package made it.
void ShippedPackage(Replace& t)
{
    t.pkg = kBuilt + L"\\e2e\\package";
    t.newExe = Read(kBuilt + L"/e2e/new/korv5.exe");
    t.newHelp = Read(kBuilt + L"/e2e/new/korv.hlp");
    EXPECT_EQ(Read(t.pkg + L"\\korv5.ex_").substr(0, 4), "SZDD");
}

// The shipped package with one byte of korv5.ex_ changed after it was signed.
void ChangedAfterSigning(Replace& t)
{
    ShippedPackage(t);
    const std::wstring shipped = t.pkg;
    t.pkg = NewFolder();
    for (const wchar_t* name : {L"\\KVUp511f.exe", L"\\korv5.ex_", L"\\korv.hl_"})
        CopyFileW((shipped + name).c_str(), (t.pkg + name).c_str(), TRUE);
    Bytes packed = Read(t.pkg + L"\\korv5.ex_");
    packed[packed.size() / 2] ^= 1;
    Write(t.pkg + L"\\korv5.ex_", packed);
}

// The package unpacked into the installation and started through F:, another name of its folder.
const auto kInsideByAnotherDrive = [](Replace& t) { t.Install(L"C:\\e2e\\by-f"), t.Pack(L"F:"); };
const auto kReadOnlyPacked = [](Replace& t) { t.Pack(t.pkg, FILE_ATTRIBUTE_READONLY); };
// Korvane's help open in a viewer that lets others only read it, until the user closes it.
const auto kHelpInViewer = [](Replace& t) {
    t.viewer = CreateFileW((t.inst + L"\\korv.hlp").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
};
const auto kViewerClosed = [](Replace& t) { CloseHandle(t.viewer), t.viewer = nullptr; };
// The installation on G:, 1 MiB, that a filler leaves too little room for the new korv5.exe.
const auto kOnFullDrive = [](Replace& t) {
    t.Install(L"G:\\Korvane"), Write(L"G:\\filler", Bytes(600000, 'f'));
};
const auto kFillerDeleted = [](Replace&) { DeleteFileW(L"G:\\filler"); };
const auto kReadOnlyBackup = [](Replace& t) {
    Write(t.inst + L"\\korv5.exe.backup", "5.00", FILE_ATTRIBUTE_READONLY);
};
// A korv5.exe of the user's own in the package folder: only a copy of the new one may go.
const auto kUsersFileInPackage = [](Replace& t) { Write(t.pkg + L"\\korv5.exe", "mine"); };
// korv5.exe.backup with a second name outside the installation, which a change of the backup,
// such as clearing its read-only attribute, would reach.
const auto kHardLinkedBackup = [](Replace& t) {
    Write(L"C:\\e2e\\elsewhere", "5.00", FILE_ATTRIBUTE_READONLY);
    CreateHardLinkW((t.inst + L"\\korv5.exe.backup").c_str(), L"C:\\e2e\\elsewhere", nullptr);
};
// An installation folder of 250 characters: its ".backup" and ".new" names pass MAX_PATH.
const auto kDeepFolder = [](Replace& t) {
    const std::wstring deep = L"C:\\e2e\\" + std::wstring(243, L'd');
    t.Install(L"\\\\?\\" + deep), SetRegistry(deep);
};

const Row kRows[] = {{"PlainCopies", {kSuccess}},
                     {"ShippedPackage", {kSuccess}, ShippedPackage},
                     {"ShippedPackageChangedAfterSigning", {kFailure}, ChangedAfterSigning},
                     {"ReadOnlyPackedFiles", {kSuccess}, kReadOnlyPacked},
                     {"TwoQueuedClicks", {kSuccess}, nullptr, kClickAgain},
                     {"InsideByAnotherDrive", {kFailure, kFailure}, kInsideByAnotherDrive},
                     {"ReadOnlyOldBackup", {kSuccess}, kReadOnlyBackup},
                     {"UsersFileInPackage", {kSuccess}, kUsersFileInPackage},
                     {"DeepFolder", {kSuccess}, kDeepFolder},
                     {"HardLinkedBackup", {kFailure}, kHardLinkedBackup},
                     {"LockReleasedSoon", {kSuccess}, nullptr, kLockReleasedSoon},
                     {"HelpOpenInViewer", {kFailure}, kHelpInViewer, kNothing, kViewerClosed, true},
                     {"DiskFull", {kFailure}, kOnFullDrive, kNothing, kFillerDeleted, true}};
INSTANTIATE_TEST_SUITE_P(Replace, Replace, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e
