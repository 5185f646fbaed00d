#include "core/carve/MP3Carver.hpp"

#include "core/formats/Sniff.hpp"

#include "core/io/ByteWindow.hpp"
#include "core/records/TextDecode.hpp"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>

namespace vellary {
namespace {

constexpr std::uint64_t kRange = 100ULL * 1024 * 1024;
constexpr std::int64_t kWindow = 1024 * 1024;
constexpr int kMaxPadding = 4096;
constexpr int kMinFrames = 10;
constexpr std::uint64_t kID3v1Size = 128;

// ID3v2 header: "ID3", version, revision, flags, syncsafe size.
constexpr std::size_t kHeaderSize = 10;
constexpr std::uint8_t kUnsynchronised = 0x80;
constexpr std::uint8_t kExtendedHeader = 0x40;
constexpr std::uint8_t kFooter = 0x10;
constexpr std::uint64_t kMaxTagRead = 16 * 1024 * 1024;
constexpr int kMaxTagFrames = 512;
constexpr std::uint32_t kMaxTextFrame = 1024;
constexpr int kMaxHintCharacters = 120;

std::uint32_t syncsafe(std::uint32_t value) {
    return ((value >> 24) & 0x7F) << 21 | ((value >> 16) & 0x7F) << 14 |
           ((value >> 8) & 0x7F) << 7 | (value & 0x7F);
}

// One MPEG audio frame header.
struct Frame {
    std::uint32_t version = 0; // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
    std::uint32_t layer = 0;   // 1 layer III, 2 layer II, 3 layer I
    std::uint32_t sampleRate = 0;
    std::uint32_t length = 0;

    static std::optional<Frame> parse(std::uint32_t h) {
        Frame f;
        f.version = (h >> 19) & 3;
        f.layer = (h >> 17) & 3;
        const std::uint32_t bitrateIndex = (h >> 12) & 0xF;
        const std::uint32_t rateIndex = (h >> 10) & 3;
        const std::uint32_t padding = (h >> 9) & 1;
        if ((h >> 21) != 0x7FF || f.version == 1 || f.layer == 0 || bitrateIndex == 0 ||
            bitrateIndex == 15 || rateIndex == 3 || (h & 3) == 2)
            return std::nullopt;

        // Kilobits per second by [table][index]: MPEG-1 layers I, II, III; MPEG-2/2.5 layer I;
        // MPEG-2/2.5 layers II and III.
        static constexpr std::uint16_t bitrates[5][15] = {
            {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
            {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
            {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
            {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
            {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
        static constexpr std::uint32_t rates[4][3] = {
            {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
        const bool mpeg1 = f.version == 3;
        const int table = mpeg1 ? 3 - static_cast<int>(f.layer) : (f.layer == 3 ? 3 : 4);
        const std::uint32_t bitrate = bitrates[table][bitrateIndex] * 1000u;
        f.sampleRate = rates[f.version][rateIndex];
        if (f.layer == 3) {
            f.length = (12 * bitrate / f.sampleRate + padding) * 4;
        } else if (f.layer == 1 && !mpeg1) {
            f.length = 72 * bitrate / f.sampleRate + padding;
        } else {
            f.length = 144 * bitrate / f.sampleRate + padding;
        }
        if (f.length < 4) return std::nullopt;
        return f;
    }
};

struct ID3 {
    // A text frame's value: encoding byte, then the text.
    static std::optional<std::string> decode(ByteSpan frame) {
        if (frame.empty()) return std::nullopt;
        const auto body = frame.subspan(1);
        std::optional<std::string> text;
        switch (frame[0]) {
        case 0:
            text = TextDecode::latin1(body);
            break;
        case 1:
            if (body.size() >= 2 && body[0] == 0xFF && body[1] == 0xFE)
                text = TextDecode::utf16Strict(body.subspan(2), false);
            else if (body.size() >= 2 && body[0] == 0xFE && body[1] == 0xFF)
                text = TextDecode::utf16Strict(body.subspan(2), true);
            break;
        case 2:
            text = TextDecode::utf16Strict(body, true);
            break;
        case 3:
            text = TextDecode::utf8Strict(body);
            break;
        default:
            break;
        }
        if (!text) return std::nullopt;
        std::erase(*text, '\0');
        const auto blank = [](char c) {
            return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
        };
        while (!text->empty() && blank(text->back()))
            text->pop_back();
        const auto first = std::find_if_not(text->begin(), text->end(), blank);
        text->erase(text->begin(), first);
        if (text->empty()) return std::nullopt;
        return text;
    }

    // The first count user-perceived characters of a UTF-8 text.
    static std::string firstCharacters(const std::string& text, int count) {
        const auto unicode = icu::UnicodeString::fromUTF8(text);
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> graphemes(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !graphemes) return text;
        graphemes->setText(unicode);
        std::int32_t cut = graphemes->first();
        for (int k = 0; k < count; ++k) {
            const auto next = graphemes->next();
            if (next == icu::BreakIterator::DONE) return text;
            cut = next;
        }
        std::string out;
        unicode.tempSubString(0, cut).toUTF8String(out);
        return out;
    }

    // "Performer - Title" or the title alone, as the tag spells it; restore makes it a safe name.
    static std::optional<std::string> name(ByteWindow& window, std::uint64_t tagStart,
                                           std::uint64_t tagSize) {
        const auto header = window.bytes(tagStart, kHeaderSize);
        if (!header || ((*header)[5] & kUnsynchronised)) return std::nullopt;
        const std::uint8_t version = (*header)[3];
        const std::uint64_t limit = tagStart + std::min(tagSize, kMaxTagRead);
        std::uint64_t pos = tagStart + kHeaderSize;
        if (((*header)[5] & kExtendedHeader) && version >= 3) {
            const auto size = window.u32be(pos);
            if (!size) return std::nullopt;
            pos += version == 3 ? std::uint64_t{*size} + 4 : syncsafe(*size);
        }
        const std::uint64_t headerSize = version == 2 ? 6 : 10;
        const std::size_t idLength = version == 2 ? 3 : 4;
        std::optional<std::string> title;
        std::optional<std::string> performer;
        for (int frames = 0; frames < kMaxTagFrames && pos + headerSize <= limit; ++frames) {
            const auto frameHeader = window.bytes(pos, static_cast<std::int64_t>(headerSize));
            if (!frameHeader || (*frameHeader)[0] == 0) break;
            const auto* h = frameHeader->data();
            std::uint32_t size = 0;
            if (version == 2) {
                size = (std::uint32_t{h[3]} << 16) | (std::uint32_t{h[4]} << 8) | h[5];
            } else {
                size = Binary::rawU32be(h + 4);
                if (version == 4) size = syncsafe(size);
            }
            if (size == 0 || pos + headerSize + size > limit) break;
            const std::string id(reinterpret_cast<const char*>(h), idLength);
            const bool isTitle = id == "TIT2" || id == "TT2";
            const bool isPerformer = id == "TPE1" || id == "TP1";
            auto& slot = isTitle ? title : performer;
            if ((isTitle || isPerformer) && !slot && size <= kMaxTextFrame) {
                if (const auto body = window.bytes(pos + headerSize, size)) slot = decode(*body);
            }
            pos += headerSize + size;
        }
        if (!title) return std::nullopt;
        const std::string text = performer ? *performer + " - " + *title : *title;
        // Dots and spaces alone make no name.
        if (text.find_first_not_of(". ") == std::string::npos) return std::nullopt;
        // The hint becomes the file's name as it stands, so it carries the extension.
        return firstCharacters(text, kMaxHintCharacters) + ".mp3";
    }
};

} // namespace

std::optional<std::vector<std::uint8_t>> MP3Carver::leadBytes() const {
    return std::vector<std::uint8_t>{0x49};
}

std::optional<FileKind> MP3Carver::sniff(ByteSpan bytes) const {
    return Sniff::mp3(bytes);
}

std::optional<Carved> MP3Carver::carve(const BlockReader& reader, std::uint64_t start,
                                       FileKind) const {
    ByteWindow window(reader, std::min(reader.size(), start + kRange), kWindow);
    const auto header = window.bytes(start, kHeaderSize);
    if (!header) return std::nullopt;
    const auto& h = *header;
    const std::uint64_t footer = (h[3] == 4 && (h[5] & kFooter)) ? 10 : 0;
    const std::uint64_t tagSize = kHeaderSize + syncsafe(Binary::rawU32be(h.data() + 6)) + footer;

    std::uint64_t pos = start + tagSize;
    for (int zeros = 0; zeros < kMaxPadding && window.byte(pos) == 0; ++zeros)
        ++pos;

    const auto firstHeader = window.u32be(pos);
    const auto first = firstHeader ? Frame::parse(*firstHeader) : std::nullopt;
    if (!first) return std::nullopt;
    int frames = 0;
    while (const auto word = window.u32be(pos)) {
        const auto frame = Frame::parse(*word);
        if (!frame || frame->version != first->version || frame->layer != first->layer ||
            frame->sampleRate != first->sampleRate || pos + frame->length > window.end())
            break;
        pos += frame->length;
        ++frames;
    }
    if (frames < kMinFrames) return std::nullopt;
    if (pos + kID3v1Size <= window.end()) {
        const auto tag = window.bytes(pos, 3);
        if (tag && (*tag)[0] == 'T' && (*tag)[1] == 'A' && (*tag)[2] == 'G') pos += kID3v1Size;
    }

    Carved carved;
    carved.kind = FileKind::mp3;
    carved.size = pos - start;
    carved.nameHint = ID3::name(window, start, tagSize);
    carved.complete = true;
    return carved;
}

} // namespace vellary
