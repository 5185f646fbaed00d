#include "tests/support/RawFixtures.hpp"

#include "tests/support/ByteWriters.hpp"
#include "tests/support/CarveFixtures.hpp"

#include <algorithm>
#include <random>

namespace vellary::testing {

TIFFBuilder::TIFFBuilder(bool little, std::uint16_t magic, std::size_t headerSize)
    : data_(headerSize, 0), little_(little) {
    data_[0] = data_[1] = little ? 'I' : 'M';
    put(2, magic, 2);
}

void TIFFBuilder::put(std::size_t at, std::uint32_t value, int width) {
    putEndian(data_, at, value, width, little_);
}

void TIFFBuilder::setNext(std::uint32_t directory, std::uint32_t next) {
    const auto count = little_ ? data_[directory] | (data_[directory + 1] << 8)
                               : (data_[directory] << 8) | data_[directory + 1];
    put(directory + 2 + static_cast<std::size_t>(count) * 12, next, 4);
}

std::uint32_t TIFFBuilder::blob(const Bytes& data) {
    if (data_.size() % 2) data_.push_back(0);
    const auto at = static_cast<std::uint32_t>(data_.size());
    data_.insert(data_.end(), data.begin(), data.end());
    return at;
}

std::uint32_t TIFFBuilder::directory(const std::vector<Field>& fields, std::uint32_t next) {
    auto sorted = fields;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Field& a, const Field& b) { return a.tag < b.tag; });
    const auto at = blob(Bytes(2 + sorted.size() * 12 + 4, 0));
    put(at, static_cast<std::uint32_t>(sorted.size()), 2);
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const auto& field = sorted[i];
        const std::size_t entry = at + 2 + i * 12;
        put(entry, field.tag, 2);
        put(entry + 2, field.type, 2);
        put(entry + 4, field.count, 4);
        if (field.type == 7 && field.data.empty()) {
            put(entry + 8, field.numbers.front(), 4);
            continue;
        }
        auto value = field.data;
        for (const auto number : field.numbers)
            appendEndian(value, number, field.type == 3 ? 2 : 4, little_);
        if (value.size() <= 4)
            std::copy(value.begin(), value.end(),
                      data_.begin() + static_cast<std::ptrdiff_t>(entry + 8));
        else
            put(entry + 8, blob(value), 4);
    }
    put(at + 2 + sorted.size() * 12, next, 4);
    return at;
}

namespace {

// Tags used by the maker layouts.
constexpr std::uint16_t kNewSubfileType = 0x00FE;
constexpr std::uint16_t kWidth = 0x0100, kHeight = 0x0101, kBits = 0x0102;
constexpr std::uint16_t kCompression = 0x0103, kPhotometric = 0x0106;
constexpr std::uint16_t kMake = 0x010F, kModel = 0x0110;
constexpr std::uint16_t kStripOffsets = 0x0111, kStripByteCounts = 0x0117;
constexpr std::uint16_t kDateTime = 0x0132;
constexpr std::uint16_t kSubIFDs = 0x014A;
constexpr std::uint16_t kJPEGOffset = 0x0201, kJPEGLength = 0x0202;
constexpr std::uint16_t kExif = 0x8769, kDateTaken = 0x9003;
constexpr std::uint16_t kDNGVersion = 0xC612, kCR2Slice = 0xC640;

constexpr std::uint32_t kCFA = 32803, kLinearRaw = 34892;
constexpr const char* kDate = "2021:05:03 14:22:10";

using B = TIFFBuilder;

std::uint32_t exifDirectory(TIFFBuilder& b) {
    return b.directory({B::ascii(kDateTaken, kDate)});
}

// IFD0 fields naming the camera.
std::vector<B::Field> camera(const std::string& make, const std::string& model,
                             std::uint32_t exif) {
    std::vector<B::Field> fields = {B::ascii(kModel, model), B::ascii(kDateTime, kDate),
                                    B::longs(kExif, {exif})};
    if (!make.empty()) fields.push_back(B::ascii(kMake, make));
    return fields;
}

std::vector<B::Field> strip(std::uint32_t offset, std::uint32_t count) {
    return {B::longs(kStripOffsets, {offset}), B::longs(kStripByteCounts, {count})};
}

std::vector<B::Field> join(std::vector<B::Field> a, const std::vector<B::Field>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A raw sensor directory: CFA data in one strip with the given compression.
std::uint32_t sensorDirectory(TIFFBuilder& b, std::uint32_t compression, std::uint32_t photometric,
                              std::size_t size) {
    const auto data = b.blob(RawFixtures::sensor(size, compression));
    return b.directory(
        join({B::longs(kNewSubfileType, {0}), B::longs(kWidth, {64}), B::longs(kHeight, {48}),
              B::shorts(kBits, {12}), B::shorts(kCompression, {compression}),
              B::shorts(kPhotometric, {photometric})},
             strip(data, static_cast<std::uint32_t>(size))));
}

} // namespace

Bytes RawFixtures::sensor(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes data(size);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(random() | 0x10);
    return data;
}

// Canon: "CR" 2 after the header and the raw directory's offset; IFD0 holds the full-size JPEG,
// IFD1 the thumbnail, IFD3 the lossless-JPEG sensor slices.
RawFixtures::Raw RawFixtures::cr2() {
    TIFFBuilder b(true, 42, 16);
    const auto exif = exifDirectory(b);
    const auto big = b.blob(CarveFixtures::jpeg(6000));
    const auto thumb = b.blob(CarveFixtures::jpeg(1500));
    const auto raw = b.blob(sensor(20000, 1));
    const auto ifd3 = b.directory(
        join({B::shorts(kCompression, {6}), B::shorts(kCR2Slice, {1, 64, 64})}, strip(raw, 20000)));
    const auto ifd1 = b.directory({B::shorts(kCompression, {6}), B::longs(kJPEGOffset, {thumb}),
                                   B::longs(kJPEGLength, {1500})},
                                  ifd3);
    const auto ifd0 = b.directory(
        join(join(camera("Canon", "Canon EOS 5D Mark IV", exif), {B::shorts(kCompression, {6})}),
             strip(big, 6000)),
        ifd1);
    b.setFirst(ifd0);
    b.put(12, ifd3, 4);
    Bytes data = b.data();
    data[8] = 'C';
    data[9] = 'R';
    data[10] = 2;
    return {data, {{big, 6000}, {thumb, 1500}}};
}

// Nikon: big-endian; IFD0 with a small RGB strip and two sub-directories, a JPEG preview and the
// compressed CFA data.
RawFixtures::Raw RawFixtures::nef(bool withMake) {
    TIFFBuilder b(false);
    const auto exif = exifDirectory(b);
    const auto jpeg = b.blob(CarveFixtures::jpeg(8000));
    const auto sub1 = b.directory({B::longs(kNewSubfileType, {1}), B::shorts(kCompression, {6}),
                                   B::longs(kJPEGOffset, {jpeg}), B::longs(kJPEGLength, {8000})});
    const auto sub2 = sensorDirectory(b, 34713, kCFA, 30000);
    const auto rgb = b.blob(sensor(160 * 120 / 8, 2));
    const auto ifd0 =
        b.directory(join(join(camera(withMake ? "NIKON CORPORATION" : "", "NIKON D850", exif),
                              {B::shorts(kCompression, {1}), B::shorts(kPhotometric, {2}),
                               B::longs(kSubIFDs, {sub1, sub2})}),
                         strip(rgb, 160 * 120 / 8)));
    b.setFirst(ifd0);
    return {b.data(), {{jpeg, 8000}}};
}

// DNG: a version tag, a preview strip in IFD0 and linear raw data in a sub-directory.
RawFixtures::Raw RawFixtures::dng() {
    return dng(CarveFixtures::jpeg(5000));
}

RawFixtures::Raw RawFixtures::dng(const Bytes& preview) {
    TIFFBuilder b(true);
    const auto exif = exifDirectory(b);
    const auto jpeg = b.blob(preview);
    const auto length = static_cast<std::uint32_t>(preview.size());
    const auto raw = sensorDirectory(b, 1, kLinearRaw, 22000);
    const auto ifd0 =
        b.directory(join(join(camera("Google", "Pixel 7", exif),
                              {B::bytes(kDNGVersion, {1, 4, 0, 0}), B::shorts(kCompression, {7}),
                               B::shorts(kPhotometric, {6}), B::longs(kSubIFDs, {raw})}),
                         strip(jpeg, length)));
    b.setFirst(ifd0);
    return {b.data(), {{jpeg, length}}};
}

RawFixtures::Raw RawFixtures::nef(const std::vector<Bytes>& previews) {
    TIFFBuilder b(false);
    const auto exif = exifDirectory(b);
    std::vector<std::uint32_t> subs;
    std::vector<ByteRange> ranges;
    for (const auto& preview : previews) {
        const auto length = static_cast<std::uint32_t>(preview.size());
        const auto jpeg = b.blob(preview);
        ranges.push_back({jpeg, length});
        subs.push_back(
            b.directory({B::longs(kNewSubfileType, {1}), B::shorts(kCompression, {6}),
                         B::longs(kJPEGOffset, {jpeg}), B::longs(kJPEGLength, {length})}));
    }
    subs.push_back(sensorDirectory(b, 34713, kCFA, 30000));
    const auto ifd0 = b.directory(join(camera("NIKON CORPORATION", "NIKON Z 6", exif),
                                       {B::shorts(kCompression, {1}), B::longs(kSubIFDs, subs)}));
    b.setFirst(ifd0);
    return {b.data(), ranges};
}

namespace {

// The simpler makers: the camera fields in IFD0, an optional JPEG interchange preview, and the
// sensor data either in IFD0 itself or in a sub-directory.
RawFixtures::Raw maker(bool little, std::uint16_t magic, const std::string& make,
                       const std::string& model, std::uint32_t compression, std::size_t size,
                       bool inSubDirectory, std::uint32_t previewSize = 0) {
    TIFFBuilder b(little, magic);
    auto fields = camera(make, model, exifDirectory(b));
    std::vector<ByteRange> previews;
    if (previewSize > 0) {
        const auto jpeg = b.blob(CarveFixtures::jpeg(previewSize));
        fields =
            join(fields, {B::longs(kJPEGOffset, {jpeg}), B::longs(kJPEGLength, {previewSize})});
        previews.push_back({jpeg, previewSize});
    }
    if (inSubDirectory) {
        fields.push_back(B::longs(kSubIFDs, {sensorDirectory(b, compression, kCFA, size)}));
    } else {
        const auto raw = b.blob(RawFixtures::sensor(size, compression));
        fields = join(
            fields, join({B::shorts(kCompression, {compression}), B::shorts(kPhotometric, {kCFA})},
                         strip(raw, static_cast<std::uint32_t>(size))));
    }
    b.setFirst(b.directory(fields));
    return {b.data(), previews};
}

} // namespace

// Olympus writes "IIRO" instead of the TIFF magic; Pentax is big-endian; Samsung and Sony put the
// sensor in a sub-directory, and Sony its preview in IFD0.
RawFixtures::Raw RawFixtures::orf() {
    return maker(true, 0x4F52, "OLYMPUS IMAGING CORP.", "E-M1MarkII", 1, 18000, false);
}
RawFixtures::Raw RawFixtures::pef() {
    return maker(false, 42, "PENTAX Corporation", "PENTAX K-1", 65535, 16000, false);
}
RawFixtures::Raw RawFixtures::srw() {
    return maker(true, 42, "SAMSUNG", "NX1", 32769, 15000, true);
}
RawFixtures::Raw RawFixtures::arw() {
    return maker(true, 42, "SONY", "ILCE-7M3", 32767, 25000, true, 7000);
}

// Panasonic: "IIU" magic; sensor geometry in tags 2, 3, 10 and 45, the preview in tag 46 and
// the sensor data at tag 0x118, with its length in 0x117 only when recorded.
RawFixtures::Raw RawFixtures::rw2(std::uint32_t width, std::uint32_t height, std::uint32_t rawStart,
                                  bool recorded) {
    TIFFBuilder b(true, 0x55);
    const auto exif = exifDirectory(b);
    const auto jpeg = b.blob(CarveFixtures::jpeg(3000));
    const std::uint32_t packed = (width * height + 13) / 14 * 16;
    std::vector<B::Field> fields =
        join(camera("Panasonic", "DC-S5", exif),
             {B::shorts(2, {width}), B::shorts(3, {height}), B::shorts(10, {12}),
              B::shorts(45, {4}), B::opaque(46, 3000, jpeg), B::longs(0x0118, {rawStart})});
    if (recorded) fields.push_back(B::longs(kStripByteCounts, {packed}));
    const auto ifd0 = b.directory(fields);
    b.setFirst(ifd0);
    Bytes data = b.data();
    if (data.size() > rawStart) return {};
    data.resize(rawStart, 0x11);
    const auto raw = sensor(packed, 5);
    data.insert(data.end(), raw.begin(), raw.end());
    return {data, {{jpeg, 3000}}};
}

RawFixtures::Raw RawFixtures::raf(const Bytes& jpeg, std::uint32_t cfaLength) {
    Bytes data(0x94, 0);
    const std::string magic = "FUJIFILMCCD-RAW 0201FF383501";
    std::copy(magic.begin(), magic.end(), data.begin());
    const std::string model = "X-T4";
    std::copy(model.begin(), model.end(), data.begin() + 28);
    const auto put = [&](std::size_t at, std::uint32_t v) { putBE(data, at, v, 4); };
    const auto jpegOffset = static_cast<std::uint32_t>(data.size());
    data.insert(data.end(), jpeg.begin(), jpeg.end());
    while (data.size() % 16)
        data.push_back(0);
    const auto cfaHeader = static_cast<std::uint32_t>(data.size());
    const auto header = sensor(512, 6);
    data.insert(data.end(), header.begin(), header.end());
    const auto cfa = static_cast<std::uint32_t>(data.size());
    const auto body = sensor(cfaLength, 7);
    data.insert(data.end(), body.begin(), body.end());
    put(84, jpegOffset);
    put(88, static_cast<std::uint32_t>(jpeg.size()));
    put(92, cfaHeader);
    put(96, 512);
    put(100, cfa);
    put(104, cfaLength);
    return {data, {{jpegOffset, jpeg.size()}}};
}

} // namespace vellary::testing
