#include "core/carve/JPEGAhead.hpp"

#include "core/formats/Sniff.hpp"

#include <algorithm>
#include <vector>

namespace vellary {
namespace {

constexpr std::uint64_t kSector = 512;
constexpr std::int64_t kPiece = 1024 * 1024;
constexpr std::size_t kSniffBytes = 32;
constexpr std::size_t kMinCandidateBytes = 16;

bool claimed(const RangeCover& cover, std::uint64_t offset) {
    const auto& ranges = cover.ranges();
    const auto it =
        std::partition_point(ranges.begin(), ranges.end(), [offset](const ByteRange& r) {
            return r.offset + r.length <= offset;
        });
    return it != ranges.end() && it->offset <= offset;
}

} // namespace

JPEGAhead::JPEGAhead(const BlockReader& reader, const RangeCover& covered, std::uint64_t from)
    : reader_(reader), covered_(covered), walkAt_(from), thread_([this] { run(); }) {}

JPEGAhead::~JPEGAhead() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void JPEGAhead::prune() {
    slots_.erase(slots_.begin(), slots_.lower_bound(walkAt_));
    while (!found_.empty() && found_.front() <= walkAt_)
        found_.pop_front();
    searched_ = std::max(searched_, walkAt_ + kSector);
}

std::optional<std::uint64_t> JPEGAhead::claim() {
    if (found_.empty() || slots_.size() >= kMaxWaiting) return std::nullopt;
    const auto at = found_.front();
    found_.pop_front();
    slots_[at] = Slot{};
    return at;
}

void JPEGAhead::store(std::uint64_t at, std::optional<JPEGCarver::Parsed> parsed) {
    // A slot the walk has passed meanwhile is gone.
    if (const auto it = slots_.find(at); it != slots_.end())
        it->second = Slot{true, std::move(parsed)};
    changed_.notify_all();
}

std::optional<JPEGCarver::Parsed> JPEGAhead::measure(const BlockReader& source, std::uint64_t at) {
    std::unique_lock lock(mutex_);
    walkAt_ = at;
    prune();
    changed_.notify_all();
    for (;;) {
        const auto it = slots_.find(at);
        if (it == slots_.end()) break;
        if (it->second.done) {
            auto parsed = std::move(it->second.parsed);
            slots_.erase(it);
            changed_.notify_all();
            return parsed;
        }
        // The other thread is on it: rather than wait, measure one further on.
        if (const auto next = claim()) {
            lock.unlock();
            auto parsed = JPEGCarver::measure(source, *next);
            lock.lock();
            store(*next, std::move(parsed));
            continue;
        }
        changed_.wait(lock);
    }
    lock.unlock();
    return JPEGCarver::measure(source, at);
}

void JPEGAhead::run() {
    const auto size = reader_.size();
    std::unique_lock lock(mutex_);
    while (!stop_) {
        prune();
        // A candidate beyond the one being measured keeps the walk busy when it gets here.
        if (found_.size() < 2 && searched_ < size && searched_ - walkAt_ < kReach) {
            const auto from = searched_;
            lock.unlock();
            const auto hits = search(from);
            lock.lock();
            // The walk may have jumped past this piece meanwhile.
            if (searched_ != from) continue;
            for (const auto hit : hits)
                if (hit > walkAt_) found_.push_back(hit);
            searched_ = from + static_cast<std::uint64_t>(kPiece);
            continue;
        }
        const auto at = claim();
        if (!at) {
            changed_.wait(lock);
            continue;
        }
        lock.unlock();
        std::optional<JPEGCarver::Parsed> parsed;
        bool measured = true;
        try {
            parsed = JPEGCarver::measure(reader_, *at);
        } catch (...) {
            measured = false;
        }
        lock.lock();
        if (measured) {
            store(*at, std::move(parsed));
        } else {
            // The walk measures it itself.
            slots_.erase(*at);
            changed_.notify_all();
        }
    }
}

std::vector<std::uint64_t> JPEGAhead::search(std::uint64_t from) const {
    Bytes bytes;
    try {
        bytes = reader_.read(from, kPiece);
    } catch (...) {
        // Unreadable here: the walk finds what lies in it.
    }
    std::vector<std::uint64_t> hits;
    for (std::size_t i = 0; i + kMinCandidateBytes <= bytes.size(); i += kSector) {
        const ByteSpan window(bytes.data() + i, std::min(kSniffBytes, bytes.size() - i));
        if (bytes[i] == 0xFF && Sniff::jpeg(window) && !claimed(covered_, from + i))
            hits.push_back(from + i);
    }
    return hits;
}

} // namespace vellary
