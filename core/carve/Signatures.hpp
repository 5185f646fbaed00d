#pragma once

#include "core/carve/FormatCarver.hpp"

#include <optional>

namespace vellary {

struct SniffedCarver {
    FileKind kind = FileKind::other;
    const FormatCarver* carver = nullptr;
};

// Signature lookups over the carver registry, also used by the file-system scanners to judge
// whether a file's first bytes match its name.
struct Signatures {
    // Nothing for fewer than 12 bytes.
    static std::optional<SniffedCarver> carver(ByteSpan bytes);
    static std::optional<FileKind> kind(ByteSpan data);
    // a: the sniffed kind; b: the kind expected from the name.
    static bool compatible(FileKind a, FileKind b);
};

} // namespace vellary
