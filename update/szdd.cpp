#include "update/szdd.h"

#include <cstring>
#include <memory>

namespace kv {

namespace {

constexpr std::uint8_t kModeA = 0x41;
constexpr std::size_t kLengthOffset = 10;

constexpr std::size_t kWindowSize = 4096;
constexpr unsigned kWindowMask = kWindowSize - 1;
constexpr unsigned kFirstWindowPos = kWindowSize - 16; // where the first expanded byte lands
constexpr std::size_t kMaxMatch = 18;
constexpr std::size_t kMaxGroupIn = 1 + 8 * 2; // a flag byte and eight matches
constexpr std::size_t kMaxGroupOut = 8 * kMaxMatch;
constexpr std::size_t kInSize = 64 * 1024;
constexpr std::size_t kOutSize = 64 * 1024;

// Everything the expander needs, allocated once: memory stays the same whatever the file size.
struct Buffers {
    std::uint8_t in[kInSize];
    // The last kWindowSize expanded bytes (at first the spaces the window starts with), then the
    // bytes not yet written out, then room for the flag group that crosses kOutSize.
    std::uint8_t out[kWindowSize + kOutSize + kMaxGroupOut];
};

// Expands one match to dst; windowPos is dst's position in the 4096-byte window. Returns the
// new end of the output.
inline std::uint8_t* CopyMatch(std::uint8_t* dst, unsigned windowPos, unsigned b0, unsigned b1)
{
    const unsigned from = b0 | ((b1 & 0xF0) << 4);
    const unsigned length = (b1 & 0x0F) + 3;
    // How far back the match starts; a match at the write position itself reads the byte about
    // to be overwritten, which was written a whole window ago.
    const std::size_t distance = ((windowPos - from - 1) & kWindowMask) + 1;
    const std::uint8_t* src = dst - distance;
    if (distance >= kMaxMatch) {
        // No overlap: one fixed-size copy, the bytes past `length` are overwritten later.
        std::memcpy(dst, src, kMaxMatch);
    } else {
        // Overlapping copies repeat the bytes just written, so they go one at a time.
        for (unsigned i = 0; i < length; ++i)
            dst[i] = src[i];
    }
    return dst + length;
}

} // namespace

bool HasSzddSignature(const std::uint8_t* bytes, std::size_t count)
{
    return count >= kSzddSignatureSize &&
           std::memcmp(bytes, kSzddSignature, kSzddSignatureSize) == 0;
}

ExpandResult ExpandSzdd(ReadStream& in, WriteStream& out)
{
    const auto buffers = std::make_unique<Buffers>();
    std::uint8_t* const input = buffers->in;
    std::size_t inPos = 0;
    std::size_t inEnd = 0;
    bool inputEnded = false;

    // Tops the input up to a whole flag group's worth, unless the file ends first.
    const auto refill = [&]() {
        std::memmove(input, input + inPos, inEnd - inPos);
        inEnd -= inPos;
        inPos = 0;
        while (!inputEnded && inEnd < kMaxGroupIn) {
            std::size_t got = 0;
            if (!in.Read(input + inEnd, kInSize - inEnd, &got) || got > kInSize - inEnd)
                return false;
            inputEnded = got == 0;
            inEnd += got;
        }
        return true;
    };

    if (!refill())
        return ExpandResult::ReadError;
    if (inEnd < kSzddHeaderSize || !HasSzddSignature(input, inEnd) ||
        input[kSzddSignatureSize] != kModeA)
        return ExpandResult::BadHeader;
    const std::uint64_t expected = input[kLengthOffset] | (input[kLengthOffset + 1] << 8) |
                                   (input[kLengthOffset + 2] << 16) |
                                   (std::uint64_t{input[kLengthOffset + 3]} << 24);
    inPos = kSzddHeaderSize;

    std::uint8_t* const window = buffers->out;
    std::uint8_t* const pending = window + kWindowSize;
    std::memset(window, ' ', kWindowSize);
    std::uint8_t* dst = pending;
    std::uint64_t written = 0;
    // Window position of window[0], so that dst sits at (windowBase + (dst - window)) & mask.
    // window[0] is a whole window before the first output byte: the same position.
    unsigned windowBase = kFirstWindowPos;

    // Writes out the pending bytes, refusing any beyond the header's length.
    const auto flush = [&]() {
        const std::size_t count = static_cast<std::size_t>(dst - pending);
        if (count > expected - written)
            return ExpandResult::Corrupt;
        if (count != 0 && !out.Write(pending, count))
            return ExpandResult::WriteError;
        written += count;
        return ExpandResult::Ok;
    };

    for (;;) {
        if (static_cast<std::size_t>(dst - pending) >= kOutSize) {
            const ExpandResult result = flush();
            if (result != ExpandResult::Ok)
                return result;
            windowBase += static_cast<unsigned>(dst - pending);
            std::memmove(window, dst - kWindowSize, kWindowSize);
            dst = pending;
        }
        if (inEnd - inPos < kMaxGroupIn && !refill())
            return ExpandResult::ReadError;

        if (inEnd - inPos >= kMaxGroupIn) {
            // The common case: the whole group is at hand, no bounds checks per item.
            unsigned flags = input[inPos++];
            for (int bit = 0; bit < 8; ++bit, flags >>= 1) {
                if (flags & 1) {
                    *dst++ = input[inPos++];
                } else {
                    const unsigned windowPos = (windowBase + (dst - window)) & kWindowMask;
                    dst = CopyMatch(dst, windowPos, input[inPos], input[inPos + 1]);
                    inPos += 2;
                }
            }
            continue;
        }

        // The last few bytes of the file: the data may end after any whole item.
        if (inPos == inEnd)
            break;
        unsigned flags = input[inPos++];
        for (int bit = 0; bit < 8 && inPos < inEnd; ++bit, flags >>= 1) {
            if (flags & 1) {
                *dst++ = input[inPos++];
            } else {
                if (inEnd - inPos < 2)
                    return ExpandResult::Corrupt; // a match cut off by the end of the file
                const unsigned windowPos = (windowBase + (dst - window)) & kWindowMask;
                dst = CopyMatch(dst, windowPos, input[inPos], input[inPos + 1]);
                inPos += 2;
            }
        }
    }

    const ExpandResult result = flush();
    if (result != ExpandResult::Ok)
        return result;
    return written == expected ? ExpandResult::Ok : ExpandResult::Corrupt;
}

} // namespace kv
