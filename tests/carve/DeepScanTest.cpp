// The deep scan over real encoders' files: whole, cut short, split and spliced with other bytes.
#include "core/carve/Carver.hpp"
#include "core/carve/HeldWindow.hpp"
#include "core/carve/ISOMediaCarver.hpp"
#include "core/carve/JPEGAhead.hpp"
#include "core/carve/JPEGCarver.hpp"
#include "core/carve/JPEGData.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/CarveFixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sys/wait.h>

namespace vellary {
namespace {

using testing::CarveFixtures;
using testing::TempDir;

const TempDir workDir;

std::ptrdiff_t signedSize(std::size_t n) {
    return static_cast<std::ptrdiff_t>(n);
}

// cjpeg over a generated picture (gradients with grain, so the data holds every kind of symbol).
std::optional<Bytes> cjpeg(int width, int height, unsigned seed, const std::string& options) {
    const auto input = workDir / ("in-" + std::to_string(seed) + ".ppm");
    const auto name = "out-" + std::to_string(seed) + ".jpg";
    {
        std::mt19937 random(seed);
        std::ofstream ppm(input, std::ios::binary);
        ppm << "P6\n" << width << " " << height << "\n255\n";
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const auto grain = static_cast<int>(random() % 24);
                const int band = ((x / 37 + y / 29 + static_cast<int>(seed)) % 5) * 40;
                ppm.put(static_cast<char>((x * 255 / width + grain) % 256));
                ppm.put(static_cast<char>((y * 255 / height + band) % 256));
                ppm.put(static_cast<char>(((x * y) / 97 + grain * 3) % 256));
            }
    }
    return CarveFixtures::produce(workDir, name,
                                  "cjpeg " + options + " '" + input.string() + "' > " + name);
}

// djpeg exits 0 only when nothing was wrong; warnings give 2.
bool djpegClean(const Bytes& jpeg) {
    const auto path = workDir / "judged.jpg";
    std::filesystem::remove(path);
    testing::writeFile(path, std::string(jpeg.begin(), jpeg.end()));
    const int status = std::system(("djpeg '" + path.string() + "' > /dev/null 2>&1").c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

auto measure(const Bytes& bytes) {
    return JPEGCarver::measure(DataBlockReader(bytes), 0);
}

// The first scan judged by the tight loop for sequential data (nobody asks for block starts) and
// by the careful one, through 4 KiB windows so that the data reaches both in pieces: the same
// verdict, at about the same place.
void expectSameVerdictBothWays(const Bytes& image) {
    JPEGData data;
    std::size_t pos = 2;
    for (; pos + 4 <= image.size() && image[pos] == 0xFF;) {
        const auto marker = image[pos + 1];
        const std::size_t length = image[pos + 2] << 8 | image[pos + 3];
        if (length < 2 || pos + 2 + length > image.size()) return;
        const ByteSpan payload(image.data() + pos + 4, length - 2);
        pos += 2 + length;
        if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) data.defineFrame(marker, payload);
        if (marker == 0xC4) data.defineTables(payload);
        if (marker == 0xDD) data.defineRestartInterval(payload);
        if (marker != 0xDA) continue;
        const DataBlockReader reader(image);
        HeldWindow quickWindow(reader, image.size(), 4096);
        HeldWindow carefulWindow(reader, image.size(), 4096);
        const auto quick = data.scan(payload, quickWindow, pos);
        const auto careful =
            data.scan(payload, carefulWindow, pos, std::nullopt, [](const JPEGData::Resume&) {});
        EXPECT_EQ(quick.decoded, careful.decoded);
        // Places are told to the byte but for stuffed bytes still buffered.
        EXPECT_LE(std::max(quick.at, careful.at) - std::min(quick.at, careful.at), 8u);
        return;
    }
}

struct Encoding {
    const char *name, *options;
    int width, height;
};

const Encoding kEncodings[] = {
    {"baseline420", "-quality 85", 640, 480},
    {"sampled422", "-quality 90 -sample 2x1", 600, 400},
    {"sampled444", "-quality 80 -sample 1x1", 500, 333},
    {"grey", "-quality 75 -grayscale", 641, 479},
    {"restartRows", "-quality 85 -restart 1", 640, 480},
    {"restartBlocks", "-quality 85 -restart 7B -sample 1x1", 400, 300},
    {"progressive", "-quality 85 -progressive", 640, 480},
    {"progressive444", "-quality 92 -progressive -sample 1x1", 333, 500},
    {"progressiveRestart", "-quality 85 -progressive -restart 2", 480, 640},
};

class JPEGDataTest : public ::testing::TestWithParam<Encoding> {};

// Whole, then cut short, then followed by noise, zeros or another JPEG's data of the same shape
// and the rest of it: whole only when libjpeg agrees and the bytes are all of the original.
TEST_P(JPEGDataTest, AgreesWithLibjpeg) {
    const auto& e = GetParam();
    const auto jpeg = cjpeg(e.width, e.height, 5, e.options);
    const auto other = cjpeg(e.width, e.height, 9, e.options);
    if (!jpeg || !other) GTEST_SKIP() << "cjpeg missing";
    const auto whole = measure(CarveFixtures::join({*jpeg, Bytes(4096, 0x5A)}));
    ASSERT_TRUE(whole && whole->complete);
    EXPECT_EQ(whole->size, jpeg->size());

    const auto expectHonest = [&](const Bytes& image) {
        expectSameVerdictBothWays(image);
        const auto parsed = measure(image);
        if (parsed && parsed->complete) {
            EXPECT_TRUE(djpegClean(image)) << "whole by our check, broken by libjpeg";
            EXPECT_TRUE(parsed->size == jpeg->size() &&
                        std::equal(jpeg->begin(), jpeg->end(), image.begin()));
        } else {
            EXPECT_FALSE(djpegClean(image)) << "libjpeg decodes what our check calls broken";
        }
        return parsed;
    };
    const auto noise = CarveFixtures::noise(8192, 11);
    const Bytes zeros(8192, 0);
    const Bytes foreign(other->begin() + signedSize(other->size() / 3),
                        other->begin() + signedSize(other->size() / 3 + 8192));
    for (const double at : {0.25, 0.5, 0.8, 0.97}) {
        const auto cut =
            static_cast<std::size_t>(static_cast<double>(jpeg->size()) * at) / 512 * 512;
        SCOPED_TRACE(cut);
        const Bytes head(jpeg->begin(), jpeg->begin() + signedSize(cut));
        // It stops where the data stops, not earlier: the bytes before the cut are sound.
        const auto parsed = expectHonest(head);
        ASSERT_TRUE(parsed);
        EXPECT_TRUE(parsed->size <= cut && parsed->size + 64 >= cut) << parsed->size;
        for (const Bytes* gap : {&noise, &zeros, &foreign}) {
            const auto spliced = CarveFixtures::join(
                {head, *gap, Bytes(jpeg->begin() + signedSize(cut), jpeg->end())});
            const auto broken = expectHonest(spliced);
            // Noise stops decoding within a few hundred bytes.
            EXPECT_TRUE(gap != &noise ||
                        (broken && broken->size + 64 >= cut && broken->size <= cut + 2048));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Encoders, JPEGDataTest, ::testing::ValuesIn(kEncodings),
                         [](const auto& p) { return std::string(p.param.name); });

// A camera-like file: EXIF from exiftool, and an MPF index announcing a preview stored after the
// primary image. The preview counts as part of the file, unless it lies beyond the limit or the
// entry does not point at FF D8.
TEST(JPEGDataCamera, PrimaryAndPreviewMeasuredWhole) {
    const auto primary = cjpeg(800, 600, 21, "-quality 92 -restart 4");
    const auto preview = cjpeg(160, 120, 22, "-quality 80");
    if (!primary || !preview) GTEST_SKIP() << "cjpeg missing";
    testing::writeFile(workDir / "tagged.jpg", std::string(primary->begin(), primary->end()));
    const auto tagged = CarveFixtures::produce(
        workDir, "tagged.jpg", "exiftool -q -overwrite_original -Make=FUJIFILM tagged.jpg");
    if (!tagged) GTEST_SKIP() << "exiftool missing";
    const auto camera = CarveFixtures::withMPF(*tagged, *preview);
    ASSERT_TRUE(djpegClean(camera));
    const auto parsed = measure(camera);
    ASSERT_TRUE(parsed && parsed->complete);
    EXPECT_EQ(parsed->size, camera.size());
    const auto primaryEnd = camera.size() - preview->size();
    const auto noise = CarveFixtures::noise(4096, 1);
    const DataBlockReader reader(CarveFixtures::join({camera, noise}));
    EXPECT_EQ(JPEGCarver::measure(reader, 0, primaryEnd + 100).value().size, primaryEnd);
    const auto moved =
        CarveFixtures::join({CarveFixtures::patched(camera, primaryEnd + 1, 0), noise});
    EXPECT_EQ(measure(moved).value().size, primaryEnd);
}

// Restart markers count 0 to 7 over and over; one out of turn ends the data there.
TEST(JPEGDataRestarts, MarkerOutOfTurnStopsTheData) {
    const auto jpeg = cjpeg(640, 480, 5, "-quality 85 -restart 1");
    if (!jpeg) GTEST_SKIP() << "cjpeg missing";
    const Bytes sos = {0xFF, 0xDA};
    auto at = std::search(jpeg->begin(), jpeg->end(), sos.begin(), sos.end());
    std::vector<std::size_t> markers;
    for (; at + 1 < jpeg->end(); ++at)
        if (at[0] == 0xFF && at[1] >= 0xD0 && at[1] <= 0xD7)
            markers.push_back(static_cast<std::size_t>(at - jpeg->begin()));
    ASSERT_GT(markers.size(), 9u); // past one turn of the count
    auto skipped = *jpeg;
    skipped[markers[9] + 1] = 0xD3; // the tenth is RST1
    const auto parsed = measure(skipped);
    ASSERT_TRUE(parsed);
    EXPECT_FALSE(parsed->complete);
    EXPECT_LE(parsed->size, markers[9] + 2);
    EXPECT_GT(parsed->size, markers[8]);
}

// A table that names more codes of a length than the length can hold is malformed.
TEST(JPEGDataTables, OverfullTableRejected) {
    JPEGData data;
    Bytes payload(17, 0);
    payload[1] = 3; // three codes of one bit
    payload.insert(payload.end(), {0, 1, 2});
    EXPECT_FALSE(data.defineTables(payload));
    payload[1] = 2;
    payload.pop_back();
    EXPECT_TRUE(data.defineTables(payload));
}

// The second thread's measurements are the walk's own, whichever thread makes them, with
// candidates the walk passes over or that lie in claimed space.
TEST(JPEGAhead, GivesWhatTheWalkMeasures) {
    std::vector<Bytes> files;
    for (const char* options :
         {"-quality 90", "-quality 85 -progressive", "-quality 80 -restart 2"})
        if (const auto f = cjpeg(320, 240, 40 + static_cast<unsigned>(files.size()), options))
            files.push_back(*f);
    if (files.size() < 3) GTEST_SKIP() << "cjpeg missing";
    Bytes image(JPEGAhead::kMinSource + 4 * 1024 * 1024, 0);
    std::vector<std::uint64_t> starts;
    for (std::uint64_t at = 0, i = 0; at + 64 * 1024 < image.size(); at += 512 * 1024, ++i) {
        const auto& f = files[i % files.size()];
        // Whole, cut short before zeros, or with noise in the middle.
        auto placed = i % 3 == 0 ? f : Bytes(f.begin(), f.begin() + signedSize(f.size() / 2));
        if (i % 3 == 2) placed = CarveFixtures::join({placed, CarveFixtures::noise(4096, 3)});
        std::copy(placed.begin(), placed.end(), image.begin() + signedSize(at));
        starts.push_back(at);
    }
    const DataBlockReader reader(image);
    const RangeCover cover({{starts[5], 1024}});
    JPEGAhead ahead(reader, cover, 0);
    for (std::size_t i = 0; i < starts.size(); ++i) {
        if (i % 4 == 3 || i == 5) continue;
        const auto got = ahead.measure(reader, starts[i]);
        const auto want = JPEGCarver::measure(reader, starts[i]);
        ASSERT_EQ(got.has_value(), want.has_value()) << i;
        EXPECT_EQ(got->size, want->size) << i;
        EXPECT_EQ(got->complete, want->complete) << i;
        EXPECT_EQ(got->headers, want->headers) << i;
    }
}

struct Sample {
    Bytes data;
    FileKind kind;
};

// Each sample made on first use; nothing when its encoder is missing.
const Sample* need(const std::string& name) {
    static std::map<std::string, std::optional<Sample>> made;
    if (!made.contains(name)) {
        const std::string movie = "-f lavfi -i testsrc=size=320x240:rate=25:duration=4 "
                                  "-f lavfi -i sine=duration=4 -shortest -c:v mpeg4 -c:a aac ";
        const std::string clip = "-f lavfi -i testsrc=size=176x144:rate=10:duration=1 ";
        const std::map<std::string, std::pair<std::string, FileKind>> movies = {
            {"long.mp4", {movie, FileKind::mp4}},
            {"fast.mp4", {movie + "-movflags +faststart", FileKind::mp4}},
            {"song.mp3", {"-f lavfi -i sine=duration=2 -c:a libmp3lame", FileKind::mp3}},
            {"clip.mov", {clip + "-c:v mpeg4", FileKind::mov}},
            {"clip.avi", {clip + "-c:v mpeg4", FileKind::avi}},
            {"mjpeg.avi", {clip + "-c:v mjpeg", FileKind::avi}},
            {"mjpeg.mov",
             {"-f lavfi -i testsrc=size=320x240:rate=25:duration=3 -c:v mjpeg", FileKind::mov}},
        };
        const char* options[] = {"-quality 92 -restart 2", "-quality 88", "-quality 90 -sample 1x1",
                                 "-quality 85 -restart 8B", "-quality 90"};
        // piece0..3.jpg are the split ones, photo.jpg the one cut short.
        const int i = name.starts_with("piece") ? name[5] - '0' : 4;
        const auto movieIt = movies.find(name);
        const auto data = movieIt == movies.end()
                              ? cjpeg(1024 + 64 * i, 768, 30 + static_cast<unsigned>(i), options[i])
                              : CarveFixtures::produce(workDir, name,
                                                       "ffmpeg -v error -nostdin -y " +
                                                           movieIt->second.first + " " + name);
        const auto kind = movieIt == movies.end() ? FileKind::jpeg : movieIt->second.second;
        made[name] = data ? std::optional<Sample>(Sample{*data, kind}) : std::nullopt;
    }
    return made[name] ? &*made[name] : nullptr;
}

// Carves the image; every file found whole starts where one was placed and holds its bytes.
std::vector<RecoverableFile> carveChecked(const Bytes& image,
                                          const std::map<std::uint64_t, const Sample*>& placed) {
    std::vector<RecoverableFile> found;
    Carver::carve(DataBlockReader(image), RangeCover{}, ScanOptions{}, 0, found);
    for (const auto& f : found) {
        if (!f.complete) continue;
        const auto start = f.ranges.front().offset;
        EXPECT_TRUE(placed.contains(start)) << "whole file where none began: " << start;
        Bytes bytes;
        for (const auto& r : f.ranges)
            bytes.insert(bytes.end(), image.begin() + signedSize(r.offset),
                         image.begin() + signedSize(r.end()));
        EXPECT_TRUE(placed.contains(start) && bytes == placed.at(start)->data)
            << "wrong bytes labelled whole at " << start;
    }
    return found;
}

const RecoverableFile* foundAt(const std::vector<RecoverableFile>& found, std::uint64_t offset) {
    const auto it = std::find_if(found.begin(), found.end(), [&](const RecoverableFile& f) {
        return f.id == "carve-" + std::to_string(offset);
    });
    return it == found.end() ? nullptr : &*it;
}

struct Truncated {
    const char *name, *cut; // the file cut short at the image's start
    double keep;            // the part of it kept
    std::vector<const char*> after;
    bool tail; // noise after the last file, or the source ends there
};

const Truncated kTruncated[] = {
    {"mp4IndexLast", "long.mp4", 0.3, {"song.mp3", "clip.mov", "clip.avi"}, true},
    {"mp4IndexFirst", "fast.mp4", 0.5, {"song.mp3", "clip.mov", "clip.avi"}, true},
    {"jpegThenMotionJPEG", "photo.jpg", 0.6, {"mjpeg.avi"}, true},
    {"jpegThenMovie", "photo.jpg", 0.35, {"clip.mov", "song.mp3"}, false},
    {"mp4AtSourceEnd", "long.mp4", 0.5, {}, false},
    {"mp4IndexFirstAtSourceEnd", "fast.mp4", 0.7, {}, false},
};

class TruncatedNeighbours : public ::testing::TestWithParam<Truncated> {};

// Cut on a sector boundary, so the next file follows at once, as on a card.
TEST_P(TruncatedNeighbours, LaterFilesFoundAndTheCutOneIsPartial) {
    const auto& c = GetParam();
    const auto* cut = need(c.cut);
    if (!cut) GTEST_SKIP() << c.cut << " could not be made";
    const auto kept = static_cast<std::size_t>(static_cast<double>(cut->data.size()) * c.keep);
    Bytes image(cut->data.begin(), cut->data.begin() + signedSize(kept / 512 * 512));
    std::map<std::uint64_t, const Sample*> placed;
    for (const auto* name : c.after) {
        const auto at = (image.size() + 511) / 512 * 512;
        if (!(placed[at] = need(name))) GTEST_SKIP() << name << " could not be made";
        image = CarveFixtures::join(
            {image, CarveFixtures::noise(at - image.size(), 7), placed[at]->data});
    }
    if (c.tail) image = CarveFixtures::join({image, CarveFixtures::noise(64 * 1024, 99)});

    const auto found = carveChecked(image, placed);
    const auto* head = foundAt(found, 0);
    ASSERT_TRUE(head && head->kind == cut->kind);
    EXPECT_EQ(head->quality(), RecoverableFile::Quality::partial);
    EXPECT_LE(head->size, image.size());
    for (const auto& [offset, sample] : placed) {
        const auto* f = foundAt(found, offset);
        EXPECT_TRUE(f && f->kind == sample->kind && f->complete) << offset;
    }
}

INSTANTIATE_TEST_SUITE_P(Images, TruncatedNeighbours, ::testing::ValuesIn(kTruncated),
                         [](const auto& p) { return std::string(p.param.name); });

enum class Gap { noise, zeros, otherJPEG };

struct Layout {
    const char* name;
    std::uint64_t cluster;
    Gap gap;
    bool interleaved;   // two files' pieces alternate
    std::size_t pieces; // two pieces close together are always put back together
};

const Layout kLayouts[] = {
    {"noise4k", 4096, Gap::noise, false, 2},
    {"zeros4k", 4096, Gap::zeros, false, 2},
    {"jpeg4k", 4096, Gap::otherJPEG, false, 2},
    {"interleaved4k", 4096, Gap::noise, true, 2},
    {"noise32k", 32768, Gap::noise, false, 2},
    {"zeros32k", 32768, Gap::zeros, false, 2},
    {"jpeg32k", 32768, Gap::otherJPEG, false, 2},
    {"interleaved32k", 32768, Gap::otherJPEG, true, 2},
    {"noise512", 512, Gap::noise, false, 2},
    {"interleaved2k", 2048, Gap::zeros, true, 2},
    {"threePieces4k", 4096, Gap::noise, false, 3},
    {"threePieces32k", 32768, Gap::zeros, true, 3},
};

class FragmentedJPEG : public ::testing::TestWithParam<Layout> {};

// Files split at cluster boundaries, a whole one after them; padding never looks like a marker.
TEST_P(FragmentedJPEG, ComesBackWholeOrPartialNeverWrong) {
    const auto& c = GetParam();
    const Sample* files[] = {need("piece0.jpg"), need("piece1.jpg"), need("piece2.jpg"),
                             need("piece3.jpg")};
    if (std::count(files, files + 4, nullptr) > 0) GTEST_SKIP() << "cjpeg missing";
    std::mt19937 random(static_cast<unsigned>(c.cluster) + static_cast<unsigned>(c.gap));
    Bytes image;
    std::map<std::uint64_t, const Sample*> placed; // where each original starts
    const auto add = [&](const Sample* s, std::size_t from, std::size_t to, bool starts) {
        if (starts) placed[image.size()] = s;
        image.insert(image.end(), s->data.begin() + signedSize(from),
                     s->data.begin() + signedSize(to));
        while (image.size() % c.cluster != 0)
            image.push_back(static_cast<std::uint8_t>(random() | 1));
    };
    const std::size_t broken = c.interleaved ? 2 : 1;
    const auto cut = [&](std::size_t f, std::size_t k) {
        const auto size = files[f]->data.size();
        return k == c.pieces ? size : size * k / c.pieces / c.cluster * c.cluster;
    };
    for (std::size_t k = 0; k < c.pieces; ++k) {
        for (std::size_t f = 0; f < broken; ++f)
            add(files[f], cut(f, k), cut(f, k + 1), k == 0);
        if (k + 1 == c.pieces) break;
        if (c.gap == Gap::otherJPEG) {
            add(files[3], 0, files[3]->data.size(), true);
        } else {
            for (std::uint64_t i = 0; i < 2 * c.cluster; ++i)
                image.push_back(c.gap == Gap::zeros ? 0 : static_cast<std::uint8_t>(random()));
        }
    }
    add(files[2], 0, files[2]->data.size(), true);
    image.resize(image.size() + c.cluster, 0);

    const auto found = carveChecked(image, placed);
    for (const auto& [offset, original] : placed) {
        const auto* f = foundAt(found, offset);
        const bool mustBeWhole = c.pieces == 2 || (original != files[0] && original != files[1]);
        EXPECT_TRUE(f && (f->complete || !mustBeWhole)) << offset;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, FragmentedJPEG, ::testing::ValuesIn(kLayouts),
                         [](const auto& p) { return std::string(p.param.name); });

// The JPEG with a comment after its start marker that makes its size + less a multiple of 4096.
Bytes clusterSized(const Bytes& jpeg, std::size_t less) {
    const std::size_t fill = (4096 - (jpeg.size() + 4 - less) % 4096) % 4096;
    Bytes out = {0xFF,
                 0xD8,
                 0xFF,
                 0xFE,
                 static_cast<std::uint8_t>((fill + 2) >> 8),
                 static_cast<std::uint8_t>(fill + 2)};
    out.resize(out.size() + fill, 'x');
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

// The cluster after the gap holds nothing of the file but its end-of-image marker; the gap is
// noise, or noise and a whole JPEG that ends on a cluster boundary.
TEST(FragmentedJPEGEnd, SplitJustBeforeTheEndMarker) {
    const auto* sample = need("piece1.jpg");
    const auto* other = need("piece2.jpg");
    if (!sample || !other) GTEST_SKIP() << "cjpeg missing";
    const auto file = clusterSized(sample->data, 2);
    const auto head = Bytes(file.begin(), file.end() - 2);
    const auto tail = CarveFixtures::join({{0xFF, 0xD9}, Bytes(8190, 0)});
    const Sample whole{file, FileKind::jpeg};
    const Sample sized{clusterSized(other->data, 0), FileKind::jpeg};
    for (const bool withJPEG : {false, true}) {
        const auto gap = withJPEG
                             ? CarveFixtures::join({CarveFixtures::noise(4096, 18), sized.data})
                             : CarveFixtures::noise(8192, 17);
        std::map<std::uint64_t, const Sample*> placed = {{0, &whole}};
        if (withJPEG) placed[head.size() + 4096] = &sized;
        const auto found = carveChecked(CarveFixtures::join({head, gap, tail}), placed);
        const auto* f = foundAt(found, 0);
        ASSERT_TRUE(f);
        EXPECT_TRUE(f->complete && f->ranges.size() == 2) << withJPEG;
    }
}

std::size_t find(const Bytes& data, std::string_view text) {
    return static_cast<std::size_t>(
        std::search(data.begin(), data.end(), text.begin(), text.end()) - data.begin());
}

class ISOMediaSamples : public ::testing::TestWithParam<const char*> {};

// Placed at 0 and so that a frame starting with a JPEG signature lands on a sector start: motion
// JPEG frames are samples, not files. A chunk offset outside the media data breaks the index.
TEST_P(ISOMediaSamples, WholeMovieIsCompleteAndABrokenIndexIsNot) {
    const auto* m = need(GetParam());
    if (!m) GTEST_SKIP() << "ffmpeg missing";
    const auto& movie = m->data;
    const auto frame = find(movie, "\xFF\xD8\xFF");
    for (const std::uint64_t at : {std::uint64_t{0}, 512 + (512 - frame % 512) % 512}) {
        const auto image = CarveFixtures::join(
            {CarveFixtures::noise(at, 3), movie, CarveFixtures::noise(8192, 4)});
        const auto carved = CarveFixtures::carve(ISOMediaCarver(), image, at, m->kind);
        ASSERT_TRUE(carved && carved->complete) << at;
        EXPECT_EQ(carved->size, movie.size()) << at;
    }
    auto moved = movie;
    const auto stco = find(moved, "stco");
    ASSERT_LT(stco, moved.size());
    moved[stco + 4 + 8] = 0x7F; // version and flags, count, then the first entry
    const auto broken = CarveFixtures::carve(ISOMediaCarver(), moved, 0, m->kind);
    ASSERT_TRUE(broken && !broken->complete && broken->verified);
    EXPECT_LE(*broken->verified, find(moved, "mdat") + 8);
    // Another file's start inside the media data: the movie ends there.
    const auto sector = (find(movie, "mdat") + 4 + 4096) / 512 * 512;
    auto intruded = movie;
    CarveFixtures::place(
        intruded, sector,
        {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'});
    intruded.resize(movie.size());
    const auto cut = CarveFixtures::carve(ISOMediaCarver(), intruded, 0, m->kind);
    ASSERT_TRUE(cut && !cut->complete);
    EXPECT_EQ(cut->size, sector);
}

INSTANTIATE_TEST_SUITE_P(Encoders, ISOMediaSamples,
                         ::testing::Values("mjpeg.mov", "fast.mp4", "long.mp4"), [](const auto& p) {
                             return std::string(p.param).substr(0, std::string(p.param).find('.'));
                         });

} // namespace
} // namespace vellary
