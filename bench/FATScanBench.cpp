// FAT32 scan of a generated card: 100,000 files in 1,000 folders, half of them deleted.
// Prints files per second and the number of reads the scan made.
#include "core/io/DataBlockReader.hpp"
#include "core/scan/FATScanner.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

using namespace vellary;

namespace {

constexpr std::uint32_t kFolders = 1000;
constexpr std::uint32_t kFilesPerFolder = 100;
constexpr std::uint64_t kSector = 512; // one sector per cluster
constexpr std::uint32_t kReserved = 32;

class CountingReader : public BlockReader {
public:
    explicit CountingReader(Bytes data) : inner_(std::move(data)) {}
    std::uint64_t size() const override { return inner_.size(); }
    Bytes read(std::uint64_t offset, std::int64_t count) const override {
        ++reads_;
        return inner_.read(offset, count);
    }
    std::uint64_t reads() const { return reads_; }

private:
    DataBlockReader inner_;
    mutable std::atomic<std::uint64_t> reads_{0};
};

void put16(Bytes& b, std::uint64_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Bytes& b, std::uint64_t at, std::uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

void entry(Bytes& b, std::uint64_t at, const char* name11, std::uint8_t attributes,
           std::uint32_t cluster, std::uint32_t size) {
    std::memcpy(b.data() + at, name11, 11);
    b[at + 11] = attributes;
    put16(b, at + 20, cluster >> 16);
    put16(b, at + 22, 0x5000);                    // 10:00:00
    put16(b, at + 24, (43 << 9) | (7 << 5) | 14); // 2023-07-14
    put16(b, at + 26, cluster & 0xFFFF);
    put32(b, at + 28, size);
}

Bytes makeCard() {
    const std::uint32_t dirBytes = (kFilesPerFolder + 2) * 32;
    const std::uint32_t dirClusters = (dirBytes + kSector - 1) / kSector;
    const std::uint32_t rootClusters = (kFolders * 32 + kSector - 1) / kSector;
    const std::uint32_t clusters = rootClusters + kFolders * (dirClusters + kFilesPerFolder) + 16;
    const std::uint32_t fatSectors = ((clusters + 2) * 4 + kSector - 1) / kSector;
    const std::uint64_t dataStart = (kReserved + 2ull * fatSectors) * kSector;
    const std::uint64_t total = kReserved + 2ull * fatSectors + clusters;
    Bytes b(total * kSector, 0);
    b[0] = 0xEB;
    put16(b, 11, kSector);
    b[13] = 1;
    put16(b, 14, kReserved);
    b[16] = 2;
    b[21] = 0xF8;
    put32(b, 32, static_cast<std::uint32_t>(total));
    put32(b, 36, fatSectors);
    put32(b, 44, 2);
    b[510] = 0x55;
    b[511] = 0xAA;
    const std::uint64_t fat = kReserved * kSector;
    const auto offsetOf = [&](std::uint32_t c) { return dataStart + (c - 2) * kSector; };
    const auto chain = [&](std::uint32_t first, std::uint32_t count) {
        for (std::uint32_t i = 0; i + 1 < count; ++i)
            put32(b, fat + 4 * (first + i), first + i + 1);
        put32(b, fat + 4 * (first + count - 1), 0x0FFFFFFF);
    };
    chain(2, rootClusters);
    std::uint32_t next = 2 + rootClusters;
    char name[12];
    for (std::uint32_t f = 0; f < kFolders; ++f) {
        const std::uint32_t folder = next;
        next += dirClusters;
        chain(folder, dirClusters);
        std::snprintf(name, sizeof name, "F%04u      ", f);
        entry(b, offsetOf(2) + 32 * f, name, 0x10, folder, 0);
        entry(b, offsetOf(folder), ".          ", 0x10, folder, 0);
        entry(b, offsetOf(folder) + 32, "..         ", 0x10, 0, 0);
        for (std::uint32_t i = 0; i < kFilesPerFolder; ++i) {
            const std::uint32_t data = next++;
            std::snprintf(name, sizeof name, "IMG_%04uJPG", i);
            const bool deleted = i % 2 == 1;
            if (deleted)
                name[0] = static_cast<char>(0xE5);
            else
                chain(data, 1);
            entry(b, offsetOf(folder) + 64 + 32 * i, name, 0x20, data, 400);
            b[offsetOf(data)] = 0xFF;
            b[offsetOf(data) + 1] = 0xD8;
        }
    }
    return b;
}

} // namespace

int main() {
    const CountingReader reader(makeCard());
    double best = 1e9;
    std::size_t found = 0;
    std::uint64_t reads = 0;
    for (int round = 0; round < 3; ++round) {
        const std::uint64_t before = reader.reads();
        std::vector<RecoverableFile> sink;
        std::vector<ByteRange> used;
        const auto start = std::chrono::steady_clock::now();
        FATScanner::scan(reader, {0, VolumeKind::fat32}, {}, sink, used);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
        found = sink.size();
        reads = reader.reads() - before;
    }
    const double entries = static_cast<double>(kFolders) * kFilesPerFolder;
    std::printf("FAT32 scan: %u folders, %.0f files (%zu deleted found) in %.3f s: %.0f files/s, "
                "%llu reads (%llu of them 32-byte headers)\n",
                kFolders, entries, found, best, entries / best,
                static_cast<unsigned long long>(reads), static_cast<unsigned long long>(found));
    return found == kFolders * kFilesPerFolder / 2 ? 0 : 1;
}
