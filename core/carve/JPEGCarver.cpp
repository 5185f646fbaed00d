#include "core/carve/JPEGCarver.hpp"

#include "core/formats/JPEGFrames.hpp"
#include "core/formats/Sniff.hpp"

#include "core/carve/CameraNames.hpp"
#include "core/carve/HeldWindow.hpp"
#include "core/carve/JPEGData.hpp"
#include "core/carve/MPF.hpp"

#include <algorithm>

namespace vellary {
namespace {

constexpr std::int64_t kWindow = 1024 * 1024;
constexpr std::uint64_t kMinSize = 32;

bool restart(std::uint8_t marker) {
    return marker >= 0xD0 && marker <= 0xD7;
}
bool application(std::uint8_t marker) {
    return marker >= 0xE0 && marker <= 0xEF;
}

// Segments that may sit between the scans of progressive and multi-scan images.
bool betweenScans(std::uint8_t marker) {
    return marker == 0xC4 || marker == 0xDA || marker == 0xDB || marker == 0xDD || marker == 0xFE ||
           application(marker);
}

std::optional<std::string> cameraName(ByteSpan payload) {
    if (auto name = CameraNames::find(payload, false)) return name;
    return CameraNames::find(payload, true);
}

// The offset just past the end-of-image marker that closes the entropy-coded data from `from`.
std::optional<std::uint64_t> scanEntropy(HeldWindow& window, std::uint64_t from) {
    std::uint64_t pos = from;
    for (;;) {
        const auto ff = window.nextUnstuffedFF(pos);
        if (!ff) return std::nullopt;
        const auto b = window.byte(*ff + 1);
        if (!b) return std::nullopt;
        if (*b == 0x00 || restart(*b)) {
            pos = *ff + 2;
        } else if (*b == 0xFF) {
            pos = *ff + 1;
        } else if (*b == 0xD9) {
            return *ff + 2;
        } else if (*b == 0xD8) {
            return std::nullopt;
        } else if (betweenScans(*b)) {
            const auto length = window.u16be(*ff + 2);
            if (!length || *length < 2) return std::nullopt;
            pos = *ff + 2 + *length;
        } else {
            pos = *ff + 2;
        }
    }
}

} // namespace

std::optional<std::vector<std::uint8_t>> JPEGCarver::leadBytes() const {
    return std::vector<std::uint8_t>{0xFF};
}

std::optional<FileKind> JPEGCarver::sniff(ByteSpan bytes) const {
    return Sniff::jpeg(bytes);
}

std::optional<Carved> JPEGCarver::carve(const BlockReader& reader, std::uint64_t start,
                                        FileKind) const {
    return carved(measure(reader, start));
}

std::optional<Carved> JPEGCarver::carved(const std::optional<Parsed>& parsed) {
    if (!parsed) return std::nullopt;
    Carved carved;
    carved.kind = FileKind::jpeg;
    carved.size = parsed->size;
    if (parsed->exif) {
        carved.modified = parsed->exif->date;
        carved.device = parsed->exif->device();
    }
    carved.nameHint = parsed->nameHint;
    carved.complete = parsed->complete;
    if (!parsed->complete) carved.verified = parsed->headers;
    return carved;
}

std::optional<JPEGCarver::Parsed> JPEGCarver::measure(const BlockReader& reader,
                                                      std::uint64_t start,
                                                      std::optional<std::uint64_t> limit) {
    const std::uint64_t maxLength = limit.value_or(kDefaultLimit);
    const std::uint64_t end = std::min(saturatingAdd(start, maxLength), reader.size());
    HeldWindow window(reader, end, kWindow);
    if (window.byte(start) != 0xFF || window.byte(start + 1) != 0xD8) return std::nullopt;

    Parsed parsed;
    std::uint64_t pos = start + 2;
    bool sawFrame = false;
    bool scanned = false; // a scan's data decoded; what follows may only be more scans or EOI
    JPEGData data;
    std::vector<std::uint64_t> mpfEnds;
    // Ends the file short at stop: the data decoded this far and no further.
    const auto cutShort = [&](std::uint64_t stop) -> std::optional<Parsed> {
        parsed.size = stop - start;
        parsed.complete = false;
        if (parsed.size < kMinSize) return std::nullopt;
        return parsed;
    };
    while (pos < end) {
        if (window.byte(pos) != 0xFF) return scanned ? cutShort(pos) : std::nullopt;
        std::uint64_t m = pos + 1;
        std::optional<std::uint8_t> marker;
        while ((marker = window.byte(m)) == 0xFF)
            ++m;
        if (!marker) return scanned ? cutShort(pos) : std::nullopt;
        if (*marker == 0x01 || restart(*marker)) {
            pos = m + 1;
            continue;
        }
        if (*marker == 0xD9 && scanned) {
            parsed.size = m + 1 - start;
            if (!mpfEnds.empty()) {
                const auto x = *std::max_element(mpfEnds.begin(), mpfEnds.end());
                if (m + 1 < x && x <= end) parsed.size = x - start;
            }
            if (parsed.size < kMinSize) return std::nullopt;
            return parsed;
        }
        if (*marker == 0xD8 || *marker == 0xD9) return scanned ? cutShort(pos) : std::nullopt;
        const auto length = window.u16be(m + 1);
        if (!length || *length < 2) return scanned ? cutShort(pos) : std::nullopt;
        const std::uint64_t p = m + 3;
        const std::int64_t payloadLength = *length - 2;
        const std::uint64_t next = p + static_cast<std::uint64_t>(payloadLength);
        const auto segment = [&] {
            return payloadLength > 0 ? window.bytes(p, payloadLength)
                                     : std::optional<Bytes>(Bytes{});
        };
        if (JPEGFrames::isStartOfFrame(*marker)) {
            sawFrame = true;
            // A frame header the data check cannot use leaves the scans measured by markers.
            if (const auto frame = segment()) data.defineFrame(*marker, *frame);
        } else if (*marker == 0xC4 || *marker == 0xDD) {
            const auto tables = segment();
            if (!tables) return scanned ? cutShort(pos) : std::nullopt;
            const bool fine =
                *marker == 0xC4 ? data.defineTables(*tables) : data.defineRestartInterval(*tables);
            if (!fine) return scanned ? cutShort(pos) : std::nullopt;
        } else if (*marker == 0xE1) {
            if (const auto payload = window.bytes(p, payloadLength)) {
                if (!parsed.exif) parsed.exif = EXIF::summaryInAPP1(*payload);
                if (!parsed.nameHint) parsed.nameHint = cameraName(*payload);
            }
        } else if (*marker == 0xE2) {
            if (const auto payload = window.bytes(p, payloadLength))
                if (const auto ends = MPF::imageEnds(*payload, p, window))
                    mpfEnds.insert(mpfEnds.end(), ends->begin(), ends->end());
        } else if ((application(*marker) && *marker >= 0xE3) || *marker == 0xFE) {
            if (!parsed.nameHint)
                if (const auto payload = window.bytes(p, payloadLength))
                    parsed.nameHint = cameraName(*payload);
        } else if (*marker == 0xDA) {
            if (!sawFrame) return std::nullopt;
            if (!scanned) parsed.headers = next - start;
            if (data.supported()) {
                const auto header = segment();
                if (!header) return scanned ? cutShort(pos) : std::nullopt;
                const auto scan = data.scan(*header, window, next);
                if (scan.checked) {
                    if (!scan.decoded) return cutShort(std::max(scan.at, next));
                    scanned = true;
                    pos = scan.at;
                    continue;
                }
            }
            // Codings the data check does not follow are measured by their markers alone.
            const auto e = scanEntropy(window, next);
            if (!e) return std::nullopt;
            parsed.size = *e - start;
            if (!mpfEnds.empty()) {
                const auto x = *std::max_element(mpfEnds.begin(), mpfEnds.end());
                if (*e < x && x <= end) parsed.size = x - start;
            }
            if (parsed.size < kMinSize) return std::nullopt;
            return parsed;
        }
        pos = next;
    }
    return scanned ? cutShort(std::min(pos, end)) : std::nullopt;
}

} // namespace vellary
