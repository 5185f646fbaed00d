#include "core/carve/ISOMediaCarver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/EncodedMedia.hpp"
#include "tests/support/FaultyBlockReader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

using namespace vellary;
using vellary::testing::appendBE;
using vellary::testing::CarveFixtures;
using vellary::testing::EncodedMedia;
using vellary::testing::TempDir;

namespace {

const ISOMediaCarver carver;

void append(Bytes& out, const Bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

Bytes box(std::string_view type, const Bytes& body) {
    Bytes out;
    appendBE(out, static_cast<std::uint32_t>(8 + body.size()), 4);
    out.insert(out.end(), type.begin(), type.end());
    append(out, body);
    return out;
}

Bytes ftyp(std::string_view major, std::initializer_list<std::string_view> compatible = {}) {
    Bytes body(major.begin(), major.end());
    appendBE(body, 0x200, 4);
    for (const auto brand : compatible)
        body.insert(body.end(), brand.begin(), brand.end());
    return box("ftyp", body);
}

// A movie header whose creation time counts seconds from 1904.
Bytes moov(std::uint64_t created, bool wide = false) {
    Bytes mvhd{static_cast<std::uint8_t>(wide ? 1 : 0), 0, 0, 0};
    if (wide)
        appendBE(mvhd, created, 8);
    else
        appendBE(mvhd, static_cast<std::uint32_t>(created), 4);
    mvhd.resize(100, 0);
    return box("moov", box("mvhd", mvhd));
}

Bytes filler(std::string_view type, std::size_t size) {
    return box(type, Bytes(size - 8, 0x5A));
}

constexpr std::uint64_t k1904 = 2'082'844'800;
constexpr double kMay2021 = 1'620'051'730; // 2021-05-03 14:22:10 UTC

std::optional<Carved> measure(const Bytes& data, std::uint64_t start = 0) {
    const DataBlockReader reader(data);
    const auto kind =
        carver.sniff(ByteSpan(data).subspan(start, std::min<std::size_t>(32, data.size() - start)));
    if (!kind) return std::nullopt;
    return carver.carve(reader, start, *kind);
}

std::size_t find(const Bytes& data, std::string_view text) {
    return static_cast<std::size_t>(
        std::search(data.begin(), data.end(), text.begin(), text.end()) - data.begin());
}

} // namespace

TEST(ISOMediaCarver, SniffsBoxSizeAndMajorBrand) {
    const auto sniff = [](Bytes b) { return carver.sniff(b); };
    EXPECT_EQ(sniff(ftyp("isom")), FileKind::mp4);
    EXPECT_EQ(sniff(ftyp("qt  ")), FileKind::mov);
    EXPECT_EQ(sniff(ftyp("M4A ")), FileKind::m4a);
    EXPECT_EQ(sniff(ftyp("3gp4")), FileKind::threegp);
    EXPECT_EQ(sniff(ftyp("heix")), FileKind::heic);
    EXPECT_EQ(sniff(ftyp("avis")), FileKind::avif);
    EXPECT_EQ(sniff(ftyp("crx ")), FileKind::cr3);
    EXPECT_EQ(sniff(ftyp("ISOM")), std::nullopt); // case matters
    EXPECT_EQ(sniff(ftyp("qt")), std::nullopt);
    auto odd = ftyp("isom", {"mp41"});
    odd[3] = 26; // not a multiple of 4
    EXPECT_EQ(sniff(odd), std::nullopt);
    auto big = ftyp("isom");
    big[2] = 2;
    big[3] = 4; // 516
    EXPECT_EQ(sniff(big), std::nullopt);
    const auto whole = ftyp("isom");
    EXPECT_EQ(sniff(Bytes(whole.begin(), whole.begin() + 15)), std::nullopt);
    EXPECT_EQ(carver.leadBytes(), std::vector<std::uint8_t>{0x00});
}

TEST(ISOMediaCarver, MeasuresSyntheticLayouts) {
    Bytes mp4 = ftyp("isom", {"isom", "mp41"});
    append(mp4, moov(static_cast<std::uint64_t>(kMay2021) + k1904));
    append(mp4, filler("mdat", 5000));
    auto data = mp4;
    append(data, CarveFixtures::noise(3000, 1));
    auto carved = measure(data);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->kind, FileKind::mp4);
    EXPECT_EQ(carved->size, mp4.size());
    EXPECT_TRUE(carved->complete);
    ASSERT_TRUE(carved->modified);
    EXPECT_DOUBLE_EQ(unixSeconds(*carved->modified), kMay2021);

    // A recording whose index was never written: incomplete, up to the end of mdat.
    Bytes qt = ftyp("qt  ");
    append(qt, filler("wide", 8));
    append(qt, filler("mdat", 6000));
    carved = measure(qt);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->kind, FileKind::mov);
    EXPECT_EQ(carved->size, qt.size());
    EXPECT_FALSE(carved->complete);
    EXPECT_FALSE(carved->modified);

    // Audio needs its index.
    Bytes m4a = ftyp("M4A ");
    append(m4a, filler("mdat", 6000));
    EXPECT_FALSE(measure(m4a));

    Bytes heic = ftyp("heic", {"mif1", "heic"});
    append(heic, filler("meta", 400));
    append(heic, filler("mdat", 5000));
    carved = measure(heic);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->kind, FileKind::heic);
    EXPECT_TRUE(carved->complete);

    Bytes avif = ftyp("mif1", {"mif1", "avif", "miaf"});
    append(avif, filler("meta", 400));
    append(avif, filler("mdat", 5000));
    carved = measure(avif);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->kind, FileKind::avif);

    Bytes cr3 = ftyp("mp42", {"mp42", "crx "});
    append(cr3, moov(0));
    append(cr3, filler("uuid", 300));
    append(cr3, filler("mdat", 5000));
    carved = measure(cr3);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->kind, FileKind::cr3);
    EXPECT_TRUE(carved->complete);
    EXPECT_FALSE(carved->modified); // creation time 0
}

TEST(ISOMediaCarver, DatesFromTheMovieHeader) {
    const auto dated = [](std::uint64_t created, bool wide) {
        Bytes file = ftyp("isom");
        append(file, moov(created, wide));
        append(file, filler("mdat", 5000));
        return measure(file);
    };
    auto carved = dated(static_cast<std::uint64_t>(kMay2021) + k1904, true);
    ASSERT_TRUE(carved && carved->modified);
    EXPECT_DOUBLE_EQ(unixSeconds(*carved->modified), kMay2021);
    // 1990 and 2150 fall outside the accepted years; the file is still carved.
    carved = dated(631'152'000 + k1904 + 86'400 * 180, false);
    ASSERT_TRUE(carved);
    EXPECT_FALSE(carved->modified);
    carved = dated(5'680'281'600ULL + k1904, true);
    ASSERT_TRUE(carved);
    EXPECT_FALSE(carved->modified);
    carved = dated(UINT64_MAX, true);
    ASSERT_TRUE(carved);
    EXPECT_FALSE(carved->modified);
}

TEST(ISOMediaCarver, EndsAtTheLastAcceptableBox) {
    Bytes file = ftyp("isom");
    append(file, moov(0));
    append(file, filler("mdat", 5000));
    const auto length = file.size();

    auto unknownType = file;
    append(unknownType, filler("zzzz", 64));
    auto carved = measure(unknownType);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, length);

    auto controlByte = file;
    append(controlByte, filler("fre\x01", 64));
    carved = measure(controlByte);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, length);

    auto tinySize = file;
    append(tinySize, Bytes{0, 0, 0, 4, 'f', 'r', 'e', 'e'});
    carved = measure(tinySize);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, length);

    // At the very end of the source, fewer than 8 bytes left: the walk simply stops.
    auto tail = file;
    append(tail, Bytes{1, 2, 3});
    carved = measure(tail);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, length);
}

TEST(ISOMediaCarver, RejectsBoxesThatRunPastTheSource) {
    Bytes head = ftyp("isom");
    append(head, moov(0));

    // mdat declared one byte longer than what is there.
    auto shortMdat = head;
    append(shortMdat, filler("mdat", 5000));
    shortMdat.pop_back();
    EXPECT_FALSE(measure(shortMdat));

    auto zero = head;
    append(zero, Bytes{0, 0, 0, 0, 'm', 'd', 'a', 't'});
    append(zero, Bytes(5000, 7));
    EXPECT_FALSE(measure(zero));

    // 64-bit sizes near 2^64 must not wrap round to a small end.
    for (const std::uint64_t huge : {~0ULL, ~0ULL - 7, ~0ULL - 4095, 1ULL << 63}) {
        auto wrap = head;
        append(wrap, filler("free", 5000));
        appendBE(wrap, 1, 4);
        wrap.insert(wrap.end(), {'m', 'd', 'a', 't'});
        appendBE(wrap, huge, 8);
        append(wrap, Bytes(64, 9));
        EXPECT_FALSE(measure(wrap)) << huge;
    }

    // A 64-bit size below the 16-byte header, or cut off.
    auto below = head;
    append(below, filler("free", 5000));
    appendBE(below, 1, 4);
    below.insert(below.end(), {'m', 'd', 'a', 't'});
    appendBE(below, 15, 8);
    EXPECT_FALSE(measure(below));

    // An honest 64-bit size is followed.
    auto large = head;
    appendBE(large, 1, 4);
    large.insert(large.end(), {'m', 'd', 'a', 't'});
    appendBE(large, 5016, 8);
    append(large, Bytes(5000, 3));
    const auto length = large.size();
    append(large, CarveFixtures::noise(700, 2));
    const auto carved = measure(large);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, length);
}

TEST(ISOMediaCarver, RejectsShortOrHeaderlessFiles) {
    Bytes file = ftyp("isom");
    append(file, moov(0));
    const auto mdat = 4096 - file.size();
    auto exact = file;
    append(exact, filler("mdat", mdat));
    ASSERT_EQ(exact.size(), 4096U);
    EXPECT_TRUE(measure(exact));
    auto tooShort = file;
    append(tooShort, filler("mdat", mdat - 1));
    EXPECT_FALSE(measure(tooShort));

    // The first box must be an ftyp the carver can read whole.
    const DataBlockReader moovFirst([&] {
        Bytes b = moov(0);
        append(b, filler("mdat", 5000));
        return b;
    }());
    EXPECT_FALSE(carver.carve(moovFirst, 0, FileKind::mp4));
    const auto head = ftyp("isom");
    EXPECT_FALSE(
        carver.carve(DataBlockReader(Bytes(head.begin(), head.end() - 1)), 0, FileKind::mp4));
    EXPECT_FALSE(carver.carve(DataBlockReader(Bytes{}), 0, FileKind::mp4));
    EXPECT_FALSE(carver.carve(DataBlockReader(exact), exact.size(), FileKind::mp4));
}

TEST(ISOMediaCarver, ReadErrorsEndTheWalkButAVanishedDeviceIsReported) {
    Bytes file = ftyp("isom");
    append(file, moov(0));
    append(file, filler("mdat", 5000));
    const auto freeAt = find(file, "mdat") - 4 + 5000;
    append(file, filler("free", 2000));
    append(file, filler("skip", 2000));

    // The free box's header sits in a bad sector: measured up to mdat's end.
    vellary::testing::FaultyBlockReader faulty(file);
    faulty.failSector(freeAt / 512);
    faulty.failSector((freeAt + 15) / 512);
    auto carved = carver.carve(faulty, 0, FileKind::mp4);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->size, freeAt);

    vellary::testing::FaultyBlockReader gone(file);
    gone.vanishAt(freeAt);
    EXPECT_THROW(carver.carve(gone, 0, FileKind::mp4), RecoverError);
}

// Real encoder output, placed after other bytes and followed by noise.
struct EncodedCase {
    const char* name;
    const char* arguments;
    FileKind kind;
};

class ISOMediaEncoded : public ::testing::TestWithParam<EncodedCase> {};

TEST_P(ISOMediaEncoded, MeasuresExactlyWithDate) {
    const auto& param = GetParam();
    TempDir dir;
    const auto file = EncodedMedia::ffmpeg(dir, param.name,
                                           std::string(param.arguments) +
                                               " -metadata creation_time=2021-05-03T14:22:10Z");
    if (!file) GTEST_SKIP() << "ffmpeg is not installed or cannot encode " << param.name;

    Bytes data = CarveFixtures::noise(8192, 3);
    append(data, *file);
    append(data, CarveFixtures::noise(10'000, 4));
    const auto carved = measure(data, 8192);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->kind, param.kind);
    EXPECT_EQ(carved->size, file->size());
    EXPECT_TRUE(carved->complete);
    ASSERT_TRUE(carved->modified);
    EXPECT_DOUBLE_EQ(unixSeconds(*carved->modified), kMay2021);

    // Cut anywhere inside a box, or short by one byte: not carved.
    for (const auto cut : {file->size() - 1, file->size() / 2, file->size() * 3 / 4}) {
        const Bytes truncated(file->begin(), file->begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_FALSE(carver.carve(DataBlockReader(truncated), 0, param.kind)) << cut;
    }
    // A corrupt mdat length that points past the source.
    auto corrupt = *file;
    const auto at = find(corrupt, "mdat") - 4;
    corrupt[at] = 0x7F;
    EXPECT_FALSE(carver.carve(DataBlockReader(corrupt), 0, param.kind));
}

INSTANTIATE_TEST_SUITE_P(
    Ffmpeg, ISOMediaEncoded,
    ::testing::Values(
        EncodedCase{"moov_last.mp4",
                    "-f lavfi -i testsrc=size=176x144:rate=10:duration=1 -f lavfi -i "
                    "sine=duration=1 -shortest -c:v mpeg4 -c:a aac",
                    FileKind::mp4},
        EncodedCase{"faststart.mp4",
                    "-f lavfi -i testsrc=size=176x144:rate=10:duration=1 -c:v mpeg4 "
                    "-movflags +faststart",
                    FileKind::mp4},
        EncodedCase{"movie.mov", "-f lavfi -i testsrc=size=176x144:rate=10:duration=1 -c:v mpeg4",
                    FileKind::mov},
        EncodedCase{"movie.m4v", "-f lavfi -i testsrc=size=176x144:rate=10:duration=1 -c:v mpeg4",
                    FileKind::m4v},
        EncodedCase{"phone.3gp",
                    "-f lavfi -i testsrc=size=176x144:rate=10:duration=1 -f lavfi -i "
                    "sine=duration=1 -shortest -c:v h263 -c:a aac -ar 8000 -ac 1",
                    FileKind::threegp},
        EncodedCase{"song.m4a", "-f lavfi -i sine=duration=2 -c:a aac", FileKind::m4a}),
    [](const ::testing::TestParamInfo<EncodedCase>& param) {
        std::string name = param.param.name;
        std::replace(name.begin(), name.end(), '.', '_');
        return name;
    });

TEST(ISOMediaCarver, MoovAfterMdatCutBeforeTheIndexIsAnIncompleteMovie) {
    TempDir dir;
    const auto file = EncodedMedia::ffmpeg(
        dir, "cut.mp4", "-f lavfi -i testsrc=size=176x144:rate=10:duration=2 -c:v mpeg4");
    if (!file) GTEST_SKIP() << "ffmpeg is not installed";
    const auto mdat = find(*file, "mdat") - 4;
    const auto moovAt = find(*file, "moov") - 4;
    ASSERT_LT(mdat, moovAt) << "ffmpeg wrote the index first";

    // Power lost before the index was written: the rest of the card is blank.
    Bytes data(file->begin(), file->begin() + static_cast<std::ptrdiff_t>(moovAt));
    data.resize(data.size() + 4096, 0);
    const auto carved = measure(data);
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->kind, FileKind::mp4);
    EXPECT_EQ(carved->size, moovAt);
    EXPECT_FALSE(carved->complete);
    EXPECT_FALSE(carved->modified);
}

TEST(ISOMediaCarver, MeasuresHeifEncoderOutput) {
    for (const auto& [name, kind] :
         {std::pair{"photo.heic", FileKind::heic}, std::pair{"photo.avif", FileKind::avif}}) {
        TempDir dir;
        const auto file = EncodedMedia::heif(dir, name);
        if (!file) GTEST_SKIP() << "heif-enc or ImageMagick is missing, or cannot encode " << name;
        ASSERT_GE(file->size(), 4096U) << "the picture is too small to be carved";
        Bytes data = *file;
        append(data, CarveFixtures::noise(5000, 5));
        const auto carved = measure(data);
        ASSERT_TRUE(carved) << name;
        EXPECT_EQ(carved->kind, kind);
        EXPECT_EQ(carved->size, file->size());
        EXPECT_TRUE(carved->complete);

        const Bytes truncated(file->begin(), file->end() - 1);
        EXPECT_FALSE(carver.carve(DataBlockReader(truncated), 0, kind));
    }
}
