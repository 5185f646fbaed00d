#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ByteRange.hpp"
#include "core/records/ScanOptions.hpp"
#include "core/scan/MFTRecord.hpp"
#include "core/scan/NTFSStream.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace vellary {

// What one volume's MFT holds for deleted-file recovery.
struct MFTCatalog {
    struct Folder {
        std::string name;
        std::uint64_t parent = 0; // full reference from the directory's $FILE_NAME
        std::uint16_t sequence = 0;
        bool inUse = false;
    };

    struct Candidate {
        struct Content {
            enum class Kind { resident, clusters };
            Kind kind = Kind::clusters;
            std::vector<ByteRange> ranges;   // resident: where the bytes lie on the source
            std::vector<NTFSStream> streams; // clusters: the base record's $DATA extents
        };

        std::uint64_t number = 0;
        std::uint16_t sequence = 0;
        std::string name;
        std::uint64_t parent = 0;
        std::optional<Date> modified;
        Content content;
        bool hasAttributeList = false;
    };

    struct Extension {
        std::uint16_t baseSequence = 0;
        std::vector<NTFSStream> streams;
    };

    // A $FILE_NAME that NTFS moved out of its base record into an extension record.
    struct ExtensionName {
        std::uint16_t baseSequence = 0;
        NTFSFileName fileName;
    };

    struct BitmapSource {
        enum class Kind { resident, clusters };
        Kind kind = Kind::resident;
        Bytes bytes;       // resident
        NTFSStream stream; // clusters: the extent whose first VCN is 0
    };

    // From a range of the fixed-up record to where it lies on the source; nothing when any of it
    // was not read.
    using Locate = std::function<std::optional<std::vector<ByteRange>>(RecordRange)>;

    static constexpr std::size_t kMaxCandidates = 500000;

    ScanOptions options;
    std::unordered_map<std::uint64_t, Folder> folders;
    std::vector<Candidate> candidates;
    std::unordered_map<std::uint64_t, std::vector<Extension>> extensions;
    std::unordered_map<std::string, std::string> recycled;
    std::optional<BitmapSource> bitmap;
    std::unordered_map<std::uint64_t, std::vector<ExtensionName>> extensionNames;

    void add(std::uint64_t number, const MFTRecord& record, ByteSpan bytes, const Locate& locate);
    // Names the folders and deleted files whose only $FILE_NAME lives in an extension record
    // (kept nameless by add until the whole table has been seen); drops those left without one.
    void nameFromExtensions();
    // The candidate's extents joined in VCN order, with those of its extension records.
    std::optional<NTFSStream> joinedStream(const Candidate& candidate,
                                           const std::vector<NTFSStream>& own) const;

    // Whether an extension written for baseSequence belongs to a record now at sequence.
    static bool sequenceMatches(std::uint16_t baseSequence, std::uint16_t sequence);

    // Parent record number in decimal, "/", the name after its "$I"/"$R" prefix upper-cased.
    static std::string recycleKey(std::uint64_t parent, std::string_view name);

private:
    bool acceptsName(std::string_view name) const;
    std::optional<NTFSFileName> extensionName(std::uint64_t number, std::uint16_t sequence) const;
};

} // namespace vellary
