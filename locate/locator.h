// Finds the installed Korvane through the product's machine-wide registry entry.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

namespace kv {

inline constexpr wchar_t kProductKey[] = L"SOFTWARE\\Quillmarsh\\Korvane\\";
inline constexpr wchar_t kInstallFolderValue[] = L"Help_Dir";
inline constexpr wchar_t kInstalledExeName[] = L"korv5.exe";
inline constexpr wchar_t kInstalledHelpName[] = L"korv.hlp";
inline constexpr std::uint32_t kInstallFolderBufferBytes = 400;

struct Installation {
    std::wstring exePath;  // ExePath
    std::wstring helpPath; // HelpPath
    // The folder found, as the file system knows it: Replace works in this folder and no other.
    // Nothing when it could not be read.
    std::optional<FolderId> folder;
};

std::wstring NotFoundMessage();

// The installation folder as the registry's raw text becomes it: cut at the first NUL, trimmed
// of spaces (U+0020 only) and ending with a backslash.
std::wstring CleanInstallFolder(std::wstring raw);

// Reads the installation folder and checks that the executable, or the backup an interrupted
// update left of it, is there. On failure it has shown the not-found message and returns nothing.
std::optional<Installation> LocateInstallation(Platform& platform);

} // namespace kv
