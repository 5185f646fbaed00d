#include "core/scan/ClusterMap.hpp"

#include "core/io/Binary.hpp"
#include "core/records/RecoverError.hpp"

#include <algorithm>

namespace vellary {

void ClusterChain::append(std::uint32_t cluster) {
    ++count;
    if (!runs.empty()) {
        auto& last = runs.back();
        if (static_cast<std::uint64_t>(last.first) + last.count == cluster) {
            ++last.count;
            return;
        }
    }
    runs.push_back({cluster, 1});
}

void ClusterChain::truncate(std::uint64_t n) {
    if (n >= count) return;
    std::uint64_t kept = 0;
    std::size_t i = 0;
    for (; i < runs.size() && kept < n; ++i) {
        runs[i].count = std::min(runs[i].count, n - kept);
        kept += runs[i].count;
    }
    runs.resize(i);
    count = kept;
}

bool ClusterChain::isRunFrom(std::uint32_t start) const {
    return runs.size() == 1 && runs.front().first == start;
}

std::vector<std::uint32_t> ClusterChain::clusters() const {
    std::vector<std::uint32_t> out;
    for (const auto& r : runs)
        for (std::uint64_t i = 0; i < r.count; ++i)
            out.push_back(static_cast<std::uint32_t>(r.first + i));
    return out;
}

ClusterChain ClusterChain::run(std::uint32_t first, std::uint64_t count) {
    ClusterChain chain;
    if (count > 0) chain.runs.push_back({first, count});
    chain.count = count;
    return chain;
}

ClusterChain ClusterMap::follow(const std::vector<std::uint32_t>& fat, std::uint64_t clusterLimit,
                                std::uint32_t endMark, std::uint32_t start, std::uint64_t limit,
                                std::vector<std::uint64_t>& seen) {
    ClusterChain chain;
    if (seen.size() < (fat.size() + 63) / 64) seen.assign((fat.size() + 63) / 64, 0);
    const auto marked = [&](std::uint32_t c) { return (seen[c / 64] >> (c % 64)) & 1; };
    std::uint32_t c = start;
    while (chain.count < limit) {
        if (c < 2 || c >= clusterLimit || c >= fat.size() || marked(c)) break;
        seen[c / 64] |= std::uint64_t{1} << (c % 64);
        chain.append(c);
        const std::uint32_t next = fat[c];
        if (next == 0 || next >= endMark) break;
        c = next;
    }
    for (const auto& run : chain.runs)
        for (std::uint64_t i = 0; i < run.count; ++i) {
            const auto k = run.first + i;
            seen[k / 64] &= ~(std::uint64_t{1} << (k % 64));
        }
    return chain;
}

void ClusterBits::setChain(const ClusterChain& chain) {
    for (const auto& run : chain.runs)
        for (std::uint64_t i = 0; i < run.count; ++i)
            set(run.first + i);
}

std::optional<ClusterChain> ClusterMap::overFree(ClusterChain prefix, std::uint64_t count,
                                                 std::uint64_t clusterLimit,
                                                 const ClusterUse& use) {
    if (prefix.empty()) return std::nullopt;
    const auto& last = prefix.runs.back();
    std::uint64_t c = last.first + last.count;
    std::uint64_t skipped = 0;
    while (prefix.count < count) {
        if (c >= clusterLimit || skipped > kMaxSkipped) return std::nullopt;
        if (use.inUse && use.inUse(c)) {
            ++skipped;
        } else {
            prefix.append(static_cast<std::uint32_t>(c));
        }
        ++c;
    }
    return prefix;
}

std::optional<Allocation> ClusterMap::allocate(const std::vector<std::uint32_t>& fat,
                                               std::uint64_t clusterLimit, std::uint32_t endMark,
                                               std::uint32_t start, std::uint64_t size,
                                               std::uint64_t clusterSize,
                                               std::vector<std::uint64_t>& seen,
                                               const ClusterUse& use) {
    if (size == 0 || clusterSize == 0) return std::nullopt;
    const std::uint64_t needed = size / clusterSize + (size % clusterSize != 0 ? 1 : 0);
    if (start < 2 || start >= clusterLimit || start >= fat.size()) return std::nullopt;
    if (use.live && use.live(start)) {
        // Listed so the user learns of it, never followed along the new owner's chain.
        const std::uint64_t fits = std::min(needed, clusterLimit - start);
        return Allocation{ClusterChain::run(start, fits), RecoveryConfidence::estimated, false,
                          true};
    }
    const auto estimated = [&](ClusterChain prefix) -> std::optional<Allocation> {
        auto run = overFree(std::move(prefix), needed, clusterLimit, use);
        if (!run) return std::nullopt;
        return Allocation{std::move(*run), RecoveryConfidence::estimated, true};
    };
    if (fat[start] == 0) return estimated(ClusterChain::run(start, 1));
    auto chain = follow(fat, clusterLimit, endMark, start, needed, seen);
    const auto allFree = [&](const ClusterChain& c) {
        if (!use.chainMustBeFree || !use.inUse) return true;
        for (const auto& run : c.runs)
            for (std::uint64_t i = 0; i < run.count; ++i)
                if (use.inUse(run.first + i)) return false;
        return true;
    };
    if (chain.count >= needed) {
        chain.truncate(needed);
        if (allFree(chain)) return Allocation{std::move(chain), RecoveryConfidence::named, true};
        // The chain was handed on to other files: only the start is known to be this file's.
        if (auto run = estimated(ClusterChain::run(start, 1))) return run;
        return std::nullopt;
    }
    // An empty chain means the table vouches for nothing here, so no run is assumed either.
    if (chain.empty()) return std::nullopt;
    if (chain.isRunFrom(start))
        if (auto run = estimated(chain)) return run;
    return Allocation{std::move(chain), RecoveryConfidence::estimated, false};
}

namespace {

bool endsScan(const RecoverError& error) {
    return error.kind() == RecoverError::Case::deviceGone ||
           error.kind() == RecoverError::Case::cancelled;
}

// One piece of a table, sector by sector, each bad sector from the mirror copy when there is one.
Bytes readPieceBySector(const BlockReader& reader, std::uint64_t offset, std::uint64_t piece,
                        std::optional<std::uint64_t> mirror, bool* lost) {
    constexpr std::uint64_t kSector = 512;
    Bytes out;
    for (std::uint64_t at = 0; at < piece; at += kSector) {
        const auto count = static_cast<std::int64_t>(std::min(kSector, piece - at));
        Bytes sector;
        bool read = false;
        for (const auto base : {std::optional<std::uint64_t>(offset), mirror}) {
            if (!base || read) continue;
            try {
                sector = reader.read(*base + at, count);
                read = true;
            } catch (const RecoverError& error) {
                if (endsScan(error)) throw;
            }
        }
        if (!read) {
            sector.assign(static_cast<std::size_t>(count), 0);
            if (lost) *lost = true;
        }
        out.insert(out.end(), sector.begin(), sector.end());
        if (sector.size() < static_cast<std::size_t>(count)) break;
    }
    return out;
}

} // namespace

std::vector<std::uint32_t> ClusterMap::loadTable(const BlockReader& reader, std::uint64_t offset,
                                                 std::uint64_t bytes, unsigned width,
                                                 std::uint64_t entries,
                                                 std::optional<std::uint64_t> mirror, bool* lost) {
    constexpr std::uint64_t kPiece = 4 << 20; // a multiple of every entry width
    std::vector<std::uint32_t> table(entries, 0);
    std::uint64_t index = 0;
    for (std::uint64_t done = 0; done < bytes && index < entries; done += kPiece) {
        const std::uint64_t piece = std::min(kPiece, bytes - done);
        Bytes data;
        try {
            data = reader.read(offset + done, static_cast<std::int64_t>(piece));
        } catch (const RecoverError& error) {
            if (endsScan(error)) throw;
            data = readPieceBySector(reader, offset + done, piece,
                                     mirror ? std::optional(*mirror + done) : std::nullopt, lost);
        }
        for (std::size_t p = 0; p + width <= data.size() && index < entries; p += width, ++index)
            table[index] =
                width == 4 ? Binary::rawU32le(data.data() + p) : Binary::rawU16le(data.data() + p);
        if (data.size() < piece) break;
    }
    return table;
}

std::optional<ClusterChain> ClusterMap::contiguous(std::uint32_t start, std::uint64_t count,
                                                   std::uint64_t clusterLimit) {
    std::uint64_t end = 0;
    if (__builtin_add_overflow(static_cast<std::uint64_t>(start), count, &end) ||
        end > clusterLimit)
        return std::nullopt;
    return ClusterChain::run(start, count);
}

std::optional<std::uint64_t> ClusterMap::offsetOf(std::uint32_t cluster, std::uint64_t clusterSize,
                                                  std::uint64_t firstClusterOffset) {
    if (cluster < 2) return std::nullopt;
    std::uint64_t delta = 0;
    std::uint64_t offset = 0;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(cluster - 2), clusterSize, &delta) ||
        __builtin_add_overflow(firstClusterOffset, delta, &offset))
        return std::nullopt;
    return offset;
}

std::vector<ByteRange> ClusterMap::ranges(const ClusterChain& chain, std::uint64_t byteCount,
                                          std::uint64_t clusterSize,
                                          std::uint64_t firstClusterOffset) {
    std::vector<ByteRange> out;
    if (chain.empty() || byteCount == 0 || clusterSize == 0) return out;
    std::uint64_t remaining = byteCount;
    for (const auto& run : chain.runs) {
        std::uint64_t span = 0;
        if (__builtin_mul_overflow(run.count, clusterSize, &span)) span = UINT64_MAX;
        const auto offset = offsetOf(run.first, clusterSize, firstClusterOffset);
        if (!offset) return {};
        const auto range = ByteRange::make(*offset, std::min(remaining, span));
        if (!range) return {};
        out.push_back(*range);
        remaining -= range->length;
        if (remaining == 0) break;
    }
    return out;
}

} // namespace vellary
