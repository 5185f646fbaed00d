#pragma once

#include "core/carve/TIFFBytes.hpp"
#include "core/records/Date.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace vellary {

// Capture date and camera from EXIF metadata.
struct EXIF {
    struct Summary {
        std::optional<Date> date;
        std::optional<std::string> make;
        std::optional<std::string> model;

        // The camera's name for people: "Fujifilm X-T4", or the model alone when it already
        // names its maker.
        std::optional<std::string> device() const;
    };

    // An APP1 payload: "Exif", two zero bytes, then a TIFF structure.
    static std::optional<Summary> summaryInAPP1(ByteSpan payload);
    // A TIFF structure (also the header of many RAW files); nothing when it holds neither a date
    // nor a make nor a model.
    static std::optional<Summary> summaryInTIFF(ByteSpan data);
    static std::optional<Summary> summaryInTIFF(const TIFFBytes& tiff);
    // "2021:05:03 14:22:10" or "2021-05-03T14:22:10Z", local time, years 1980 to 2100.
    [[nodiscard]] static std::optional<Date> parseDate(std::string_view text);
};

} // namespace vellary
