#pragma once

#include "core/io/BlockReader.hpp"

#include <algorithm>
#include <cstring>

namespace vellary {

// A source held in memory.
class DataBlockReader : public BlockReader {
public:
    explicit DataBlockReader(Bytes data) : data_(std::move(data)) {}

    std::uint64_t size() const override { return data_.size(); }
    Bytes read(std::uint64_t offset, std::int64_t count) const override {
        if (offset >= data_.size() || count < 1) return {};
        const auto end = offset + std::min<std::uint64_t>(static_cast<std::uint64_t>(count),
                                                          data_.size() - offset);
        return Bytes(data_.begin() + static_cast<std::ptrdiff_t>(offset),
                     data_.begin() + static_cast<std::ptrdiff_t>(end));
    }
    std::uint64_t readInto(std::uint64_t offset, std::span<std::uint8_t> into) const override {
        if (offset >= data_.size() || into.empty()) return 0;
        const auto n = std::min<std::uint64_t>(into.size(), data_.size() - offset);
        std::memcpy(into.data(), data_.data() + offset, n);
        return n;
    }
    const Bytes& data() const { return data_; }

private:
    Bytes data_;
};

} // namespace vellary
