// A failing disk: imaging it puts every readable byte into the image and exactly the unreadable
// sectors as zeros, with a map beside it that ddrescue reads and that a later run goes on from;
// saving from it leaves each file whole, kept and labelled as cut short, or gone.
#include "core/records/RecoverError.hpp"
#include "core/restore/DiskImager.hpp"
#include "core/restore/PhotoRestore.hpp"
#include "core/restore/RecoveryNotes.hpp"
#include "tests/support/CliRun.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/SmallTmpfs.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace vellary {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using Status = RescueMap::Status;
using Phase = RescueMap::Phase;

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr std::uint64_t kSector = 512;
constexpr std::uint64_t kSize = 24 * 1024 * 1024;
// In sectors: scattered ones, the first and last of the disk, two neighbours, one wide bad area.
const std::vector<ByteRange> kBad = {
    {0, 1}, {1000, 1}, {5003, 1}, {20000, 2}, {30000, 200}, {40001, 1}, {kSize / kSector - 1, 1}};
constexpr std::uint64_t kBadBytes = 207 * kSector;

std::unique_ptr<FaultyBlockReader> failingDisk(const Bytes& data) {
    auto reader = std::make_unique<FaultyBlockReader>(data, kSector);
    for (const auto& bad : kBad)
        reader->failSectors(bad.offset, bad.length);
    return reader;
}

// What ddrescue's own tool says of a map, and its exit status.
std::string ddrescuelog(const std::string& options, const fs::path& image) {
    return capture("ddrescuelog " + options + " " + shellQuote(image.string()) +
                   ".map 2>&1; echo status $?");
}

void expectFinishedRescue(Bytes data, const fs::path& image, const RescueProgress& result) {
    std::vector<ByteRange> bad;
    std::string sectors;
    for (const auto& [first, count] : kBad) {
        bad.push_back({first * kSector, count * kSector});
        std::fill_n(&data[first * kSector], count * kSector, 0);
        for (std::uint64_t i = 0; i < count; ++i)
            sectors += std::to_string(first + i) + "\n";
    }
    EXPECT_EQ(readBytes(image), data);
    const auto map = RescueMap::load(image.string() + ".map").value();
    EXPECT_EQ(std::tuple(map.unreadable(), map.phase), std::tuple(bad, Phase::finished));
    EXPECT_EQ(std::tuple(result.unreadable, result.areas), std::tuple(kBadBytes, kBad.size()));
    if (!haveTool("ddrescuelog")) return;
    EXPECT_EQ(ddrescuelog("-b 512 -l-", image), sectors + "status 0\n");
}

// A whole run, a disk pulled at 80%, a stop after 40 reads: the image ends the same, and after
// an interruption the second run reads only what the map says is missing.
TEST(DiskRescue, EveryRunEndsWithEveryGoodByteAndExactlyTheBadSectorsZero) {
    for (const auto& [vanishAt, stopAfter] :
         {std::pair<std::uint64_t, int>{0, 0}, {kSize / 10 * 8, 0}, {0, 40}}) {
        SCOPED_TRACE(::testing::Message() << vanishAt << " " << stopAfter);
        const Bytes data = patterned(kSize, 7);
        TempDir dir;
        const fs::path image = dir / "card.img";
        auto disk = failingDisk(data);
        std::uint64_t before = 0;
        if (vanishAt + stopAfter > 0) {
            int calls = 0;
            DiskImager::RescueOptions options;
            options.isCancelled = [&] { return stopAfter > 0 && ++calls > stopAfter; };
            disk->vanishAt(vanishAt > 0 ? vanishAt : kSize);
            try {
                DiskImager::rescue(*disk, image, options);
                ADD_FAILURE() << "the interruption went unnoticed";
            } catch (const RecoverError& error) {
                EXPECT_EQ(error.kind(), vanishAt > 0 ? RecoverError::Case::deviceGone
                                                     : RecoverError::Case::cancelled);
            }
            before = RescueMap::load(image.string() + ".map").value().bytesWith(Status::finished);
            EXPECT_GT(before, vanishAt / 2);
            EXPECT_TRUE(!haveTool("ddrescuelog") ||
                        ddrescuelog("-t", image).ends_with("status 0\n"));
            disk = failingDisk(data);
        }
        std::vector<Phase> phases;
        DiskImager::RescueOptions options;
        options.progress = [&](const RescueProgress& p) {
            if (phases.empty() || phases.back() != p.phase) phases.push_back(p.phase);
        };
        expectFinishedRescue(data, image, DiskImager::rescue(*disk, image, options));
        EXPECT_EQ(disk->bytesDelivered(), kSize - kBadBytes - before) << "good bytes read once";
        if (before > 0) continue;
        EXPECT_EQ(phases, (std::vector<Phase>{Phase::copying, Phase::trimming, Phase::scraping,
                                              Phase::retrying, Phase::finished}));
    }
}

// Never replaced nor guessed at: an image without its map, a map without its image or that is
// not one.
TEST(DiskRescue, RefusesWhatItCannotSafelyGoOnFrom) {
    for (const auto& [image, map] : std::vector<std::pair<std::string, std::string>>{
             {"someone's image", ""},
             {"", "0 + 1\n0 0x10000 +\n"},
             {"someone's image", "no map"},
             {"someone's image", "0 + 1\n0x100 0x10 +\n"}}) {
        TempDir dir;
        if (!image.empty()) writeFile(dir / "x.img", image);
        if (!map.empty()) writeFile(dir / "x.img.map", map);
        EXPECT_THROW(DiskImager::rescue(DataBlockReader(patterned(4096)), dir / "x.img", {}),
                     RecoverError);
        EXPECT_EQ(fs::exists(dir / "x.img") ? readFile(dir / "x.img") : "", image);
        EXPECT_EQ(fs::exists(dir / "x.img.map") ? readFile(dir / "x.img.map") : "", map);
    }
}

// Blocks as "pos size status" triples, the way a mapfile lists them.
std::string layout(const RescueMap& map) {
    std::string text;
    for (const auto& b : map.blocks())
        text += std::to_string(b.pos) + " " + std::to_string(b.size) + " " +
                static_cast<char>(b.status) + " ";
    return text;
}

// Marks "pos size status" triples in order; "size 0 r" resizes the map.
void mark(RescueMap& map, const std::string& marks) {
    std::istringstream in(marks);
    std::uint64_t pos = 0, size = 0;
    for (char status = 0; in >> pos >> size >> status;)
        status == 'r' ? map.resize(pos) : map.set(pos, size, static_cast<Status>(status));
}

TEST(RescueMap, MarkingSplitsJoinsAndClipsBlocks) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"100 50 +", "0 100 ? 100 50 + 150 850 ? "},
        {"0 10 + 20 10 + 10 10 +", "0 30 + 30 970 ? "},       // neighbours join
        {"10 10 - 30 10 / 5 40 +", "0 5 ? 5 40 + 45 955 ? "}, // over several blocks
        {"990 100 +", "0 990 ? 990 10 + "},                   // clipped at the end
        {"1000 5 + 5 0 +", "0 1000 ? "},                      // beyond the end, empty
        {"500 18446744073709551615 +", "0 500 ? 500 500 + "}, // a size that would overflow
        {"0 1000 + 1500 0 r", "0 1000 + 1000 500 ? "},
        {"0 500 + 400 200 - 450 0 r", "0 400 + 400 50 - "},
        {"0 0 r", ""},
    };
    for (const auto& [marks, expected] : cases) {
        RescueMap map(1000);
        mark(map, marks);
        EXPECT_EQ(layout(map), expected) << marks;
    }
}

// Ours reads back; ddrescue's older text has no pass, decimal numbers, comments, blank lines.
TEST(RescueMap, TextReadsBackAndAcceptsWhatDdrescueWritesButNothingElse) {
    RescueMap map(0x4000);
    mark(map, "0 4096 + 4096 512 - 4608 1536 / 6144 2048 *");
    map.pass = 2;
    EXPECT_EQ(layout(RescueMap::parse(map.text("vellary-cli image a b")).value()), layout(map));
    const auto old = RescueMap::parse("# Mapfile. Created by GNU ddrescue version 1.21\n"
                                      "0x00001000     F\n\n"
                                      "#      pos        size  status\n"
                                      "0  4096  +\n0x00001000  0x00000200  -\r\n4608  512  +\n");
    EXPECT_EQ(layout(old.value()), "0 4096 + 4096 512 - 4608 512 + ");
    EXPECT_EQ(std::tuple(old->pass, old->phase), std::tuple(1, RescueMap::Phase::finished));
    // Empty, no header, bad phase, pass or status, a gap or overlap, bad numbers, past 64 bits.
    for (const char* text :
         {"", "# nothing\n", "0x0 0x10 +\n0x10 0x10 -\n", "0 X 1\n0 16 +\n", "0 ? 0\n0 16 +\n",
          "0 ? 1\n0 16 x\n", "0 ? 1\n0 16 ++\n", "0 ? 1\n16 16 +\n", "0 ? 1\n0 16 +\n32 16 +\n",
          "0 ? 1\n0 16 +\n8 16 +\n", "0 ? 1\n0 0 +\n", "0 ? 1\n0 -16 +\n", "0 ? 1\n0 1x6 +\n",
          "0 ? 1\n0 16 + extra\n", "0 ? 1\n0 0xFFFFFFFFFFFFFFFF +\n0xFFFFFFFFFFFFFFFF 2 +\n",
          "0 ? 1\n0 0x1FFFFFFFFFFFFFFFF +\n"})
        EXPECT_FALSE(RescueMap::parse(text)) << text;
}

TEST(RescueMap, UnreadableBytesOfAFileCountOnlyItsOverlapWithTheHoles) {
    RescueMap map(10000);
    mark(map, "0 10000 + 1000 512 - 1512 488 / 5000 100 ?"); // holes 1000..2000, 5000..5100
    const std::vector<std::pair<std::vector<ByteRange>, std::uint64_t>> cases = {
        {{{0, 1000}}, 0},                    // ends where the hole starts
        {{{2000, 3000}}, 0},                 // starts where it ends, ends where the next starts
        {{{999, 2}}, 1},                     // one byte in
        {{{0, 10000}}, 1100},                // over both
        {{{1200, 100}, {5050, 10000}}, 150}, // inside one; past the end of the map
        {{{5000, UINT64_MAX}}, 100},         // a range that would overflow
    };
    for (const auto& [ranges, expected] : cases)
        EXPECT_EQ(map.unreadableIn(foundFile("f", "", ranges)), expected) << ranges.size();
}

// A full destination: a new image and its map are removed; files that did not fit are gone,
// though a folder made for them may stay.
TEST(SaveWholeOrNothing, AFullDestinationLeavesNoPartOfWhatDidNotFit) {
    SmallTmpfs disk(2 * MiB);
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    const Bytes source = patterned(4 * MiB);
    EXPECT_THROW(DiskImager::rescue(DataBlockReader(source), disk.path() / "new.img", {}),
                 RecoverError);
    EXPECT_TRUE(fs::is_empty(disk.path()));
    const auto report =
        PhotoRestore::save({foundFile("small.jpg", "DCIM/small.jpg", {{0, 4096}}),
                            foundFile("huge.mov", "DCIM/100CANON/huge.mov", {{0, 3 * MiB}}),
                            foundFile("big.mov", "big.mov", {{MiB, 3 * MiB}}),
                            foundFile("tail.jpg", "DCIM/tail.jpg", {{0, 1000}})},
                           DataBlockReader(source), disk.path() / "out");
    EXPECT_EQ(report.failed.size(), 2u);
    EXPECT_EQ(
        listTree(disk.path() / "out"),
        (std::set<std::string>{"DCIM/", "DCIM/100CANON/", "DCIM/small.jpg", "DCIM/tail.jpg"}));
    EXPECT_TRUE(RecoveryNotes::text(report)->starts_with("These files couldn't be saved:\n"));
}

// Where the source ends decides how much of each file there is and how much is missing; the
// note names the files cut short.
TEST(SaveWholeOrNothing, ASourceEndingInsideAFileKeepsWhatThereIsAndSaysWhatIsMissing) {
    const std::vector<std::tuple<std::vector<ByteRange>, std::uint64_t, std::uint64_t>> cases = {
        {{{0, 4096}}, 4096, 0},   // ends exactly at the source's end
        {{{0, 4097}}, 4096, 1},   // one byte beyond
        {{{4000, 200}}, 96, 104}, // starts inside, ends beyond
        {{{4096, 10}}, 0, 10},    // starts at the end
        {{{0, 10}, {5000, 10}, {0, 5}}, 10, 15},
        {{{0, 10}, {100, 10}}, 20, 0},
    };
    for (const auto& [ranges, bytes, missing] : cases) {
        TempDir dir;
        const auto report = PhotoRestore::save({foundFile("f.bin", "", ranges)},
                                               DataBlockReader(patterned(4096)), dir.path());
        ASSERT_EQ(report.saved.size(), 1u) << bytes;
        EXPECT_EQ(report.saved[0].missingBytes, missing) << bytes;
        EXPECT_EQ(std::filesystem::file_size(report.saved[0].url), bytes) << bytes;
        const auto note = RecoveryNotes::text(report);
        EXPECT_EQ(note.has_value(), missing > 0) << bytes;
        EXPECT_EQ(missing == 1,
                  note && note->find("  f.bin (1 byte missing)") != std::string::npos);
    }
}

} // namespace
} // namespace vellary
