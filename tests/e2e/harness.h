// Driving the real KVUp511f.exe from a test program running in the same Wine prefix: folders,
// registry, the process, its windows and the keys and clicks a person would use.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

using Bytes = std::string;

// Times (milliseconds) for waiting on the program; generous because a cold Wine is slow.
constexpr DWORD kWindowTimeout = 20000;
constexpr DWORD kExitTimeout = 15000;
// How long "nothing happens" is watched for.
constexpr DWORD kQuietPeriod = 700;

// Messages the program shows, word for word.
inline const std::wstring kNotFoundText =
    L"This program could not resolve the path of the exe-file of Korvane. Please contact "
    L"support@korvane.example";
inline const std::wstring kRefusalText =
    L"Error!!! Can't use the Family Version update on this computer, because it has the "
    L"administration version of Korvane installed. In order to update Korvane on this computer "
    L"use the Business Version update!";
inline const std::wstring kFailureText =
    L"Error! Problems were encountered during the upgrade. Deinstall the old Korvane version and "
    L"do a new installation of the current version, which is available at "
    L"https://www.korvane.example/";
inline const std::wstring kSuccessText = L"Old Version was successfully updated!";

// --- Environment ------------------------------------------------------------------------------
std::wstring EnvOr(const wchar_t* name, const std::wstring& fallback);
// "/a/b" (a Linux path, as CMake passes it) becomes "Z:\a\b"; Windows paths are kept.
std::wstring ToWindowsPath(const std::wstring& path);
std::wstring AppExePath();    // the KVUp511f.exe under test
std::wstring FixturesFolder(); // SZDD fixtures made by the runner
std::wstring WideFromUtf8(const std::string& s);
std::string Utf8(const std::wstring& s);
int ScreenDpi();

// --- Files ------------------------------------------------------------------------------------
Bytes PatternBytes(std::size_t size, std::uint32_t seed); // random with compressible runs
void WriteBytes(const std::wstring& path, const Bytes& bytes);
std::optional<Bytes> ReadBytes(const std::wstring& path);
bool FileExists(const std::wstring& path); // a file, not a folder
void MakeFolder(const std::wstring& path); // with its parents
void RemoveTree(const std::wstring& path); // clears attributes first; missing is fine
void EmptyFolder(const std::wstring& path, const std::wstring& keep);
void CopyOrFail(const std::wstring& from, const std::wstring& to);
// Every file (not folder) directly in a folder, lower-case name -> contents.
using Listing = std::map<std::wstring, Bytes>;
Listing ListFolder(const std::wstring& path);
std::vector<std::wstring> Names(const Listing& listing);
std::wstring Join(const std::wstring& folder, const std::wstring& name);

// --- Registry (HKLM, ANSI API as the program reads it) ----------------------------------------
void ClearRegistry();
// Writes "Help_Dir" as REG_SZ with exactly these bytes (give the terminating NUL yourself).
void SetInstallFolderRaw(const std::string& bytes);
void SetInstallFolder(const std::wstring& folder); // ANSI text plus terminating NUL
void CreateProductKeyOnly();
void SetEdition(DWORD value);

// --- Windows ----------------------------------------------------------------------------------
std::wstring ClassOf(HWND hwnd);
std::wstring TextOf(HWND hwnd);
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);

struct MessageBoxView {
    std::wstring title;
    std::wstring text;
    std::vector<int> visibleButtonIds;
    bool hasIcon = false;
};
MessageBoxView ReadMessageBox(HWND box);

class App {
public:
    App() = default;
    App(const App&) = delete;
    App& operator=(const App&) = delete;
    ~App(); // ends the program if a test left it running

    // Starts exe with the given working folder; fails the test if it cannot.
    void Start(const std::wstring& exe, const std::wstring& workingFolder);

    std::vector<HWND> TopWindows() const;
    HWND FindMain(bool visibleOnly) const;
    std::vector<HWND> VisibleMessageBoxes() const;
    HWND WaitMain();        // visible main window or nullptr
    HWND WaitMessageBox();  // visible #32770 or nullptr
    bool WaitExit(DWORD timeoutMs = kExitTimeout);
    bool Running() const;
    DWORD ExitCode() const;
    HWND Control(int id) const; // child of the main window
    HWND Focus() const;        // focused window of the program's GUI thread

    // Person-like input, always posted so that a modal loop in the program does not block us.
    void Click(HWND button) const;
    void Key(HWND target, UINT vk) const;
    void KeyOnFocus(UINT vk) const;
    void CloseBox(HWND window) const;
    void PressOk(HWND box) const;

    // The text of the only message box the program shows, after pressing OK on it; fails the
    // test when no box appears, more than one appears, or the box is not a plain OK box.
    std::wstring AnswerMessageBox(const std::wstring& expectedTitle = L"Korv_Update");

    DWORD Pid() const { return pi_.dwProcessId; }

private:
    PROCESS_INFORMATION pi_{};
};

// --- Scenario folders -------------------------------------------------------------------------
// C:\e2e\<suite>.<test>\{inst,pkg,cwd}, made fresh for each test; registry cleared too.
struct Scene {
    std::wstring root;
    std::wstring inst;    // installation folder (Help_Dir)
    std::wstring pkg;     // package folder holding KVUp511f.exe and the packed files
    std::wstring cwd;     // working folder the program is started in
    std::wstring exePath; // inst\korv5.exe
    std::wstring helpPath;

    static Scene Fresh();
    std::wstring AppInPackage() const { return Join(pkg, L"KVUp511f.exe"); }
    // Copies the program into pkg (unless already there) and starts it in cwd.
    void Launch(App& app) const;
};

} // namespace e2e
