#pragma once

#include "core/carve/FormatCarver.hpp"

namespace vellary {

class ByteWindow;

// PDF documents, ended at the last trailer that no incremental update follows.
class PDFCarver : public FormatCarver {
public:
    std::optional<std::vector<std::uint8_t>> leadBytes() const override;
    std::optional<FileKind> sniff(ByteSpan bytes) const override;
    std::optional<Carved> carve(const BlockReader& reader, std::uint64_t start,
                                FileKind kind) const override;

private:
    [[nodiscard]] static std::optional<Date> parseDate(ByteSpan bytes);
    static bool followsStartXref(ByteWindow& window, std::uint64_t eof, std::uint64_t start);
    static bool updateFollows(ByteWindow& window, std::uint64_t at);
    static std::optional<Date> date(ByteWindow& window, std::uint64_t start, std::uint64_t end);
};

} // namespace vellary
