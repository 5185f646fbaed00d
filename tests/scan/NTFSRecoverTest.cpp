#include "core/scan/NTFSScanner.hpp"

#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"

#include <gtest/gtest.h>

#include <tuple>

using namespace vellary;

namespace {

constexpr std::uint64_t kRoot = 0x0005000000000005ULL;
constexpr std::uint64_t kCluster = 4096;

NTFSGeometry geometry(std::uint64_t offset = 0) {
    NTFSGeometry g;
    g.partitionOffset = offset;
    g.clusterSize = kCluster;
    g.totalClusters = 100;
    g.totalSectors = 800;
    return g;
}

NTFSStream stream(std::vector<NTFSRun> runs, std::uint64_t size,
                  std::uint64_t initialized = UINT64_MAX) {
    NTFSStream s;
    s.runs = std::move(runs);
    s.dataSize = size;
    s.initializedSize = initialized == UINT64_MAX ? size : initialized;
    return s;
}

MFTCatalog::Candidate clusters(std::uint64_t number, const std::string& name, NTFSStream s,
                               std::uint64_t parent = kRoot) {
    MFTCatalog::Candidate c;
    c.number = number;
    c.sequence = 2;
    c.name = name;
    c.parent = parent;
    c.content.kind = MFTCatalog::Candidate::Content::Kind::clusters;
    c.content.streams = {std::move(s)};
    return c;
}

struct Recovered {
    std::vector<RecoverableFile> files;
    const RecoverableFile* named(const std::string& name) const {
        for (const auto& f : files)
            if (f.name == name) return &f;
        return nullptr;
    }
};

Recovered recover(MFTCatalog catalog, const NTFSGeometry& g = geometry(),
                  std::uint64_t diskSize = 100 * kCluster) {
    const DataBlockReader reader(Bytes(diskSize, 0x11));
    Recovered r;
    NTFSScanner::recover(catalog, reader, g, ScanOptions{}, r.files);
    return r;
}

MFTCatalog withBitmap(std::vector<std::uint64_t> allocated) {
    MFTCatalog catalog;
    MFTCatalog::BitmapSource source;
    source.bytes.assign(13, 0);
    for (const auto c : allocated)
        source.bytes[c / 8] |= static_cast<std::uint8_t>(1u << (c % 8));
    catalog.bitmap = source;
    return catalog;
}

} // namespace

TEST(NTFSRecover, AllocationDecidesBetweenDroppedEstimatedAndNamed) {
    MFTCatalog catalog = withBitmap({20, 33});
    catalog.candidates = {
        clusters(30, "taken.jpg", stream({{20, 2}}, 8000)),           // first cluster reused
        clusters(31, "later.jpg", stream({{30, 2}, {33, 1}}, 12288)), // a later cluster reused
        clusters(32, "partly.jpg", stream({{19, 2}}, 8000)),          // second cluster of run 1
        clusters(33, "clean.jpg", stream({{40, 3}}, 10000)),
    };
    const auto r = recover(catalog);
    EXPECT_EQ(r.named("taken.jpg"), nullptr);
    ASSERT_NE(r.named("later.jpg"), nullptr);
    EXPECT_EQ(r.named("later.jpg")->confidence, RecoveryConfidence::estimated);
    EXPECT_FALSE(r.named("later.jpg")->complete);
    EXPECT_EQ(r.named("later.jpg")->ranges,
              (std::vector<ByteRange>{{30 * kCluster, 2 * kCluster}, {33 * kCluster, kCluster}}));
    EXPECT_EQ(r.named("partly.jpg")->confidence, RecoveryConfidence::estimated);
    const auto* clean = r.named("clean.jpg");
    ASSERT_NE(clean, nullptr);
    EXPECT_EQ(clean->confidence, RecoveryConfidence::named);
    EXPECT_TRUE(clean->complete);
    EXPECT_EQ(clean->size, 10000u);
    EXPECT_EQ(clean->ranges, (std::vector<ByteRange>{{40 * kCluster, 10000}}));
    EXPECT_FALSE(clean->headerLooksValid.value_or(true)); // 0x11 bytes are no JPEG
}

TEST(NTFSRecover, IncompleteStreams) {
    MFTCatalog catalog;
    catalog.candidates = {
        clusters(30, "uninit.pdf", stream({{10, 2}}, 8000, 4000)),
        clusters(31, "short.pdf", stream({{12, 1}}, 9000)),
        clusters(32, "sparse-first.pdf", stream({{std::nullopt, 1}, {14, 1}}, 8000)),
        clusters(33, "sparse-later.pdf", stream({{15, 1}, {std::nullopt, 1}, {17, 1}}, 12000)),
        clusters(34, "past-end.pdf", stream({{98, 5}}, 20000)),
        clusters(35, "past-later.pdf", stream({{50, 1}, {99, 2}}, 12000)),
        clusters(36, "empty.pdf", stream({{60, 1}}, 0)),
        clusters(37, "noruns.pdf", stream({}, 100)),
    };
    auto compressed = stream({{70, 1}}, 100);
    compressed.compressed = true;
    auto encrypted = stream({{71, 1}}, 100);
    encrypted.encrypted = true;
    catalog.candidates.push_back(clusters(38, "compressed.pdf", compressed));
    catalog.candidates.push_back(clusters(39, "encrypted.pdf", encrypted));
    MFTCatalog::Candidate vcn = clusters(40, "later-extent.pdf", stream({{72, 1}}, 100));
    vcn.content.streams[0].firstVCN = 3;
    catalog.candidates.push_back(vcn);
    const auto r = recover(catalog);

    const auto check = [&](const std::string& name, RecoveryConfidence confidence, bool complete,
                           std::uint64_t size) {
        SCOPED_TRACE(name);
        const auto* f = r.named(name);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->confidence, confidence);
        EXPECT_EQ(f->complete, complete);
        EXPECT_EQ(f->size, size);
    };
    check("uninit.pdf", RecoveryConfidence::named, false, 8000);
    check("short.pdf", RecoveryConfidence::named, false, 4096);
    check("sparse-later.pdf", RecoveryConfidence::named, false, 4096);
    check("past-later.pdf", RecoveryConfidence::estimated, false, 4096);
    for (const char* dropped : {"sparse-first.pdf", "past-end.pdf", "empty.pdf", "noruns.pdf",
                                "compressed.pdf", "encrypted.pdf", "later-extent.pdf"})
        EXPECT_EQ(r.named(dropped), nullptr) << dropped;
}

TEST(NTFSRecover, ResidentFilesRecycleBinAndNames) {
    MFTCatalog catalog;
    // Numbers, names and parents of resident files; the last has lost its bytes.
    const std::tuple<std::uint64_t, const char*, std::uint64_t> rows[] = {
        {40, "  note.txt \n", kRoot},
        {41, "$RX1.jpg", 0x0001000000000050ULL},
        {42, "$RNOINDEX.jpg", 0x0001000000000050ULL},
        {43, "$Rtop.jpg", 0x0001000000000050ULL},
        {44, "gone.txt", 0x0001000000000050ULL}};
    for (const auto& [number, name, parent] : rows) {
        MFTCatalog::Candidate resident;
        resident.number = number;
        resident.name = name;
        resident.parent = parent;
        resident.content.kind = MFTCatalog::Candidate::Content::Kind::resident;
        if (number != 44) resident.content.ranges = {{1000, 10}, {2000, 2}};
        catalog.candidates.push_back(resident);
    }
    catalog.recycled["80/X1.JPG"] = "Users/Ann/Pictures/beach.jpg";
    catalog.recycled["80/TOP.JPG"] = "top.jpg";
    const auto r = recover(catalog, geometry(0));
    ASSERT_EQ(r.files.size(), 3u);
    const auto* note = r.named("note.txt");
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(note->originalPath, "note.txt");
    EXPECT_EQ(note->size, 12u);
    EXPECT_TRUE(note->complete);
    EXPECT_EQ(note->kind, FileKind::other);
    EXPECT_EQ(note->category, FileCategory::document);
    const auto* beach = r.named("beach.jpg");
    ASSERT_NE(beach, nullptr);
    EXPECT_EQ(beach->originalPath, "Users/Ann/Pictures/beach.jpg");
    EXPECT_EQ(beach->id, "ntfs-0-41");
    EXPECT_EQ(r.named("top.jpg")->originalPath, "top.jpg");
}

TEST(NTFSRecover, DiskOrderLimitsIdsAndTheSource) {
    MFTCatalog catalog;
    catalog.candidates = {clusters(30, "b.bin", stream({{50, 1}}, 10)),
                          clusters(31, "a.bin", stream({{20, 1}}, 10)),
                          clusters(32, "outside.bin", stream({{90, 1}}, 10))};
    // The source ends before cluster 90: that file cannot be read and is dropped.
    const auto r = recover(catalog, geometry(1048576), 1048576 + 80 * kCluster);
    ASSERT_EQ(r.files.size(), 2u);
    EXPECT_EQ(r.files[0].name, "a.bin"); // emitted in disk order
    EXPECT_EQ(r.files[0].id, "ntfs-1048576-31");
    EXPECT_EQ(r.files[0].ranges[0].offset, 1048576 + 20 * kCluster);

    const DataBlockReader reader(Bytes(100 * kCluster, 0));
    std::vector<RecoverableFile> full(NTFSScanner::kMaxFiles);
    NTFSScanner::recover(catalog, reader, geometry(), ScanOptions{}, full);
    EXPECT_EQ(full.size(), NTFSScanner::kMaxFiles);

    ScanOptions stop;
    stop.isCancelled = [] { return true; };
    std::vector<RecoverableFile> sink;
    EXPECT_THROW(NTFSScanner::recover(catalog, reader, geometry(), stop, sink), RecoverError);
}

TEST(NTFSRecover, CategoryFilter) {
    ScanOptions photos;
    photos.categories = {FileCategory::photo};
    EXPECT_FALSE(NTFSScanner::ruledOut("a.JPG", photos));
    EXPECT_TRUE(NTFSScanner::ruledOut("a.pdf", photos));
    EXPECT_FALSE(NTFSScanner::ruledOut("a.txt", photos));
    EXPECT_FALSE(NTFSScanner::ruledOut("noextension", photos));
    EXPECT_FALSE(NTFSScanner::ruledOut("a.pdf", ScanOptions{}));
    MFTCatalog catalog;
    catalog.candidates = {clusters(30, "a.txt", stream({{50, 1}}, 10)),
                          clusters(31, "b.jpg", stream({{20, 1}}, 10))};
    const DataBlockReader reader(Bytes(100 * kCluster, 0));
    std::vector<RecoverableFile> sink;
    NTFSScanner::recover(catalog, reader, geometry(), photos, sink);
    ASSERT_EQ(sink.size(), 1u); // a.txt is a document once named
    EXPECT_EQ(sink[0].name, "b.jpg");
}
