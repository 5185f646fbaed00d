// Fragmented JPEGs: a deep scan of an image holding JPEGs split into two (or --pieces)
// cluster-aligned pieces (random bytes, zeros or another JPEG between them; 4 KiB and 32 KiB
// clusters), beside plain reads and the deep scan of an image holding the same JPEGs whole.
//
//   ReassemblyBench [--size MiB] [--files N] [--pieces N] [--dir FOLDER] [--jpegs FOLDER]
//
// Without --jpegs, cjpeg encodes a few generated pictures. Counts how many split files come
// back byte-exact, how many are labelled partial and how many are labelled whole with wrong
// bytes (which must be none).

#include "core/carve/Carver.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace vellary;

namespace {

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr std::uint64_t kChunk = 8 * MiB;

struct Options {
    std::uint64_t size = 1024 * MiB;
    int files = 100;
    int pieces = 2;
    fs::path dir = fs::temp_directory_path();
    fs::path jpegs;
};

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "ReassemblyBench: %s\n", message.c_str());
    std::exit(1);
}

struct XorShift {
    std::uint64_t state;
    std::uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

using Bytes8 = std::vector<std::uint8_t>;

Bytes8 readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes8(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<Bytes8> loadJPEGs(const Options& o, const fs::path& work) {
    std::vector<Bytes8> files;
    if (!o.jpegs.empty()) {
        for (const auto& entry : fs::directory_iterator(o.jpegs))
            if (entry.path().extension() == ".jpg") files.push_back(readAll(entry.path()));
    } else {
        // Camera-like pictures: restart markers in two, 4:2:0 and 4:4:4, 1-3 MB.
        const char* flags[] = {"-quality 95 -restart 1", "-quality 92", "-quality 95 -sample 1x1",
                               "-quality 90 -restart 4"};
        for (int i = 0; i < 4; ++i) {
            const auto ppm = work / ("p" + std::to_string(i) + ".ppm");
            const auto jpg = work / ("p" + std::to_string(i) + ".jpg");
            {
                std::ofstream out(ppm, std::ios::binary);
                const int w = 2000 + 200 * i, h = 1500;
                out << "P6\n" << w << " " << h << "\n255\n";
                XorShift r{static_cast<std::uint64_t>(i) * 7919 + 1};
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        const auto n = static_cast<int>(r.next() % 32);
                        out.put(static_cast<char>((x * 255 / w + n) % 256));
                        out.put(
                            static_cast<char>((y * 255 / h + ((x / 41 + y / 37) % 5) * 40) % 256));
                        out.put(static_cast<char>(((x * y) / 97 + n * 3) % 256));
                    }
            }
            const std::string command = std::string("cjpeg ") + flags[i] + " '" + ppm.string() +
                                        "' > '" + jpg.string() + "'";
            if (std::system(command.c_str()) != 0) die("cjpeg failed; give --jpegs FOLDER");
            files.push_back(readAll(jpg));
            fs::remove(ppm);
        }
    }
    if (files.empty()) die("no JPEGs");
    return files;
}

class Image {
public:
    explicit Image(const fs::path& path)
        : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644)) {
        if (fd_ < 0) die("cannot create " + path.string());
    }
    ~Image() {
        ::fsync(fd_);
        ::close(fd_);
    }
    std::uint64_t size() const { return done_; }
    void write(const std::uint8_t* data, std::size_t count) {
        while (count > 0) {
            const auto n = ::write(fd_, data, count);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) die("write failed");
            data += n;
            count -= static_cast<std::size_t>(n);
            done_ += static_cast<std::uint64_t>(n);
        }
    }
    void write(const Bytes8& bytes, std::size_t from, std::size_t to) {
        write(bytes.data() + from, to - from);
    }
    // Random bytes, each sector starting with a zero so that nothing begins there by chance.
    void noise(std::uint64_t count, XorShift& random) {
        Bytes8 b(static_cast<std::size_t>(count));
        for (std::size_t i = 0; i < b.size(); ++i)
            b[i] = (done_ + i) % 512 == 0 ? 0 : static_cast<std::uint8_t>(random.next() >> 24);
        write(b.data(), b.size());
    }
    void zeros(std::uint64_t count) {
        const Bytes8 b(static_cast<std::size_t>(count), 0);
        write(b.data(), b.size());
    }
    void padTo(std::uint64_t cluster, XorShift& random) {
        if (done_ % cluster != 0) noise(cluster - done_ % cluster, random);
    }

private:
    int fd_;
    std::uint64_t done_ = 0;
};

struct Placed {
    std::uint64_t start;
    const Bytes8* file;
};

// The image with each file split in two around a gap, or whole when split is false. Returns
// where each of the first `count` files starts.
std::vector<Placed> writeImage(const fs::path& path, const Options& o,
                               const std::vector<Bytes8>& jpegs, bool split) {
    Image image(path);
    XorShift random{12345};
    std::vector<Placed> placed;
    for (int i = 0; i < o.files; ++i) {
        const std::uint64_t cluster = i % 2 == 0 ? 4096 : 32768;
        image.padTo(cluster, random);
        const auto& f = jpegs[static_cast<std::size_t>(i) % jpegs.size()];
        placed.push_back({image.size(), &f});
        // Cuts near each share of the file, on cluster boundaries.
        std::vector<std::uint64_t> cuts = {0};
        for (int k = 1; k < o.pieces; ++k) {
            const auto share = f.size() * static_cast<std::uint64_t>(k) / o.pieces;
            const auto fraction = 70 + random.next() % 60; // of the share, in percent
            const auto cut =
                std::max(share * fraction / 100 / cluster * cluster, cuts.back() + cluster);
            if (cut < f.size()) cuts.push_back(cut);
        }
        cuts.push_back(f.size());
        for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
            image.write(f, static_cast<std::size_t>(cuts[k]),
                        static_cast<std::size_t>(cuts[k + 1]));
            if (!split || k + 2 == cuts.size()) continue;
            image.padTo(cluster, random);
            switch ((static_cast<std::size_t>(i) + k) % 3) {
            case 0:
                image.noise(cluster * (1 + random.next() % 6), random);
                break;
            case 1:
                image.zeros(cluster * (1 + random.next() % 4));
                break;
            default: {
                const auto& other = jpegs[static_cast<std::size_t>(i + 1) % jpegs.size()];
                image.write(other, 0, other.size());
                image.padTo(cluster, random);
            }
            }
        }
        image.padTo(cluster, random);
        image.noise(cluster * (random.next() % 3), random);
    }
    if (image.size() < o.size) image.noise(o.size - image.size(), random);
    return placed;
}

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double plainRead(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("cannot open " + path.string());
    std::vector<std::uint8_t> buffer(kChunk);
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t offset = 0;;) {
        const auto got = ::pread(fd, buffer.data(), kChunk, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        offset += static_cast<std::uint64_t>(got);
    }
    ::close(fd);
    return seconds(start);
}

struct Tally {
    double seconds = 0;
    int exact = 0;
    int partial = 0;
    int wrong = 0;
    int missing = 0;
};

Tally deepScan(const fs::path& path, const std::vector<Placed>& placed) {
    const FileBlockReader reader(path);
    std::vector<RecoverableFile> found;
    const auto start = std::chrono::steady_clock::now();
    Carver::carve(reader, RangeCover{}, ScanOptions{}, 0, found);
    Tally t;
    t.seconds = seconds(start);
    std::map<std::string, const RecoverableFile*> byId;
    for (const auto& f : found)
        byId[f.id] = &f;
    for (const auto& p : placed) {
        const auto it = byId.find("carve-" + std::to_string(p.start));
        if (it == byId.end()) {
            ++t.missing;
            continue;
        }
        const auto& f = *it->second;
        if (!f.complete) {
            ++t.partial;
            continue;
        }
        Bytes8 bytes;
        for (const auto& r : f.ranges) {
            const auto piece = reader.read(r.offset, static_cast<std::int64_t>(r.length));
            bytes.insert(bytes.end(), piece.begin(), piece.end());
        }
        ++(bytes == *p.file ? t.exact : t.wrong);
        if (bytes != *p.file) {
            const auto index = static_cast<std::size_t>(&p - placed.data());
            std::printf("wrong bytes, file %zu (gap kind %zu):", index, index % 3);
            for (const auto& r : f.ranges)
                std::printf(" [%llu +%llu]", static_cast<unsigned long long>(r.offset - p.start),
                            static_cast<unsigned long long>(r.length));
            std::printf(" of %zu\n", p.file->size());
            if (std::getenv("REASSEMBLY_BENCH_KEEP"))
                std::ofstream("wrong-" + std::to_string(index) + ".jpg", std::ios::binary)
                    .write(reinterpret_cast<const char*>(p.file->data()),
                           static_cast<std::streamsize>(p.file->size()));
        }
    }
    return t;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) die("missing value after " + arg);
        const std::string value = argv[++i];
        if (arg == "--size")
            o.size = std::stoull(value) * MiB;
        else if (arg == "--files")
            o.files = std::max(1, std::stoi(value));
        else if (arg == "--pieces")
            o.pieces = std::clamp(std::stoi(value), 2, 8);
        else if (arg == "--dir")
            o.dir = value;
        else if (arg == "--jpegs")
            o.jpegs = value;
        else
            die("unknown argument " + arg);
    }
    std::string pattern = (o.dir / "vellary-reassembly-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) die("cannot create a folder in " + o.dir.string());
    const fs::path folder = pattern;
    int status = 0;
    try {
        const auto jpegs = loadJPEGs(o, folder);
        const auto split = folder / "split.img";
        const auto whole = folder / "whole.img";
        const auto placed = writeImage(split, o, jpegs, true);
        const auto placedWhole = writeImage(whole, o, jpegs, false);
        std::printf("%d JPEGs (%zu pictures, %.1f MB on average), %llu MiB images\n", o.files,
                    jpegs.size(),
                    static_cast<double>(placed.empty() ? 0 : placed[0].file->size()) / 1e6,
                    static_cast<unsigned long long>(o.size / MiB));
        plainRead(split);
        const auto read = plainRead(split);
        const auto scanWhole = deepScan(whole, placedWhole);
        const auto scanSplit = deepScan(split, placed);
        const auto mb = static_cast<double>(o.size) / 1e6;
        std::printf("plain 8 MiB reads              %7.2f s  %6.0f MB/s\n", read, mb / read);
        std::printf("deep scan, files whole         %7.2f s  %6.0f MB/s  %d of %d byte-exact\n",
                    scanWhole.seconds, mb / scanWhole.seconds, scanWhole.exact, o.files);
        std::printf("deep scan, files in %d pieces   %7.2f s  %6.0f MB/s  %d of %d put back "
                    "byte-exact, %d partial, %d missing, %d whole with wrong bytes\n",
                    o.pieces, scanSplit.seconds, mb / scanSplit.seconds, scanSplit.exact, o.files,
                    scanSplit.partial, scanSplit.missing, scanSplit.wrong);
        if (scanSplit.wrong != 0 || scanWhole.wrong != 0) status = 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ReassemblyBench: %s\n", error.what());
        status = 1;
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return status;
}
