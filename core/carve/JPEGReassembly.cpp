#include "core/carve/JPEGReassembly.hpp"

#include "core/carve/HeldWindow.hpp"
#include "core/carve/JPEGCarver.hpp"
#include "core/carve/JPEGData.hpp"
#include "core/carve/Registry.hpp"
#include "core/records/RecoverError.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>

namespace vellary {
namespace {

constexpr std::uint64_t kSector = 512;
constexpr std::uint64_t kMaxLength = 200ull * 1024 * 1024;
constexpr std::int64_t kHeaderWindow = 256 * 1024;
constexpr std::int64_t kTestWindow = 16 * 1024;
constexpr std::uint64_t kPiece = 1024 * 1024;
// Block starts remembered behind the point where decoding failed, one per sector boundary.
constexpr std::size_t kRemembered = 2048;
// Sector boundaries just before the failure tried as the end of the first piece, besides the
// first one where foreign bytes plainly begin.
constexpr std::size_t kLastBoundaries = 4;

// Where a stretch of the file's bytes lies on the source: from virtualStart (a file position
// counted as if the file lay whole from its start) on, at source.
struct Segment {
    std::uint64_t virtualStart = 0;
    std::uint64_t source = 0;
};

// The file's bytes as its pieces give them: the first piece in place, each later one moved in.
class SplicedReader : public BlockReader {
public:
    SplicedReader(const BlockReader& source, const std::vector<Segment>& segments)
        : source_(source), segments_(segments) {}

    std::uint64_t size() const override {
        const auto& last = segments_.back();
        const auto total = source_.size();
        return total <= last.source ? last.virtualStart : last.virtualStart + (total - last.source);
    }
    Bytes read(std::uint64_t offset, std::int64_t count) const override {
        if (count < 1 || offset >= size()) return {};
        const auto want =
            std::min<std::uint64_t>(static_cast<std::uint64_t>(count), size() - offset);
        Bytes out;
        while (out.size() < want) {
            const auto at = offset + out.size();
            std::size_t i = segments_.size() - 1;
            while (i > 0 && segments_[i].virtualStart > at)
                --i;
            std::uint64_t len = want - out.size();
            if (i + 1 < segments_.size()) len = std::min(len, segments_[i + 1].virtualStart - at);
            const auto piece = source_.read(segments_[i].source + (at - segments_[i].virtualStart),
                                            static_cast<std::int64_t>(len));
            out.insert(out.end(), piece.begin(), piece.end());
            if (piece.size() < len) break;
        }
        return out;
    }
    // Where a file position lies on the source.
    std::uint64_t sourceOf(std::uint64_t at) const {
        std::size_t i = segments_.size() - 1;
        while (i > 0 && segments_[i].virtualStart > at)
            --i;
        return segments_[i].source + (at - segments_[i].virtualStart);
    }

private:
    const BlockReader& source_;
    std::vector<Segment> segments_;
};

// The one scan of a sequential JPEG: its tables and where its data begins.
struct Prepared {
    JPEGData data;
    Bytes header;
    std::uint64_t dataStart = 0;
};

std::optional<Prepared> prepare(const BlockReader& reader, std::uint64_t start) {
    HeldWindow window(reader, std::min(reader.size(), start + kMaxLength), kHeaderWindow);
    if (window.byte(start) != 0xFF || window.byte(start + 1) != 0xD8) return std::nullopt;
    Prepared out;
    std::uint64_t pos = start + 2;
    bool frame = false;
    for (int segments = 0; segments < 1000; ++segments) {
        if (window.byte(pos) != 0xFF) return std::nullopt;
        std::uint64_t m = pos + 1;
        std::optional<std::uint8_t> marker;
        while ((marker = window.byte(m)) == 0xFF)
            ++m;
        if (!marker || *marker == 0xD8 || *marker == 0xD9) return std::nullopt;
        const auto length = window.u16be(m + 1);
        if (!length || *length < 2) return std::nullopt;
        const auto payload = window.bytes(m + 3, *length - 2);
        if (!payload && *length > 2) return std::nullopt;
        const Bytes body = payload.value_or(Bytes{});
        const auto next = m + 1 + *length;
        if (*marker >= 0xC0 && *marker <= 0xCF && *marker != 0xC4 && *marker != 0xC8 &&
            *marker != 0xCC) {
            if (!out.data.defineFrame(*marker, body) || !out.data.supported() ||
                out.data.progressive())
                return std::nullopt;
            frame = true;
        } else if (*marker == 0xC4) {
            if (!out.data.defineTables(body)) return std::nullopt;
        } else if (*marker == 0xDD) {
            if (!out.data.defineRestartInterval(body)) return std::nullopt;
        } else if (*marker == 0xDA) {
            if (!frame) return std::nullopt;
            out.header = body;
            out.dataStart = next;
            return out;
        }
        pos = next;
    }
    return std::nullopt;
}

bool blank(const std::uint8_t* sector) {
    return std::all_of(sector, sector + kSector, [](std::uint8_t b) { return b == 0; });
}

// A pair no entropy-coded data holds: FF followed by anything but a stuffed zero, a restart
// marker, fill or the end of the image.
bool impossibleMarker(const std::uint8_t* sector) {
    for (const auto* p = sector; p + 1 < sector + kSector; ++p) {
        p = static_cast<const std::uint8_t*>(std::memchr(p, 0xFF, kSector - 1 - (p - sector)));
        if (p == nullptr) return false;
        const auto b = p[1];
        if (b != 0x00 && b != 0xFF && b != 0xD9 && (b < 0xD0 || b > 0xD7)) return true;
    }
    return false;
}

// Where a continuation may not start: another file, nothing, or bytes that are not JPEG data.
bool foreign(const std::uint8_t* sector) {
    return blank(sector) || Registry::sniff(ByteSpan(sector, 32)) || impossibleMarker(sector);
}

using Mark = std::pair<std::uint64_t, JPEGData::Resume>; // a sector boundary, where to resume

// One search for the pieces of one file; counts its tests across all pieces.
class Search {
public:
    Search(const BlockReader& reader, std::uint64_t start, const JPEGReassembly::Claimed& claimed,
           Prepared& prepared)
        : reader_(reader), start_(start), claimed_(claimed), prepared_(prepared) {}

    struct Decoded {
        JPEGData::ScanEnd end;
        bool whole = false; // ended at its end-of-image marker
        std::deque<Mark> marks;
    };

    // Decodes the file as the segments lay it out, from resume (or the start), remembering for
    // each sector boundary the last block start whose bits all come from before it.
    Decoded decode(const std::vector<Segment>& segments,
                   const std::optional<JPEGData::Resume>& from, bool withMarks,
                   std::uint64_t limit = UINT64_MAX) {
        Decoded out;
        std::optional<JPEGData::Resume> previous;
        // Boundaries inside earlier pieces are not this piece's to cut at, nor any past limit.
        const auto floor = std::max(prepared_.dataStart, segments.back().virtualStart);
        const auto remember = [&](std::uint64_t b, const JPEGData::Resume& r) {
            if (b <= floor || b > limit) return;
            out.marks.emplace_back(b, r);
            if (out.marks.size() > kRemembered) out.marks.pop_front();
        };
        const JPEGData::Marks marks = [&](const JPEGData::Resume& r) {
            if (previous && r.pos > previous->pos)
                for (auto b = (previous->pos + kSector - 1) / kSector * kSector; b < r.pos;
                     b += kSector)
                    remember(b, *previous);
            previous = r;
        };
        const SplicedReader spliced(reader_, segments);
        HeldWindow window(spliced, std::min(spliced.size(), start_ + kMaxLength), kTestWindow);
        out.end = prepared_.data.scan(prepared_.header, window, prepared_.dataStart, from,
                                      withMarks ? marks : JPEGData::Marks{});
        out.whole = out.end.decoded && window.byte(out.end.at + 1) == 0xD9;
        if (!out.end.decoded && previous) {
            // Decoding stopped before its bits reached the boundaries up to where it failed (at
            // a marker, say): the last block start stands for them too.
            while (!out.marks.empty() && out.marks.back().first > out.end.at)
                out.marks.pop_back();
            auto b = (previous->pos + kSector - 1) / kSector * kSector;
            if (!out.marks.empty()) b = std::max(b, out.marks.back().first + kSector);
            for (; b <= out.end.at; b += kSector)
                remember(b, *previous);
        }
        return out;
    }

    // The first sector boundary in (from, to] whose sector the file's data cannot hold; to
    // when there is none.
    std::uint64_t firstForeign(std::uint64_t from, std::uint64_t to) const {
        for (auto pos = (from + kSector) / kSector * kSector; pos <= to;) {
            const auto len = std::min<std::uint64_t>(kPiece, to + kSector - pos);
            const auto bytes = reader_.read(pos, static_cast<std::int64_t>(len));
            for (std::size_t i = 0; i + kSector <= bytes.size(); i += kSector)
                if (foreign(bytes.data() + i)) return pos + i;
            if (bytes.size() < len) break;
            pos += len;
        }
        return to;
    }

    // Ends of the current piece to try: the first boundary after which foreign bytes plainly
    // begin, then the last few before the failure.
    std::vector<Mark> cuts(const std::deque<Mark>& marks, const std::vector<Segment>& segments) {
        std::vector<Mark> out;
        if (marks.empty()) return out;
        const SplicedReader spliced(reader_, segments);
        const auto from = marks.front().first;
        const auto bytes =
            spliced.read(from, static_cast<std::int64_t>(marks.back().first + kSector - from));
        // The file's own data never holds a blank sector, another file's start or an
        // impossible marker: the piece ends at the first such sector or before it.
        auto last = marks.size();
        for (std::size_t i = 0; i < marks.size(); ++i) {
            const auto b = marks[i].first;
            if (b + kSector - from > bytes.size()) break;
            if (foreign(bytes.data() + (b - from))) {
                out.push_back(marks[i]);
                last = i;
                break;
            }
        }
        for (std::size_t i = 0; i < kLastBoundaries && i < last; ++i)
            out.push_back(marks[last - 1 - i]);
        // And the last few on the boundaries of common cluster sizes, further back.
        for (const std::uint64_t cluster : {4096, 32768}) {
            int taken = 0;
            for (std::size_t i = last; i-- > 0 && taken < 2;) {
                if ((marks[i].first - start_) % cluster != 0) continue;
                ++taken;
                if (std::none_of(out.begin(), out.end(),
                                 [&](const Mark& c) { return c.first == marks[i].first; }))
                    out.push_back(marks[i]);
            }
        }
        return out;
    }

    // The pieces that follow the segments, cut at one of cuts; pieces counts those so far.
    std::optional<JPEGReassembly::Result> find(const std::vector<Segment>& segments,
                                               const std::vector<Mark>& cutsHere, int pieces) {
        if (cutsHere.empty()) return std::nullopt;
        const SplicedReader spliced(reader_, segments);
        std::uint64_t lowest = UINT64_MAX;
        for (const auto& c : cutsHere)
            lowest = std::min(lowest, spliced.sourceOf(c.first));
        std::optional<JPEGReassembly::Result> found;
        bool stop = false;

        // Clusters of 4 KiB and more are tried first: joins on smaller boundaries give more
        // chances for foreign bytes to decode into a wrong file that still ends properly.
        std::uint64_t least = kCommonCluster;
        const auto aligned = [&](std::uint64_t at) {
            const auto offset = at - start_;
            return offset == 0 ? kLargestCluster
                               : std::min<std::uint64_t>(offset & (~offset + 1), kLargestCluster);
        };
        const auto tryAt = [&](std::uint64_t p) {
            for (const auto& [cut, resume] : cutsHere) {
                const auto join = std::min(aligned(cut), aligned(p));
                if (join < least || (least < kCommonCluster && join >= kCommonCluster)) continue;
                auto layout = segments;
                while (layout.size() > 1 && layout.back().virtualStart >= cut)
                    layout.pop_back();
                const auto pieceList = ranges(layout, cut);
                if (std::any_of(pieceList.begin(), pieceList.end(),
                                [&](const ByteRange& r) { return p >= r.offset && p <= r.end(); }))
                    continue;
                ++tests_;
                if (spent()) {
                    stop = true;
                    return;
                }
                layout.push_back({cut, p});
                const bool deeper = pieces + 1 < kMaxPieces;
                const auto decoded = decode(layout, resume, deeper);
                decoded_ += decoded.end.at > cut ? decoded.end.at - cut : 0;
                if (decoded.whole && decoded.end.at >= cut) {
                    auto result = ranges(layout, decoded.end.at + 2);
                    if (!acceptable(result)) continue;
                    found = JPEGReassembly::Result{result, decoded.end.at + 2 - start_};
                    stop = true;
                    return;
                }
                // Data that decodes well past the cut is this file's; it has another gap.
                if (deeper && !decoded.end.decoded && decoded.end.at >= cut + kMinProgress) {
                    if ((found = find(layout, cuts(decoded.marks, layout), pieces + 1))) {
                        stop = true;
                        return;
                    }
                    if (spent()) {
                        stop = true;
                        return;
                    }
                }
            }
        };

        // Ahead first, then behind, a piece of the source at a time.
        std::uint64_t passOver = 0;
        const auto walk = [&](std::uint64_t from, std::uint64_t to, bool forward) {
            std::uint64_t pos = forward ? from : to;
            while (!stop && (forward ? pos < to : pos > from)) {
                const auto len =
                    forward ? std::min(kPiece, to - pos) : std::min(kPiece, pos - from);
                const auto at = forward ? pos : pos - len;
                const auto bytes = reader_.read(at, static_cast<std::int64_t>(len));
                const auto sectors = bytes.size() / kSector;
                for (std::size_t k = 0; k < sectors && !stop; ++k) {
                    const auto i = forward ? k : sectors - 1 - k;
                    const auto p = at + i * kSector;
                    if (p < passOver || claimed_(p)) continue;
                    const auto* sector = bytes.data() + i * kSector;
                    if (forward && sector[0] == 0xFF && sector[1] == 0xD8) {
                        // A whole JPEG here is a file of its own, not a continuation.
                        if (const auto other = JPEGCarver::measure(reader_, p);
                            other && other->complete)
                            passOver = p + other->size;
                    }
                    if (p < passOver || foreign(sector)) continue;
                    tryAt(p);
                }
                if (sectors * kSector < len) return;
                pos = forward ? pos + len : pos - len;
            }
        };
        const auto size = reader_.size();
        if (lowest > UINT64_MAX - kSector - JPEGReassembly::kReach) return std::nullopt;
        const auto ahead = lowest + kSector;
        for (const auto phase : {kCommonCluster, kSector}) {
            least = phase;
            passOver = 0;
            // Small clusters belong to small volumes: the second pass stays near the file.
            const auto reach = phase == kSector ? kSmallClusterReach : JPEGReassembly::kReach;
            walk(ahead, std::min(size, ahead + reach), true);
            walk(start_ > reach ? start_ - reach : 0, start_, false);
            if (stop) break;
        }
        return found;
    }

private:
    // Two pieces only: data of another JPEG coded with the same tables decodes as well as the
    // file's own, and with two free joins, wrong layouts that end exactly at an end-of-image
    // marker (restart markers in order included) turn up among a few thousand tests.
    static constexpr int kMaxPieces = 2;
    static constexpr std::uint64_t kCommonCluster = 4096;
    static constexpr std::uint64_t kLargestCluster = 64 * 1024;
    static constexpr std::uint64_t kSmallClusterReach = 32 * 1024 * 1024;
    // A continuation that decodes this far past its cut is taken to be the file's own data.
    static constexpr std::uint64_t kMinProgress = 2 * kSector;

    // The source ranges of the pieces, the last ending at the file position end.
    std::vector<ByteRange> ranges(const std::vector<Segment>& layout, std::uint64_t end) const {
        std::vector<ByteRange> out;
        for (std::size_t i = 0; i < layout.size(); ++i) {
            const auto from = i == 0 ? start_ : layout[i].virtualStart;
            const auto to = i + 1 < layout.size() ? layout[i + 1].virtualStart : end;
            const auto source = i == 0 ? start_ : layout[i].source;
            out.push_back({source, to > from ? to - from : 0});
        }
        return out;
    }

    // Later pieces lie in unclaimed space and overlap no other piece.
    bool acceptable(const std::vector<ByteRange>& pieces) const {
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (pieces[i].length == 0) return false;
            for (std::size_t j = 0; j < i; ++j)
                if (pieces[i].offset < pieces[j].end() && pieces[j].offset < pieces[i].end())
                    return false;
            if (i == 0) continue;
            for (auto s = pieces[i].offset; s < pieces[i].end(); s += kSector)
                if (claimed_(s)) return false;
        }
        return true;
    }

    const BlockReader& reader_;
    std::uint64_t start_;
    const JPEGReassembly::Claimed& claimed_;
    Prepared& prepared_;
    int tests_ = 0;
    std::uint64_t decoded_ = 0; // bytes of continuations decoded

    bool spent() const {
        return tests_ > JPEGReassembly::kMaxTests || decoded_ > JPEGReassembly::kMaxDecoded;
    }
};

} // namespace

std::optional<JPEGReassembly::Result>
JPEGReassembly::attempt(const BlockReader& reader, std::uint64_t start, const Claimed& claimed) {
    try {
        auto prepared = prepare(reader, start);
        if (!prepared) return std::nullopt;
        Search search(reader, start, claimed, *prepared);
        const std::vector<Segment> whole = {{0, 0}};
        const auto first = search.decode(whole, std::nullopt, false);
        if (first.end.decoded) return std::nullopt;
        // Blank sectors and some foreign bytes decode for a long way before data fails, so the
        // piece may end long before the failure: at the first sector that cannot be its own.
        const auto limit = search.firstForeign(prepared->dataStart, first.end.at);
        const auto marked = search.decode(whole, std::nullopt, true, limit);
        return search.find(whole, search.cuts(marked.marks, whole), 1);
    } catch (const RecoverError&) {
        return std::nullopt;
    }
}

} // namespace vellary
