#include "core/scan/MFTRecord.hpp"

#include "tests/support/NtfsImage.hpp"

#include <gtest/gtest.h>

using namespace vellary;
using namespace vellary::testing;

namespace {

constexpr std::int64_t kJan2020 = 1577836800;

MftRecordBuilder deletedFile() {
    MftRecordBuilder b;
    b.flags(0).sequence(7).standardInformation(fileTime(kJan2020));
    return b;
}

} // namespace

TEST(MFTRecord, ParsesHeaderNamesDatesAndStreams) {
    const Bytes runs = encodeRunList({{3, 100}, {2, 50}});
    MftRecordBuilder builder;
    builder.flags(1)
        .sequence(9)
        .standardInformation(fileTime(kJan2020) + 5000000)
        .fileName(0x0005000000000005ULL, "LONGNA~1.JPG", 2, fileTime(1000000000))
        .fileName(0x0005000000000005ULL, "long name.jpg", 1)
        .nonResident(0x80, runs, 20000, 18000)
        .nonResident(0xA0, encodeRunList({{1, 400}}), 4096, 4096);
    const auto parsed = MFTRecord::parse(builder.build());
    ASSERT_TRUE(parsed);
    const MFTRecord& r = parsed->record;
    EXPECT_EQ(r.sequence, 9);
    EXPECT_TRUE(r.inUse);
    EXPECT_FALSE(r.isDirectory);
    EXPECT_EQ(r.baseReference, 0u);
    ASSERT_TRUE(r.fileName);
    EXPECT_EQ(r.fileName->name, "long name.jpg");
    EXPECT_EQ(r.fileName->parent, 0x0005000000000005ULL);
    EXPECT_DOUBLE_EQ(unixSeconds(*r.modified), kJan2020 + 0.5);
    ASSERT_EQ(r.dataStreams.size(), 1u);
    EXPECT_EQ(r.dataStreams[0].dataSize, 20000u);
    EXPECT_EQ(r.dataStreams[0].initializedSize, 18000u);
    EXPECT_EQ(r.dataStreams[0].runs, (std::vector<NTFSRun>{{100, 3}, {150, 2}}));
    // Runs of every non-resident attribute of a record in use.
    EXPECT_EQ(r.allocated, (std::vector<NTFSRun>{{100, 3}, {150, 2}, {400, 1}}));
    EXPECT_EQ(r.updateSequenceOffset, 48);
    EXPECT_EQ(r.updateSequenceCount, 3);
    EXPECT_EQ(parsed->bytes, builder.fixedUp());
}

TEST(MFTRecord, NamespaceRule) {
    const auto nameOf = [](MftRecordBuilder b) {
        return MFTRecord::parse(b.build())->record.fileName->name;
    };
    EXPECT_EQ(nameOf(deletedFile().fileName(5, "posix", 0).fileName(5, "DOS", 2)), "posix");
    EXPECT_EQ(nameOf(deletedFile().fileName(5, "DOS", 2).fileName(5, "win32", 1)), "win32");
    EXPECT_EQ(nameOf(deletedFile().fileName(5, "DOS", 2).fileName(5, "posix", 0)), "posix");
    EXPECT_EQ(nameOf(deletedFile().fileName(5, "posix", 0).fileName(5, "both", 3)), "both");
    EXPECT_EQ(nameOf(deletedFile().fileName(5, "first", 1).fileName(5, "second", 3)), "first");
    EXPECT_EQ(nameOf(deletedFile().fileName(5, "DOS1", 2).fileName(5, "DOS2", 2)), "DOS1");
}

TEST(MFTRecord, DatesFallBackToTheFileName) {
    auto b = MftRecordBuilder().flags(0).fileName(5, "a.txt", 1, fileTime(kJan2020));
    EXPECT_DOUBLE_EQ(unixSeconds(*MFTRecord::parse(b.build())->record.modified), kJan2020);
    auto c = MftRecordBuilder().flags(0).standardInformation(0).fileName(5, "a.txt", 1,
                                                                         fileTime(kJan2020));
    EXPECT_DOUBLE_EQ(unixSeconds(*MFTRecord::parse(c.build())->record.modified), kJan2020);
    EXPECT_FALSE(MFTRecord::parse(MftRecordBuilder().flags(0).build())->record.modified);
}

TEST(MFTRecord, ResidentAndNamedData) {
    const Bytes value = patternBytes(100, 1);
    const auto parsed =
        MFTRecord::parse(deletedFile()
                             .fileName(5, "r.txt", 1)
                             .residentData(Bytes(8, 1), "Zone.Identifier")
                             .residentData(value)
                             .nonResident(0x80, encodeRunList({{1, 9}}), 10, 10, 0, 0, "ads")
                             .build());
    ASSERT_TRUE(parsed);
    const auto& r = parsed->record;
    ASSERT_TRUE(r.residentData);
    EXPECT_EQ(r.residentData->count(), 100);
    EXPECT_TRUE(
        std::equal(value.begin(), value.end(), parsed->bytes.begin() + r.residentData->lower));
    EXPECT_TRUE(r.dataStreams.empty());
    EXPECT_TRUE(r.allocated.empty()); // not in use
    const auto inUse = MFTRecord::parse(
        MftRecordBuilder().nonResident(0x80, encodeRunList({{1, 9}}), 10, 10, 0, 0, "ads").build());
    EXPECT_EQ(inUse->record.allocated, (std::vector<NTFSRun>{{9, 1}}));
}

TEST(MFTRecord, FlagsAttributeListsAndExtensions) {
    const auto r = MFTRecord::parse(MftRecordBuilder()
                                        .flags(3)
                                        .baseReference(0x0002000000000040ULL)
                                        .attributeList()
                                        .build())
                       ->record;
    EXPECT_TRUE(r.inUse);
    EXPECT_TRUE(r.isDirectory);
    EXPECT_TRUE(r.hasAttributeList);
    EXPECT_EQ(r.baseReference, 0x0002000000000040ULL);
    const auto nonResidentList = MFTRecord::parse(
        MftRecordBuilder().nonResident(0x20, encodeRunList({{1, 30}}), 100, 100).build());
    EXPECT_TRUE(nonResidentList->record.hasAttributeList);
}

TEST(MFTRecord, FixupsAreChecked) {
    const Bytes raw = deletedFile().fileName(5, "a.txt", 1).build();
    EXPECT_TRUE(MFTRecord::parse(raw));
    // The last stride's check bytes, an odd array offset, one below 40, fewer than two entries,
    // an array running past 512 bytes, no signature.
    const std::pair<std::size_t, std::uint8_t> damage[] = {
        {1023, static_cast<std::uint8_t>(raw[1023] ^ 0xFF)},
        {4, 49},
        {4, 38},
        {6, 1},
        {6, 240},
        {0, 'B'}};
    for (const auto& [at, value] : damage) {
        Bytes bad = raw;
        bad[at] = value;
        EXPECT_FALSE(MFTRecord::parse(bad)) << at << " = " << int{value};
    }
    EXPECT_FALSE(MFTRecord::parse(ByteSpan(raw).first(511)));
    // A 1024-byte record with three entries needs all 1024 bytes... and 512 bytes of a
    // two-entry record are enough.
    EXPECT_FALSE(MFTRecord::parse(ByteSpan(raw).first(1000)));
    EXPECT_TRUE(MFTRecord::parse(MftRecordBuilder(512).flags(0).fileName(5, "s.txt", 1).build()));
}

TEST(MFTRecord, MalformedAttributesEndTheWalkQuietly) {
    // Attribute length past the record: the walk ends with what was gathered.
    Bytes tooLong(24, 0);
    tooLong[0] = 0x80;
    tooLong[4] = 0xFF;
    tooLong[5] = 0xFF;
    auto r = MFTRecord::parse(deletedFile().fileName(5, "a.txt", 1).raw(tooLong).build());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->record.fileName->name, "a.txt");
    EXPECT_FALSE(r->record.residentData);
    // Resident value claiming more than its attribute.
    Bytes badValue(32, 0);
    badValue[0] = 0x80;
    badValue[4] = 32;
    badValue[20] = 24;
    // 9 bytes from offset 24 pass the attribute's end but not the record's; 255 pass both.
    for (const std::uint8_t length : {9, 255}) {
        badValue[16] = length;
        EXPECT_FALSE(MFTRecord::parse(deletedFile().raw(badValue).build())->record.residentData);
    }
    // A non-resident header shorter than 64 bytes, or a run list offset outside it.
    Bytes shortHeader(48, 0);
    shortHeader[0] = 0x80;
    shortHeader[4] = 48;
    shortHeader[8] = 1;
    EXPECT_TRUE(
        MFTRecord::parse(deletedFile().raw(shortHeader).build())->record.dataStreams.empty());
    Bytes badRuns(72, 0);
    badRuns[0] = 0x80;
    badRuns[4] = 72;
    badRuns[8] = 1;
    badRuns[32] = 200;
    EXPECT_TRUE(MFTRecord::parse(deletedFile().raw(badRuns).build())->record.dataStreams.empty());
    // Run lists with absurd widths or negative LCNs give no stream.
    EXPECT_TRUE(
        MFTRecord::parse(
            deletedFile().nonResident(0x80, {0x19, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0}, 1, 1).build())
            ->record.dataStreams.empty());
    EXPECT_TRUE(MFTRecord::parse(deletedFile().nonResident(0x80, {0x11, 5, 0xF0, 0}, 1, 1).build())
                    ->record.dataStreams.empty());
    // A huge claimed size is kept as a number; nothing is allocated for it.
    const auto huge = MFTRecord::parse(
        deletedFile().nonResident(0x80, encodeRunList({{1, 1}}), UINT64_MAX, UINT64_MAX).build());
    EXPECT_EQ(huge->record.dataStreams.at(0).dataSize, UINT64_MAX);
    // File names whose length runs past the value, or of length 0.
    Bytes name(24 + 66, 0);
    name[0] = 0x30;
    name[4] = static_cast<std::uint8_t>(name.size());
    name[16] = 66;
    name[20] = 24;
    name[24 + 64] = 10;
    EXPECT_FALSE(MFTRecord::parse(deletedFile().raw(name).build())->record.fileName);
    name[24 + 64] = 0;
    EXPECT_FALSE(MFTRecord::parse(deletedFile().raw(name).build())->record.fileName);
}

TEST(MFTRecord, HeaderLimits) {
    // Bytes in use below 48: the walk runs to the end of the buffer.
    auto r = MFTRecord::parse(deletedFile().fileName(5, "a.txt", 1).bytesInUse(40).build());
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->record.fileName);
    // Bytes in use ending before the first attribute's header.
    EXPECT_FALSE(MFTRecord::parse(deletedFile().bytesInUse(60).build()));
    // Bytes in use cutting the attribute list short.
    EXPECT_FALSE(MFTRecord::parse(deletedFile().fileName(5, "a.txt", 1).bytesInUse(100).build())
                     ->record.fileName);
}

TEST(MFTRecord, AttributeWalkStopsAt512Attributes) {
    // 600 tiny attributes in a 64 KiB record: the file name at the end is never reached.
    MftRecordBuilder b(65536);
    b.flags(0);
    Bytes filler(16, 0);
    filler[0] = 0x40;
    filler[4] = 16;
    filler[8] = 1; // non-resident, too short to parse
    for (int i = 0; i < 600; ++i)
        b.raw(filler);
    b.fileName(5, "late.txt", 1);
    const auto r = MFTRecord::parse(b.build());
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->record.fileName);
    MftRecordBuilder c(65536);
    for (int i = 0; i < 511; ++i)
        c.raw(filler);
    c.fileName(5, "last.txt", 1);
    EXPECT_EQ(MFTRecord::parse(c.build())->record.fileName->name, "last.txt");
}

TEST(MFTRecord, StoredPiecesMapStrideEndsToTheUpdateSequenceArray) {
    const Bytes value = patternBytes(700, 3);
    const Bytes raw = deletedFile().fileName(5, "notes.txt", 1).residentData(value).build();
    const auto parsed = MFTRecord::parse(raw);
    ASSERT_TRUE(parsed);
    const auto range = *parsed->record.residentData;
    ASSERT_LT(range.lower, 510);
    ASSERT_GT(range.upper, 512);
    const auto pieces = parsed->record.storedPieces(range);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0], (RecordRange{range.lower, 510}));
    EXPECT_EQ(pieces[1], (RecordRange{48 + 2, 48 + 4}));
    EXPECT_EQ(pieces[2], (RecordRange{512, range.upper}));
    Bytes stored;
    for (const auto& p : pieces)
        stored.insert(stored.end(), raw.begin() + p.lower, raw.begin() + p.upper);
    EXPECT_EQ(stored, value);
    // Past the protected strides bytes map to themselves.
    EXPECT_EQ(parsed->record.storedPieces({1000, 1024}),
              (std::vector<RecordRange>{{1000, 1022}, {52, 54}}));
    EXPECT_EQ(parsed->record.storedPieces({511, 512}), (std::vector<RecordRange>{{51, 52}}));
    EXPECT_TRUE(parsed->record.storedPieces({10, 10}).empty());
}

TEST(MFTRecord, ParseInPlaceReusesTheRecord) {
    Bytes first = deletedFile().fileName(5, "one.txt", 1).residentData(Bytes(5, 1)).build();
    Bytes second =
        MftRecordBuilder().nonResident(0x80, encodeRunList({{2, 8}}), 8192, 8192).build();
    MFTRecord record;
    ASSERT_TRUE(MFTRecord::parseInPlace(first, record));
    EXPECT_TRUE(record.residentData);
    ASSERT_TRUE(MFTRecord::parseInPlace(second, record));
    EXPECT_FALSE(record.residentData);
    EXPECT_FALSE(record.fileName);
    EXPECT_EQ(record.dataStreams.size(), 1u);
    Bytes junk(1024, 0);
    EXPECT_FALSE(MFTRecord::parseInPlace(junk, record));
}
