// Restore and imaging throughput against the system's own copy tools, on the same bytes in the
// same run:
//   - restoring the found files of an image (PhotoRestore::save) against `cp -r` of the same
//     files (extracted once beforehand) followed by `sync` of each copy, since the restore
//     flushes every file it writes; `cp` of the whole image as one file is shown for scale;
//   - imaging the image (DiskImager::copy) against `dd bs=8M conv=fsync`.
//
//   RestoreBench [--size MiB] [--files N] [--dir FOLDER] [--runs N]
//
// Ratios are tool time / our time (1.0 = as fast as the tool; the target is at least 0.8). The
// source is read once before timing so that every contender reads it from the same cache. Peak
// memory is reported to show that data moves through one 8 MiB chunk whatever the file size.

#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "core/restore/DiskImager.hpp"
#include "core/restore/PhotoRestore.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace vellary;

namespace {

constexpr std::uint64_t MiB = 1024 * 1024;

struct Options {
    std::uint64_t size = 2048 * MiB;
    int files = 64;
    fs::path dir = fs::temp_directory_path();
    int runs = 3;
};

double seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

void writeSource(const fs::path& path, std::uint64_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
        std::perror("source");
        std::exit(1);
    }
    std::vector<std::uint64_t> chunk(MiB / 8);
    std::uint64_t state = 88172645463325252ull;
    for (std::uint64_t done = 0; done < size; done += MiB) {
        for (auto& word : chunk) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        if (::write(fd, chunk.data(), MiB) != static_cast<ssize_t>(MiB)) {
            std::perror("source");
            std::exit(1);
        }
    }
    ::fsync(fd);
    ::close(fd);
}

// The image cut into files, every fourth one in two fragments stored out of order.
std::vector<RecoverableFile> foundFiles(std::uint64_t size, int count) {
    std::vector<RecoverableFile> files;
    const std::uint64_t each = size / static_cast<std::uint64_t>(count);
    for (int i = 0; i < count; ++i) {
        RecoverableFile file;
        file.id = "bench-" + std::to_string(i);
        file.name = "MVI_" + std::to_string(1000 + i) + ".MOV";
        file.originalPath = "DCIM/100CANON/" + file.name;
        const std::uint64_t start = static_cast<std::uint64_t>(i) * each;
        if (i % 4 == 3) {
            const std::uint64_t half = each / 2;
            file.ranges = {{start + half, each - half}, {start, half}};
        } else {
            file.ranges = {{start, each}};
        }
        file.size = each;
        files.push_back(file);
    }
    return files;
}

long peakMiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--size")
            options.size = std::strtoull(argv[i + 1], nullptr, 10) * MiB;
        else if (flag == "--files")
            options.files = std::max(1, std::atoi(argv[i + 1]));
        else if (flag == "--dir")
            options.dir = argv[i + 1];
        else if (flag == "--runs")
            options.runs = std::max(1, std::atoi(argv[i + 1]));
    }
    std::string pattern = (options.dir / "vellary-restore-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path work = pattern;
    const fs::path source = work / "source.img";
    std::printf("source: %llu MiB in %d files, folder %s\n",
                static_cast<unsigned long long>(options.size / MiB), options.files, work.c_str());
    writeSource(source, options.size);
    shell("cat '" + source.string() + "' > /dev/null");

    const auto files = foundFiles(options.size, options.files);
    const long baseline = peakMiB();
    double bestRestore = 1e9, bestCp = 1e9, bestCpImage = 1e9, bestImage = 1e9, bestDd = 1e9;
    try {
        FileBlockReader reader(source);
        const fs::path extracted = work / "extracted";
        PhotoRestore::save(files, reader, extracted);
        shell("cat '" + extracted.string() + "'/DCIM/100CANON/* > /dev/null");
        for (int run = 0; run < options.runs; ++run) {
            const std::string n = std::to_string(run);
            const fs::path restored = work / ("restored" + n);
            const auto restore = [&] {
                const auto report = PhotoRestore::save(files, reader, restored);
                if (!report.failed.empty()) throw RecoverError::message(report.failed.front());
            };
            bestRestore = std::min(bestRestore, seconds(restore));
            fs::remove_all(restored);

            const std::string copied = (work / ("cp" + n)).string();
            const auto copyFiles = [&] {
                shell("cp -r '" + extracted.string() + "' '" + copied + "' && sync '" + copied +
                      "'/DCIM/100CANON/*");
            };
            bestCp = std::min(bestCp, seconds(copyFiles));
            fs::remove_all(copied);

            const std::string whole = (work / ("whole" + n)).string();
            const auto copyImage = [&] {
                shell("cp '" + source.string() + "' '" + whole + "' && sync '" + whole + "'");
            };
            bestCpImage = std::min(bestCpImage, seconds(copyImage));
            fs::remove(whole);

            const fs::path image = work / ("image" + n + ".img");
            bestImage = std::min(bestImage, seconds([&] { DiskImager::copy(reader, image); }));
            fs::remove(image);

            const std::string dd = (work / ("dd" + n + ".img")).string();
            const auto copyWithDd = [&] {
                shell("dd if='" + source.string() + "' of='" + dd +
                      "' bs=8M conv=fsync status=none");
            };
            bestDd = std::min(bestDd, seconds(copyWithDd));
            fs::remove(dd);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        fs::remove_all(work);
        return 1;
    }
    fs::remove_all(work);

    const double mib = static_cast<double>(options.size) / MiB;
    std::printf("restore  %7.2f s  %7.1f MiB/s   cp -r   %7.2f s  %7.1f MiB/s   ratio %.2f\n",
                bestRestore, mib / bestRestore, bestCp, mib / bestCp, bestCp / bestRestore);
    std::printf("         (cp of the image as one file, then sync: %.2f s, %.1f MiB/s)\n",
                bestCpImage, mib / bestCpImage);
    std::printf("image    %7.2f s  %7.1f MiB/s   dd      %7.2f s  %7.1f MiB/s   ratio %.2f\n",
                bestImage, mib / bestImage, bestDd, mib / bestDd, bestDd / bestImage);
    std::printf("peak memory: %ld MiB before copying, %ld MiB after (best of %d runs)\n", baseline,
                peakMiB(), options.runs);
    return 0;
}
