// Feeds arbitrary files to the SZDD expander and to libmspack's SZDD decompressor, a decoder of
// the format written by others. Besides the sanitizers' checks it aborts when the two disagree:
// - what libmspack refuses (no signature, a short header, another mode) ours refuses too;
// - whatever ours writes is the start of libmspack's output, and never past the header's length;
// - ours accepts exactly when libmspack's output is as long as the header says, and then the
//   bytes are equal.
// The asymmetries accepted, where ours is the stricter one:
// - libmspack ignores the header's length and writes what the data gives; ours refuses a file
//   whose data expands to any other length (a cut or damaged package);
// - libmspack takes a match cut off by the end of the file as the end of the data; ours refuses
//   it, even when the output already has the header's length;
// - libmspack also reads the QBasic variant ("SZ \x88\xF0\x27\x33\xD1"); packages never use it.
#include <mspack.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "tests/szdd/memory_streams.h"
#include "update/szdd.h"

using kv::test::Bytes;

namespace {

// libmspack's files live in memory: the "file name" it is handed is the address of one of these.
struct MsFile {
    const std::uint8_t* data = nullptr; // the file read; null for the one written
    std::size_t size = 0, pos = 0;
    Bytes written;
};

MsFile& File(mspack_file* file)
{
    return *reinterpret_cast<MsFile*>(file);
}

void Quiet(mspack_file*, const char*, ...)
{
}

mspack_system memorySystem = {
    [](mspack_system*, const char* name, int) {
        return reinterpret_cast<mspack_file*>(const_cast<char*>(name));
    },
    [](mspack_file*) {},
    [](mspack_file* file, void* buffer, int bytes) {
        MsFile& f = File(file);
        const std::size_t count = std::min<std::size_t>(bytes, f.size - f.pos);
        std::memcpy(buffer, f.data + f.pos, count);
        f.pos += count;
        return static_cast<int>(count);
    },
    [](mspack_file* file, void* buffer, int bytes) {
        const auto* begin = static_cast<const std::uint8_t*>(buffer);
        File(file).written.insert(File(file).written.end(), begin, begin + bytes);
        return bytes;
    },
    // The SZDD decompressor only seeks from the start, to the data after the header.
    [](mspack_file* file, off_t offset, int mode) {
        if (mode != MSPACK_SYS_SEEK_START || offset < 0 ||
            static_cast<std::size_t>(offset) > File(file).size)
            return 1;
        File(file).pos = static_cast<std::size_t>(offset);
        return 0;
    },
    [](mspack_file* file) { return static_cast<off_t>(File(file).pos); }, Quiet,
    [](mspack_system*, std::size_t bytes) { return std::malloc(bytes); },
    [](void* p) { std::free(p); },
    [](void* src, void* dest, std::size_t bytes) { std::memmove(dest, src, bytes); }, nullptr};

// libmspack's output for the file, or nothing when it refuses it.
std::optional<Bytes> LibmspackExpand(const std::uint8_t* data, std::size_t size)
{
    static msszdd_decompressor* const expander = mspack_create_szdd_decompressor(&memorySystem);
    if (!expander)
        std::abort();
    MsFile in, out;
    in.data = data;
    in.size = size;
    msszddd_header* const header = expander->open(expander, reinterpret_cast<const char*>(&in));
    if (!header)
        return std::nullopt;
    const int error = expander->extract(expander, header, reinterpret_cast<const char*>(&out));
    expander->close(expander, header);
    if (error != MSPACK_ERR_OK)
        return std::nullopt;
    return std::move(out.written);
}

// True when the file's last byte starts a match whose second byte is missing: one more byte
// then completes a match of at least three bytes, where after a whole item it would be a flag
// byte (nothing), a literal (one byte) or again half a match (nothing).
bool EndsInHalfAMatch(const std::uint8_t* data, std::size_t size, std::size_t expanded)
{
    Bytes longer(data, data + size);
    longer.push_back(0);
    const std::optional<Bytes> more = LibmspackExpand(longer.data(), longer.size());
    return more && more->size() >= expanded + 3;
}

bool IsQBasicVariant(const std::uint8_t* data, std::size_t size)
{
    static const std::uint8_t signature[] = {'S', 'Z', ' ', 0x88, 0xF0, 0x27, 0x33, 0xD1};
    return size >= sizeof signature && std::memcmp(data, signature, sizeof signature) == 0;
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
    // Vary how the input arrives, so that reads end at every kind of place.
    kv::test::MemoryReader in(data, size, size % 3 == 0 ? size : 1 + size % 37);
    kv::test::MemoryWriter out;
    const kv::ExpandResult result = kv::ExpandSzdd(in, out);

    const std::optional<Bytes> reference = LibmspackExpand(data, size);
    if (!reference || result == kv::ExpandResult::BadHeader) {
        if (result != kv::ExpandResult::BadHeader || (reference && !IsQBasicVariant(data, size)))
            std::abort();
        return 0;
    }

    std::uint32_t declared = 0;
    std::memcpy(&declared, data + 10, 4); // little-endian, as the host
    const bool whole =
        reference->size() == declared && !EndsInHalfAMatch(data, size, reference->size());
    const auto wanted = whole ? kv::ExpandResult::Ok : kv::ExpandResult::Corrupt;
    if (result != wanted || out.bytes.size() > declared || out.bytes.size() > reference->size() ||
        !std::equal(out.bytes.begin(), out.bytes.end(), reference->begin()) ||
        (result == kv::ExpandResult::Ok && out.bytes.size() != reference->size()))
        std::abort();
    return 0;
}

#ifdef KV_SZDD_REPLAY
// Without libFuzzer, in the unit tests' build: every file in the folder given (the seeds the
// fuzzer starts from) goes through the same comparison once, so that each unit run checks them.
int main(int, char** argv)
{
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
        std::ifstream file(entry.path(), std::ios::binary);
        const Bytes data(std::istreambuf_iterator<char>(file), {});
        std::fprintf(stderr, "%s\n", entry.path().filename().c_str()); // the last one named failed
        LLVMFuzzerTestOneInput(data.data(), data.size());
        ++files;
    }
    return files == 0; // no seeds found is no pass
}
#endif
