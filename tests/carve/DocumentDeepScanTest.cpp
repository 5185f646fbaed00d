#include "core/carve/Carver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/CliRun.hpp"
#include "tests/support/DocumentFixtures.hpp"
#include "tests/support/EncodedMedia.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>

namespace vellary {
namespace {

using testing::CarveFixtures;
using testing::DocumentFixtures;
using testing::EncodedMedia;
using testing::TempDir;

struct Sample {
    std::string name;
    Bytes data;
    FileKind kind;
};

// One file of every kind the document, archive and container carvers measure.
std::optional<std::vector<Sample>> everyFormat(const TempDir& dir) {
    std::vector<Sample> samples;
    bool ok = true;
    const auto add = [&](const std::string& name, std::optional<Bytes> data, FileKind kind) {
        if (!data) {
            ok = false;
            return;
        }
        samples.push_back({name, std::move(*data), kind});
    };
    const auto produce = [&](const std::string& name, const std::string& command, FileKind kind) {
        add(name, DocumentFixtures::produce(dir, name, command), kind);
    };
    const auto office = [&](const std::string& source, const std::string& content,
                            const std::string& format, FileKind kind) {
        add(format, DocumentFixtures::office(dir, source, content, format), kind);
    };
    office("letter.txt", "Dear reader,\nhello.\n", "docx", FileKind::docx);
    office("sheet.csv", "a,b\n1,2\n", "xlsx", FileKind::xlsx);
    office("slides.fodp", DocumentFixtures::slideDocument(), "pptx", FileKind::pptx);
    office("letter.txt", "Dear reader,\nhello.\n", "doc", FileKind::doc);
    office("sheet.csv", "a,b\n1,2\n", "xls", FileKind::xls);
    office("slides.fodp", DocumentFixtures::slideDocument(), "ppt", FileKind::ppt);
    samples.push_back({"doc.pages",
                       DocumentFixtures::storedZip(
                           {{"Index/Document.iwa", "pages"}, {"Metadata/Properties.plist", "p"}}),
                       FileKind::pages});
    samples.push_back({"sheet.numbers",
                       DocumentFixtures::storedZip({{"Index/Document.iwa", "numbers"},
                                                    {"Index/CalculationEngine.iwa", "c"}}),
                       FileKind::numbers});
    samples.push_back({"talk.key",
                       DocumentFixtures::storedZip(
                           {{"Index/Document.iwa", "keynote"}, {"Index/Slide-1.iwa", "s"}}),
                       FileKind::keynote});
    testing::writeFile(dir / "mimetype", "application/epub+zip");
    testing::writeFile(dir / "chapter.xhtml", "<html><body>Once upon a time</body></html>");
    produce("book.epub", "zip -q -X0 book.epub mimetype && zip -q -X9 book.epub chapter.xhtml",
            FileKind::epub);
    produce("files.zip", "zip -q -9 files.zip chapter.xhtml mimetype", FileKind::zip);
    produce("paper.pdf",
            "gs -q -sDEVICE=pdfwrite -o paper.pdf -c '/Helvetica findfont 20 scalefont setfont "
            "72 720 moveto (Harbour) show showpage'",
            FileKind::pdf);
    const std::string ff = "ffmpeg -v error -nostdin ";
    const std::string clip = ff + "-f lavfi -i testsrc=size=160x120:rate=10:duration=1 -f lavfi "
                                  "-i sine=d=1 ";
    produce("clip.avi", clip + "-c:v mpeg4 -c:a pcm_s16le clip.avi", FileKind::avi);
    produce("clip.mkv", clip + "-c:v mpeg4 -c:a flac clip.mkv", FileKind::mkv);
    produce("clip.webm", clip + "-c:v libvpx -c:a libopus clip.webm", FileKind::webm);
    produce("tone.wav", ff + "-f lavfi -i sine=d=1 -c:a pcm_s16le tone.wav", FileKind::wav);
    produce("tone.flac", ff + "-f lavfi -i sine=d=1 -c:a flac tone.flac", FileKind::flac);
    produce("tone.mp3",
            ff + "-f lavfi -i sine=d=1 -c:a libmp3lame -id3v2_version 3 -metadata title=Tone "
                 "tone.mp3",
            FileKind::mp3);
    produce("pic.webp",
            ff + "-f lavfi -i testsrc=size=64x48 -frames:v 1 pic.png && cwebp -quiet pic.png -o "
                 "pic.webp",
            FileKind::webp);
    if (!ok) return std::nullopt;
    return samples;
}

TEST(DocumentDeepScan, FindsEveryFormatAmongNoiseByteExact) {
    TempDir dir;
    const auto samples = everyFormat(dir);
    if (!samples) GTEST_SKIP() << "a producer is missing (libreoffice, zip, gs, ffmpeg, cwebp)";

    std::vector<const Bytes*> files;
    for (const auto& s : *samples)
        files.push_back(&s.data);
    std::vector<std::uint64_t> starts;
    Bytes image = CarveFixtures::scattered(files, 77, starts);
    std::map<std::uint64_t, const Sample*> placed;
    for (std::size_t i = 0; i < samples->size(); ++i)
        placed[starts[i]] = &(*samples)[i];

    std::vector<RecoverableFile> sink;
    const DataBlockReader reader(image);
    Carver::carve(reader, RangeCover{}, ScanOptions{}, 0, sink);
    std::map<std::string, const RecoverableFile*> byId;
    for (const auto& file : sink)
        byId[file.id] = &file;
    for (const auto& [offset, sample] : placed) {
        const auto found = byId.find("carve-" + std::to_string(offset));
        ASSERT_NE(found, byId.end()) << sample->name << " at " << offset;
        EXPECT_EQ(found->second->kind, sample->kind) << sample->name;
        EXPECT_EQ(found->second->size, sample->data.size()) << sample->name;
        EXPECT_TRUE(found->second->complete) << sample->name;
    }
    EXPECT_EQ(sink.size(), placed.size());
    // Named from its tag.
    for (const auto& [offset, sample] : placed)
        if (sample->kind == FileKind::mp3) {
            EXPECT_EQ(byId["carve-" + std::to_string(offset)]->name, "Tone.mp3")
                << "named from its tag, with the extension";
        }

    // The command line lists the same files.
    const auto path = dir / "every.img";
    testing::writeFile(path, std::string(image.begin(), image.end()));
    const auto cli =
        testing::runCli("scan " + testing::shellQuote(path.string()) + " --deep --json");
    ASSERT_EQ(cli.status, 0) << cli.err;
    const auto doc = nlohmann::json::parse(cli.out);
    std::map<std::string, nlohmann::json> listed;
    for (const auto& file : doc["files"])
        listed[file["id"]] = file;
    for (const auto& [offset, sample] : placed) {
        const auto found = listed.find("carve-" + std::to_string(offset));
        ASSERT_NE(found, listed.end()) << sample->name;
        EXPECT_EQ(found->second["kind"], std::string(fileKind::rawValue(sample->kind)));
        EXPECT_EQ(found->second["size"], sample->data.size()) << sample->name;
    }
}

} // namespace
} // namespace vellary
