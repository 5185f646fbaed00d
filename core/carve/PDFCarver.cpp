#include "core/carve/PDFCarver.hpp"

#include "core/formats/Sniff.hpp"

#include "core/io/ByteWindow.hpp"
#include "core/records/TextDecode.hpp"

#include <algorithm>
#include <ctime>
#include <string_view>

namespace vellary {
namespace {

constexpr std::uint64_t kRange = 512ULL * 1024 * 1024;
constexpr std::int64_t kWindow = 4 * 1024 * 1024;
constexpr std::uint64_t kTrailerLook = 64;
constexpr std::uint64_t kDateChunk = 65536;
constexpr std::int64_t kDateLook = 40;

constexpr std::string_view kEndMarker = "%%EOF";
constexpr std::string_view kHeaderMarker = "%PDF-";

ByteSpan spanOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool isDigit(std::uint8_t b) {
    return b >= '0' && b <= '9';
}
// Space, CR, LF and tab; form feed only where an update is looked for.
bool isSpace(std::uint8_t b) {
    return b == ' ' || b == '\r' || b == '\n' || b == '\t';
}
bool isSpaceOrFeed(std::uint8_t b) {
    return isSpace(b) || b == '\f';
}

std::optional<std::size_t> findLast(ByteSpan haystack, std::string_view needle) {
    if (haystack.size() < needle.size()) return std::nullopt;
    for (std::size_t i = haystack.size() - needle.size() + 1; i-- > 0;)
        if (std::equal(needle.begin(), needle.end(),
                       haystack.begin() + static_cast<std::ptrdiff_t>(i)))
            return i;
    return std::nullopt;
}

std::optional<std::size_t> findFirst(ByteSpan haystack, std::string_view needle) {
    const auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
    if (it == haystack.end()) return std::nullopt;
    return static_cast<std::size_t>(it - haystack.begin());
}

// The local time zone's offset from UTC at the given moment, in seconds.
long localOffset(std::time_t at) {
    std::tm local{};
    if (localtime_r(&at, &local) == nullptr) return 0;
    return local.tm_gmtoff;
}

} // namespace

std::optional<std::vector<std::uint8_t>> PDFCarver::leadBytes() const {
    return std::vector<std::uint8_t>{0x25};
}

std::optional<FileKind> PDFCarver::sniff(ByteSpan bytes) const {
    return Sniff::pdf(bytes);
}

std::optional<Carved> PDFCarver::carve(const BlockReader& reader, std::uint64_t start,
                                       FileKind) const {
    ByteWindow window(reader, std::min(reader.size(), start + kRange), kWindow);
    const std::vector<ByteSpan> markers = {spanOf(kEndMarker), spanOf(kHeaderMarker)};
    std::uint64_t pos = start + 8;
    for (;;) {
        const auto match = window.findFirst(markers, pos);
        if (!match) return std::nullopt;
        if (match->index == 1) {
            // Another PDF begins on a sector boundary inside this one.
            if (match->offset % 512 == 0) return std::nullopt;
            pos = match->offset + kHeaderMarker.size();
            continue;
        }
        pos = match->offset + kEndMarker.size();
        if (!followsStartXref(window, match->offset, start)) continue;
        if (window.byte(pos) == 0x0D) ++pos;
        if (window.byte(pos) == 0x0A) ++pos;
        if (updateFollows(window, pos)) continue;
        break;
    }
    Carved carved;
    carved.kind = FileKind::pdf;
    carved.size = pos - start;
    carved.modified = date(window, start, pos);
    carved.complete = true;
    return carved;
}

bool PDFCarver::followsStartXref(ByteWindow& window, std::uint64_t eof, std::uint64_t start) {
    const std::uint64_t n = std::min(eof - start, kTrailerLook);
    const auto before = window.bytes(eof - n, static_cast<std::int64_t>(n));
    if (!before) return false;
    const auto keyword = findLast(*before, "startxref");
    if (!keyword) return false;
    std::uint64_t number = 0;
    int digits = 0;
    for (std::size_t i = *keyword + 9; i < before->size(); ++i) {
        const auto b = (*before)[i];
        if (isDigit(b)) {
            if (++digits > 12) return false;
            number = number * 10 + (b - '0');
        } else if (!isSpace(b)) {
            return false;
        }
    }
    return digits > 0 && number < eof - start;
}

bool PDFCarver::updateFollows(ByteWindow& window, std::uint64_t at) {
    if (at >= window.end()) return false;
    const auto n = std::min(window.end() - at, kTrailerLook);
    const auto bytes = window.bytes(at, static_cast<std::int64_t>(n));
    if (!bytes || bytes->empty()) return false;
    const ByteSpan s = *bytes;
    std::size_t i = 0;
    while (i < s.size() && isSpaceOrFeed(s[i]))
        ++i;
    const auto rest = s.subspan(i);
    if (rest.size() >= 4 &&
        std::string_view(reinterpret_cast<const char*>(rest.data()), 4) == "xref")
        return true;
    // An object header: digits, white space, digits, white space, "obj".
    const auto digitsThenSpace = [&](std::size_t& k) {
        const auto first = k;
        while (k < s.size() && isDigit(s[k]))
            ++k;
        if (k == first || k >= s.size() || !isSpaceOrFeed(s[k])) return false;
        while (k < s.size() && isSpaceOrFeed(s[k]))
            ++k;
        return true;
    };
    if (!digitsThenSpace(i) || !digitsThenSpace(i)) return false;
    return s.size() - i >= 3 && s[i] == 'o' && s[i + 1] == 'b' && s[i + 2] == 'j';
}

std::optional<Date> PDFCarver::date(ByteWindow& window, std::uint64_t start, std::uint64_t end) {
    const std::uint64_t length = end - start;
    std::vector<Bytes> chunks;
    if (auto first = window.bytes(start, static_cast<std::int64_t>(std::min(length, kDateChunk))))
        chunks.push_back(std::move(*first));
    if (length > kDateChunk) {
        if (auto last = window.bytes(end - kDateChunk, static_cast<std::int64_t>(kDateChunk)))
            chunks.push_back(std::move(*last));
    }
    for (const std::string_view key : {"/ModDate", "/CreationDate"}) {
        for (const auto& chunk : chunks) {
            const ByteSpan s = chunk;
            const auto at = findFirst(s, key);
            if (!at) continue;
            const auto after = s.subspan(*at + key.size());
            if (auto parsed =
                    parseDate(after.first(std::min<std::size_t>(after.size(), kDateLook))))
                return parsed;
        }
    }
    return std::nullopt;
}

std::optional<Date> PDFCarver::parseDate(ByteSpan bytes) {
    const std::string text = TextDecode::utf8Repaired(bytes);
    const auto open = text.find('(');
    if (open == std::string::npos) return std::nullopt;
    std::string_view rest(text);
    rest.remove_prefix(open + 1);
    const auto isWhite = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
    };
    while (!rest.empty() && isWhite(rest.front()))
        rest.remove_prefix(1);
    if (rest.substr(0, 2) == "D:") rest.remove_prefix(2);

    std::size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9')
        ++digits;
    if (digits < 8) return std::nullopt;
    const auto field = [&](std::size_t at, std::size_t width, int otherwise) {
        if (at + width > digits) return otherwise;
        int value = 0;
        for (std::size_t k = at; k < at + width; ++k)
            value = value * 10 + (rest[k] - '0');
        return value;
    };
    const int year = field(0, 4, 0);
    const int month = field(4, 2, 1);
    const int day = field(6, 2, 1);
    const int hour = field(8, 2, 0);
    const int minute = field(10, 2, 0);
    int second = field(12, 2, 0);
    if (year < 1980 || year > 2100 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second < 0)
        return std::nullopt;
    second = std::min(second, 58);
    const auto local = Binary::localDate(year, month, day, hour, minute, second);
    if (!local) return std::nullopt;

    if (digits >= rest.size()) return local;
    const char sign = rest[digits];
    if (sign != 'Z' && sign != '+' && sign != '-') return local;
    std::string zone;
    for (std::size_t k = digits + 1; k < rest.size(); ++k) {
        if (rest[k] == '\'') continue;
        if (rest[k] < '0' || rest[k] > '9') break;
        zone += rest[k];
    }
    const auto number = [&](std::size_t at) {
        int value = 0;
        for (std::size_t k = at; k < std::min(zone.size(), at + 2); ++k)
            value = value * 10 + (zone[k] - '0');
        return value;
    };
    long stated = (number(0) * 60L + number(2)) * 60L;
    if (sign == '-') stated = -stated;
    const auto instant = static_cast<std::time_t>(unixSeconds(*local));
    return *local + Seconds(static_cast<double>(localOffset(instant) - stated));
}

} // namespace vellary
