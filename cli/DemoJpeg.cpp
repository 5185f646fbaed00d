#include "cli/DemoJpeg.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace vellary::cli {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Standard luminance DC code lengths (ITU T.81 table K.3): categories 0-11.
constexpr std::array<std::uint8_t, 16> kDcBits = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};

class BitWriter {
public:
    explicit BitWriter(Bytes& out) : out_(out) {}
    void put(std::uint32_t code, int length) {
        for (int i = length - 1; i >= 0; --i) {
            acc_ = static_cast<std::uint8_t>((acc_ << 1) | ((code >> i) & 1));
            if (++count_ == 8) flushByte();
        }
    }
    void finish() {
        while (count_ != 0)
            put(1, 1);
    }

private:
    void flushByte() {
        out_.push_back(acc_);
        if (acc_ == 0xFF) out_.push_back(0x00);
        acc_ = 0;
        count_ = 0;
    }
    Bytes& out_;
    std::uint8_t acc_ = 0;
    int count_ = 0;
};

void segment(Bytes& out, std::uint8_t marker, const Bytes& body) {
    out.push_back(0xFF);
    out.push_back(marker);
    const auto length = static_cast<std::uint16_t>(body.size() + 2);
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.push_back(static_cast<std::uint8_t>(length & 0xFF));
    out.insert(out.end(), body.begin(), body.end());
}

void putBE16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

// A minimal big-endian EXIF block with Make, Model and DateTimeOriginal.
Bytes exifSegment(const std::string& dateTime) {
    Bytes t = {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8};
    const std::string make = "Canon";
    const std::string model = "Canon EOS 80D";
    std::string date = dateTime;
    date.resize(19, ' ');
    auto put32 = [&](std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8)
            t.push_back(static_cast<std::uint8_t>(v >> s));
    };
    auto entry = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t count,
                     std::uint32_t value) {
        putBE16(t, tag);
        putBE16(t, type);
        put32(count);
        put32(value);
    };
    // IFD0 at 8: Make, Model, ExifIFD pointer; then the Exif IFD; then the strings.
    const std::uint32_t ifd0 = 8;
    const std::uint32_t ifd0Size = 2 + 3 * 12 + 4;
    const std::uint32_t exifIfd = ifd0 + ifd0Size;
    const std::uint32_t exifSize = 2 + 1 * 12 + 4;
    const std::uint32_t makeAt = exifIfd + exifSize;
    const std::uint32_t modelAt = makeAt + static_cast<std::uint32_t>(make.size() + 1);
    const std::uint32_t dateAt = modelAt + static_cast<std::uint32_t>(model.size() + 1);
    putBE16(t, 3);
    entry(0x010F, 2, static_cast<std::uint32_t>(make.size() + 1), makeAt);
    entry(0x0110, 2, static_cast<std::uint32_t>(model.size() + 1), modelAt);
    entry(0x8769, 4, 1, exifIfd);
    put32(0);
    putBE16(t, 1);
    entry(0x9003, 2, 20, dateAt);
    put32(0);
    for (const auto& s : {make, model, date}) {
        t.insert(t.end(), s.begin(), s.end());
        t.push_back(0);
    }
    return t;
}

} // namespace

Bytes demoJpeg(int width, int height, int seed, std::size_t paddedSize,
               const std::string& dateTimeOriginal) {
    Bytes out = {0xFF, 0xD8};
    segment(out, 0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
    segment(out, 0xE1, exifSegment(dateTimeOriginal));

    // One quantisation table: 8 for DC makes a flat block's coefficient equal to its level.
    Bytes dqt = {0x00};
    for (int i = 0; i < 64; ++i)
        dqt.push_back(i == 0 ? 8 : 16);
    segment(out, 0xDB, dqt);

    Bytes sof = {8};
    putBE16(sof, static_cast<std::uint16_t>(height));
    putBE16(sof, static_cast<std::uint16_t>(width));
    sof.push_back(3);
    for (std::uint8_t c = 1; c <= 3; ++c) {
        sof.push_back(c);
        sof.push_back(0x11);
        sof.push_back(0);
    }
    segment(out, 0xC0, sof);

    // DC table 0 (standard), AC table 0 with the single symbol EOB coded as "0".
    Bytes dht = {0x00};
    dht.insert(dht.end(), kDcBits.begin(), kDcBits.end());
    for (std::uint8_t v = 0; v < 12; ++v)
        dht.push_back(v);
    dht.push_back(0x10);
    dht.push_back(1);
    for (int i = 1; i < 16; ++i)
        dht.push_back(0);
    dht.push_back(0x00);
    segment(out, 0xC4, dht);

    // Comments pad the file so that it spans several clusters, as a camera's photo would.
    const std::size_t tail = 16 + static_cast<std::size_t>(width * height) / 16;
    while (out.size() + tail < paddedSize) {
        const std::size_t room = std::min<std::size_t>(paddedSize - out.size() - tail, 60000);
        if (room < 8) break;
        Bytes comment(room - 4);
        for (std::size_t i = 0; i < comment.size(); ++i)
            comment[i] =
                static_cast<std::uint8_t>('a' + (i * 7 + static_cast<std::size_t>(seed)) % 26);
        segment(out, 0xFE, comment);
    }

    segment(out, 0xDA, {3, 1, 0x00, 2, 0x00, 3, 0x00, 0, 63, 0});

    // Canonical codes of the DC table.
    std::array<std::uint32_t, 12> code{};
    std::array<int, 12> length{};
    {
        std::uint32_t c = 0;
        int symbol = 0;
        for (int len = 1; len <= 16; ++len) {
            for (int n = 0; n < kDcBits[static_cast<std::size_t>(len - 1)]; ++n) {
                code[static_cast<std::size_t>(symbol)] = c++;
                length[static_cast<std::size_t>(symbol)] = len;
                ++symbol;
            }
            c <<= 1;
        }
    }
    BitWriter bits(out);
    std::array<int, 3> previous{};
    for (int by = 0; by < height / 8; ++by) {
        for (int bx = 0; bx < width / 8; ++bx) {
            const double fx = static_cast<double>(bx) / (width / 8);
            const double fy = static_cast<double>(by) / (height / 8);
            // A sky-to-sand picture that differs a little per photo.
            const double r = 90 + 150 * fy + 10 * std::sin(seed + fx * 6);
            const double g = 150 + 60 * fy - 20 * fx;
            const double b = 230 - 160 * fy + 5 * seed;
            const double y = 0.299 * r + 0.587 * g + 0.114 * b;
            const std::array<double, 3> ycc = {y, 128 + (b - y) * 0.564, 128 + (r - y) * 0.713};
            for (std::size_t c = 0; c < 3; ++c) {
                const int level = std::clamp(static_cast<int>(std::lround(ycc[c])), 0, 255) - 128;
                const int diff = level - previous[c];
                previous[c] = level;
                int magnitude = diff < 0 ? -diff : diff;
                int category = 0;
                while (magnitude != 0) {
                    ++category;
                    magnitude >>= 1;
                }
                bits.put(code[static_cast<std::size_t>(category)],
                         length[static_cast<std::size_t>(category)]);
                if (category != 0) {
                    const int value = diff < 0 ? diff + (1 << category) - 1 : diff;
                    bits.put(static_cast<std::uint32_t>(value), category);
                }
                bits.put(0, 1); // end of block
            }
        }
    }
    bits.finish();
    out.push_back(0xFF);
    out.push_back(0xD9);
    return out;
}

} // namespace vellary::cli
