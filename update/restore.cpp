#include "update/restore.h"

#include "update/szdd.h"

namespace kv {

namespace {

bool StartsWithSzddSignature(Platform& platform, const std::wstring& path, bool* isSzdd)
{
    const auto in = platform.OpenForReading(path);
    if (!in)
        return false;
    std::uint8_t head[kSzddSignatureSize];
    std::size_t have = 0;
    while (have < sizeof head) {
        std::size_t got = 0;
        if (!in->Read(head + have, sizeof head - have, &got))
            return false;
        if (got == 0)
            break;
        have += got;
    }
    *isSzdd = HasSzddSignature(head, have);
    return true;
}

bool ExpandOnto(Platform& platform, const std::wstring& packed, const std::wstring& target)
{
    const auto in = platform.OpenForReading(packed);
    if (!in)
        return false;
    auto out = platform.CreateForWriting(target);
    if (!out)
        return false;
    const bool expanded = ExpandSzdd(*in, *out) == ExpandResult::Ok;
    const bool closed = out->Close();
    out.reset();
    if (expanded && closed)
        return true;
    platform.RemoveFile(target); // a half-written file must never be installed
    return false;
}

} // namespace

bool RestorePackedFile(Platform& platform, const std::wstring& packed, const std::wstring& target)
{
    bool isSzdd = false;
    if (!StartsWithSzddSignature(platform, packed, &isSzdd))
        return false;
    return isSzdd ? ExpandOnto(platform, packed, target) : platform.CopyFileTo(packed, target);
}

} // namespace kv
