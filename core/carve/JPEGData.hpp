#pragma once

#include "core/carve/HeldWindow.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace vellary {

// Checks a JPEG's entropy-coded data at the Huffman level: every symbol is decoded with the
// frame's tables and every block's coefficients are counted, restart markers must come in order
// where the interval says, and each scan must end exactly at a marker. No pixel is computed.
// Sequential and progressive Huffman frames are checked; other codings are not supported.
// Holds the state of one image across its scans; belongs to one walk.
class JPEGData {
public:
    // Codes up to this long are looked up in one step.
    static constexpr int kFastBits = 11;

    // Advance of a step that ends the block (an AC end-of-block code).
    static constexpr int kEndOfBlock = 0x80;

    // The Huffman tables of one class and slot, with a lookup for short codes.
    struct Table {
        bool defined = false;
        std::array<std::uint16_t, 1 << kFastBits> fast{}; // by the next bits: length << 8 | symbol
        // By the next bits, for a code whose extra bits fit in too: the bits it takes with them
        // << 8 | how far it moves through the block (run + 1, 16 for a run of zeros, kEndOfBlock
        // for an end of block). 0: decode the slow way. Coefficient sizes too large for 8-bit
        // samples are left to the slow way, which judges them by the precision.
        std::array<std::uint16_t, 1 << kFastBits> step{};
        // The step, and when the bits hold a second one whole, both together: bits and advance
        // of the first in the low half, of both in the high half (the first alone when not).
        std::array<std::uint32_t, 1 << kFastBits> pair{};
        std::array<std::int32_t, 18> maxCode{};
        std::array<std::int32_t, 17> offset{}; // index of a length's first symbol minus its code
        std::array<std::uint8_t, 256> symbols{};
    };

    struct ScanEnd {
        bool decoded = false; // the data decoded to the end of the scan
        std::uint64_t at = 0; // the marker that ends the scan, or where decoding failed
        bool checked = true;  // false: the scan names a table never defined, so is not judged
    };

    // Where a sequential scan stood at the start of a block: enough to decode on from there.
    struct Resume {
        std::uint64_t unit = 0;
        std::size_t block = 0; // within the unit
        std::uint32_t restarts = 0;
        std::uint64_t pos = 0; // the next byte the bits come from
        std::uint64_t bits = 0;
        int count = 0;
    };
    // Told of each block start of a sequential scan; may be empty.
    using Marks = std::function<void(const Resume&)>;

    // Segment payloads (after the length field). False when malformed.
    bool defineTables(ByteSpan payload);
    bool defineFrame(std::uint8_t marker, ByteSpan payload); // unsupported unless true
    bool defineRestartInterval(ByteSpan payload);

    // Whether the frame seen is one this checker decodes.
    bool supported() const { return supported_; }

    // Decodes the scan whose header payload is given and whose data starts at dataStart, reading
    // through the window no further than its end.
    ScanEnd scan(ByteSpan header, HeldWindow& window, std::uint64_t dataStart);
    // The same for a sequential scan, from a block start recorded earlier (nothing: the start),
    // telling marks of every block start on the way.
    ScanEnd scan(ByteSpan header, HeldWindow& window, std::uint64_t dataStart,
                 const std::optional<Resume>& from, const Marks& marks);
    bool progressive() const { return progressive_; }
    std::uint32_t restartInterval() const { return restartInterval_; }

private:
    struct Component {
        std::uint8_t id = 0;
        int h = 1;
        int v = 1;
        std::uint64_t blocksWide = 0;
        std::uint64_t blocksHigh = 0;
        std::vector<std::uint64_t> nonZero; // per block, for refining progressive AC scans
    };

    bool supported_ = false;
    bool progressive_ = false;
    int precision_ = 8;
    std::uint64_t mcusWide_ = 0;
    std::uint64_t mcusHigh_ = 0;
    std::uint32_t restartInterval_ = 0;
    std::array<Component, 4> components_{};
    std::size_t componentCount_ = 0;
    std::array<Table, 4> dc_{};
    std::array<Table, 4> ac_{};
};

} // namespace vellary
