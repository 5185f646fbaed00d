#include "cli/Commands.hpp"
#include "cli/DemoJpeg.hpp"
#include "cli/Terminal.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace vellary::cli {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A 64 MiB disk: an MBR, and one FAT32 partition at 1 MiB with 512-byte clusters.
constexpr std::uint64_t kDiskSize = 64ULL * 1024 * 1024;
constexpr std::uint32_t kPartitionLba = 2048;
constexpr std::uint32_t kSector = 512;
constexpr std::uint32_t kReserved = 32;
constexpr std::uint32_t kFatSectors = 1000;
constexpr std::uint32_t kPartitionSectors =
    static_cast<std::uint32_t>(kDiskSize / kSector) - kPartitionLba;
constexpr std::uint64_t kPartition = std::uint64_t{kPartitionLba} * kSector;
constexpr std::uint64_t kFat = kPartition + std::uint64_t{kReserved} * kSector;
constexpr std::uint64_t kHeap = kFat + 2ULL * kFatSectors * kSector; // cluster 2

void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

class DemoDisk {
public:
    explicit DemoDisk(int fd) : fd_(fd), fat_(kFatSectors * kSector / 4, 0) {
        fat_[0] = 0x0FFFFFF8;
        fat_[1] = 0x0FFFFFFF;
    }

    std::uint32_t allocate(std::size_t bytes) {
        const auto count = static_cast<std::uint32_t>((bytes + kSector - 1) / kSector);
        const std::uint32_t first = next_;
        for (std::uint32_t i = 0; i < count; ++i)
            fat_[first + i] = i + 1 == count ? 0x0FFFFFFF : first + i + 1;
        next_ += count;
        return first;
    }
    void freeChain(std::uint32_t first, std::size_t bytes) {
        const auto count = (bytes + kSector - 1) / kSector;
        for (std::size_t i = 0; i < count; ++i)
            fat_[first + i] = 0;
    }
    void writeCluster(std::uint32_t cluster, const Bytes& data) {
        write(kHeap + std::uint64_t{cluster - 2} * kSector, data);
    }
    void write(std::uint64_t offset, const Bytes& data) {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done,
                                       static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                throw std::runtime_error(std::string("Couldn't write the demo image: ") +
                                         std::strerror(errno));
            done += static_cast<std::size_t>(n);
        }
    }
    void finish() {
        Bytes fat(fat_.size() * 4);
        for (std::size_t i = 0; i < fat_.size(); ++i)
            put32(fat, i * 4, fat_[i]);
        write(kFat, fat);
        write(kFat + std::uint64_t{kFatSectors} * kSector, fat);
    }

private:
    int fd_;
    std::vector<std::uint32_t> fat_;
    std::uint32_t next_ = 2;
};

Bytes masterBootRecord() {
    Bytes mbr(512, 0);
    const std::size_t entry = 446;
    mbr[entry + 4] = 0x0C; // FAT32 with LBA
    put32(mbr, entry + 8, kPartitionLba);
    put32(mbr, entry + 12, kPartitionSectors);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    return mbr;
}

Bytes bootSector() {
    Bytes b(512, 0);
    b[0] = 0xEB;
    b[1] = 0x58;
    b[2] = 0x90;
    std::memcpy(&b[3], "MSWIN4.1", 8);
    put16(b, 11, kSector);
    b[13] = 1;
    put16(b, 14, kReserved);
    b[16] = 2;
    b[21] = 0xF8;
    put16(b, 24, 63);
    put16(b, 26, 255);
    put32(b, 28, kPartitionLba);
    put32(b, 32, kPartitionSectors);
    put32(b, 36, kFatSectors);
    put32(b, 44, 2);
    put16(b, 48, 1);
    put16(b, 50, 6);
    b[64] = 0x80;
    b[66] = 0x29;
    put32(b, 67, 0x20261206);
    std::memcpy(&b[71], "VELLARYDEMO", 11);
    std::memcpy(&b[82], "FAT32   ", 8);
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

Bytes fsInfo() {
    Bytes b(512, 0);
    put32(b, 0, 0x41615252);
    put32(b, 484, 0x61417272);
    put32(b, 488, 0xFFFFFFFF);
    put32(b, 492, 0xFFFFFFFF);
    put32(b, 508, 0xAA550000);
    return b;
}

// Directory entries, 32 bytes each.
struct Directory {
    Bytes bytes;

    void shortEntry(const char name11[11], std::uint8_t attributes, std::uint32_t cluster,
                    std::uint32_t size, std::uint16_t date, std::uint16_t time) {
        Bytes e(32, 0);
        std::memcpy(e.data(), name11, 11);
        e[11] = attributes;
        put16(e, 14, time);
        put16(e, 16, date);
        put16(e, 18, date);
        put16(e, 20, static_cast<std::uint16_t>(cluster >> 16));
        put16(e, 22, time);
        put16(e, 24, date);
        put16(e, 26, static_cast<std::uint16_t>(cluster & 0xFFFF));
        put32(e, 28, size);
        bytes.insert(bytes.end(), e.begin(), e.end());
    }

    // Long-name entries for name, last part first, then the short entry.
    void longEntries(const std::string& name, const char shortName[11]) {
        std::uint8_t sum = 0;
        for (int i = 0; i < 11; ++i)
            sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) +
                                            static_cast<std::uint8_t>(shortName[i]));
        std::vector<std::uint16_t> units(name.begin(), name.end());
        units.push_back(0);
        while (units.size() % 13 != 0)
            units.push_back(0xFFFF);
        const auto parts = units.size() / 13;
        static constexpr std::size_t kSlots[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        for (std::size_t p = parts; p-- > 0;) {
            Bytes e(32, 0);
            e[0] = static_cast<std::uint8_t>((p + 1) | (p + 1 == parts ? 0x40 : 0));
            e[11] = 0x0F;
            e[13] = sum;
            for (std::size_t i = 0; i < 13; ++i)
                put16(e, kSlots[i], units[p * 13 + i]);
            bytes.insert(bytes.end(), e.begin(), e.end());
        }
    }

    // Marks the entry set that ends with the short entry at index as deleted.
    void markDeleted(std::size_t firstEntry, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            bytes[(firstEntry + i) * 32] = 0xE5;
    }
    std::size_t entries() const { return bytes.size() / 32; }
};

std::uint16_t fatDate(int year, int month, int day) {
    return static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}
std::uint16_t fatTime(int hour, int minute, int second) {
    return static_cast<std::uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

struct DemoPhoto {
    const char* longName; // nullptr: short name only
    char shortName[12];
    int day, hour, minute;
    std::size_t size;
    bool deleted;
};

} // namespace

int runDemoImage(const DemoImageArgs& args) {
    const std::string& path = args.destination;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return fail("Couldn't create " + path + ". " + std::strerror(errno));
    try {
        if (::ftruncate(fd, static_cast<off_t>(kDiskSize)) != 0)
            throw std::runtime_error(std::string("Couldn't size the demo image: ") +
                                     std::strerror(errno));
        DemoDisk disk(fd);
        disk.write(0, masterBootRecord());
        disk.write(kPartition, bootSector());
        disk.write(kPartition + kSector, fsInfo());
        disk.write(kPartition + 6 * kSector, bootSector());

        const std::uint32_t root = disk.allocate(kSector);
        const std::uint32_t dcim = disk.allocate(kSector);
        const std::uint32_t camera = disk.allocate(kSector * 2);
        const auto date = fatDate(2026, 8, 14);
        const auto time = fatTime(9, 30, 0);

        Directory rootDir;
        rootDir.shortEntry("VELLARYDEMO", 0x08, 0, 0, date, time);
        rootDir.shortEntry("DCIM       ", 0x10, dcim, 0, date, time);
        Directory dcimDir;
        dcimDir.shortEntry(".          ", 0x10, dcim, 0, date, time);
        dcimDir.shortEntry("..         ", 0x10, 0, 0, date, time);
        dcimDir.shortEntry("100CANON   ", 0x10, camera, 0, date, time);

        const DemoPhoto photos[] = {
            {nullptr, "IMG_0001JPG", 14, 9, 41, 48000, false},
            {nullptr, "IMG_0002JPG", 14, 10, 5, 61000, true},
            {"Sunset at the beach.jpg", "SUNSET~1JPG", 14, 20, 12, 83000, true},
            {nullptr, "IMG_0004JPG", 15, 11, 27, 52000, true},
            {"Harbour walk.jpg", "HARBOU~1JPG", 15, 16, 3, 70000, false},
        };
        Directory cameraDir;
        cameraDir.shortEntry(".          ", 0x10, camera, 0, date, time);
        cameraDir.shortEntry("..         ", 0x10, dcim, 0, date, time);
        int seed = 0;
        for (const auto& photo : photos) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "2026:08:%02d %02d:%02d:00", photo.day, photo.hour,
                          photo.minute);
            const Bytes jpeg = demoJpeg(320, 240, ++seed, photo.size, stamp);
            const std::uint32_t first = disk.allocate(jpeg.size());
            Bytes padded = jpeg;
            padded.resize((jpeg.size() + kSector - 1) / kSector * kSector, 0);
            disk.writeCluster(first, padded);
            const std::size_t start = cameraDir.entries();
            if (photo.longName) cameraDir.longEntries(photo.longName, photo.shortName);
            cameraDir.shortEntry(photo.shortName, 0x20, first,
                                 static_cast<std::uint32_t>(jpeg.size()),
                                 fatDate(2026, 8, photo.day), fatTime(photo.hour, photo.minute, 0));
            if (photo.deleted) {
                cameraDir.markDeleted(start, cameraDir.entries() - start);
                disk.freeChain(first, jpeg.size());
            }
        }
        rootDir.bytes.resize(kSector, 0);
        dcimDir.bytes.resize(kSector, 0);
        cameraDir.bytes.resize(kSector * 2, 0);
        disk.writeCluster(root, rootDir.bytes);
        disk.writeCluster(dcim, dcimDir.bytes);
        disk.writeCluster(camera, cameraDir.bytes);
        disk.finish();
    } catch (const std::exception& error) {
        ::close(fd);
        ::unlink(path.c_str());
        return fail(error.what());
    }
    if (::close(fd) != 0) return fail("Couldn't finish " + path + ". " + std::strerror(errno));
    std::printf("Wrote %s: a 64 MB card image with a FAT32 volume and 3 deleted photos.\n",
                path.c_str());
    return 0;
}

} // namespace vellary::cli
