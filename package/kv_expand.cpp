// kv-expand PACKED OUT: expands one SZDD-packed file of an update package with the updater's own
// expander. scripts/package runs it on every file it packs, so that a package only ships files
// that KVUp511f.exe is known to expand back to the originals.
#include <cstdio>
#include <filesystem>
#include <memory>

#include "update/szdd.h"

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

class FileReader final : public kv::ReadStream {
public:
    explicit FileReader(std::FILE* file) : file_(file) {}
    bool Read(void* buffer, std::size_t capacity, std::size_t* got) override
    {
        *got = std::fread(buffer, 1, capacity, file_);
        return std::ferror(file_) == 0;
    }

private:
    std::FILE* file_;
};

class FileWriter final : public kv::WriteStream {
public:
    explicit FileWriter(File file) : file_(std::move(file)) {}
    bool Write(const void* data, std::size_t size) override
    {
        return std::fwrite(data, 1, size, file_.get()) == size;
    }
    bool Close() override { return std::fclose(file_.release()) == 0; }

private:
    File file_;
};

const char* Describe(kv::ExpandResult result)
{
    switch (result) {
    case kv::ExpandResult::Ok:
        return "expanded";
    case kv::ExpandResult::ReadError:
        return "cannot be read";
    case kv::ExpandResult::WriteError:
        return "cannot be written out";
    case kv::ExpandResult::BadHeader:
        return "is not an SZDD file";
    case kv::ExpandResult::Corrupt:
        return "is truncated or corrupt";
    }
    return "fails";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: kv-expand PACKED OUT\n");
        return 2;
    }
    File in(std::fopen(argv[1], "rb"), std::fclose);
    if (!in) {
        std::perror(argv[1]);
        return 1;
    }
    File out(std::fopen(argv[2], "wb"), std::fclose);
    if (!out) {
        std::perror(argv[2]);
        return 1;
    }
    FileReader reader(in.get());
    FileWriter writer(std::move(out));
    const kv::ExpandResult result = kv::ExpandSzdd(reader, writer);
    const bool closed = writer.Close();
    if (result == kv::ExpandResult::Ok && closed)
        return 0;
    // A half-expanded file must not be mistaken for a good one (OUT may also be a device).
    std::error_code ignored;
    if (std::filesystem::is_regular_file(argv[2], ignored))
        std::remove(argv[2]);
    std::fprintf(stderr, "kv-expand: %s %s\n", argv[1],
                 closed ? Describe(result) : "cannot be written out");
    return 1;
}
