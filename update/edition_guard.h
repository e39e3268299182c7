// Keeps the family-edition update off machines with the administration edition installed.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace kv {

inline constexpr wchar_t kEditionKey[] = L"SOFTWARE\\Zelvaric\\";
inline constexpr wchar_t kEditionValue[] = L"Value32";
inline constexpr std::uint32_t kAdministrationEdition = 2;

std::wstring RefusalMessage();

// The installed edition marker; 0 when the key or value is missing or cannot be read.
std::uint32_t ReadEditionMarker(Platform& platform);

// True when the update may go on; otherwise the refusal has been shown.
bool EditionAllowsUpdate(Platform& platform);

} // namespace kv
