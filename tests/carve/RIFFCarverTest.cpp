#include "core/carve/RIFFCarver.hpp"

#include "tests/support/ByteWriters.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/DocumentFixtures.hpp"

#include <gtest/gtest.h>

#include <map>

namespace vellary {
namespace {

using testing::CarveFixtures;
using testing::DocumentFixtures;
using testing::putLE;

const RIFFCarver riff;

std::optional<Carved> carveAt(const Bytes& source, FileKind kind) {
    return DocumentFixtures::carve(riff, source, 0, kind);
}

Bytes chunk(const std::string& id, const Bytes& body) {
    Bytes out(id.begin(), id.end());
    out.resize(8);
    putLE(out, 4, static_cast<std::uint32_t>(body.size()), 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// A RIFF file of the form with the chunks laid end to end (pad bytes are the caller's).
Bytes riffFile(const std::string& form, const std::vector<Bytes>& chunks) {
    Bytes out = {'R', 'I', 'F', 'F', 0, 0, 0, 0};
    out.insert(out.end(), form.begin(), form.end());
    for (const auto& c : chunks)
        out.insert(out.end(), c.begin(), c.end());
    putLE(out, 4, static_cast<std::uint32_t>(out.size() - 8), 4);
    return out;
}

Bytes wavFormat() {
    return chunk("fmt ", {1, 0, 1, 0, 0x44, 0xAC, 0, 0, 0x88, 0x58, 1, 0, 2, 0, 16, 0});
}

TEST(RIFFCarverTest, Sniff) {
    const auto wav = riffFile("WAVE", {wavFormat(), chunk("data", Bytes(8, 0))});
    EXPECT_EQ(riff.sniff(ByteSpan(wav).first(20)), FileKind::wav);
    EXPECT_FALSE(riff.sniff(ByteSpan(wav).first(19)));
    EXPECT_EQ(riff.sniff(riffFile("AVI ", {chunk("LIST", Bytes(4, 'a'))})), FileKind::avi);
    EXPECT_EQ(riff.sniff(riffFile("WEBP", {chunk("VP8 ", Bytes(10, 0))})), FileKind::webp);
    EXPECT_FALSE(riff.sniff(riffFile("AIFF", {chunk("COMM", Bytes(10, 0))})));
    EXPECT_FALSE(riff.sniff(riffFile("WAVE", {chunk(" mt ", Bytes(10, 0))})));
    auto small = wav;
    putLE(small, 4, 11, 4);
    EXPECT_FALSE(riff.sniff(small));
}

TEST(RIFFCarverTest, RealFiles) {
    testing::TempDir dir;
    const std::string ff = "ffmpeg -v error -nostdin ";
    const struct {
        const char* name;
        FileKind kind;
        std::string command;
    } cases[] = {
        {"clip.avi", FileKind::avi,
         ff + "-f lavfi -i testsrc=size=160x120:rate=10:duration=2 -f lavfi -i sine=d=2 -c:v mpeg4 "
              "-c:a pcm_s16le clip.avi"},
        {"tone.wav", FileKind::wav, ff + "-f lavfi -i sine=d=1 -c:a pcm_s16le tone.wav"},
        {"odd.wav", FileKind::wav, ff + "-f lavfi -i sine=d=0.0001 -ac 1 -c:a pcm_u8 odd.wav"},
        {"sox.wav", FileKind::wav, "sox -n -r 8000 -c 1 -b 16 sox.wav synth 0.5 sine 300"},
        {"lossy.webp", FileKind::webp,
         ff + "-f lavfi -i testsrc=size=64x48 -frames:v 1 p.png && cwebp -quiet p.png -o "
              "lossy.webp"},
        {"lossless.webp", FileKind::webp,
         ff + "-f lavfi -i testsrc=size=64x48 -frames:v 1 q.png && cwebp -quiet -lossless q.png -o "
              "lossless.webp"},
        {"alpha.webp", FileKind::webp,
         ff + "-f lavfi -i color=c=red@0.5:size=64x48,format=rgba -frames:v 1 r.png && cwebp "
              "-quiet r.png -o alpha.webp"},
    };
    for (const auto& c : cases) {
        const auto file = DocumentFixtures::produce(dir, c.name, c.command);
        if (!file) GTEST_SKIP() << "ffmpeg, sox or cwebp is missing (" << c.name << ")";
        ASSERT_EQ(riff.sniff(ByteSpan(*file).first(20)), c.kind) << c.name;
        const auto tail = CarveFixtures::noise(4096, 12);
        const auto carved = carveAt(DocumentFixtures::concat({&*file, &tail}), c.kind);
        ASSERT_TRUE(carved) << c.name;
        EXPECT_EQ(carved->kind, c.kind);
        EXPECT_EQ(carved->size, file->size()) << c.name;
        EXPECT_TRUE(carved->complete);
        EXPECT_GT(DocumentFixtures::expectSafeOnDamage(riff, *file, c.kind), 0) << c.name;
        // Cut short: the RIFF end lies outside the source.
        const Bytes cut(file->begin(), file->end() - 2);
        EXPECT_FALSE(carveAt(cut, c.kind)) << c.name;
    }
    // The wrong kind for the form's chunks.
    const auto wav = DocumentFixtures::produce(dir, "tone.wav", "true");
    EXPECT_FALSE(carveAt(*wav, FileKind::avi));
    EXPECT_FALSE(carveAt(*wav, FileKind::webp));
    EXPECT_FALSE(carveAt(*wav, FileKind::mp3));
}

TEST(RIFFCarverTest, WavChunkRules) {
    const auto data = chunk("data", Bytes(100, 0x40));
    const auto wav = riffFile("WAVE", {wavFormat(), data});
    EXPECT_EQ(carveAt(wav, FileKind::wav).value().size, wav.size());
    // Both "fmt " and "data" are needed.
    EXPECT_FALSE(
        carveAt(riffFile("WAVE", {wavFormat(), chunk("LIST", Bytes(4, 'x'))}), FileKind::wav));

    // An absurd RIFF size: the RIFF end is outside the source.
    auto absurd = wav;
    putLE(absurd, 4, 0xFFFFFFF0, 4);
    EXPECT_FALSE(carveAt(absurd, FileKind::wav));
    // A data chunk that runs past the source end.
    auto runaway = wav;
    putLE(runaway, 4 + 8 + 24 + 4, 1000, 4);
    EXPECT_FALSE(carveAt(runaway, FileKind::wav));

    // An odd-sized RIFF ending exactly at the source end: carved without the pad byte; with
    // one byte more after it, carved with the pad byte.
    const auto odd = riffFile("WAVE", {wavFormat(), chunk("data", Bytes(101, 0x40))});
    ASSERT_EQ(odd.size() % 2, 1u);
    EXPECT_EQ(carveAt(odd, FileKind::wav).value().size, odd.size());
    Bytes padded = odd;
    padded.push_back(0x77);
    padded.push_back(0x77);
    EXPECT_EQ(carveAt(padded, FileKind::wav).value().size, odd.size() + 1);

    // An odd last chunk ending at the RIFF end without room for its pad: accepted. A chunk
    // running one byte further: not a WAV.
    auto longer = odd;
    putLE(longer, 4 + 8 + 24 + 4, 102, 4);
    longer.push_back(0);
    EXPECT_FALSE(carveAt(longer, FileKind::wav));

    // Odd chunks in the middle carry their pad byte.
    auto middle = chunk("note", Bytes(3, 'n'));
    middle.push_back(0);
    const auto withNote = riffFile("WAVE", {wavFormat(), middle, data});
    EXPECT_EQ(carveAt(withNote, FileKind::wav).value().size, withNote.size());
    auto unprintable = withNote;
    unprintable[12 + 24] = 0x01;
    EXPECT_FALSE(carveAt(unprintable, FileKind::wav));
}

TEST(RIFFCarverTest, Metadata) {
    // A broadcast extension with its origination date and time.
    Bytes bext(602, 0);
    const std::string stamp = "2021-05-0314:22:10";
    std::copy(stamp.begin(), stamp.end(), bext.begin() + 320);
    const auto broadcast =
        riffFile("WAVE", {chunk("bext", bext), wavFormat(), chunk("data", Bytes(10, 1))});
    const auto carved = carveAt(broadcast, FileKind::wav);
    ASSERT_TRUE(carved && carved->modified);
    EXPECT_EQ(carved->modified, Binary::localDate(2021, 5, 3, 14, 22, 10));
    // Too short to hold the date.
    EXPECT_FALSE(carveAt(riffFile("WAVE", {chunk("bext", Bytes(336, 0)), wavFormat(),
                                           chunk("data", Bytes(10, 1))}),
                         FileKind::wav)
                     .value()
                     .modified);

    // An EXIF chunk with make, model and date, as WebP carries it.
    const auto tiff = CarveFixtures::tiff(
        true, {{0x010F, "Canon"}, {0x0110, "Canon EOS R5"}, {0x0132, "2022:07:08 09:10:11"}});
    const Bytes exifPrefix = {'E', 'x', 'i', 'f', 0, 0};
    const auto exif = DocumentFixtures::concat({&exifPrefix, &tiff});
    Bytes vp8x(10, 0);
    vp8x[0] = 0x08; // EXIF present
    const auto webp =
        riffFile("WEBP", {chunk("VP8X", vp8x), chunk("VP8 ", Bytes(20, 0)), chunk("EXIF", exif)});
    const auto withExif = carveAt(webp, FileKind::webp);
    ASSERT_TRUE(withExif);
    EXPECT_EQ(withExif->size, webp.size());
    EXPECT_EQ(withExif->modified, Binary::localDate(2022, 7, 8, 9, 10, 11));
    EXPECT_EQ(withExif->device, "Canon EOS R5");

    // A WebP whose first chunk is "ALPH" is not carved.
    EXPECT_FALSE(
        carveAt(riffFile("WEBP", {chunk("ALPH", Bytes(4, 0)), chunk("VP8 ", Bytes(20, 0))}),
                FileKind::webp));
}

// A large source held as a few byte runs over zeros.
class SparseReader : public BlockReader {
public:
    explicit SparseReader(std::uint64_t size) : size_(size) {}
    void place(std::uint64_t at, const Bytes& bytes) { runs_[at] = bytes; }
    std::uint64_t size() const override { return size_; }
    Bytes read(std::uint64_t offset, std::int64_t count) const override {
        if (offset >= size_ || count < 1) return {};
        const auto n = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), size_ - offset);
        Bytes out(n, 0);
        for (const auto& [at, bytes] : runs_)
            for (std::uint64_t i = 0; i < bytes.size(); ++i)
                if (at + i >= offset && at + i < offset + n) out[at + i - offset] = bytes[i];
        return out;
    }

private:
    std::uint64_t size_;
    std::map<std::uint64_t, Bytes> runs_;
};

TEST(RIFFCarverTest, OpenDMLExtensionParts) {
    // A 6 GiB AVI: RIFF 'AVI ' and two RIFF 'AVIX' parts of 2 GiB each, then random bytes.
    constexpr std::uint64_t kPart = 2ULL * 1024 * 1024 * 1024;
    SparseReader source(3 * kPart + 4096);
    const auto header = [&](const std::string& form,
                            const std::vector<std::pair<std::string, std::uint32_t>>& lists) {
        Bytes b = {'R', 'I', 'F', 'F', 0, 0, 0, 0};
        b.insert(b.end(), form.begin(), form.end());
        putLE(b, 4, static_cast<std::uint32_t>(kPart - 8), 4);
        for (const auto& [type, size] : lists) {
            const Bytes list = {'L',
                                'I',
                                'S',
                                'T',
                                static_cast<std::uint8_t>(size),
                                static_cast<std::uint8_t>(size >> 8),
                                static_cast<std::uint8_t>(size >> 16),
                                static_cast<std::uint8_t>(size >> 24)};
            b.insert(b.end(), list.begin(), list.end());
            b.insert(b.end(), type.begin(), type.end());
            if (type == "hdrl") b.resize(b.size() + size - 4, 0x20);
        }
        return b;
    };
    const std::uint32_t hdrl = 64;
    const auto movi = static_cast<std::uint32_t>(kPart - 12 - 8 - hdrl - 8);
    source.place(0, header("AVI ", {{"hdrl", hdrl}, {"movi", movi}}));
    const auto moviX = static_cast<std::uint32_t>(kPart - 12 - 8);
    source.place(kPart, header("AVIX", {{"movi", moviX}}));
    source.place(2 * kPart, header("AVIX", {{"movi", moviX}}));
    source.place(3 * kPart, CarveFixtures::noise(4096, 13));

    const auto carved = riff.carve(source, 0, FileKind::avi);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, 3 * kPart);

    // An extension part that fails its walk ends the file at the last good part.
    source.place(2 * kPart + 12, {'L', 'I', 'S', 'T', 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(riff.carve(source, 0, FileKind::avi).value().size, 2 * kPart);
}

} // namespace
} // namespace vellary
