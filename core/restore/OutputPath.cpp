#include "core/restore/OutputPath.hpp"

#include <memory>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <vector>

namespace vellary {
namespace {

icu::UnicodeString fromUTF8(std::string_view text) {
    // Invalid byte sequences become U+FFFD, so no stray bytes reach a file name.
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
}

std::string toUTF8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

int utf8Length(UChar32 c) {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Length in UTF-16 units of the longest prefix that keeps at most maxCharacters grapheme
// clusters and maxBytes UTF-8 bytes, cut at a cluster boundary when one fits.
std::int32_t fittingPrefix(const icu::UnicodeString& text, int maxCharacters, int maxBytes) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> clusters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    std::int32_t fit = 0;
    int bytes = 0;
    if (U_SUCCESS(status) && clusters) {
        clusters->setText(text);
        int characters = 0;
        std::int32_t start = clusters->first();
        for (std::int32_t end = clusters->next(); end != icu::BreakIterator::DONE;
             start = end, end = clusters->next()) {
            int clusterBytes = 0;
            for (std::int32_t i = start; i < end; i = text.moveIndex32(i, 1))
                clusterBytes += utf8Length(text.char32At(i));
            if (characters + 1 > maxCharacters || bytes + clusterBytes > maxBytes) break;
            ++characters;
            bytes += clusterBytes;
            fit = end;
        }
        if (fit > 0 || text.isEmpty()) return fit;
    }
    // No whole cluster fits (a base with hundreds of combining marks) or ICU failed: cut at
    // a code point instead, so the name is never empty and never too long.
    fit = 0;
    bytes = 0;
    int characters = 0;
    while (fit < text.length() && characters < maxCharacters) {
        const int size = utf8Length(text.char32At(fit));
        if (bytes + size > maxBytes) break;
        bytes += size;
        ++characters;
        fit = text.moveIndex32(fit, 1);
    }
    return fit;
}

bool isTrailingJunk(UChar32 c) {
    return c == u'.' || c == u' ';
}

std::vector<std::string_view> splitParts(std::string_view path, bool backslashToo) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/' || (backslashToo && path[i] == '\\')) {
            if (i > start) parts.push_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

} // namespace

std::string OutputPath::sanitize(std::string_view part) {
    const icu::UnicodeString input = fromUTF8(part);
    icu::UnicodeString text;
    for (std::int32_t i = 0; i < input.length(); i = input.moveIndex32(i, 1)) {
        const UChar32 c = input.char32At(i);
        if (c < 32 || c == u'/' || c == u':' || c == u'\\')
            text.append(static_cast<char16_t>(u'_'));
        else
            text.append(c);
    }
    std::int32_t begin = 0;
    std::int32_t end = text.length();
    while (begin < end && u_isUWhiteSpace(text.char32At(begin)))
        begin = text.moveIndex32(begin, 1);
    while (end > begin && u_isUWhiteSpace(text.char32At(text.moveIndex32(end, -1))))
        end = text.moveIndex32(end, -1);
    while (end > begin && isTrailingJunk(text.charAt(end - 1)))
        --end;
    text = icu::UnicodeString(text, begin, end - begin);
    if (text.isEmpty() || text == u"." || text == u"..") return "file";
    text.truncate(fittingPrefix(text, kMaxCharacters, kMaxBytes));
    return toUTF8(text);
}

std::string OutputPath::relative(std::string_view path) {
    std::string out;
    for (const auto part : splitParts(path, true)) {
        if (part == "." || part == "..") continue;
        const std::string safe = sanitize(part);
        if (safe.empty()) continue;
        if (!out.empty()) out += '/';
        out += safe;
    }
    return out;
}

std::string OutputPath::numbered(std::string_view path, int n) {
    const auto parts = splitParts(path, false);
    const std::string number = " " + std::to_string(n);
    if (parts.empty()) return "file" + number;
    std::string front;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        front += parts[i];
        front += '/';
    }
    const icu::UnicodeString last = fromUTF8(parts.back());
    const std::int32_t dot = last.lastIndexOf(u'.');
    icu::UnicodeString stem = last;
    icu::UnicodeString suffix = fromUTF8(number);
    if (dot > 0 && dot + 1 < last.length()) {
        icu::UnicodeString withExtension = suffix;
        withExtension.append(last, dot, last.length() - dot);
        // An extension so long that no stem would fit is treated as part of the name.
        if (toUTF8(withExtension).size() < static_cast<std::size_t>(kMaxBytes)) {
            stem = icu::UnicodeString(last, 0, dot);
            suffix = withExtension;
        }
    }
    const int room = kMaxBytes - static_cast<int>(toUTF8(suffix).size());
    stem.truncate(fittingPrefix(stem, kMaxCharacters, room));
    stem.append(suffix);
    return front + toUTF8(stem);
}

std::string OutputPath::folded(std::string_view path) {
    icu::UnicodeString text = fromUTF8(path);
    text.foldCase(U_FOLD_CASE_DEFAULT);
    return toUTF8(text);
}

} // namespace vellary
