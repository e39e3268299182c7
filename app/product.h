// Product facts shown to the user by the window and by the updater's messages.
#pragma once

#include "app/version.h"

namespace kv {

inline constexpr wchar_t kSupportEmail[] = L"support@korvane.example";
inline constexpr wchar_t kWebAddress[] = L"https://www.korvane.example/";
inline constexpr wchar_t kAttribution[] = L"\u00A9 quillmarsh.example";
// Message boxes carry the application's title, its product name.
inline constexpr wchar_t kMessageTitle[] = KV_WIDE(KV_VERSION_PRODUCT_NAME);

} // namespace kv
