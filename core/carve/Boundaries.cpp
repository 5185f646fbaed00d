#include "core/carve/Boundaries.hpp"

#include "core/carve/Registry.hpp"
#include "core/records/RecoverError.hpp"

#include <algorithm>

namespace vellary {
namespace {

constexpr std::uint64_t kSector = 512;
constexpr std::uint64_t kStep = 1024 * 1024;
constexpr std::size_t kSniffBytes = 32;

std::optional<std::uint64_t> search(const BlockReader& reader, std::uint64_t from,
                                    std::uint64_t before, bool blanks) {
    if (from > UINT64_MAX - (kSector - 1)) return std::nullopt;
    std::uint64_t pos = (from + kSector - 1) / kSector * kSector;
    const std::uint64_t end = std::min(reader.size(), before);
    while (end >= pos && end - pos >= kSector) {
        const std::uint64_t len = end - pos >= kStep ? kStep : (end - pos) / kSector * kSector;
        Bytes data;
        try {
            data = reader.read(pos, static_cast<std::int64_t>(len));
        } catch (const RecoverError&) {
            return std::nullopt;
        }
        if (data.size() < len) return std::nullopt;
        for (std::uint64_t s = 0; s < len; s += kSector) {
            const auto* sector = data.data() + s;
            const bool blank = blanks && std::all_of(sector, sector + kSector,
                                                     [](std::uint8_t b) { return b == 0; });
            if (blank || Registry::sniff(ByteSpan(sector, kSniffBytes))) return pos + s;
        }
        pos += len;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::uint64_t> Boundaries::nextFileOrBlank(const BlockReader& reader,
                                                         std::uint64_t from, std::uint64_t before) {
    return search(reader, from, before, true);
}

std::optional<std::uint64_t> Boundaries::nextFile(const BlockReader& reader, std::uint64_t from,
                                                  std::uint64_t before) {
    return search(reader, from, before, false);
}

} // namespace vellary
