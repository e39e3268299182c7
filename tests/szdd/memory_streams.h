// Files in memory for the SZDD expander's tests and fuzz target.
#pragma once

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/platform.h"

namespace kv::test {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

// Hands out the data in pieces of at most `chunk` bytes; fails once `failAt` bytes are read.
class MemoryReader : public ReadStream {
public:
    MemoryReader(const std::uint8_t* data, std::size_t size, std::size_t chunk = kNoLimit,
                 std::size_t failAt = kNoLimit)
        : data_(data), size_(size), chunk_(chunk), failAt_(failAt)
    {
    }
    bool Read(void* buffer, std::size_t capacity, std::size_t* got) override
    {
        *got = std::min({capacity, chunk_, size_ - pos_, failAt_ - std::min(pos_, failAt_)});
        if (pos_ >= failAt_)
            return false;
        if (*got != 0) // an empty vector's data() may be null
            std::memcpy(buffer, data_ + pos_, *got);
        pos_ += *got;
        return true;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_, chunk_, failAt_, pos_ = 0;
};

// Collects what is written; refuses any write that would take it past `limit` bytes.
class MemoryWriter : public WriteStream {
public:
    explicit MemoryWriter(std::size_t limit = kNoLimit) : limit_(limit) {}
    bool Write(const void* data, std::size_t size) override
    {
        if (size > limit_ - bytes.size())
            return false;
        bytes.insert(bytes.end(), static_cast<const std::uint8_t*>(data),
                     static_cast<const std::uint8_t*>(data) + size);
        return true;
    }
    bool Close() override { return true; }
    Bytes bytes;

private:
    std::size_t limit_;
};

} // namespace kv::test
