#pragma once

#include "core/io/Binary.hpp"
#include "core/io/BlockReader.hpp"
#include "core/scan/ClusterMap.hpp"

#include <cstdint>
#include <vector>

namespace vellary {

// The bytes of one directory as one logical stream, read a piece at a time (one read per cluster
// run, at most kPiece bytes) so that a deep folder walk holds little memory per level.
class DirectoryStream {
public:
    struct Extent {
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
    };
    static constexpr std::uint64_t kPiece = 1 << 20;

    // limit cuts the logical length below the extents' total.
    DirectoryStream(const BlockReader& reader, std::vector<Extent> extents,
                    std::uint64_t limit = UINT64_MAX);

    // Up to count bytes at logical position pos; fewer where the data ends. Positions must not go
    // backwards by more than the last view asked for. A failed read throws.
    ByteSpan view(std::uint64_t pos, std::size_t count);
    // Source offset of a logical position, or 0 past the data.
    std::uint64_t sourceOffset(std::uint64_t pos) const;
    std::uint64_t length() const { return total_; }

    // One extent per run of the chain; stops at the first run whose offset overflows.
    static std::vector<Extent> extents(const ClusterChain& chain, std::uint64_t clusterSize,
                                       std::uint64_t firstClusterOffset);

private:
    bool exhausted() const { return ended_ || readEnd_ >= total_; }
    void readPiece();

    const BlockReader& reader_;
    std::vector<Extent> extents_;
    std::vector<std::uint64_t> starts_;
    std::uint64_t total_ = 0;
    Bytes buffer_;
    std::uint64_t bufferStart_ = 0;
    std::uint64_t readEnd_ = 0;
    bool ended_ = false;
};

} // namespace vellary
