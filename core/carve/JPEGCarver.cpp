#include "core/carve/JPEGCarver.hpp"

namespace vellary {

std::optional<std::vector<std::uint8_t>> JPEGCarver::leadBytes() const {
    return std::vector<std::uint8_t>{0xFF};
}

std::optional<FileKind> JPEGCarver::sniff(ByteSpan) const {
    return std::nullopt;
}

std::optional<Carved> JPEGCarver::carve(const BlockReader&, std::uint64_t, FileKind) const {
    return std::nullopt;
}

} // namespace vellary
