#include "core/carve/MatroskaCarver.hpp"

#include "core/formats/Sniff.hpp"

#include "core/io/ByteWindow.hpp"

#include <algorithm>
#include <array>
#include <ctime>

namespace vellary {
namespace {

constexpr std::uint64_t kRange = 64ULL * 1024 * 1024 * 1024;
constexpr std::int64_t kWindow = 256 * 1024;

constexpr std::uint32_t kEBMLHeader = 0x1A45DFA3;
constexpr std::uint32_t kDocType = 0x4282;
constexpr std::uint32_t kSegment = 0x18538067;
constexpr std::uint32_t kInfo = 0x1549A966;
constexpr std::uint32_t kTracks = 0x1654AE6B;
constexpr std::uint32_t kCluster = 0x1F43B675;
constexpr std::uint32_t kVoid = 0xEC;
constexpr std::uint32_t kCRC32 = 0xBF;
constexpr std::uint32_t kDateUTC = 0x4461;

constexpr std::array<std::uint32_t, 10> kTopLevel = {0x114D9B74, kInfo,      kTracks,    kCluster,
                                                     0x1C53BB6B, 0x1941A469, 0x1043A770, 0x1254C367,
                                                     kVoid,      kCRC32};
constexpr std::array<std::uint32_t, 9> kClusterChildren = {0xE7, 0x5854, 0xA7,  0xAB,  0xA3,
                                                           0xA0, 0xAF,   kVoid, kCRC32};

constexpr std::int64_t kMaxKnownChildren = 64;
constexpr std::int64_t kMaxLiveChildren = 10000000;
constexpr std::uint64_t kMaxVoid = 16 * 1024 * 1024;
constexpr std::uint64_t kMaxInfo = 64 * 1024;
constexpr double kEpoch2001 = 978307200.0; // 2001-01-01 00:00:00 UTC

template <std::size_t N> bool contains(const std::array<std::uint32_t, N>& set, std::uint32_t id) {
    return std::find(set.begin(), set.end(), id) != set.end();
}

struct Element {
    std::uint32_t id = 0;
    std::optional<std::uint64_t> size; // absent: unknown
    std::uint64_t dataStart = 0;

    // The offset just past the element, when its size is known and the sum does not overflow.
    std::optional<std::uint64_t> end() const {
        std::uint64_t e = 0;
        if (!size || __builtin_add_overflow(dataStart, *size, &e)) return std::nullopt;
        return e;
    }
};

// An EBML ID (1-4 bytes, first byte at least 10 hex) and a size (1-8 bytes) from a buffer.
std::optional<Element> parseElement(ByteSpan b, std::uint64_t at) {
    if (b.empty() || b[0] < 0x10) return std::nullopt;
    const int idLength = b[0] >= 0x80 ? 1 : b[0] >= 0x40 ? 2 : b[0] >= 0x20 ? 3 : 4;
    if (b.size() < static_cast<std::size_t>(idLength) + 1) return std::nullopt;
    Element e;
    for (int k = 0; k < idLength; ++k)
        e.id = (e.id << 8) | b[static_cast<std::size_t>(k)];
    const std::uint8_t first = b[static_cast<std::size_t>(idLength)];
    if (first == 0) return std::nullopt;
    int sizeLength = 1;
    while (!(first & (0x80 >> (sizeLength - 1))))
        ++sizeLength;
    if (b.size() < static_cast<std::size_t>(idLength + sizeLength)) return std::nullopt;
    std::uint64_t value = first & (0xFF >> sizeLength);
    for (int k = 1; k < sizeLength; ++k)
        value = (value << 8) | b[static_cast<std::size_t>(idLength + k)];
    const std::uint64_t allOnes = (1ULL << (7 * sizeLength)) - 1;
    if (value != allOnes) e.size = value;
    e.dataStart = at + static_cast<std::uint64_t>(idLength + sizeLength);
    return e;
}

std::optional<Element> element(ByteWindow& window, std::uint64_t at) {
    if (at >= window.end()) return std::nullopt;
    const auto count = static_cast<std::int64_t>(std::min<std::uint64_t>(12, window.end() - at));
    const auto view = window.view(at, count);
    if (!view) return std::nullopt;
    return parseElement(*view, at);
}

// The children of an element held whole in memory, as (element, body).
template <typename F> void eachChild(ByteSpan body, F&& f) {
    std::uint64_t pos = 0;
    while (pos < body.size()) {
        const auto e = parseElement(body.subspan(pos), pos);
        const auto end = e ? e->end() : std::nullopt;
        if (!end || *end > body.size()) return;
        f(*e, body.subspan(e->dataStart, *e->size));
        pos = *end;
    }
}

std::optional<FileKind> docType(ByteSpan header) {
    std::optional<FileKind> kind;
    eachChild(header, [&](const Element& e, ByteSpan value) {
        if (e.id != kDocType || kind) return;
        std::string text(reinterpret_cast<const char*>(value.data()), value.size());
        while (!text.empty() && text.back() == '\0')
            text.pop_back();
        if (text == "webm") kind = FileKind::webm;
        if (text == "matroska") kind = FileKind::mkv;
    });
    return kind;
}

std::optional<Date> date(ByteSpan info) {
    std::optional<Date> found;
    eachChild(info, [&](const Element& e, ByteSpan value) {
        if (e.id != kDateUTC || value.size() != 8 || found) return;
        const auto nanoseconds = static_cast<std::int64_t>(Binary::rawU64be(value.data()));
        const double seconds = kEpoch2001 + static_cast<double>(nanoseconds) / 1e9;
        const auto whole = static_cast<std::time_t>(seconds);
        std::tm local{};
        if (localtime_r(&whole, &local) == nullptr) return;
        const int year = local.tm_year + 1900;
        if (year >= 1995 && year <= 2100) found = dateFromUnixSeconds(seconds);
    });
    return found;
}

// Where a Cluster of unknown size ends: at the first element that is not one of its children.
// An element running past the limit ends it at that element's start.
std::optional<std::uint64_t> clusterEnd(ByteWindow& window, std::uint64_t from,
                                        std::uint64_t limit) {
    std::uint64_t pos = from;
    while (pos < limit) {
        const auto e = element(window, pos);
        if (!e || !contains(kClusterChildren, e->id)) break;
        if (!e->size) return std::nullopt;
        const auto end = e->end();
        if (!end || *end > limit) break;
        pos = *end;
    }
    return std::min(pos, limit);
}

struct SegmentWalk {
    std::int64_t elements = 0;
    bool sawInfo = false;
    bool sawTracks = false;
    std::int64_t clusters = 0;
    std::optional<Date> date;
    std::uint64_t stoppedAt = 0;
};

// The Segment's children from pos, up to limit. An element that does not fit before the limit
// ends the walk at its start rather than being trusted.
SegmentWalk walkSegment(ByteWindow& window, std::uint64_t pos, std::uint64_t limit,
                        std::int64_t maxChildren) {
    SegmentWalk walk;
    while (walk.elements < maxChildren && pos < limit) {
        const auto e = element(window, pos);
        if (!e || !contains(kTopLevel, e->id)) break;
        if (e->id == kVoid && (!e->size || *e->size > kMaxVoid)) break;
        if (e->id == kCRC32 && e->size != 4u) break;
        std::optional<std::uint64_t> end = e->end();
        if (e->id == kCluster && !e->size) {
            end = clusterEnd(window, e->dataStart, limit);
            if (!end) break;
        }
        if (!end || *end > limit) break;
        if (e->id == kTracks) walk.sawTracks = true;
        if (e->id == kCluster) ++walk.clusters;
        if (e->id == kInfo) {
            walk.sawInfo = true;
            if (*e->size <= kMaxInfo && !walk.date) {
                if (const auto body =
                        window.bytes(e->dataStart, static_cast<std::int64_t>(*e->size)))
                    walk.date = date(*body);
            }
        }
        ++walk.elements;
        pos = *end;
    }
    walk.stoppedAt = pos;
    return walk;
}

} // namespace

std::optional<std::vector<std::uint8_t>> MatroskaCarver::leadBytes() const {
    return std::vector<std::uint8_t>{0x1A};
}

std::optional<FileKind> MatroskaCarver::sniff(ByteSpan bytes) const {
    return Sniff::matroska(bytes);
}

std::optional<Carved> MatroskaCarver::carve(const BlockReader& reader, std::uint64_t start,
                                            FileKind) const {
    ByteWindow window(reader, std::min(reader.size(), start + kRange), kWindow);
    const auto header = element(window, start);
    if (!header || header->id != kEBMLHeader || !header->size || *header->size < 8 ||
        *header->size > 4096)
        return std::nullopt;
    const auto body = window.bytes(header->dataStart, static_cast<std::int64_t>(*header->size));
    if (!body) return std::nullopt;
    const auto kind = docType(*body);
    if (!kind) return std::nullopt;

    const auto segment = element(window, header->dataStart + *header->size);
    if (!segment || segment->id != kSegment) return std::nullopt;

    std::uint64_t end = 0;
    std::optional<Date> modified;
    if (segment->size) {
        const auto segmentEnd = segment->end();
        if (!segmentEnd || *segmentEnd > window.end()) return std::nullopt;
        const auto walk = walkSegment(window, segment->dataStart, *segmentEnd, kMaxKnownChildren);
        const bool whole = walk.elements == kMaxKnownChildren || walk.stoppedAt == *segmentEnd;
        if (!whole || !(walk.sawInfo || walk.sawTracks)) return std::nullopt;
        end = *segmentEnd;
        modified = walk.date;
    } else {
        // A live recording: the Segment ends where its children stop.
        const auto walk = walkSegment(window, segment->dataStart, window.end(), kMaxLiveChildren);
        if (walk.elements < 1 || !walk.sawTracks || walk.clusters < 1) return std::nullopt;
        end = walk.stoppedAt;
        modified = walk.date;
    }

    Carved carved;
    carved.kind = *kind;
    carved.size = end - start;
    carved.modified = modified;
    carved.complete = true;
    return carved;
}

} // namespace vellary
