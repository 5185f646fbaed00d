// Nothing may be written outside the chosen folder or over anything that exists, whatever the
// names on the source say and whatever was planted in the folder beforehand.
#include "core/restore/PhotoRestore.hpp"

#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/SmallTmpfs.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>

namespace vellary {
namespace {

namespace fs = std::filesystem;
using testing::foundFile;
using testing::listTree;
using testing::patterned;
using testing::readBytes;
using testing::slice;
using testing::TempDir;

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr const char* kOutside = "Refusing to save outside the folder you chose.";

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

RestoreReport saveAll(const std::vector<RecoverableFile>& files, const fs::path& folder) {
    static const DataBlockReader reader(patterned(100));
    return PhotoRestore::save(files, reader, folder);
}

TEST(PhotoRestore, CopiesEveryRangeInOrderWithItsFoldersAndReportsProgress) {
    const Bytes source = patterned(64 * 1024);
    DataBlockReader reader(source);
    TempDir dir;
    std::vector<std::pair<double, std::string>> calls;
    const auto report =
        PhotoRestore::save({foundFile("IMG_0001.JPG", "DCIM/100CANON/IMG_0001.JPG",
                                      {{40000, 5000}, {1000, 3000}, {20000, 1}}),
                            foundFile("notes.txt", "notes.txt", {{0, 512}})},
                           reader, dir / "out",
                           [&](double f, const std::string& text) { calls.emplace_back(f, text); });
    ASSERT_TRUE(report.failed.empty());
    ASSERT_EQ(report.saved.size(), 2u);
    const auto& first = report.saved[0];
    EXPECT_EQ(first.url, fs::canonical(dir / "out") / "DCIM/100CANON/IMG_0001.JPG");
    EXPECT_EQ(first.bytes, 8001u);
    EXPECT_FALSE(first.incomplete());
    Bytes expected = slice(source, 40000, 5000);
    const Bytes second = slice(source, 1000, 3000);
    expected.insert(expected.end(), second.begin(), second.end());
    expected.push_back(source[20000]);
    EXPECT_EQ(readBytes(first.url), expected);
    EXPECT_EQ(readBytes(report.saved[1].url), slice(source, 0, 512));
    EXPECT_EQ(report.bytes(), 8001u + 512u);
    EXPECT_EQ(calls,
              (std::vector<std::pair<double, std::string>>{
                  {0.0, "IMG_0001.JPG"}, {8001.0 / 8513.0, "notes.txt"}, {1.0, "Saved 2 files"}}));
    struct stat st {};
    ASSERT_EQ(::stat(first.url.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0133, 0u) << "never executable, never writable by others";
}

// The source ends inside these files: what there is gets saved, reported as cut short.
TEST(PhotoRestore, AFileTheSourceCutsShortIsReportedIncomplete) {
    const Bytes source = patterned(1000);
    DataBlockReader reader(source);
    TempDir dir;
    const auto report =
        PhotoRestore::save({foundFile("beyond.bin", "", {{0, 100}, {5000, 100}}),
                            // The second range must not be shifted into the gap the first one left.
                            foundFile("short.bin", "", {{900, 200}, {0, 50}}),
                            foundFile("huge.bin", "", {{UINT64_MAX - 5, 5}, {0, UINT64_MAX}}),
                            foundFile("whole.bin", "", {{990, 10}})},
                           reader, dir.path());
    ASSERT_TRUE(report.failed.empty());
    ASSERT_EQ(report.saved.size(), 4u);
    EXPECT_EQ(readBytes(report.saved[0].url), slice(source, 0, 100));
    EXPECT_EQ(report.saved[0].missingBytes, 100u);
    EXPECT_EQ(readBytes(report.saved[1].url), slice(source, 900, 100));
    EXPECT_EQ(report.saved[1].bytes, 100u);
    EXPECT_EQ(report.saved[1].missingBytes, 150u);
    EXPECT_TRUE(report.saved[2].incomplete());
    EXPECT_EQ(report.saved[2].bytes, 0u);
    EXPECT_FALSE(report.saved[3].incomplete());
}

struct NamingCase {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files; // name, original path
    std::vector<std::string> taken;                         // files already in the folder
    std::set<std::string> tree;                             // what the folder holds afterwards
};

class PhotoRestoreNaming : public ::testing::TestWithParam<NamingCase> {};

TEST_P(PhotoRestoreNaming, NeverReplacesAndNumbersWhatClashes) {
    TempDir dir;
    for (const auto& name : GetParam().taken)
        testing::writeFile(dir / name, "precious");
    std::vector<RecoverableFile> files;
    for (const auto& [name, path] : GetParam().files)
        files.push_back(foundFile(name, path, {{0, 10}}));
    const auto report = saveAll(files, dir.path());
    EXPECT_TRUE(report.failed.empty());
    EXPECT_EQ(listTree(dir.path()), GetParam().tree);
    for (const auto& name : GetParam().taken)
        EXPECT_EQ(testing::readFile(dir / name), "precious");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PhotoRestoreNaming,
    ::testing::Values(
        NamingCase{"caseFolded",
                   {{"IMG_0001.JPG", "DCIM/IMG_0001.JPG"},
                    {"img_0001.jpg", "DCIM/img_0001.jpg"},
                    {"IMG_0001.JPG", "DCIM/IMG_0001.JPG"}},
                   {},
                   {"DCIM/", "DCIM/IMG_0001.JPG", "DCIM/img_0001 2.jpg", "DCIM/IMG_0001 3.JPG"}},
        NamingCase{"existing",
                   {{"a.jpg", "a.jpg"}},
                   {"a.jpg", "a 2.jpg"},
                   {"a.jpg", "a 2.jpg", "a 3.jpg"}},
        NamingCase{"flatWithoutPath", {{"IMG.JPG", "IMG.JPG"}}, {}, {"IMG.JPG"}},
        NamingCase{"fallbacks",
                   {{"", ""}, {"x.jpg", ""}, {"y.jpg", "../.."}, {"../..", ""}},
                   {},
                   {"RECOVERED.BIN", "x.jpg", "y.jpg", "RECOVERED 2.BIN"}},
        // How each part is cleaned is the output path's test; here that it all stays inside.
        NamingCase{"hostilePaths",
                   {{"p", "../../etc/passwd"}, {"s", "/etc/shadow"}, {"d", ". . ./.. . ./ . . "}},
                   {},
                   {"etc/", "etc/passwd", "etc/shadow", "file/", "file/file/", "file/file/file"}}),
    [](const auto& c) { return std::string(c.param.what); });

TEST(PhotoRestore, AnyLinkInTheWayIsNeverFollowed) {
    TempDir base;
    const fs::path root = base / "chosen";
    const fs::path elsewhere = base / "elsewhere";
    fs::create_directories(root / "deep");
    fs::create_directories(root / "inside");
    fs::create_directories(elsewhere);
    testing::writeFile(elsewhere / "keep.txt", "untouched");
    fs::create_directory_symlink(elsewhere, root / "DCIM");
    fs::create_directory_symlink(elsewhere, root / "deep/100CANON");
    // Even a link to a folder inside the chosen one.
    fs::create_directory_symlink(root / "inside", root / "alias");
    fs::create_symlink(elsewhere / "keep.txt", root / "a.jpg");
    fs::create_symlink(base / "nowhere", root / "a 2.jpg");
    const auto report = saveAll({foundFile("1.JPG", "DCIM/100CANON/1.JPG", {{0, 10}}),
                                 foundFile("2.JPG", "DCIM/2.JPG", {{0, 10}}),
                                 foundFile("3.jpg", "deep/100CANON/x/3.jpg", {{0, 10}}),
                                 foundFile("4.jpg", "alias/4.jpg", {{0, 10}}),
                                 foundFile("a.jpg", "a.jpg", {{0, 10}})},
                                root);
    ASSERT_EQ(report.failed.size(), 4u);
    for (const auto& failure : report.failed)
        EXPECT_TRUE(failure.ends_with(std::string(": ") + kOutside)) << failure;
    ASSERT_EQ(report.saved.size(), 1u);
    EXPECT_EQ(report.saved[0].name, "a 3.jpg");
    EXPECT_EQ(listTree(elsewhere), (std::set<std::string>{"keep.txt"}));
    EXPECT_EQ(testing::readFile(elsewhere / "keep.txt"), "untouched");
    EXPECT_TRUE(fs::is_empty(root / "inside"));
    EXPECT_FALSE(fs::exists(base / "nowhere"));

    // A chosen folder that is itself a link is resolved once.
    fs::create_directory_symlink(root, base / "shortcut");
    const auto viaLink = saveAll({foundFile("b.jpg", "x/b.jpg", {{0, 10}})}, base / "shortcut");
    ASSERT_EQ(viaLink.saved.size(), 1u);
    EXPECT_EQ(viaLink.saved[0].url, fs::canonical(root) / "x/b.jpg");
}

TEST(PhotoRestore, InsideCheckComparesWholeFolderNames) {
    TempDir dir;
    fs::create_directories(dir / "a/b/c");
    fs::create_directories(dir / "a/bc");
    fs::create_directory_symlink(dir / "a/bc", dir / "a/b/link");
    const std::vector<std::pair<fs::path, bool>> cases = {
        {dir / "a/b", true},
        {dir / "a/b/c", true},
        {dir / "a/bc", false},
        {dir / "a", false},
        {dir / "a/b/link", false},
        // Paths that do not exist are compared after textual normalisation.
        {dir / "a/b/missing/../../x", false},
        {dir / "a/b/missing/../y", true}};
    for (const auto& [folder, inside] : cases) {
        if (inside)
            EXPECT_NO_THROW(PhotoRestore::assertInside(dir / "a/b", folder)) << folder;
        else
            EXPECT_THROW(PhotoRestore::assertInside(dir / "a/b", folder), RecoverError) << folder;
    }
    EXPECT_NO_THROW(PhotoRestore::assertInside("/", dir / "a"));
}

TEST(PhotoRestore, BadSectorsBecomeCountedZerosAndTheFileIsStillSaved) {
    const Bytes source = patterned(256 * 1024);
    testing::FaultyBlockReader reader(source, 4096);
    reader.failSector(10); // bytes 40960..45055
    reader.failSector(12);
    TempDir dir;
    const auto report = PhotoRestore::save({foundFile("damaged.jpg", "", {{32768, 64 * 1024}}),
                                            foundFile("clean.jpg", "", {{0, 4096}})},
                                           reader, dir.path());
    ASSERT_EQ(report.saved.size(), 2u);
    EXPECT_EQ(report.saved[0].unreadableBytes, 8192u);
    EXPECT_EQ(report.saved[0].bytes, 65536u);
    EXPECT_FALSE(report.saved[0].incomplete());
    Bytes expected = slice(source, 32768, 65536);
    std::fill(expected.begin() + 8192, expected.begin() + 12288, 0);
    std::fill(expected.begin() + 16384, expected.begin() + 20480, 0);
    EXPECT_EQ(readBytes(report.saved[0].url), expected);
    EXPECT_EQ(report.saved[1].unreadableBytes, 0u);
}

TEST(PhotoRestore, ADisconnectedDiskOrCancellingEndsTheSaveAndKeepsWhatWasWritten) {
    const Bytes source = patterned(100 * 1024);
    testing::FaultyBlockReader reader(source, 512);
    reader.vanishAt(50 * 1024);
    const std::vector<RecoverableFile> files = {foundFile("one.jpg", "", {{0, 10 * 1024}}),
                                                foundFile("two.jpg", "", {{40 * 1024, 20 * 1024}}),
                                                foundFile("three.jpg", "", {{0, 1024}})};
    TempDir dir;
    try {
        PhotoRestore::save(files, reader, dir / "gone");
        FAIL() << "expected deviceGone";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::deviceGone);
    }
    EXPECT_EQ(readBytes(dir / "gone/one.jpg"), slice(source, 0, 10 * 1024));
    EXPECT_FALSE(fs::exists(dir / "gone/three.jpg"));

    int asked = 0;
    try {
        PhotoRestore::save(files, reader, dir / "stop", {}, [&] { return ++asked > 1; });
        FAIL() << "expected cancelled";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.kind(), RecoverError::Case::cancelled);
    }
    EXPECT_EQ(listTree(dir / "stop"), (std::set<std::string>{"one.jpg"}));
}

TEST(PhotoRestore, SetsTheFileDatesFromModified) {
    TempDir dir;
    auto dated = foundFile("dated.jpg", "", {{0, 10}});
    dated.modified = dateFromUnixSeconds(1262347445.25); // 2010-01-01 12:04:05.25 UTC
    const auto report = saveAll({dated, foundFile("undated.jpg", "", {{0, 10}})}, dir.path());
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
    EXPECT_EQ(readBytes(report.saved[0].url), slice(source, 100, 20 * MiB + 23));
    EXPECT_EQ(reader.largest(), static_cast<std::int64_t>(8 * MiB));
}

TEST(PhotoRestore, FoldersThatCannotBeCreatedStopTheSaveOrFailOneFile) {
    TempDir dir;
    testing::writeFile(dir / "plain", "a file, not a folder");
    EXPECT_THROW(saveAll({foundFile("a.jpg", "", {{0, 10}})}, dir / "plain" / "out"), RecoverError);
    testing::writeFile(dir / "DCIM", "in the way");
    const auto report = saveAll({foundFile("IMG.JPG", "DCIM/IMG.JPG", {{0, 10}}),
                                 foundFile("other.jpg", "other.jpg", {{0, 10}})},
                                dir.path());
    EXPECT_EQ(report.failed,
              (std::vector<std::string>{"IMG.JPG: Couldn't create DCIM. Not a directory"}));
    ASSERT_EQ(report.saved.size(), 1u);
    EXPECT_EQ(testing::readFile(dir / "DCIM"), "in the way");
    EXPECT_EQ(testing::readFile(dir / "plain"), "a file, not a folder");
}

TEST(PhotoRestore, TheTenThousandthAlternativeIsTheLast) {
    TempDir dir;
    testing::writeFile(dir / "a.jpg", "0");
    for (int n = 2; n <= 9999; ++n)
        testing::writeFile(dir / ("a " + std::to_string(n) + ".jpg"), "0");
    const auto file = foundFile("a.jpg", "", {{0, 10}});
    auto report = saveAll({file}, dir.path());
    ASSERT_EQ(report.saved.size(), 1u);
    EXPECT_EQ(report.saved[0].name, "a 10000.jpg");
    // With that one taken as well there is nowhere left: the file fails, nothing is replaced.
    report = saveAll({file}, dir.path());
    EXPECT_EQ(report.failed,
              (std::vector<std::string>{"a.jpg: Couldn't create a 10000.jpg. File exists"}));
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
    EXPECT_EQ(report.failed, (std::vector<std::string>{
                                 "huge.mov: Couldn't write huge.mov. No space left on device"}));
}

} // namespace
} // namespace vellary
