#include "core/scan/NTFSScanner.hpp"

#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/NtfsImage.hpp"
#include "tests/support/RoundTrip.hpp"
#include "tests/support/ScanChecks.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

using namespace vellary;
using namespace vellary::testing;
namespace fs = std::filesystem;

namespace {

const Bytes kJpegHeader = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01};
const Bytes kPdfHeader = {'%', 'P', 'D', 'F', '-', '1', '.', '4', '\n', '%', 0xE2, 0xE3};

struct Expected {
    Bytes content;
    std::int64_t mtime = 0;
};

void setTime(const fs::path& path, std::int64_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Fills the volume with one-cluster files and frees every other one, so that later writes
// scatter over the holes; the files left standing go into kept.
void fillAndPunchHoles(const fs::path& dir, std::vector<fs::path>& kept) {
    fs::create_directories(dir);
    const Bytes block(4096, 'x');
    std::vector<fs::path> all;
    for (int i = 0; i < 20000; ++i) {
        const fs::path p = dir / ("f" + std::to_string(i));
        const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) break;
        const bool full =
            ::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size());
        const bool closeFailed = ::close(fd) != 0;
        if (full || closeFailed) {
            fs::remove(p);
            break;
        }
        all.push_back(p);
    }
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (i % 2 == 0)
            kept.push_back(all[i]);
        else
            fs::remove(all[i]);
    }
}

std::uint64_t freeBytes(const fs::path& mount) {
    return fs::space(mount).available;
}

Bytes readRanges(const BlockReader& reader, const std::vector<ByteRange>& ranges) {
    Bytes out;
    for (const auto& r : ranges) {
        const Bytes part = reader.read(r.offset, static_cast<std::int64_t>(r.length));
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes indexFileV2(const std::u16string& path) {
    Bytes b(28, 0);
    b[0] = 2;
    b[8] = 0x50; // former size, not read
    const auto units = static_cast<std::uint32_t>(path.size() + 1);
    putLE(b, 24, units, 4);
    for (const char16_t c : path)
        appendLE(b, c, 2);
    b.insert(b.end(), {0, 0});
    return b;
}

// One ntfs-3g image shared by the tests below: deleted files in nested and deleted folders,
// resident files, fragmented files, a recycle-bin entry and files still in use.
class NTFSImageScan : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        image_ = (*dir_) / "ntfs.img";
        if (!NtfsImage::format(image_, 24 * 1024 * 1024)) {
            skip_ = "mkfs.ntfs is not available";
            return;
        }
        NtfsMount mount(image_, (*dir_) / "mnt");
        if (!mount.mounted()) {
            skip_ = "ntfs-3g could not mount the image (FUSE unavailable)";
            return;
        }
        const fs::path root = mount.root();
        // Folders first: a full volume has no room for their records.
        for (const char* folder : {"Frag", "Docs/Reports/2024", "Photos/Trip",
                                   "$Recycle.Bin/S-1-5-21-1111-2222-3333-1001"})
            fs::create_directories(root / folder);
        std::vector<fs::path> fill;
        fillAndPunchHoles(root / "fill", fill);
        const auto put = [&](const std::string& rel, Bytes content, std::int64_t mtime,
                             bool remember) {
            fs::create_directories((root / rel).parent_path());
            writeFile(root / rel, std::string(content.begin(), content.end()));
            setTime(root / rel, mtime);
            if (remember) expected_[rel] = {std::move(content), mtime};
        };
        // Written into the holes: many runs, and one file whose runs outgrow its record.
        put("Frag/frag.jpg", patternBytes(600 * 4096 + 123, 11, kJpegHeader), 1600000000, true);
        huge_ = patternBytes((freeBytes(root) / 4096 - 64) * 4096, 12);
        put("Frag/huge.bin", huge_, 1600000100, false);
        for (const auto& p : fill)
            fs::remove(p);

        put("Docs/Reports/2024/report.pdf", patternBytes(150000, 1, kPdfHeader), 1700000000, true);
        put("Docs/small.txt", patternBytes(300, 2), 1700000100, true);
        put("Docs/notes.txt", patternBytes(500, 3), 1700000200, true);
        put("Photos/Trip/beach.jpg", patternBytes(300000, 4, kJpegHeader), 1650000000, true);
        put("kept.jpg", patternBytes(40000, 5, kJpegHeader), 1650000000, false);
        put("Docs/kept-too.txt", patternBytes(2000, 6), 1650000000, false);
        const std::string bin = "$Recycle.Bin/S-1-5-21-1111-2222-3333-1001/";
        put(bin + "$IABC123.jpg", indexFileV2(u"C:\\Users\\Ann\\Pictures\\beach2.jpg"), 1700000300,
            false);
        put(bin + "$RABC123.jpg", patternBytes(50000, 7, kJpegHeader), 1700000400, false);
        recycled_ = {patternBytes(50000, 7, kJpegHeader), 1700000400};

        fs::remove(root / "Docs/Reports/2024/report.pdf");
        fs::remove(root / "Docs/small.txt");
        fs::remove(root / "Docs/notes.txt");
        fs::remove_all(root / "Photos");
        fs::remove(root / (bin + "$RABC123.jpg"));
        fs::remove_all(root / "Frag");
        if (!mount.unmount()) {
            skip_ = "ntfs-3g did not unmount";
            return;
        }
        reader_ = new FileBlockReader(image_);
        NTFSScanner::scanVolume(*reader_, FoundVolume{0, VolumeKind::ntfs}, ScanOptions{}, found_,
                                used_);
    }

    static void TearDownTestSuite() {
        delete reader_;
        delete dir_;
        reader_ = nullptr;
        dir_ = nullptr;
    }

    void SetUp() override {
        if (!skip_.empty()) GTEST_SKIP() << skip_;
    }

    static const RecoverableFile* byPath(const std::string& path) {
        for (const auto& f : found_)
            if (f.originalPath == path) return &f;
        return nullptr;
    }

    static inline TempDir* dir_ = nullptr;
    static inline fs::path image_;
    static inline std::string skip_;
    static inline std::map<std::string, Expected> expected_;
    static inline Expected recycled_;
    static inline Bytes huge_;
    static inline FileBlockReader* reader_ = nullptr;
    static inline std::vector<RecoverableFile> found_;
    static inline std::vector<ByteRange> used_;
};

} // namespace

TEST_F(NTFSImageScan, DeletedFilesComeBackByteExactWithFoldersAndDates) {
    Originals originals = {{"Users/Ann/Pictures/beach2.jpg", sha256Of(recycled_.content)}};
    for (const auto& [path, want] : expected_)
        originals[path] = sha256Of(want.content);
    const auto trip = roundTrip(*reader_, originals, dir_->path() / "out");
    EXPECT_EQ(trip.mismatches, std::vector<std::string>{});
    EXPECT_TRUE(trip.scan.warnings.empty());
    for (const auto& [path, want] : expected_) {
        const RecoverableFile* file = byPath(path);
        ASSERT_NE(file, nullptr) << path;
        EXPECT_TRUE(file->complete) << path;
        EXPECT_EQ(file->confidence, RecoveryConfidence::named) << path;
        EXPECT_EQ(unixSeconds(file->modified.value_or(Date{})), static_cast<double>(want.mtime))
            << path;
    }
    EXPECT_EQ(byPath("Docs/notes.txt")->ranges.size(), 3u); // resident, across a stride end
    EXPECT_EQ(byPath("Users/Ann/Pictures/beach2.jpg")->kind, FileKind::jpeg);
    EXPECT_EQ(byPath("kept.jpg"), nullptr); // in use
}

TEST_F(NTFSImageScan, AttributeListExtentsJoinInVCNOrder) {
    // ntfs-3g moves a heavily fragmented file's name and later extents into extension records;
    // unlinking drops the name, so the file is not listed, but its extents must still join.
    const auto geometry = *NTFSGeometry::parse(reader_->read(0, 512), 0);
    const NTFSStream mft = NTFSScanner::loadMFT(*reader_, geometry);
    MFTCatalog catalog;
    std::vector<ByteRange> used;
    NTFSScanner::walkMFT(*reader_, geometry, mft, ScanOptions{}, catalog, used);
    bool found = false;
    const auto records = mft.dataSize / static_cast<std::uint64_t>(geometry.recordSize);
    for (std::uint64_t n = 24; n < records && !found; ++n) {
        const Bytes raw =
            mft.read(*reader_, geometry, n * geometry.recordSize, geometry.recordSize);
        const auto parsed = MFTRecord::parse(raw);
        if (!parsed || parsed->record.inUse || !parsed->record.hasAttributeList ||
            parsed->record.baseReference != 0 || parsed->record.dataStreams.empty() ||
            parsed->record.dataStreams[0].dataSize != huge_.size())
            continue;
        found = true;
        MFTCatalog::Candidate candidate;
        candidate.number = n;
        candidate.sequence = parsed->record.sequence;
        candidate.hasAttributeList = true;
        ASSERT_TRUE(catalog.extensions.count(n));
        const auto joined = catalog.joinedStream(candidate, parsed->record.dataStreams);
        ASSERT_TRUE(joined);
        EXPECT_GT(joined->runs.size(), parsed->record.dataStreams[0].runs.size());
        Bytes content = readRanges(*reader_, geometry.ranges(joined->runs));
        ASSERT_GE(content.size(), huge_.size());
        content.resize(huge_.size());
        EXPECT_TRUE(content == huge_);
    }
    EXPECT_TRUE(found);
}

TEST_F(NTFSImageScan, DamagedMFTRecordFallsBackToTheMirror) {
    Bytes bytes = readRanges(*reader_, {{0, reader_->size()}});
    const auto geometry = *NTFSGeometry::parse(bytes, 0);
    bytes[geometry.mftCluster * geometry.clusterSize] = 'X'; // record 0 no longer parses
    std::vector<RecoverableFile> sink;
    std::vector<ByteRange> used;
    NTFSScanner::scanVolume(DataBlockReader(bytes), FoundVolume{0, VolumeKind::ntfs}, {}, sink,
                            used);
    EXPECT_EQ(sink.size(), found_.size());
    bytes[geometry.mirrorCluster * geometry.clusterSize] = 'X';
    EXPECT_THROW(NTFSScanner::loadMFT(DataBlockReader(bytes), geometry), RecoverError);
}

// The same volume inside a partition table: ids and ranges carry the partition's offset.
class NTFSPartitionScan : public ::testing::TestWithParam<std::string> {};

TEST_P(NTFSPartitionScan, FindsDeletedFilesInsideThePartition) {
    TempDir dir;
    const fs::path part = dir / "part.img";
    if (!NtfsImage::format(part, 16 * 1024 * 1024, "-p 2048"))
        GTEST_SKIP() << "mkfs.ntfs is not available";
    const Bytes content = patternBytes(90000, 21, kPdfHeader);
    {
        NtfsMount mount(part, dir / "mnt");
        if (!mount.mounted())
            GTEST_SKIP() << "ntfs-3g could not mount the image (FUSE unavailable)";
        fs::create_directories(mount.root() / "Docs");
        writeFile(mount.root() / "Docs/a.pdf", std::string(content.begin(), content.end()));
        fs::remove(mount.root() / "Docs/a.pdf");
        ASSERT_TRUE(mount.unmount());
    }
    const fs::path disk = dir / "disk.img";
    if (!NtfsImage::embed(part, disk, GetParam(), 2048)) GTEST_SKIP() << "sfdisk is not available";
    const auto trip = roundTrip(disk, {{"Docs/a.pdf", sha256Of(content)}}, dir / "out");
    EXPECT_EQ(trip.mismatches, std::vector<std::string>{});
    EXPECT_EQ(trip.scan.filesystem, "NTFS");
    ASSERT_EQ(trip.scan.files.size(), 1u);
    EXPECT_EQ(trip.scan.files[0].id.rfind("ntfs-1048576-", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Tables, NTFSPartitionScan, ::testing::Values("dos", "gpt"));
