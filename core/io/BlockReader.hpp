#pragma once

#include "core/records/Bytes.hpp"

#include <cstdint>
#include <memory>
#include <span>

namespace vellary {

// A random-access source of known size. Implementations are safe for concurrent reads.
class BlockReader {
public:
    virtual ~BlockReader() = default;

    virtual std::uint64_t size() const = 0;
    // At most count bytes at offset; fewer only where the source ends. Empty past the end or for
    // count < 1. Throws RecoverError (readFailed or deviceGone) when the medium fails.
    virtual Bytes read(std::uint64_t offset, std::int64_t count) const = 0;
    // The same read into the caller's buffer: at most into.size() bytes, fewer only where the
    // source ends; gives the count read. This default copies what read gives.
    virtual std::uint64_t readInto(std::uint64_t offset, std::span<std::uint8_t> into) const;
    // Device block size, at least 512; readers without a device say 512.
    virtual std::int64_t blockSize() const { return 512; }

    struct Tolerant {
        Bytes data;
        std::int64_t unreadable = 0;
    };
    // Survives bad sectors: every failure but deviceGone becomes zero bytes, counted.
    Tolerant readTolerant(std::uint64_t offset, std::int64_t count, std::int64_t sector) const;

    struct TolerantInto {
        std::uint64_t bytes = 0;
        std::int64_t unreadable = 0;
    };
    // The same into the caller's buffer; bytes says how much of it holds the source's bytes.
    TolerantInto readTolerantInto(std::uint64_t offset, std::span<std::uint8_t> into,
                                  std::int64_t sector) const;
};

using SharedReader = std::shared_ptr<const BlockReader>;

} // namespace vellary
