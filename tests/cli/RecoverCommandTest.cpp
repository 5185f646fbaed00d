#include "tests/support/CliRun.hpp"
#include "tests/support/DeletedFilesCard.hpp"
#include "tests/support/LoopDisk.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/SmallTmpfs.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace vellary::testing {
namespace {

namespace fs = std::filesystem;

std::multiset<std::string> hashesBelow(const fs::path& root) {
    std::multiset<std::string> hashes;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file() && entry.path().filename() != "About these files.txt")
            hashes.insert(sha256(entry.path()));
    return hashes;
}

class RecoverCommand : public ::testing::Test {
protected:
    void SetUp() override {
        card_ = DeletedFilesCard::build(dir_.path());
        if (!card_) GTEST_SKIP() << "mkfs.fat, mtools or ImageMagick missing";
        sourceHash_ = sha256(card_->image);
    }
    void TearDown() override {
        if (card_) {
            EXPECT_EQ(sha256(card_->image), sourceHash_) << "the source was written";
        }
    }
    std::string image() const { return shellQuote(card_->image.string()); }
    std::string folder(const std::string& name) const { return shellQuote((dir_ / name).string()); }

    TempDir dir_;
    std::optional<DeletedFilesCard> card_;
    std::string sourceHash_;
};

// The bytes are compared in the restore's end-to-end test; here what the command adds.
TEST_F(RecoverCommand, SavesEveryFileWithItsFoldersOrFlatAndNumbersRatherThanReplaces) {
    const auto result = runCli("recover " + image() + " " + folder("out"));
    ASSERT_EQ(result.status, 0) << result.err;
    const auto count = card_->originals.size();
    EXPECT_NE(result.out.find("Saved " + std::to_string(count) + " files"), std::string::npos)
        << result.out;
    EXPECT_EQ(hashesBelow(dir_ / "out").size(), count);
    EXPECT_TRUE(fs::is_directory(dir_ / "out/DCIM/100CANON"));
    EXPECT_FALSE(fs::exists(dir_ / "out/About these files.txt"));
    // Again into the same folder: nothing is replaced, every file gets a numbered name.
    ASSERT_EQ(runCli("recover " + image() + " " + folder("out")).status, 0);
    EXPECT_EQ(hashesBelow(dir_ / "out").size(), 2 * count);

    ASSERT_EQ(runCli("recover " + image() + " " + folder("flat") + " --flat").status, 0);
    for (const auto& entry : fs::directory_iterator(dir_ / "flat"))
        EXPECT_TRUE(entry.is_regular_file()) << entry.path();
    EXPECT_EQ(listTree(dir_ / "flat").size(), count);
}

TEST_F(RecoverCommand, ChoosesFilesByIdAndCategory) {
    const auto scan = runCli("scan " + image() + " --json");
    ASSERT_EQ(scan.status, 0) << scan.err;
    const auto doc = nlohmann::json::parse(scan.out);
    std::vector<std::string> photoIds;
    for (const auto& file : doc["files"])
        if (file["category"] == "photo") photoIds.push_back(file["id"]);
    ASSERT_GE(photoIds.size(), 2u);

    // Repeated or comma-separated; never an argument that merely looks like an id.
    const auto two = runCli("recover " + image() + " " + folder("two") + " --id " + photoIds[0] +
                            " --id=" + photoIds[1]);
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(hashesBelow(dir_ / "two").size(), 2u);
    const auto listed = runCli("recover " + image() + " " + folder("listed") + " --id " +
                               photoIds[0] + "," + photoIds[1]);
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(hashesBelow(dir_ / "listed").size(), 2u);
    EXPECT_EQ(runCli("recover " + image() + " " + folder("greedy") + " --id " + photoIds[0] + " " +
                     photoIds[1])
                  .status,
              2);
    EXPECT_FALSE(fs::exists(dir_ / "greedy"));

    const auto documents =
        runCli("recover " + image() + " " + folder("docs") + " --category document");
    ASSERT_EQ(documents.status, 0) << documents.err;
    EXPECT_EQ(hashesBelow(dir_ / "docs"),
              (std::multiset<std::string>{card_->originals.at("Documents/notes.txt")}));

    const auto unknown = runCli("recover " + image() + " " + folder("none") + " --id fat-1-2");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("fat-1-2"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ / "none"));
}

TEST_F(RecoverCommand, RefusesAFolderWithoutEnoughRoom) {
    SmallTmpfs small(1024 * 1024);
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    const auto result =
        runCli("recover " + image() + " " + shellQuote((small.path() / "out").string()));
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("That folder doesn't have enough free space. Recovery needs about"),
              std::string::npos)
        << result.err;
    EXPECT_TRUE(fs::is_empty(small.path()));
}

TEST_F(RecoverCommand, FilesThatCannotBeSavedAreListedInTheNote) {
    fs::create_directories(dir_ / "out");
    fs::create_directories(dir_ / "elsewhere");
    fs::create_directory_symlink(dir_ / "elsewhere", dir_ / "out/DCIM");
    const auto result = runCli("recover " + image() + " " + folder("out"));
    EXPECT_EQ(result.status, 3) << "done, except the files that could not be saved";
    const std::string note = readFile(dir_ / "out/About these files.txt");
    EXPECT_TRUE(note.starts_with("These files couldn't be saved:\n  ")) << note;
    EXPECT_NE(note.find(": Refusing to save outside the folder you chose."), std::string::npos);
    EXPECT_NE(result.out.find("About these files.txt"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(dir_ / "elsewhere"));
    // The deleted entry lost its first letter; the content is what counts.
    EXPECT_EQ(hashesBelow(dir_ / "out/Documents"),
              (std::multiset<std::string>{card_->originals.at("Documents/notes.txt")}));
}

TEST(RecoverCommandChecks, RefusesAFolderOnTheDiskBeingRead) {
    TempDir dir;
    LoopDisk disk(dir.path(), 32 * 1024 * 1024);
    if (!disk.ready()) GTEST_SKIP() << "cannot attach and mount a loop device here (needs root)";
    const auto result = runCli("recover " + shellQuote(disk.device().string()) + " " +
                               shellQuote((disk.mountPoint() / "out").string()));
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("Choose a folder on another disk. Saving onto the disk you're "
                              "recovering from could overwrite the files you want back."),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(fs::exists(disk.mountPoint() / "out"));
}

} // namespace
} // namespace vellary::testing
