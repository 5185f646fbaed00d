#pragma once

#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"

#include <atomic>
#include <set>

namespace vellary::testing {

// An in-memory source whose chosen sectors fail to read, and which can vanish like a pulled card.
class FaultyBlockReader : public BlockReader {
public:
    explicit FaultyBlockReader(Bytes data, std::uint64_t sectorSize = 512)
        : inner_(std::move(data)), sector_(sectorSize) {}

    // Reads touching this sector (in sectorSize units) fail with readFailed.
    void failSector(std::uint64_t index) { bad_.insert(index); }
    // Every read reaching past this byte offset fails with deviceGone.
    void vanishAt(std::uint64_t offset) { goneAt_ = offset; }
    // Reads touching sectors [first, first + count) fail.
    void failSectors(std::uint64_t first, std::uint64_t count) {
        for (std::uint64_t i = 0; i < count; ++i)
            bad_.insert(first + i);
    }
    std::uint64_t readCount() const { return reads_.load(); }
    // Bytes handed out by reads that succeeded.
    std::uint64_t bytesDelivered() const { return delivered_.load(); }

    std::uint64_t size() const override { return inner_.size(); }
    Bytes read(std::uint64_t offset, std::int64_t count) const override {
        ++reads_;
        if (offset >= size() || count < 1) return {};
        const std::uint64_t end =
            offset + std::min<std::uint64_t>(static_cast<std::uint64_t>(count), size() - offset);
        if (end > goneAt_) throw RecoverError::deviceGone();
        const auto first = bad_.lower_bound(offset / sector_);
        if (first != bad_.end() && *first * sector_ < end)
            throw RecoverError::readFailed("Input/output error");
        auto bytes = inner_.read(offset, count);
        delivered_ += bytes.size();
        return bytes;
    }

private:
    DataBlockReader inner_;
    std::uint64_t sector_;
    std::set<std::uint64_t> bad_;
    std::uint64_t goneAt_ = UINT64_MAX;
    mutable std::atomic<std::uint64_t> reads_{0};
    mutable std::atomic<std::uint64_t> delivered_{0};
};

} // namespace vellary::testing
