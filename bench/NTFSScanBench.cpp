// NTFS scan of a real ntfs-3g image: 50,000 files in 100 folders, half of them deleted.
// Prints MFTRecord::parse throughput over 1,000,000 records taken from that image's MFT, the time
// of the whole NTFS scan and, when The Sleuth Kit is installed, the time of `fls -r -d` on the
// same image and the ratio. Needs mkfs.ntfs and a working ntfs-3g FUSE mount (run as root).
#include "core/io/FileBlockReader.hpp"
#include "core/scan/MFTRecord.hpp"
#include "core/scan/NTFSScanner.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

using namespace vellary;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 500;
constexpr std::uint64_t kImageSize = 512ull * 1024 * 1024;
constexpr std::uint64_t kParsedRecords = 1000000;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

bool sh(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

bool writeFile(const fs::path& path, std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((seed * 31 + i * 7) & 0xFF);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    const bool ok = ::write(fd, bytes.data(), size) == static_cast<ssize_t>(size);
    return ::close(fd) == 0 && ok;
}

bool makeImage(const fs::path& image, const fs::path& mount) {
    {
        const int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
        if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(kImageSize)) != 0) return false;
        ::close(fd);
    }
    if (!sh("mkfs.ntfs -Q -F '" + image.string() + "' >/dev/null 2>&1")) return false;
    fs::create_directories(mount);
    if (!sh("ntfs-3g '" + image.string() + "' '" + mount.string() + "'")) return false;
    bool ok = true;
    for (int f = 0; f < kFolders && ok; ++f) {
        const fs::path folder = mount / ("Folder " + std::to_string(f));
        fs::create_directory(folder);
        for (int i = 0; i < kFilesPerFolder && ok; ++i) {
            const unsigned seed = static_cast<unsigned>(f * kFilesPerFolder + i);
            // Sizes from 200 bytes (resident) to about 12 KiB.
            ok = writeFile(folder / ("IMG_" + std::to_string(i) + ".jpg"),
                           200 + (seed * 977) % 12000, seed);
        }
    }
    // Deleted only once all are written, so that no freed record is taken again.
    for (int f = 0; f < kFolders && ok; ++f)
        for (int i = 0; i < kFilesPerFolder; i += 2)
            fs::remove(mount / ("Folder " + std::to_string(f)) /
                       ("IMG_" + std::to_string(i) + ".jpg"));
    return sh("umount '" + mount.string() + "'") && ok;
}

} // namespace

int main(int argc, char** argv) {
    const fs::path work =
        argc > 1 ? fs::path(argv[1])
                 : fs::temp_directory_path() / ("ntfs-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const fs::path image = work / "ntfs.img";
    auto start = Clock::now();
    if (!makeImage(image, work / "mnt")) {
        std::fprintf(
            stderr,
            "Could not build the image (mkfs.ntfs and an ntfs-3g FUSE mount are needed).\n");
        return 1;
    }
    std::printf("image: %d files through ntfs-3g in %.1f s\n", kFolders * kFilesPerFolder,
                seconds(start));

    const FileBlockReader reader(image);
    const auto geometry = *NTFSGeometry::parse(reader.read(0, 512), 0);
    const NTFSStream mft = NTFSScanner::loadMFT(reader, geometry);
    const Bytes table = mft.read(reader, geometry, 0, static_cast<std::int64_t>(mft.dataSize));
    const auto recordSize = static_cast<std::size_t>(geometry.recordSize);
    const std::size_t records = table.size() / recordSize;

    Bytes scratch(recordSize);
    MFTRecord record;
    std::uint64_t parsed = 0;
    start = Clock::now();
    for (std::uint64_t i = 0; i < kParsedRecords; ++i) {
        std::memcpy(scratch.data(), table.data() + (i % records) * recordSize, recordSize);
        parsed += MFTRecord::parseInPlace(scratch, record) ? 1 : 0;
    }
    const double parseTime = seconds(start);
    std::printf("MFTRecord::parse: %llu records (%llu parsed) in %.3f s = %.0f records/s\n",
                static_cast<unsigned long long>(kParsedRecords),
                static_cast<unsigned long long>(parsed), parseTime,
                static_cast<double>(kParsedRecords) / parseTime);

    std::vector<RecoverableFile> found;
    std::vector<ByteRange> used;
    start = Clock::now();
    NTFSScanner::scanVolume(reader, FoundVolume{0, VolumeKind::ntfs}, ScanOptions{}, found, used);
    const double scanTime = seconds(start);
    std::printf("NTFS scan: %zu records, %zu deleted files found, %zu used ranges in %.3f s\n",
                records, found.size(), used.size(), scanTime);

    if (sh("command -v fls >/dev/null 2>&1")) {
        start = Clock::now();
        sh("fls -r -d '" + image.string() + "' >/dev/null 2>&1");
        const double flsTime = seconds(start);
        std::printf("fls -r -d: %.3f s; fls / vellary = %.1f\n", flsTime, flsTime / scanTime);
    } else {
        std::printf("fls not installed (Debian package sleuthkit): no comparison\n");
    }
    if (argc <= 1) fs::remove_all(work);
    return 0;
}
