#include "core/scan/NTFSScanner.hpp"

#include "core/records/ByteRanges.hpp"
#include "core/records/FileTyping.hpp"
#include "core/records/RecoverError.hpp"
#include "core/records/TextDecode.hpp"
#include "core/scan/ClusterBitmap.hpp"
#include "core/scan/DeletedFile.hpp"
#include "core/scan/MFTBuffer.hpp"
#include "core/scan/NTFSPathResolver.hpp"

#include <algorithm>

namespace vellary {
namespace {

constexpr std::int64_t kSector = 4096;
constexpr std::uint64_t kChunkBytes = 4 * 1024 * 1024;
constexpr std::uint64_t kRecordMask = 0xFFFF'FFFF'FFFFULL;
constexpr std::uint64_t kMinBootArea = 8192;

std::uint64_t clustersIn(const std::vector<NTFSRun>& runs) {
    std::uint64_t total = 0;
    for (const auto& run : runs)
        if (__builtin_add_overflow(total, run.length, &total)) return UINT64_MAX;
    return total;
}

// Where a deleted file's clusters lie, and how far they can be trusted; nothing drops the file.
std::optional<NTFSScanner::Layout>
clusterLayout(const NTFSStream& stream, const NTFSGeometry& geometry, ClusterBitmap& bitmap) {
    if (stream.compressed || stream.encrypted || stream.dataSize == 0) return std::nullopt;
    NTFSScanner::Layout layout;
    std::uint64_t remaining = stream.dataSize;
    bool damaged = false;
    bool sparseStop = false;
    bool first = true;
    for (const auto& run : stream.runs) {
        if (remaining == 0) break;
        if (!run.lcn) {
            if (layout.ranges.empty()) return std::nullopt;
            sparseStop = true;
            break;
        }
        std::uint64_t runEnd = 0;
        if (__builtin_add_overflow(*run.lcn, run.length, &runEnd) ||
            runEnd > geometry.totalClusters) {
            damaged = true;
            break;
        }
        const std::uint64_t take = std::min(run.length * geometry.clusterSize, remaining);
        const std::uint64_t clusters = (take + geometry.clusterSize - 1) / geometry.clusterSize;
        if (bitmap.anyAllocated(*run.lcn, clusters)) {
            // A file whose first cluster now belongs to another file has nothing left to give.
            if (first && bitmap.isAllocated(*run.lcn)) return std::nullopt;
            damaged = true;
        }
        const auto range =
            ByteRange::make(geometry.partitionOffset + *run.lcn * geometry.clusterSize, take);
        if (!range) return std::nullopt;
        appendJoined(layout.ranges, *range);
        remaining -= take;
        first = false;
    }
    if (layout.ranges.empty()) return std::nullopt;
    if (damaged) {
        layout.confidence = RecoveryConfidence::estimated;
        layout.complete = false;
    } else {
        layout.confidence = RecoveryConfidence::named;
        layout.complete =
            !sparseStop && remaining == 0 && stream.dataSize <= stream.initializedSize;
    }
    return layout;
}

} // namespace

bool NTFSScanner::ruledOut(std::string_view name, const ScanOptions& options) {
    if (options.categories.empty()) return false;
    const auto kind = FileTyping::kindForExtension(FileTyping::extensionOf(name));
    if (!kind || *kind == FileKind::other) return false;
    return !options.wants(fileKind::category(*kind));
}

void NTFSScanner::scanVolume(const BlockReader& reader, const FoundVolume& volume,
                             const ScanOptions& options, std::vector<RecoverableFile>& sink,
                             std::vector<ByteRange>& used, VolumeNotes* notes) {
    const Bytes boot = reader.read(volume.offset, 512);
    const auto geometry = NTFSGeometry::parse(boot, volume.offset);
    if (!geometry) throw RecoverError::message("The NTFS boot sector is unreadable.");

    const std::uint64_t volumeSize = geometry->volumeSize();
    const std::uint64_t bootArea =
        std::min(std::max(geometry->clusterSize, kMinBootArea), volumeSize);
    if (const auto range = ByteRange::make(volume.offset, bootArea)) appendJoined(used, *range);
    std::uint64_t backup = 0;
    if (!__builtin_add_overflow(volume.offset, volumeSize, &backup))
        if (const auto range =
                ByteRange::make(backup, static_cast<std::uint64_t>(geometry->bytesPerSector)))
            appendJoined(used, *range);

    const NTFSStream mft = loadMFT(reader, *geometry);
    for (const auto& range : geometry->ranges(mft.runs))
        appendJoined(used, range);
    MFTCatalog catalog;
    catalog.options = options;
    walkMFT(reader, *geometry, mft, options, catalog, used);
    if (notes && mft.dataSize / static_cast<std::uint64_t>(geometry->recordSize) > kMaxRecords)
        notes->recordLimit = true;
    recover(catalog, reader, *geometry, options, sink, notes);
}

NTFSStream NTFSScanner::loadMFT(const BlockReader& reader, const NTFSGeometry& geometry) {
    for (const std::uint64_t cluster : {geometry.mftCluster, geometry.mirrorCluster}) {
        if (cluster == 0) continue;
        // cluster < totalClusters, so the offset stays inside the volume's 2^60 bytes.
        const std::uint64_t offset = geometry.partitionOffset + cluster * geometry.clusterSize;
        auto got = reader.readTolerant(offset, geometry.recordSize, kSector);
        if (static_cast<std::int64_t>(got.data.size()) != geometry.recordSize) continue;
        const auto record = MFTRecord::parseInPlace(got.data);
        if (!record || !record->inUse) continue;
        const auto first = std::find_if(record->dataStreams.begin(), record->dataStreams.end(),
                                        [](const NTFSStream& s) { return s.firstVCN == 0; });
        if (first != record->dataStreams.end() && !first->runs.empty()) return *first;
    }
    throw RecoverError::message("The NTFS file table couldn't be read.");
}

void NTFSScanner::walkMFT(const BlockReader& reader, const NTFSGeometry& geometry,
                          const NTFSStream& mft, const ScanOptions& options, MFTCatalog& catalog,
                          std::vector<ByteRange>& used) {
    const auto recordSize = static_cast<std::uint64_t>(geometry.recordSize);
    if (recordSize > mft.dataSize) return;
    const std::uint64_t recordCount = std::min(mft.dataSize / recordSize, kMaxRecords);
    const std::uint64_t chunk = std::max<std::uint64_t>(kChunkBytes / geometry.clusterSize, 1);
    const std::uint64_t clusterSize = geometry.clusterSize;

    std::vector<NTFSRun> runs = mft.runs;
    std::uint64_t covered = clustersIn(runs);
    MFTBuffer buffer;
    MFTRecord record;
    std::uint64_t consumed = 0;
    bool pastVolume = false; // a run of the MFT points beyond the volume: the walk ends there
    for (std::size_t index = 0; index < runs.size() && consumed < recordCount && !pastVolume;
         ++index) {
        const NTFSRun run = runs[index];
        std::uint64_t position = 0;
        while (position < run.length && consumed < recordCount) {
            if (options.cancelled()) throw RecoverError::cancelled();
            const std::uint64_t wantedBytes =
                (recordCount - consumed) * recordSize -
                std::min((recordCount - consumed) * recordSize,
                         static_cast<std::uint64_t>(buffer.unconsumed()));
            const std::uint64_t needed = (wantedBytes + clusterSize - 1) / clusterSize;
            std::uint64_t take = std::min({chunk, run.length - position, needed});
            if (needed < 2) take = 1;
            const auto expected = static_cast<std::int64_t>(take * clusterSize);
            if (!run.lcn) {
                buffer.append({}, std::nullopt, expected);
            } else {
                std::uint64_t last = 0;
                if (__builtin_add_overflow(*run.lcn, position, &last) ||
                    __builtin_add_overflow(last, take, &last) || last > geometry.totalClusters) {
                    pastVolume = true;
                    break;
                }
                const std::uint64_t offset =
                    geometry.partitionOffset + (*run.lcn + position) * clusterSize;
                const auto got = reader.readTolerant(offset, expected, kSector);
                buffer.append(got.data, offset, expected);
            }
            position += take;

            while (buffer.unconsumed() >= geometry.recordSize && consumed < recordCount) {
                const std::int64_t start = buffer.cursor;
                const std::uint64_t number = consumed;
                buffer.cursor += geometry.recordSize;
                ++consumed;
                const std::span<std::uint8_t> bytes(buffer.data.data() + start, recordSize);
                if (!MFTRecord::parseInPlace(bytes, record)) continue;
                if (record.inUse) {
                    for (const auto& range : geometry.ranges(record.allocated))
                        appendJoined(used, range);
                    if (record.baseReference != 0 && (record.baseReference & kRecordMask) == 0) {
                        // An extension record of the MFT itself: its further extents.
                        auto extents = record.dataStreams;
                        std::stable_sort(extents.begin(), extents.end(),
                                         [](const NTFSStream& a, const NTFSStream& b) {
                                             return a.firstVCN < b.firstVCN;
                                         });
                        for (const auto& extent : extents) {
                            if (extent.firstVCN != covered) continue;
                            runs.insert(runs.end(), extent.runs.begin(), extent.runs.end());
                            if (__builtin_add_overflow(covered, clustersIn(extent.runs), &covered))
                                covered = UINT64_MAX;
                        }
                    }
                }
                const MFTBuffer* source = &buffer;
                catalog.add(number, record, bytes, [source, start](RecordRange range) {
                    return source->diskRanges(start, range);
                });
            }
            buffer.compact();
        }
    }
    catalog.nameFromExtensions();
}

void NTFSScanner::recover(const MFTCatalog& catalog, const BlockReader& reader,
                          const NTFSGeometry& geometry, const ScanOptions& options,
                          std::vector<RecoverableFile>& sink, VolumeNotes* notes) {
    const std::size_t before = sink.size();
    ClusterBitmap bitmap(catalog.bitmap, geometry, reader);
    NTFSPathResolver resolver(catalog.folders, catalog.recycled);
    std::vector<Planned> planned;
    for (const auto& candidate : catalog.candidates) {
        if (options.cancelled()) throw RecoverError::cancelled();
        Planned plan;
        plan.number = candidate.number;
        plan.modified = candidate.modified;
        if (candidate.name.rfind('$', 0) == 0) {
            const auto found =
                catalog.recycled.find(MFTCatalog::recycleKey(candidate.parent, candidate.name));
            if (found == catalog.recycled.end()) continue;
            const auto slash = found->second.rfind('/');
            plan.name =
                slash == std::string::npos ? found->second : found->second.substr(slash + 1);
            plan.folder =
                slash == std::string::npos ? std::string() : found->second.substr(0, slash);
            if (FileTyping::skipFile(plan.name) || ruledOut(plan.name, options)) continue;
        } else {
            auto folder = resolver.path(candidate.parent);
            if (!folder) continue;
            plan.name = candidate.name;
            plan.folder = std::move(*folder);
        }
        if (candidate.content.kind == MFTCatalog::Candidate::Content::Kind::resident) {
            if (candidate.content.ranges.empty()) continue;
            plan.layout = {candidate.content.ranges, RecoveryConfidence::named, true};
        } else {
            const auto stream = catalog.joinedStream(candidate, candidate.content.streams);
            if (!stream) continue;
            auto layout = clusterLayout(*stream, geometry, bitmap);
            if (!layout) continue;
            plan.layout = std::move(*layout);
        }
        planned.push_back(std::move(plan));
    }

    const auto firstOffset = [](const Planned& p) {
        return p.layout.ranges.empty() ? std::uint64_t{0} : p.layout.ranges.front().offset;
    };
    std::stable_sort(planned.begin(), planned.end(), [&](const Planned& a, const Planned& b) {
        return firstOffset(a) < firstOffset(b);
    });

    const std::uint64_t sourceSize = reader.size();
    for (auto& plan : planned) {
        if (sink.size() - before >= kMaxFiles) {
            if (notes) notes->fileLimit = true;
            return;
        }
        if (options.cancelled()) throw RecoverError::cancelled();
        std::uint64_t size = 0;
        bool outside = false;
        for (const auto& range : plan.layout.ranges) {
            size += range.length;
            outside = outside || range.length == 0 || range.offset >= sourceSize ||
                      range.end() > sourceSize;
        }
        std::string name = TextDecode::trimmed(plan.name);
        if (FileTyping::skipFile(name) || size == 0 || outside) continue;

        DeletedFile::Draft draft;
        draft.id =
            "ntfs-" + std::to_string(geometry.partitionOffset) + "-" + std::to_string(plan.number);
        draft.name = std::move(name);
        draft.folder = plan.folder;
        draft.ranges = std::move(plan.layout.ranges);
        draft.modified = plan.modified;
        draft.confidence = plan.layout.confidence;
        draft.complete = plan.layout.complete;
        if (auto file = DeletedFile::finish(reader, options, std::move(draft)))
            sink.push_back(std::move(*file));
    }
}

} // namespace vellary
