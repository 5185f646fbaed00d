#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ByteRange.hpp"
#include "core/records/RecoverableFile.hpp"

#include <cstdint>
#include <vector>

namespace vellary {

// Consecutive clusters first, first + 1, ..., first + count - 1.
struct ClusterRun {
    std::uint32_t first = 0;
    std::uint64_t count = 0;

    bool operator==(const ClusterRun&) const = default;
};

// An ordered list of clusters, held as runs so that a huge contiguous extent costs one entry.
struct ClusterChain {
    std::vector<ClusterRun> runs;
    std::uint64_t count = 0;

    void append(std::uint32_t cluster);
    // At most n clusters from the front.
    void truncate(std::uint64_t n);
    // True when the clusters are start, start + 1, ... in order.
    bool isRunFrom(std::uint32_t start) const;
    bool empty() const { return count == 0; }
    std::vector<std::uint32_t> clusters() const;

    static ClusterChain run(std::uint32_t first, std::uint64_t count);
};

// Where a file's clusters were found and how sure the scanner is of them.
struct Allocation {
    ClusterChain clusters;
    RecoveryConfidence confidence = RecoveryConfidence::named;
    bool complete = false;
};

struct ClusterMap {
    // The byte ranges of the first byteCount bytes of the chain; cluster c (c >= 2) lies at
    // firstClusterOffset + (c - 2) * clusterSize. Empty when an offset would overflow.
    static std::vector<ByteRange> ranges(const ClusterChain& chain, std::uint64_t byteCount,
                                         std::uint64_t clusterSize,
                                         std::uint64_t firstClusterOffset);
    // The chain through an allocation table from start, at most limit clusters. It ends at a free
    // entry, a value at or above endMark, a cluster out of range or a loop. seen is scratch space,
    // all zero before and after.
    static ClusterChain follow(const std::vector<std::uint32_t>& fat, std::uint64_t clusterLimit,
                               std::uint32_t endMark, std::uint32_t start, std::uint64_t limit,
                               std::vector<std::uint64_t>& seen);
    // Reads an allocation table of bytes bytes at offset, in pieces, into entries little-endian
    // values of width 2 or 4 (zero where the source ends early). A failed read throws.
    static std::vector<std::uint32_t> loadTable(const BlockReader& reader, std::uint64_t offset,
                                                std::uint64_t bytes, unsigned width,
                                                std::uint64_t entries);
    // Where a deleted file of size bytes from cluster start lies, for FAT and exFAT alike: its
    // chain when the table still holds all of it; otherwise the run from start (estimated) when
    // the table was cleared there or the chain so far runs on from start; otherwise the chain as
    // far as it goes, incomplete. Nothing when start is outside the table.
    static std::optional<Allocation> allocate(const std::vector<std::uint32_t>& fat,
                                              std::uint64_t clusterLimit, std::uint32_t endMark,
                                              std::uint32_t start, std::uint64_t size,
                                              std::uint64_t clusterSize,
                                              std::vector<std::uint64_t>& seen);
    // start ... start + count - 1 when that stays below clusterLimit.
    static std::optional<ClusterChain> contiguous(std::uint32_t start, std::uint64_t count,
                                                  std::uint64_t clusterLimit);
    // Source offset of one cluster, or nothing on overflow or for c < 2.
    static std::optional<std::uint64_t> offsetOf(std::uint32_t cluster, std::uint64_t clusterSize,
                                                 std::uint64_t firstClusterOffset);
};

} // namespace vellary
