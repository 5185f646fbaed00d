#pragma once

#include "core/carve/JPEGCarver.hpp"
#include "core/io/BlockReader.hpp"
#include "core/records/RangeCover.hpp"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace vellary {

// Measures JPEGs ahead of the deep scan's walk on a second thread, so that the data check of one
// file runs while the walk handles another. It finds the JPEG signatures beyond the walk on its
// own reads; whichever thread gets to a candidate first measures it, and the walk takes the
// results of the ones it reaches. A measurement depends on the source's bytes alone, so the
// walk's results are the same as without it; the work spent on candidates the walk jumps over
// is lost.
class JPEGAhead {
public:
    // Worth a thread only on sources of this size or more.
    static constexpr std::uint64_t kMinSource = 64ull * 1024 * 1024;
    // How far beyond the walk signatures are looked for.
    static constexpr std::uint64_t kReach = 64ull * 1024 * 1024;
    // Measurements waiting for the walk, at most.
    static constexpr std::size_t kMaxWaiting = 16;

    // Starts looking beyond from, the walk's first JPEG. reader must allow reads from two threads
    // at once.
    JPEGAhead(const BlockReader& reader, const RangeCover& covered, std::uint64_t from);
    ~JPEGAhead();
    JPEGAhead(const JPEGAhead&) = delete;
    JPEGAhead& operator=(const JPEGAhead&) = delete;

    // What JPEGCarver::measure(source, at) gives, where source holds the reader's bytes. The
    // walk calls it with ascending offsets.
    std::optional<JPEGCarver::Parsed> measure(const BlockReader& source, std::uint64_t at);

private:
    struct Slot {
        bool done = false;
        std::optional<JPEGCarver::Parsed> parsed;
    };

    void run();
    // Drops what lies before the walk. Under the lock.
    void prune();
    // Claims the first candidate nobody measures yet. Under the lock.
    std::optional<std::uint64_t> claim();
    void store(std::uint64_t at, std::optional<JPEGCarver::Parsed> parsed);
    // The JPEG signatures in the piece at from, outside claimed space.
    std::vector<std::uint64_t> search(std::uint64_t from) const;

    const BlockReader& reader_;
    const RangeCover& covered_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t walkAt_ = 0;
    std::uint64_t searched_ = 0; // signatures are known up to here
    std::deque<std::uint64_t> found_;
    std::map<std::uint64_t, Slot> slots_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace vellary
