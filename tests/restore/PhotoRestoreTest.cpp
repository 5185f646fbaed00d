#include "core/restore/PhotoRestore.hpp"

#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "core/restore/RecoveryNotes.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/SmallTmpfs.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>

namespace vellary {
namespace {

using testing::foundFile;
using testing::listTree;
using testing::patterned;
using testing::readBytes;
using testing::slice;
using testing::TempDir;

constexpr std::uint64_t MiB = 1024 * 1024;

struct Call {
    double fraction;
    std::string text;
};

// Records the largest single read, to show that memory stays at one chunk.
class CountingReader : public BlockReader {
public:
    explicit CountingReader(const BlockReader& inner) : inner_(inner) {}
    std::uint64_t size() const override { return inner_.size(); }
    Bytes read(std::uint64_t offset, std::int64_t count) const override {
        std::int64_t seen = largest_.load();
        while (count > seen && !largest_.compare_exchange_weak(seen, count)) {
        }
        return inner_.read(offset, count);
    }
    std::int64_t largest() const { return largest_.load(); }

private:
    const BlockReader& inner_;
    mutable std::atomic<std::int64_t> largest_{0};
};

TEST(PhotoRestore, CopiesEveryRangeInOrderWithItsFolders) {
    const Bytes source = patterned(64 * 1024);
    DataBlockReader reader(source);
    TempDir dir;
    auto fragmented = foundFile("IMG_0001.JPG", "DCIM/100CANON/IMG_0001.JPG",
                                {{40000, 5000}, {1000, 3000}, {20000, 1}});
    auto plain = foundFile("notes.txt", "notes.txt", {{0, 512}});
    std::vector<Call> calls;
    const auto report = PhotoRestore::save({fragmented, plain}, reader, dir / "out",
                                           [&](double fraction, const std::string& text) {
                                               calls.push_back({fraction, text});
                                           });

    ASSERT_TRUE(report.failed.empty());
    ASSERT_EQ(report.saved.size(), 2u);
    const auto& first = report.saved[0];
    EXPECT_EQ(first.name, "IMG_0001.JPG");
    EXPECT_EQ(first.url, std::filesystem::canonical(dir / "out") / "DCIM/100CANON/IMG_0001.JPG");
    EXPECT_EQ(first.bytes, 8001u);
    EXPECT_EQ(first.unreadableBytes, 0u);
    Bytes expected = slice(source, 40000, 5000);
    const Bytes second = slice(source, 1000, 3000);
    expected.insert(expected.end(), second.begin(), second.end());
    expected.push_back(source[20000]);
    EXPECT_EQ(readBytes(first.url), expected);
    EXPECT_EQ(readBytes(report.saved[1].url), slice(source, 0, 512));
    EXPECT_EQ(report.bytes(), 8001u + 512u);

    ASSERT_EQ(calls.size(), 3u);
    EXPECT_DOUBLE_EQ(calls[0].fraction, 0.0);
    EXPECT_EQ(calls[0].text, "IMG_0001.JPG");
    EXPECT_DOUBLE_EQ(calls[1].fraction, 8001.0 / 8513.0);
    EXPECT_EQ(calls[1].text, "notes.txt");
    EXPECT_DOUBLE_EQ(calls[2].fraction, 1.0);
    EXPECT_EQ(calls[2].text, "Saved 2 files");

    struct stat st {};
    ASSERT_EQ(::stat(first.url.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~static_cast<mode_t>(0022), 0644u & ~0022u);
    EXPECT_EQ(st.st_mode & 0133, 0u) << "never executable, never writable by others";
}

TEST(PhotoRestore, EmptyBatchAndSingleFileWording) {
    DataBlockReader reader(patterned(100));
    TempDir dir;
    std::vector<Call> calls;
    auto record = [&](double fraction, const std::string& text) {
        calls.push_back({fraction, text});
    };
    const auto empty = PhotoRestore::save({}, reader, dir / "empty", record);
    EXPECT_TRUE(empty.saved.empty());
    EXPECT_TRUE(empty.failed.empty());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_DOUBLE_EQ(calls[0].fraction, 1.0);
    EXPECT_EQ(calls[0].text, "Saved 0 files");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "empty"));

    calls.clear();
    PhotoRestore::save({foundFile("a.bin", "", {{0, 10}})}, reader, dir / "one", record);
    EXPECT_EQ(calls.back().text, "Saved 1 file");
}

TEST(PhotoRestore, NamesEqualButForCaseGetNumbered) {
    DataBlockReader reader(patterned(100));
    TempDir dir;
    const auto report =
        PhotoRestore::save({foundFile("IMG_0001.JPG", "DCIM/IMG_0001.JPG", {{0, 10}}),
                            foundFile("img_0001.jpg", "DCIM/img_0001.jpg", {{10, 10}}),
                            foundFile("IMG_0001.JPG", "DCIM/IMG_0001.JPG", {{20, 10}})},
                           reader, dir.path());
    ASSERT_EQ(report.saved.size(), 3u);
    EXPECT_EQ(report.saved[0].name, "IMG_0001.JPG");
    EXPECT_EQ(report.saved[1].name, "img_0001 2.jpg");
    EXPECT_EQ(report.saved[2].name, "IMG_0001 3.JPG");
    EXPECT_EQ(listTree(dir.path()),
              (std::set<std::string>{"DCIM/", "DCIM/IMG_0001.JPG", "DCIM/img_0001 2.jpg",
                                     "DCIM/IMG_0001 3.JPG"}));
}

TEST(PhotoRestore, AnExistingFileIsNeverReplaced) {
    DataBlockReader reader(patterned(100));
    TempDir dir;
    testing::writeFile(dir / "a.jpg", "precious");
    testing::writeFile(dir / "a 2.jpg", "also precious");
    // A dangling symbolic link counts as taken too.
    std::filesystem::create_symlink(dir / "nowhere", dir / "a 3.jpg");
    const auto report =
        PhotoRestore::save({foundFile("a.jpg", "a.jpg", {{0, 10}})}, reader, dir.path());
    ASSERT_EQ(report.saved.size(), 1u);
    EXPECT_EQ(report.saved[0].name, "a 4.jpg");
    EXPECT_EQ(testing::readFile(dir / "a.jpg"), "precious");
    EXPECT_EQ(testing::readFile(dir / "a 2.jpg"), "also precious");
    EXPECT_FALSE(std::filesystem::exists(dir / "nowhere"));
}

TEST(PhotoRestore, KeepsFoldersOrSavesFlat) {
    DataBlockReader reader(patterned(100));
    TempDir dir;
    auto withFolders = foundFile("IMG_0001.JPG", "DCIM/100CANON/IMG_0001.JPG", {{0, 10}});
    auto flat = withFolders;
    flat.originalPath = flat.name;
    PhotoRestore::save({withFolders}, reader, dir / "kept");
    PhotoRestore::save({flat}, reader, dir / "flat");
    EXPECT_TRUE(std::filesystem::is_regular_file(dir / "kept/DCIM/100CANON/IMG_0001.JPG"));
    EXPECT_EQ(listTree(dir / "flat"), (std::set<std::string>{"IMG_0001.JPG"}));
}

TEST(PhotoRestore, FallsBackToTheNameAndThenToRecoveredBin) {
    DataBlockReader reader(patterned(100));
    TempDir dir;
    const auto report = PhotoRestore::save(
        {foundFile("", "", {{0, 1}}), foundFile("x.jpg", "", {{0, 1}}),
         foundFile("y.jpg", "../..", {{0, 1}}), foundFile("../..", "", {{0, 1}})},
        reader, dir.path());
    ASSERT_EQ(report.saved.size(), 4u);
    EXPECT_EQ(report.saved[0].name, "RECOVERED.BIN");
    EXPECT_EQ(report.saved[1].name, "x.jpg");
    EXPECT_EQ(report.saved[2].name, "y.jpg");
    EXPECT_EQ(report.saved[3].name, "RECOVERED 2.BIN");
}

TEST(PhotoRestore, StopsAFileWhereTheSourceEnds) {
    const Bytes source = patterned(1000);
    DataBlockReader reader(source);
    TempDir dir;
    const auto report = PhotoRestore::save(
        {foundFile("beyond.bin", "", {{0, 100}, {5000, 100}}),
         // The source cuts the first range short; the second range must not be shifted in.
         foundFile("short.bin", "", {{900, 200}, {0, 50}})},
        reader, dir.path());
    ASSERT_TRUE(report.failed.empty());
    EXPECT_EQ(readBytes(report.saved[0].url), slice(source, 0, 100));
    EXPECT_EQ(readBytes(report.saved[1].url), slice(source, 900, 100));
    EXPECT_EQ(report.saved[1].bytes, 100u);
}

TEST(PhotoRestore, BadSectorsBecomeCountedZerosAndTheFileIsStillSaved) {
    const Bytes source = patterned(256 * 1024);
    testing::FaultyBlockReader reader(source, 4096);
    reader.failSector(10); // bytes 40960..45055
    reader.failSector(12);
    TempDir dir;
    auto file = foundFile("damaged.jpg", "DCIM/damaged.jpg", {{32768, 64 * 1024}});
    auto clean = foundFile("clean.jpg", "DCIM/clean.jpg", {{0, 4096}});
    const auto report = PhotoRestore::save({file, clean}, reader, dir.path());
    ASSERT_EQ(report.saved.size(), 2u);
    EXPECT_EQ(report.saved[0].unreadableBytes, 8192u);
    EXPECT_EQ(report.saved[0].bytes, 65536u);
    Bytes expected = slice(source, 32768, 65536);
    std::fill(expected.begin() + 8192, expected.begin() + 12288, 0);
    std::fill(expected.begin() + 16384, expected.begin() + 20480, 0);
    EXPECT_EQ(readBytes(report.saved[0].url), expected);
    EXPECT_EQ(report.saved[1].unreadableBytes, 0u);

    const auto note = RecoveryNotes::writeNotes(report, dir.path());
    ASSERT_TRUE(note);
    EXPECT_EQ(testing::readFile(*note),
              "Parts of these files couldn't be read from the disk and were filled with blanks. "
              "They may open with gaps or glitches:\n  damaged.jpg (8 KB unreadable)");
}

TEST(PhotoRestore, ADisconnectedDiskEndsTheWholeSaveAndKeepsWhatWasWritten) {
    const Bytes source = patterned(100 * 1024);
    testing::FaultyBlockReader reader(source, 512);
    reader.vanishAt(50 * 1024);
    TempDir dir;
    try {
        PhotoRestore::save({foundFile("one.jpg", "", {{0, 10 * 1024}}),
                            foundFile("two.jpg", "", {{40 * 1024, 20 * 1024}}),
                            foundFile("three.jpg", "", {{0, 1024}})},
                           reader, dir.path());
        FAIL() << "expected deviceGone";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::deviceGone);
    }
    EXPECT_EQ(readBytes(dir / "one.jpg"), slice(source, 0, 10 * 1024));
    EXPECT_FALSE(std::filesystem::exists(dir / "three.jpg"));
}

TEST(PhotoRestore, CancellingBetweenFilesKeepsTheFilesWritten) {
    DataBlockReader reader(patterned(1000));
    TempDir dir;
    int asked = 0;
    try {
        PhotoRestore::save(
            {foundFile("one.jpg", "", {{0, 10}}), foundFile("two.jpg", "", {{0, 10}})}, reader,
            dir.path(), {}, [&] { return ++asked > 1; });
        FAIL() << "expected cancelled";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::cancelled);
    }
    EXPECT_EQ(listTree(dir.path()), (std::set<std::string>{"one.jpg"}));
}

TEST(PhotoRestore, SetsTheFileDatesFromModified) {
    DataBlockReader reader(patterned(100));
    TempDir dir;
    auto dated = foundFile("dated.jpg", "", {{0, 10}});
    dated.modified = dateFromUnixSeconds(1262347445.25); // 2010-01-01 12:04:05.25 UTC
    auto undated = foundFile("undated.jpg", "", {{0, 10}});
    const auto report = PhotoRestore::save({dated, undated}, reader, dir.path());
    struct stat st {};
    ASSERT_EQ(::stat(report.saved[0].url.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1262347445);
    EXPECT_EQ(st.st_mtim.tv_nsec, 250000000);
    EXPECT_EQ(st.st_atim.tv_sec, 1262347445);
    ASSERT_EQ(::stat(report.saved[1].url.c_str(), &st), 0);
    EXPECT_GT(st.st_mtim.tv_sec, 1262347445 + 3600 * 24 * 365);
}

TEST(PhotoRestore, LargeFilesMoveInChunksOfAtMost8MiB) {
    const Bytes source = patterned(20 * MiB + 123);
    DataBlockReader data(source);
    CountingReader reader(data);
    TempDir dir;
    const auto report =
        PhotoRestore::save({foundFile("big.mov", "", {{100, 20 * MiB + 23}})}, reader, dir.path());
    ASSERT_EQ(report.saved.size(), 1u);
    EXPECT_EQ(report.saved[0].bytes, 20 * MiB + 23);
    EXPECT_EQ(readBytes(report.saved[0].url), slice(source, 100, 20 * MiB + 23));
    EXPECT_EQ(reader.largest(), static_cast<std::int64_t>(8 * MiB));
}

TEST(PhotoRestore, AFolderThatCannotBeCreatedStopsBeforeAnythingIsSaved) {
    DataBlockReader reader(patterned(100));
    TempDir dir;
    testing::writeFile(dir / "plain", "a file, not a folder");
    EXPECT_THROW(
        PhotoRestore::save({foundFile("a.jpg", "", {{0, 10}})}, reader, dir / "plain" / "out"),
        RecoverError);
    EXPECT_EQ(testing::readFile(dir / "plain"), "a file, not a folder");
}

TEST(PhotoRestore, AParentFolderThatCannotBeCreatedFailsOnlyThatFile) {
    DataBlockReader reader(patterned(100));
    TempDir dir;
    testing::writeFile(dir / "DCIM", "in the way");
    const auto report = PhotoRestore::save({foundFile("IMG.JPG", "DCIM/IMG.JPG", {{0, 10}}),
                                            foundFile("other.jpg", "other.jpg", {{0, 10}})},
                                           reader, dir.path());
    ASSERT_EQ(report.failed.size(), 1u);
    EXPECT_EQ(report.failed[0], "IMG.JPG: Couldn't create DCIM. Not a directory");
    ASSERT_EQ(report.saved.size(), 1u);
    EXPECT_EQ(report.saved[0].name, "other.jpg");
    EXPECT_EQ(testing::readFile(dir / "DCIM"), "in the way");
}

TEST(PhotoRestore, TheTenThousandthAlternativeIsTheLast) {
    DataBlockReader reader(patterned(100));
    TempDir dir;
    testing::writeFile(dir / "a.jpg", "0");
    for (int n = 2; n <= 9999; ++n)
        testing::writeFile(dir / ("a " + std::to_string(n) + ".jpg"), "0");
    auto file = foundFile("a.jpg", "", {{0, 10}});
    auto report = PhotoRestore::save({file}, reader, dir.path());
    ASSERT_EQ(report.saved.size(), 1u);
    EXPECT_EQ(report.saved[0].name, "a 10000.jpg");

    // With that one taken as well there is nowhere left: the file fails, nothing is replaced.
    report = PhotoRestore::save({file}, reader, dir.path());
    EXPECT_TRUE(report.saved.empty());
    ASSERT_EQ(report.failed.size(), 1u);
    EXPECT_EQ(report.failed[0], "a.jpg: Couldn't create a 10000.jpg. File exists");
    EXPECT_EQ(testing::readFile(dir / "a 9999.jpg"), "0");
    EXPECT_EQ(listTree(dir.path()).size(), 10000u);
}

TEST(PhotoRestore, AFullDiskFailsTheFilesThatDoNotFit) {
    testing::SmallTmpfs disk(1 * MiB);
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    const Bytes source = patterned(3 * MiB);
    DataBlockReader reader(source);
    const auto report = PhotoRestore::save(
        {foundFile("small.jpg", "", {{0, 4096}}), foundFile("huge.mov", "", {{0, 2 * MiB}})},
        reader, disk.path() / "out");
    ASSERT_EQ(report.saved.size(), 1u);
    EXPECT_EQ(readBytes(report.saved[0].url), slice(source, 0, 4096));
    ASSERT_EQ(report.failed.size(), 1u);
    EXPECT_EQ(report.failed[0], "huge.mov: Couldn't write huge.mov. No space left on device");
}

} // namespace
} // namespace vellary
