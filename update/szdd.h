// The SZDD format of the classic compress/expand tools, in which update packages ship their
// files: a 14-byte header, then LZSS over a 4096-byte window.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace kv {

inline constexpr std::size_t kSzddHeaderSize = 14;
inline constexpr std::size_t kSzddSignatureSize = 8;
inline constexpr std::uint8_t kSzddSignature[kSzddSignatureSize] = {0x53, 0x5A, 0x44, 0x44,
                                                                    0x88, 0xF0, 0x27, 0x33};

// True when the bytes start with the SZDD signature.
bool HasSzddSignature(const std::uint8_t* bytes, std::size_t count);

enum class ExpandResult {
    Ok,
    ReadError,
    WriteError,
    BadHeader, // signature, mode or header length wrong
    Corrupt,   // the data does not expand to exactly the length the header gives
};

// Expands a whole SZDD file from `in` (positioned at its first byte) into `out`. Memory use is
// fixed, whatever the file's size; output stops as soon as it would exceed the header's length.
// `out` is not closed.
ExpandResult ExpandSzdd(ReadStream& in, WriteStream& out);

} // namespace kv
