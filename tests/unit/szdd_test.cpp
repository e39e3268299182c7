// The SZDD expander on files packed by Debian's mscompress and on hand-made streams for what
// mscompress never emits; damaged or cut files are refused without writing past their length.
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

// Items: a literal byte, or a match "pos:length" into the window.
Bytes Pack(std::uint32_t length, const std::vector<std::string>& items)
{
    Bytes packed = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33, 'A', 'x'};
    for (int shift = 0; shift < 32; shift += 8)
        packed.push_back(static_cast<std::uint8_t>(length >> shift));
    std::size_t flags = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i % 8 == 0)
            packed.push_back(0), flags = packed.size() - 1;
        const auto colon = items[i].find(':');
        if (colon == std::string::npos) {
            packed[flags] |= 1 << (i % 8);
            packed.push_back(static_cast<std::uint8_t>(items[i][0]));
            continue;
        }
        const unsigned pos = std::stoul(items[i]), count = std::stoul(items[i].substr(colon + 1));
        packed.push_back(pos & 0xFF);
        packed.push_back(static_cast<std::uint8_t>((pos >> 4 & 0xF0) | (count - 3)));
    }
    return packed;
}

TEST(Szdd, HandMadeStreams)
{
    std::vector<std::string> eighteen; // window positions 4080..4095, then 0 and 1
    for (char c = 'A'; c <= 'R'; ++c)
        eighteen.push_back({c});
    std::vector<std::string> window = eighteen;
    window.resize(4096, "w");
    const std::string wrapped = "ABCDEFGHIJKLMNOPQR" + std::string(4078, 'w');
    const struct {
        Bytes packed;
        ExpandResult result;
        std::string output; // of a refused file: the most it may write
    } cases[] = {
        {Pack(0, {}), ExpandResult::Ok, ""},
        {Pack(1, {"x"}), ExpandResult::Ok, "x"},
        {Pack(5, {"a", "0:3", "b"}), ExpandResult::Ok, "a   b"},      // the initial spaces
        {Pack(7, {"a", "b", "4080:5"}), ExpandResult::Ok, "abababa"}, // overlapping match
        {Pack(19, {"z", "4080:18"}), ExpandResult::Ok, std::string(19, 'z')},
        {Pack(22,
              [&] {
                  auto v = eighteen;
                  v.push_back("4094:4");
                  return v;
              }()),
         ExpandResult::Ok, "ABCDEFGHIJKLMNOPQROPQR"}, // a match across the window's end
        // A match at the write position reads the byte written a whole window ago.
        {Pack(4099,
              [&] {
                  auto v = window;
                  v.push_back("4080:3");
                  return v;
              }()),
         ExpandResult::Ok, wrapped + "ABC"},
        {Pack(0, {"x"}), ExpandResult::Corrupt, ""}, // mscompress's stray byte for an empty file
        {[] {
             auto p = Pack(1, {"a"});
             p.push_back(0);
             return p;
         }(),
         ExpandResult::Corrupt, "a"},
        {[] {
             auto p = Pack(3, {"a", "b", "c", "d", "e", "f", "g", "h"});
             return p;
         }(),
         ExpandResult::Corrupt, "abc"}, // more data than the header says
        {[] {
             auto p = Pack(8, {"a", "b", "c", "d", "e", "f", "g", "h"});
             p.push_back(0);
             return p;
         }(),
         ExpandResult::Ok, "abcdefgh"}, // a last flag byte with nothing after it
    };
    for (const auto& c : cases) {
        const auto [result, output] = Expand(c.packed, 3);
        EXPECT_EQ(result, c.result) << c.output;
        if (result == ExpandResult::Ok) {
            EXPECT_EQ(std::string(output.begin(), output.end()), c.output);
        } else { // a refused file may be written in part, but never past the header's length
            EXPECT_LE(output.size(), c.output.size());
        }
    }
}

} // namespace
} // namespace kv::test
