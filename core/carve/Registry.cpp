#include "core/carve/Registry.hpp"

#include "core/carve/BMPCarver.hpp"
#include "core/carve/FLACCarver.hpp"
#include "core/carve/GIFCarver.hpp"
#include "core/carve/ISOMediaCarver.hpp"
#include "core/carve/JPEGCarver.hpp"
#include "core/carve/MP3Carver.hpp"
#include "core/carve/MatroskaCarver.hpp"
#include "core/carve/OLE2Carver.hpp"
#include "core/carve/PDFCarver.hpp"
#include "core/carve/PNGCarver.hpp"
#include "core/carve/PSDCarver.hpp"
#include "core/carve/RAFCarver.hpp"
#include "core/carve/RIFFCarver.hpp"
#include "core/carve/TIFFRawCarver.hpp"
#include "core/carve/ZIPCarver.hpp"

namespace vellary {
namespace {

// Carvers are stateless, so one instance of each serves every scan and thread.
template <typename C> const FormatCarver* one() {
    static const C carver;
    return &carver;
}

} // namespace

const std::vector<const FormatCarver*>& Registry::all() {
    // The one table of carvers. The order is fixed: carvers sharing a lead byte are tried in it.
    static const std::vector<const FormatCarver*> carvers = {
        // clang-format off
        one<JPEGCarver>(),
        one<RAFCarver>(),
        one<ISOMediaCarver>(),
        one<TIFFRawCarver>(),
        one<PNGCarver>(),
        one<GIFCarver>(),
        one<RIFFCarver>(),
        one<PDFCarver>(),
        one<ZIPCarver>(),
        one<OLE2Carver>(),
        one<MP3Carver>(),
        one<FLACCarver>(),
        one<MatroskaCarver>(),
        one<PSDCarver>(),
        one<BMPCarver>(),
        // clang-format on
    };
    return carvers;
}

Registry::LeadTable Registry::leadTable(const std::vector<const FormatCarver*>& carvers) {
    LeadTable byte;
    for (const auto* carver : carvers) {
        const auto leads = carver->leadBytes();
        if (!leads) {
            for (auto& list : byte)
                list.push_back(carver);
            continue;
        }
        for (const auto lead : *leads)
            byte[lead].push_back(carver);
    }
    return byte;
}

const Registry::LeadTable& Registry::byLeadByte() {
    static const LeadTable table = leadTable(all());
    return table;
}

std::optional<SniffedCarver> Registry::sniff(ByteSpan bytes) {
    if (bytes.size() < 12) return std::nullopt;
    for (const auto* candidate : byLeadByte()[bytes[0]])
        if (const auto kind = candidate->sniff(bytes)) return SniffedCarver{*kind, candidate};
    return std::nullopt;
}

} // namespace vellary
