#include "core/carve/Signatures.hpp"

#include "core/carve/Registry.hpp"

#include <algorithm>
#include <initializer_list>

namespace vellary {

std::optional<SniffedCarver> Signatures::carver(ByteSpan bytes) {
    if (bytes.size() < 12) return std::nullopt;
    for (const auto* candidate : Registry::byLeadByte()[bytes[0]])
        if (const auto kind = candidate->sniff(bytes)) return SniffedCarver{*kind, candidate};
    return std::nullopt;
}

std::optional<FileKind> Signatures::kind(ByteSpan data) {
    if (const auto sniffed = carver(data)) return sniffed->kind;
    return std::nullopt;
}

bool Signatures::compatible(FileKind a, FileKind b) {
    if (a == b) return true;
    using K = FileKind;
    const std::initializer_list<std::initializer_list<K>> families = {
        {K::tiff, K::cr2, K::nef, K::arw, K::dng, K::pef, K::srw, K::orf, K::rw2},
        {K::mov, K::mp4, K::m4v, K::threegp, K::m4a, K::heic, K::avif, K::cr3},
        {K::zip, K::docx, K::xlsx, K::pptx, K::pages, K::numbers, K::keynote, K::epub},
        {K::doc, K::xls, K::ppt}};
    for (const auto& family : families) {
        const bool hasA = std::find(family.begin(), family.end(), a) != family.end();
        const bool hasB = std::find(family.begin(), family.end(), b) != family.end();
        if (hasA && hasB) return true;
    }
    return a == K::mkv && b == K::webm;
}

} // namespace vellary
