// Malformed and unusual videos and audio, table by table. The files real encoders write are in
// CarverContractTest; here they are damaged in the ways that once misled a carver.
#include "core/carve/FLACCarver.hpp"
#include "core/carve/ISOMediaCarver.hpp"
#include "core/carve/MP3Carver.hpp"
#include "core/carve/MatroskaCarver.hpp"
#include "core/carve/RIFFCarver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/FaultyBlockReader.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace vellary {
namespace {

using testing::appendBE;
using testing::CarveFixtures;
using F = CarveFixtures;

Bytes box(std::string_view type, const Bytes& body) {
    Bytes out;
    appendBE(out, static_cast<std::uint32_t>(8 + body.size()), 4);
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes ftyp(std::string_view major, std::initializer_list<std::string_view> compatible = {}) {
    Bytes body = F::join({F::text(major), {0, 0, 2, 0}});
    for (const auto brand : compatible)
        body.insert(body.end(), brand.begin(), brand.end());
    return box("ftyp", body);
}

// A movie header whose creation time counts seconds from 1904.
Bytes moov(std::uint64_t created, bool wide = false) {
    Bytes mvhd{static_cast<std::uint8_t>(wide ? 1 : 0), 0, 0, 0};
    appendBE(mvhd, created, wide ? 8 : 4);
    mvhd.resize(100, 0);
    return box("moov", box("mvhd", mvhd));
}

Bytes filler(std::string_view type, std::size_t size) {
    return box(type, Bytes(size - 8, 0x5A));
}

Bytes large(std::uint64_t size) {
    Bytes out = {0, 0, 0, 1, 'm', 'd', 'a', 't'};
    appendBE(out, size, 8);
    return out;
}

TEST(ISOMediaCarver, BrandsBoxesAndLimits) {
    EXPECT_FALSE(ISOMediaCarver().sniff(ftyp("ISOM")));
    const auto k1904 = 2'082'844'800ULL;
    const auto head = F::join({ftyp("isom"), moov(0)});
    const auto mp4 = F::join({head, filler("mdat", 5000)});
    const auto dated = [&](std::uint64_t created, bool wide) {
        return F::join({ftyp("isom"), moov(created, wide), filler("mdat", 5000)});
    };
    const auto noise = F::noise(700, 2);
    const auto atExactly = F::join({head, filler("mdat", 4096 - head.size())});
    const auto index = F::join({ftyp("qt  "), filler("wide", 8), filler("mdat", 6000)});
    const auto cr3 = F::join(
        {ftyp("mp42", {"mp42", "crx "}), moov(0), filler("uuid", 300), filler("mdat", 5000)});
    const auto honest = F::join({head, large(5016), Bytes(5000, 3)});
    const auto wrapped = F::join({head, filler("free", 5000), large(~0ULL), Bytes(64, 9)});
    F::expectCases(
        ISOMediaCarver(),
        {{"a recording whose index was never written", index, index.size(), false},
         {"audio without its index", F::join({ftyp("M4A "), filler("mdat", 6000)}), {}},
         {"CR3", cr3, cr3.size()},
         {"unknown box type after", F::join({mp4, filler("zzzz", 64)}), mp4.size()},
         {"control byte in a type", F::join({mp4, filler("fre\x01", 64)}), mp4.size()},
         {"box size 4", F::join({mp4, {0, 0, 0, 4, 'f', 'r', 'e', 'e'}}), mp4.size()},
         {"three bytes left", F::join({mp4, {1, 2, 3}}), mp4.size()},
         // Cut off or running past the end: partial, never whole.
         {"mdat one byte short", Bytes(mp4.begin(), mp4.end() - 1), mp4.size() - 1, false},
         {"box size 0", F::join({head, {0, 0, 0, 0, 'm', 'd', 'a', 't'}, Bytes(5000, 7)}), {}},
         {"64-bit size 2^64 - 1", wrapped, wrapped.size(), false}, // partial, never a wrap
         {"64-bit size below its header", F::join({head, filler("free", 5000), large(15)}), {}},
         {"honest 64-bit size", F::join({honest, noise}), honest.size()},
         {"4096 bytes", atExactly, 4096},
         {"4095 bytes", F::join({head, filler("mdat", 4095 - head.size())}), {}},
         {"moov first", F::join({moov(0), filler("mdat", 5000)}), {}, true, 0, FileKind::mp4},
         {"ftyp cut", Bytes(head.begin(), head.begin() + 15), {}, true, 0, FileKind::mp4}});

    // Dates from the movie header; 1990, 2150 and 2^64 - 1 fall outside the accepted years.
    const auto date = [&](const Bytes& file) {
        return F::carve(ISOMediaCarver(), file).value().modified;
    };
    EXPECT_EQ(date(dated(1'620'051'730 + k1904, true)), dateFromUnixSeconds(1'620'051'730));
    EXPECT_EQ(date(dated(1'620'051'730 + k1904, false)), dateFromUnixSeconds(1'620'051'730));
    for (const auto& [created, wide] : {std::pair{631'152'000 + k1904 + 86'400 * 180, false},
                                        {5'680'281'600ULL + k1904, true},
                                        {~0ULL, true},
                                        {0ULL, false}})
        EXPECT_FALSE(date(dated(created, wide))) << created;

    // A free box whose header sits in a bad sector: measured up to mdat's end. A vanished
    // device is reported, not taken for the file's end.
    const auto file = F::join({mp4, filler("free", 2000), filler("skip", 2000)});
    testing::FaultyBlockReader faulty(file);
    faulty.failSector(mp4.size() / 512);
    faulty.failSector((mp4.size() + 15) / 512);
    EXPECT_EQ(ISOMediaCarver().carve(faulty, 0, FileKind::mp4).value().size, mp4.size());
    testing::FaultyBlockReader gone(file);
    gone.vanishAt(mp4.size());
    EXPECT_THROW(ISOMediaCarver().carve(gone, 0, FileKind::mp4), RecoverError);
}

Bytes chunk(const std::string& id, const Bytes& body) {
    return F::join({F::patched(F::text(id), 4, body.size(), 4), body});
}

Bytes riff(const std::string& form, const std::vector<Bytes>& chunks) {
    Bytes out = F::join({F::text("RIFF"), Bytes(4, 0), F::text(form)});
    for (const auto& c : chunks)
        out.insert(out.end(), c.begin(), c.end());
    return F::patched(out, 4, out.size() - 8, 4);
}

const Bytes kFormat = {1, 0, 1, 0, 0x44, 0xAC, 0, 0, 0x88, 0x58, 1, 0, 2, 0, 16, 0};

TEST(RIFFCarver, ChunksPadsAndMetadata) {
    const RIFFCarver carver;
    const auto fmt = chunk("fmt ", kFormat);
    const auto wav = riff("WAVE", {fmt, chunk("data", Bytes(100, 0x40))});
    EXPECT_EQ(carver.sniff(ByteSpan(wav).first(20)), FileKind::wav);
    EXPECT_FALSE(carver.sniff(ByteSpan(wav).first(19)));
    EXPECT_FALSE(carver.sniff(riff("AIFF", {chunk("COMM", Bytes(10, 0))})));
    EXPECT_FALSE(carver.sniff(riff("WAVE", {chunk(" mt ", Bytes(10, 0))})));
    EXPECT_FALSE(carver.sniff(F::patched(wav, 4, 11, 4)));

    const auto odd = riff("WAVE", {fmt, chunk("data", Bytes(101, 0x40))});
    const auto note = F::join({chunk("note", Bytes(3, 'n')), {0}});
    const auto withNote = riff("WAVE", {fmt, note, chunk("data", Bytes(100, 0x40))});
    Bytes bext(602, 0);
    const std::string stamp = "2021-05-0314:22:10";
    std::copy(stamp.begin(), stamp.end(), bext.begin() + 320);
    const auto broadcast = riff("WAVE", {chunk("bext", bext), fmt, chunk("data", Bytes(10, 1))});
    const auto shortBext =
        riff("WAVE", {chunk("bext", Bytes(336, 0)), fmt, chunk("data", Bytes(10, 1))});
    const auto exif = F::join(
        {F::text(std::string_view("Exif\0\0", 6)),
         F::tiff(true,
                 {{0x010F, "Canon"}, {0x0110, "Canon EOS R5"}, {0x0132, "2022:07:08 09:10:11"}})});
    const auto webp = riff("WEBP", {chunk("VP8X", F::patched(Bytes(10, 0), 0, 0x08)),
                                    chunk("VP8 ", Bytes(20, 0)), chunk("EXIF", exif)});
    F::expectCases(
        carver,
        {{"WAV", wav, wav.size()},
         {"no data chunk", riff("WAVE", {fmt, chunk("LIST", Bytes(4, 'x'))}), {}},
         {"absurd RIFF size", F::patched(wav, 4, 0xFFFFFFF0, 4), {}},
         {"data past the source", F::patched(wav, 40, 1000, 4), {}},
         // An odd-sized RIFF at the source end: carved without its pad byte; with bytes after
         // it, with the pad byte.
         {"odd at the end", odd, odd.size()},
         {"odd with bytes after", F::join({odd, {0x77, 0x77}}), odd.size() + 1},
         {"last chunk a byte past the RIFF", F::join({F::patched(odd, 40, 102, 4), {0}}), {}},
         {"odd chunk in the middle", withNote, withNote.size()},
         {"unprintable chunk ID", F::patched(withNote, 36, 1), {}},
         {"broadcast date", broadcast, broadcast.size()},
         {"WebP with EXIF", webp, webp.size()},
         {"WebP starting with ALPH",
          riff("WEBP", {chunk("ALPH", Bytes(4, 0)), chunk("VP8 ", Bytes(20, 0))}),
          {}},
         {"WAV as AVI", wav, {}, true, 0, FileKind::avi},
         {"WAV as WebP", wav, {}, true, 0, FileKind::webp}});
    EXPECT_EQ(F::carve(carver, broadcast)->modified, Binary::localDate(2021, 5, 3, 14, 22, 10));
    EXPECT_FALSE(F::carve(carver, shortBext).value().modified); // too short to hold the date
    EXPECT_EQ(F::carve(carver, webp)->modified, Binary::localDate(2022, 7, 8, 9, 10, 11));
    EXPECT_EQ(F::carve(carver, webp)->device, "Canon EOS R5");
}

TEST(RIFFCarver, OpenDMLExtensionParts) {
    // A 6 GiB AVI: RIFF 'AVI ' and two RIFF 'AVIX' parts of 2 GiB each, then random bytes.
    constexpr std::uint64_t kPart = 2ULL * 1024 * 1024 * 1024;
    testing::SparseReader source(3 * kPart + 4096);
    const auto list = [](const std::string& type, std::uint64_t size) {
        return F::join({F::patched(F::text("LIST"), 4, size, 4), F::text(type)});
    };
    const auto part = [](const std::string& form, const Bytes& lists) {
        return F::join({F::patched(F::text("RIFF"), 4, kPart - 8, 4), F::text(form), lists});
    };
    source.place(0, part("AVI ", F::join({list("hdrl", 64), Bytes(60, 0x20),
                                          list("movi", kPart - 12 - 8 - 64 - 8)})));
    source.place(kPart, part("AVIX", list("movi", kPart - 20)));
    source.place(2 * kPart, part("AVIX", list("movi", kPart - 20)));
    source.place(3 * kPart, F::noise(4096, 13));
    EXPECT_EQ(RIFFCarver().carve(source, 0, FileKind::avi).value().size, 3 * kPart);
    // An extension part that fails its walk ends the file at the last good part.
    source.place(2 * kPart + 12, {'L', 'I', 'S', 'T', 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(RIFFCarver().carve(source, 0, FileKind::avi).value().size, 2 * kPart);
}

const Bytes kSegment = {0x18, 0x53, 0x80, 0x67};
const Bytes kCluster = {0x1F, 0x43, 0xB6, 0x75};

std::vector<std::size_t> findAll(const Bytes& b, const Bytes& pattern) {
    std::vector<std::size_t> hits;
    for (auto at = std::search(b.begin(), b.end(), pattern.begin(), pattern.end()); at != b.end();
         at = std::search(at + 1, b.end(), pattern.begin(), pattern.end()))
        hits.push_back(static_cast<std::size_t>(at - b.begin()));
    return hits;
}

// The element size at `at` (just after its ID) marked unknown, or set to the largest value its
// length holds when unknown is false.
Bytes resized(Bytes b, std::size_t at, bool unknown) {
    std::size_t n = 1;
    while (n < 8 && !(b[at] & (0x80 >> (n - 1))))
        ++n;
    b[at] = static_cast<std::uint8_t>(unknown ? 0xFF >> (n - 1) : 0x80 >> (n - 1));
    for (std::size_t k = 1; k < n; ++k)
        b[at + k] = unknown ? 0xFF : 0xFE;
    return b;
}

TEST(MatroskaCarver, HeadersLiveRecordingsAndOversizedChildren) {
    testing::TempDir dir;
    const std::string ff = "ffmpeg -v error -nostdin -f lavfi -i "
                           "testsrc=size=160x120:rate=10:duration=3 -f lavfi -i sine=d=3 ";
    const auto mkv = F::produce(dir, "a.mkv", ff + "-c:v mpeg4 -c:a flac a.mkv");
    const auto live =
        F::produce(dir, "l.webm", ff + "-c:v libvpx -c:a libopus -f webm -live 1 - | cat > l.webm");
    if (!mkv || !live) GTEST_SKIP() << "ffmpeg is not installed";
    const Bytes header = {0x1A, 0x45, 0xDF, 0xA3, 0x9F, 0x42, 0x86, 0x81,
                          1,    0x42, 0xF7, 0x81, 1,    0x42, 0xF2, 0x81};
    EXPECT_EQ(MatroskaCarver().sniff(header), FileKind::mkv);
    EXPECT_FALSE(MatroskaCarver().sniff(ByteSpan(header).first(15)));
    EXPECT_FALSE(MatroskaCarver().sniff(F::patched(header, 4, 0)));

    const auto segment = findAll(*live, kSegment)[0];
    ASSERT_EQ((*live)[segment + 4], 0x01) << "a live recording has a Segment of unknown size";
    const auto clusters = findAll(*live, kCluster);
    ASSERT_GE(clusters.size(), 2u);
    auto unknown = *live; // clusters of unknown size end at the first element not their child
    for (const auto c : clusters)
        unknown = resized(unknown, c + 4, true);
    // The last Tracks mention before the first Cluster (the SeekHead names Tracks too).
    std::size_t tracks = 0;
    for (const auto at : findAll(*live, {0x16, 0x54, 0xAE, 0x6B}))
        if (at < clusters.front()) tracks = at;
    const auto cutAt = clusters.back() + 200;
    const auto noise = F::noise(30000, 8);
    const auto mkvCluster = findAll(*mkv, kCluster)[0];
    F::expectCases(
        MatroskaCarver(),
        {{"unknown document type", F::patched(*mkv, findAll(*mkv, {0x42, 0x82})[0] + 3, 'M'), {}},
         {"EBML header of 7 bytes", F::patched(*mkv, 4, 0x87), {}},
         {"no Segment", F::patched(*mkv, findAll(*mkv, kSegment)[0], 0x1F), {}},
         {"a child past the Segment end", resized(*mkv, mkvCluster + 4, false), {}},
         {"live clusters of unknown size", F::join({unknown, noise}), live->size()},
         // Cut inside its last cluster: the recording ends where that cluster starts.
         {"live cut", Bytes(live->begin(), live->begin() + cutAt), clusters.back()},
         {"live without Tracks", F::patched(*live, tracks, 0x17), {}},
         {"live without a Cluster", Bytes(live->begin(), live->begin() + clusters.front()), {}}});
    const auto cut = F::carve(MatroskaCarver(), Bytes(unknown.begin(), unknown.begin() + cutAt));
    EXPECT_LE(cut.value().size, cutAt);
}

// Where the audio frames begin: after the metadata block with the last-block flag.
std::size_t audioStart(const Bytes& file) {
    for (std::size_t pos = 4;;) {
        const bool last = file[pos] & 0x80;
        pos += 4 + ((std::size_t{file[pos + 1]} << 16) | (std::size_t{file[pos + 2]} << 8) |
                    file[pos + 3]);
        if (last) return pos;
    }
}

TEST(FLACCarver, DamagedStreams) {
    testing::TempDir dir;
    const auto file =
        F::produce(dir, "a.flac",
                   "ffmpeg -v error -nostdin -f lavfi -i sine=frequency=440:duration=3 -f "
                   "lavfi -i anoisesrc=d=3:a=0.2 -filter_complex amerge=inputs=2 "
                   "-ac 2 -c:a flac a.flac");
    if (!file) GTEST_SKIP() << "ffmpeg is not installed";
    const auto head = [&](std::size_t n) { return Bytes(file->begin(), file->begin() + n); };
    const auto frame = F::carve(FLACCarver(), head(file->size() / 2)).value().size; // a frame start
    auto noTotal = head(frame); // without a total sample count nothing says it is short
    noTotal[8 + 13] &= 0xF0;
    std::fill(noTotal.begin() + 8 + 14, noTotal.begin() + 8 + 18, 0);
    const std::size_t second = 4 + 4 + 34;
    ASSERT_EQ((*file)[4] & 0x80, 0) << "STREAMINFO should not be the last block";
    // The frame header at `frame` (5 bytes before its CRC-8) with its channels nibble set.
    const auto mono = [&] {
        auto b = F::patched(*file, frame + 3, (*file)[frame + 3] & 0x0F);
        std::uint8_t crc = 0;
        for (std::size_t i = frame; i < frame + 5; ++i)
            for (int k = (crc ^= b[i], 0); k < 8; ++k)
                crc = static_cast<std::uint8_t>(crc & 0x80 ? (crc << 1) ^ 7 : crc << 1);
        return F::patched(b, frame + 5, crc);
    };
    F::expectCases(
        FLACCarver(),
        {{"up to a frame boundary", head(frame), frame, false},
         {"no total sample count", noTotal, frame, true},
         {"a mono frame in a stereo stream", mono(), frame, false},
         {"a frame header failing its CRC-8", F::patched(*file, frame + 5, (*file)[frame + 5] ^ 1),
          frame, false},
         // A fragment from the middle behind a copied header: its first frame is not number 0.
         {"fragment",
          F::join({head(audioStart(*file)), Bytes(file->begin() + frame, file->end())}),
          {}},
         {"only a failing first frame", head(audioStart(*file) + 40), {}},
         {"reserved block type", F::patched(*file, second, ((*file)[second] & 0x80) | 7), {}},
         {"metadata off the source", head(second + 2), {}},
         {"30 bytes", head(30), {}}});
    // The last frame fails its CRC-16: carved up to that frame's start.
    const auto dropped =
        F::carve(FLACCarver(), F::patched(*file, file->size() - 1, file->back() ^ 0xFF));
    ASSERT_TRUE(dropped);
    EXPECT_LT(dropped->size, file->size());
    EXPECT_GT(dropped->size, audioStart(*file));
    EXPECT_FALSE(dropped->complete);
    // Cut cleanly before its last frame: short of its total by less than one block.
    EXPECT_FALSE(F::carve(FLACCarver(), head(dropped->size)).value().complete);
    const Bytes sniffed = {'f', 'L', 'a', 'C', 0x80, 0, 0, 0x22, 0x10, 0,    0x10,
                           0,   0,   0,   0,   0,    0, 0, 0x0A, 0xC4, 0x42, 0xF0};
    EXPECT_EQ(FLACCarver().sniff(sniffed), FileKind::flac);
    for (const auto& bad : {Bytes(sniffed.begin(), sniffed.end() - 1), F::patched(sniffed, 4, 0x81),
                            F::patched(sniffed, 8, 0x0F, 2, false),
                            F::patched(F::patched(sniffed, 18, 0, 2), 20, 0x02)})
        EXPECT_FALSE(FLACCarver().sniff(bad));
}

Bytes syncsafe(std::uint32_t v) {
    return {static_cast<std::uint8_t>((v >> 21) & 0x7F),
            static_cast<std::uint8_t>((v >> 14) & 0x7F), static_cast<std::uint8_t>((v >> 7) & 0x7F),
            static_cast<std::uint8_t>(v & 0x7F)};
}

// One ID3v2 text frame of the given version: ID, size, flags, then the encoded text.
Bytes textFrame(int version, const std::string& id, std::uint8_t encoding, const Bytes& text) {
    const auto body = F::join({{encoding}, text});
    const auto size = static_cast<std::uint32_t>(body.size());
    if (version == 2) return F::join({F::text(id), F::patched({}, 0, size, 3, false), body});
    const auto sizeBytes = version == 4 ? syncsafe(size) : F::patched({}, 0, size, 4, false);
    return F::join({F::text(id), sizeBytes, {0, 0}, body});
}

// A tag holding the frames, then silent MPEG-1 layer III frames of 417 bytes each.
Bytes mp3(int version, const std::vector<Bytes>& frames, int audioFrames, std::uint8_t flags = 0,
          std::size_t padding = 16) {
    Bytes body;
    for (const auto& f : frames)
        body.insert(body.end(), f.begin(), f.end());
    body.resize(body.size() + padding, 0);
    const auto size = syncsafe(static_cast<std::uint32_t>(body.size()));
    Bytes out =
        F::join({{'I', 'D', '3', static_cast<std::uint8_t>(version), 0, flags}, size, body});
    if (flags & 0x10)
        out = F::join({out, {'3', 'D', 'I', static_cast<std::uint8_t>(version), 0, flags}, size});
    for (int i = 0; i < audioFrames; ++i) {
        out.insert(out.end(), {0xFF, 0xFB, 0x90, 0x64});
        out.resize(out.size() + 417 - 4, 0x55);
    }
    return out;
}

TEST(MP3Carver, FramesTagsAndNames) {
    const auto file = mp3(3, {}, 10);
    EXPECT_EQ(MP3Carver().sniff(ByteSpan(file).first(10)), FileKind::mp3);
    EXPECT_FALSE(MP3Carver().sniff(ByteSpan(file).first(9)));
    for (const auto& [at, value] : {std::pair{3, 5}, {3, 1}, {4, 0xFF}, {5, 0x01}, {6, 0x80}})
        EXPECT_FALSE(MP3Carver().sniff(ByteSpan(F::patched(file, at, value)).first(10))) << at;

    auto v1 = F::join({file, F::text("TAG")});
    v1.resize(file.size() + 128, ' ');
    auto overPadded = mp3(3, {}, 10);
    overPadded.insert(overPadded.begin() + 26, 4097, 0);
    const auto mixed = mp3(3, {}, 12);
    F::expectCases(MP3Carver(),
                   {{"nine frames", mp3(3, {}, 9), {}},
                    {"ten frames", file, file.size()},
                    {"ID3v1 after the frames", v1, v1.size()},
                    {"ID3v1 that does not fit", Bytes(v1.begin(), v1.end() - 1), file.size()},
                    {"4000 bytes of padding", mp3(3, {}, 10, 0, 4000), 10 + 4000 + 4170},
                    {"4097 bytes of padding", overPadded, {}},
                    {"another sample rate", F::patched(mixed, mixed.size() - 417 + 2, 0x94),
                     mixed.size() - 417},
                    // A tag size pointing into a frame: no frame chain starts there.
                    {"tag size off by 7", F::patched(mixed, 9, mixed[9] + 7), {}},
                    {"version-4 footer", mp3(4, {}, 10, 0x10), mp3(4, {}, 10, 0x10).size()}});

    const auto title = textFrame(3, "TIT2", 0, F::text("Harbour Lights"));
    const auto t3 = [](std::uint8_t encoding, std::string_view text) {
        return textFrame(3, "TIT2", encoding, F::text(text));
    };
    const auto four = textFrame(4, "TIT2", 0, F::text("Four"));
    const Bytes utf16 = {0xFF, 0xFE, 'S', 0, 0xE9, 0, 'a', 0, 0, 0};
    const struct {
        int version;
        std::vector<Bytes> frames;
        std::uint8_t flags;
        std::optional<std::string> name;
    } cases[] = {
        // The first decoded title wins; frames after a padding byte are not read.
        {3, {title, t3(0, "Other")}, 0, "Harbour Lights.mp3"},
        {3, {Bytes(10, 0), title}, 0, {}},
        // UTF-16 with a byte order mark, UTF-8; NULs and blanks go.
        {3, {textFrame(3, "TIT2", 1, utf16)}, 0, "S\u00E9a.mp3"},
        {4,
         {textFrame(4, "TIT2", 3, F::text(std::string_view("  Caf\xC3\xA9\n\0", 9)))},
         0,
         "Caf\xC3\xA9.mp3"},
        {3, {t3(1, "no byte order mark")}, 0, {}},
        {3, {t3(3, "bad \xC3")}, 0, {}},
        {3, {t3(9, "odd")}, 0, {}},
        {2, {textFrame(2, "TT2", 0, F::text("Old"))}, 0, "Old.mp3"},
        {3, {t3(0, std::string(300, 'x'))}, 0, std::string(120, 'x') + ".mp3"},
        {3, {t3(0, std::string(1100, 'y'))}, 0, {}}, // above 1 KiB
        // Unsynchronised tags are not read; an extended header is skipped.
        {3, {title}, 0x80, {}},
        {3, {F::join({{0, 0, 0, 6, 0, 0, 0, 0, 0, 0}, title})}, 0x40, "Harbour Lights.mp3"},
        {4, {F::join({{0, 0, 0, 6, 1, 0}, four})}, 0x40, "Four.mp3"}};
    for (const auto& c : cases)
        EXPECT_EQ(F::carve(MP3Carver(), mp3(c.version, c.frames, 10, c.flags)).value().nameHint,
                  c.name)
            << (c.name ? *c.name : "none");
}

} // namespace
} // namespace vellary
