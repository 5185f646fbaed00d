#include "tests/support/CliRun.hpp"
#include "tests/support/DeletedFilesCard.hpp"
#include "tests/support/RestoreFixtures.hpp"
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

// The bytes are compared in the restore's end-to-end test; here what the command adds: choosing
// files, numbering rather than replacing, the note, and a source that is never written.
TEST(RecoverCommand, ChoosesFilesNeverReplacesAndListsFailuresInTheNote) {
    TempDir dir;
    const auto card = DeletedFilesCard::build(dir.path());
    if (!card) GTEST_SKIP() << "mkfs.fat, mtools or ImageMagick missing";
    const std::string sourceHash = sha256(card->image), image = shellQuote(card->image.string());
    const auto recover = [&](const std::string& to, const std::string& extra = "") {
        return runCli("recover " + image + " " + shellQuote((dir / to).string()) + extra);
    };
    const auto count = card->originals.size();
    const auto all = recover("out");
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_NE(all.out.find("Saved " + std::to_string(count) + " files"), std::string::npos);
    ASSERT_EQ(recover("out", " --flat").status, 0); // into the same folder: nothing replaced
    EXPECT_EQ(hashesBelow(dir / "out").size(), 2 * count);

    const auto doc = nlohmann::json::parse(runCli("scan " + image + " --json").out);
    std::vector<std::string> ids;
    for (const auto& file : doc["files"])
        if (file["category"] == "photo") ids.push_back(file["id"]);
    ASSERT_GE(ids.size(), 2u);
    ASSERT_EQ(recover("two", " --id " + ids[0] + " --id=" + ids[1]).status, 0);
    EXPECT_EQ(hashesBelow(dir / "two").size(), 2u);
    EXPECT_EQ(recover("greedy", " --id " + ids[0] + " " + ids[1]).status, 2); // one id per --id
    EXPECT_FALSE(fs::exists(dir / "greedy"));
    ASSERT_EQ(recover("docs", " --category document").status, 0);
    EXPECT_EQ(hashesBelow(dir / "docs"),
              (std::multiset<std::string>{card->originals.at("Documents/notes.txt")}));
    EXPECT_EQ(recover("none", " --id fat-1-2").status, 1);
    EXPECT_FALSE(fs::exists(dir / "none"));

    fs::create_directories(dir / "linked");
    fs::create_directories(dir / "elsewhere");
    fs::create_directory_symlink(dir / "elsewhere", dir / "linked/DCIM");
    const auto refused = recover("linked");
    EXPECT_EQ(refused.status, 3); // done, except the files that could not be saved
    const std::string note = readFile(dir / "linked/About these files.txt");
    EXPECT_TRUE(note.starts_with("These files couldn't be saved:\n  ")) << note;
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
    EXPECT_EQ(sha256(card->image), sourceHash) << "the source was written";
}

} // namespace
} // namespace vellary::testing
