#pragma once

#include "core/carve/FormatCarver.hpp"

#include <string>

namespace vellary {

class ByteWindow;

// RIFF files: AVI (with OpenDML extension parts), WAV and WebP, measured by walking the chunks.
class RIFFCarver : public FormatCarver {
public:
    std::optional<std::vector<std::uint8_t>> leadBytes() const override;
    std::optional<FileKind> sniff(ByteSpan bytes) const override;
    std::optional<Carved> carve(const BlockReader& reader, std::uint64_t start,
                                FileKind kind) const override;

private:
    struct Walked {
        std::uint64_t end = 0;
        std::vector<std::string> chunks;
        std::vector<std::string> lists;
        std::optional<Date> date;
        std::optional<std::string> device;
    };
    static std::optional<Walked> walk(ByteWindow& window, std::uint64_t at);
    static void readMetadata(ByteWindow& window, const std::string& id, std::uint64_t body,
                             std::uint32_t size, Walked& into);
};

} // namespace vellary
