#include "core/engine/RecoveryEngine.hpp"

#include "core/carve/Carver.hpp"
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

namespace vellary {
namespace {

constexpr const char* kFat12Warning = "A very old FAT12 section was skipped.";
constexpr const char* kVolumeWarning =
    "Part of the file list couldn't be read, so the deep scan will look for those files instead.";
constexpr const char* kStoppedWarning =
    "The scan was stopped early. Files found until then are listed.";

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
        try {
            switch (volume.kind) {
            case VolumeKind::fat12:
                break;
            case VolumeKind::fat16:
            case VolumeKind::fat32:
                labels.push_back(volume.kind == VolumeKind::fat16 ? "FAT16" : "FAT32");
                FATScanner::scan(reader, volume, options, result.files, used);
                break;
            case VolumeKind::exfat:
                labels.push_back("ExFAT");
                ExFATScanner::scanVolume(reader, volume, options, result.files, used);
                break;
            case VolumeKind::ntfs:
                labels.push_back("NTFS");
                NTFSScanner::scanVolume(reader, volume, options, result.files, used);
                break;
            }
        } catch (const RecoverError& error) {
            if (endsScan(error)) throw;
            result.warnings.push_back(kVolumeWarning);
        } catch (const std::exception&) {
            result.warnings.push_back(kVolumeWarning);
        }
    }

    if (!result.files.empty() && options.onFound) options.onFound(result.files);

    if (options.deepScan || result.files.empty()) {
        const RangeCover covered(result.files, used);
        std::vector<RecoverableFile> carved;
        const auto outcome = Carver::carve(reader, covered, options,
                                           static_cast<std::int64_t>(result.files.size()), carved);
        result.files.insert(result.files.end(), std::make_move_iterator(carved.begin()),
                            std::make_move_iterator(carved.end()));
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
