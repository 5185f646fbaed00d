#include "core/scan/NTFSScanner.hpp"

#include "core/engine/RecoveryEngine.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/NtfsImage.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <cerrno>
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

bool covered(const std::vector<ByteRange>& used, std::uint64_t offset) {
    return std::any_of(used.begin(), used.end(),
                       [&](const ByteRange& r) { return offset >= r.offset && offset < r.end(); });
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
            writeBytes(root / rel, content);
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
        if (std::getenv("NTFS_KEEP_IMAGE"))
            fs::copy_file(image_, std::getenv("NTFS_KEEP_IMAGE"),
                          fs::copy_options::overwrite_existing);
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

TEST_F(NTFSImageScan, DeletedFilesComeBackWithFoldersDatesAndBytes) {
    for (const auto& [path, want] : expected_) {
        SCOPED_TRACE(path);
        const RecoverableFile* file = byPath(path);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->name, fs::path(path).filename().string());
        EXPECT_EQ(file->size, want.content.size());
        EXPECT_TRUE(file->complete);
        EXPECT_EQ(file->confidence, RecoveryConfidence::named);
        ASSERT_TRUE(file->modified);
        EXPECT_DOUBLE_EQ(unixSeconds(*file->modified), static_cast<double>(want.mtime));
        EXPECT_TRUE(readRanges(*reader_, file->ranges) == want.content);
        EXPECT_EQ(file->id.rfind("ntfs-0-", 0), 0u);
    }
}

TEST_F(NTFSImageScan, KindsAndHeaders) {
    const auto* pdf = byPath("Docs/Reports/2024/report.pdf");
    ASSERT_NE(pdf, nullptr);
    EXPECT_EQ(pdf->kind, FileKind::pdf);
    EXPECT_EQ(pdf->category, FileCategory::document);
    const auto* txt = byPath("Docs/small.txt");
    ASSERT_NE(txt, nullptr);
    EXPECT_EQ(txt->kind, FileKind::other);
    EXPECT_EQ(txt->category, FileCategory::document);
    EXPECT_FALSE(txt->headerLooksValid);
}

TEST_F(NTFSImageScan, ResidentFilesAreDescribedInPlace) {
    const auto* notes = byPath("Docs/notes.txt");
    ASSERT_NE(notes, nullptr);
    // 500 bytes inside a 1 KiB record cross the first stride's end: three pieces.
    EXPECT_EQ(notes->ranges.size(), 3u);
    EXPECT_TRUE(covered(used_, notes->ranges.front().offset)); // the MFT is claimed
}

TEST_F(NTFSImageScan, FragmentedFilesKeepEveryRun) {
    const auto* frag = byPath("Frag/frag.jpg");
    ASSERT_NE(frag, nullptr);
    EXPECT_GT(frag->ranges.size(), 5u);
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

TEST_F(NTFSImageScan, RecycledFilesCarryTheirFormerPath) {
    const auto* file = byPath("Users/Ann/Pictures/beach2.jpg");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->name, "beach2.jpg");
    EXPECT_EQ(file->kind, FileKind::jpeg);
    EXPECT_TRUE(readRanges(*reader_, file->ranges) == recycled_.content);
    for (const auto& f : found_)
        EXPECT_EQ(f.name.find("$"), std::string::npos) << f.originalPath;
}

TEST_F(NTFSImageScan, FilesInUseAreClaimedNotListed) {
    EXPECT_EQ(byPath("kept.jpg"), nullptr);
    EXPECT_EQ(byPath("Docs/kept-too.txt"), nullptr);
    // kept.jpg's first cluster, found by its bytes, lies in a claimed range; deleted files' do not.
    const Bytes all = readRanges(*reader_, {{0, reader_->size()}});
    const Bytes head = patternBytes(64, 5, kJpegHeader);
    const auto at = std::search(all.begin(), all.end(), head.begin(), head.end());
    ASSERT_NE(at, all.end());
    EXPECT_TRUE(covered(used_, static_cast<std::uint64_t>(at - all.begin())));
    EXPECT_TRUE(covered(used_, 0));
    for (const auto& f : found_) {
        if (f.ranges.size() == 1 && f.size > 4096) {
            EXPECT_FALSE(covered(used_, f.ranges.front().offset)) << f.originalPath;
        }
    }
}

TEST_F(NTFSImageScan, TheDriverListsTheSameFiles) {
    const auto result = RecoveryEngine::scan(*reader_, ScanOptions{});
    EXPECT_EQ(result.filesystem, "NTFS");
    EXPECT_EQ(result.volumeCount, 1);
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_EQ(result.files.size(), found_.size());
}

TEST_F(NTFSImageScan, CategoryFilterAndCancellation) {
    ScanOptions photos;
    photos.categories = {FileCategory::photo};
    std::vector<RecoverableFile> sink;
    std::vector<ByteRange> used;
    NTFSScanner::scanVolume(*reader_, FoundVolume{0, VolumeKind::ntfs}, photos, sink, used);
    ASSERT_FALSE(sink.empty());
    for (const auto& f : sink)
        EXPECT_EQ(f.category, FileCategory::photo) << f.originalPath;

    ScanOptions stop;
    stop.isCancelled = [] { return true; };
    sink.clear();
    try {
        NTFSScanner::scanVolume(*reader_, FoundVolume{0, VolumeKind::ntfs}, stop, sink, used);
        FAIL() << "not cancelled";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::cancelled);
    }
}

TEST_F(NTFSImageScan, DamagedMFTRecordFallsBackToTheMirror) {
    Bytes bytes = readRanges(*reader_, {{0, reader_->size()}});
    const auto geometry = *NTFSGeometry::parse(bytes, 0);
    const std::uint64_t mft = geometry.mftCluster * geometry.clusterSize;
    bytes[mft] = 'X'; // record 0 no longer parses
    const DataBlockReader damaged(bytes);
    EXPECT_FALSE(NTFSScanner::loadMFT(damaged, geometry).runs.empty());
    std::vector<RecoverableFile> sink;
    std::vector<ByteRange> used;
    NTFSScanner::scanVolume(damaged, FoundVolume{0, VolumeKind::ntfs}, ScanOptions{}, sink, used);
    EXPECT_EQ(sink.size(), found_.size());
    // Both copies gone: the file table cannot be read.
    std::fill_n(bytes.begin() +
                    static_cast<std::ptrdiff_t>(geometry.mirrorCluster * geometry.clusterSize),
                4, 0);
    const DataBlockReader broken(bytes);
    try {
        NTFSScanner::loadMFT(broken, geometry);
        FAIL() << "loaded";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.errorDescription(), "The NTFS file table couldn't be read.");
    }
    bytes[3] = 'X';
    const DataBlockReader noBoot(bytes);
    try {
        NTFSScanner::scanVolume(noBoot, FoundVolume{0, VolumeKind::ntfs}, ScanOptions{}, sink,
                                used);
        FAIL() << "scanned";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.errorDescription(), "The NTFS boot sector is unreadable.");
    }
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
        writeBytes(mount.root() / "Docs/a.pdf", content);
        fs::remove(mount.root() / "Docs/a.pdf");
        ASSERT_TRUE(mount.unmount());
    }
    const fs::path disk = dir / "disk.img";
    if (!NtfsImage::embed(part, disk, GetParam(), 2048)) GTEST_SKIP() << "sfdisk is not available";
    const FileBlockReader reader(disk);
    const auto result = RecoveryEngine::scan(reader, ScanOptions{});
    EXPECT_EQ(result.filesystem, "NTFS");
    ASSERT_EQ(result.files.size(), 1u);
    const auto& file = result.files[0];
    EXPECT_EQ(file.originalPath, "Docs/a.pdf");
    EXPECT_EQ(file.id.rfind("ntfs-1048576-", 0), 0u);
    EXPECT_TRUE(readRanges(reader, file.ranges) == content);
}

INSTANTIATE_TEST_SUITE_P(Tables, NTFSPartitionScan, ::testing::Values("dos", "gpt"));

TEST_F(NTFSImageScan, CorruptedFileTablesNeverCrash) {
    const Bytes original = readRanges(*reader_, {{0, reader_->size()}});
    const auto geometry = *NTFSGeometry::parse(original, 0);
    const std::uint64_t mft = geometry.mftCluster * geometry.clusterSize;
    std::uint32_t x = 7;
    const auto next = [&] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    for (int round = 0; round < 8; ++round) {
        Bytes bytes = original;
        // Damage the first 200 records, sparing record 0 so the walk runs.
        for (int i = 0; i < 3000; ++i)
            bytes[mft + 1024 + next() % (199 * 1024)] = static_cast<std::uint8_t>(next());
        const DataBlockReader damaged(std::move(bytes));
        std::vector<RecoverableFile> sink;
        std::vector<ByteRange> used;
        try {
            NTFSScanner::scanVolume(damaged, FoundVolume{0, VolumeKind::ntfs}, ScanOptions{}, sink,
                                    used);
        } catch (const RecoverError&) {
        }
        for (const auto& f : sink)
            for (const auto& r : f.ranges)
                EXPECT_LE(r.end(), damaged.size());
    }
}
