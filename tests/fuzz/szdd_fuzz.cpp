// Feeds arbitrary files to the SZDD expander. Besides the sanitizers' checks it aborts when the
// expander writes past the header's length, reports Ok for output of another length, or expands
// differently from a plain byte-at-a-time expander kept here as the reference.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "update/szdd.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class MemoryReader : public kv::ReadStream {
public:
    MemoryReader(const std::uint8_t* data, std::size_t size, std::size_t chunk)
        : data_(data), size_(size), chunk_(chunk)
    {
    }
    bool Read(void* buffer, std::size_t capacity, std::size_t* got) override
    {
        std::size_t n = size_ - pos_;
        if (n > capacity)
            n = capacity;
        if (n > chunk_)
            n = chunk_;
        if (n != 0)
            std::memcpy(buffer, data_ + pos_, n);
        pos_ += n;
        *got = n;
        return true;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t chunk_;
    std::size_t pos_ = 0;
};

class MemoryWriter : public kv::WriteStream {
public:
    explicit MemoryWriter(std::uint64_t limit) : limit_(limit) {}
    bool Write(const void* data, std::size_t size) override
    {
        if (bytes.size() + size > limit_)
            std::abort(); // written past the header's length
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + size);
        return true;
    }
    bool Close() override { return true; }

    Bytes bytes;

private:
    std::uint64_t limit_;
};

// The format at its plainest: a 4096-byte window, one byte at a time. Only called on files
// whose header is valid.
bool ReferenceExpand(const std::uint8_t* data, std::size_t size, Bytes* out)
{
    std::uint8_t window[4096];
    std::memset(window, ' ', sizeof window);
    unsigned pos = 4096 - 16;
    std::size_t i = kv::kSzddHeaderSize;
    while (i < size) {
        const unsigned flags = data[i++];
        for (int bit = 0; bit < 8 && i < size; ++bit) {
            if (flags >> bit & 1) {
                out->push_back(window[pos] = data[i++]);
                pos = (pos + 1) & 4095;
            } else {
                if (i + 1 >= size)
                    return false;
                unsigned from = data[i] | (data[i + 1] & 0xF0) << 4;
                const unsigned length = (data[i + 1] & 0x0F) + 3;
                i += 2;
                for (unsigned k = 0; k < length; ++k) {
                    out->push_back(window[pos] = window[from]);
                    pos = (pos + 1) & 4095;
                    from = (from + 1) & 4095;
                }
            }
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
    const std::uint64_t declared =
        headerOk ? data[10] | data[11] << 8 | data[12] << 16 | std::uint64_t{data[13]} << 24 : 0;

    // Vary how the input arrives, so that reads end at every kind of place.
    MemoryReader in(data, size, size % 3 == 0 ? size : 1 + size % 37);
    MemoryWriter out(declared);
    const kv::ExpandResult result = kv::ExpandSzdd(in, out);

    if (!headerOk) {
        if (result != kv::ExpandResult::BadHeader || !out.bytes.empty())
            std::abort();
        return 0;
    }
    Bytes expected;
    const bool complete = ReferenceExpand(data, size, &expected);
    const bool valid = complete && expected.size() == declared;
    if (result != (valid ? kv::ExpandResult::Ok : kv::ExpandResult::Corrupt))
        std::abort();
    if (out.bytes.size() > expected.size() ||
        !std::equal(out.bytes.begin(), out.bytes.end(), expected.begin()))
        std::abort();
    if (result == kv::ExpandResult::Ok && out.bytes.size() != declared)
        std::abort();
    return 0;
}
