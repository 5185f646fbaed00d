#pragma once

#include "core/records/ByteRange.hpp"
#include "core/records/Date.hpp"
#include "core/records/FileKind.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellary {

// How a file's extent was learned.
enum class RecoveryConfidence { named, estimated, carved };

namespace recoveryConfidence {
std::string_view rawValue(RecoveryConfidence confidence);
std::optional<RecoveryConfidence> fromRaw(std::string_view raw);
} // namespace recoveryConfidence

// One file that a scan found. Identity is the id alone.
struct RecoverableFile {
    enum class Quality { good, partial, damaged };

    std::string id;
    std::string name;
    std::string originalPath;
    std::uint64_t size = 0;
    std::optional<Date> modified;
    FileKind kind = FileKind::other;
    FileCategory category = FileCategory::other;
    RecoveryConfidence confidence = RecoveryConfidence::carved;
    std::optional<bool> headerLooksValid;
    bool complete = false;
    std::optional<std::string> device;
    std::vector<ByteRange> ranges;
    // The name's first letter was lost on deletion and put back from its neighbours.
    bool nameInferred = false;

    Quality quality() const;
    // Files the category from the kind, for records built without one.
    RecoverableFile& categoryFromKind() {
        category = fileKind::category(kind);
        return *this;
    }
    // The folder part of originalPath; empty for carved files and files at the volume root.
    std::string folder() const;

    bool operator==(const RecoverableFile& other) const { return id == other.id; }
};

namespace quality {
std::string_view rawValue(RecoverableFile::Quality quality);
}

} // namespace vellary

template <> struct std::hash<vellary::RecoverableFile> {
    std::size_t operator()(const vellary::RecoverableFile& file) const noexcept {
        return std::hash<std::string>{}(file.id);
    }
};
