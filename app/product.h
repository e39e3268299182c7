// Product facts shown to the user by the window and by the updater's messages.
#pragma once

namespace kv {

inline constexpr wchar_t kSupportEmail[] = L"support@korvane.example";
inline constexpr wchar_t kWebAddress[] = L"https://www.korvane.example/";
inline constexpr wchar_t kAttribution[] = L"\u00A9 quillmarsh.example";
inline constexpr wchar_t kMessageTitle[] = L"Korv_Update";

} // namespace kv
