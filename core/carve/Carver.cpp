#include "core/carve/Carver.hpp"

#include "core/carve/ChunkedSource.hpp"
#include "core/carve/JPEGAhead.hpp"
#include "core/carve/JPEGCarver.hpp"
#include "core/carve/JPEGReassembly.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <map>
#include <thread>

namespace vellary {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kReportInterval = std::chrono::milliseconds(250);
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kPrefetchDistance = 32 * Carver::kSpacing;

// The next multiple of 512 at or after value; saturates instead of wrapping.
std::uint64_t roundUp(std::uint64_t value) {
    if (value > kMax - (Carver::kSpacing - 1)) return kMax;
    return (value + Carver::kSpacing - 1) / Carver::kSpacing * Carver::kSpacing;
}

std::uint64_t rangeEnd(const ByteRange& range) {
    std::uint64_t end = 0;
    return __builtin_add_overflow(range.offset, range.length, &end) ? kMax : end;
}

std::string_view label(FileCategory category) {
    switch (category) {
    case FileCategory::photo:
        return "Photo";
    case FileCategory::raw:
        return "Raw Photo";
    case FileCategory::video:
        return "Video";
    case FileCategory::audio:
        return "Audio";
    case FileCategory::document:
        return "Document";
    case FileCategory::archive:
        return "Archive";
    case FileCategory::other:
        return "File";
    }
    return "File";
}

// "yyyy-MM-dd HH.mm.ss" in the local time zone.
std::optional<std::string> dateName(Date date) {
    const double seconds = std::floor(unixSeconds(date));
    if (!(seconds > -1e15 && seconds < 1e15)) return std::nullopt;
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr) return std::nullopt;
    char text[64];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H.%M.%S", &tm) == 0) return std::nullopt;
    return std::string(text);
}

// Finds the first claimed range that ends after an offset. Offsets only grow during a walk, so
// the cursor only moves forward.
class CoverCursor {
public:
    explicit CoverCursor(const RangeCover& cover) : ranges_(cover.ranges()) {}

    // The end of the claimed range holding offset, if one does.
    std::optional<std::uint64_t> claimedEnd(std::uint64_t offset) {
        if (index_ < ranges_.size() && rangeEnd(ranges_[index_]) <= offset) {
            const auto first = ranges_.begin() + static_cast<std::ptrdiff_t>(index_);
            index_ = static_cast<std::size_t>(std::partition_point(first, ranges_.end(),
                                                                   [offset](const ByteRange& r) {
                                                                       return rangeEnd(r) <= offset;
                                                                   }) -
                                              ranges_.begin());
        }
        if (index_ >= ranges_.size() || ranges_[index_].offset > offset) return std::nullopt;
        return rangeEnd(ranges_[index_]);
    }

private:
    const std::vector<ByteRange>& ranges_;
    std::size_t index_ = 0;
};

// Space taken by what the walk found: whole files, and the pieces of files put back together.
class Taken {
public:
    void add(std::uint64_t offset, std::uint64_t end) {
        if (end > offset) ranges_[offset] = std::max(ranges_[offset], end);
    }
    // The end of a taken range holding offset, if one does.
    std::optional<std::uint64_t> end(std::uint64_t offset) const {
        auto it = ranges_.upper_bound(offset);
        if (it == ranges_.begin()) return std::nullopt;
        --it;
        if (it->second > offset) return it->second;
        return std::nullopt;
    }
    bool empty() const { return ranges_.empty(); }

private:
    std::map<std::uint64_t, std::uint64_t> ranges_;
};

// The end of the claimed range of the cover holding offset, by binary search.
std::optional<std::uint64_t> coveredEnd(const RangeCover& cover, std::uint64_t offset) {
    const auto& ranges = cover.ranges();
    const auto it =
        std::partition_point(ranges.begin(), ranges.end(),
                             [offset](const ByteRange& r) { return rangeEnd(r) <= offset; });
    if (it == ranges.end() || it->offset > offset) return std::nullopt;
    return rangeEnd(*it);
}

} // namespace

RecoverableFile Carver::make(const Carved& carved, std::uint64_t start, SequenceCounter& sequence) {
    RecoverableFile file;
    file.category = fileKind::category(carved.kind);
    const std::string extension(fileKind::fileExtension(carved.kind));
    if (carved.nameHint) {
        file.name = *carved.nameHint;
    } else if (const auto dated = carved.modified ? dateName(*carved.modified) : std::nullopt) {
        file.name = *dated + "." + extension;
    } else {
        char number[32];
        std::snprintf(number, sizeof number, "%04lld",
                      static_cast<long long>(sequence.next(file.category)));
        file.name = std::string(label(file.category)) + " " + number + "." + extension;
    }
    file.id = "carve-" + std::to_string(start);
    file.originalPath = file.name;
    file.size = carved.size;
    file.modified = carved.modified;
    file.kind = carved.kind;
    file.confidence = RecoveryConfidence::carved;
    file.headerLooksValid = true;
    file.complete = carved.complete;
    file.device = carved.device;
    file.ranges = {ByteRange{start, carved.size}};
    return file;
}

Carver::Outcome Carver::carve(const BlockReader& reader, const RangeCover& covered,
                              const ScanOptions& options, std::int64_t foundSoFar,
                              std::vector<RecoverableFile>& sink) {
    return carve(reader, covered, options, foundSoFar, sink, Registry::byLeadByte());
}

Carver::Outcome Carver::carve(const BlockReader& reader, const RangeCover& covered,
                              const ScanOptions& options, std::int64_t foundSoFar,
                              std::vector<RecoverableFile>& sink,
                              const Registry::LeadTable& carvers) {
    const std::uint64_t size = reader.size();
    SequenceCounter sequence;
    std::vector<RecoverableFile> pending;
    auto lastReport = Clock::time_point::min();
    std::uint64_t position = 0;
    Outcome outcome;
    CoverCursor cover(covered);
    ChunkedSource source(reader);
    // JPEGs are measured on a second thread too, from the first one on, where the source is
    // large enough to gain.
    const bool twoThreads =
        size >= JPEGAhead::kMinSource && std::thread::hardware_concurrency() > 1;
    std::optional<JPEGAhead> ahead;
    Taken whole;     // complete files found, never taken as a piece of another
    Taken continued; // the later pieces of files put back together, passed over when reached
    const JPEGReassembly::Claimed taken = [&](std::uint64_t offset) {
        if (const auto e = coveredEnd(covered, offset)) return e;
        if (const auto e = whole.end(offset)) return e;
        return continued.end(offset);
    };

    const auto deliver = [&] {
        if (pending.empty()) return;
        if (options.onFound) options.onFound(pending);
        pending.clear();
    };
    const auto progress = [&] {
        options.report({ScanProgress::Phase::contents, std::min(position, size), size,
                        foundSoFar + static_cast<std::int64_t>(sink.size())});
    };

    while (position < size && !options.cancelled()) {
        const auto now = Clock::now();
        if (lastReport == Clock::time_point::min() || now - lastReport >= kReportInterval) {
            lastReport = now;
            deliver();
            progress();
        }

        source.start(position, std::min(size - position, kChunkSize));
        source.require(kSniffBytes);
        if (source.length() == 0) {
            outcome.unreadable +=
                static_cast<std::uint64_t>(std::max<std::int64_t>(source.finish(), 0));
            break;
        }

        // Moves the walk to next; false when that leaves this chunk.
        std::uint64_t i = 0;
        const auto jumpTo = [&](std::uint64_t next) {
            if (next >= position + source.length()) {
                position = next;
                return false;
            }
            i = next - position;
            return true;
        };

        bool jumpedOut = false;
        for (;;) {
            // The chunk may turn out shorter once read, so its length is asked for each time.
            if (source.length() < kMinCandidateBytes || i > source.length() - kMinCandidateBytes)
                break;
            const std::uint64_t at = position + i;
            if (const auto claimed = cover.claimedEnd(at)) {
                if (!jumpTo(roundUp(*claimed))) {
                    jumpedOut = true;
                    break;
                }
                continue;
            }
            if (!continued.empty())
                if (const auto piece = continued.end(at)) {
                    if (!jumpTo(roundUp(*piece))) {
                        jumpedOut = true;
                        break;
                    }
                    continue;
                }
            source.require(i + kSniffBytes);
            const std::uint64_t length = source.length();
            if (length < kMinCandidateBytes || i > length - kMinCandidateBytes) break;
            const auto* data = source.data();
            // Candidates lie 512 bytes apart, too far apart for the processor to fetch them
            // ahead by itself, and most are looked at only for their first byte.
            if (i + kPrefetchDistance < length) __builtin_prefetch(data + i + kPrefetchDistance);
            const auto& candidates = carvers[data[i]];
            if (candidates.empty()) {
                i += kSpacing;
                continue;
            }
            const ByteSpan window(data + i, static_cast<std::size_t>(
                                                std::min<std::uint64_t>(kSniffBytes, length - i)));
            std::optional<Carved> carved;
            for (const auto* carver : candidates) {
                const auto kind = carver->sniff(window);
                if (!kind) continue;
                if (twoThreads && dynamic_cast<const JPEGCarver*>(carver) != nullptr) {
                    if (!ahead) ahead.emplace(reader, covered, at);
                    carved = JPEGCarver::carved(ahead->measure(source, at));
                } else {
                    carved = carver->carve(source, at, *kind);
                }
                // A measurement that is empty or runs past the source is a carver's mistake.
                if (carved && (carved->size == 0 || carved->size > size - at)) carved.reset();
                if (carved) break;
            }
            if (!carved) {
                i += kSpacing;
                continue;
            }
            auto file = make(*carved, at, sequence);
            std::uint64_t passed = carved->size;
            if (!carved->complete && carved->verified)
                passed = std::clamp<std::uint64_t>(*carved->verified, 1, carved->size);
            if (!carved->complete && carved->kind == FileKind::jpeg)
                if (const auto joined = JPEGReassembly::attempt(reader, at, taken)) {
                    // The walk goes on after the first piece; the others are skipped when reached.
                    file.ranges = joined->ranges;
                    file.size = joined->size;
                    file.complete = true;
                    for (std::size_t r = 1; r < joined->ranges.size(); ++r)
                        continued.add(joined->ranges[r].offset, joined->ranges[r].end());
                    passed = joined->ranges.front().length;
                }
            if (file.complete)
                for (const auto& r : file.ranges)
                    whole.add(r.offset, r.end());
            if (options.wants(file.category)) {
                pending.push_back(file);
                sink.push_back(std::move(file));
            }
            // What a carver could not check may hold other files; only its checked part is
            // passed over.
            if (!jumpTo(roundUp(at + passed))) {
                jumpedOut = true;
                break;
            }
        }
        // Bytes the walk jumped over are still read, so that every unreadable one is counted.
        outcome.unreadable +=
            static_cast<std::uint64_t>(std::max<std::int64_t>(source.finish(), 0));
        if (!jumpedOut) position += source.length();
        if (sink.size() >= kMaxFiles) break;
    }

    deliver();
    progress();
    return outcome;
}

} // namespace vellary
