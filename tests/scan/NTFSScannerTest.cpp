// Deleted files on NTFS volumes made by mkfs.ntfs and written through ntfs-3g.
#include "core/scan/NTFSScanner.hpp"
#include "core/engine/RecoveryEngine.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/restore/PhotoRestore.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/NtfsImage.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/ScanChecks.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>

using namespace vellary;
using namespace vellary::testing;
namespace fs = std::filesystem;

namespace {

const Bytes kJpegHeader = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01};
const Bytes kPdfHeader = {'%', 'P', 'D', 'F', '-', '1', '.', '4', '\n', '%', 0xE2, 0xE3};

void put(const fs::path& path, const Bytes& content, std::int64_t mtime) {
    fs::create_directories(path.parent_path());
    writeFile(path, std::string(content.begin(), content.end()));
    const timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// One ntfs-3g image: deleted files in nested and deleted folders, a resident file, a file
// scattered over freed holes, a recycle-bin entry and a file still in use.
class NTFSImageScan : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        const fs::path image = (*dir_) / "ntfs.img";
        if (!NtfsImage::format(image, 24 * 1024 * 1024)) return;
        NtfsMount mount(image, (*dir_) / "mnt");
        if (!mount.mounted()) return;
        const fs::path root = mount.root();
        const auto add = [&](const std::string& rel, Bytes content, std::int64_t mtime) {
            put(root / rel, content, mtime);
            originals_[rel] = {sha256Of(content), mtime};
        };
        // The volume filled with one-cluster files and every other one freed: the next write
        // scatters over the holes. (Folders first: a full volume has no room for them.)
        fs::create_directories(root / "Frag");
        fs::create_directories(root / "fill");
        int files = 0;
        for (const std::string block(4096, 'x'); files < 20000; ++files) {
            std::ofstream out(root / "fill" / std::to_string(files), std::ios::binary);
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
            out.close();
            if (!out) break;
        }
        for (int i = 1; i <= files; i += 2)
            fs::remove(root / "fill" / std::to_string(i));
        add("Frag/frag.jpg", patternBytes(600 * 4096 + 123, 11, kJpegHeader), 1600000000);
        fs::remove_all(root / "fill");
        add("Docs/Reports/2024/report.pdf", patternBytes(150000, 1, kPdfHeader), 1700000000);
        add("Docs/small.txt", patternBytes(300, 2), 1700000100);
        add("Docs/notes.txt", patternBytes(500, 3), 1700000200);
        add("Photos/Trip/beach.jpg", patternBytes(300000, 4, kJpegHeader), 1650000000);
        put(root / "kept.jpg", patternBytes(40000, 5, kJpegHeader), 1650000000);
        const fs::path bin = root / "$Recycle.Bin/S-1-5-21-1111-2222-3333-1001";
        const std::u16string former = u"C:\\Users\\Ann\\Pictures\\beach2.jpg";
        Bytes index(28, 0);
        index[0] = 2;
        putLE(index, 24, former.size() + 1, 4);
        for (const char16_t c : former + u'\0')
            appendLE(index, c, 2);
        put(bin / "$IABC123.jpg", index, 1700000300);
        const Bytes recycled = patternBytes(50000, 7, kJpegHeader);
        put(bin / "$RABC123.jpg", recycled, 1700000400);
        originals_["Users/Ann/Pictures/beach2.jpg"] = {sha256Of(recycled), 1700000400};
        for (const char* gone :
             {"Docs/Reports/2024/report.pdf", "Docs/small.txt", "Docs/notes.txt", "Photos", "Frag"})
            fs::remove_all(root / gone);
        fs::remove(bin / "$RABC123.jpg");
        if (mount.unmount()) reader_ = new FileBlockReader(image);
    }
    static void TearDownTestSuite() {
        delete reader_;
        delete dir_;
    }
    void SetUp() override {
        if (!reader_) GTEST_SKIP() << "mkfs.ntfs or ntfs-3g (FUSE) is unavailable";
    }

    static inline TempDir* dir_ = nullptr;
    static inline FileBlockReader* reader_ = nullptr;
    // path -> SHA-256 and modification time
    static inline std::map<std::string, std::pair<std::string, std::int64_t>> originals_;
};

TEST_F(NTFSImageScan, DeletedFilesComeBackByteExactWithFoldersAndDates) {
    const auto scan = RecoveryEngine::scan(*reader_, {});
    EXPECT_EQ(findByPath(scan.files, "kept.jpg"), nullptr); // in use
    for (const auto& [path, original] : originals_) {
        const RecoverableFile* file = findByPath(scan.files, path);
        ASSERT_EQ(std::ranges::count(scan.files, path, &RecoverableFile::originalPath), 1) << path;
        // A folder of its own, so the saved file is this one whatever name it is given.
        const auto report = PhotoRestore::save({*file}, *reader_, dir_->path() / "out" / path);
        ASSERT_EQ(report.saved.size(), 1u) << path;
        EXPECT_EQ(sha256(report.saved[0].url), original.first) << path;
        EXPECT_TRUE(file->complete) << path;
        EXPECT_EQ(file->confidence, RecoveryConfidence::named) << path;
        EXPECT_EQ(unixSeconds(file->modified.value_or(Date{})),
                  static_cast<double>(original.second))
            << path;
    }
    EXPECT_EQ(findByPath(scan.files, "Docs/notes.txt")->ranges.size(), 3u); // resident
    EXPECT_GT(findByPath(scan.files, "Frag/frag.jpg")->ranges.size(), 5u);
}

} // namespace
