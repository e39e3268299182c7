// Product facts the updater shows to the user: in its window, in its messages and in the version
// record of its executable. Plain macros first: the resource compiler reads this file too.
#pragma once

#define KV_PRODUCT_NAME "Korv_Update"

#ifndef RC_INVOKED
namespace kv {

inline constexpr wchar_t kSupportEmail[] = L"support@korvane.example";
inline constexpr wchar_t kWebAddress[] = L"https://www.korvane.example/";
inline constexpr wchar_t kAttribution[] = L"\u00A9 quillmarsh.example";
// Message boxes carry the application's title, its product name.
inline constexpr wchar_t kMessageTitle[] = L"" KV_PRODUCT_NAME;

} // namespace kv
#endif
