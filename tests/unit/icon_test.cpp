// Checks the committed icon file: its directory, each image's DIB layout, and that it is
// exactly what the generator in app/icon draws today.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/icon/icon_image.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes CommittedIcon()
{
    return ReadFile(std::string(KV_SOURCE_DIR) + "/app/KVUp511f.ico");
}

unsigned U16(const Bytes& b, std::size_t at)
{
    return b.at(at) | (b.at(at + 1) << 8);
}

std::uint32_t U32(const Bytes& b, std::size_t at)
{
    return static_cast<std::uint32_t>(b.at(at)) | (static_cast<std::uint32_t>(b.at(at + 1)) << 8) |
           (static_cast<std::uint32_t>(b.at(at + 2)) << 16) |
           (static_cast<std::uint32_t>(b.at(at + 3)) << 24);
}

std::int32_t S32(const Bytes& b, std::size_t at)
{
    return static_cast<std::int32_t>(U32(b, at));
}

struct Expected {
    unsigned size, bpp;
};

const Expected kExpected[9] = {{48, 8}, {48, 4}, {48, 1}, {32, 8}, {32, 4},
                               {32, 1}, {16, 8}, {16, 4}, {16, 1}};

constexpr std::size_t kDirHeader = 6;
constexpr std::size_t kDirEntry = 16;

std::size_t Stride(unsigned width, unsigned bpp)
{
    return ((width * bpp + 31) / 32) * 4;
}

struct Image {
    std::size_t offset, bytes;
    unsigned size, bpp;
};

// Parses the directory of an .ico, failing the test on anything malformed.
std::vector<Image> Directory(const Bytes& ico)
{
    std::vector<Image> images;
    EXPECT_GE(ico.size(), kDirHeader);
    if (ico.size() < kDirHeader)
        return images;
    const unsigned count = U16(ico, 4);
    EXPECT_GE(ico.size(), kDirHeader + kDirEntry * count);
    if (ico.size() < kDirHeader + kDirEntry * count)
        return images;
    for (unsigned i = 0; i < count; ++i) {
        const std::size_t e = kDirHeader + kDirEntry * i;
        images.push_back({U32(ico, e + 12), U32(ico, e + 8), ico[e], U16(ico, e + 6)});
    }
    return images;
}

TEST(IconFile, HeaderSaysIconWithNineImages)
{
    const Bytes ico = CommittedIcon();
    ASSERT_GE(ico.size(), kDirHeader) << "missing or empty app/KVUp511f.ico";
    EXPECT_EQ(U16(ico, 0), 0u); // reserved
    EXPECT_EQ(U16(ico, 2), 1u); // 1 = icon, 2 = cursor
    EXPECT_EQ(U16(ico, 4), 9u);
}

TEST(IconFile, DirectoryEntriesDescribeEachSizeAndDepth)
{
    const Bytes ico = CommittedIcon();
    ASSERT_GE(ico.size(), kDirHeader + 9 * kDirEntry);
    for (unsigned i = 0; i < 9; ++i) {
        SCOPED_TRACE("image " + std::to_string(i));
        const std::size_t e = kDirHeader + kDirEntry * i;
        const Expected want = kExpected[i];
        EXPECT_EQ(ico[e + 0], want.size);                             // bWidth
        EXPECT_EQ(ico[e + 1], want.size);                             // bHeight
        EXPECT_EQ(ico[e + 2], want.bpp == 8 ? 0u : (1u << want.bpp)); // bColorCount
        EXPECT_EQ(ico[e + 3], 0u);                                    // bReserved
        EXPECT_EQ(U16(ico, e + 4), 1u);                               // wPlanes
        EXPECT_EQ(U16(ico, e + 6), want.bpp);
    }
}

TEST(IconFile, ImagesAreContiguousAndFillTheFile)
{
    const Bytes ico = CommittedIcon();
    const std::vector<Image> images = Directory(ico);
    ASSERT_EQ(images.size(), 9u);
    std::size_t next = kDirHeader + kDirEntry * images.size();
    for (std::size_t i = 0; i < images.size(); ++i) {
        SCOPED_TRACE("image " + std::to_string(i));
        EXPECT_EQ(images[i].offset, next);
        ASSERT_LE(images[i].offset + images[i].bytes, ico.size());
        next = images[i].offset + images[i].bytes;
    }
    EXPECT_EQ(next, ico.size());
}

TEST(IconFile, EachImageIsAClassicDibWithMask)
{
    const Bytes ico = CommittedIcon();
    const std::vector<Image> images = Directory(ico);
    ASSERT_EQ(images.size(), 9u);
    for (std::size_t i = 0; i < images.size(); ++i) {
        SCOPED_TRACE("image " + std::to_string(i));
        const Image& im = images[i];
        ASSERT_LE(im.offset + 40, ico.size());
        const std::size_t h = im.offset;
        const unsigned size = kExpected[i].size;
        const unsigned bpp = kExpected[i].bpp;
        EXPECT_EQ(U32(ico, h + 0), 40u); // BITMAPINFOHEADER, not PNG
        EXPECT_EQ(S32(ico, h + 4), static_cast<std::int32_t>(size));
        EXPECT_EQ(S32(ico, h + 8), static_cast<std::int32_t>(2 * size)); // XOR + AND
        EXPECT_EQ(U16(ico, h + 12), 1u);
        EXPECT_EQ(U16(ico, h + 14), bpp);
        EXPECT_EQ(U32(ico, h + 16), 0u); // BI_RGB
        const std::size_t pixels = (Stride(size, bpp) + Stride(size, 1)) * size;
        const std::uint32_t size_image = U32(ico, h + 20);
        EXPECT_TRUE(size_image == 0 || size_image == pixels) << size_image;
        const std::uint32_t used = U32(ico, h + 32);
        const std::size_t colours = used != 0 ? used : (std::size_t{1} << bpp);
        EXPECT_EQ(colours, std::size_t{1} << bpp);
        EXPECT_EQ(im.bytes, 40 + 4 * colours + pixels);
    }
}

TEST(IconFile, MatchesTheGenerator)
{
    const Bytes committed = CommittedIcon();
    const Bytes generated = kv::MakeKorvaneUpdateIcon();
    ASSERT_EQ(committed.size(), generated.size()) << "run app/icon/regenerate";
    for (std::size_t i = 0; i < committed.size(); ++i) {
        ASSERT_EQ(committed[i], generated[i])
            << "first difference at byte " << i << "; run app/icon/regenerate";
    }
}

TEST(IconGenerator, IsDeterministic)
{
    EXPECT_EQ(kv::MakeKorvaneUpdateIcon(), kv::MakeKorvaneUpdateIcon());
}

} // namespace
