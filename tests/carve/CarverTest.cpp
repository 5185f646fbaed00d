#include "core/carve/Carver.hpp"
#include "core/carve/JPEGCarver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/FaultyBlockReader.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace vellary {
namespace {

using testing::CarveFixtures;

constexpr std::uint64_t MiB = 1024 * 1024;

// A carver that claims every candidate starting with its lead byte, measures it with a
// function of the start, and remembers where it was asked.
class FakeCarver : public FormatCarver {
public:
    FakeCarver(std::uint8_t lead, FileKind kind,
               std::function<std::optional<Carved>(std::uint64_t)> measure)
        : lead_(lead), kind_(kind), measure_(std::move(measure)) {}

    std::optional<std::vector<std::uint8_t>> leadBytes() const override {
        return std::vector<std::uint8_t>{lead_};
    }
    std::optional<FileKind> sniff(ByteSpan bytes) const override {
        return bytes[0] == lead_ ? std::optional(kind_) : std::nullopt;
    }
    std::optional<Carved> carve(const BlockReader&, std::uint64_t start, FileKind) const override {
        asked.push_back(start);
        return measure_(start);
    }

    mutable std::vector<std::uint64_t> asked;

private:
    std::uint8_t lead_;
    FileKind kind_;
    std::function<std::optional<Carved>(std::uint64_t)> measure_;
};

Carved sized(std::uint64_t size, FileKind kind = FileKind::jpeg) {
    Carved carved;
    carved.kind = kind;
    carved.size = size;
    carved.complete = true;
    return carved;
}

// A file of size bytes at 0 whose carver checked only `verified` of them; nothing elsewhere.
std::function<std::optional<Carved>(std::uint64_t)>
checkedPart(bool complete, std::optional<std::uint64_t> verified) {
    return [=](std::uint64_t start) -> std::optional<Carved> {
        if (start != 0) return std::nullopt;
        auto carved = sized(3000);
        carved.complete = complete;
        carved.verified = verified;
        return carved;
    };
}

// Zero bytes with the lead byte at every 512-byte boundary.
Bytes leads(std::uint64_t size, std::uint8_t lead = 0xAB) {
    Bytes data(size, 0);
    for (std::uint64_t at = 0; at < size; at += 512)
        data[at] = lead;
    return data;
}

struct WalkRun {
    std::vector<RecoverableFile> sink;
    std::vector<ScanProgress> progress;
    std::vector<std::size_t> batches;
    Carver::Outcome outcome;
};

WalkRun walk(const BlockReader& reader, const std::vector<const FormatCarver*>& carvers,
             RangeCover cover = {}, ScanOptions options = {}) {
    WalkRun run;
    options.progress = [&](const ScanProgress& p) { run.progress.push_back(p); };
    options.onFound = [&](const std::vector<RecoverableFile>& files) {
        run.batches.push_back(files.size());
    };
    run.outcome = Carver::carve(reader, cover, options, 7, run.sink, Registry::leadTable(carvers));
    return run;
}

std::vector<std::uint64_t> starts(const std::vector<RecoverableFile>& files) {
    std::vector<std::uint64_t> out;
    for (const auto& f : files)
        out.push_back(f.ranges.front().offset);
    return out;
}

// One carver over a source with its lead byte at every boundary: where the walk asks it, and
// which of its measurements become files.
TEST(CarverWalk, CandidatesClaimsAndMeasurements) {
    using Measure = std::function<std::optional<Carved>(std::uint64_t)>;
    const auto none = [](std::uint64_t) { return std::optional<Carved>(); };
    constexpr std::uint64_t size = 8 * 512;
    // The file at 1024 measures `bad`; the one at 2048 ends exactly at the source's end.
    const auto badAt1024 = [](std::uint64_t bad) -> Measure {
        return [bad](std::uint64_t start) {
            if (start == 1024) return std::optional(sized(bad));
            return start == 2048 ? std::optional(sized(size - 2048)) : std::nullopt;
        };
    };
    using Starts = std::vector<std::uint64_t>;
    const Starts badAsked = {0, 512, 1024, 1536, 2048};
    const struct {
        const char* name;
        std::uint64_t size;
        Measure measure;
        RangeCover cover;
        Starts asked;
        Starts found;
    } cases[] = {
        // A file whose last byte is at 1000 makes the next candidate 1024.
        {"jumps past a file",
         size,
         [](std::uint64_t) { return sized(1001); },
         {},
         {0, 1024, 2048, 3072},
         {0, 1024, 2048, 3072}},
        {"claimed ranges within and across chunks",
         8 * MiB + 8 * 512,
         none,
         RangeCover({{1000, 4000}, {6000, 8 * MiB + 3000 - 6000}}),
         {0, 512, 5120, 5632, 8 * MiB + 3072, 8 * MiB + 3584},
         {}},
        {"a claim whose end does not fit in 64 bits",
         4 * 512,
         none,
         RangeCover({{1024, UINT64_MAX - 100}}),
         {0, 512},
         {}},
        {"empty source", 0, none, {}, {}, {}},
        {"15 bytes after the last boundary", 3 * 512 + 15, none, {}, {0, 512, 1024}, {}},
        {"16 bytes after the last boundary", 3 * 512 + 16, none, {}, {0, 512, 1024, 1536}, {}},
        {"empty measurement", size, badAt1024(0), {}, badAsked, {2048}},
        {"a byte past the source", size, badAt1024(size - 1024 + 1), {}, badAsked, {2048}},
        {"2^64 - 1 bytes", size, badAt1024(UINT64_MAX), {}, badAsked, {2048}},
        {"2^64 - 101 bytes", size, badAt1024(UINT64_MAX - 100), {}, badAsked, {2048}},
        // An incomplete file is passed over as far as its carver checked it, a complete one
        // whole, and so is an incomplete one that names no checked part.
        {"partial, checked to 600",
         size,
         checkedPart(false, 600),
         {},
         {0, 1024, 1536, 2048, 2560, 3072, 3584},
         {0}},
        {"complete, checked to 600", size, checkedPart(true, 600), {}, {0, 3072, 3584}, {0}},
        {"partial, checked part unknown",
         size,
         checkedPart(false, std::nullopt),
         {},
         {0, 3072, 3584},
         {0}}};
    for (const auto& c : cases) {
        FakeCarver fake(0xAB, FileKind::jpeg, c.measure);
        const DataBlockReader reader(leads(c.size));
        const auto run = walk(reader, {&fake}, c.cover);
        EXPECT_EQ(fake.asked, c.asked) << c.name;
        EXPECT_EQ(starts(run.sink), c.found) << c.name;
        EXPECT_EQ(run.progress.back().bytesDone, c.size) << c.name;
        EXPECT_EQ(run.progress.back().found, 7 + static_cast<std::int64_t>(c.found.size()));
    }
}

TEST(CarverWalk, FilteredCategoriesAreMeasuredAndSkippedButNotCounted) {
    FakeCarver photos(0xAB, FileKind::jpeg, [](std::uint64_t) { return sized(512); });
    FakeCarver videos(0xAC, FileKind::mov,
                      [](std::uint64_t) { return sized(2000, FileKind::mov); });
    auto data = leads(12 * 512);
    data[1024] = 0xAC; // a video from 1024 to 3024; the boundaries inside it are never tried
    ScanOptions options;
    options.categories = {FileCategory::photo};
    const DataBlockReader reader(data);
    const auto run = walk(reader, {&photos, &videos}, {}, options);
    EXPECT_EQ(videos.asked, (std::vector<std::uint64_t>{1024}));
    EXPECT_EQ(photos.asked.front(), 0u);
    EXPECT_EQ(photos.asked[2], 3072u);
    ASSERT_EQ(run.sink.size(), 8u);
    EXPECT_EQ(run.sink[2].name, "Photo 0003.jpg");
    for (const auto& file : run.sink)
        EXPECT_EQ(file.category, FileCategory::photo);
}

TEST(CarverWalk, NextCarverOfTheSameLeadByteIsTriedWhenOneGivesNothing) {
    FakeCarver refuses(0xAB, FileKind::png, [](std::uint64_t) { return std::nullopt; });
    FakeCarver accepts(0xAB, FileKind::gif,
                       [](std::uint64_t) { return sized(512, FileKind::gif); });
    const DataBlockReader reader(leads(2 * 512));
    const auto run = walk(reader, {&refuses, &accepts});
    ASSERT_EQ(run.sink.size(), 2u);
    EXPECT_EQ(run.sink[0].kind, FileKind::gif);
    EXPECT_EQ(refuses.asked.size(), 2u);
}

// A carver's error and a vanished device both end the walk with that error, without a final
// report.
TEST(CarverWalk, ErrorsEndTheWalk) {
    FakeCarver fake(0xAB, FileKind::jpeg, [](std::uint64_t start) -> std::optional<Carved> {
        if (start == 9 * MiB) throw RecoverError::readFailed("Read failed at byte 1. Boom");
        return sized(512);
    });
    testing::FaultyBlockReader gone(Bytes(10 * MiB, 0));
    gone.vanishAt(9 * MiB);
    const DataBlockReader reader(leads(10 * MiB));
    for (const auto& [source, kind] : {std::pair<const BlockReader*, RecoverError::Case>{
                                           &reader, RecoverError::Case::readFailed},
                                       {&gone, RecoverError::Case::deviceGone}}) {
        WalkRun run;
        ScanOptions options;
        options.progress = [&](const ScanProgress& p) { run.progress.push_back(p); };
        try {
            Carver::carve(*source, {}, options, 0, run.sink, Registry::leadTable({&fake}));
            ADD_FAILURE() << "no error";
        } catch (const RecoverError& error) {
            EXPECT_EQ(error.kind(), kind);
        }
        EXPECT_EQ(run.sink.size(), source == &reader ? 9 * MiB / 512 : 0u);
        EXPECT_TRUE(!run.progress.empty() && run.progress.back().bytesDone < 10 * MiB);
    }
}

TEST(CarverWalk, UnreadableSectorsAreCountedAndSkipped) {
    auto image = CarveFixtures::noise(2 * MiB, 2);
    const auto jpeg = CarveFixtures::jpeg(3000);
    CarveFixtures::place(image, MiB, jpeg);
    testing::FaultyBlockReader reader(image);
    reader.failSector(3);
    std::vector<RecoverableFile> sink;
    const auto outcome = Carver::carve(reader, {}, {}, 0, sink);
    EXPECT_EQ(outcome.unreadable, 4096u); // the tolerant read's piece holding the bad sector
    ASSERT_EQ(sink.size(), 1u);
    EXPECT_EQ(sink[0].size, jpeg.size());
}

TEST(CarverWalk, CancellationBetweenChunksStillDeliversWhatWasFound) {
    FakeCarver fake(0xAB, FileKind::jpeg, [](std::uint64_t) { return sized(512); });
    const DataBlockReader reader(leads(24 * MiB));
    int checks = 0;
    ScanOptions options;
    options.isCancelled = [&] { return ++checks > 1; };
    const auto run = walk(reader, {&fake}, {}, options);
    EXPECT_EQ(run.progress.front().bytesDone, 0u);
    EXPECT_EQ(run.sink.size(), 8 * MiB / 512);
    std::size_t delivered = 0;
    for (const auto n : run.batches)
        delivered += n;
    EXPECT_EQ(delivered, run.sink.size());
    ASSERT_GE(run.progress.size(), 2u);
    EXPECT_EQ(run.progress.back().bytesDone, 8 * MiB);
    EXPECT_EQ(run.progress.back().found, 7 + static_cast<std::int64_t>(run.sink.size()));
}

TEST(CarverWalk, StopsAfterTheChunkThatReachesTheFileCap) {
    // 12,500 files a chunk: the cap is reached at the end of the 16th.
    FakeCarver fake(0xAB, FileKind::jpeg, [](std::uint64_t start) {
        return start % (8 * MiB) < 12'500 * 512 ? std::optional(sized(512)) : std::nullopt;
    });
    std::vector<RecoverableFile> sink;
    Carver::carve(DataBlockReader(leads(140 * MiB)), {}, {}, 0, sink, Registry::leadTable({&fake}));
    EXPECT_EQ(sink.size(), Carver::kMaxFiles);
}

TEST(CarverNaming, HintThenDateThenNumberPerCategory) {
    Carver::SequenceCounter sequence;
    auto carved = sized(100);
    EXPECT_EQ(Carver::make(carved, 0, sequence).name, "Photo 0001.jpg");
    EXPECT_EQ(Carver::make(carved, 0, sequence).name, "Photo 0002.jpg");
    EXPECT_EQ(Carver::make(sized(5, FileKind::mov), 0, sequence).name, "Video 0001.mov");
    EXPECT_EQ(Carver::make(sized(5, FileKind::tiff), 0, sequence).name, "Photo 0003.tif");

    carved.modified = Binary::localDate(2021, 5, 3, 14, 22, 10);
    carved.device = "Fujifilm X-T4";
    const auto dated = Carver::make(carved, 4096, sequence);
    EXPECT_EQ(dated.name, "2021-05-03 14.22.10.jpg");
    EXPECT_EQ(dated.ranges, (std::vector<ByteRange>{{4096, 100}}));
    EXPECT_EQ(dated.quality(), RecoverableFile::Quality::good);

    carved.nameHint = "DSCF0042.JPG";
    EXPECT_EQ(Carver::make(carved, 0, sequence).name, "DSCF0042.JPG");
    // Neither the dated nor the hinted file drew a number.
    carved.modified.reset();
    carved.nameHint.reset();
    EXPECT_EQ(Carver::make(carved, 0, sequence).name, "Photo 0004.jpg");
}

} // namespace
} // namespace vellary
