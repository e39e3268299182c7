// Brings a packed file of the update package back to its proper name.
#pragma once

#include <string>

#include "platform/platform.h"

namespace kv {

// Expands an SZDD-packed file, or copies any other file byte for byte, onto `target`
// (overwriting it). The target is always a new plain file: it takes neither the packed file's
// attributes (read-only from a CD) nor its alternate streams (the download's Mark of the Web).
// On failure no partial target is left behind.
FileError RestorePackedFile(Platform& platform, const std::wstring& packed,
                            const std::wstring& target);

} // namespace kv
