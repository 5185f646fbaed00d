#include "core/scan/NTFSRunList.hpp"

namespace vellary {
namespace {

// Little-endian two's-complement field of 1 to 8 bytes.
std::int64_t signedField(const std::uint8_t* p, unsigned width) {
    std::uint64_t value = 0;
    for (unsigned i = width; i-- > 0;)
        value = (value << 8) | p[i];
    if (width < 8 && (p[width - 1] & 0x80) != 0) value |= ~std::uint64_t{0} << (width * 8);
    return static_cast<std::int64_t>(value);
}

} // namespace

std::optional<std::vector<NTFSRun>> NTFSRunList::decode(ByteSpan data, std::int64_t from,
                                                        std::int64_t to) {
    std::vector<NTFSRun> runs;
    if (!decode(data, from, to, runs)) return std::nullopt;
    return runs;
}

bool NTFSRunList::decode(ByteSpan data, std::int64_t from, std::int64_t to,
                         std::vector<NTFSRun>& runs) {
    if (from < 0 || to < from || static_cast<std::uint64_t>(to) > data.size()) return false;
    const std::size_t kept = runs.size();
    const auto fail = [&] {
        runs.resize(kept);
        return false;
    };
    std::int64_t previous = 0;
    std::int64_t pos = from;
    while (pos < to) {
        const std::uint8_t header = data[static_cast<std::size_t>(pos)];
        if (header == 0) break;
        const unsigned lengthWidth = header & 0x0F;
        const unsigned offsetWidth = header >> 4;
        if (lengthWidth == 0 || lengthWidth > 8 || offsetWidth > 8) return fail();
        const auto entry = static_cast<std::int64_t>(1 + lengthWidth + offsetWidth);
        if (entry > to - pos) return fail();
        const std::uint8_t* p = data.data() + pos + 1;
        const std::int64_t length = signedField(p, lengthWidth);
        if (length < 1) return fail();
        NTFSRun run{std::nullopt, static_cast<std::uint64_t>(length)};
        if (offsetWidth != 0) {
            std::int64_t lcn = 0;
            if (__builtin_add_overflow(previous, signedField(p + lengthWidth, offsetWidth), &lcn) ||
                lcn < 0)
                return fail();
            previous = lcn;
            run.lcn = static_cast<std::uint64_t>(lcn);
        }
        runs.push_back(run);
        pos += entry;
    }
    return true;
}

} // namespace vellary
