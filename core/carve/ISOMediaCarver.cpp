#include "core/carve/ISOMediaCarver.hpp"

#include "core/formats/Sniff.hpp"

#include "core/carve/Boundaries.hpp"
#include "core/carve/CarveRead.hpp"

#include <algorithm>
#include <array>
#include <ctime>
#include <set>
#include <string_view>

namespace vellary {

namespace {

constexpr std::uint64_t kMaxSpan = 274'877'906'944; // 256 GiB
constexpr std::uint64_t kMaxFtyp = 512;
constexpr std::uint64_t kMinLength = 4096;
constexpr int kMaxBoxes = 10'000;
constexpr std::int64_t kMoovDateRead = 65'536;
constexpr std::int64_t kSecondsFrom1904To1970 = 2'082'844'800;
// Larger movie boxes are not searched for their chunk offsets.
constexpr std::uint64_t kMaxMoovRead = 16 * 1024 * 1024;

using Type = std::array<char, 4>;

constexpr std::array<std::string_view, 23> kKnownBoxes = {
    "ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "meta", "pnot", "PICT", "udta", "moof",
    "mfra", "sidx", "styp", "pdin", "prfl", "emsg", "junk", "pict", "idat", "iinf", "iloc"};

std::string_view text(const std::uint8_t* p) {
    return {reinterpret_cast<const char*>(p), 4};
}

// The compatible brands may turn a generic major brand into CR3 or AVIF.
std::optional<FileKind> refine(ByteSpan ftyp, FileKind sniffed) {
    if (ftyp.size() < 16) return std::nullopt;
    bool crx = false;
    bool avif = false;
    for (std::size_t at = 16; at + 4 <= ftyp.size(); at += 4) {
        const auto brand = text(ftyp.data() + at);
        crx = crx || brand == "crx ";
        avif = avif || brand == "avif";
    }
    if (sniffed == FileKind::mp4 && crx) return FileKind::cr3;
    if (sniffed == FileKind::heic && avif) return FileKind::avif;
    return sniffed;
}

bool isImageKind(FileKind kind) {
    return kind == FileKind::heic || kind == FileKind::avif;
}

bool isMovieKind(FileKind kind) {
    return kind == FileKind::mov || kind == FileKind::mp4 || kind == FileKind::m4v ||
           kind == FileKind::threegp;
}

bool complete(FileKind kind, const std::set<std::string_view>& seen) {
    const bool media = seen.contains("mdat") || seen.contains("idat") || seen.contains("moof");
    if (media) return seen.contains(isImageKind(kind) ? "meta" : "moov");
    return isImageKind(kind) && seen.contains("meta");
}

std::optional<int> localYear(std::int64_t unixSeconds) {
    const auto t = static_cast<std::time_t>(unixSeconds);
    std::tm parts{};
    if (localtime_r(&t, &parts) == nullptr) return std::nullopt;
    return parts.tm_year + 1900;
}

// The movie header's creation time, seconds since 1904 in UTC.
std::optional<Date> creationDate(const BlockReader& reader, std::uint64_t moov,
                                 std::uint64_t moovSize) {
    const auto count = static_cast<std::int64_t>(std::min<std::uint64_t>(moovSize, kMoovDateRead));
    const auto data = CarveRead::upTo(reader, moov, count);
    if (!data) return std::nullopt;
    const ByteSpan box(*data);
    std::int64_t k = 8;
    while (Binary::fits(box, k, 8)) {
        const auto size = Binary::rawU32be(box.data() + k);
        if (size < 8) return std::nullopt;
        if (text(box.data() + k + 4) != "mvhd") {
            k += size;
            continue;
        }
        if (!Binary::fits(box, k, 24)) return std::nullopt;
        const bool wide = box[static_cast<std::size_t>(k + 8)] == 1;
        const std::uint64_t created =
            wide ? *Binary::u64be(box, k + 12) : *Binary::u32be(box, k + 12);
        if (created == 0) return std::nullopt;
        // Anything beyond 2200 is out of range anyway; keeps the subtraction in range.
        if (created > 9'000'000'000ULL) return std::nullopt;
        const auto unix = static_cast<std::int64_t>(created) - kSecondsFrom1904To1970;
        const auto year = localYear(unix);
        if (!year || *year < 1995 || *year > 2100) return std::nullopt;
        return dateFromUnixSeconds(static_cast<double>(unix));
    }
    return std::nullopt;
}

struct Extent {
    std::uint64_t from = 0;
    std::uint64_t to = 0;
};

// One sample table's boxes, as far as where its samples lie.
struct SampleTable {
    std::vector<std::uint64_t> chunks;                         // stco or co64
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs; // stsc: first chunk, samples each
    std::uint32_t fixedSize = 0;      // stsz: one size for every sample, or 0
    std::vector<std::uint32_t> sizes; // stsz: each sample's size
};

// The full boxes' entry tables, read from a body: version and flags, entry count, entries.
bool readTable(ByteSpan moov, std::size_t body, std::size_t end, std::string_view type,
               SampleTable& table) {
    if (end - body < 8) return false;
    const auto* b = moov.data() + body;
    const std::size_t room = end - body - 8;
    if (type == "stsz") {
        if (end - body < 12) return false;
        table.fixedSize = Binary::rawU32be(b + 4);
        const std::uint64_t count = Binary::rawU32be(b + 8);
        if (table.fixedSize != 0) return true;
        if (count > (room - 4) / 4) return false;
        for (std::uint64_t i = 0; i < count; ++i)
            table.sizes.push_back(Binary::rawU32be(b + 12 + 4 * i));
        return true;
    }
    const std::uint64_t count = Binary::rawU32be(b + 4);
    const std::size_t width = type == "stsc" ? 12 : type == "stco" ? 4 : 8;
    if (count > room / width) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto* e = b + 8 + i * width;
        if (type == "stsc")
            table.runs.emplace_back(Binary::rawU32be(e), Binary::rawU32be(e + 4));
        else
            table.chunks.push_back(width == 4 ? Binary::rawU32be(e) : Binary::rawU64be(e));
    }
    return true;
}

// Appends where each sample of the table starts (offsets from the file's start).
void sampleStarts(const SampleTable& table, std::vector<std::uint64_t>& starts) {
    std::size_t sample = 0;
    std::size_t run = 0;
    for (std::size_t chunk = 0; chunk < table.chunks.size(); ++chunk) {
        while (run + 1 < table.runs.size() && table.runs[run + 1].first <= chunk + 1)
            ++run;
        const std::uint32_t perChunk = table.runs.empty() ? 1 : table.runs[run].second;
        std::uint64_t at = table.chunks[chunk];
        starts.push_back(at);
        for (std::uint32_t i = 0; i < perChunk && starts.size() < 4'000'000; ++i, ++sample) {
            const std::uint64_t size = table.fixedSize != 0          ? table.fixedSize
                                       : sample < table.sizes.size() ? table.sizes[sample]
                                                                     : 0;
            if (size == 0) break;
            at += size;
            if (i + 1 < perChunk) starts.push_back(at);
        }
    }
}

// Collects the chunk offsets and sample starts under the box body [at, end) of moov; false when
// a table is malformed.
bool samples(ByteSpan moov, std::size_t at, std::size_t end, int depth,
             std::vector<std::uint64_t>& chunks, std::vector<std::uint64_t>& starts) {
    SampleTable table;
    while (at + 8 <= end) {
        const std::uint64_t size = Binary::rawU32be(moov.data() + at);
        if (size < 8 || size > end - at) return false;
        const auto type = text(moov.data() + at + 4);
        const std::size_t body = at + 8;
        const std::size_t bodyEnd = at + static_cast<std::size_t>(size);
        if (type == "trak" || type == "mdia" || type == "minf" || type == "stbl") {
            if (depth < 4 && !samples(moov, body, bodyEnd, depth + 1, chunks, starts)) return false;
        } else if (type == "stco" || type == "co64" || type == "stsc" || type == "stsz") {
            if (!readTable(moov, body, bodyEnd, type, table)) return false;
        }
        at = bodyEnd;
    }
    chunks.insert(chunks.end(), table.chunks.begin(), table.chunks.end());
    sampleStarts(table, starts);
    return true;
}

// Where the movie box says its chunks and samples lie, from the file's start; nothing when its
// tables are malformed. A movie box too large to read gives empty lists.
std::optional<std::pair<std::vector<std::uint64_t>, std::vector<std::uint64_t>>>
movieSamples(const BlockReader& reader, std::uint64_t moov, std::uint64_t moovSize) {
    std::pair<std::vector<std::uint64_t>, std::vector<std::uint64_t>> found;
    if (moovSize > kMaxMoovRead) return found;
    const auto data = CarveRead::exact(reader, moov, static_cast<std::int64_t>(moovSize));
    if (!data) return std::nullopt;
    if (!samples(*data, 8, data->size(), 0, found.first, found.second)) return std::nullopt;
    std::sort(found.second.begin(), found.second.end());
    return found;
}

// Whether a media-data box holds the start of another file: a recognised signature on a sector
// boundary where no sample of this movie starts. The offset where it does.
std::optional<std::uint64_t> otherFileInside(const BlockReader& reader, std::uint64_t start,
                                             const Extent& media,
                                             const std::vector<std::uint64_t>& sampleAt) {
    std::uint64_t from = media.from;
    while (const auto hit = Boundaries::nextFile(reader, from, media.to)) {
        if (!std::binary_search(sampleAt.begin(), sampleAt.end(), *hit - start)) return hit;
        from = *hit + 1;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::vector<std::uint8_t>> ISOMediaCarver::leadBytes() const {
    return std::vector<std::uint8_t>{0x00};
}

std::optional<FileKind> ISOMediaCarver::sniff(ByteSpan bytes) const {
    return Sniff::isoMedia(bytes);
}

std::optional<Carved> ISOMediaCarver::carve(const BlockReader& reader, std::uint64_t start,
                                            FileKind kind) const {
    const auto sourceSize = reader.size();
    if (start >= sourceSize) return std::nullopt;
    const auto end = start + std::min(sourceSize - start, kMaxSpan);

    std::set<std::string_view> seen;
    int boxes = 0;
    std::optional<std::uint64_t> moov;
    std::uint64_t moovSize = 0;
    std::uint64_t pos = start;
    std::vector<Extent> media; // the bodies of the media-data boxes
    bool cutOff = false;

    while (boxes < kMaxBoxes) {
        if (end - pos < 8) break;
        const auto head = CarveRead::upTo(reader, pos, 16);
        if (!head || head->size() < 8) break;
        const auto* h = head->data();
        const auto type = text(h + 4);
        if (!std::all_of(type.begin(), type.end(), [](char c) { return c >= 0x20 && c <= 0x7E; }))
            break;

        std::uint64_t boxSize = Binary::rawU32be(h);
        const std::uint64_t headerSize = boxSize == 1 ? 16 : 8;
        if (boxSize == 1) {
            if (head->size() < 16) return std::nullopt;
            boxSize = Binary::rawU64be(h + 8);
            if (boxSize < 16) return std::nullopt;
        } else if (boxSize == 0) {
            return std::nullopt;
        } else if (boxSize < 8) {
            break;
        }

        // Compared without adding, so that a size near 2^64 cannot wrap past the test. Media data
        // that runs past the source was cut off: what is there is kept, unproven.
        if (boxSize > end - pos) {
            if (boxes == 0 || type != "mdat") return std::nullopt;
            cutOff = true;
            seen.insert("mdat");
            media.push_back({pos + headerSize, end});
            pos = end;
            break;
        }

        const auto known = std::find(kKnownBoxes.begin(), kKnownBoxes.end(), type);
        if (boxes == 0) {
            if (type != "ftyp" || boxSize > kMaxFtyp) return std::nullopt;
            const auto ftyp = CarveRead::exact(reader, pos, static_cast<std::int64_t>(boxSize));
            if (!ftyp) return std::nullopt;
            const auto refined = refine(*ftyp, kind);
            if (!refined) return std::nullopt;
            kind = *refined;
        } else if (known == kKnownBoxes.end()) {
            break;
        }

        if (*known == "moov") {
            moov = pos;
            moovSize = boxSize;
        } else if (*known == "mdat") {
            media.push_back({pos + headerSize, pos + boxSize});
        }
        seen.insert(*known);
        ++boxes;
        pos += boxSize;
    }

    const bool stalled = isMovieKind(kind) && seen.contains("mdat") && !seen.contains("moov");
    if (!complete(kind, seen) && !stalled) return std::nullopt;
    auto length = pos - start;
    if (length < kMinLength) return std::nullopt;

    Carved carved;
    carved.kind = kind;
    carved.complete = !stalled && !cutOff;
    // The index must point into the media data walked, and the media data must not hold
    // another file: either means the movie was cut short and something else lies there.
    std::optional<std::uint64_t> intruder;
    if (carved.complete && moov && !media.empty()) {
        const auto listed = movieSamples(reader, *moov, moovSize);
        const auto inside = [&](std::uint64_t offset) {
            return std::any_of(media.begin(), media.end(), [&](const Extent& e) {
                return offset >= e.from - start && offset < e.to - start;
            });
        };
        if (!listed || !std::all_of(listed->first.begin(), listed->first.end(), inside)) {
            carved.complete = false;
        } else {
            for (const auto& e : media)
                if ((intruder = otherFileInside(reader, start, e, listed->second))) break;
            carved.complete = !intruder;
        }
    }
    if (!carved.complete && !media.empty()) {
        // Only the boxes before the media data were proven; the media data ends at the first
        // other file inside it (or, without an index, a blank sector), if one is there.
        const auto body = media.front().from;
        carved.verified = body - start;
        if (!intruder && !moov) intruder = Boundaries::nextFileOrBlank(reader, body, pos);
        if (!intruder && moov) intruder = Boundaries::nextFile(reader, body, pos);
        if (intruder) length = std::max(*intruder, body) - start;
        if (length < kMinLength) return std::nullopt;
    }
    carved.size = length;
    if (moov) carved.modified = creationDate(reader, *moov, moovSize);
    return carved;
}

} // namespace vellary
