#pragma once

#include "core/records/ByteRange.hpp"
#include "core/records/RecoverableFile.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellary {

// What an imaging run knows about every byte of its source, kept beside the image in the
// mapfile layout of GNU ddrescue so that either tool can go on from where the other stopped.
class RescueMap {
public:
    // The status characters of the layout.
    enum class Status : char {
        nonTried = '?',
        nonTrimmed = '*',
        nonScraped = '/',
        badSector = '-',
        finished = '+',
    };
    // What the run was doing when the map was written.
    enum class Phase : char {
        copying = '?',
        trimming = '*',
        scraping = '/',
        retrying = '-',
        finished = '+',
    };
    struct Block {
        std::uint64_t pos = 0;
        std::uint64_t size = 0;
        Status status = Status::nonTried;
        bool operator==(const Block&) const = default;
    };

    // One untried block covering size bytes (none for 0).
    explicit RescueMap(std::uint64_t size = 0);

    std::uint64_t size() const { return size_; }
    // Marks [pos, pos + size) clipped to the map, joining equal neighbours.
    void set(std::uint64_t pos, std::uint64_t size, Status status);
    // Grows the map with untried bytes, or cuts it where the source ended.
    void resize(std::uint64_t size);
    std::vector<Block> blocks() const;
    // The blocks of one status, in order.
    std::vector<Block> blocksWith(Status status) const;
    std::uint64_t bytesWith(Status status) const;
    // Everything not finished, joined where such blocks touch: the holes in the image.
    std::vector<ByteRange> unreadable() const;
    // Bytes of the file's ranges that lie in an unreadable area.
    std::uint64_t unreadableIn(const RecoverableFile& file) const;

    std::uint64_t currentPos = 0;
    Phase phase = Phase::copying;
    int pass = 1;

    // The map as text; commandLine goes into a comment.
    std::string text(const std::string& commandLine = {}) const;
    // Nothing for text that is not a map: a wrong character, blocks that overlap, leave gaps or
    // do not start at 0.
    static std::optional<RescueMap> parse(std::string_view text);
    // Nothing when the file is missing or not a map.
    static std::optional<RescueMap> load(const std::filesystem::path& path);
    // Writes a new file beside path and renames it over path; with replace false the rename
    // fails when path exists, so that nobody else's file is ever replaced. Throws RecoverError.
    void save(const std::filesystem::path& path, bool replace,
              const std::string& commandLine = {}) const;

private:
    void split(std::uint64_t at);
    void join(std::uint64_t at);

    std::uint64_t size_ = 0;
    // Block start → (size, status); the blocks cover [0, size_) without gaps.
    std::map<std::uint64_t, std::pair<std::uint64_t, Status>> blocks_;
};

} // namespace vellary
