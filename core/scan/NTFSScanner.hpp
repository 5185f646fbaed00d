#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ScanOptions.hpp"
#include "core/scan/FoundVolume.hpp"
#include "core/scan/MFTCatalog.hpp"
#include "core/scan/NTFSGeometry.hpp"
#include "core/scan/NTFSStream.hpp"
#include "core/scan/VolumeNotes.hpp"

#include <string_view>
#include <vector>

namespace vellary {

// Deleted files of an NTFS volume, from its master file table.
struct NTFSScanner {
    struct Layout {
        std::vector<ByteRange> ranges;
        RecoveryConfidence confidence = RecoveryConfidence::named;
        bool complete = false;
    };

    struct Planned {
        std::uint64_t number = 0;
        std::string name;
        std::string folder;
        std::optional<Date> modified;
        Layout layout;
    };

    static constexpr std::uint64_t kMaxRecords = 4000000;
    static constexpr std::size_t kMaxFiles = 100000;

    // Parses the boot sector (a failure is RecoverError::message "The NTFS boot sector is
    // unreadable."), claims the boot area, backup boot sector and MFT, walks the MFT and recovers
    // files. Appends to sink and used directly.
    // Limits reached are noted in notes; kMaxFiles counts this volume's files alone.
    static void scanVolume(const BlockReader& reader, const FoundVolume& volume,
                           const ScanOptions& options, std::vector<RecoverableFile>& sink,
                           std::vector<ByteRange>& used, VolumeNotes* notes = nullptr);

    // The MFT's first extent, from record 0 or its mirror.
    static NTFSStream loadMFT(const BlockReader& reader, const NTFSGeometry& geometry);
    // Catalogues every record and claims the extents of files in use.
    static void walkMFT(const BlockReader& reader, const NTFSGeometry& geometry,
                        const NTFSStream& mft, const ScanOptions& options, MFTCatalog& catalog,
                        std::vector<ByteRange>& used);
    // Turns the catalogue's deleted files into found files.
    static void recover(const MFTCatalog& catalog, const BlockReader& reader,
                        const NTFSGeometry& geometry, const ScanOptions& options,
                        std::vector<RecoverableFile>& sink, VolumeNotes* notes = nullptr);
    // True when the category filter excludes the name.
    static bool ruledOut(std::string_view name, const ScanOptions& options);
};

} // namespace vellary
