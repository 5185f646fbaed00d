#include "core/engine/RecoveryEngine.hpp"

#include "core/carve/Carver.hpp"
#include "core/formats/Signatures.hpp"
#include "core/records/ByteText.hpp"
#include "core/records/RangeCover.hpp"
#include "core/records/RecoverError.hpp"
#include "core/restore/FileRead.hpp"
#include "core/scan/ExFATScanner.hpp"
#include "core/scan/FATScanner.hpp"
#include "core/scan/NTFSScanner.hpp"
#include "core/scan/VolumeFinder.hpp"

#include <algorithm>
#include <set>
#include <unordered_map>

namespace vellary {
namespace {

constexpr const char* kFat12Warning = "A very old FAT12 section was skipped.";
constexpr const char* kVolumeWarning =
    "Part of the file list couldn't be read, so the deep scan will look for those files instead.";
constexpr const char* kStoppedWarning =
    "The scan was stopped early. Files found until then are listed.";
constexpr const char* kFileLimitWarning =
    "One volume holds more than 100,000 deleted files; the list shows the first 100,000 and the "
    "deep scan looks for the rest.";
constexpr const char* kRecordLimitWarning =
    "One volume has more than 4,000,000 file records; only the first 4,000,000 were read, and the "
    "deep scan looks for the rest.";

void noteWarnings(const VolumeNotes& notes, std::vector<std::string>& warnings) {
    if (notes.unreadable) warnings.push_back(kVolumeWarning);
    if (notes.fileLimit) warnings.push_back(kFileLimitWarning);
    if (notes.recordLimit) warnings.push_back(kRecordLimitWarning);
}

// Listed files whose extent is only assumed are left to the deep scan; where it measures a file
// at the same start, the two are one file. Maps a first byte to the listed file that starts there.
std::unordered_map<std::uint64_t, std::size_t>
unclaimedStarts(const std::vector<RecoverableFile>& files) {
    std::unordered_map<std::uint64_t, std::size_t> starts;
    for (std::size_t i = 0; i < files.size(); ++i)
        if (files[i].confidence != RecoveryConfidence::named && !files[i].ranges.empty())
            starts.emplace(files[i].ranges.front().offset, i);
    return starts;
}

bool crosses(const RangeCover& covered, const ByteRange& range) {
    const auto& ranges = covered.ranges();
    const auto after =
        std::upper_bound(ranges.begin(), ranges.end(), range.offset,
                         [](std::uint64_t offset, const ByteRange& r) { return offset < r.end(); });
    return after != ranges.end() && after->offset < range.end();
}

// Folds a carved file into the listed one at its start. Name, folder and date stay the list's;
// the carver's extent wins when it measured a whole file and the list's is not trusted, or the
// carver's runs over no claimed byte.
bool fold(RecoverableFile& listed, const RecoverableFile& carved, const RangeCover& covered) {
    if (!carved.complete || carved.ranges.size() != 1) return false;
    if (listed.complete && crosses(covered, carved.ranges.front())) return false;
    listed.size = carved.size;
    listed.ranges = carved.ranges;
    listed.complete = true;
    listed.headerLooksValid = true;
    if (!listed.device) listed.device = carved.device;
    return true;
}

bool endsScan(const RecoverError& error) {
    return error.kind() == RecoverError::Case::deviceGone ||
           error.kind() == RecoverError::Case::cancelled;
}

} // namespace

ScanResult RecoveryEngine::scan(const BlockReader& reader, const ScanOptions& options) {
    if (options.cancelled()) throw RecoverError::cancelled();
    const std::uint64_t total = reader.size();
    options.report({ScanProgress::Phase::fileRecords, 0, total, 0});

    const auto volumes = VolumeFinder::find(reader);
    ScanResult result;
    if (std::any_of(volumes.begin(), volumes.end(),
                    [](const FoundVolume& v) { return v.kind == VolumeKind::fat12; }))
        result.warnings.push_back(kFat12Warning);

    std::vector<std::string> labels;
    std::vector<ByteRange> used;
    for (const auto& volume : volumes) {
        if (options.cancelled()) throw RecoverError::cancelled();
        VolumeNotes notes;
        try {
            switch (volume.kind) {
            case VolumeKind::fat12:
                break;
            case VolumeKind::fat16:
            case VolumeKind::fat32:
                labels.push_back(volume.kind == VolumeKind::fat16 ? "FAT16" : "FAT32");
                FATScanner::scan(reader, volume, options, result.files, used, &notes);
                break;
            case VolumeKind::exfat:
                labels.push_back("ExFAT");
                ExFATScanner::scanVolume(reader, volume, options, result.files, used, &notes);
                break;
            case VolumeKind::ntfs:
                labels.push_back("NTFS");
                NTFSScanner::scanVolume(reader, volume, options, result.files, used, &notes);
                break;
            }
        } catch (const RecoverError& error) {
            if (endsScan(error)) throw;
            notes.unreadable = true;
        } catch (const std::exception&) {
            notes.unreadable = true;
        }
        noteWarnings(notes, result.warnings);
    }

    if (!result.files.empty() && options.onFound) options.onFound(result.files);

    if (options.deepScan || result.files.empty()) {
        // Only bytes known for certain are claimed: live files, structures, exact extents.
        std::vector<ByteRange> claimed = used;
        for (const auto& file : result.files)
            if (file.confidence == RecoveryConfidence::named)
                claimed.insert(claimed.end(), file.ranges.begin(), file.ranges.end());
        const RangeCover covered(std::move(claimed));
        const auto starts = unclaimedStarts(result.files);
        const auto listedAt = [&](const RecoverableFile& carved) -> RecoverableFile* {
            if (carved.ranges.empty()) return nullptr;
            const auto it = starts.find(carved.ranges.front().offset);
            if (it == starts.end()) return nullptr;
            auto& listed = result.files[it->second];
            const bool same = listed.kind == FileKind::other ||
                              Signatures::compatible(carved.kind, listed.kind) ||
                              Signatures::compatible(listed.kind, carved.kind);
            return same ? &listed : nullptr;
        };
        ScanOptions carving = options;
        if (options.onFound)
            carving.onFound = [&](const std::vector<RecoverableFile>& batch) {
                std::vector<RecoverableFile> fresh;
                for (const auto& file : batch)
                    if (!listedAt(file)) fresh.push_back(file);
                if (!fresh.empty()) options.onFound(fresh);
            };
        std::vector<RecoverableFile> carved;
        const auto outcome = Carver::carve(reader, covered, carving,
                                           static_cast<std::int64_t>(result.files.size()), carved);
        // Listed files the deep scan measured better are reported again under their own ids.
        std::vector<RecoverableFile> remeasured;
        for (auto& file : carved) {
            if (auto* listed = listedAt(file)) {
                if (fold(*listed, file, covered)) remeasured.push_back(*listed);
            } else {
                result.files.push_back(std::move(file));
            }
        }
        if (!remeasured.empty() && options.onFound) options.onFound(remeasured);
        if (outcome.unreadable > 0)
            result.warnings.push_back(ByteText::string(outcome.unreadable) +
                                      " of the disk couldn't be read. Files in those areas may be "
                                      "damaged.");
        result.unreadableBytes = outcome.unreadable;
        result.searchedContents = true;
        if (options.cancelled()) result.warnings.push_back(kStoppedWarning);
    }

    options.report({ScanProgress::Phase::finished, total, total,
                    static_cast<std::int64_t>(result.files.size())});

    const std::set<std::string> distinct(labels.begin(), labels.end());
    for (const auto& label : distinct) {
        if (!result.filesystem.empty()) result.filesystem += " and ";
        result.filesystem += label;
    }
    if (result.filesystem.empty()) result.filesystem = "Unknown";
    result.volumeCount = std::count_if(volumes.begin(), volumes.end(), [](const FoundVolume& v) {
        return v.kind != VolumeKind::fat12;
    });
    return result;
}

Bytes RecoveryEngine::read(const BlockReader& reader, const RecoverableFile& file, std::uint64_t at,
                           std::int64_t count) {
    return FileRead::read(reader, file, at, count);
}

} // namespace vellary
