#include "core/formats/Signatures.hpp"

#include "core/formats/Sniff.hpp"

#include <algorithm>
#include <initializer_list>

namespace vellary {

const std::vector<Signature>& Signatures::all() {
    static const std::vector<Signature> signatures = {
        // clang-format off
        {0xFF, &Sniff::jpeg},
        {0x46, &Sniff::raf},
        {0x00, &Sniff::isoMedia},
        {0x49, &Sniff::tiffRaw},
        {0x4D, &Sniff::tiffRaw},
        {0x89, &Sniff::png},
        {0x47, &Sniff::gif},
        {0x52, &Sniff::riff},
        {0x25, &Sniff::pdf},
        {0x50, &Sniff::zip},
        {0xD0, &Sniff::ole2},
        {0x49, &Sniff::mp3},
        {0x66, &Sniff::flac},
        {0x1A, &Sniff::matroska},
        {0x38, &Sniff::psd},
        {0x42, &Sniff::bmp},
        // clang-format on
    };
    return signatures;
}

std::optional<FileKind> Signatures::kind(ByteSpan data) {
    if (data.size() < 12) return std::nullopt;
    for (const auto& signature : all())
        if (signature.lead == data[0])
            if (const auto kind = signature.sniff(data)) return kind;
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
