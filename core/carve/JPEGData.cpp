#include "core/carve/JPEGData.hpp"

#include <algorithm>
#include <cstring>

namespace vellary {
namespace {

constexpr int kFastBits = JPEGData::kFastBits;

// The eight bytes at p, first byte highest, when none of them is FF (so neither stuffing nor a
// marker lies among them). One load and a swap: Binary's byte loop costs a tenth of the check.
inline std::optional<std::uint64_t> plainEight(const std::uint8_t* p) {
    std::uint64_t v = 0;
    std::memcpy(&v, p, 8);
    v = __builtin_bswap64(v);
    const std::uint64_t inverted = ~v;
    if (((inverted - 0x0101010101010101ull) & ~inverted & 0x8080808080808080ull) != 0)
        return std::nullopt;
    return v;
}
constexpr std::uint64_t kPiece = 64 * 1024;
// Above this many blocks a progressive image's refinement scans are not followed (8 bytes each).
constexpr std::uint64_t kMaxTrackedBlocks = 8 * 1024 * 1024;

// The entropy-coded bytes as a stream of bits: stuffed zero bytes dropped, and zero bits supplied
// once a marker (or the end of what can be read) is reached, so that over-reading is noticed.
// The bits wait at the top of a 64-bit buffer, so a look-up is one shift.
class Bits {
public:
    Bits(HeldWindow& window, std::uint64_t from) : window_(&window), pos_(from) {}

    void drop(int n) {
        bits_ <<= n;
        count_ -= n;
    }
    // Whether bits were taken from the zeros after a marker.
    bool overran() const { return count_ < padding_; }

    // At a marker with less than a byte of data left (the encoder's padding bits).
    bool atMarker() {
        if (count_ - padding_ >= 8) return false;
        if (!marker_) {
            drop((count_ - padding_) % 8);
            fill();
        }
        return marker_ && count_ - padding_ < 8;
    }
    bool truncated() const { return truncated_; }
    // Before any marker: where the bits come from and what is buffered.
    bool plain() const { return !marker_; }
    std::uint64_t next() const { return pos_; }
    std::uint64_t buffered() const { return bits_; }
    int count() const { return count_; }
    void hold(std::uint64_t buffered, int count) {
        bits_ = buffered;
        count_ = count;
    }
    void restore(std::uint64_t pos, std::uint64_t buffered, int count) {
        pos_ = pos;
        bits_ = buffered;
        count_ = count;
    }
    // The plain bytes buffered ahead in memory, for a loop that reads them itself: nothing once a
    // marker was reached.
    std::optional<std::pair<const std::uint8_t*, const std::uint8_t*>> ahead() {
        if (marker_ || (pos_ - base_ >= length_ && byteAt(pos_) < 0)) return std::nullopt;
        return std::pair{data_ + (pos_ - base_), data_ + length_};
    }
    // Takes back what such a loop read, up to at in the same memory.
    void took(const std::uint8_t* at, std::uint64_t buffered, int count) {
        pos_ = base_ + static_cast<std::uint64_t>(at - data_);
        bits_ = buffered;
        count_ = count;
    }
    std::uint64_t markerAt() const { return markerAt_; }
    std::uint8_t markerCode() const { return markerCode_; }
    // Steps over the marker the stream stopped at and starts afresh after it.
    void resumeAfterMarker() {
        pos_ = markerAt_ + 2;
        bits_ = 0;
        count_ = 0;
        padding_ = 0;
        marker_ = false;
    }
    // About where the bit being read lies on the source.
    std::uint64_t position() const {
        if (marker_) return markerAt_;
        const auto buffered = static_cast<std::uint64_t>(count_ / 8);
        return pos_ > buffered ? pos_ - buffered : pos_;
    }

    // At least 57 bits buffered (zeros past a marker count).
    [[gnu::always_inline]] void fill() {
        // Whole bytes while the next eight hold no FF. The part of a byte that does not fit is
        // ORed in below the count; it is the byte the next fill brings, so ORing it again is
        // harmless.
        if (!marker_ && pos_ - base_ < length_ && length_ - (pos_ - base_) >= 8) {
            if (const auto v = plainEight(data_ + (pos_ - base_))) {
                const int n = (64 - count_) / 8;
                bits_ |= *v >> count_;
                count_ += 8 * n;
                pos_ += static_cast<std::uint64_t>(n);
                return;
            }
        }
        fillBytes();
    }

private:
    int byteAt(std::uint64_t at) {
        if (at - base_ < length_) return data_[at - base_];
        const auto piece = window_->span(at, kPiece);
        if (!piece || piece->empty()) return -1;
        data_ = piece->data();
        base_ = at;
        length_ = piece->size();
        return data_[0];
    }

    void fillBytes() {
        while (count_ <= 56) {
            if (!marker_) {
                const int b = byteAt(pos_);
                if (b < 0) {
                    marker_ = true;
                    truncated_ = true;
                    markerAt_ = pos_;
                    continue;
                }
                if (b != 0xFF) {
                    bits_ |= static_cast<std::uint64_t>(b) << (56 - count_);
                    count_ += 8;
                    ++pos_;
                    continue;
                }
                std::uint64_t next = pos_ + 1;
                int c = byteAt(next);
                while (c == 0xFF)
                    c = byteAt(++next);
                if (c == 0x00) {
                    bits_ |= std::uint64_t{0xFF} << (56 - count_);
                    count_ += 8;
                    pos_ = next + 1;
                    continue;
                }
                marker_ = true;
                truncated_ = c < 0;
                markerAt_ = next - 1;
                markerCode_ = static_cast<std::uint8_t>(c);
            }
            count_ += 8;
            padding_ += 8;
        }
    }

    HeldWindow* window_;
    const std::uint8_t* data_ = nullptr;
    std::uint64_t base_ = 0;
    std::uint64_t length_ = 0;
    std::uint64_t pos_;
    std::uint64_t bits_ = 0;
    int count_ = 0;
    int padding_ = 0;
    bool marker_ = false;
    bool truncated_ = false;
    std::uint64_t markerAt_ = 0;
    std::uint8_t markerCode_ = 0;
};

// Set bits in v, inline: the portable build has no population-count instruction, and the
// library call costs more than this.
inline int bitCount(std::uint64_t v) {
    v -= (v >> 1) & 0x5555555555555555ull;
    v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<int>((v * 0x0101010101010101ull) >> 56);
}

// A Bits' buffer held in locals while one block is decoded, so that it stays in registers; it
// goes back to the stream for refills and when the block is done. Refills come exactly when the
// stream's own would.
class Buffer {
public:
    explicit Buffer(Bits& bits) : bits_(bits), acc_(bits.buffered()), have_(bits.count()) {}
    ~Buffer() { bits_.hold(acc_, have_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    [[gnu::always_inline]] void ensure(int n) {
        if (have_ < n) {
            bits_.hold(acc_, have_);
            bits_.fill();
            acc_ = bits_.buffered();
            have_ = bits_.count();
        }
    }
    std::uint32_t peek(int n) const { return static_cast<std::uint32_t>(acc_ >> (64 - n)); }
    void drop(int n) {
        acc_ <<= n;
        have_ -= n;
    }
    // Passes over n bits whose values do not matter.
    void skip(int n) {
        for (; n > 0; n -= 56) {
            const int m = std::min(n, 56);
            ensure(m);
            drop(m);
        }
    }
    [[gnu::always_inline]] std::uint32_t take(int n) {
        if (n == 0) return 0;
        ensure(n);
        const auto value = peek(n);
        drop(n);
        return value;
    }
    int count() const { return have_; }

private:
    Bits& bits_;
    std::uint64_t acc_;
    int have_;
};

// The symbol of the next code, or -1 when the bits form no code of the table.
[[gnu::always_inline]] inline int decode(Buffer& bits, const JPEGData::Table& table) {
    bits.ensure(16);
    if (const auto entry = table.fast[bits.peek(kFastBits)]; entry != 0) {
        bits.drop(entry >> 8);
        return entry & 0xFF;
    }
    const auto code = bits.peek(16);
    for (int length = kFastBits + 1; length <= 16; ++length) {
        const auto prefix = static_cast<std::int32_t>(code >> (16 - length));
        if (prefix <= table.maxCode[static_cast<std::size_t>(length)]) {
            bits.drop(length);
            return table.symbols[static_cast<std::size_t>(
                table.offset[static_cast<std::size_t>(length)] + prefix)];
        }
    }
    return -1;
}

// Pairs each AC step with the one that follows it in the same look-up bits, where it fits.
void pairSteps(JPEGData::Table& table) {
    constexpr std::uint32_t kMask = (1u << kFastBits) - 1;
    for (std::uint32_t i = 0; i <= kMask; ++i) {
        const std::uint32_t first = table.step[i];
        if (first == 0) continue;
        const std::uint32_t length = first >> 8;
        const std::uint32_t advance = first & 0xFF;
        const std::uint32_t alone = length | advance << 8;
        std::uint32_t both = alone;
        if (advance < JPEGData::kEndOfBlock) {
            const std::uint32_t second = table.step[(i << length) & kMask];
            if (second != 0 && (second >> 8) <= kFastBits - length)
                both = (length + (second >> 8)) | (advance + (second & 0xFF)) << 8;
        }
        table.pair[i] = alone | both << 16;
    }
}

struct ScanComponent {
    std::size_t index = 0;
    const JPEGData::Table* dc = nullptr;
    const JPEGData::Table* ac = nullptr;
};

// Where a run of sequential blocks stopped: the unit, and the block within it.
struct Reached {
    std::uint64_t unit = 0;
    std::size_t block = 0;
};

// Decodes sequential blocks from the start of unit up to stop with the bit buffer in registers,
// while the data ahead is plain bytes in memory and each code is found in one look-up. Stops at
// the start of the first block it cannot finish so (a marker or the memory's end near, a long or
// a bad code), with the stream where that block starts: the careful loop takes it from there and
// judges it, so both give the same verdict.
[[gnu::noinline]] Reached sequentialRun(Bits& stream, const std::array<ScanComponent, 4>& parts,
                                        const std::array<std::uint8_t, 10>& unitBlocks,
                                        std::size_t blocksPerUnit, std::uint64_t unit,
                                        std::uint64_t stop, int maxDC, int maxAC) {
    const auto memory = stream.ahead();
    if (!memory) return {unit, 0};
    const std::uint8_t* p = memory->first;
    const std::uint8_t* const end = memory->second;
    std::uint64_t acc = stream.buffered();
    int have = stream.count();
    constexpr int kLow = 27; // two codes of up to 11 bits with their extra bits, or one of 22
    // Tops the buffer up to 57 bits or more; false at a marker or near the memory's end.
    const auto refill = [&]() -> bool {
        if (end - p < 16) return false;
        if (const auto v = plainEight(p)) {
            acc |= *v >> have;
            const int n = (63 - have) >> 3;
            p += n;
            have += 8 * n;
            return true;
        }
        while (have <= 56) {
            const std::uint64_t b = *p;
            if (b == 0xFF) {
                if (p[1] != 0x00) return false;
                ++p;
            }
            ++p;
            acc |= b << (56 - have);
            have += 8;
        }
        return true;
    };
    constexpr int kShift = 64 - kFastBits;
    for (; unit < stop; ++unit) {
        for (std::size_t block = 0; block < blocksPerUnit; ++block) {
            const auto& part = parts[unitBlocks[block]];
            const std::uint8_t* const startP = p;
            const std::uint64_t startAcc = acc;
            const int startHave = have;
            const auto bail = [&] {
                stream.took(startP, startAcc, startHave);
                return Reached{unit, block};
            };
            if (have < kLow && !refill()) return bail();
            if (const auto e = part.dc->step[acc >> kShift]; e != 0) {
                acc <<= e >> 8;
                have -= e >> 8;
            } else {
                const auto f = part.dc->fast[acc >> kShift];
                const int size = f & 0xFF;
                if (f == 0 || size > maxDC) return bail();
                const int length = (f >> 8) + size;
                acc <<= length;
                have -= length;
            }
            const auto* pair = part.ac->pair.data();
            const auto* single = part.ac->fast.data();
            int k = 1;
            do {
                if (have < kLow && !refill()) return bail();
                const auto index = acc >> kShift;
                if (const std::uint32_t e = pair[index]; e != 0) {
                    // Two steps while the first surely leaves the block open.
                    const std::uint32_t use = k <= 63 - 16 ? e >> 16 : e;
                    acc <<= use & 0xFF;
                    have -= static_cast<int>(use & 0xFF);
                    k += static_cast<int>(use >> 8 & 0xFF);
                    continue;
                }
                const auto f = single[index];
                const int rs = f & 0xFF;
                const int size = rs & 0x0F;
                if (f == 0 || size > maxAC) return bail();
                const int length = (f >> 8) + size;
                acc <<= length;
                have -= length;
                k += size != 0 ? (rs >> 4) + 1 : (rs >> 4) == 15 ? 16 : JPEGData::kEndOfBlock;
            } while (k < 64);
            if (k > 64 && k < JPEGData::kEndOfBlock) return bail();
        }
    }
    stream.took(p, acc, have);
    return {stop, 0};
}

} // namespace

bool JPEGData::defineTables(ByteSpan payload) {
    std::size_t at = 0;
    while (at < payload.size()) {
        if (payload.size() - at < 17) return false;
        const auto classAndSlot = payload[at];
        const int tableClass = classAndSlot >> 4;
        const int slot = classAndSlot & 0x0F;
        if (tableClass > 1 || slot > 3) return false;
        std::size_t total = 0;
        for (std::size_t i = 1; i <= 16; ++i)
            total += payload[at + i];
        if (total == 0 || total > 256 || payload.size() - at - 17 < total) return false;
        Table table;
        table.defined = true;
        table.maxCode.fill(-1);
        std::int32_t code = 0;
        std::size_t symbol = 0;
        for (int length = 1; length <= 16; ++length) {
            const int n = payload[at + static_cast<std::size_t>(length)];
            table.offset[static_cast<std::size_t>(length)] =
                static_cast<std::int32_t>(symbol) - code;
            for (int i = 0; i < n; ++i, ++symbol, ++code) {
                // Codes of one length must fit in that many bits.
                if (code >= (1 << length)) return false;
                table.symbols[symbol] = payload[at + 17 + symbol];
                if (length <= kFastBits) {
                    const int spare = kFastBits - length;
                    const auto rs = table.symbols[symbol];
                    // DC symbols are sizes alone; AC ones a run and a size.
                    const int size = tableClass == 0 ? rs : rs & 0x0F;
                    const int run = tableClass == 0 ? 0 : rs >> 4;
                    int advance = run + 1;
                    if (tableClass == 1 && size == 0) advance = run == 15 ? 16 : kEndOfBlock;
                    const bool stepped =
                        length + size <= kFastBits && size <= (tableClass == 0 ? 11 : 10);
                    for (int fill = 0; fill < (1 << spare); ++fill) {
                        const auto entry = static_cast<std::size_t>((code << spare) | fill);
                        table.fast[entry] = static_cast<std::uint16_t>(length << 8 | rs);
                        if (stepped)
                            table.step[entry] =
                                static_cast<std::uint16_t>((length + size) << 8 | advance);
                    }
                }
            }
            if (n > 0) table.maxCode[static_cast<std::size_t>(length)] = code - 1;
            code <<= 1;
        }
        if (tableClass == 1) pairSteps(table);
        table.maxCode[17] = INT32_MAX;
        (tableClass == 0 ? dc_ : ac_)[static_cast<std::size_t>(slot)] = table;
        at += 17 + total;
    }
    return true;
}

bool JPEGData::defineFrame(std::uint8_t marker, ByteSpan payload) {
    supported_ = false;
    componentCount_ = 0;
    // The masks keep their memory for the next frame.
    for (auto& c : components_)
        c.nonZero.clear();
    if (payload.size() < 6) return false;
    const int precision = payload[0];
    const std::uint64_t height = static_cast<std::uint64_t>(payload[1] << 8 | payload[2]);
    const std::uint64_t width = static_cast<std::uint64_t>(payload[3] << 8 | payload[4]);
    const std::size_t count = payload[5];
    if (count < 1 || count > 4 || payload.size() < 6 + 3 * count || width == 0) return false;
    int hMax = 1;
    int vMax = 1;
    for (std::size_t i = 0; i < count; ++i) {
        auto& c = components_[i];
        c.id = payload[6 + 3 * i];
        c.h = payload[7 + 3 * i] >> 4;
        c.v = payload[7 + 3 * i] & 0x0F;
        if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4) return false;
        for (std::size_t j = 0; j < i; ++j)
            if (components_[j].id == c.id) return false;
        hMax = std::max(hMax, c.h);
        vMax = std::max(vMax, c.v);
        componentCount_ = i + 1;
    }
    // Height 0 is given later by a DNL marker, which this checker does not follow.
    const bool huffman = marker == 0xC0 || marker == 0xC1 || marker == 0xC2;
    if (!huffman || height == 0 || (precision != 8 && precision != 12)) return true;
    mcusWide_ = (width + 8 * static_cast<std::uint64_t>(hMax) - 1) / (8 * hMax);
    mcusHigh_ = (height + 8 * static_cast<std::uint64_t>(vMax) - 1) / (8 * vMax);
    for (std::size_t i = 0; i < componentCount_; ++i) {
        auto& c = components_[i];
        const auto w = (width * static_cast<std::uint64_t>(c.h) + hMax - 1) / hMax;
        const auto h = (height * static_cast<std::uint64_t>(c.v) + vMax - 1) / vMax;
        c.blocksWide = (w + 7) / 8;
        c.blocksHigh = (h + 7) / 8;
    }
    progressive_ = marker == 0xC2;
    precision_ = precision;
    supported_ = true;
    return true;
}

bool JPEGData::defineRestartInterval(ByteSpan payload) {
    if (payload.size() < 2) return false;
    restartInterval_ = static_cast<std::uint32_t>(payload[0] << 8 | payload[1]);
    return true;
}

JPEGData::ScanEnd JPEGData::scan(ByteSpan header, HeldWindow& window, std::uint64_t dataStart) {
    return scan(header, window, dataStart, std::nullopt, {});
}

JPEGData::ScanEnd JPEGData::scan(ByteSpan header, HeldWindow& window, std::uint64_t dataStart,
                                 const std::optional<Resume>& from, const Marks& marks) {
    ScanEnd failed{false, dataStart};
    if (!supported_ || header.empty()) return failed;
    const std::size_t count = header[0];
    if (count < 1 || count > 4 || header.size() < 4 + 2 * count) return failed;
    std::array<ScanComponent, 4> parts{};
    for (std::size_t i = 0; i < count; ++i) {
        const auto id = header[1 + 2 * i];
        const auto end = components_.begin() + static_cast<std::ptrdiff_t>(componentCount_);
        const auto found =
            std::find_if(components_.begin(), end, [id](const Component& c) { return c.id == id; });
        if (found == end) return failed;
        const auto tables = header[2 + 2 * i];
        if ((tables >> 4) > 3 || (tables & 0x0F) > 3) return failed;
        parts[i] = {static_cast<std::size_t>(found - components_.begin()), &dc_[tables >> 4],
                    &ac_[tables & 0x0F]};
    }
    const int ss = header[1 + 2 * count];
    const int se = header[2 + 2 * count];
    const int ah = header[3 + 2 * count] >> 4;
    const bool dcScan = !progressive_ || ss == 0;
    const bool acScan = !progressive_ || ss > 0;
    if (progressive_) {
        if (ss > se || se > 63 || (ss == 0 && se != 0) || (ss > 0 && count != 1)) return failed;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto& part = parts[i];
        // Motion-JPEG frames leave their tables out; such scans are not judged.
        if ((dcScan && (!progressive_ || ah == 0) && !part.dc->defined) ||
            (acScan && !part.ac->defined))
            return ScanEnd{false, dataStart, false};
    }
    const bool refining = progressive_ && ah != 0;

    // A lone component is walked block by block; several go by MCUs of h × v blocks each.
    const bool single = count == 1;
    std::uint64_t units = mcusWide_ * mcusHigh_;
    std::array<std::uint8_t, 10> unitBlocks{}; // the component of each block in one unit
    std::size_t blocksPerUnit = 0;
    if (single) {
        const auto& c = components_[parts[0].index];
        units = c.blocksWide * c.blocksHigh;
        blocksPerUnit = 1;
    } else {
        for (std::size_t p = 0; p < count; ++p) {
            const auto& c = components_[parts[p].index];
            for (int b = 0; b < c.h * c.v; ++b) {
                if (blocksPerUnit == unitBlocks.size()) return failed;
                unitBlocks[blocksPerUnit++] = static_cast<std::uint8_t>(p);
            }
        }
    }
    std::vector<std::uint64_t>* nonZero = nullptr;
    if (progressive_ && ss > 0) {
        auto& c = components_[parts[0].index];
        if (units <= kMaxTrackedBlocks) {
            if (c.nonZero.size() != units) c.nonZero.assign(units, 0);
            nonZero = &c.nonZero;
        } else if (refining) {
            // Too large to follow; not judged.
            return failed;
        }
    }

    if (from && (progressive_ || from->block >= blocksPerUnit)) return failed;
    Bits stream(window, dataStart);
    std::uint32_t eobRun = 0;
    std::uint32_t restarts = 0;
    std::uint64_t unit = 0;
    std::size_t block = 0;
    if (from) {
        stream.restore(from->pos, from->bits, from->count);
        unit = from->unit;
        block = from->block;
        restarts = from->restarts;
    }
    const auto broken = [&] { return ScanEnd{false, std::max(stream.position(), dataStart)}; };
    // Coefficients of 8-bit samples need at most 11 bits (DC) and 10 (AC); 12-bit ones four more.
    const int maxDC = precision_ == 8 ? 11 : 15;
    const int maxAC = precision_ == 8 ? 10 : 14;
    // Sequential blocks go through a tighter loop where nobody asks for block starts.
    const bool quick = !progressive_ && !marks;

    for (; unit < units; ++unit, block = 0) {
        const bool resumed = from && unit == from->unit;
        if (!resumed && restartInterval_ != 0 && unit != 0 && unit % restartInterval_ == 0) {
            if (!stream.atMarker() || stream.truncated() ||
                stream.markerCode() != 0xD0 + (restarts % 8))
                return broken();
            ++restarts;
            stream.resumeAfterMarker();
            eobRun = 0;
        }
        if (quick && block == 0) {
            const std::uint64_t stop =
                restartInterval_ == 0
                    ? units
                    : std::min(units, (unit / restartInterval_ + 1) * restartInterval_);
            const auto reached =
                sequentialRun(stream, parts, unitBlocks, blocksPerUnit, unit, stop, maxDC, maxAC);
            unit = reached.unit == stop ? stop - 1 : reached.unit;
            block = reached.unit == stop ? blocksPerUnit : reached.block;
        }
        for (; block < blocksPerUnit; ++block) {
            const auto& part = parts[unitBlocks[block]];
            if (marks && stream.plain())
                marks(Resume{unit, block, restarts, stream.next(), stream.buffered(),
                             stream.count()});
            const bool decoded = [&] {
                Buffer bits(stream);
                if (!progressive_) {
                    // Most codes and their extra bits come in one look-up; the rest the slow way.
                    bits.ensure(16);
                    if (const auto e = part.dc->step[bits.peek(kFastBits)]; e != 0) {
                        bits.drop(e >> 8);
                    } else {
                        const int s = decode(bits, *part.dc);
                        if (s < 0 || s > maxDC) return false;
                        bits.take(s);
                    }
                    const auto* pair = part.ac->pair.data();
                    int k = 1;
                    do {
                        bits.ensure(16);
                        if (const std::uint32_t e = pair[bits.peek(kFastBits)]; e != 0) {
                            // Both steps when the first surely leaves the block open (it moves 16
                            // at most, or ends the block and is paired with nothing) and no refill
                            // would come between them (it takes 11 bits at most), so the buffer
                            // moves exactly as step by step.
                            const bool both = (k <= 63 - 16) & (bits.count() >= 16 + kFastBits);
                            const std::uint32_t use = both ? e >> 16 : e;
                            bits.drop(static_cast<int>(use & 0xFF));
                            k += static_cast<int>(use >> 8 & 0xFF);
                            continue;
                        }
                        const int rs = decode(bits, *part.ac);
                        if (rs < 0) return false;
                        const int size = rs & 0x0F;
                        if (size == 0) {
                            k += (rs >> 4) == 15 ? 16 : kEndOfBlock;
                        } else {
                            if (size > maxAC) return false;
                            bits.take(size);
                            k += (rs >> 4) + 1;
                        }
                    } while (k < 64);
                    // Past the block's last coefficient, unless the block ended with its own code.
                    if (k > 64 && k < kEndOfBlock) return false;
                } else if (ss == 0) {
                    if (ah == 0) {
                        bits.ensure(16);
                        if (const auto e = part.dc->step[bits.peek(kFastBits)]; e != 0) {
                            bits.drop(e >> 8);
                        } else {
                            const int s = decode(bits, *part.dc);
                            if (s < 0 || s > 16) return false;
                            bits.take(s);
                        }
                    } else {
                        bits.take(1);
                    }
                } else if (!refining) {
                    if (eobRun > 0) {
                        --eobRun;
                    } else {
                        std::uint64_t mask = 0;
                        for (int k = ss; k <= se;) {
                            // A code with its extra bits in one look-up where they fit.
                            bits.ensure(16);
                            const auto index = bits.peek(kFastBits);
                            const auto step = part.ac->step[index];
                            int rs = 0;
                            if (step != 0) {
                                const auto entry = part.ac->fast[index];
                                rs = entry & 0xFF;
                                // Failing, the code is taken but not its bits, as the slow way.
                                if ((rs & 0x0F) != 0 && k + (rs >> 4) > se) {
                                    bits.drop(entry >> 8);
                                    return false;
                                }
                                bits.drop(step >> 8);
                            } else {
                                rs = decode(bits, *part.ac);
                                if (rs < 0) return false;
                            }
                            const int r = rs >> 4;
                            const int size = rs & 0x0F;
                            if (size == 0) {
                                if (r < 15) {
                                    eobRun = (1u << r) - 1;
                                    if (r > 0) eobRun += bits.take(r);
                                    break;
                                }
                                k += 16;
                            } else {
                                k += r;
                                if (k > se) return false;
                                if (step == 0) bits.take(size);
                                mask |= 1ull << k;
                                ++k;
                            }
                            if (k > se + 1) return false;
                        }
                        if (nonZero != nullptr) (*nonZero)[unit] |= mask;
                    }
                } else {
                    auto& mask = (*nonZero)[unit];
                    const std::uint64_t upTo = se == 63 ? ~0ull : (1ull << (se + 1)) - 1;
                    int k = ss;
                    if (eobRun == 0) {
                        for (; k <= se; ++k) {
                            const int rs = decode(bits, *part.ac);
                            if (rs < 0) return false;
                            const int r = rs >> 4;
                            const int size = rs & 0x0F;
                            if (size != 0) {
                                if (size != 1) return false;
                            } else if (r != 15) {
                                eobRun = 1u << r;
                                if (r > 0) eobRun += bits.take(r);
                                break;
                            }
                            // Coefficients already non-zero take a correction bit; the r-th zero
                            // one after them is where a new one lands (past se when there is none).
                            const std::uint64_t ahead = upTo & (~0ull << k);
                            std::uint64_t zeros = ~mask & ahead;
                            for (int i = 0; i < r && zeros != 0; ++i)
                                zeros &= zeros - 1;
                            const int stop = zeros != 0 ? __builtin_ctzll(zeros) : se + 1;
                            const std::uint64_t before = stop > 63 ? ~0ull : (1ull << stop) - 1;
                            // The new coefficient's sign bit, then the corrections; only their
                            // count matters here.
                            bits.skip((size != 0) + bitCount(mask & ahead & before));
                            k = stop;
                            if (size != 0) {
                                if (k > se) return false;
                                mask |= 1ull << k;
                            }
                        }
                    }
                    if (eobRun > 0) {
                        // One correction bit for each coefficient from k on that is already set.
                        const std::uint64_t onward = k > 63 ? 0 : ~((1ull << k) - 1);
                        bits.skip(bitCount(mask & upTo & onward));
                        --eobRun;
                    }
                }
                return true;
            }();
            if (!decoded) return broken();
            // Decoding on into the zeros after a marker is noticed once per block: they only
            // ever add bits, so the block that first reached them is the one that fails.
            if (stream.overran()) return broken();
        }
    }
    if (!stream.atMarker() || stream.truncated()) return broken();
    return ScanEnd{true, stream.markerAt()};
}

} // namespace vellary
