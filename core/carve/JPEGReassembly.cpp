#include "core/carve/JPEGReassembly.hpp"

#include "core/carve/HeldWindow.hpp"
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

// The file's bytes with a piece of the source moved in: below cut as they are, from cut on the
// source's bytes from resume.
class SplicedReader : public BlockReader {
public:
    SplicedReader(const BlockReader& source, std::uint64_t cut, std::uint64_t resume)
        : source_(source), cut_(cut), resume_(resume) {}

    std::uint64_t size() const override {
        const auto total = source_.size();
        return total <= resume_ ? cut_ : cut_ + (total - resume_);
    }
    Bytes read(std::uint64_t offset, std::int64_t count) const override {
        if (count < 1 || offset >= size()) return {};
        const auto want =
            std::min<std::uint64_t>(static_cast<std::uint64_t>(count), size() - offset);
        Bytes out;
        if (offset < cut_) {
            const auto head = std::min<std::uint64_t>(want, cut_ - offset);
            out = source_.read(offset, static_cast<std::int64_t>(head));
            if (out.size() < head) return out;
        }
        if (out.size() < want) {
            const auto at = offset + out.size();
            auto tail =
                source_.read(resume_ + (at - cut_), static_cast<std::int64_t>(want - out.size()));
            out.insert(out.end(), tail.begin(), tail.end());
        }
        return out;
    }

private:
    const BlockReader& source_;
    std::uint64_t cut_;
    std::uint64_t resume_;
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

} // namespace

std::optional<JPEGReassembly::Result>
JPEGReassembly::attempt(const BlockReader& reader, std::uint64_t start, const Claimed& claimed) {
    try {
        auto prepared = prepare(reader, start);
        if (!prepared) return std::nullopt;
        auto& data = prepared->data;

        // Decode the sound part, remembering for each sector boundary the last block start whose
        // bits all come from before it.
        std::deque<std::pair<std::uint64_t, JPEGData::Resume>> marks;
        std::optional<JPEGData::Resume> previous;
        const auto mark = [&](const JPEGData::Resume& r) {
            if (previous && r.pos > previous->pos) {
                std::uint64_t b = (previous->pos + kSector - 1) / kSector * kSector;
                for (; b < r.pos; b += kSector) {
                    if (b <= prepared->dataStart) continue;
                    marks.emplace_back(b, *previous);
                    if (marks.size() > kRemembered) marks.pop_front();
                }
            }
            previous = r;
        };
        const auto end = std::min(reader.size(), start + kMaxLength);
        {
            HeldWindow window(reader, end, kTestWindow);
            const auto first =
                data.scan(prepared->header, window, prepared->dataStart, std::nullopt, mark);
            if (first.decoded || marks.empty()) return std::nullopt;
            const auto failedAt = first.at;
            while (!marks.empty() && marks.back().first > failedAt)
                marks.pop_back();
            // Decoding stopped before its bits reached the boundaries up to where it failed
            // (at a marker, say): the last block start stands for them too.
            if (previous) {
                std::uint64_t b = (previous->pos + kSector - 1) / kSector * kSector;
                if (!marks.empty()) b = std::max(b, marks.back().first + kSector);
                for (; b <= failedAt; b += kSector)
                    if (b > prepared->dataStart) marks.emplace_back(b, *previous);
                while (marks.size() > kRemembered)
                    marks.pop_front();
            }
        }
        if (marks.empty()) return std::nullopt;

        // Ends of the first piece to try: the first boundary after which foreign bytes plainly
        // begin, then the last few before the failure, nearest first.
        std::vector<std::pair<std::uint64_t, JPEGData::Resume>> cuts;
        {
            const auto from = marks.front().first;
            const auto to = marks.back().first + kSector;
            const auto bytes = reader.read(from, static_cast<std::int64_t>(to - from));
            for (const auto& [b, r] : marks) {
                if (b + kSector - from > bytes.size()) break;
                if (foreign(bytes.data() + (b - from))) {
                    cuts.emplace_back(b, r);
                    break;
                }
            }
            for (std::size_t i = 0; i < kLastBoundaries && i < marks.size(); ++i) {
                const auto& m = marks[marks.size() - 1 - i];
                if (std::none_of(cuts.begin(), cuts.end(),
                                 [&](const auto& c) { return c.first == m.first; }))
                    cuts.push_back(m);
            }
        }

        int tests = 0;
        std::optional<Result> found;
        // Tries the sector at p as the continuation after each cut; true when done searching.
        const auto tryAt = [&](std::uint64_t p) {
            for (const auto& [cut, resume] : cuts) {
                if (p >= start && p <= cut) continue; // inside the first piece
                if (++tests > kMaxTests) return true;
                const SplicedReader spliced(reader, cut, p);
                HeldWindow window(spliced, std::min(spliced.size(), start + kMaxLength),
                                  kTestWindow);
                const auto scan =
                    data.scan(prepared->header, window, prepared->dataStart, resume, {});
                if (!scan.decoded || scan.at < cut || window.byte(scan.at + 1) != 0xD9) continue;
                const auto tail = scan.at + 2 - cut;
                // The continuation must not run into claimed space or over the first piece.
                if (p < start && p + tail > start) continue;
                bool clear = true;
                for (std::uint64_t s = p; s < p + tail && clear; s += kSector)
                    clear = !claimed(s);
                if (!clear) continue;
                found = Result{{ByteRange{start, cut - start}, ByteRange{p, tail}},
                               scan.at + 2 - start};
                return true;
            }
            return false;
        };

        // Ahead first, then behind, a piece of the source at a time.
        const auto lowest =
            std::min_element(cuts.begin(), cuts.end(), [](const auto& a, const auto& b) {
                return a.first < b.first;
            })->first;
        const auto walk = [&](std::uint64_t from, std::uint64_t to, bool forward) {
            std::uint64_t pos = forward ? from : to;
            while (forward ? pos < to : pos > from) {
                const auto len =
                    forward ? std::min(kPiece, to - pos) : std::min(kPiece, pos - from);
                const auto at = forward ? pos : pos - len;
                const auto bytes = reader.read(at, static_cast<std::int64_t>(len));
                const auto sectors = bytes.size() / kSector;
                for (std::size_t k = 0; k < sectors; ++k) {
                    const auto i = forward ? k : sectors - 1 - k;
                    const auto p = at + i * kSector;
                    if (claimed(p) || foreign(bytes.data() + i * kSector)) continue;
                    if (tryAt(p)) return true;
                }
                if (sectors * kSector < len) return false;
                pos = forward ? pos + len : pos - len;
            }
            return false;
        };
        const auto size = reader.size();
        const auto ahead = lowest + kSector;
        if (!walk(ahead, std::min(size, ahead + kReach), true))
            walk(start > kReach ? start - kReach : 0, start, false);
        return found;
    } catch (const RecoverError&) {
        return std::nullopt;
    }
}

} // namespace vellary
