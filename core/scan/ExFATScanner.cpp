#include "core/scan/ExFATScanner.hpp"

#include "core/records/FileTyping.hpp"
#include "core/records/RecoverError.hpp"
#include "core/records/TextDecode.hpp"
#include "core/scan/DeletedFile.hpp"
#include "core/scan/DirectoryStream.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace vellary {
namespace {

// Boot sector.
constexpr std::size_t kFileSystemName = 3; // 8 bytes
constexpr std::size_t kFatOffset = 80;     // u32, sectors
constexpr std::size_t kFatLength = 84;     // u32, sectors
constexpr std::size_t kHeapOffset = 88;    // u32, sectors
constexpr std::size_t kClusterCount = 92;  // u32
constexpr std::size_t kRootCluster = 96;   // u32
constexpr std::size_t kSectorShift = 108;  // u8
constexpr std::size_t kClusterShift = 109; // u8

// Entry sets: File, Stream Extension, File Name.
constexpr std::uint8_t kFileType = 0x05;
constexpr std::uint8_t kStreamType = 0x40;
constexpr std::uint8_t kNameType = 0x41;
constexpr std::uint8_t kInUse = 0x80;
constexpr std::size_t kSecondaryCount = 1; // u8
constexpr std::size_t kAttributes = 4;     // u16
constexpr std::uint16_t kDirectory = 0x10;
constexpr std::size_t kCreated = 8;       // u32 timestamp
constexpr std::size_t kModified = 12;     // u32 timestamp
constexpr std::size_t kCreatedUtc = 22;   // u8 UTC offset
constexpr std::size_t kModifiedUtc = 23;  // u8 UTC offset
constexpr std::size_t kStreamFlags = 1;   // u8, bit 1 = no FAT chain
constexpr std::size_t kNameLength = 3;    // u8, UTF-16 units
constexpr std::size_t kValidLength = 8;   // u64
constexpr std::size_t kFirstCluster = 20; // u32
constexpr std::size_t kDataLength = 24;   // u64
constexpr std::size_t kEntry = 32;
constexpr std::uint8_t kBitmapType = 0x81;
constexpr std::size_t kEndRun = 256;

struct EntrySet {
    bool inUse = false;
    bool directory = false;
    std::string name;
    std::uint32_t firstCluster = 0;
    std::uint64_t size = 0;
    bool noFatChain = false;
};

std::optional<RecoverableFile> record(ByteSpan set, const EntrySet& entry,
                                      std::uint64_t entryOffset, const ExFATGeometry& g,
                                      const BlockReader& reader, const std::string& folder,
                                      const ScanOptions& options) {
    auto modified = ExFATScanner::timestamp(set, kModified, kModifiedUtc);
    if (!modified) modified = ExFATScanner::timestamp(set, kCreated, kCreatedUtc);
    if (entry.size == 0 || entry.size > ExFATScanner::kMaxFileSize || entry.firstCluster < 2)
        return std::nullopt;
    auto allocation = g.allocate(entry.firstCluster, entry.size, entry.noFatChain);
    if (!allocation) return std::nullopt;
    const std::uint64_t cs = g.clusterSize();
    const std::uint64_t stored = std::min(allocation->clusters.count * cs, entry.size);
    auto ranges = ClusterMap::ranges(allocation->clusters, stored, cs, g.heapStart());
    if (ranges.empty()) return std::nullopt;
    std::string name = TextDecode::trimmed(entry.name);
    if (FileTyping::skipFile(name)) return std::nullopt;

    DeletedFile::Draft draft;
    draft.id = "exfat-" + std::to_string(g.partitionOffset) + "-" + std::to_string(entryOffset);
    draft.name = std::move(name);
    draft.folder = folder;
    draft.ranges = std::move(ranges);
    draft.modified = modified;
    draft.confidence = allocation->confidence;
    draft.complete = allocation->complete;
    draft.wholeOnlyWithHeader = allocation->confidence == RecoveryConfidence::estimated;
    draft.overwritten = allocation->overwritten;
    return DeletedFile::finish(reader, options, std::move(draft));
}

} // namespace

std::optional<Date> ExFATScanner::timestamp(ByteSpan fileEntry, std::size_t stampOffset,
                                            std::size_t offsetOffset) {
    const auto stamp = Binary::u32le(fileEntry, static_cast<std::int64_t>(stampOffset));
    if (!stamp) return std::nullopt;
    const auto utc = Binary::u8(fileEntry, static_cast<std::int64_t>(offsetOffset));
    if (!utc || (*utc & 0x80) == 0) return Binary::exfatDate(*stamp);
    // Validate exactly as a local timestamp would be, then read the fields at the given offset.
    if (!Binary::exfatDate(*stamp)) return std::nullopt;
    using namespace std::chrono;
    const int years = static_cast<int>(*stamp >> 25);
    const auto ymd = year_month_day{year{1980 + years}, month{(*stamp >> 21) & 0x0F},
                                    day{(*stamp >> 16) & 0x1F}};
    if (!ymd.ok()) return std::nullopt;
    int quarterHours = *utc & 0x7F;
    if (quarterHours & 0x40) quarterHours -= 0x80;
    const auto local = sys_days{ymd} + hours{(*stamp >> 11) & 0x1F} +
                       minutes{(*stamp >> 5) & 0x3F} + seconds{(*stamp & 0x1F) * 2};
    return time_point_cast<Seconds>(local - minutes{15 * quarterHours});
}

std::string ExFATScanner::fileName(ByteSpan set, int secondaryCount) {
    const auto length = Binary::u8(set, kEntry + kNameLength).value_or(0);
    std::vector<std::uint16_t> units;
    for (int i = 0; i < secondaryCount - 1; ++i) {
        const std::size_t at = kEntry * static_cast<std::size_t>(2 + i);
        if (at + kEntry > set.size() || (set[at] & 0x7F) != kNameType) break;
        for (std::size_t u = 0; u < 15; ++u)
            units.push_back(Binary::rawU16le(set.data() + at + 2 + 2 * u));
    }
    if (units.size() > length) units.resize(length);
    const auto nul = std::find(units.begin(), units.end(), 0);
    units.erase(nul, units.end());
    return TextDecode::utf16(units);
}

ExFATGeometry ExFATScanner::load(const BlockReader& reader, const FoundVolume& volume) {
    const Bytes boot = reader.read(volume.offset, 512);
    if (boot.size() < 512 || std::memcmp(boot.data() + kFileSystemName, "EXFAT   ", 8) != 0)
        throw RecoverError::message("The ExFAT boot sector is unreadable.");
    const int sectorShift = boot[kSectorShift];
    const int clusterShift = boot[kClusterShift];
    if (sectorShift < 9 || sectorShift > 12 || clusterShift > 16 ||
        sectorShift + clusterShift > kMaxClusterShift)
        throw RecoverError::message("The ExFAT card uses an unexpected sector size.");

    ExFATGeometry g;
    g.partitionOffset = volume.offset;
    g.bytesPerSector = std::int64_t{1} << sectorShift;
    g.sectorsPerCluster = std::int64_t{1} << clusterShift;
    const ByteSpan b(boot);
    g.clusterHeapOffsetSectors = Binary::rawU32le(b.data() + kHeapOffset);
    g.clusterCount = Binary::rawU32le(b.data() + kClusterCount);
    g.rootCluster = Binary::rawU32le(b.data() + kRootCluster);
    const std::uint64_t fatOffset = Binary::rawU32le(b.data() + kFatOffset);
    const std::uint64_t fatLength = Binary::rawU32le(b.data() + kFatLength);
    const auto bps = static_cast<std::uint64_t>(g.bytesPerSector);
    if (fatLength == 0 || fatLength * bps > kMaxTableBytes)
        throw RecoverError::message("The ExFAT allocation table is an unexpected size.");
    const std::uint64_t fatBytes = fatLength * bps;
    // Sized by what the table can hold, never by a count that a damaged boot sector may inflate.
    g.fat = ClusterMap::loadTable(reader, g.partitionOffset + fatOffset * bps, fatBytes, 4,
                                  std::min(g.clusterLimit(), fatBytes / 4));
    g.bitmap = loadBitmap(reader, g);
    return g;
}

ClusterBits ExFATScanner::loadBitmap(const BlockReader& reader, const ExFATGeometry& g) {
    const std::uint64_t cs = g.clusterSize();
    const auto root = g.directoryClusters(g.rootCluster, std::nullopt, false, 1);
    if (g.rootCluster < 2 || g.rootCluster >= g.clusterLimit() || root.empty()) return {};
    try {
        DirectoryStream stream(reader, DirectoryStream::extents(root, cs, g.heapStart()));
        for (std::uint64_t p = 0;; p += kEntry) {
            const ByteSpan entry = stream.view(p, kEntry);
            if (entry.size() < kEntry || entry[0] == 0x00) return {};
            if (entry[0] != kBitmapType) continue;
            const std::uint32_t first = Binary::rawU32le(entry.data() + kFirstCluster);
            const std::uint64_t want = (static_cast<std::uint64_t>(g.clusterCount) + 7) / 8;
            const std::uint64_t length = Binary::rawU64le(entry.data() + kDataLength);
            const auto at = ClusterMap::offsetOf(first, cs, g.heapStart());
            if (first >= g.clusterLimit() || !at || length < want || want > kMaxTableBytes)
                return {};
            const Bytes bits = reader.read(*at, static_cast<std::int64_t>(want));
            if (bits.size() < want) return {};
            ClusterBits out(g.clusterLimit());
            for (std::uint64_t i = 0; i < g.clusterCount; ++i)
                if ((bits[i / 8] >> (i % 8)) & 1) out.set(i + 2);
            return out;
        }
    } catch (const RecoverError& error) {
        if (error.kind() == RecoverError::Case::deviceGone) throw;
    }
    // Without the bitmap nothing is known to be in use, as before it was read.
    return {};
}

void ExFATScanner::walk(std::uint32_t start, std::optional<std::uint64_t> byteCount,
                        bool noFatChain, const ExFATGeometry& g, const BlockReader& reader,
                        const std::string& folder, int depth, const ScanOptions& options,
                        std::unordered_set<std::uint32_t>& visited,
                        std::vector<RecoverableFile>& sink, std::vector<ByteRange>& used,
                        VolumeNotes* notes, std::size_t volumeStart, bool orphan) {
    if (depth > kMaxDepth) return;
    if (sink.size() - volumeStart >= kMaxFiles) {
        if (notes) notes->fileLimit = true;
        return;
    }
    if (options.cancelled()) throw RecoverError::cancelled();
    if (start < 2 || start >= g.clusterLimit() || !visited.insert(start).second) return;
    const std::uint64_t cs = g.clusterSize();
    auto clusters = g.directoryClusters(start, byteCount, noFatChain, kMaxDirectoryBytes / cs + 1);
    if (clusters.empty()) return;
    clusters.truncate(kMaxDirectoryBytes / cs + 1);
    DirectoryStream stream(reader, DirectoryStream::extents(clusters, cs, g.heapStart()),
                           byteCount.value_or(UINT64_MAX));

    try {
        for (std::uint64_t p = 0;; p += kEntry) {
            const ByteSpan head = stream.view(p, kEntry);
            if (head.size() < kEntry) return;
            if (head[0] == 0x00) {
                const ByteSpan run = stream.view(p, kEndRun);
                if (std::all_of(run.begin(), run.end(), [](std::uint8_t b) { return b == 0; }))
                    return;
                continue;
            }
            if ((head[0] & 0x7F) != kFileType) continue;
            const int secondary = head[kSecondaryCount];
            if (secondary < 2 || secondary > 18) continue;
            const std::size_t setBytes = kEntry * static_cast<std::size_t>(secondary + 1);
            const ByteSpan set = stream.view(p, setBytes);
            if (set.size() < setBytes) continue;
            const ByteSpan streamEntry = set.subspan(kEntry, kEntry);
            if ((streamEntry[0] & 0x7F) != kStreamType) continue;

            EntrySet entry;
            entry.inUse = (set[0] & kInUse) != 0;
            entry.directory = (Binary::rawU16le(set.data() + kAttributes) & kDirectory) != 0;
            entry.name = fileName(set, secondary);
            entry.firstCluster = Binary::rawU32le(streamEntry.data() + kFirstCluster);
            const std::uint64_t valid = Binary::rawU64le(streamEntry.data() + kValidLength);
            entry.size = valid != 0 ? valid : Binary::rawU64le(streamEntry.data() + kDataLength);
            entry.noFatChain = (streamEntry[kStreamFlags] & 0x02) != 0;
            const std::uint64_t entryOffset = stream.sourceOffset(p);

            if (entry.directory) {
                if (entry.firstCluster >= 2 && !FileTyping::skipDirectory(entry.name))
                    walk(entry.firstCluster,
                         entry.size == 0 ? std::nullopt : std::optional<std::uint64_t>(entry.size),
                         entry.noFatChain, g, reader, DeletedFile::join(folder, entry.name),
                         depth + 1, options, visited, sink, used, notes, volumeStart, orphan);
            } else if (entry.inUse && !orphan) {
                const auto owned = g.liveClusters(entry.firstCluster, entry.size, entry.noFatChain);
                const auto ranges = ClusterMap::ranges(
                    owned, std::min(owned.count * cs, entry.size), cs, g.heapStart());
                used.insert(used.end(), ranges.begin(), ranges.end());
            } else if (auto file = record(set, entry, entryOffset, g, reader, folder, options)) {
                sink.push_back(std::move(*file));
            }
        }
    } catch (const RecoverError& error) {
        // The rest of this folder is lost; the folders around it are not.
        if (error.kind() == RecoverError::Case::deviceGone ||
            error.kind() == RecoverError::Case::cancelled)
            throw;
        if (notes) notes->unreadable = true;
    }
}

std::uint16_t ExFATScanner::setChecksum(ByteSpan set) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < set.size(); ++i) {
        if (i == 2 || i == 3) continue;
        const std::uint8_t b = i % kEntry == 0 ? (set[i] | kInUse) : set[i];
        sum = static_cast<std::uint16_t>(((sum & 1) != 0 ? 0x8000 : 0) + (sum >> 1) + b);
    }
    return sum;
}

namespace {

// What one free cluster tells of the folders: whether it starts with a whole entry set whose
// checksum holds, whether it ends its folder, and which folders its sets name.
struct ClusterLook {
    bool startsSet = false;
    bool ended = false;
    std::vector<std::uint32_t> folders;
};

ClusterLook look(ByteSpan cluster) {
    ClusterLook out;
    for (std::size_t p = 0; p + kEntry <= cluster.size(); p += kEntry) {
        if (cluster[p] == 0x00) {
            out.ended = true;
            break;
        }
        if ((cluster[p] & 0x7F) != kFileType) continue;
        const int secondary = cluster[p + kSecondaryCount];
        const std::size_t bytes = kEntry * static_cast<std::size_t>(secondary + 1);
        if (secondary < 2 || secondary > 18 || p + bytes > cluster.size() ||
            (cluster[p + kEntry] & 0x7F) != kStreamType)
            continue;
        const ByteSpan set = cluster.subspan(p, bytes);
        if (ExFATScanner::setChecksum(set) != Binary::rawU16le(set.data() + 2)) continue;
        if (p == 0) out.startsSet = true;
        if (Binary::rawU16le(set.data() + kAttributes) & kDirectory)
            out.folders.push_back(Binary::rawU32le(set.data() + kEntry + kFirstCluster));
    }
    return out;
}

} // namespace

void ExFATScanner::walkOrphans(const ExFATGeometry& g, const BlockReader& reader,
                               const ScanOptions& options,
                               std::unordered_set<std::uint32_t>& visited,
                               std::vector<RecoverableFile>& sink, std::vector<ByteRange>& used,
                               VolumeNotes* notes, std::size_t volumeStart) {
    constexpr std::uint64_t kReadBytes = 4 << 20;
    constexpr std::size_t kMaxOrphans = 65536;
    const std::uint64_t cs = g.clusterSize();
    if (!g.bitmap.known() || cs == 0) return;
    struct Orphan {
        std::uint32_t first;
        std::uint64_t clusters;
    };
    std::vector<Orphan> orphans;
    std::unordered_set<std::uint32_t> named;
    bool open = false; // the cluster before this one continues a folder
    const auto free = [&](std::uint64_t c) { return !g.bitmap.test(c); };
    for (std::uint64_t c = 2; c < g.clusterLimit() && orphans.size() < kMaxOrphans;) {
        if (!free(c)) {
            ++c, open = false;
            continue;
        }
        if (options.cancelled()) throw RecoverError::cancelled();
        std::uint64_t n = 1;
        while (n < std::max<std::uint64_t>(1, kReadBytes / cs) && c + n < g.clusterLimit() &&
               free(c + n))
            ++n;
        Bytes data;
        if (const auto at = ClusterMap::offsetOf(static_cast<std::uint32_t>(c), cs, g.heapStart()))
            try {
                data = reader.read(*at, static_cast<std::int64_t>(n * cs));
            } catch (const RecoverError& error) {
                if (error.kind() == RecoverError::Case::deviceGone) throw;
            }
        for (std::uint64_t i = 0; i < n; ++i) {
            const auto cluster = static_cast<std::uint32_t>(c + i);
            if ((i + 1) * cs > data.size()) {
                open = false;
                continue;
            }
            const ClusterLook seen = look(ByteSpan(data).subspan(i * cs, cs));
            named.insert(seen.folders.begin(), seen.folders.end());
            if (open && seen.startsSet) {
                // The folder before goes on here (walked already when it was not an orphan).
                if (!orphans.empty() && orphans.back().first + orphans.back().clusters == cluster)
                    ++orphans.back().clusters;
            } else if (seen.startsSet && !visited.contains(cluster)) {
                orphans.push_back({cluster, 1});
            }
            open = seen.startsSet && !seen.ended;
        }
        c += n;
    }
    int number = 0;
    // Folders no other orphan names first, so that the others are reached through them.
    for (const bool roots : {true, false})
        for (const auto& o : orphans) {
            if (visited.contains(o.first) || (roots && named.contains(o.first))) continue;
            walk(o.first, o.clusters * cs, true, g, reader,
                 "Recovered folder " + std::to_string(++number), 1, options, visited, sink, used,
                 notes, volumeStart, true);
        }
}

void ExFATScanner::scanVolume(const BlockReader& reader, const FoundVolume& volume,
                              const ScanOptions& options, std::vector<RecoverableFile>& sink,
                              std::vector<ByteRange>& used, VolumeNotes* notes) {
    const ExFATGeometry g = load(reader, volume);
    std::unordered_set<std::uint32_t> visited;
    const std::size_t foundBefore = sink.size();
    const std::size_t usedBefore = used.size();
    walk(g.rootCluster, std::nullopt, false, g, reader, "", 0, options, visited, sink, used, notes,
         foundBefore);
    if (sink.size() - foundBefore < DeletedFile::kOrphanSearchBelow)
        walkOrphans(g, reader, options, visited, sink, used, notes, foundBefore);
    DeletedFile::distrustOverlaps(
        std::span(sink).subspan(foundBefore),
        std::vector<ByteRange>(used.begin() + static_cast<std::ptrdiff_t>(usedBefore), used.end()));
    if (g.heapStart() > g.partitionOffset)
        used.push_back({g.partitionOffset, g.heapStart() - g.partitionOffset});
}

} // namespace vellary
