#include "core/carve/MP3Carver.hpp"

#include "tests/support/CarveFixtures.hpp"
#include "tests/support/DocumentFixtures.hpp"

#include <gtest/gtest.h>

namespace vellary {
namespace {

using testing::CarveFixtures;
using testing::DocumentFixtures;

const MP3Carver mp3;

std::optional<Carved> carveAt(const Bytes& source) {
    return DocumentFixtures::carve(mp3, source, 0, FileKind::mp3);
}

Bytes syncsafe(std::uint32_t v) {
    return {static_cast<std::uint8_t>((v >> 21) & 0x7F),
            static_cast<std::uint8_t>((v >> 14) & 0x7F), static_cast<std::uint8_t>((v >> 7) & 0x7F),
            static_cast<std::uint8_t>(v & 0x7F)};
}

// One ID3v2 text frame of the given version: ID, size, flags, then the encoded text.
Bytes textFrame(int version, const std::string& id, std::uint8_t encoding, const Bytes& text) {
    Bytes body = {encoding};
    body.insert(body.end(), text.begin(), text.end());
    Bytes frame(id.begin(), id.end());
    const auto size = static_cast<std::uint32_t>(body.size());
    if (version == 2) {
        frame.insert(frame.end(),
                     {static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 8),
                      static_cast<std::uint8_t>(size)});
    } else {
        const Bytes sizeBytes = version == 4 ? syncsafe(size)
                                             : Bytes{static_cast<std::uint8_t>(size >> 24),
                                                     static_cast<std::uint8_t>(size >> 16),
                                                     static_cast<std::uint8_t>(size >> 8),
                                                     static_cast<std::uint8_t>(size)};
        frame.insert(frame.end(), sizeBytes.begin(), sizeBytes.end());
        frame.insert(frame.end(), {0, 0});
    }
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

Bytes latin1(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// A tag holding the frames, then silent MPEG-1 layer III frames of 417 bytes each.
Bytes syntheticMP3(int version, const std::vector<Bytes>& frames, int audioFrames,
                   std::uint8_t flags = 0, std::size_t padding = 16) {
    Bytes body;
    for (const auto& f : frames)
        body.insert(body.end(), f.begin(), f.end());
    body.resize(body.size() + padding, 0);
    Bytes out = {'I', 'D', '3', static_cast<std::uint8_t>(version), 0, flags};
    const auto size = syncsafe(static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), size.begin(), size.end());
    out.insert(out.end(), body.begin(), body.end());
    if (flags & 0x10) {
        out.insert(out.end(), {'3', 'D', 'I', static_cast<std::uint8_t>(version), 0, flags});
        out.insert(out.end(), size.begin(), size.end());
    }
    for (int i = 0; i < audioFrames; ++i) {
        const Bytes header = {0xFF, 0xFB, 0x90, 0x64};
        out.insert(out.end(), header.begin(), header.end());
        out.resize(out.size() + 417 - 4, static_cast<std::uint8_t>(0x55));
    }
    return out;
}

TEST(MP3CarverTest, Sniff) {
    const auto file = syntheticMP3(3, {}, 10);
    EXPECT_EQ(mp3.sniff(ByteSpan(file).first(10)), FileKind::mp3);
    EXPECT_FALSE(mp3.sniff(ByteSpan(file).first(9)));
    for (const auto& [at, value] : {std::pair{3, 5}, {3, 1}, {4, 0xFF}, {5, 0x01}, {6, 0x80}}) {
        auto bad = file;
        bad[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(value);
        EXPECT_FALSE(mp3.sniff(ByteSpan(bad).first(10))) << at;
    }
}

TEST(MP3CarverTest, LameOutputWithBothTagVersions) {
    testing::TempDir dir;
    const struct {
        const char* name;
        const char* options;
        bool id3v1;
    } cases[] = {
        {"v23.mp3", "-id3v2_version 3", false},
        {"v23v1.mp3", "-id3v2_version 3 -write_id3v1 1", true},
        {"v24.mp3", "-id3v2_version 4", false},
        {"v24v1.mp3", "-id3v2_version 4 -write_id3v1 1", true},
    };
    for (const auto& c : cases) {
        const auto file = DocumentFixtures::produce(
            dir, c.name,
            std::string("ffmpeg -v error -nostdin -f lavfi -i 'sine=frequency=330:duration=3' "
                        "-c:a libmp3lame -b:a 128k -metadata title='Harbour Lights' -metadata "
                        "artist='The Quay' ") +
                c.options + " " + c.name);
        if (!file) GTEST_SKIP() << "ffmpeg with the LAME encoder is not installed";
        ASSERT_TRUE(mp3.sniff(ByteSpan(*file).first(10))) << c.name;
        const bool hasV1 = std::string(file->end() - 128, file->end() - 125) == "TAG";
        EXPECT_EQ(hasV1, c.id3v1) << c.name;

        const auto tail = CarveFixtures::noise(10000, 7);
        const auto carved = carveAt(DocumentFixtures::concat({&*file, &tail}));
        ASSERT_TRUE(carved) << c.name;
        EXPECT_EQ(carved->kind, FileKind::mp3);
        EXPECT_EQ(carved->size, file->size()) << c.name;
        EXPECT_EQ(carved->nameHint, "The Quay - Harbour Lights.mp3") << c.name;
        EXPECT_TRUE(carved->complete);

        // Cut in the middle of a frame: the cut frame is left out, never counted past the source.
        const Bytes cut(file->begin(),
                        file->begin() + static_cast<std::ptrdiff_t>(file->size() / 2));
        const auto shorter = carveAt(cut);
        ASSERT_TRUE(shorter);
        EXPECT_LE(shorter->size, cut.size());
        EXPECT_GT(shorter->size, cut.size() - 1500);
        EXPECT_GT(DocumentFixtures::expectSafeOnDamage(mp3, *file, FileKind::mp3), 0);
    }
}

TEST(MP3CarverTest, FrameCountAndTrailingTag) {
    EXPECT_FALSE(carveAt(syntheticMP3(3, {}, 9)));
    const auto ten = syntheticMP3(3, {}, 10);
    EXPECT_EQ(carveAt(ten).value().size, ten.size());

    // An ID3v1 block after the last frame belongs to the file, but only when it fits.
    Bytes tagged = ten;
    const Bytes v1 = {'T', 'A', 'G'};
    tagged.insert(tagged.end(), v1.begin(), v1.end());
    tagged.resize(ten.size() + 128, ' ');
    EXPECT_EQ(carveAt(tagged).value().size, tagged.size());
    tagged.pop_back();
    EXPECT_EQ(carveAt(tagged).value().size, ten.size());

    // Zero padding after the tag is skipped, up to 4096 bytes.
    const auto padded = syntheticMP3(3, {}, 10, 0, 4000);
    EXPECT_EQ(carveAt(padded).value().size, padded.size());
    auto overPadded = syntheticMP3(3, {}, 10, 0, 16);
    overPadded.insert(overPadded.begin() + 26, 4097, 0);
    EXPECT_FALSE(carveAt(overPadded));

    // A frame of another sample rate ends the chain.
    auto mixed = syntheticMP3(3, {}, 12);
    mixed[mixed.size() - 417 + 2] = 0x94; // 48 kHz
    EXPECT_EQ(carveAt(mixed).value().size, mixed.size() - 417);

    // A tag size that points into the middle of a frame: no frame chain starts there.
    auto misSized = syntheticMP3(3, {}, 12);
    misSized[9] += 7;
    EXPECT_FALSE(carveAt(misSized));

    // A version-4 footer is part of the tag.
    const auto footer = syntheticMP3(4, {}, 10, 0x10);
    EXPECT_EQ(carveAt(footer).value().size, footer.size());
}

TEST(MP3CarverTest, NameHintFromTheTag) {
    const auto hint = [](int version, const std::vector<Bytes>& frames, std::uint8_t flags = 0) {
        return carveAt(syntheticMP3(version, frames, 10, flags)).value().nameHint;
    };
    const auto title = textFrame(3, "TIT2", 0, latin1("Harbour Lights"));
    const auto performer = textFrame(3, "TPE1", 0, latin1("The Quay"));
    EXPECT_EQ(hint(3, {title, performer}), "The Quay - Harbour Lights.mp3");
    EXPECT_EQ(hint(3, {title}), "Harbour Lights.mp3");
    EXPECT_FALSE(hint(3, {performer}));
    // The first decoded title wins; frames after a padding byte are not read.
    EXPECT_EQ(hint(3, {title, textFrame(3, "TIT2", 0, latin1("Other"))}), "Harbour Lights.mp3");
    EXPECT_FALSE(hint(3, {Bytes(10, 0), title}));

    // Encodings: UTF-16 with either byte order, UTF-16 big-endian, UTF-8; NULs and blanks go.
    const Bytes le = {0xFF, 0xFE, 'S', 0, 0xE9, 0, 'a', 0, 0, 0};
    EXPECT_EQ(hint(3, {textFrame(3, "TIT2", 1, le)}), std::string("S\xC3\xA9") + "a.mp3");
    const Bytes be = {0xFE, 0xFF, 0, 'S', 0, 'e', 0, 'a'};
    EXPECT_EQ(hint(3, {textFrame(3, "TIT2", 1, be)}), "Sea.mp3");
    EXPECT_EQ(hint(4, {textFrame(4, "TIT2", 2, Bytes{0, 'S', 0, 'k', 0, 'y'})}), "Sky.mp3");
    EXPECT_EQ(hint(4, {textFrame(4, "TIT2", 3, latin1("  Caf\xC3\xA9\n\0"))}), "Caf\xC3\xA9.mp3");
    EXPECT_FALSE(hint(3, {textFrame(3, "TIT2", 1, latin1("no byte order mark"))}));
    EXPECT_FALSE(hint(3, {textFrame(3, "TIT2", 3, latin1("bad \xC3"))}));
    EXPECT_FALSE(hint(3, {textFrame(3, "TIT2", 9, latin1("odd"))}));
    EXPECT_FALSE(hint(3, {textFrame(3, "TIT2", 0, latin1(" \n "))}));

    // Version 2 frame IDs.
    EXPECT_EQ(
        hint(2, {textFrame(2, "TT2", 0, latin1("Old")), textFrame(2, "TP1", 0, latin1("Band"))}),
        "Band - Old.mp3");

    // Raw, as the tag spells it (restore makes it a safe name); nothing for dots alone.
    EXPECT_EQ(hint(3, {textFrame(3, "TIT2", 0, latin1("AC/DC: Live"))}), "AC/DC: Live.mp3");
    EXPECT_FALSE(hint(3, {textFrame(3, "TIT2", 0, latin1("..."))}));
    const std::string longTitle(300, 'x');
    EXPECT_EQ(hint(3, {textFrame(3, "TIT2", 0, latin1(longTitle))}),
              std::string(120, 'x') + ".mp3");
    // A title frame above 1024 bytes is not decoded.
    EXPECT_FALSE(hint(3, {textFrame(3, "TIT2", 0, latin1(std::string(1100, 'y')))}));

    // Unsynchronised tags are not read; an extended header is skipped.
    EXPECT_FALSE(hint(3, {title}, 0x80));
    Bytes extended = {0, 0, 0, 6, 0, 0, 0, 0, 0, 0};
    extended.insert(extended.end(), title.begin(), title.end());
    EXPECT_EQ(hint(3, {extended}, 0x40), "Harbour Lights.mp3");
    Bytes extended4 = {0, 0, 0, 6, 1, 0};
    const auto title4 = textFrame(4, "TIT2", 0, latin1("Four"));
    extended4.insert(extended4.end(), title4.begin(), title4.end());
    EXPECT_EQ(hint(4, {extended4}, 0x40), "Four.mp3");
}

} // namespace
} // namespace vellary
