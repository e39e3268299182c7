#include "locate/locator.h"

#include <algorithm>
#include <iterator>

#include "platform/product.h"

namespace kv {

std::wstring NotFoundMessage()
{
    return std::wstring(L"This program could not resolve the path of the exe-file of Korvane. "
                        L"Please contact ") +
           kSupportEmail;
}

std::wstring CleanInstallFolder(std::wstring raw)
{
    if (const auto nul = raw.find(L'\0'); nul != std::wstring::npos)
        raw.erase(nul);
    const auto first = raw.find_first_not_of(L' ');
    if (first == std::wstring::npos)
        raw.clear();
    else
        raw = raw.substr(first, raw.find_last_not_of(L' ') - first + 1);
    if (raw.empty() || raw.back() != L'\\')
        raw += L'\\';
    return raw;
}

namespace {

// The raw text of "Help_Dir", converted over the whole buffer as the ANSI registry API leaves
// it; nothing when the key or the value cannot be read.
std::optional<std::wstring> ReadInstallFolderValue(Platform& platform)
{
    ScopedRegKey key(platform);
    if (platform.RegOpenLocalMachineKey(kProductKey, kKeyQueryValue, key.Receive()) !=
        kErrorSuccess)
        return std::nullopt;

    std::uint8_t buffer[kInstallFolderBufferBytes];
    std::fill(std::begin(buffer), std::end(buffer), std::uint8_t{' '});
    std::uint32_t type = 0;
    std::uint32_t byteCount = kInstallFolderBufferBytes;
    if (platform.RegReadValue(key.Get(), kInstallFolderValue, &type, buffer, &byteCount) !=
        kErrorSuccess)
        return std::nullopt;
    return platform.AnsiToWide(buffer, sizeof buffer);
}

} // namespace

std::optional<Installation> LocateInstallation(Platform& platform)
{
    if (const auto raw = ReadInstallFolderValue(platform)) {
        const std::wstring folder = CleanInstallFolder(*raw);
        Installation found{folder + kInstalledExeName, folder + kInstalledHelpName, {}};
        // An update that was interrupted after moving korv5.exe aside leaves only its backup;
        // Replace then finishes the job.
        if (platform.IsNormalFile(found.exePath) ||
            platform.IsNormalFile(found.exePath + L".backup")) {
            if (FolderId id; platform.FolderIdentity(folder, &id))
                found.folder = id;
            return found;
        }
    }
    platform.ShowMessage(NotFoundMessage());
    return std::nullopt;
}

} // namespace kv
