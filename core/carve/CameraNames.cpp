#include "core/carve/CameraNames.hpp"

#include <array>
#include <string_view>

namespace vellary {
namespace {

constexpr std::size_t kNameLength = 12; // DSCF, four digits, a dot, three letters
constexpr std::array<std::string_view, 4> kExtensions = {"JPG", "RAF", "MOV", "HIF"};

} // namespace

std::optional<std::string> CameraNames::find(ByteSpan data, bool utf16) {
    const std::size_t width = utf16 ? 2 : 1;
    const std::size_t chars = data.size() / width;
    if (chars < kNameLength) return std::nullopt;
    // The character at index k, or 0 for a two-byte character outside ASCII's single byte.
    const auto at = [&](std::size_t k) -> std::uint8_t {
        if (utf16 && data[k * 2 + 1] != 0) return 0;
        return data[k * width];
    };
    for (std::size_t k = 0; k + kNameLength <= chars; ++k) {
        if (at(k) != 'D' || at(k + 1) != 'S' || at(k + 2) != 'C' || at(k + 3) != 'F') continue;
        std::string name = "DSCF";
        bool ok = true;
        for (std::size_t d = 4; d < 8 && ok; ++d) {
            const auto c = at(k + d);
            ok = c >= '0' && c <= '9';
            name += static_cast<char>(c);
        }
        if (!ok || at(k + 8) != '.') continue;
        std::string extension;
        for (std::size_t e = 9; e < 12; ++e) {
            auto c = at(k + e);
            if (c >= 'a' && c <= 'z') c = static_cast<std::uint8_t>(c - 'a' + 'A');
            extension += static_cast<char>(c);
        }
        for (const auto known : kExtensions)
            if (extension == known) return name + "." + extension;
    }
    return std::nullopt;
}

} // namespace vellary
