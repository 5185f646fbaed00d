#pragma once

#include "core/io/Binary.hpp"
#include "core/io/BlockReader.hpp"
#include "core/scan/FoundVolume.hpp"

#include <optional>
#include <vector>

namespace vellary {

// Finds the volumes on a source: a bare boot sector, MBR with its extended chain, or GPT.
struct VolumeFinder {
    // Fails only when a read fails.
    static std::vector<FoundVolume> find(const BlockReader& reader);
    // The kind of volume whose boot sector is in boot, or nothing.
    [[nodiscard]] static std::optional<VolumeKind> detect(ByteSpan boot, std::uint64_t at,
                                                          std::uint64_t diskSize);
};

} // namespace vellary
