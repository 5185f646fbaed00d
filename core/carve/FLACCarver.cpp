#include "core/carve/FLACCarver.hpp"

#include "core/formats/Sniff.hpp"

#include "core/io/ByteWindow.hpp"

#include <algorithm>
#include <array>

namespace vellary {
namespace {

constexpr std::uint64_t kRange = 1024ULL * 1024 * 1024;
constexpr std::int64_t kWindow = 1024 * 1024;
constexpr int kMaxFurtherBlocks = 999;
constexpr std::size_t kStreamInfoLength = 34;

struct StreamInfo {
    std::uint32_t minBlock = 0;
    std::uint32_t maxBlock = 0;
    std::uint32_t maxFrame = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t channels = 0;
    std::uint32_t bitsPerSample = 0;
    std::uint64_t totalSamples = 0;

    // The 34-byte STREAMINFO body.
    static StreamInfo parse(ByteSpan b) {
        StreamInfo info;
        info.minBlock = Binary::rawU16be(b.data());
        info.maxBlock = Binary::rawU16be(b.data() + 2);
        info.maxFrame = (std::uint32_t{b[7]} << 16) | (std::uint32_t{b[8]} << 8) | b[9];
        const std::uint64_t packed = Binary::rawU64be(b.data() + 10);
        info.sampleRate = static_cast<std::uint32_t>(packed >> 44);
        info.channels = static_cast<std::uint32_t>((packed >> 41) & 0x7) + 1;
        info.bitsPerSample = static_cast<std::uint32_t>((packed >> 36) & 0x1F) + 1;
        info.totalSamples = packed & 0xFFFFFFFFFULL;
        return info;
    }
};

struct CRC {
    static std::uint8_t crc8(ByteSpan data) {
        static const auto table = [] {
            std::array<std::uint8_t, 256> t{};
            for (int i = 0; i < 256; ++i) {
                std::uint8_t c = static_cast<std::uint8_t>(i);
                for (int k = 0; k < 8; ++k)
                    c = static_cast<std::uint8_t>((c & 0x80) ? (c << 1) ^ 0x07 : c << 1);
                t[static_cast<std::size_t>(i)] = c;
            }
            return t;
        }();
        std::uint8_t crc = 0;
        for (const auto b : data)
            crc = table[crc ^ b];
        return crc;
    }
    static std::uint16_t crc16(ByteSpan data) {
        static const auto table = [] {
            std::array<std::uint16_t, 256> t{};
            for (int i = 0; i < 256; ++i) {
                std::uint16_t c = static_cast<std::uint16_t>(i << 8);
                for (int k = 0; k < 8; ++k)
                    c = static_cast<std::uint16_t>((c & 0x8000) ? (c << 1) ^ 0x8005 : c << 1);
                t[static_cast<std::size_t>(i)] = c;
            }
            return t;
        }();
        std::uint16_t crc = 0;
        for (const auto b : data)
            crc = static_cast<std::uint16_t>((crc << 8) ^ table[((crc >> 8) ^ b) & 0xFF]);
        return crc;
    }
};

struct FrameHeader {
    bool variable = false;
    std::uint32_t blockSize = 0;
    std::uint64_t number = 0; // frame number, or first sample number with variable blocks
    std::uint32_t channelAssignment = 0;
    std::uint32_t channels = 0;
    std::uint32_t bitsPerSample = 0;
    std::size_t length = 0;

    static std::optional<FrameHeader> parse(ByteWindow& window, std::uint64_t at,
                                            const StreamInfo& stream) {
        if (at >= window.end()) return std::nullopt;
        const auto count =
            static_cast<std::int64_t>(std::min<std::uint64_t>(16, window.end() - at));
        const auto view = window.view(at, count);
        if (!view || view->size() < 6) return std::nullopt;
        const ByteSpan b = *view;
        if (b[0] != 0xFF || (b[1] & 0xFE) != 0xF8) return std::nullopt;
        FrameHeader h;
        h.variable = (b[1] & 1) != 0;
        const std::uint32_t blockCode = b[2] >> 4;
        const std::uint32_t rateCode = b[2] & 0x0F;
        h.channelAssignment = b[3] >> 4;
        const std::uint32_t sizeCode = (b[3] >> 1) & 0x07;
        if (blockCode == 0 || rateCode == 15 || h.channelAssignment > 10 || sizeCode == 3 ||
            (b[3] & 1) != 0)
            return std::nullopt;

        // The frame or sample number, UTF-8 style.
        std::size_t pos = 4;
        const std::uint8_t lead = b[pos++];
        int extra = 0;
        std::uint64_t number = lead;
        if (lead >= 0x80) {
            while (extra < 7 && (lead & (0x40 >> extra)))
                ++extra;
            if (extra == 0 || extra > (h.variable ? 6 : 5)) return std::nullopt;
            number = lead & (0x3F >> extra);
        }
        for (int k = 0; k < extra; ++k) {
            if (pos >= b.size() || (b[pos] & 0xC0) != 0x80) return std::nullopt;
            number = (number << 6) | (b[pos++] & 0x3F);
        }
        h.number = number;

        const auto take = [&](std::size_t n) -> std::optional<std::uint32_t> {
            if (b.size() - pos < n) return std::nullopt;
            std::uint32_t v = 0;
            for (std::size_t k = 0; k < n; ++k)
                v = (v << 8) | b[pos++];
            return v;
        };
        if (blockCode == 1) {
            h.blockSize = 192;
        } else if (blockCode <= 5) {
            h.blockSize = 576u << (blockCode - 2);
        } else if (blockCode == 6 || blockCode == 7) {
            const auto v = take(blockCode == 6 ? 1 : 2);
            if (!v) return std::nullopt;
            h.blockSize = *v + 1;
        } else {
            h.blockSize = 256u << (blockCode - 8);
        }
        static constexpr std::uint32_t rates[12] = {0,     88200, 176400, 192000, 8000,  16000,
                                                    22050, 24000, 32000,  44100,  48000, 96000};
        std::uint32_t rate = rateCode < 12 ? rates[rateCode] : 0;
        if (rateCode >= 12) {
            const auto v = take(rateCode == 12 ? 1 : 2);
            if (!v) return std::nullopt;
            rate = rateCode == 12 ? *v * 1000 : rateCode == 13 ? *v : *v * 10;
        }
        if (pos >= b.size() || CRC::crc8(b.first(pos)) != b[pos]) return std::nullopt;
        h.length = pos + 1;

        static constexpr std::uint32_t sizes[8] = {0, 8, 12, 0, 16, 20, 24, 32};
        h.channels = h.channelAssignment <= 7 ? h.channelAssignment + 1 : 2;
        h.bitsPerSample = sizeCode == 0 ? stream.bitsPerSample : sizes[sizeCode];
        if ((rateCode != 0 && rate != stream.sampleRate) || h.channels != stream.channels ||
            h.bitsPerSample != stream.bitsPerSample || h.blockSize > stream.maxBlock)
            return std::nullopt;
        return h;
    }
};

class BitReader {
public:
    explicit BitReader(ByteSpan data) : data_(data) {}

    std::optional<std::uint64_t> read(std::uint32_t bits) {
        if (bits > 64 || !has(bits)) return std::nullopt;
        std::uint64_t v = 0;
        for (std::uint32_t k = 0; k < bits; ++k)
            v = (v << 1) | bit();
        return v;
    }
    bool skip(std::uint64_t bits) {
        if (!has(bits)) return false;
        pos_ += bits;
        return true;
    }
    // Zero bits before the next one bit, which is consumed.
    std::optional<std::uint32_t> unary() {
        std::uint32_t zeros = 0;
        for (;;) {
            if (!has(1)) return std::nullopt;
            if ((pos_ & 7) == 0 && data_[pos_ >> 3] == 0 && has(8)) {
                zeros += 8;
                pos_ += 8;
                continue;
            }
            if (bit()) return zeros;
            ++zeros;
        }
    }
    void align() { pos_ = (pos_ + 7) & ~std::uint64_t{7}; }
    std::uint64_t bytePosition() const { return pos_ >> 3; }

    bool skipSubframe(std::uint32_t sampleBits, std::uint32_t blockSize) {
        const auto head = read(8);
        if (!head || (*head & 0x80) != 0) return false;
        const auto type = static_cast<std::uint32_t>((*head >> 1) & 0x3F);
        if (*head & 1) {
            const auto wasted = unary();
            if (!wasted || *wasted + 1 >= sampleBits) return false;
            sampleBits -= *wasted + 1;
        }
        if (type == 0) return skip(sampleBits);
        if (type == 1) return skip(std::uint64_t{blockSize} * sampleBits);
        if (type >= 8 && type <= 12) {
            const std::uint32_t order = type - 8;
            return order <= blockSize && skip(std::uint64_t{order} * sampleBits) &&
                   skipResidual(blockSize, order);
        }
        if (type >= 32) {
            const std::uint32_t order = (type & 0x1F) + 1;
            if (order > blockSize || !skip(std::uint64_t{order} * sampleBits)) return false;
            const auto precision = read(4);
            if (!precision || *precision == 15 || !skip(5)) return false;
            return skip(std::uint64_t{order} * (*precision + 1)) && skipResidual(blockSize, order);
        }
        return false;
    }

    bool skipResidual(std::uint32_t blockSize, std::uint32_t order) {
        const auto method = read(2);
        if (!method || *method > 1) return false;
        const std::uint32_t parameterBits = *method == 0 ? 4 : 5;
        const std::uint32_t escape = (1u << parameterBits) - 1;
        const auto partitionOrder = read(4);
        if (!partitionOrder) return false;
        const std::uint32_t partitions = 1u << *partitionOrder;
        if (blockSize % partitions != 0) return false;
        const std::uint32_t perPartition = blockSize / partitions;
        if (perPartition < order) return false;
        for (std::uint32_t p = 0; p < partitions; ++p) {
            const std::uint32_t samples = p == 0 ? perPartition - order : perPartition;
            const auto parameter = read(parameterBits);
            if (!parameter) return false;
            if (*parameter == escape) {
                const auto raw = read(5);
                if (!raw || !skip(std::uint64_t{samples} * *raw)) return false;
                continue;
            }
            for (std::uint32_t s = 0; s < samples; ++s)
                if (!unary() || !skip(*parameter)) return false;
        }
        return true;
    }

private:
    bool has(std::uint64_t bits) const { return bits <= data_.size() * 8 - pos_; }
    std::uint64_t bit() {
        const auto v = (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1;
        ++pos_;
        return v;
    }

    ByteSpan data_;
    std::uint64_t pos_ = 0;
};

// Where the search for the frame after one starting at frameStart gives up.
std::uint64_t searchLimit(const StreamInfo& stream, const FrameHeader& frame,
                          std::uint64_t frameStart, std::uint64_t rangeEnd) {
    const std::uint64_t span =
        stream.maxFrame > 0
            ? std::uint64_t{stream.maxFrame} + 32
            : std::uint64_t{frame.blockSize} * frame.channels * (frame.bitsPerSample / 8 + 1) +
                  1040;
    return std::min(rangeEnd, frameStart + span);
}

// The exact end of the frame at frameStart, proven by its CRC-16, or nothing.
std::optional<std::uint64_t> frameEnd(ByteWindow& window, const StreamInfo& stream,
                                      const FrameHeader& frame, std::uint64_t frameStart) {
    const std::uint64_t limit = searchLimit(stream, frame, frameStart, window.end());
    const auto bytes = window.bytes(frameStart, static_cast<std::int64_t>(limit - frameStart));
    if (!bytes || bytes->size() < frame.length) return std::nullopt;
    BitReader bits(*bytes);
    if (!bits.skip(frame.length * 8)) return std::nullopt;
    for (std::uint32_t channel = 0; channel < frame.channels; ++channel) {
        // The side channel of a stereo pair carries one more bit.
        const bool side = (frame.channelAssignment == 8 && channel == 1) ||
                          (frame.channelAssignment == 9 && channel == 0) ||
                          (frame.channelAssignment == 10 && channel == 1);
        if (!bits.skipSubframe(frame.bitsPerSample + (side ? 1 : 0), frame.blockSize))
            return std::nullopt;
    }
    bits.align();
    const auto crcAt = static_cast<std::int64_t>(bits.bytePosition());
    const auto stored = Binary::u16be(*bytes, crcAt);
    if (!stored || CRC::crc16(ByteSpan(*bytes).first(static_cast<std::size_t>(crcAt))) != *stored)
        return std::nullopt;
    return frameStart + static_cast<std::uint64_t>(crcAt) + 2;
}

} // namespace

std::optional<std::vector<std::uint8_t>> FLACCarver::leadBytes() const {
    return std::vector<std::uint8_t>{0x66};
}

std::optional<FileKind> FLACCarver::sniff(ByteSpan bytes) const {
    return Sniff::flac(bytes);
}

std::optional<Carved> FLACCarver::carve(const BlockReader& reader, std::uint64_t start,
                                        FileKind) const {
    ByteWindow window(reader, std::min(reader.size(), start + kRange), kWindow);
    const auto body = window.bytes(start + 8, kStreamInfoLength);
    if (!body) return std::nullopt;
    const auto stream = StreamInfo::parse(*body);

    std::uint64_t pos = start + 4;
    for (int block = 0;; ++block) {
        const auto header = window.u32be(pos);
        if (!header) return std::nullopt;
        const std::uint32_t type = (*header >> 24) & 0x7F;
        if (type > 6 || (block == 0 && type != 0)) return std::nullopt;
        pos += 4 + (*header & 0xFFFFFF);
        if (*header & 0x80000000u) break;
        if (block == kMaxFurtherBlocks) return std::nullopt;
    }

    auto frame = FrameHeader::parse(window, pos, stream);
    if (!frame || frame->number != 0) return std::nullopt;
    std::uint64_t frameStart = pos;
    std::uint64_t samples = frame->blockSize;
    std::uint64_t frames = 1;
    const std::uint8_t second = frame->variable ? 0xF9 : 0xF8;
    for (;;) {
        const std::uint64_t expected =
            frame->variable ? frame->number + frame->blockSize : frame->number + 1;
        const std::uint64_t limit = searchLimit(stream, *frame, frameStart, window.end());
        std::optional<FrameHeader> next;
        std::uint64_t at = frameStart + 4;
        while (at < limit) {
            const auto ff = window.nextFF(at);
            if (!ff || *ff >= limit) break;
            if (window.byte(*ff + 1) == second) {
                next = FrameHeader::parse(window, *ff, stream);
                if (next && next->number == expected) {
                    at = *ff;
                    break;
                }
                next.reset();
            }
            at = *ff + 1;
        }
        if (!next) break;
        frameStart = at;
        frame = next;
        samples += frame->blockSize;
        ++frames;
    }

    Carved carved;
    carved.kind = FileKind::flac;
    if (const auto end = frameEnd(window, stream, *frame, frameStart)) {
        carved.size = *end - start;
        carved.complete = stream.totalSamples == 0 || samples >= stream.totalSamples;
    } else {
        // The last frame does not check out: keep the frames before it.
        if (frames == 1) return std::nullopt;
        carved.size = frameStart - start;
        carved.complete = false;
    }
    return carved;
}

} // namespace vellary
