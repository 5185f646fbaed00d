#pragma once

#include "core/io/Binary.hpp"
#include "core/records/FileKind.hpp"

#include <optional>
#include <vector>

namespace vellary {

// One format's recogniser: the byte its files start with and its magic-byte check.
struct Signature {
    std::uint8_t lead = 0;
    std::optional<FileKind> (*sniff)(ByteSpan bytes) = nullptr;
};

// File-type sniffing shared by both passes: the deep scan tries these at every boundary, the
// file-system scanners judge whether a file's first bytes match its name.
struct Signatures {
    // Every format, in the order formats sharing a lead byte are tried (the carvers' order).
    static const std::vector<Signature>& all();
    // Nothing for fewer than 12 bytes.
    [[nodiscard]] static std::optional<FileKind> kind(ByteSpan data);
    // a: the sniffed kind; b: the kind expected from the name.
    [[nodiscard]] static bool compatible(FileKind a, FileKind b);
};

} // namespace vellary
