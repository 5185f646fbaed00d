#include "tests/support/CliRun.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vellary::testing {
namespace {

TEST(ScanCommand, JsonListsTheDemoImagesDeletedPhotos) {
    TempDir dir;
    const std::string image = shellQuote((dir / "demo.img").string());
    ASSERT_EQ(runCli("demo-image " + image).status, 0);
    // The demo image is never replaced.
    EXPECT_NE(runCli("demo-image " + image).status, 0);

    const auto result = runCli("scan " + image + " --json");
    ASSERT_EQ(result.status, 0) << result.err;
    const auto doc = nlohmann::json::parse(result.out);
    EXPECT_EQ(doc["filesystem"], "FAT32");
    EXPECT_EQ(doc["volumeCount"], 1);
    EXPECT_EQ(doc["searchedContents"], false);
    std::vector<std::string> paths;
    for (const auto& file : doc["files"]) {
        paths.push_back(file["originalPath"]);
        EXPECT_EQ(file["category"], "photo");
        EXPECT_FALSE(file["ranges"].empty());
        EXPECT_EQ(file["state"], file["quality"]);
        EXPECT_EQ(file["foundIn"], "file list");
        EXPECT_EQ(file["unreadableBytes"], 0);
    }
    EXPECT_NE(std::find(paths.begin(), paths.end(), "DCIM/100CANON/Sunset at the beach.jpg"),
              paths.end());

    const auto filtered = runCli("scan " + image + " --json --category video");
    ASSERT_EQ(filtered.status, 0);
    EXPECT_TRUE(nlohmann::json::parse(filtered.out)["files"].empty());

    const auto table = runCli("scan " + image);
    ASSERT_EQ(table.status, 0);
    EXPECT_NE(table.out.find("File system: FAT32"), std::string::npos);
    EXPECT_NE(table.out.find("STATE    FOUND IN        SIZE  DATE"), std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find("good     file list"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("Sunset at the beach.jpg"), std::string::npos);
}

} // namespace
} // namespace vellary::testing
