// Imaging a failing disk: every readable byte reaches the image, exactly the unreadable sectors
// stay zero, the map beside the image says which they are in a form ddrescue reads, and a run
// that was stopped goes on reading only what is still missing.
#include "core/records/RecoverError.hpp"
#include "core/restore/DiskImager.hpp"
#include "tests/support/CliRun.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/SmallTmpfs.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace vellary {
namespace {

namespace fs = std::filesystem;
using testing::FaultyBlockReader;
using testing::patterned;
using testing::readBytes;
using testing::TempDir;
using Status = RescueMap::Status;

constexpr std::uint64_t kSector = 512;
constexpr std::uint64_t kSize = 24 * 1024 * 1024;

// Scattered sectors, the first and last of the disk, two neighbours, and one wide bad area.
const std::vector<std::pair<std::uint64_t, std::uint64_t>> kBad = {
    {0, 1}, {1000, 1}, {5003, 1}, {20000, 2}, {30000, 200}, {40001, 1}, {kSize / kSector - 1, 1}};

std::unique_ptr<FaultyBlockReader> failingDisk(const Bytes& data) {
    auto reader = std::make_unique<FaultyBlockReader>(data, kSector);
    for (const auto& [first, count] : kBad)
        reader->failSectors(first, count);
    return reader;
}

std::vector<ByteRange> badRanges() {
    std::vector<ByteRange> ranges;
    for (const auto& [first, count] : kBad)
        ranges.push_back({first * kSector, count * kSector});
    return ranges;
}

std::uint64_t badBytes() {
    std::uint64_t sum = 0;
    for (const auto& range : badRanges())
        sum += range.length;
    return sum;
}

Bytes withBadSectorsZeroed(Bytes data) {
    for (const auto& range : badRanges())
        std::fill(data.begin() + static_cast<std::ptrdiff_t>(range.offset),
                  data.begin() + static_cast<std::ptrdiff_t>(range.end()), 0);
    return data;
}

std::vector<ByteRange> rangesWith(const RescueMap& map, Status status) {
    std::vector<ByteRange> ranges;
    for (const auto& block : map.blocksWith(status))
        ranges.push_back({block.pos, block.size});
    return ranges;
}

// ddrescue's own tool lists the bad sectors of the map, one block number a line.
std::string ddrescueBadSectors(const fs::path& map) {
    return testing::capture("ddrescuelog -b 512 -l- " + testing::shellQuote(map.string()));
}

std::string expectedBadSectorList() {
    std::ostringstream out;
    for (const auto& [first, count] : kBad)
        for (std::uint64_t i = 0; i < count; ++i)
            out << first + i << '\n';
    return out.str();
}

void expectFinishedRescue(const Bytes& data, const fs::path& image, const RescueProgress& result) {
    EXPECT_EQ(readBytes(image), withBadSectorsZeroed(data));
    const auto map = RescueMap::load(image.string() + ".map");
    ASSERT_TRUE(map);
    EXPECT_EQ(map->size(), kSize);
    EXPECT_EQ(rangesWith(*map, Status::badSector), badRanges());
    EXPECT_EQ(map->bytesWith(Status::finished), kSize - badBytes());
    EXPECT_EQ(map->phase, RescueMap::Phase::finished);
    EXPECT_EQ(result.rescued, kSize - badBytes());
    EXPECT_EQ(result.unreadable, badBytes());
    EXPECT_EQ(result.areas, kBad.size());
    if (testing::haveTool("ddrescuelog")) {
        EXPECT_EQ(ddrescueBadSectors(image.string() + ".map"), expectedBadSectorList());
    }
}

TEST(DiskRescue, OneRunReadsEveryGoodByteAndZeroesExactlyTheBadSectors) {
    const Bytes data = patterned(kSize, 7);
    const auto disk = failingDisk(data);
    TempDir dir;
    std::vector<RescueProgress> reports;
    DiskImager::RescueOptions options;
    options.progress = [&](const RescueProgress& p) { reports.push_back(p); };
    const auto result = DiskImager::rescue(*disk, dir / "card.img", options);
    expectFinishedRescue(data, dir / "card.img", result);
    EXPECT_FALSE(result.resumed);
    // Every pass showed itself, in order.
    std::vector<RescueMap::Phase> phases;
    for (const auto& report : reports)
        if (phases.empty() || phases.back() != report.phase) phases.push_back(report.phase);
    EXPECT_EQ(phases,
              (std::vector<RescueMap::Phase>{RescueMap::Phase::copying, RescueMap::Phase::trimming,
                                             RescueMap::Phase::scraping, RescueMap::Phase::retrying,
                                             RescueMap::Phase::finished}));
    // Good bytes are read once, give or take the large reads that hit a bad sector.
    EXPECT_LT(disk->bytesDelivered(), kSize + 16 * DiskImager::kChunkSize / 8);
}

// The disk vanishes at 80%: image and map stay; the next run reads only what is missing.
TEST(DiskRescue, APulledDiskKeepsImageAndMapAndTheNextRunGoesOnFromThere) {
    const Bytes data = patterned(kSize, 9);
    TempDir dir;
    const fs::path image = dir / "card.img";
    const fs::path mapPath = dir / "card.img.map";
    std::uint64_t rescuedFirst = 0;
    {
        const auto disk = failingDisk(data);
        disk->vanishAt(kSize / 10 * 8);
        DiskImager::RescueOptions options;
        options.progress = [&](const RescueProgress& p) { rescuedFirst = p.rescued; };
        try {
            DiskImager::rescue(*disk, image, options);
            FAIL() << "the pulled disk went unnoticed";
        } catch (const RecoverError& error) {
            EXPECT_EQ(error.kind(), RecoverError::Case::deviceGone);
        }
    }
    ASSERT_TRUE(fs::exists(image));
    EXPECT_EQ(fs::file_size(image), kSize);
    const auto partial = RescueMap::load(mapPath);
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->bytesWith(Status::finished), rescuedFirst);
    EXPECT_GT(rescuedFirst, kSize / 2);
    EXPECT_GT(partial->bytesWith(Status::nonTried), kSize / 10);
    // What the map calls finished is in the image.
    const Bytes first = readBytes(image);
    for (const auto& block : partial->blocksWith(Status::finished))
        ASSERT_TRUE(std::equal(data.begin() + static_cast<std::ptrdiff_t>(block.pos),
                               data.begin() + static_cast<std::ptrdiff_t>(block.pos + block.size),
                               first.begin() + static_cast<std::ptrdiff_t>(block.pos)))
            << block.pos;
    if (testing::haveTool("ddrescuelog")) {
        EXPECT_EQ(testing::run("ddrescuelog -t " + testing::shellQuote(mapPath.string())), 0);
    }

    const auto disk = failingDisk(data);
    const auto result = DiskImager::rescue(*disk, image, {});
    EXPECT_TRUE(result.resumed);
    EXPECT_EQ(result.rescuedBefore, rescuedFirst);
    expectFinishedRescue(data, image, result);
    EXPECT_EQ(disk->bytesDelivered(), kSize - badBytes() - rescuedFirst)
        << "the second run read only what was missing";
}

TEST(DiskRescue, StoppingKeepsImageAndMapAndGoingOnFinishesTheSame) {
    const Bytes data = patterned(kSize, 3);
    TempDir dir;
    int calls = 0;
    DiskImager::RescueOptions options;
    options.isCancelled = [&] { return ++calls > 40; };
    const auto disk = failingDisk(data);
    EXPECT_THROW(DiskImager::rescue(*disk, dir / "a.img", options), RecoverError);
    ASSERT_TRUE(RescueMap::load(dir / "a.img.map"));
    const auto result = DiskImager::rescue(*disk, dir / "a.img", {});
    expectFinishedRescue(data, dir / "a.img", result);
}

// What must never be replaced or guessed at: the image without its map, a map without its image,
// a map that is not one.
TEST(DiskRescue, RefusesWhatItCannotSafelyGoOnFrom) {
    const Bytes data = patterned(64 * 1024);
    FaultyBlockReader disk(data);
    struct Case {
        const char* image;
        const char* map;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"someone's image", nullptr, "Couldn't create x.img. File exists"},
        {nullptr, "0 + 1\n0 0x10000 +\n", "x.img.map is there but not the image x.img"},
        {"someone's image", "not a map\n", "x.img.map is there but is not a map"},
        {"someone's image", "0 + 1\n0x100 0x10 +\n", "is not a map"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        if (c.image) testing::writeFile(dir / "x.img", c.image);
        if (c.map) testing::writeFile(dir / "x.img.map", c.map);
        try {
            DiskImager::rescue(disk, dir / "x.img", {});
            ADD_FAILURE() << c.message;
        } catch (const RecoverError& error) {
            EXPECT_NE(error.errorDescription().find(c.message), std::string::npos)
                << error.errorDescription();
        }
        if (c.image) {
            EXPECT_EQ(testing::readFile(dir / "x.img"), c.image);
        }
        if (c.map) {
            EXPECT_EQ(testing::readFile(dir / "x.img.map"), c.map);
        }
        EXPECT_EQ(c.image != nullptr, fs::exists(dir / "x.img"));
    }
}

// A source that ends before its size: the image and the map end where the data did.
TEST(DiskRescue, ASourceThatEndsEarlyEndsTheImageThere) {
    class Short : public BlockReader {
    public:
        explicit Short(Bytes data) : data_(std::move(data)) {}
        std::uint64_t size() const override { return 1024 * 1024; }
        Bytes read(std::uint64_t offset, std::int64_t count) const override {
            if (offset >= data_.size() || count < 1) return {};
            const auto n =
                std::min<std::uint64_t>(data_.size() - offset, static_cast<std::uint64_t>(count));
            return Bytes(data_.begin() + static_cast<std::ptrdiff_t>(offset),
                         data_.begin() + static_cast<std::ptrdiff_t>(offset + n));
        }

    private:
        Bytes data_;
    };
    const Bytes data = patterned(300000);
    TempDir dir;
    const auto result = DiskImager::rescue(Short(data), dir / "s.img", {});
    EXPECT_EQ(readBytes(dir / "s.img"), data);
    EXPECT_EQ(result.rescued, data.size());
    const auto map = RescueMap::load(dir / "s.img.map");
    ASSERT_TRUE(map);
    EXPECT_EQ(map->size(), data.size());
}

// A full destination is no state to go on from: a new image and its map are removed; an image
// being resumed keeps what it had, with a map that says so.
TEST(DiskRescue, AFullDestinationRemovesANewImageButKeepsOneBeingResumed) {
    testing::SmallTmpfs disk(2 * 1024 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    const Bytes data = patterned(4 * 1024 * 1024);
    FaultyBlockReader source(data);
    try {
        DiskImager::rescue(source, disk.path() / "new.img", {});
        ADD_FAILURE() << "the full disk went unnoticed";
    } catch (const RecoverError& error) {
        EXPECT_NE(error.errorDescription().find("No space left on device"), std::string::npos)
            << error.errorDescription();
    }
    EXPECT_TRUE(fs::is_empty(disk.path()));

    // The same, resumed: a map that says only the first 1 MiB is done.
    RescueMap map(data.size());
    map.set(0, 1024 * 1024, Status::finished);
    map.save(disk.path() / "old.img.map", false);
    testing::writeFile(disk.path() / "old.img",
                       std::string(data.begin(), data.begin() + 1024 * 1024));
    EXPECT_THROW(DiskImager::rescue(source, disk.path() / "old.img", {}), RecoverError);
    const auto after = RescueMap::load(disk.path() / "old.img.map");
    ASSERT_TRUE(after);
    EXPECT_GE(after->bytesWith(Status::finished), 1024u * 1024);
    EXPECT_LT(after->bytesWith(Status::finished), data.size());
}

} // namespace
} // namespace vellary
