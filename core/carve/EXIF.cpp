#include "core/carve/EXIF.hpp"

#include "core/io/Binary.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace vellary {
namespace {

constexpr std::uint16_t kMake = 0x010F;
constexpr std::uint16_t kModel = 0x0110;
constexpr std::uint16_t kDateTime = 0x0132;
constexpr std::uint16_t kExifDirectory = 0x8769;
constexpr std::uint16_t kDateTaken = 0x9003;
constexpr std::uint16_t kDateDigitised = 0x9004;

// Header magic numbers: TIFF, Panasonic RW2, Olympus ORF ("RO" and "RS").
constexpr std::array<std::uint16_t, 4> kMagics = {42, 0x55, 0x4F52, 0x5352};

struct Maker {
    std::string_view key;
    std::string_view display;
};
constexpr std::array<Maker, 17> kMakers = {{{"fujifilm", "Fujifilm"},
                                            {"nikon", "Nikon"},
                                            {"canon", "Canon"},
                                            {"sony", "Sony"},
                                            {"olympus", "Olympus"},
                                            {"om digital", "OM System"},
                                            {"panasonic", "Panasonic"},
                                            {"pentax", "Pentax"},
                                            {"ricoh", "Ricoh"},
                                            {"leica", "Leica"},
                                            {"samsung", "Samsung"},
                                            {"apple", "Apple"},
                                            {"gopro", "GoPro"},
                                            {"dji", "DJI"},
                                            {"hasselblad", "Hasselblad"},
                                            {"sigma", "Sigma"},
                                            {"google", "Google"}}};

std::string lower(std::string_view text) {
    std::string out(text);
    for (auto& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// A non-empty run of decimal digits, small enough not to overflow.
std::optional<int> decimal(std::string_view text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

std::optional<std::string> EXIF::Summary::device() const {
    if (!make) return model;
    std::string tidy = *make;
    const auto lowerMake = lower(*make);
    for (const auto& maker : kMakers) {
        if (lowerMake.starts_with(maker.key)) {
            tidy = maker.display;
            break;
        }
    }
    if (!model) return tidy;
    const auto lowerModel = lower(*model);
    if (lowerModel.starts_with(lower(tidy)) || lowerModel.starts_with(lowerMake)) return model;
    return tidy + " " + *model;
}

std::optional<EXIF::Summary> EXIF::summaryInAPP1(ByteSpan payload) {
    static constexpr std::uint8_t kHeader[] = {'E', 'x', 'i', 'f', 0, 0};
    if (payload.size() <= 14 || std::memcmp(payload.data(), kHeader, sizeof kHeader) != 0)
        return std::nullopt;
    return summaryInTIFF(payload.subspan(sizeof kHeader));
}

std::optional<EXIF::Summary> EXIF::summaryInTIFF(ByteSpan data) {
    const auto tiff = TIFFBytes::make(data);
    if (!tiff) return std::nullopt;
    return summaryInTIFF(*tiff);
}

std::optional<EXIF::Summary> EXIF::summaryInTIFF(const TIFFBytes& tiff) {
    const auto magic = tiff.u16(2);
    if (!magic || std::find(kMagics.begin(), kMagics.end(), *magic) == kMagics.end())
        return std::nullopt;
    const auto first = tiff.entries(tiff.firstDirectory());
    Summary summary;
    if (const auto entry = TIFFBytes::find(first, kMake)) summary.make = tiff.string(*entry);
    if (const auto entry = TIFFBytes::find(first, kModel)) summary.model = tiff.string(*entry);
    if (const auto sub = TIFFBytes::find(first, kExifDirectory)) {
        const auto exif = tiff.entries(sub->valueOffset);
        for (const auto tag : {kDateTaken, kDateDigitised}) {
            const auto entry = TIFFBytes::find(exif, tag);
            if (!entry) continue;
            if (const auto text = tiff.string(*entry)) summary.date = parseDate(*text);
            if (summary.date) break;
        }
    }
    if (!summary.date) {
        if (const auto entry = TIFFBytes::find(first, kDateTime))
            if (const auto text = tiff.string(*entry)) summary.date = parseDate(*text);
    }
    if (!summary.date && !summary.make && !summary.model) return std::nullopt;
    return summary;
}

std::optional<Date> EXIF::parseDate(std::string_view text) {
    std::vector<std::string_view> pieces;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto stop = text.find_first_of(": -T", i);
        const auto piece = text.substr(i, stop == std::string_view::npos ? stop : stop - i);
        if (!piece.empty()) pieces.push_back(piece);
        if (stop == std::string_view::npos) break;
        i = stop + 1;
    }
    if (pieces.size() < 6) return std::nullopt;
    std::array<int, 6> parts{};
    for (std::size_t k = 0; k < 6; ++k) {
        const auto value = decimal(k < 5 ? pieces[k] : pieces[k].substr(0, 2));
        if (!value) return std::nullopt;
        parts[k] = *value;
    }
    const auto [year, month, day, hour, minute, second] = parts;
    if (year < 1980 || year > 2100 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second > 59)
        return std::nullopt;
    return Binary::localDate(year, month, day, hour, minute, second);
}

} // namespace vellary
