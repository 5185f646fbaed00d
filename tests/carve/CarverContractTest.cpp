// What every format carver owes the deep scan, checked over files made by real producers (and
// over maker-layout fixtures where no tool here writes the format): the kind from the first
// bytes, the exact size at an offset among noise, nothing at the source's end, and no claim past
// a truncated file. The same files then come back from a quick-formatted card.
#include "core/carve/Carver.hpp"
#include "core/engine/RecoveryEngine.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/CliRun.hpp"
#include "tests/support/RawFixtures.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <sstream>

namespace vellary {
namespace {

using testing::CarveFixtures;
using testing::RawFixtures;
using testing::TempDir;

// What a carver gives for a truncated file: nothing at all; or nothing, or no more than the cut
// holds (a document whole up to its end marker, live clusters); or the audio frames before the
// cut, whenever half the file is there, marked incomplete or not; or nothing, or no more than the
// cut marked incomplete (the part its data or boxes check out).
enum class Cut { rejected, within, frames, incomplete, partial };

// A file the command writes under the sample's name (or a fixture, where no tool here writes
// the format), and what the carver must tell about it.
struct Sample {
    const char* name;
    FileKind kind;
    const char* tools; // space-separated; the sample is skipped when one is missing
    std::string command;
    Cut cut = Cut::rejected;
    std::optional<Date> date = std::nullopt;
    const char* device = nullptr;
    const char* hint = nullptr;
    Bytes fixture = {};
};

const std::string kFF = "ffmpeg -v error -nostdin -y ";
const std::string kClip = kFF + "-f lavfi -i testsrc=size=176x144:rate=10:duration=1 ";
const std::string kSound = "-f lavfi -i sine=duration=1 -shortest ";
const std::string kWhen = "-metadata creation_time=2021-05-03T14:22:10Z ";
const std::string kIM = "/usr/bin/convert ";
const std::string kPlasma = kIM + "-size 120x90 -seed 3 plasma:fractal -depth 8 ";
const std::string kPicture = kFF + "-f lavfi -i testsrc=size=320x240 -frames:v 1 p.ppm && ";
// Notes and incompressible bytes, the same every run so that sizes and offsets are too.
const std::string kNotes = "seq 1 2000 > notes.txt && LC_ALL=C awk 'BEGIN { srand(7); for (i = 0; "
                           "i < 5000; ++i) printf \"%c\", int(rand() * 256) }' > noise.bin && ";
const std::string kGS = "gs -q -sDEVICE=pdfwrite -o a.pdf -c '/Helvetica findfont 20 scalefont "
                        "setfont 72 720 moveto (Harbour) show showpage showpage'";
const std::string kLO = "timeout 180 libreoffice -env:UserInstallation=file://$PWD/lo --headless "
                        "--convert-to ";
const std::string kLetter = "printf 'Dear reader,\\n' > a.txt && " + kLO;
const std::string kSheet = "printf 'a,b\\n1,2\\n' > a.csv && " + kLO;
const std::string kSlides =
    "printf '%s' '" + CarveFixtures::slideDocument() + "' > a.fodp && " + kLO;
const std::string kTagged = kFF + "-f lavfi -i sine=frequency=330:duration=3 -c:a libmp3lame "
                                  "-metadata title='Harbour Lights' -metadata artist='The Quay' ";
const std::string kWebP = kFF + "-f lavfi -i testsrc=size=64x48 -frames:v 1 p.png && cwebp -quiet ";
const std::string kHEIF = kIM + "-size 640x480 -seed 7 plasma: p.jpg && heif-enc -q 60 p.jpg -o ";
const auto kWhenDate = dateFromUnixSeconds(1'620'051'730);
const auto kRawDate = Binary::localDate(2021, 5, 3, 14, 22, 10);
const char* kSong = "The Quay - Harbour Lights.mp3";

Bytes cameraPreview() {
    CarveFixtures::JPEGParts parts;
    parts.before = {
        CarveFixtures::exifSegment(CarveFixtures::tiff(
            true, {{0x010F, "FUJIFILM"}, {0x0110, "X-T4"}}, {{0x9003, "2021:05:03 14:22:10"}})),
        CarveFixtures::segment(0xE2, CarveFixtures::text("DSCF0042.JPG"))};
    parts.padTo = 300'000; // read only in part: the EXIF comes from the first APP1 alone
    return CarveFixtures::jpeg(parts);
}

std::vector<Sample> samples() {
    const auto raw = [](const char* name, FileKind kind, RawFixtures::Raw r, const char* device) {
        return Sample{name, kind, "", "", Cut::rejected, kRawDate, device, nullptr, r.data};
    };
    const auto mp3 = [](const char* name, const std::string& options) {
        return Sample{
            name, FileKind::mp3, "ffmpeg", kTagged + options + " " + name, Cut::frames, {},
            {},   kSong};
    };
    using K = FileKind;
    return {
        {"b.jpg", K::jpeg, "ffmpeg cjpeg", kPicture + "cjpeg p.ppm > b.jpg", Cut::partial},
        {"p.jpg", K::jpeg, "ffmpeg cjpeg", kPicture + "cjpeg -progressive p.ppm > p.jpg",
         Cut::partial},
        // The thumbnail's end marker is not the file's.
        {"e.jpg", K::jpeg, "ffmpeg cjpeg exiftool",
         kPicture + kFF +
             "-f lavfi -i testsrc=size=64x48 -frames:v 1 t.ppm && cjpeg t.ppm > t.jpg "
             "&& cjpeg p.ppm > e.jpg && exiftool -q "
             "-overwrite_original -DateTimeOriginal='2021:05:03 14:22:10' -Make=FUJIFILM "
             "-Model=X-T4 '-ThumbnailImage<=t.jpg' e.jpg",
         Cut::partial, kRawDate, "Fujifilm X-T4"},
        {"a.bmp", K::bmp, "convert", kPlasma + "a.bmp"},
        {"b.bmp", K::bmp, "convert", kPlasma + "bmp3:b.bmp"},
        {"a.png", K::png, "convert", kPlasma + "a.png"},
        {"a.gif", K::gif, "convert",
         kIM + "-delay 10 -size 60x40 plasma: -size 60x40 plasma: a.gif"},
        {"a.psd", K::psd, "convert", kPlasma + "-compress RLE a.psd"},
        {"b.psd", K::psd, "convert", kIM + "-size 90x70 plasma: -depth 16 -compress None b.psd"},
        // Noisy rows, which ImageMagick packs to their longest and closes with a no-op byte.
        {"n.psd", K::psd, "convert",
         kIM + "-size 256x40 xc: +noise Random -depth 8 -compress RLE n.psd"},
        {"n.psb", K::psd, "convert",
         kIM + "-size 300x40 xc: +noise Random -depth 8 -compress RLE psb:n.psb"},
        {"w.psd", K::psd, "convert",
         kIM + "-size 640x120 -seed 9 plasma: -depth 8 -compress RLE w.psd"},
        {"l.tif", K::tiff, "convert", kPlasma + "-endian LSB l.tif"},
        {"m.tif", K::tiff, "convert", kPlasma + "-endian MSB m.tif"},
        {"t.tif", K::tiff, "convert",
         kPlasma + "-endian MSB -define tiff:tile-geometry=64x64 t.tif"},
        {"u.tif", K::tiff, "convert",
         kIM + "-size 150x90 plasma: -depth 16 -define tiff:tile-geometry=32x32 u.tif"},
        {"z.tif", K::tiff, "convert", kPlasma + "-compress LZW z.tif"},
        {"c.tif", K::tiff, "convert tiffcp",
         kPlasma + "s.tif && tiffcp -L -t -w 32 -l 32 s.tif c.tif"},
        {"d.tif", K::tiff, "convert tiffcp",
         kPlasma + "s.tif && tiffcp -B -t -w 32 -l 32 s.tif d.tif"},
        raw("a.cr2", K::cr2, RawFixtures::cr2(), "Canon EOS 5D Mark IV"),
        raw("a.nef", K::nef, RawFixtures::nef(), "NIKON D850"),
        raw("a.arw", K::arw, RawFixtures::arw(), "Sony ILCE-7M3"),
        raw("a.dng", K::dng, RawFixtures::dng(), "Google Pixel 7"),
        raw("a.orf", K::orf, RawFixtures::orf(), "Olympus E-M1MarkII"),
        raw("a.pef", K::pef, RawFixtures::pef(), "PENTAX K-1"),
        raw("a.srw", K::srw, RawFixtures::srw(), "Samsung NX1"),
        raw("a.rw2", K::rw2, RawFixtures::rw2(140, 100, 8192, true), "Panasonic DC-S5"),
        {"a.raf", K::raf, "", "", Cut::rejected, kRawDate, "Fujifilm X-T4", "DSCF0042.RAF",
         RawFixtures::raf(cameraPreview(), 40'000).data},
        {"a.mp4", K::mp4, "ffmpeg", kClip + kSound + kWhen + "-c:v mpeg4 -c:a aac a.mp4",
         Cut::partial, kWhenDate},
        {"f.mp4", K::mp4, "ffmpeg", kClip + kWhen + "-c:v mpeg4 -movflags +faststart f.mp4",
         Cut::partial, kWhenDate},
        {"a.mov", K::mov, "ffmpeg", kClip + kWhen + "-c:v mpeg4 a.mov", Cut::partial, kWhenDate},
        {"a.m4v", K::m4v, "ffmpeg", kClip + kWhen + "-c:v mpeg4 a.m4v", Cut::partial, kWhenDate},
        {"a.3gp", K::threegp, "ffmpeg",
         kClip + kSound + kWhen + "-c:v h263 -c:a aac -ar 8000 a.3gp", Cut::partial, kWhenDate},
        {"a.m4a", K::m4a, "ffmpeg", kFF + "-f lavfi -i sine=duration=2 " + kWhen + "a.m4a",
         Cut::rejected, kWhenDate},
        {"a.heic", K::heic, "convert heif-enc", kHEIF + "a.heic", Cut::partial},
        {"a.avif", K::avif, "convert heif-enc", kHEIF + "a.avif", Cut::partial},
        {"a.docx", K::docx, "libreoffice", kLetter + "docx a.txt >/dev/null"},
        {"a.xlsx", K::xlsx, "libreoffice", kSheet + "xlsx a.csv >/dev/null"},
        {"a.pptx", K::pptx, "libreoffice", kSlides + "pptx a.fodp >/dev/null"},
        {"s.zip", K::zip, "zip", kNotes + "zip -q -0 s.zip *.*"},
        {"d.zip", K::zip, "zip", kNotes + "zip -q -9 d.zip *.*"},
        {"e.zip", K::zip, "zip", kNotes + "zip -q -fd e.zip *.*"},
        {"p.zip", K::zip, "zip", kNotes + "cat notes.txt | zip -q - - | cat > p.zip"},
        {"z.zip", K::zip, "zip", kNotes + "zip -q -fz z.zip *.*"},
        {"c.zip", K::zip, "zip",
         kNotes + "zip -q c.zip notes.txt && printf '%0200d' 0 | zip -qz c.zip"},
        {"y.zip", K::zip, "python3",
         "python3 -c \"import zipfile\nwith zipfile.ZipFile('y.zip', 'w', zipfile.ZIP_DEFLATED) as "
         "z:\n    for i in range(3):\n        with z.open('p%d' % i, 'w', force_zip64=True) as f: "
         "f.write(b'abc' * 500)\n\""},
        // "mimetype" first and stored, as the format asks.
        {"a.epub", K::epub, "zip",
         "printf application/epub+zip > mimetype && echo '<html/>' > c.xhtml && zip -q -X0 a.epub "
         "mimetype && zip -q -X9 a.epub c.xhtml"},
        {"a.avi", K::avi, "ffmpeg", kClip + "-f lavfi -i sine=d=1 -c:v mpeg4 -c:a pcm_s16le a.avi"},
        {"a.wav", K::wav, "ffmpeg", kFF + "-f lavfi -i sine=d=1 -c:a pcm_s16le a.wav"},
        {"o.wav", K::wav, "ffmpeg", kFF + "-f lavfi -i sine=d=0.0001 -ac 1 -c:a pcm_u8 o.wav"},
        {"s.wav", K::wav, "sox", "sox -n -r 8000 -c 1 -b 16 s.wav synth 0.5 sine 300"},
        {"a.webp", K::webp, "ffmpeg cwebp", kWebP + "p.png -o a.webp"},
        {"l.webp", K::webp, "ffmpeg cwebp", kWebP + "-lossless p.png -o l.webp"},
        {"t.webp", K::webp, "ffmpeg cwebp",
         kFF + "-f lavfi -i color=c=red@0.5:size=64x48,format=rgba -frames:v 1 p.png && cwebp "
               "-quiet p.png -o t.webp"},
        {"a.mkv", K::mkv, "ffmpeg",
         kClip + "-f lavfi -i sine=d=1 " + kWhen + "-c:v mpeg4 -c:a flac a.mkv", Cut::rejected,
         kWhenDate},
        {"a.webm", K::webm, "ffmpeg",
         kClip + "-f lavfi -i sine=d=1 " + kWhen + "-c:v libvpx -b:v 200k -c:a libopus a.webm",
         Cut::rejected, kWhenDate},
        // A live recording: Segment and Clusters of unknown size.
        {"l.webm", K::webm, "ffmpeg",
         kClip + "-f lavfi -i sine=d=1 -c:v libvpx -c:a libopus -f webm -live 1 - | cat > l.webm",
         Cut::within},
        {"a.flac", K::flac, "ffmpeg",
         kFF + "-f lavfi -i sine=frequency=440:duration=3 -f lavfi -i anoisesrc=d=3:a=0.2 "
               "-filter_complex amerge=inputs=2 -ac 2 a.flac",
         Cut::incomplete},
        {"m.flac", K::flac, "ffmpeg",
         kFF + "-f lavfi -i anoisesrc=d=2:a=0.5 -ar 48000 -ac 1 -sample_fmt s32 m.flac",
         Cut::incomplete},
        {"s.flac", K::flac, "sox", "sox -n -r 22050 -c 2 -b 16 s.flac synth 2 pinknoise vol 0.3",
         Cut::incomplete},
        mp3("a.mp3", "-id3v2_version 3"),
        mp3("c.mp3", "-id3v2_version 4 -write_id3v1 1"),
        {"a.pdf", K::pdf, "gs", kGS, Cut::within},
        {"l.pdf", K::pdf, "gs qpdf", kGS + " && qpdf --linearize a.pdf l.pdf", Cut::within},
        {"a.doc", K::doc, "libreoffice", kLetter + "doc a.txt >/dev/null"},
        {"a.xls", K::xls, "libreoffice", kSheet + "xls a.csv >/dev/null"},
        {"a.ppt", K::ppt, "libreoffice", kSlides + "ppt a.fodp >/dev/null"},
    };
}

// Each sample is produced once per run; nothing when a tool it needs is missing.
const std::optional<Bytes>& produced(const Sample& sample) {
    static std::map<std::string, std::optional<Bytes>> made;
    if (const auto found = made.find(sample.name); found != made.end()) return found->second;
    std::istringstream tools(sample.tools);
    for (std::string tool; tools >> tool;)
        if (!testing::haveTool(tool)) return made[sample.name] = std::nullopt;
    if (!sample.fixture.empty()) return made[sample.name] = sample.fixture;
    const TempDir dir;
    return made[sample.name] = CarveFixtures::produce(dir, sample.name, sample.command);
}

// The carver the deep scan would give the file to: the first whose sniff accepts it.
const FormatCarver* carverOf(const Bytes& file) {
    for (const auto* carver : Registry::byLeadByte()[file[0]])
        if (carver->sniff(ByteSpan(file).first(32))) return carver;
    return nullptr;
}

class CarverContract : public ::testing::TestWithParam<Sample> {};

TEST_P(CarverContract, KindExactSizeAndTruncation) {
    const auto& s = GetParam();
    const auto& file = produced(s);
    if (!file) GTEST_SKIP() << "a tool is missing: " << s.tools;
    ASSERT_GE(file->size(), 32u);
    const auto* carver = carverOf(*file); // its sniff's kind may be refined by the carve
    ASSERT_TRUE(carver);

    const auto before = CarveFixtures::noise(1536, 5);
    const auto source = CarveFixtures::join({before, *file, CarveFixtures::noise(20000, 4)});
    const auto carved = CarveFixtures::carve(*carver, source, before.size());
    ASSERT_TRUE(carved);
    EXPECT_EQ(carved->kind, s.kind);
    EXPECT_EQ(carved->size, file->size());
    EXPECT_TRUE(carved->complete);
    EXPECT_TRUE(!s.date || carved->modified == s.date);
    EXPECT_TRUE(!s.device || carved->device == s.device) << carved->device.value_or("none");
    EXPECT_TRUE(!s.hint || carved->nameHint == s.hint) << carved->nameHint.value_or("none");
    EXPECT_FALSE(carver->carve(DataBlockReader(*file), file->size(), s.kind));

    for (int part = 1; part <= 32; ++part) {
        const auto cut = part == 32 ? file->size() - 1 : file->size() * part / 32;
        const Bytes head(file->begin(), file->begin() + static_cast<std::ptrdiff_t>(cut));
        const auto shorter = carver->carve(DataBlockReader(head), 0, s.kind);
        if (s.cut == Cut::rejected) {
            EXPECT_FALSE(shorter) << "cut at " << cut << " measured " << shorter->size;
        } else if (shorter) {
            EXPECT_LE(shorter->size, cut);
            if (s.cut == Cut::incomplete || s.cut == Cut::partial) {
                EXPECT_FALSE(shorter->complete) << cut;
            }
        } else {
            EXPECT_TRUE(part < 16 || s.cut == Cut::within || s.cut == Cut::partial)
                << "nothing carved at " << cut;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RealFiles, CarverContract, ::testing::ValuesIn(samples()),
                         [](const auto& sample) {
                             std::string name = sample.param.name;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

// Filled through the file system, then quick-formatted: only the contents remain, and the
// command line's deep scan lists every file at its offset, whole and byte-exact.
TEST(CarverContractDeepScan, QuickFormattedCardGivesEveryFileBack) {
    if (const auto missing = testing::missingTool({"mkfs.vfat", "mcopy"}); !missing.empty())
        GTEST_SKIP() << missing << " (dosfstools, mtools) is not installed";
    const auto all = samples();
    std::vector<std::pair<const Sample*, const Bytes*>> files;
    for (const auto& s : all)
        if (const auto& file = produced(s)) files.emplace_back(&s, &*file);
    TempDir dir;
    const auto card = dir / "card.img";
    testing::makeBlankFile(card, 48 * 1024 * 1024);
    ASSERT_EQ(testing::run("mkfs.vfat -F 32 -n CARD '" + card.string() + "'"), 0);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto path = dir / ("f" + std::to_string(i));
        testing::writeFile(path, std::string(files[i].second->begin(), files[i].second->end()));
        ASSERT_EQ(testing::run("mcopy -i '" + card.string() + "' '" + path.string() + "' ::/f" +
                               std::to_string(i)),
                  0);
    }
    ASSERT_EQ(testing::run("mkfs.vfat -F 32 -n CARD '" + card.string() + "'"), 0);
    const auto cli = testing::runCli("scan '" + card.string() + "' --deep --json");
    ASSERT_EQ(cli.status, 0) << cli.err;
    const auto image = testing::readFile(card);
    std::map<std::string, nlohmann::json> byContent;
    const auto listing = nlohmann::json::parse(cli.out);
    for (const auto& f : listing["files"]) {
        const std::string id = f["id"];
        if (id.rfind("carve-", 0) != 0) continue;
        const auto offset = std::stoull(id.substr(6));
        byContent[image.substr(offset, f["size"].get<std::uint64_t>())] = f;
    }
    for (const auto& [s, file] : files) {
        const auto& found = byContent[std::string(file->begin(), file->end())];
        ASSERT_FALSE(found.is_null()) << s->name << " was not found byte-exact";
        EXPECT_EQ(found["kind"], std::string(fileKind::rawValue(s->kind))) << s->name;
        EXPECT_EQ(found["complete"], true) << s->name;
        EXPECT_TRUE(!s->hint || found["name"] == s->hint) << found["name"];
        EXPECT_TRUE(!s->date || found["modified"] == unixSeconds(*s->date)) << s->name;
    }
}

} // namespace
} // namespace vellary
