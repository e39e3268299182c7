// The SZDD expander on files packed by Debian's mscompress and on hand-made streams for what
// mscompress never emits; damaged or cut files are refused without writing past their length.
// Decoding at large is compared with libmspack by the fuzz target (tests/fuzz).
#include "update/szdd.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unistd.h>

#include "tests/szdd/memory_streams.h"

namespace kv::test {
namespace {

std::pair<ExpandResult, Bytes> Expand(const Bytes& packed, std::size_t chunk = kNoLimit)
{
    MemoryReader in(packed.data(), packed.size(), chunk);
    MemoryWriter out;
    const ExpandResult result = ExpandSzdd(in, out);
    return {result, out.bytes};
}

Bytes Sample(std::size_t size, unsigned seed) // text, noise and zero runs
{
    std::mt19937 random(seed);
    Bytes data;
    while (data.size() < size) {
        const unsigned kind = random() % 3, run = 64 + random() % 3000;
        for (unsigned i = 0; i < run; ++i)
            data.push_back(kind == 0 ? "Korvane help "[i % 13] : kind == 1 ? random() : 0);
    }
    data.resize(size);
    return data;
}

Bytes MsCompress(const Bytes& plain, const std::string& name)
{
    // Tests may run in several processes at once: each packs under names of its own.
    const std::string path = testing::TempDir() + "kv_szdd_" + std::to_string(getpid()) + name;
    std::remove((path + "_").c_str()); // mscompress will not overwrite
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(plain.data()),
               static_cast<std::streamsize>(plain.size()));
    EXPECT_EQ(std::system(("mscompress '" + path + "' >/dev/null 2>&1").c_str()), 0);
    std::ifstream file(path + "_", std::ios::binary);
    Bytes packed(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>{});
    std::remove(path.c_str());
    std::remove((path + "_").c_str());
    return packed;
}

TEST(Szdd, ExpandsWhatMscompressPackedInAnyReadSize)
{
    // Sizes either side of the 4096-byte window and of the expander's 64 KiB output buffer; the
    // spaces refer back to the spaces the window starts with.
    std::vector<Bytes> samples = {Bytes(40, ' '), Sample(4096, 1), Sample(4097, 2),
                                  Sample(65537, 3), Sample(200000, 4)};
    samples[0].insert(samples[0].end(), {'h', 'i', ' ', ' '});
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const Bytes packed = MsCompress(samples[i], "sample" + std::to_string(i));
        for (std::size_t chunk : {kNoLimit, std::size_t{1}, std::size_t{4099}}) {
            SCOPED_TRACE(testing::Message() << "sample " << i << ", reads of " << chunk);
            EXPECT_EQ(Expand(packed, chunk), std::make_pair(ExpandResult::Ok, samples[i]));
        }
    }

    // Cut, damaged and failing files, from the largest sample.
    const Bytes& plain = samples.back();
    const Bytes packed = MsCompress(plain, "damaged");
    const auto with = [&](std::size_t at, std::uint8_t value, std::size_t keep = kNoLimit) {
        Bytes copy(packed.begin(), packed.begin() + std::min(keep, packed.size()));
        if (at < copy.size())
            copy[at] = value;
        return copy;
    };
    const std::size_t length = plain.size();
    const struct {
        Bytes file;
        ExpandResult result;
    } cases[] = {
        {with(kNoLimit, 0, 13), ExpandResult::BadHeader},
        {with(kNoLimit, 0, 14), ExpandResult::Corrupt},
        {with(kNoLimit, 0, packed.size() / 2), ExpandResult::Corrupt},
        {with(kNoLimit, 0, packed.size() - 1), ExpandResult::Corrupt},
        {with(8, 'B'), ExpandResult::BadHeader},
        {with(7, 0x34), ExpandResult::BadHeader},
        {with(10, (length - 1) & 0xFF), ExpandResult::Corrupt}, // one byte short
        {with(10, (length + 1) & 0xFF), ExpandResult::Corrupt}, // one byte long
        {with(12, 0), ExpandResult::Corrupt},                   // 64 KiB and more short
        {with(13, 0xFF), ExpandResult::Corrupt},                // about 4 GiB
        {with(9, 'L'), ExpandResult::Ok},                       // the name's last character is free
    };
    for (const auto& c : cases) {
        const auto [result, output] = Expand(c.file, 4096);
        std::uint32_t declared = 0;
        if (c.file.size() >= 14)
            std::memcpy(&declared, &c.file[10], 4); // little-endian, as the host
        EXPECT_EQ(result, c.result);
        EXPECT_LE(output.size(), declared) << "written past the header's length";
    }
    for (std::size_t failAt : {std::size_t{10}, packed.size() / 2, packed.size() - 1}) {
        MemoryReader in(packed.data(), packed.size(), 4096, failAt);
        MemoryWriter out;
        EXPECT_EQ(ExpandSzdd(in, out), ExpandResult::ReadError);
    }
    for (std::size_t limit : {std::size_t{0}, length - 1}) {
        MemoryReader in(packed.data(), packed.size());
        MemoryWriter out(limit);
        EXPECT_EQ(ExpandSzdd(in, out), ExpandResult::WriteError);
    }
}

// A header for `length` bytes, then the data as given.
Bytes Packed(std::uint32_t length, const Bytes& data)
{
    Bytes packed = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33, 'A', 'x'};
    for (int shift = 0; shift < 32; shift += 8)
        packed.push_back(static_cast<std::uint8_t>(length >> shift));
    packed.insert(packed.end(), data.begin(), data.end());
    return packed;
}

// What mscompress never writes: data that does not end with the header's length, and the few
// streams its output does not reach.
TEST(Szdd, HandMadeStreams)
{
    // Flag bytes: bit i set makes item i a literal byte, clear a two-byte match.
    const struct {
        Bytes packed;
        ExpandResult result;
        std::string output; // of a refused file: the most it may write
    } cases[] = {
        {Packed(0, {0x01, 'x'}), ExpandResult::Corrupt, ""}, // mscompress's stray byte, empty file
        {Packed(1, {0x01, 'a', 0x00}), ExpandResult::Corrupt, "a"}, // a match cut off
        {Packed(3, {0xFF, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}), ExpandResult::Corrupt, "abc"},
        {Packed(8, {0xFF, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0x00}), ExpandResult::Ok,
         "abcdefgh"},                                    // a last flag byte and nothing after
        {Packed(1, {0x01, 'x'}), ExpandResult::Ok, "x"}, // a one-byte file
        {Packed(5, {0x05, 'a', 0, 0, 'b'}), ExpandResult::Ok, "a   b"}, // the window's first spaces
    };
    for (const auto& c : cases) {
        const auto [result, output] = Expand(c.packed, 3);
        EXPECT_EQ(result, c.result) << c.output;
        if (result == ExpandResult::Ok)
            EXPECT_EQ(std::string(output.begin(), output.end()), c.output);
        else // a refused file may be written in part, but never past the header's length
            EXPECT_LE(output.size(), c.output.size());
    }
}

} // namespace
} // namespace kv::test
