#include "core/scan/MFTCatalog.hpp"

#include "core/records/ByteRanges.hpp"
#include "tests/support/NtfsImage.hpp"

#include <gtest/gtest.h>

using namespace vellary;
using namespace vellary::testing;

namespace {

constexpr std::uint64_t kRoot = 0x0005000000000005ULL;
constexpr std::uint64_t kRecordAt = 100000; // where the test's record lies on the "disk"

MFTCatalog::Locate locateAt(std::uint64_t base) {
    return [base](RecordRange range) -> std::optional<std::vector<ByteRange>> {
        return std::vector<ByteRange>{{base + static_cast<std::uint64_t>(range.lower),
                                       static_cast<std::uint64_t>(range.count())}};
    };
}

void add(MFTCatalog& catalog, std::uint64_t number, const MftRecordBuilder& builder,
         const MFTCatalog::Locate& locate = locateAt(kRecordAt)) {
    const auto parsed = MFTRecord::parse(builder.build());
    ASSERT_TRUE(parsed);
    catalog.add(number, parsed->record, parsed->bytes, locate);
}

MftRecordBuilder deleted(const std::string& name, std::uint64_t parent = kRoot) {
    MftRecordBuilder b;
    b.flags(0).sequence(4).fileName(parent, name, 1);
    return b;
}

Bytes indexFile(const std::string& path) {
    Bytes b(28, 0);
    b[0] = 2;
    b[24] = static_cast<std::uint8_t>(path.size() + 1);
    for (const char c : path)
        b.insert(b.end(), {static_cast<std::uint8_t>(c), 0});
    b.insert(b.end(), {0, 0});
    return b;
}

NTFSStream stream(std::uint64_t firstVCN, std::vector<NTFSRun> runs, std::uint64_t size = 0) {
    NTFSStream s;
    s.firstVCN = firstVCN;
    s.runs = std::move(runs);
    s.dataSize = size;
    s.initializedSize = size;
    return s;
}

} // namespace

TEST(MFTCatalog, CandidatesAndWhatIsDropped) {
    MFTCatalog catalog;
    add(catalog, 30, deleted("photo.jpg").nonResident(0x80, encodeRunList({{2, 40}}), 8000, 8000));
    add(catalog, 31,
        deleted("in use.jpg").flags(1).nonResident(0x80, encodeRunList({{2, 40}}), 1, 1));
    add(catalog, 20, deleted("system.jpg").nonResident(0x80, encodeRunList({{2, 40}}), 1, 1));
    add(catalog, 32, deleted("$Extend.jpg").nonResident(0x80, encodeRunList({{2, 40}}), 1, 1));
    add(catalog, 33, deleted("Thumbs.db").nonResident(0x80, encodeRunList({{2, 40}}), 1, 1));
    add(catalog, 34, deleted("empty.txt").residentData({}));
    add(catalog, 35, deleted("nothing.txt"));
    add(catalog, 36, deleted("a/b.txt").residentData(Bytes(10, 7)));
    add(catalog, 37, deleted(".hidden").residentData(Bytes(10, 7)));
    add(catalog, 38, deleted("listed.bin").attributeList());
    add(catalog, 39, MftRecordBuilder().flags(0).residentData(Bytes(4, 1))); // no name
    add(catalog, 40, deleted("$RXYZ.jpg").nonResident(0x80, encodeRunList({{1, 90}}), 10, 10));
    ASSERT_EQ(catalog.candidates.size(), 4u);
    EXPECT_EQ(catalog.candidates[0].number, 30u);
    EXPECT_EQ(catalog.candidates[0].sequence, 4);
    EXPECT_EQ(catalog.candidates[0].parent, kRoot);
    EXPECT_EQ(catalog.candidates[0].content.kind, MFTCatalog::Candidate::Content::Kind::clusters);
    EXPECT_EQ(catalog.candidates[1].name, "a_b.txt");
    EXPECT_EQ(catalog.candidates[1].content.kind, MFTCatalog::Candidate::Content::Kind::resident);
    EXPECT_TRUE(catalog.candidates[2].hasAttributeList);
    EXPECT_EQ(catalog.candidates[3].name, "$RXYZ.jpg");
}

TEST(MFTCatalog, CategoryFilterDropsOnlyKnownOtherKinds) {
    MFTCatalog catalog;
    catalog.options.categories = {FileCategory::photo};
    add(catalog, 30, deleted("a.jpg").residentData(Bytes(3, 1)));
    add(catalog, 31, deleted("b.pdf").residentData(Bytes(3, 1)));
    add(catalog, 32, deleted("c.unknown").residentData(Bytes(3, 1)));
    add(catalog, 33, deleted("d.txt").residentData(Bytes(3, 1))); // kind other: never ruled out
    add(catalog, 34, deleted("$RAB.pdf").residentData(Bytes(3, 1)));
    std::vector<std::string> names;
    for (const auto& c : catalog.candidates)
        names.push_back(c.name);
    EXPECT_EQ(names, (std::vector<std::string>{"a.jpg", "c.unknown", "d.txt", "$RAB.pdf"}));
}

TEST(MFTCatalog, ResidentContentIsLocatedPieceByPiece) {
    MFTCatalog catalog;
    add(catalog, 30, deleted("big.txt").residentData(patternBytes(700, 1)));
    ASSERT_EQ(catalog.candidates.size(), 1u);
    const auto& ranges = catalog.candidates[0].content.ranges;
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[1], (ByteRange{kRecordAt + 50, 2}));
    EXPECT_EQ(ranges[2].offset, kRecordAt + 512);
    // A record part of which could not be read drops its resident file.
    const MFTCatalog::Locate unreadable = [](RecordRange) {
        return std::optional<std::vector<ByteRange>>();
    };
    add(catalog, 31, deleted("lost.txt").residentData(Bytes(10, 1)), unreadable);
    EXPECT_EQ(catalog.candidates.size(), 1u);
}

TEST(MFTCatalog, FoldersBitmapExtensionsAndRecycleEntries) {
    MFTCatalog catalog;
    add(catalog, 40, MftRecordBuilder().flags(2).sequence(3).fileName(kRoot, "Pics/2024", 1));
    add(catalog, 41, MftRecordBuilder().flags(3).sequence(8).fileName(kRoot, "Live", 1));
    add(catalog, 6, MftRecordBuilder().fileName(kRoot, "$Bitmap", 3).residentData({0xFF, 0x01}));
    add(catalog, 50,
        MftRecordBuilder()
            .flags(0)
            .baseReference(0x0009000000000030ULL)
            .nonResident(0x80, encodeRunList({{5, 10}}), 0, 0, 7));
    add(catalog, 51,
        MftRecordBuilder()
            .flags(1)
            .baseReference(0x0009000000000030ULL)
            .nonResident(0x80, encodeRunList({{5, 10}}), 0, 0, 7));
    add(catalog, 60,
        deleted("$IAbC12.jpg", 0x0001000000000041ULL)
            .residentData(indexFile("C:\\Users\\Ann\\b.jpg")));
    add(catalog, 61, deleted("$Ibroken.jpg").flags(1).residentData(Bytes(8, 9)));

    ASSERT_EQ(catalog.folders.size(), 2u);
    EXPECT_EQ(catalog.folders.at(40).name, "Pics_2024");
    EXPECT_EQ(catalog.folders.at(40).sequence, 3);
    EXPECT_FALSE(catalog.folders.at(40).inUse);
    EXPECT_TRUE(catalog.folders.at(41).inUse);
    ASSERT_TRUE(catalog.bitmap);
    EXPECT_EQ(catalog.bitmap->kind, MFTCatalog::BitmapSource::Kind::resident);
    EXPECT_EQ(catalog.bitmap->bytes, (Bytes{0xFF, 0x01}));
    ASSERT_EQ(catalog.extensions.at(0x30).size(), 1u);
    EXPECT_EQ(catalog.extensions.at(0x30)[0].baseSequence, 9);
    EXPECT_EQ(catalog.extensions.at(0x30)[0].streams[0].firstVCN, 7u);
    EXPECT_EQ(catalog.recycled.at("65/ABC12.JPG"), "Users/Ann/b.jpg");
    EXPECT_EQ(catalog.recycled.size(), 1u);
    EXPECT_TRUE(catalog.candidates.empty()); // $I files are never candidates
}

TEST(MFTCatalog, JoinedStreamFollowsVCNOrderAndSequences) {
    MFTCatalog catalog;
    catalog.extensions[30] = {{5, {stream(3, {{std::nullopt, 2}})}},
                              {4, {stream(5, {{70, 1}})}},
                              {3, {stream(6, {{80, 1}})}},  // an older file's extension
                              {5, {stream(1, {{99, 9}})}}}; // duplicate VCN
    MFTCatalog::Candidate candidate;
    candidate.number = 30;
    candidate.sequence = 5;
    candidate.hasAttributeList = true;
    const std::vector<NTFSStream> own = {stream(0, {{10, 3}}, 6000)};
    const auto joined = catalog.joinedStream(candidate, own);
    ASSERT_TRUE(joined);
    EXPECT_EQ(joined->runs, (std::vector<NTFSRun>{{10, 3}, {std::nullopt, 2}, {70, 1}}));
    EXPECT_EQ(joined->dataSize, 6000u);
    // Without the attribute list only the own streams count.
    candidate.hasAttributeList = false;
    EXPECT_EQ(catalog.joinedStream(candidate, own)->runs.size(), 1u);
    // Nothing starts at VCN 0.
    EXPECT_FALSE(catalog.joinedStream(candidate, {stream(2, {{1, 1}})}));
    EXPECT_FALSE(catalog.joinedStream(candidate, {}));
    // A gap ends the walk; flags are or-ed.
    candidate.hasAttributeList = true;
    catalog.extensions[30] = {{5, {stream(4, {{70, 1}})}}};
    EXPECT_EQ(catalog.joinedStream(candidate, own)->runs.size(), 1u);
    NTFSStream encrypted = stream(3, {{70, 1}});
    encrypted.encrypted = true;
    catalog.extensions[30] = {{5, {encrypted}}};
    EXPECT_TRUE(catalog.joinedStream(candidate, own)->encrypted);
    // Sequence 1 matches an extension written under 65,535.
    candidate.sequence = 1;
    catalog.extensions[30] = {{65535, {stream(3, {{70, 1}})}}};
    EXPECT_EQ(catalog.joinedStream(candidate, own)->runs.size(), 2u);
}

TEST(MFTCatalog, CandidateLimit) {
    MFTCatalog catalog;
    const auto parsed = MFTRecord::parse(deleted("x.txt").residentData(Bytes(3, 1)).build());
    for (std::size_t i = 0; i < MFTCatalog::kMaxCandidates + 5; ++i)
        catalog.add(100 + i, parsed->record, parsed->bytes, locateAt(0));
    EXPECT_EQ(catalog.candidates.size(), MFTCatalog::kMaxCandidates);
}

TEST(MFTCatalog, NamesKeptInExtensionRecords) {
    MFTCatalog catalog;
    // A deleted file and an in-use folder whose names live in extension records.
    add(catalog, 30,
        MftRecordBuilder().flags(0).sequence(4).attributeList().nonResident(
            0x80, encodeRunList({{2, 40}}), 8000, 8000));
    add(catalog, 31,
        MftRecordBuilder()
            .flags(0)
            .baseReference(0x000300000000001EULL)
            .fileName(0x0002000000000028ULL, "moved/name.jpg", 1));
    add(catalog, 40, MftRecordBuilder().flags(3).sequence(2).attributeList());
    add(catalog, 41,
        MftRecordBuilder()
            .flags(1)
            .baseReference(0x0002000000000028ULL)
            .fileName(kRoot, "Big folder", 1));
    // Nameless records whose extension is gone or belongs to another file.
    add(catalog, 50,
        MftRecordBuilder().flags(0).sequence(9).attributeList().residentData(Bytes(4, 1)));
    add(catalog, 51,
        MftRecordBuilder()
            .flags(0)
            .baseReference(0x0001000000000032ULL)
            .fileName(kRoot, "stale.txt", 1));
    add(catalog, 52, MftRecordBuilder().flags(2).sequence(2).attributeList());
    add(catalog, 60,
        MftRecordBuilder().flags(0).sequence(4).attributeList().residentData(Bytes(4, 1)));
    add(catalog, 61,
        MftRecordBuilder()
            .flags(0)
            .baseReference(0x000300000000003CULL)
            .fileName(kRoot, "$Secret", 1));
    EXPECT_EQ(catalog.candidates.size(), 3u);
    catalog.nameFromExtensions();
    ASSERT_EQ(catalog.candidates.size(), 1u);
    EXPECT_EQ(catalog.candidates[0].name, "moved_name.jpg");
    EXPECT_EQ(catalog.candidates[0].parent, 0x0002000000000028ULL);
    ASSERT_EQ(catalog.folders.size(), 1u);
    EXPECT_EQ(catalog.folders.at(40).name, "Big folder");
    EXPECT_EQ(catalog.folders.at(40).parent, kRoot);
}
