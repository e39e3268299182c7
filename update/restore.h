// Brings a packed file of the update package back to its proper name, and puts a restored file
// in place, checked on the way.
#pragma once

#include <string>

#include "platform/platform.h"

namespace kv {

// A new file as restored: still open and held, so that nothing can change it before it is renamed
// into place.
struct RestoredFile {
    std::unique_ptr<OutputFile> file;
    Sha256Digest content{};
    std::uint64_t size = 0;
};

// Expands an SZDD-packed file, or copies any other file byte for byte, into a new file `name` of
// `folder` (a name that must be free), hashing what it writes, and flushes it to the disk. The
// new file is always a plain file: it takes neither the packed file's attributes (read-only from a
// CD) nor its alternate streams (the download's Mark of the Web). When `shipped` is given, the
// packed file's SHA-256 must equal it. A packed file that gives nothing is refused: an empty file
// is never a program. On failure no new file is left behind.
FileError RestorePackedFile(Platform& platform, const std::wstring& packed, Folder& folder,
                            const std::wstring& name, const Sha256Digest* shipped,
                            RestoredFile* restored);

// The SHA-256 of what a stream holds from where it stands to its end.
FileError HashStream(Platform& platform, ReadStream& stream, Sha256Digest* digest);

} // namespace kv
