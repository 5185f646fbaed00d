// Nothing may be written outside the chosen folder or over anything that exists, whatever the
// names on the source say and whatever was planted in the folder beforehand.
#include "core/restore/PhotoRestore.hpp"

#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

namespace vellary::testing {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

RestoreReport saveAll(const std::vector<RecoverableFile>& files, const fs::path& folder) {
    static const DataBlockReader reader(patterned(100));
    return PhotoRestore::save(files, reader, folder);
}

// Later ranges never shift into a gap an earlier one left; bad sectors become counted zeros.
TEST(PhotoRestore, SavesRangesInOrderAndReportsWhatTheSourceCutShort) {
    const Bytes source = patterned(64 * 1024);
    FaultyBlockReader reader(source, 4096);
    reader.failSector(12);
    TempDir dir;
    const std::vector<std::vector<ByteRange>> ranges = {{{40000, 5000}, {1000, 3000}},
                                                        {{45056, 8192}},
                                                        {{65000, 536}},
                                                        {{65000, 1000}, {5000, 100}},
                                                        {{UINT64_MAX - 5, 5}, {0, UINT64_MAX}}};
    std::vector<RecoverableFile> files;
    for (const auto& r : ranges)
        files.push_back(
            foundFile(std::to_string(files.size()), "DCIM/" + std::to_string(files.size()), r));
    const auto report = PhotoRestore::save(files, reader, dir / "out");
    ASSERT_EQ(report.saved.size(), 5u);
    EXPECT_EQ(report.saved[0].url, fs::canonical(dir / "out") / "DCIM/0");
    Bytes expected = slice(source, 40000, 5000), more = slice(source, 1000, 3000);
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(readBytes(report.saved[0].url), expected);
    expected = slice(source, 45056, 8192);
    std::fill_n(expected.begin() + 4096, 4096, 0);
    EXPECT_EQ(readBytes(report.saved[1].url), expected);
    EXPECT_EQ(report.saved[1].unreadableBytes, 4096u);
    for (std::size_t i = 0; i < files.size(); ++i)
        EXPECT_EQ(report.saved[i].incomplete(), i >= 3) << i;
}

TEST(PhotoRestore, NeverReplacesAndNumbersWhatClashes) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> files; // name, original path
        Names taken;                                            // files already in the folder
        std::set<std::string> tree;                             // what the folder holds afterwards
    };
    const std::vector<Case> cases = {
        {{{"IMG.JPG", "D/IMG.JPG"}, {"img.jpg", "D/img.jpg"}, {"IMG.JPG", "D/IMG.JPG"}},
         {},
         {"D/", "D/IMG.JPG", "D/img 2.jpg", "D/IMG 3.JPG"}},
        {{{"a.jpg", "a.jpg"}}, {"a.jpg", "a 2.jpg"}, {"a.jpg", "a 2.jpg", "a 3.jpg"}},
        {{{"", ""}, {"x.jpg", ""}, {"y.jpg", "../.."}, {"../..", ""}},
         {},
         {"RECOVERED.BIN", "x.jpg", "y.jpg", "RECOVERED 2.BIN"}},
        {{{"p", "../../etc/passwd"}, {"s", "/etc/shadow"}, {"d", ". . ./.. . ./ . . "}},
         {},
         {"etc/", "etc/passwd", "etc/shadow", "file/", "file/file/", "file/file/file"}}};
    for (const auto& [found, taken, tree] : cases) {
        TempDir dir;
        for (const auto& name : taken)
            writeFile(dir / name, "precious");
        std::vector<RecoverableFile> files;
        for (const auto& [name, path] : found)
            files.push_back(foundFile(name, path, {{0, 10}}));
        EXPECT_TRUE(saveAll(files, dir.path()).failed.empty());
        EXPECT_EQ(listTree(dir.path()), tree);
        for (const auto& name : taken)
            EXPECT_EQ(readFile(dir / name), "precious");
    }
}

TEST(PhotoRestore, AnyLinkInTheWayIsNeverFollowed) {
    TempDir base;
    // "chosen" is a prefix of "chosenelse": the inside check compares whole folder names.
    const fs::path root = base / "chosen", elsewhere = base / "chosenelse";
    for (const auto& folder : {root / "deep", root / "inside", elsewhere})
        fs::create_directories(folder);
    writeFile(elsewhere / "keep.txt", "untouched");
    fs::create_directory_symlink(elsewhere, root / "DCIM");
    fs::create_directory_symlink(elsewhere, root / "deep/100CANON");
    fs::create_directory_symlink(root / "inside", root / "alias"); // even one to a folder inside
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
        EXPECT_TRUE(failure.ends_with(": Refusing to save outside the folder you chose."))
            << failure;
    ASSERT_EQ(report.saved.size(), 1u);
    EXPECT_EQ(report.saved[0].name, "a 3.jpg");
    EXPECT_EQ(listTree(elsewhere), (std::set<std::string>{"keep.txt"}));
    EXPECT_TRUE(fs::is_empty(root / "inside"));
    EXPECT_FALSE(fs::exists(base / "nowhere"));
    // A chosen folder that is itself a link is resolved once.
    fs::create_directory_symlink(root, base / "shortcut");
    const auto viaLink = saveAll({foundFile("b.jpg", "x/b.jpg", {{0, 10}})}, base / "shortcut");
    ASSERT_EQ(viaLink.saved.size(), 1u);
    EXPECT_EQ(viaLink.saved[0].url, fs::canonical(root) / "x/b.jpg");
}

// A pulled card or a cancel ends the save; what was written stays.
TEST(PhotoRestore, ADisconnectedDiskOrCancellingEndsTheSave) {
    const Bytes source = patterned(100 * 1024);
    FaultyBlockReader reader(source, 512);
    reader.vanishAt(50 * 1024);
    const std::vector<RecoverableFile> files = {foundFile("one", "", {{0, 10 * 1024}}),
                                                foundFile("two", "", {{40 * 1024, 20 * 1024}}),
                                                foundFile("three", "", {{0, 1024}})};
    TempDir dir;
    int asked = 0;
    EXPECT_THROW(PhotoRestore::save(files, reader, dir / "a"), RecoverError);
    EXPECT_THROW(PhotoRestore::save(files, reader, dir / "b", {}, [&] { return ++asked > 1; }),
                 RecoverError);
    EXPECT_EQ(listTree(dir / "b"), (std::set<std::string>{"one"}));
    EXPECT_EQ(readBytes(dir / "a/one"), slice(source, 0, 10 * 1024));
    EXPECT_FALSE(fs::exists(dir / "a/three"));
}

TEST(PhotoRestore, TheTenThousandthAlternativeIsTheLast) {
    TempDir dir;
    writeFile(dir / "a.jpg", "0");
    for (int n = 2; n <= 9999; ++n)
        writeFile(dir / ("a " + std::to_string(n) + ".jpg"), "0");
    const auto file = foundFile("a.jpg", "", {{0, 10}});
    const auto report = saveAll({file}, dir.path());
    ASSERT_EQ(report.saved.size(), 1u);
    EXPECT_EQ(report.saved[0].name, "a 10000.jpg");
    EXPECT_EQ(saveAll({file}, dir.path()).failed.size(), 1u);
}

} // namespace
} // namespace vellary::testing
