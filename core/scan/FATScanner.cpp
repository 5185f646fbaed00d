#include "core/scan/FATScanner.hpp"

#include "core/records/FileTyping.hpp"
#include "core/records/RecoverError.hpp"
#include "core/records/TextDecode.hpp"
#include "core/scan/DeletedFile.hpp"
#include "core/scan/DirectoryStream.hpp"
#include "core/scan/FATNames.hpp"

#include <algorithm>
#include <unordered_set>

namespace vellary {
namespace {

// Directory entry layout.
constexpr std::size_t kAttributes = 11; // u8
constexpr std::size_t kTime = 22;       // u16
constexpr std::size_t kDate = 24;       // u16
constexpr std::size_t kFileSize = 28;   // u32
constexpr std::uint8_t kLongName = 0x0F;
constexpr std::uint8_t kVolumeLabel = 0x08;
constexpr std::uint8_t kDirectory = 0x10;
constexpr std::uint8_t kDeleted = 0xE5;
constexpr std::uint8_t kDot = 0x2E;

// A sub-folder starts with its "." entry (kept, or marked deleted along with the folder); a
// cluster without one was reused, and walking it would invent folders from file data.
bool startsWithDotEntry(ByteSpan first) {
    if (first.size() < 32) return false;
    if (first[0] != kDot && first[0] != kDeleted) return false;
    for (std::size_t i = 1; i < 11; ++i)
        if (first[i] != ' ') return false;
    return (first[kAttributes] & kDirectory) != 0;
}

bool endsScan(const RecoverError& error) {
    return error.kind() == RecoverError::Case::deviceGone ||
           error.kind() == RecoverError::Case::cancelled;
}

// A deleted entry seen by the walk, placed on the volume once every live file is known.
struct DeletedEntry {
    FATNames::Entry entry{};
    std::string name;
    bool nameInferred = false;
    std::uint64_t entryOffset = 0;
    std::string directory;
};

class Walker {
public:
    Walker(FATGeometry& geometry, const BlockReader& reader, const ScanOptions& options)
        : g_(geometry), reader_(reader), options_(options) {
        g_.live = ClusterBits(g_.clusterLimit());
    }

    void walkRoot() {
        if (g_.kind == FATGeometry::Kind::fat16) {
            DirectoryStream stream(reader_, {{g_.rootDirectoryOffset(), g_.rootDirectoryBytes()}});
            walkStream(stream, "", 0, false);
        } else {
            walkChain(g_.directoryChain(g_.rootCluster), "", 0, true);
        }
    }

    // Folders the tree no longer reaches (a quick format rewrites the root and the tables but not
    // the folders in the data area): one sequential read of the free clusters finds those that
    // start with their own "." entry. Each is walked like a deleted folder, under the name its
    // parent orphan gives it, else "Recovered folder N".
    void findOrphans() {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> orphans; // cluster, parent
        const std::uint64_t cs = g_.clusterSize();
        const std::uint64_t perRead = std::max<std::uint64_t>(1, kOrphanReadBytes / cs);
        const auto candidate = [&](std::uint64_t c) {
            return c < g_.fat.size() && g_.fat[c] == 0 && !g_.live.test(c) &&
                   !visited.contains(static_cast<std::uint32_t>(c));
        };
        for (std::uint64_t c = 2; c < g_.clusterLimit() && orphans.size() < kMaxOrphans;) {
            if (!candidate(c)) {
                ++c;
                continue;
            }
            if (options_.cancelled()) throw RecoverError::cancelled();
            std::uint64_t n = 1;
            while (n < perRead && c + n < g_.clusterLimit() && candidate(c + n))
                ++n;
            const auto at =
                ClusterMap::offsetOf(static_cast<std::uint32_t>(c), cs, g_.dataByteOffset());
            Bytes data;
            try {
                if (at) data = reader_.read(*at, static_cast<std::int64_t>(n * cs));
            } catch (const RecoverError& error) {
                if (endsScan(error)) throw;
            }
            for (std::uint64_t i = 0; (i + 1) * cs <= data.size(); ++i) {
                const ByteSpan head = ByteSpan(data).subspan(i * cs, 64);
                const auto self = static_cast<std::uint32_t>(c + i);
                if (startsWithDotEntry(head) && head[0] == kDot && g_.clusterNumber(head) == self &&
                    head[32] == kDot && head[33] == kDot && (head[32 + kAttributes] & kDirectory))
                    orphans.emplace_back(self, g_.clusterNumber(head.subspan(32)));
            }
            c += n;
        }
        std::unordered_set<std::uint32_t> orphanClusters;
        for (const auto& o : orphans)
            orphanClusters.insert(o.first);
        orphan_ = true;
        int number = 0;
        // Folders whose parent is not an orphan first, so that the others get their names.
        for (const bool roots : {true, false})
            for (const auto& [cluster, parent] : orphans) {
                if (visited.contains(cluster) || (roots && orphanClusters.contains(parent)))
                    continue;
                walkChain(orphanChain(cluster), "Recovered folder " + std::to_string(++number), 1,
                          false);
            }
        orphan_ = false;
    }

    // Places every deleted file found by the walk.
    void placeDeleted() {
        for (auto& d : deleted_) {
            bool lost = false;
            if (auto file = record(d, lost)) {
                found.push_back(std::move(*file));
                overwritten.push_back(lost);
            }
        }
        deleted_.clear();
    }

    std::unordered_set<std::uint32_t> visited;
    std::vector<RecoverableFile> found;
    std::vector<ByteRange> used;
    std::vector<bool> overwritten; // by found file
    VolumeNotes notes;

private:
    void walkChain(ClusterChain chain, const std::string& directory, int depth, bool live) {
        if (depth > FATScanner::kMaxDepth || chain.empty()) return;
        if (!visited.insert(chain.runs.front().first).second) return;
        // Only clusters inside the volume, and no more than 32 MiB of directory data.
        ClusterChain kept;
        const std::uint64_t maxClusters = FATGeometry::kDirectoryBytes / g_.clusterSize() + 1;
        for (const auto c : chain.clusters()) {
            if (c < 2 || c >= g_.clusterLimit() || kept.count >= maxClusters) break;
            kept.append(c);
        }
        if (live) g_.live.setChain(kept);
        DirectoryStream stream(
            reader_, DirectoryStream::extents(kept, g_.clusterSize(), g_.dataByteOffset()));
        walkStream(stream, directory, depth, depth > 0);
    }

    void walkStream(DirectoryStream& stream, const std::string& directory, int depth,
                    bool needsDot) {
        if (options_.cancelled()) throw RecoverError::cancelled();
        Folder folder;
        try {
            if (needsDot && !startsWithDotEntry(stream.view(0, 32))) return;
            walkEntries(stream, directory, depth, folder);
        } catch (const RecoverError& error) {
            // The rest of this folder is lost; the folders around it are not.
            if (endsScan(error)) throw;
            notes.unreadable = true;
        }
        inferLetters(folder);
    }

    // What one folder's walk gathers for naming its deleted files.
    struct Folder {
        std::vector<std::array<std::uint8_t, 11>> shortNames;
        std::vector<std::size_t> deleted; // indices into deleted_
    };

    void walkEntries(DirectoryStream& stream, const std::string& directory, int depth,
                     Folder& folder) {
        std::array<FATNames::Entry, FATNames::kMaxLongEntries> pending{};
        std::size_t pendingCount = 0;
        for (std::uint64_t pos = 0;; pos += 32) {
            const ByteSpan entry = stream.view(pos, 32);
            if (entry.size() < 32 || entry[0] == 0x00) return;
            if (deleted_.size() + found.size() >= FATScanner::kMaxFiles) {
                notes.fileLimit = true;
                return;
            }
            const std::uint8_t attributes = entry[kAttributes];
            if (attributes == kLongName) {
                if (pendingCount == pending.size()) {
                    std::move(pending.begin() + 1, pending.end(), pending.begin());
                    --pendingCount;
                }
                std::copy(entry.begin(), entry.end(), pending[pendingCount++].begin());
                continue;
            }
            const std::span<const FATNames::Entry> longNames(pending.data(), pendingCount);
            pendingCount = 0;
            if ((attributes & kVolumeLabel) != 0 || entry[0] == kDot) continue;
            std::array<std::uint8_t, 11> shortName{};
            std::copy(entry.begin(), entry.begin() + 11, shortName.begin());
            folder.shortNames.push_back(shortName);
            const std::uint64_t entryOffset = stream.sourceOffset(pos);
            if ((attributes & kDirectory) != 0) {
                const std::uint32_t cluster = g_.clusterNumber(entry);
                const std::string name =
                    FATNames::bestLongName(longNames, entry).value_or(FATNames::shortName(entry));
                if (cluster < 2 || name.empty() || name == "." || name == ".." ||
                    FileTyping::skipDirectory(name))
                    continue;
                walkChain(orphan_ ? orphanChain(cluster) : g_.directoryChain(cluster),
                          FATNames::join(directory, name), depth + 1,
                          !orphan_ && entry[0] != kDeleted);
            } else if (entry[0] == kDeleted || orphan_) {
                DeletedEntry d;
                std::copy(entry.begin(), entry.end(), d.entry.begin());
                d.entryOffset = entryOffset;
                d.directory = directory;
                if (auto name = FATNames::bestLongName(longNames, entry)) {
                    d.name = std::move(*name);
                } else {
                    d.name = FATNames::shortName(entry);
                    const auto repaired = FileTyping::repairFujifilmShortName(d.name);
                    d.nameInferred = repaired != d.name;
                    d.name = repaired;
                }
                folder.deleted.push_back(deleted_.size());
                deleted_.push_back(std::move(d));
            } else {
                claimLiveFile(entry);
            }
        }
    }

    // Deleted short names of this folder get back the first letter their siblings show.
    void inferLetters(const Folder& folder) {
        FATNames::LetterVotes votes;
        for (const auto& n : folder.shortNames)
            votes.add(ByteSpan(n.data(), n.size()));
        for (const std::size_t i : folder.deleted) {
            auto& d = deleted_[i];
            if (d.nameInferred || d.name != FATNames::shortName(ByteSpan(d.entry)))
                continue; // a long name, or already mended
            if (const auto letter = votes.letterFor(ByteSpan(d.entry))) {
                auto raw = d.entry;
                raw[0] = static_cast<std::uint8_t>(*letter);
                d.name = FATNames::shortName(ByteSpan(raw));
                d.nameInferred = true;
            }
        }
    }

    // An orphaned folder's clusters: its first, then the free clusters after it while the folder
    // has not ended and they read as more entries, not as another folder's start.
    ClusterChain orphanChain(std::uint32_t start) {
        ClusterChain chain = ClusterChain::run(start, 1);
        const std::uint64_t cs = g_.clusterSize();
        for (std::uint64_t c = start; chain.count < FATGeometry::kDirectoryClusters; ++c) {
            const auto at =
                ClusterMap::offsetOf(static_cast<std::uint32_t>(c), cs, g_.dataByteOffset());
            const std::uint64_t next = c + 1;
            if (!at || next >= g_.clusterLimit() || next >= g_.fat.size() || g_.fat[next] != 0 ||
                g_.live.test(next))
                break;
            Bytes tail, head;
            try {
                tail = reader_.read(*at + cs - 32, 32);
                head = reader_.read(*at + cs, 32);
            } catch (const RecoverError& error) {
                if (endsScan(error)) throw;
                break;
            }
            if (tail.size() < 32 || head.size() < 32 || tail[0] == 0x00 || head[0] == 0x00 ||
                head[0] == kDot || (head[kAttributes] & 0xC0) != 0 || head[0] < 0x20)
                break;
            chain.append(static_cast<std::uint32_t>(next));
        }
        return chain;
    }

    void claimLiveFile(ByteSpan entry) {
        const std::uint32_t cluster = g_.clusterNumber(entry);
        const std::uint32_t size = Binary::rawU32le(entry.data() + kFileSize);
        if (cluster < 2 || size == 0) return;
        const std::uint64_t cs = g_.clusterSize();
        const auto chain =
            g_.follow(cluster, std::min((size + cs - 1) / cs, FATScanner::kMaxLiveChain));
        g_.live.setChain(chain);
        const auto ranges = ClusterMap::ranges(chain, size, cs, g_.dataByteOffset());
        used.insert(used.end(), ranges.begin(), ranges.end());
    }

    std::optional<RecoverableFile> record(DeletedEntry& d, bool& lost) {
        const ByteSpan entry(d.entry);
        const std::uint32_t cluster = g_.clusterNumber(entry);
        const std::uint32_t size = Binary::rawU32le(entry.data() + kFileSize);
        if (size == 0 || cluster < 2) return std::nullopt;
        auto allocation = g_.allocate(cluster, size);
        if (!allocation) return std::nullopt;
        lost = allocation->overwritten;
        const std::uint64_t cs = g_.clusterSize();
        const std::uint64_t stored = std::min<std::uint64_t>(allocation->clusters.count * cs, size);
        auto ranges = ClusterMap::ranges(allocation->clusters, stored, cs, g_.dataByteOffset());
        if (ranges.empty()) return std::nullopt;
        std::string trimmed = TextDecode::trimmed(d.name);
        if (FileTyping::skipFile(trimmed)) return std::nullopt;

        DeletedFile::Draft draft;
        draft.id =
            "fat-" + std::to_string(g_.partitionOffset) + "-" + std::to_string(d.entryOffset);
        draft.name = std::move(trimmed);
        draft.folder = std::move(d.directory);
        draft.ranges = std::move(ranges);
        draft.modified = Binary::fatDate(Binary::rawU16le(entry.data() + kTime),
                                         Binary::rawU16le(entry.data() + kDate));
        draft.confidence = allocation->confidence;
        draft.complete = stored >= size && allocation->complete;
        draft.wholeOnlyWithHeader = allocation->confidence == RecoveryConfidence::estimated;
        draft.overwritten = allocation->overwritten;
        draft.nameInferred = d.nameInferred;
        return DeletedFile::finish(reader_, options_, std::move(draft));
    }

    FATGeometry& g_;
    const BlockReader& reader_;
    const ScanOptions& options_;
    std::vector<DeletedEntry> deleted_;
    // Walking folders found by findOrphans: every entry is a deleted one.
    bool orphan_ = false;

    static constexpr std::uint64_t kOrphanReadBytes = 4 << 20;
    static constexpr std::size_t kMaxOrphans = 65536;
};

} // namespace

FATGeometry FATScanner::load(const BlockReader& reader, const FoundVolume& volume) {
    const Bytes boot = reader.read(volume.offset, 512);
    if (boot.size() < 512) throw RecoverError::message("The FAT boot sector is unreadable.");
    const ByteSpan b(boot);
    const auto damaged = [] {
        return RecoverError::message("The FAT on this card looks damaged.");
    };

    const auto parsed = FATBoot::parse(b);
    if (!parsed) throw damaged();
    FATGeometry g;
    g.partitionOffset = volume.offset;
    g.bytesPerSector = static_cast<std::int64_t>(parsed->bytesPerSector);
    g.sectorsPerCluster = static_cast<std::int64_t>(parsed->sectorsPerCluster);
    g.reservedSectors = parsed->reservedSectors;
    g.fatCount = static_cast<std::int64_t>(parsed->fatCount);
    g.rootEntryCount = static_cast<std::int64_t>(parsed->rootEntryCount);
    g.fatSectors = parsed->fatSectors;
    if (parsed->clusters > 0xFFFFFFFE) throw damaged();
    g.clusterCount = static_cast<std::uint32_t>(parsed->clusters);
    const auto bps = static_cast<std::uint64_t>(g.bytesPerSector);
    g.kind = volume.kind == VolumeKind::fat32 ? FATGeometry::Kind::fat32 : FATGeometry::Kind::fat16;
    g.rootCluster = g.kind == FATGeometry::Kind::fat32 ? Binary::rawU32le(b.data() + 44) : 0;
    const std::uint64_t width = g.kind == FATGeometry::Kind::fat32 ? 4 : 2;

    std::uint64_t fatBytes = 0;
    if (g.fatSectors == 0 || __builtin_mul_overflow(g.fatSectors, bps, &fatBytes) ||
        fatBytes > kMaxFATBytes)
        throw RecoverError::message("The FAT on this card is an unexpected size.");

    // Sized by what the table can hold, never by a count that a damaged boot sector may inflate.
    const std::uint64_t entries = std::min(g.clusterLimit(), fatBytes / width);
    std::optional<std::uint64_t> mirror;
    if (g.fatCount > 1) mirror = g.fatByteOffset() + fatBytes;
    g.fat = ClusterMap::loadTable(reader, g.fatByteOffset(), fatBytes, static_cast<unsigned>(width),
                                  entries, mirror, &g.tableLost);
    if (g.kind == FATGeometry::Kind::fat32)
        for (auto& e : g.fat)
            e &= 0x0FFFFFFFu;
    return g;
}

void FATScanner::scan(const BlockReader& reader, const FoundVolume& volume,
                      const ScanOptions& options, std::vector<RecoverableFile>& sink,
                      std::vector<ByteRange>& used, VolumeNotes* notes) {
    FATGeometry geometry = load(reader, volume);
    Walker walker(geometry, reader, options);
    walker.walkRoot();
    if (walker.found.size() < DeletedFile::kOrphanSearchBelow) walker.findOrphans();
    walker.placeDeleted();
    if (notes) {
        notes->unreadable |= walker.notes.unreadable || geometry.tableLost;
        notes->fileLimit |= walker.notes.fileLimit;
    }
    DeletedFile::distrustOverlaps(walker.found, walker.used, walker.overwritten);
    sink.insert(sink.end(), std::make_move_iterator(walker.found.begin()),
                std::make_move_iterator(walker.found.end()));
    used.insert(used.end(), walker.used.begin(), walker.used.end());
    used.push_back(
        {geometry.partitionOffset, geometry.dataByteOffset() - geometry.partitionOffset});
}

} // namespace vellary
