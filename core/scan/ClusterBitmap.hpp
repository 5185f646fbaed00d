#pragma once

#include "core/io/BlockReader.hpp"
#include "core/scan/MFTCatalog.hpp"
#include "core/scan/NTFSGeometry.hpp"

#include <cstdint>
#include <optional>
#include <unordered_map>

namespace vellary {

// The volume's cluster allocation bitmap, read lazily in 1 MiB pages.
class ClusterBitmap {
public:
    static constexpr std::uint64_t kPageSize = 1048576;

    ClusterBitmap(std::optional<MFTCatalog::BitmapSource> source, const NTFSGeometry& geometry,
                  const BlockReader& reader);

    // Whether any of count clusters from first is marked in use. Throws the reader's errors.
    bool anyAllocated(std::uint64_t first, std::uint64_t count);
    bool isAllocated(std::uint64_t cluster);

private:
    std::uint8_t byte(std::uint64_t index);

    std::optional<MFTCatalog::BitmapSource> source_;
    NTFSGeometry geometry_;
    const BlockReader& reader_;
    std::unordered_map<std::uint64_t, Bytes> pages_;
    // The page used last, to spare a lookup per byte.
    std::uint64_t lastPageNumber_ = 0;
    const Bytes* lastPage_ = nullptr;
};

} // namespace vellary
