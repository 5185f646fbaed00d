#include "core/carve/BMPCarver.hpp"

namespace vellary {

std::optional<std::vector<std::uint8_t>> BMPCarver::leadBytes() const {
    return std::vector<std::uint8_t>{0x42};
}

std::optional<FileKind> BMPCarver::sniff(ByteSpan) const {
    return std::nullopt;
}

std::optional<Carved> BMPCarver::carve(const BlockReader&, std::uint64_t, FileKind) const {
    return std::nullopt;
}

} // namespace vellary
