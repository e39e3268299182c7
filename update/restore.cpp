#include "update/restore.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "update/szdd.h"

namespace kv {

namespace {

// The packed file from its first byte again, after its signature has been looked at: the
// bytes already read come first, then the rest of the file.
class Rewound final : public ReadStream {
public:
    Rewound(ReadStream& rest, const std::uint8_t* head, std::size_t size)
        : rest_(rest), head_(head), size_(size)
    {
    }
    bool Read(void* buffer, std::size_t capacity, std::size_t* got) override
    {
        if (offset_ == size_)
            return rest_.Read(buffer, capacity, got);
        *got = std::min(capacity, size_ - offset_);
        std::memcpy(buffer, head_ + offset_, *got);
        offset_ += *got;
        return true;
    }

private:
    ReadStream& rest_;
    const std::uint8_t* head_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

// Reads until the buffer is full or the file ends.
bool ReadFull(ReadStream& in, std::uint8_t* buffer, std::size_t capacity, std::size_t* have)
{
    *have = 0;
    while (*have < capacity) {
        std::size_t got = 0;
        if (!in.Read(buffer + *have, capacity - *have, &got))
            return false;
        if (got == 0)
            break;
        *have += got;
    }
    return true;
}

FileError CopyAll(ReadStream& in, WriteStream& out)
{
    std::vector<std::uint8_t> buffer(256 * 1024);
    for (;;) {
        // Whole buffers: after the signature's few bytes, every read and write starts at a
        // multiple of the buffer's size. Off by those few bytes, the copy takes half as long again.
        std::size_t got = 0;
        if (!ReadFull(in, buffer.data(), buffer.size(), &got))
            return kErrorReadFault;
        if (got == 0)
            return kFileOk;
        if (!out.Write(buffer.data(), got))
            return kErrorWriteFault;
    }
}

FileError Transfer(ReadStream& in, WriteStream& out, bool isSzdd)
{
    if (!isSzdd)
        return CopyAll(in, out);
    switch (ExpandSzdd(in, out)) {
    case ExpandResult::Ok:
        return kFileOk;
    case ExpandResult::ReadError:
        return kErrorReadFault;
    case ExpandResult::WriteError:
        return kErrorWriteFault;
    default:
        return kErrorInvalidData;
    }
}

} // namespace

FileError RestorePackedFile(Platform& platform, const std::wstring& packed,
                            const std::wstring& target)
{
    std::unique_ptr<ReadStream> in;
    if (const FileError error = platform.OpenForReading(packed, &in))
        return error;
    std::uint8_t head[kSzddSignatureSize];
    std::size_t have = 0;
    if (!ReadFull(*in, head, sizeof head, &have))
        return kErrorReadFault;

    std::unique_ptr<WriteStream> out;
    if (const FileError error = platform.CreateForWriting(target, &out))
        return error;
    Rewound whole(*in, head, have);
    FileError error = Transfer(whole, *out, HasSzddSignature(head, have));
    if (!out->Close() && error == kFileOk)
        error = kErrorWriteFault;
    out.reset();
    if (error != kFileOk)
        platform.RemoveFile(target); // a half-written file must never be installed
    return error;
}

} // namespace kv
