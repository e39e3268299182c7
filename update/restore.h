// Brings a packed file of the update package back to its proper name.
#pragma once

#include <string>

#include "platform/platform.h"

namespace kv {

// Expands an SZDD-packed file, or copies any other file byte for byte, onto `target`
// (overwriting it). On failure no partial target is left behind.
bool RestorePackedFile(Platform& platform, const std::wstring& packed, const std::wstring& target);

} // namespace kv
