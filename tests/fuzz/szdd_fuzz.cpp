// Feeds arbitrary files to the SZDD expander. Besides the sanitizers' checks it aborts when the
// expander writes past the header's length, or expands differently from a plain byte-at-a-time
// expander kept here as the reference.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "tests/szdd/memory_streams.h"
#include "update/szdd.h"

using kv::test::Bytes;

namespace {

// The format at its plainest: a 4096-byte window, one byte at a time. False when cut short.
bool ReferenceExpand(const std::uint8_t* data, std::size_t size, Bytes* out)
{
    std::uint8_t window[4096];
    std::memset(window, ' ', sizeof window);
    unsigned pos = 4096 - 16;
    for (std::size_t i = kv::kSzddHeaderSize; i < size;) {
        const unsigned flags = data[i++];
        for (int bit = 0; bit < 8 && i < size; ++bit) {
            if (flags >> bit & 1) {
                out->push_back(window[pos++ & 4095] = data[i++]);
                continue;
            }
            if (i + 1 >= size)
                return false;
            const unsigned from = data[i] | (data[i + 1] & 0xF0) << 4;
            const unsigned length = (data[i + 1] & 0x0F) + 3;
            i += 2;
            for (unsigned k = 0; k < length; ++k)
                out->push_back(window[pos++ & 4095] = window[(from + k) & 4095]);
        }
    }
    return true;
}

} // namespace

// Every run frees a few hundred KiB; ASan's default 256 MiB quarantine of freed memory would on
// its own exceed the 256 MiB the fuzzer is allowed.
extern "C" const char* __asan_default_options()
{
    return "quarantine_size_mb=16";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const bool headerOk = size >= kv::kSzddHeaderSize && kv::HasSzddSignature(data, size) &&
                          data[kv::kSzddSignatureSize] == 'A';
    std::uint32_t declared = 0;
    if (headerOk)
        std::memcpy(&declared, data + 10, 4);

    // Vary how the input arrives, so that reads end at every kind of place.
    kv::test::MemoryReader in(data, size, size % 3 == 0 ? size : 1 + size % 37);
    kv::test::MemoryWriter out;
    const kv::ExpandResult result = kv::ExpandSzdd(in, out);

    Bytes expected;
    const bool valid =
        headerOk && ReferenceExpand(data, size, &expected) && expected.size() == declared;
    const auto wanted = !headerOk ? kv::ExpandResult::BadHeader
                        : valid   ? kv::ExpandResult::Ok
                                  : kv::ExpandResult::Corrupt;
    if (result != wanted || out.bytes.size() > std::min<std::size_t>(declared, expected.size()) ||
        !std::equal(out.bytes.begin(), out.bytes.end(), expected.begin()) ||
        (valid && out.bytes.size() != declared))
        std::abort();
    return 0;
}
