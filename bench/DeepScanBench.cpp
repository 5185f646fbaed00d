// Deep-scan throughput: plain 8 MiB reads of an image against the deep scan of the same image,
// once for random bytes with no file in them and once for an image packed with JPEGs. The plain
// reads are timed twice: from the page cache, and from the disk (O_DIRECT, or the file's cached
// pages dropped first where the file system refuses it), since cards and USB sticks deliver
// 20-100 MB/s, far below what the cache gives.
//
//   DeepScanBench [--size MiB] [--dir FOLDER] [--jpegs FOLDER] [--runs N]
//
// The images are written into a fresh folder under --dir (the system's temporary folder by
// default) and removed at the end. --jpegs names a folder of .jpg files to pack; without it
// synthetic JPEG-shaped files are used.

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
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace vellary;

namespace {

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr std::uint64_t kChunk = 8 * MiB;

struct Options {
    std::uint64_t size = 1024 * MiB;
    fs::path dir = fs::temp_directory_path();
    fs::path jpegs;
    int runs = 5;
};

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "DeepScanBench: %s\n", message.c_str());
    std::exit(1);
}

// A small, fast generator; the bytes only need to look random to the carvers.
struct XorShift {
    std::uint64_t state;
    std::uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    void fill(std::uint8_t* out, std::size_t count) {
        std::size_t i = 0;
        for (; i + 8 <= count; i += 8) {
            const auto v = next();
            std::memcpy(out + i, &v, 8);
        }
        for (; i < count; ++i)
            out[i] = static_cast<std::uint8_t>(next());
    }
};

class Output {
public:
    explicit Output(const fs::path& path)
        : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644)) {
        if (fd_ < 0) die("cannot create " + path.string() + ": " + std::strerror(errno));
    }
    // Written back before anything is measured, so that write-back does not compete.
    ~Output() {
        ::fsync(fd_);
        ::close(fd_);
    }
    void write(const std::uint8_t* data, std::size_t count) {
        while (count > 0) {
            const auto done = ::write(fd_, data, count);
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) die(std::string("write failed: ") + std::strerror(errno));
            data += done;
            count -= static_cast<std::size_t>(done);
        }
    }

private:
    int fd_;
};

void writeRandom(const fs::path& path, std::uint64_t size) {
    Output out(path);
    std::vector<std::uint8_t> buffer(kChunk);
    XorShift random{0x9E3779B97F4A7C15ull};
    for (std::uint64_t done = 0; done < size;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - done));
        random.fill(buffer.data(), n);
        out.write(buffer.data(), n);
        done += n;
    }
}

// JPEG-shaped stand-ins for when no real files are given: headers, then random entropy data
// with every FF stuffed, then EOI.
std::vector<std::vector<std::uint8_t>> syntheticJPEGs() {
    std::vector<std::vector<std::uint8_t>> files;
    XorShift random{42};
    for (const std::size_t size : {180 * 1024, 900 * 1024, 2500 * 1024, 4200 * 1024}) {
        std::vector<std::uint8_t> f = {
            0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F', 0,    1,    1,    0,    0,
            1,    0,    1,    0,    0,    0xFF, 0xC0, 0x00, 0x0B, 8,   0x07, 0x80, 0x0A, 0x00, 1,
            1,    0x11, 0,    0xFF, 0xDA, 0x00, 0x08, 1,    1,    0,   0,    0x3F, 0};
        while (f.size() + 2 < size) {
            const auto b = static_cast<std::uint8_t>(random.next());
            f.push_back(b);
            if (b == 0xFF) f.push_back(0x00);
        }
        f.push_back(0xFF);
        f.push_back(0xD9);
        files.push_back(std::move(f));
    }
    return files;
}

std::vector<std::vector<std::uint8_t>> realJPEGs(const fs::path& folder) {
    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".jpg") paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    std::vector<std::vector<std::uint8_t>> files;
    for (const auto& path : paths) {
        std::ifstream in(path, std::ios::binary);
        files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (files.empty()) die("no .jpg files in " + folder.string());
    return files;
}

// JPEGs back to back, each padded with random bytes to the next 512-byte boundary.
std::uint64_t writePacked(const fs::path& path, std::uint64_t size,
                          const std::vector<std::vector<std::uint8_t>>& files) {
    Output out(path);
    XorShift random{7};
    std::vector<std::uint8_t> pad(512);
    std::uint64_t done = 0, count = 0;
    for (std::size_t i = 0;; i = (i + 1) % files.size()) {
        const auto& f = files[i];
        const std::uint64_t padded = (f.size() + 511) / 512 * 512;
        if (done + padded > size) break;
        out.write(f.data(), f.size());
        random.fill(pad.data(), padded - f.size());
        // The padding must not start a file at the next boundary by chance: it never reaches it.
        out.write(pad.data(), padded - f.size());
        done += padded;
        ++count;
    }
    std::vector<std::uint8_t> tail(static_cast<std::size_t>(size - done));
    random.fill(tail.data(), tail.size());
    for (std::size_t at = 0; at < tail.size(); at += 512)
        tail[at] = 0;
    out.write(tail.data(), tail.size());
    return count;
}

// Wall-clock and processor time of one measurement; the machine may be shared, so both are
// kept and the best of several runs counts.
struct Timing {
    double wall = 1e30;
    double cpu = 1e30;
    std::size_t files = 0;

    void keepBest(const Timing& other) {
        wall = std::min(wall, other.wall);
        cpu = std::min(cpu, other.cpu);
        files = other.files;
    }
};

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto s = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return s(usage.ru_utime) + s(usage.ru_stime);
}

template <typename F> Timing timed(F&& work) {
    const auto cpu = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const std::size_t files = work();
    Timing t;
    t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    t.cpu = cpuSeconds() - cpu;
    t.files = files;
    return t;
}

// Plain sequential preads of 8 MiB into one buffer.
Timing baseline(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("cannot open " + path.string());
    std::vector<std::uint8_t> buffer(kChunk);
    const auto t = timed([&] {
        std::uint64_t offset = 0;
        for (;;) {
            const auto got = ::pread(fd, buffer.data(), kChunk, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            offset += static_cast<std::uint64_t>(got);
        }
        return std::size_t{0};
    });
    ::close(fd);
    return t;
}

// Drops the file's pages from the page cache (they are clean: the images were synced).
void dropCached(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("cannot open " + path.string());
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

// Plain sequential reads of 8 MiB that bypass the page cache; says in `direct` how.
Timing uncached(const fs::path& path, bool& direct) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
    direct = fd >= 0;
    if (!direct) {
        dropCached(path);
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) die("cannot open " + path.string());
    }
    auto* buffer = static_cast<std::uint8_t*>(std::aligned_alloc(4096, kChunk));
    if (buffer == nullptr) die("out of memory");
    const auto t = timed([&] {
        std::uint64_t offset = 0;
        for (;;) {
            const auto got = ::pread(fd, buffer, kChunk, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            offset += static_cast<std::uint64_t>(got);
        }
        return std::size_t{0};
    });
    std::free(buffer);
    ::close(fd);
    return t;
}

Timing deepScan(const fs::path& path) {
    const FileBlockReader reader(path);
    return timed([&] {
        std::vector<RecoverableFile> sink;
        Carver::carve(reader, RangeCover{}, ScanOptions{}, 0, sink);
        return sink.size();
    });
}

double mbPerSecond(std::uint64_t bytes, double elapsed) {
    return static_cast<double>(bytes) / 1e6 / elapsed;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) die("missing value after " + arg);
            return argv[++i];
        };
        if (arg == "--size")
            o.size = std::stoull(value()) * MiB;
        else if (arg == "--dir")
            o.dir = value();
        else if (arg == "--jpegs")
            o.jpegs = value();
        else if (arg == "--runs")
            o.runs = std::max(1, std::stoi(value()));
        else
            die("unknown argument " + arg);
    }
    if (o.size < 16 * MiB) die("--size must be at least 16");
    return o;
}

} // namespace

int main(int argc, char** argv) {
    const auto options = parse(argc, argv);
    std::string pattern = (options.dir / "vellary-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        die("cannot create a folder in " + options.dir.string());
    const fs::path folder = pattern;
    const auto randomImage = folder / "random.img";
    const auto packedImage = folder / "jpegs.img";
    int status = 0;
    try {
        const auto files = options.jpegs.empty() ? syntheticJPEGs() : realJPEGs(options.jpegs);
        std::uint64_t jpegBytes = 0;
        for (const auto& f : files)
            jpegBytes += f.size();
        std::printf("Writing two %llu MiB images in %s (%zu %s JPEGs, %.1f MB on average)...\n",
                    static_cast<unsigned long long>(options.size / MiB), folder.c_str(),
                    files.size(), options.jpegs.empty() ? "synthetic" : "real",
                    static_cast<double>(jpegBytes) / 1e6 / static_cast<double>(files.size()));
        writeRandom(randomImage, options.size);
        const auto packed = writePacked(packedImage, options.size, files);

        // Warm the cache so that every measurement reads the same way, then alternate the
        // measurements so that load from other programs touches them alike.
        baseline(randomImage);
        baseline(packedImage);
        Timing a, aPacked, b, c, disk, cDisk;
        bool direct = false;
        for (int run = 0; run < options.runs; ++run) {
            a.keepBest(baseline(randomImage));
            b.keepBest(deepScan(randomImage));
            aPacked.keepBest(baseline(packedImage));
            c.keepBest(deepScan(packedImage));
        }
        // From the disk: fewer runs, each reading the whole image from the device.
        for (int run = 0; run < std::min(options.runs, 2); ++run) {
            disk.keepBest(uncached(packedImage, direct));
            dropCached(packedImage);
            cDisk.keepBest(deepScan(packedImage));
        }

        const auto rate = [&](const Timing& t) { return mbPerSecond(options.size, t.wall); };
        std::printf("best of %d runs          wall clock      processor time\n", options.runs);
        std::printf(
            "(a) 8 MiB preads       %8.0f MB/s   %6.3f s   (JPEG image: %.0f MB/s, %.3f s)\n",
            rate(a), a.cpu, rate(aPacked), aPacked.cpu);
        std::printf("(b) deep scan, random  %8.0f MB/s   %6.3f s   %zu files found\n", rate(b),
                    b.cpu, b.files);
        std::printf("(c) deep scan, JPEGs   %8.0f MB/s   %6.3f s   %zu of %llu JPEGs found\n",
                    rate(c), c.cpu, c.files, static_cast<unsigned long long>(packed));
        std::printf("(d) 8 MiB reads, disk   %8.0f MB/s   %6.3f s   (%s)\n", rate(disk), disk.cpu,
                    direct ? "O_DIRECT" : "page cache dropped first");
        std::printf("(e) deep scan, JPEGs,   %8.0f MB/s   %6.3f s   page cache dropped first\n",
                    rate(cDisk), cDisk.cpu);
        std::printf("b/a = %.2f   c/a = %.2f   (by processor time: b/a = %.2f, c/a = %.2f)\n",
                    rate(b) / rate(a), rate(c) / rate(aPacked), a.cpu / b.cpu, aPacked.cpu / c.cpu);
        std::printf("against reads from the disk: c/d = %.2f   e/d = %.2f\n", rate(c) / rate(disk),
                    rate(cDisk) / rate(disk));
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        std::printf("peak memory: %.0f MB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
        if (c.files != packed || b.files != 0) status = 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "DeepScanBench: %s\n", error.what());
        status = 1;
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return status;
}
