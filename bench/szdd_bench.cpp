// How fast, and in how little memory, the updater expands its SZDD packages, measured against
// libmspack's SZDD decompressor (and Debian's msexpand) on the same realistic data: binaries
// and libraries from /usr, packed with mscompress.
//
// Usage: szdd_bench [data folder]        (default: ./szdd-data; packed files are cached there)
//        szdd_bench --expand-only [file] (internal: expands `file`, or nothing, and prints the
//                                         process's peak resident memory in KiB)
#include <mspack.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "update/szdd.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t kMiB = 1024 * 1024;
constexpr int kRuns = 5;
constexpr double kSpeedBar = 6.0;
constexpr long kMemoryBarKiB = 2048;

class FileReader : public kv::ReadStream {
public:
    explicit FileReader(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {}
    ~FileReader() override
    {
        if (file_)
            std::fclose(file_);
    }
    bool ok() const { return file_ != nullptr; }
    bool Read(void* buffer, std::size_t capacity, std::size_t* got) override
    {
        *got = std::fread(buffer, 1, capacity, file_);
        return std::ferror(file_) == 0;
    }

private:
    std::FILE* file_;
};

class FileWriter : public kv::WriteStream {
public:
    explicit FileWriter(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {}
    ~FileWriter() override { Close(); }
    bool ok() const { return file_ != nullptr; }
    bool Write(const void* data, std::size_t size) override
    {
        return std::fwrite(data, 1, size, file_) == size;
    }
    bool Close() override
    {
        const bool closed = file_ == nullptr || std::fclose(file_) == 0;
        file_ = nullptr;
        return closed;
    }

private:
    std::FILE* file_;
};

// Compares what is written with a reference file, chunk by chunk.
class CheckingWriter : public kv::WriteStream {
public:
    explicit CheckingWriter(const std::string& reference) : reference_(reference) {}
    bool Write(const void* data, std::size_t size) override
    {
        buffer_.resize(size);
        std::size_t have = 0;
        while (have < size) {
            std::size_t got = 0;
            if (!reference_.Read(buffer_.data() + have, size - have, &got) || got == 0)
                return false;
            have += got;
        }
        return std::memcmp(buffer_.data(), data, size) == 0;
    }
    bool Close() override
    {
        std::uint8_t extra = 0;
        std::size_t got = 0;
        return reference_.Read(&extra, 1, &got) && got == 0;
    }

private:
    FileReader reference_;
    std::vector<std::uint8_t> buffer_;
};

bool ExpandWithOurs(const std::string& packed, kv::WriteStream& out)
{
    FileReader in(packed);
    return in.ok() && kv::ExpandSzdd(in, out) == kv::ExpandResult::Ok && out.Close();
}

bool ExpandToNullWithOurs(const std::string& packed)
{
    FileWriter out("/dev/null");
    return out.ok() && ExpandWithOurs(packed, out);
}

bool ExpandToNullWithLibmspack(const std::string& packed)
{
    msszdd_decompressor* const expander = mspack_create_szdd_decompressor(nullptr);
    if (!expander)
        return false;
    msszddd_header* const header = expander->open(expander, packed.c_str());
    const bool ok = header && expander->extract(expander, header, "/dev/null") == MSPACK_ERR_OK;
    if (header)
        expander->close(expander, header);
    mspack_destroy_szdd_decompressor(expander);
    return ok;
}

// Best wall-clock time of several runs, or a negative figure when a run fails.
double BestSeconds(const std::function<bool()>& run, int runs = kRuns)
{
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!run())
            return -1;
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

// Concatenates regular files from /usr/bin and /usr/lib, in a fixed order, up to `size` bytes.
bool WriteRealisticData(const std::string& path, std::uintmax_t size)
{
    std::vector<fs::path> sources;
    for (const char* root : {"/usr/bin", "/usr/lib"}) {
        std::error_code error;
        for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
             it.increment(error)) {
            if (it->is_regular_file(error) && !it->is_symlink(error) &&
                it->file_size(error) >= 4096)
                sources.push_back(it->path());
        }
    }
    std::sort(sources.begin(), sources.end());
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out)
        return false;
    std::vector<char> buffer(1 << 20);
    std::uintmax_t have = 0;
    for (const fs::path& source : sources) {
        std::FILE* in = std::fopen(source.c_str(), "rb");
        if (!in)
            continue;
        std::size_t got;
        while (have < size && (got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uintmax_t>(got, size - have));
            std::fwrite(buffer.data(), 1, take, out);
            have += take;
        }
        std::fclose(in);
        if (have == size)
            break;
    }
    return std::fclose(out) == 0 && have == size;
}

// The first `size` bytes of `source`, in `path`.
bool WritePrefix(const std::string& source, const std::string& path, std::uintmax_t size)
{
    std::error_code error;
    fs::copy_file(source, path, fs::copy_options::overwrite_existing, error);
    if (error)
        return false;
    fs::resize_file(path, size, error);
    return !error;
}

// Packs `plain` with mscompress (slow: about 1.5 s per MiB) unless a packed copy is cached.
std::string PackWithMscompress(const std::string& plain)
{
    const std::string packed = plain + "_";
    if (fs::exists(packed) && fs::last_write_time(packed) >= fs::last_write_time(plain))
        return packed;
    std::printf("  packing %s with mscompress...\n", plain.c_str());
    std::fflush(stdout);
    const std::string command = "mscompress '" + plain + "' >/dev/null";
    return std::system(command.c_str()) == 0 && fs::exists(packed) ? packed : std::string();
}

// mscompress would take minutes over a quarter of a gigabyte; the memory figure does not depend
// on the content, so this file repeats the realistic data as literals only.
bool PackAsLiterals(const std::string& plain, int repeats, const std::string& packed)
{
    const std::uintmax_t plainSize = fs::file_size(plain);
    const std::uint64_t length = plainSize * repeats;
    if (length > 0xFFFFFFFFu)
        return false;
    std::FILE* out = std::fopen(packed.c_str(), "wb");
    if (!out)
        return false;
    std::uint8_t header[kv::kSzddHeaderSize];
    std::memcpy(header, kv::kSzddSignature, kv::kSzddSignatureSize);
    header[8] = 'A';
    header[9] = 0;
    for (int i = 0; i < 4; ++i)
        header[10 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    std::fwrite(header, 1, sizeof header, out);
    std::vector<std::uint8_t> chunk(1 << 20); // a multiple of 8: whole literal groups
    std::vector<std::uint8_t> groups(chunk.size() / 8 * 9 + 9);
    for (int r = 0; r < repeats; ++r) {
        FileReader in(plain);
        std::size_t got;
        while (in.Read(chunk.data(), chunk.size(), &got) && got > 0) {
            std::size_t n = 0;
            for (std::size_t i = 0; i < got; i += 8) {
                groups[n++] = 0xFF;
                const std::size_t take = std::min<std::size_t>(8, got - i);
                std::memcpy(&groups[n], &chunk[i], take);
                n += take;
            }
            std::fwrite(groups.data(), 1, n, out);
        }
    }
    return std::fclose(out) == 0;
}

// Peak resident memory, in KiB, of this program expanding `packed` (or nothing, when empty) in
// a fresh process.
long ChildPeakKiB(const std::string& packed)
{
    // popen runs a shell, for which /proc/self/exe would name the shell: resolve it here.
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    std::FILE* child = popen(("'" + self + "' --expand-only " + packed).c_str(), "r");
    if (!child)
        return -1;
    long kib = -1;
    if (std::fscanf(child, "%ld", &kib) != 1)
        kib = -1;
    return pclose(child) == 0 ? kib : -1;
}

long OwnPeakKiB()
{
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1)
            break;
    std::fclose(status);
    return kib;
}

double MiBPerSecond(std::uintmax_t bytes, double seconds)
{
    return static_cast<double>(bytes) / kMiB / seconds;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--expand-only") == 0) {
        if (argc >= 3 && !ExpandToNullWithOurs(argv[2]))
            return 1;
        std::printf("%ld\n", OwnPeakKiB());
        return 0;
    }

    const fs::path folder = argc >= 2 ? argv[1] : "szdd-data";
    fs::create_directories(folder);
    const std::string real64 = (folder / "real64.bin").string();
    const std::string real8 = (folder / "real8.bin").string();
    const std::string real1 = (folder / "real1.bin").string();
    const std::string literals256 = (folder / "literals256.szdd").string();
    if (!fs::exists(real64) || fs::file_size(real64) != 64 * kMiB) {
        std::printf("  gathering 64 MiB from /usr/bin and /usr/lib...\n");
        if (!WriteRealisticData(real64, 64 * kMiB)) {
            std::fprintf(stderr, "could not gather the data\n");
            return 1;
        }
    }
    for (const auto& [path, size] : {std::pair{real8, 8 * kMiB}, std::pair{real1, 1 * kMiB}})
        if ((!fs::exists(path) || fs::file_size(path) != size) && !WritePrefix(real64, path, size))
            return 1;
    const std::string packed64 = PackWithMscompress(real64);
    const std::string packed8 = PackWithMscompress(real8);
    const std::string packed1 = PackWithMscompress(real1);
    if (packed64.empty() || packed8.empty() || packed1.empty()) {
        std::fprintf(stderr, "mscompress failed\n");
        return 1;
    }
    if (!fs::exists(literals256) && !PackAsLiterals(real64, 4, literals256))
        return 1;

    CheckingWriter check(real64);
    if (!ExpandWithOurs(packed64, check)) {
        std::fprintf(stderr, "our expander's output differs from the original\n");
        return 1;
    }

    const double ours = BestSeconds([&] { return ExpandToNullWithOurs(packed64); });
    const double theirs = BestSeconds([&] { return ExpandToNullWithLibmspack(packed64); });
    const std::string msexpand = "msexpand < '" + packed8 + "' > /dev/null";
    const double debian = BestSeconds([&] { return std::system(msexpand.c_str()) == 0; }, 3);
    const double ours8 = BestSeconds([&] { return ExpandToNullWithOurs(packed8); });
    if (ours < 0 || theirs < 0 || debian < 0 || ours8 < 0) {
        std::fprintf(stderr, "an expansion failed\n");
        return 1;
    }
    const double ratio = theirs / ours;

    std::printf("SZDD expansion, best of %d, output to /dev/null\n", kRuns);
    std::printf("  64 MiB (%ju bytes packed):\n", fs::file_size(packed64));
    std::printf("    ours       %.3f s  %7.1f MiB/s\n", ours, MiBPerSecond(64 * kMiB, ours));
    std::printf("    libmspack  %.3f s  %7.1f MiB/s\n", theirs, MiBPerSecond(64 * kMiB, theirs));
    std::printf("    ratio      %.1fx  (bar %.0fx: %s)\n", ratio, kSpeedBar,
                ratio >= kSpeedBar ? "met" : "MISSED");
    std::printf("  8 MiB:\n");
    std::printf("    ours       %.3f s\n", ours8);
    std::printf("    msexpand   %.3f s  (process included)\n", debian);

    const long baseline = ChildPeakKiB("");
    const long peak1 = ChildPeakKiB(packed1);
    const long peak256 = ChildPeakKiB(literals256);
    if (baseline < 0 || peak1 < 0 || peak256 < 0) {
        std::fprintf(stderr, "the memory measurement failed\n");
        return 1;
    }
    const long worst = std::max(peak1, peak256) - baseline;
    std::printf("Peak resident memory of a process expanding (VmHWM)\n");
    std::printf("  nothing (baseline)   %6ld KiB\n", baseline);
    std::printf("  1 MiB                %6ld KiB  (+%ld KiB)\n", peak1, peak1 - baseline);
    std::printf("  256 MiB (literals)   %6ld KiB  (+%ld KiB)\n", peak256, peak256 - baseline);
    std::printf("  expander's own use   %6ld KiB at most (bar %ld KiB: %s)\n", worst, kMemoryBarKiB,
                worst < kMemoryBarKiB ? "met" : "MISSED");
    return ratio >= kSpeedBar && worst < kMemoryBarKiB ? 0 : 1;
}
