#include "update/szdd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

// Hands out the data in pieces of at most `chunk` bytes; fails once `failAt` bytes are read.
class MemoryReader : public kv::ReadStream {
public:
    explicit MemoryReader(const Bytes& data, std::size_t chunk = kNoLimit,
                          std::size_t failAt = kNoLimit)
        : data_(data), chunk_(chunk), failAt_(failAt)
    {
    }
    bool Read(void* buffer, std::size_t capacity, std::size_t* got) override
    {
        *got = 0;
        if (pos_ >= failAt_)
            return false;
        const std::size_t n = std::min({capacity, chunk_, data_.size() - pos_, failAt_ - pos_});
        if (n != 0) // an empty vector's data() may be null
            std::memcpy(buffer, data_.data() + pos_, n);
        pos_ += n;
        *got = n;
        return true;
    }

private:
    const Bytes& data_;
    std::size_t chunk_;
    std::size_t failAt_;
    std::size_t pos_ = 0;
};

// Collects what is written; refuses any write that would take it past `limit` bytes.
class MemoryWriter : public kv::WriteStream {
public:
    explicit MemoryWriter(std::size_t limit = kNoLimit) : limit_(limit) {}
    bool Write(const void* data, std::size_t size) override
    {
        if (size > limit_ - bytes.size())
            return false;
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + size);
        return true;
    }
    bool Close() override
    {
        closed = true;
        return true;
    }

    Bytes bytes;
    bool closed = false;

private:
    std::size_t limit_;
};

struct Expansion {
    kv::ExpandResult result;
    Bytes output;
};

Expansion Expand(const Bytes& packed, std::size_t chunk = kNoLimit)
{
    MemoryReader in(packed, chunk);
    MemoryWriter out;
    const kv::ExpandResult result = kv::ExpandSzdd(in, out);
    EXPECT_FALSE(out.closed) << "the caller closes the output";
    return {result, out.bytes};
}

std::uint32_t DeclaredLength(const Bytes& packed)
{
    return packed[10] | packed[11] << 8 | packed[12] << 16 | std::uint32_t{packed[13]} << 24;
}

void SetDeclaredLength(Bytes& packed, std::uint32_t length)
{
    for (int i = 0; i < 4; ++i)
        packed[10 + i] = static_cast<std::uint8_t>(length >> (8 * i));
}

Bytes Text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// Hand-made streams, for what mscompress never emits or emits wrongly.
struct Item {
    bool literal;
    std::uint8_t byte;
    unsigned pos;
    unsigned length;
};

Item Lit(std::uint8_t byte)
{
    return {true, byte, 0, 0};
}

Item Match(unsigned pos, unsigned length)
{
    return {false, 0, pos, length};
}

Bytes Header(std::uint32_t length)
{
    Bytes header(kv::kSzddHeaderSize);
    std::copy(kv::kSzddSignature, kv::kSzddSignature + kv::kSzddSignatureSize, header.begin());
    header[8] = 'A';
    header[9] = 'X'; // the last character of the name, which the packed name replaced
    SetDeclaredLength(header, length);
    return header;
}

Bytes Pack(std::uint32_t length, const std::vector<Item>& items)
{
    Bytes packed = Header(length);
    std::size_t flagAt = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i % 8 == 0) {
            flagAt = packed.size();
            packed.push_back(0);
        }
        if (items[i].literal) {
            packed[flagAt] |= 1 << (i % 8);
            packed.push_back(items[i].byte);
        } else {
            packed.push_back(static_cast<std::uint8_t>(items[i].pos & 0xFF));
            packed.push_back(
                static_cast<std::uint8_t>((items[i].pos >> 4 & 0xF0) | (items[i].length - 3)));
        }
    }
    return packed;
}

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Contents of the kinds update packages hold: text, machine code, tables, padding.
Bytes MixedContent(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    const std::vector<std::string> words = {"update",   "Korvane", "version", "file", "the",
                                            "registry", "  ",      "\r\n",    "help", "0x00401000"};
    Bytes data;
    while (data.size() < size) {
        const unsigned kind = random() % 4;
        const std::size_t run = 64 + random() % 4000;
        for (std::size_t i = 0; i < run; ++i) {
            if (kind == 0) {
                const std::string& w = words[random() % words.size()];
                data.insert(data.end(), w.begin(), w.end());
                data.push_back(' ');
            } else if (kind == 1) {
                data.push_back(static_cast<std::uint8_t>(random()));
            } else if (kind == 2) {
                data.push_back(0);
            } else {
                data.push_back(static_cast<std::uint8_t>(i % 7 == 0 ? random() : i / 16));
            }
        }
    }
    data.resize(size);
    return data;
}

const std::vector<std::string> kSampleNames = {
    "sixteen",    "leading_spaces", "zeros",      "random",     "mixed",
    "size_4095",  "size_4096",      "size_4097",  "size_65535", "size_65536",
    "size_65537", "size_69632",     "size_131073"};

Bytes SamplePlain(const std::string& name)
{
    if (name == "sixteen") // mscompress mis-packs files under 16 bytes: the smallest real sample
        return Text("0123456789abcdef");
    if (name == "leading_spaces") // mscompress refers to the spaces the window starts with
        return Text(std::string(40, ' ') + "hello, world" + std::string(30, ' '));
    if (name == "zeros")
        return Bytes(200 * 1024, 0);
    if (name == "random") {
        std::mt19937 random(7);
        Bytes noise(128 * 1024);
        for (auto& b : noise)
            b = static_cast<std::uint8_t>(random());
        return noise;
    }
    if (name == "mixed")
        return MixedContent(1536 * 1024, 1);
    // Lengths either side of the window's and of the expander's 64 KiB output buffer's sizes.
    const auto size = static_cast<unsigned>(std::stoul(name.substr(name.find('_') + 1)));
    return MixedContent(size, size);
}

// Files packed by mscompress. It reads its input one byte per system call (about 1.5 s per MiB),
// so each test process packs only the samples its tests use, once, several at a time.
class SzddFiles : public ::testing::Test {
protected:
    struct Sample {
        Bytes plain;
        Bytes packed;
    };

    static void SetUpTestSuite()
    {
        folder_ = fs::temp_directory_path() / ("kv_szdd_test_" + std::to_string(getpid()));
        fs::create_directories(folder_);
    }

    static void TearDownTestSuite()
    {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        samples_.clear();
    }

    // Packs those of the samples not packed yet; false when mscompress fails.
    static bool Pack(const std::vector<std::string>& names)
    {
        std::vector<std::string> missing;
        std::string command = "cd '" + folder_.string() + "' && for f in";
        for (const std::string& name : names) {
            if (samples_.count(name) != 0)
                continue;
            const Bytes plain = SamplePlain(name);
            std::ofstream(folder_ / name, std::ios::binary)
                .write(reinterpret_cast<const char*>(plain.data()),
                       static_cast<std::streamsize>(plain.size()));
            missing.push_back(name);
            command += " " + name;
        }
        if (missing.empty())
            return true;
        command += "; do mscompress $f >/dev/null 2>&1 & done; wait";
        if (std::system(command.c_str()) != 0)
            return false;
        for (const std::string& name : missing) {
            std::ifstream file(folder_ / (name + "_"), std::ios::binary);
            Bytes packed((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            if (packed.empty())
                return false;
            samples_[name] = {SamplePlain(name), std::move(packed)};
        }
        return true;
    }

    static const Sample& Get(const std::string& name) { return samples_.at(name); }

private:
    static inline fs::path folder_;
    static inline std::map<std::string, Sample> samples_;
};

TEST_F(SzddFiles, ExpandsWhatMscompressPackedInAnyReadSize)
{
    ASSERT_TRUE(Pack(kSampleNames)) << "mscompress failed; run scripts/setup";
    for (const std::string& name : kSampleNames) {
        const Sample& sample = Get(name);
        // Whole buffers, single bytes, and pieces that split items and flag groups.
        for (std::size_t chunk : {kNoLimit, std::size_t{1}, std::size_t{17}, std::size_t{4099}}) {
            SCOPED_TRACE(name + ", reads of " + std::to_string(chunk));
            const Expansion e = Expand(sample.packed, chunk);
            EXPECT_EQ(e.result, kv::ExpandResult::Ok);
            EXPECT_TRUE(e.output == sample.plain)
                << "got " << e.output.size() << " bytes, expected " << sample.plain.size();
        }
    }
}

TEST(Szdd, HandMadeStreams)
{
    Bytes pattern;
    std::vector<Item> wholeWindow;
    for (unsigned i = 0; i < 4096; ++i) {
        pattern.push_back(static_cast<std::uint8_t>(i * 7 % 251));
        wholeWindow.push_back(Lit(pattern.back()));
    }
    std::vector<Item> windowThenMatch = wholeWindow;
    windowThenMatch.push_back(Match(4080, 3)); // the write position has come round to 4080
    Bytes patternThenStart = pattern;
    patternThenStart.insert(patternThenStart.end(), pattern.begin(), pattern.begin() + 3);

    std::vector<Item> eighteen;
    for (char c = 'A'; c <= 'R'; ++c)
        eighteen.push_back(Lit(c)); // written at window positions 4080..4095, then 0 and 1
    eighteen.push_back(Match(4094, 4));
    std::vector<Item> eightLiterals;
    for (char c = 'a'; c <= 'h'; ++c)
        eightLiterals.push_back(Lit(c));

    const struct {
        const char* name;
        Bytes packed;
        kv::ExpandResult result;
        Bytes output;
    } cases[] = {
        {"header only", Header(0), kv::ExpandResult::Ok, {}},
        {"one literal", Pack(1, {Lit('x')}), kv::ExpandResult::Ok, Text("x")},
        {"match into the initial spaces", Pack(5, {Lit('a'), Match(0, 3), Lit('b')}),
         kv::ExpandResult::Ok, Text("a   b")},
        {"overlapping match repeats what it writes", Pack(7, {Lit('a'), Lit('b'), Match(4080, 5)}),
         kv::ExpandResult::Ok, Text("abababa")},
        {"longest match", Pack(19, {Lit('z'), Match(4080, 18)}), kv::ExpandResult::Ok,
         Text(std::string(19, 'z'))},
        {"match wrapping round the window's end", Pack(22, eighteen), kv::ExpandResult::Ok,
         Text("ABCDEFGHIJKLMNOPQROPQR")},
        {"match at the write position reads a whole window back", Pack(4099, windowThenMatch),
         kv::ExpandResult::Ok, patternThenStart},
        {"flag byte with nothing after it", Concat(Pack(8, eightLiterals), {0x00}),
         kv::ExpandResult::Ok, Text("abcdefgh")},
        // What mscompress emits for an empty file: a stray literal the header does not count.
        {"data beyond an empty file", Pack(0, {Lit(0)}), kv::ExpandResult::Corrupt, {}},
        {"match cut off inside a group",
         Concat(Pack(1, {Lit('a')}), {0x00}),
         kv::ExpandResult::Corrupt,
         {}},
        {"match cut off in a new group",
         Concat(Pack(8, eightLiterals), {0x00, 0xF0}),
         kv::ExpandResult::Corrupt,
         {}},
        {"literal missing", Concat(Header(2), {0x03, 'a'}), kv::ExpandResult::Corrupt, Text("a")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Expansion e = Expand(c.packed);
        EXPECT_EQ(e.result, c.result);
        if (c.result == kv::ExpandResult::Ok)
            EXPECT_TRUE(e.output == c.output);
        else // a rejected file may have been written in part, but never past the header's length
            EXPECT_LE(e.output.size(), DeclaredLength(c.packed));
    }
}

TEST_F(SzddFiles, RejectsTruncatedFiles)
{
    ASSERT_TRUE(Pack({"size_131073"}));
    const Sample& sample = Get("size_131073");
    const Bytes& packed = sample.packed;
    const std::size_t size = packed.size();
    const struct {
        std::size_t keep;
        kv::ExpandResult result;
    } cases[] = {
        {0, kv::ExpandResult::BadHeader},      {7, kv::ExpandResult::BadHeader},
        {8, kv::ExpandResult::BadHeader},      {13, kv::ExpandResult::BadHeader},
        {14, kv::ExpandResult::Corrupt},       {15, kv::ExpandResult::Corrupt},
        {size / 3, kv::ExpandResult::Corrupt}, {size / 2 + 1, kv::ExpandResult::Corrupt},
        {size - 2, kv::ExpandResult::Corrupt}, {size - 1, kv::ExpandResult::Corrupt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("first " + std::to_string(c.keep) + " bytes");
        const Expansion e = Expand(Bytes(packed.begin(), packed.begin() + c.keep));
        EXPECT_EQ(e.result, c.result);
        EXPECT_LE(e.output.size(), sample.plain.size());
    }
}

TEST_F(SzddFiles, RejectsDamagedHeaders)
{
    ASSERT_TRUE(Pack({"size_131073"}));
    const Sample& sample = Get("size_131073");
    const std::uint32_t length = DeclaredLength(sample.packed);
    const struct {
        const char* name;
        std::size_t offset; // of the byte to change, or of the length when `length` is set
        std::uint8_t value;
        bool setLength;
        std::uint32_t declared;
        kv::ExpandResult result;
    } cases[] = {
        {"mode B", 8, 'B', false, 0, kv::ExpandResult::BadHeader},
        {"mode 0", 8, 0, false, 0, kv::ExpandResult::BadHeader},
        {"first signature byte", 0, 'X', false, 0, kv::ExpandResult::BadHeader},
        {"last signature byte", 7, 0x34, false, 0, kv::ExpandResult::BadHeader},
        {"length one short", 0, 0, true, length - 1, kv::ExpandResult::Corrupt},
        {"length a buffer short", 0, 0, true, length - 65536, kv::ExpandResult::Corrupt},
        {"length one long", 0, 0, true, length + 1, kv::ExpandResult::Corrupt},
        {"length zero", 0, 0, true, 0, kv::ExpandResult::Corrupt},
        {"length 4 GiB", 0, 0, true, 0xFFFFFFFF, kv::ExpandResult::Corrupt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes packed = sample.packed;
        if (c.setLength)
            SetDeclaredLength(packed, c.declared);
        else
            packed[c.offset] = c.value;
        const Expansion e = Expand(packed);
        EXPECT_EQ(e.result, c.result);
        if (c.result == kv::ExpandResult::BadHeader)
            EXPECT_TRUE(e.output.empty());
        else
            EXPECT_LE(e.output.size(), c.declared);
    }
}

TEST_F(SzddFiles, IgnoresTheMissingNameCharacter)
{
    ASSERT_TRUE(Pack({"size_4097"}));
    Bytes packed = Get("size_4097").packed;
    packed[9] = 'L';
    const Expansion e = Expand(packed);
    EXPECT_EQ(e.result, kv::ExpandResult::Ok);
    EXPECT_TRUE(e.output == Get("size_4097").plain);
}

TEST_F(SzddFiles, ReportsStreamFailures)
{
    ASSERT_TRUE(Pack({"size_131073"}));
    const Bytes& packed = Get("size_131073").packed;
    const std::size_t plainSize = Get("size_131073").plain.size();
    for (std::size_t failAt :
         {std::size_t{0}, std::size_t{10}, std::size_t{14}, packed.size() / 2, packed.size() - 1}) {
        SCOPED_TRACE("read fails at " + std::to_string(failAt));
        MemoryReader in(packed, 4096, failAt);
        MemoryWriter out;
        EXPECT_EQ(kv::ExpandSzdd(in, out), kv::ExpandResult::ReadError);
    }
    for (std::size_t limit : {std::size_t{0}, plainSize / 2, plainSize - 1}) {
        SCOPED_TRACE("write fails past " + std::to_string(limit));
        MemoryReader in(packed);
        MemoryWriter out(limit);
        EXPECT_EQ(kv::ExpandSzdd(in, out), kv::ExpandResult::WriteError);
    }
}

TEST(Szdd, RecognisesTheSignature)
{
    const Bytes header = Header(1234);
    Bytes wrongLast = header;
    wrongLast[7] ^= 1;
    const struct {
        const char* name;
        const std::uint8_t* bytes;
        std::size_t count;
        bool expected;
    } cases[] = {
        {"whole header", header.data(), header.size(), true},
        {"signature alone", header.data(), kv::kSzddSignatureSize, true},
        {"one byte short", header.data(), kv::kSzddSignatureSize - 1, false},
        {"nothing", nullptr, 0, false},
        {"last byte differs", wrongLast.data(), wrongLast.size(), false},
        {"MZ executable", reinterpret_cast<const std::uint8_t*>("MZ\x90\0\3\0\0\0\4\0"), 10, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(kv::HasSzddSignature(c.bytes, c.count), c.expected);
    }
}

} // namespace
