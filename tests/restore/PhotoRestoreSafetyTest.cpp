// Nothing may be written outside the chosen folder or over anything that exists, whatever the
// names on the source say and whatever was planted in the folder beforehand.
#include "core/restore/PhotoRestore.hpp"

#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

namespace vellary {
namespace {

namespace fs = std::filesystem;
using testing::foundFile;
using testing::listTree;
using testing::patterned;
using testing::TempDir;

constexpr const char* kOutside = "Refusing to save outside the folder you chose.";

struct Planted {
    TempDir base;
    fs::path root = base / "chosen";
    fs::path elsewhere = base / "elsewhere";
    Planted() {
        fs::create_directories(root);
        fs::create_directories(elsewhere);
        testing::writeFile(elsewhere / "keep.txt", "untouched");
    }
};

TEST(PhotoRestoreSafety, APlantedLinkToAFolderOutsideCreatesNothingThere) {
    Planted setup;
    fs::create_directory_symlink(setup.elsewhere, setup.root / "DCIM");
    DataBlockReader reader(patterned(100));
    const auto report =
        PhotoRestore::save({foundFile("IMG_0001.JPG", "DCIM/100CANON/IMG_0001.JPG", {{0, 10}}),
                            foundFile("IMG_0002.JPG", "DCIM/IMG_0002.JPG", {{0, 10}}),
                            foundFile("safe.jpg", "safe.jpg", {{0, 10}})},
                           reader, setup.root);
    ASSERT_EQ(report.failed.size(), 2u);
    EXPECT_EQ(report.failed[0], std::string("IMG_0001.JPG: ") + kOutside);
    EXPECT_EQ(report.failed[1], std::string("IMG_0002.JPG: ") + kOutside);
    ASSERT_EQ(report.saved.size(), 1u);
    // Not even an empty folder appeared at the link's target.
    EXPECT_EQ(listTree(setup.elsewhere), (std::set<std::string>{"keep.txt"}));
    EXPECT_EQ(testing::readFile(setup.elsewhere / "keep.txt"), "untouched");
}

TEST(PhotoRestoreSafety, ALinkDeeperInTheTreeIsRefusedToo) {
    Planted setup;
    fs::create_directories(setup.root / "DCIM");
    fs::create_directory_symlink(setup.elsewhere, setup.root / "DCIM/100CANON");
    // A link to a folder inside the chosen one is refused as well: links are never followed.
    fs::create_directories(setup.root / "inside");
    fs::create_directory_symlink(setup.root / "inside", setup.root / "alias");
    DataBlockReader reader(patterned(100));
    const auto report =
        PhotoRestore::save({foundFile("a.jpg", "DCIM/100CANON/deeper/a.jpg", {{0, 10}}),
                            foundFile("b.jpg", "alias/b.jpg", {{0, 10}})},
                           reader, setup.root);
    ASSERT_EQ(report.failed.size(), 2u);
    EXPECT_EQ(report.failed[0], std::string("a.jpg: ") + kOutside);
    EXPECT_EQ(report.failed[1], std::string("b.jpg: ") + kOutside);
    EXPECT_EQ(listTree(setup.elsewhere), (std::set<std::string>{"keep.txt"}));
    EXPECT_TRUE(fs::is_empty(setup.root / "inside"));
}

TEST(PhotoRestoreSafety, AFileLinkAtTheNameItselfIsNeverWrittenThrough) {
    Planted setup;
    fs::create_symlink(setup.elsewhere / "keep.txt", setup.root / "a.jpg");
    DataBlockReader reader(patterned(100));
    const auto report =
        PhotoRestore::save({foundFile("a.jpg", "a.jpg", {{0, 10}})}, reader, setup.root);
    ASSERT_EQ(report.saved.size(), 1u);
    EXPECT_EQ(report.saved[0].name, "a 2.jpg");
    EXPECT_EQ(testing::readFile(setup.elsewhere / "keep.txt"), "untouched");
}

TEST(PhotoRestoreSafety, AChosenFolderThatIsItselfALinkIsResolvedOnce) {
    Planted setup;
    fs::create_directory_symlink(setup.root, setup.base / "shortcut");
    DataBlockReader reader(patterned(100));
    const auto report = PhotoRestore::save({foundFile("a.jpg", "x/a.jpg", {{0, 10}})}, reader,
                                           setup.base / "shortcut");
    ASSERT_EQ(report.saved.size(), 1u);
    EXPECT_EQ(report.saved[0].url, fs::canonical(setup.root) / "x/a.jpg");
    EXPECT_TRUE(fs::is_regular_file(setup.root / "x/a.jpg"));
}

TEST(PhotoRestoreSafety, HostileNamesStayInsideTheFolder) {
    Planted setup;
    DataBlockReader reader(patterned(100));
    std::string longName;
    for (int i = 0; i < 300; ++i)
        longName += (i % 3 == 0) ? "e\u0301" : "\U0001F600";
    const std::vector<std::pair<std::string, std::string>> hostile = {
        {"passwd", "../../etc/passwd"},
        {"abs", "/etc/shadow"},
        {"back", "..\\..\\..\\windows\\system.ini"},
        {"ctl", std::string("dir\x01/na\nme\x7f.jpg")},
        {"dots", ". . ./.. . ./ . . "},
        {"long", longName + ".jpg"},
        {"deep", "../elsewhere/keep.txt"},
        {"colon", "C:\\Users\\me\\photo.jpg"},
    };
    std::vector<RecoverableFile> files;
    for (const auto& [name, path] : hostile)
        files.push_back(foundFile(name, path, {{0, 10}}));
    const auto report = PhotoRestore::save(files, reader, setup.root);
    EXPECT_TRUE(report.failed.empty());
    ASSERT_EQ(report.saved.size(), hostile.size());
    const fs::path root = fs::canonical(setup.root);
    for (const auto& saved : report.saved) {
        const std::string path = fs::canonical(saved.url).string();
        EXPECT_TRUE(path.starts_with(root.string() + "/")) << path;
        EXPECT_LE(saved.name.size(), 255u);
        EXPECT_FALSE(saved.name.empty());
    }
    EXPECT_EQ(report.saved[0].url, root / "etc/passwd");
    EXPECT_EQ(report.saved[1].url, root / "etc/shadow");
    EXPECT_EQ(report.saved[2].url, root / "windows/system.ini");
    EXPECT_EQ(report.saved[3].url, root / "dir_/na_me\x7f.jpg");
    EXPECT_EQ(report.saved[4].url, root / "file/file/file");
    EXPECT_EQ(report.saved[6].url, root / "elsewhere/keep.txt");
    EXPECT_EQ(report.saved[7].url, root / "C_/Users/me/photo.jpg");
    EXPECT_EQ(listTree(setup.elsewhere), (std::set<std::string>{"keep.txt"}));
    EXPECT_EQ(listTree(setup.base.path()).count("etc/"), 0u);
}

TEST(PhotoRestoreSafety, InsideCheckComparesWholeFolderNames) {
    TempDir dir;
    fs::create_directories(dir / "a/b/c");
    fs::create_directories(dir / "a/bc");
    EXPECT_NO_THROW(PhotoRestore::assertInside(dir / "a/b", dir / "a/b"));
    EXPECT_NO_THROW(PhotoRestore::assertInside(dir / "a/b", dir / "a/b/c"));
    EXPECT_NO_THROW(PhotoRestore::assertInside("/", dir / "a"));
    EXPECT_THROW(PhotoRestore::assertInside(dir / "a/b", dir / "a/bc"), RecoverError);
    EXPECT_THROW(PhotoRestore::assertInside(dir / "a/b", dir / "a"), RecoverError);
    // Paths that do not exist are compared after textual normalisation.
    EXPECT_THROW(PhotoRestore::assertInside(dir / "a/b", dir / "a/b/missing/../../x"),
                 RecoverError);
    EXPECT_NO_THROW(PhotoRestore::assertInside(dir / "a/b", dir / "a/b/missing/../y"));
    // A link inside that resolves outside is caught by the check as well.
    fs::create_directory_symlink(dir / "a/bc", dir / "a/b/link");
    try {
        PhotoRestore::assertInside(dir / "a/b", dir / "a/b/link");
        FAIL() << "expected a refusal";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.errorDescription(), kOutside);
    }
}

} // namespace
} // namespace vellary
