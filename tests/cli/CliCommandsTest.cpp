#include "tests/support/CliRun.hpp"
#include "tests/support/LoopDisk.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>

namespace vellary::testing {
namespace {

namespace fs = std::filesystem;

TEST(ScanCommand, ListsTheDemoImagesDeletedPhotos) {
    TempDir dir;
    const std::string image = shellQuote((dir / "demo.img").string());
    ASSERT_EQ(runCli("demo-image " + image).status, 0);
    EXPECT_NE(runCli("demo-image " + image).status, 0); // never replaced
    const auto json = runCli("scan " + image + " --json").out;
    EXPECT_EQ(nlohmann::json::parse(json)["filesystem"], "FAT32");
    EXPECT_NE(json.find("\"DCIM/100CANON/Sunset at the beach.jpg\""), std::string::npos);
    // Deleted short names get their first letter back from the live IMG_0001.JPG beside them.
    std::map<std::string, bool> inferred;
    const auto doc = nlohmann::json::parse(json);
    for (const auto& file : doc["files"])
        inferred[file["originalPath"]] = file["nameInferred"];
    EXPECT_EQ(inferred,
              (std::map<std::string, bool>{{"DCIM/100CANON/IMG_0002.JPG", true},
                                           {"DCIM/100CANON/IMG_0004.JPG", true},
                                           {"DCIM/100CANON/Sunset at the beach.jpg", false}}));
    const auto videos = runCli("scan " + image + " --json --category video").out;
    EXPECT_TRUE(nlohmann::json::parse(videos)["files"].empty());
    const auto table = runCli("scan " + image).out;
    EXPECT_NE(table.find("STATE    FOUND IN        SIZE  DATE"), std::string::npos) << table;
    EXPECT_NE(table.find("good     file list"), std::string::npos) << table;
    EXPECT_NE(table.find("Sunset at the beach.jpg"), std::string::npos);
}

TEST(ImageCommand, CopiesARealDiskByteForByteButNeverOntoItself) {
    TempDir dir;
    LoopDisk disk(dir.path(), 24 * 1024 * 1024);
    if (!disk.ready()) GTEST_SKIP() << "cannot attach and mount a loop device here (needs root)";
    const auto onItself = runCli("image " + shellQuote(disk.device().string()) + " " +
                                 shellQuote((disk.mountPoint() / "x").string()));
    EXPECT_NE(onItself.err.find("Choose a folder on another disk."), std::string::npos);
    EXPECT_FALSE(fs::exists(disk.mountPoint() / "x"));
    EXPECT_FALSE(fs::exists(disk.mountPoint() / "x.map"));
    ASSERT_TRUE(disk.freeze());
    const std::string before = sha256(disk.device());
    const auto copy = runCli("image " + shellQuote(disk.device().string()) + " " +
                             shellQuote((dir / "disk.img").string()));
    ASSERT_EQ(copy.status, 0) << copy.err;
    EXPECT_EQ(sha256(dir / "disk.img"), before);
    EXPECT_EQ(sha256(disk.device()), before);
}

} // namespace
} // namespace vellary::testing
