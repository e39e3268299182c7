// Brings a packed file of the update package back to its proper name, and puts a restored file
// in place, checked on the way.
#pragma once

#include <string>

#include "platform/platform.h"

namespace kv {

// Expands an SZDD-packed file, or copies any other file byte for byte, onto `target`
// (overwriting it). The target is always a new plain file: it takes neither the packed file's
// attributes (read-only from a CD) nor its alternate streams (the download's Mark of the Web).
// When `shipped` is given, the packed file's SHA-256 must equal it. A packed file that gives
// nothing is refused: an empty file is never a program. `restored` receives the SHA-256 of what
// was written. On failure no partial target is left behind.
FileError RestorePackedFile(Platform& platform, const std::wstring& packed,
                            const std::wstring& target, const Sha256Digest* shipped,
                            Sha256Digest* restored);

// Copies `from` into a new file `to` and flushes it to the disk, but only when what was copied
// has the SHA-256 `expected`: a file changed after it was checked is not put in place. On failure
// `to` is removed.
FileError CopyChecked(Platform& platform, const std::wstring& from, const std::wstring& to,
                      const Sha256Digest& expected);

// The SHA-256 of a file's content.
FileError HashFile(Platform& platform, const std::wstring& path, Sha256Digest* digest);

} // namespace kv
