#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/ByteRange.hpp"
#include "core/records/RecoverableFile.hpp"

#include <cstdint>
#include <functional>
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
    // The first cluster belongs to a live file now: the bytes are someone else's.
    bool overwritten = false;
};

// One bit per cluster number, for clusters that live files own.
class ClusterBits {
public:
    ClusterBits() = default;
    explicit ClusterBits(std::uint64_t count) : words_((count + 63) / 64, 0), count_(count) {}
    void set(std::uint64_t c) {
        if (c < count_) words_[c / 64] |= std::uint64_t{1} << (c % 64);
    }
    // False past the end, so an unknown map says nothing is in use.
    bool test(std::uint64_t c) const {
        return c < count_ && ((words_[c / 64] >> (c % 64)) & 1) != 0;
    }
    void setChain(const ClusterChain& chain);
    bool known() const { return count_ > 0; }

private:
    std::vector<std::uint64_t> words_;
    std::uint64_t count_ = 0;
};

// What the volume says of its clusters now, for judging a deleted file's extent.
struct ClusterUse {
    // Allocated now: never part of a freed file's assumed extent. Absent: nothing is known.
    std::function<bool(std::uint64_t)> inUse;
    // Owned by a live file: a deleted file that starts there was overwritten.
    std::function<bool(std::uint64_t)> live;
    // exFAT keeps a deleted file's chain only while every cluster of it is still free.
    bool chainMustBeFree = false;
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
    // values of width 2 or 4 (zero where the source ends early). A piece that cannot be read is
    // read again a sector at a time, each bad sector from the copy at mirror; a sector bad in
    // both (or without a copy) is left zero and sets lost. Otherwise a failed read throws.
    static std::vector<std::uint32_t> loadTable(const BlockReader& reader, std::uint64_t offset,
                                                std::uint64_t bytes, unsigned width,
                                                std::uint64_t entries,
                                                std::optional<std::uint64_t> mirror = {},
                                                bool* lost = nullptr);
    // Where a deleted file of size bytes from cluster start lies, for FAT and exFAT alike. A start
    // that a live file owns is overwritten. Otherwise its chain when the table still holds all
    // of it (and, where use says so, all of it is free); else the run from start continued over
    // free clusters (estimated) when the table was cleared there or the chain so far runs on
    // from start; else the chain as far as it goes, incomplete. Nothing when start is outside
    // the table or the free clusters run out.
    static std::optional<Allocation> allocate(const std::vector<std::uint32_t>& fat,
                                              std::uint64_t clusterLimit, std::uint32_t endMark,
                                              std::uint32_t start, std::uint64_t size,
                                              std::uint64_t clusterSize,
                                              std::vector<std::uint64_t>& seen,
                                              const ClusterUse& use = {});
    // prefix, then the clusters after its last one that are not in use, until it holds count
    // clusters; nothing when the volume (or kMaxSkipped clusters in use) comes first.
    static std::optional<ClusterChain> overFree(ClusterChain prefix, std::uint64_t count,
                                                std::uint64_t clusterLimit, const ClusterUse& use);
    // A freed file's assumed extent may step over this many allocated clusters at most.
    static constexpr std::uint64_t kMaxSkipped = 0x1000000;
    // start ... start + count - 1 when that stays below clusterLimit.
    static std::optional<ClusterChain> contiguous(std::uint32_t start, std::uint64_t count,
                                                  std::uint64_t clusterLimit);
    // Source offset of one cluster, or nothing on overflow or for c < 2.
    static std::optional<std::uint64_t> offsetOf(std::uint32_t cluster, std::uint64_t clusterSize,
                                                 std::uint64_t firstClusterOffset);
};

} // namespace vellary
