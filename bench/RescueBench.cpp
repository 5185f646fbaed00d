// Imaging a failing disk against GNU ddrescue, on the same source in the same run: a file of
// --size MiB (2 GiB by default) in which --bad scattered 512-byte sectors cannot be read. Our
// rescue reads it through a reader that fails those sectors; ddrescue reads the same file with
// its test mode (-H) failing the same sectors, since a device-mapper error target is rarely
// available. Both retry bad sectors once and flush the image at the end.
//
//   RescueBench [--size MiB] [--bad N] [--dir FOLDER] [--runs N]
//
// The machine may be shared: each contender runs --runs times (2 by default), which one goes
// first alternating, and the best time counts.
// Prints bytes rescued and seconds for each, and the ratios ours / ddrescue's (bytes: 1.0 means
// the same bytes rescued; seconds: below 1.0 means faster).

#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "core/restore/DiskImager.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace vellary;

namespace {

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr std::uint64_t kSector = 512;

// Fails every read that touches one of the chosen sectors, as a disk with bad sectors does.
class BadSectors : public BlockReader {
public:
    BadSectors(const BlockReader& inner, std::set<std::uint64_t> bad)
        : inner_(inner), bad_(std::move(bad)) {}
    std::uint64_t size() const override { return inner_.size(); }
    Bytes read(std::uint64_t offset, std::int64_t count) const override {
        const auto first = bad_.lower_bound(offset / kSector);
        if (count > 0 && first != bad_.end() &&
            *first * kSector < offset + static_cast<std::uint64_t>(count))
            throw RecoverError::readFailed("Input/output error");
        return inner_.read(offset, count);
    }

private:
    const BlockReader& inner_;
    std::set<std::uint64_t> bad_;
};

double seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t sizeMiB = 2048;
    std::size_t badCount = 100;
    fs::path dir = fs::temp_directory_path();
    int runs = 2;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--size")
            sizeMiB = std::strtoull(argv[i + 1], nullptr, 10);
        else if (flag == "--bad")
            badCount = std::strtoull(argv[i + 1], nullptr, 10);
        else if (flag == "--dir")
            dir = argv[i + 1];
    }
    const std::uint64_t size = sizeMiB * MiB;
    const fs::path work = dir / ("vellary-rescue-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const fs::path source = work / "card.img";
    // Real bytes, so that neither tool can skip holes: one pass of urandom-like data is too slow
    // to make, a repeating 1 MiB pattern is enough.
    {
        std::string block(MiB, '\0');
        std::mt19937_64 random(42);
        for (auto& c : block)
            c = static_cast<char>(random());
        FILE* out = std::fopen(source.c_str(), "wb");
        for (std::uint64_t i = 0; i < sizeMiB; ++i)
            std::fwrite(block.data(), 1, block.size(), out);
        std::fclose(out);
    }
    std::set<std::uint64_t> bad;
    std::mt19937_64 random(7);
    while (bad.size() < badCount)
        bad.insert(random() % (size / kSector));
    RescueMap test(size);
    test.set(0, size, RescueMap::Status::finished);
    for (const auto sector : bad)
        test.set(sector * kSector, kSector, RescueMap::Status::badSector);
    test.phase = RescueMap::Phase::finished;
    test.save(work / "test.map", false);
    // Both start from the same cache.
    std::system(("cat " + quoted(source) + " > /dev/null").c_str());

    const FileBlockReader file(source.string());
    const BadSectors failing(file, bad);
    RescueProgress ours;
    DiskImager::RescueOptions options;
    options.retries = 1;
    const std::string command = "ddrescue -q -r1 -H " + quoted(work / "test.map") + " " +
                                quoted(source) + " " + quoted(work / "theirs.img") + " " +
                                quoted(work / "theirs.map") + " && sync " +
                                quoted(work / "theirs.img");
    int status = 0;
    double ourSeconds = 1e9;
    double theirSeconds = 1e9;
    const auto runOurs = [&] {
        fs::remove(work / "ours.img");
        fs::remove(work / "ours.img.map");
        // Neither contender pays for the other's write-back.
        ::sync();
        ourSeconds = std::min(ourSeconds, seconds([&] {
                                  ours = DiskImager::rescue(failing, work / "ours.img", options);
                              }));
        fs::remove(work / "ours.img");
    };
    const auto runTheirs = [&] {
        fs::remove(work / "theirs.img");
        fs::remove(work / "theirs.map");
        ::sync();
        theirSeconds =
            std::min(theirSeconds, seconds([&] { status = std::system(command.c_str()); }));
    };
    // Who goes first alternates: the first run after making the source is the slowest.
    for (int run = 0; run < runs; ++run) {
        if (run % 2 == 0) {
            runTheirs();
            runOurs();
        } else {
            runOurs();
            runTheirs();
        }
    }
    const auto theirs = RescueMap::load(work / "theirs.map");
    fs::remove_all(work);
    if (status != 0 || !theirs) {
        std::printf("ddrescue failed (status %d); ours: %llu bytes rescued in %.2f s\n", status,
                    static_cast<unsigned long long>(ours.rescued), ourSeconds);
        return 1;
    }
    const auto theirRescued = theirs->bytesWith(RescueMap::Status::finished);
    std::printf("source: %llu MiB, %zu bad sectors\n", static_cast<unsigned long long>(sizeMiB),
                bad.size());
    std::printf("%-10s %16s %14s %10s\n", "", "bytes rescued", "bytes unread", "seconds");
    std::printf("%-10s %16llu %14llu %10.2f\n", "vellary",
                static_cast<unsigned long long>(ours.rescued),
                static_cast<unsigned long long>(ours.unreadable), ourSeconds);
    std::printf("%-10s %16llu %14llu %10.2f\n", "ddrescue",
                static_cast<unsigned long long>(theirRescued),
                static_cast<unsigned long long>(size - theirRescued), theirSeconds);
    std::printf("ratios (vellary / ddrescue): bytes rescued %.6f, seconds %.2f\n",
                static_cast<double>(ours.rescued) / static_cast<double>(theirRescued),
                ourSeconds / theirSeconds);
    return 0;
}
