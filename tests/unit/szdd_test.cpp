// The SZDD expander where a read or a write fails, which replaying the fuzz target's seeds
// against libmspack (szdd_replay, tests/fuzz/corpus.md) cannot show: the decoding itself, read
// in pieces of many sizes, damaged and cut files are judged there.
#include "update/szdd.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/szdd/memory_streams.h"

namespace kv::test {
namespace {

TEST(Szdd, ReportsFailingReadsAndWrites)
{
    // "0123456789abcdef" as two groups of eight literals (corpus/sixteen.szdd), read five bytes
    // at a time: the header's read ends at byte 20, the data's next read starts there.
    const std::string file("SZDD\x88\xF0\x27\x33"
                           "A\0\x10\0\0\0\xFF"
                           "01234567\xFF"
                           "89abcdef",
                           32);
    const struct {
        std::size_t failAt, writeLimit;
        ExpandResult result;
    } cases[] = {
        {kNoLimit, kNoLimit, ExpandResult::Ok}, // the file itself is fine
        {10, kNoLimit, ExpandResult::ReadError},
        {20, kNoLimit, ExpandResult::ReadError},
        {kNoLimit, 15, ExpandResult::WriteError},
    };
    for (const auto& c : cases) {
        MemoryReader in(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), 5,
                        c.failAt);
        MemoryWriter out(c.writeLimit);
        EXPECT_EQ(ExpandSzdd(in, out), c.result) << "reads fail at " << c.failAt;
        if (c.result == ExpandResult::Ok) {
            EXPECT_EQ(std::string(out.bytes.begin(), out.bytes.end()), "0123456789abcdef");
        }
    }
}

} // namespace
} // namespace kv::test
