#include "update/edition_guard.h"

#include <cstring>

namespace kv {

std::wstring RefusalMessage()
{
    return L"Error!!! Can't use the Family Version update on this computer, because it has the "
           L"administration version of Korvane installed. In order to update Korvane on this "
           L"computer use the Business Version update!";
}

std::uint32_t ReadEditionMarker(Platform& platform)
{
    // Read-only access: asking for more fails for users who cannot write to HKLM, and a guard
    // that cannot open the key would let the update through.
    ScopedRegKey key(platform);
    platform.RegOpenLocalMachineKey(kEditionKey, kKeyQueryValue, key.Receive());

    std::uint8_t data[sizeof(std::uint32_t)] = {};
    std::uint32_t type = 0;
    std::uint32_t byteCount = sizeof data;
    const long rc = platform.RegReadValue(key.Get(), kEditionValue, &type, data, &byteCount);

    // A failed read (missing value, or one longer than four bytes) may still have written
    // into the buffer; only a successful read counts.
    if (rc != kErrorSuccess)
        return 0;
    std::uint32_t marker = 0;
    std::memcpy(&marker, data, sizeof marker); // REG_DWORD is little-endian, as is the host
    return marker;
}

bool EditionAllowsUpdate(Platform& platform)
{
    if (ReadEditionMarker(platform) != kAdministrationEdition)
        return true;
    platform.ShowMessage(RefusalMessage());
    return false;
}

} // namespace kv
