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

// Every byte read passes through the hash, when there is one.
class HashingReader final : public ReadStream {
public:
    HashingReader(ReadStream& in, Sha256* hash) : in_(in), hash_(hash) {}
    bool Read(void* buffer, std::size_t capacity, std::size_t* got) override
    {
        if (!in_.Read(buffer, capacity, got))
            return false;
        if (hash_)
            hash_->Add(buffer, static_cast<std::uint32_t>(*got));
        return true;
    }

private:
    ReadStream& in_;
    Sha256* hash_;
};

// Every byte written passes through the hash and is counted.
class HashingWriter final : public WriteStream {
public:
    HashingWriter(WriteStream& out, Sha256& hash) : out_(out), hash_(hash) {}
    bool Write(const void* data, std::size_t size) override
    {
        hash_.Add(data, static_cast<std::uint32_t>(size));
        written += size;
        return out_.Write(data, size);
    }
    bool Close() override { return out_.Close(); }
    std::uint64_t written = 0;

private:
    WriteStream& out_;
    Sha256& hash_;
};

// Takes bytes and keeps none.
class Discard final : public WriteStream {
public:
    bool Write(const void*, std::size_t) override { return true; }
    bool Close() override { return true; }
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

bool Matches(Sha256& hash, const Sha256Digest& expected)
{
    Sha256Digest digest{};
    return hash.Finish(&digest) && digest == expected;
}

} // namespace

FileError RestorePackedFile(Platform& platform, const std::wstring& packed, Folder& folder,
                            const std::wstring& name, const Sha256Digest* shipped,
                            RestoredFile* restored)
{
    // Hashing is most of a restore's time: the packed bytes are hashed only when there is a sum
    // to check them against.
    const std::unique_ptr<Sha256> packedHash = shipped ? platform.NewSha256() : nullptr;
    const std::unique_ptr<Sha256> restoredHash = platform.NewSha256();
    if ((shipped && !packedHash) || !restoredHash)
        return kErrorNotEnoughMemory;
    std::unique_ptr<ReadStream> file;
    if (const FileError error = platform.OpenForReading(packed, &file))
        return error;
    HashingReader in(*file, packedHash.get());
    std::uint8_t head[kSzddSignatureSize];
    std::size_t have = 0;
    if (!ReadFull(in, head, sizeof head, &have))
        return kErrorReadFault;

    std::unique_ptr<OutputFile> created;
    if (const FileError error = folder.Create(name, &created))
        return error;
    HashingWriter out(*created, *restoredHash);
    Rewound whole(in, head, have);
    FileError error = Transfer(whole, out, HasSzddSignature(head, have));
    if (error == kFileOk) {
        // Whatever follows the packed stream counts for the sum too.
        Discard rest;
        error = CopyAll(in, rest);
    }
    if (error == kFileOk && out.written == 0)
        error = kErrorInvalidData;
    if (error == kFileOk && shipped && !Matches(*packedHash, *shipped))
        error = kErrorCrc;
    if (error == kFileOk && !restoredHash->Finish(&restored->content))
        error = kErrorNotEnoughMemory;
    if (error == kFileOk && !created->Flush())
        error = kErrorWriteFault;
    if (error != kFileOk) {
        created->Delete(); // a half-written or unchecked file must never be installed
        return error;
    }
    restored->size = out.written;
    restored->file = std::move(created);
    return kFileOk;
}

FileError HashStream(Platform& platform, ReadStream& stream, Sha256Digest* digest)
{
    const std::unique_ptr<Sha256> hash = platform.NewSha256();
    if (!hash)
        return kErrorNotEnoughMemory;
    HashingReader in(stream, hash.get());
    Discard nowhere;
    if (const FileError error = CopyAll(in, nowhere))
        return error;
    return hash->Finish(digest) ? kFileOk : kErrorNotEnoughMemory;
}

} // namespace kv
