#include "tests/support/CliRun.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vellary::testing {
namespace {

// Every command refuses what it cannot use with one line on stderr and a failing status, before
// anything is created.
TEST(CliCommands, BadArgumentsAndSourcesAreRefusedInOneLine) {
    TempDir dir;
    writeFile(dir / "empty.img", "");
    const std::string empty = shellQuote((dir / "empty.img").string());
    const std::string out = shellQuote((dir / "out").string());
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"frobnicate", 2, ""},
        {"scan", 2, "see vellary-cli --help"},
        {"scan a.img --bogus", 2, "--bogus"},
        {"scan " + shellQuote((dir / "missing.img").string()), 1, "Couldn't open"},
        {"scan " + shellQuote(dir.path().string()), 1, ""},
        {"scan " + empty, 1, ""},
        {"scan " + empty + " --category photo,films", 2, "films"},
        {"recover", 2, "usage: vellary-cli recover"},
        {"recover a.img", 2, "usage: vellary-cli recover"},
        {"recover a.img b c", 2, "usage: vellary-cli recover"},
        {"recover a.img out --bogus", 2, "usage: vellary-cli recover"},
        {"recover a.img out --id", 2, "usage: vellary-cli recover"},
        {"recover a.img out --category films", 2, "usage: vellary-cli recover"},
        {"recover " + shellQuote((dir / "missing.img").string()) + " " + out, 1, "Couldn't open"},
        {"image", 2, "usage: vellary-cli image"},
        {"image a.img", 2, "usage: vellary-cli image"},
        {"image a b c", 2, "usage: vellary-cli image"},
        {"image a.img b.img --x", 2, "usage: vellary-cli image"},
    };
    for (const auto& [args, status, fragment] : cases) {
        const auto result = runCli(args);
        EXPECT_NE(result.status, 0) << args;
        if (status == 1) {
            EXPECT_EQ(result.status, 1) << args;
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        }
        EXPECT_NE(result.err.find(fragment), std::string::npos) << args << ": " << result.err;
        EXPECT_TRUE(result.out.empty()) << args;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
}

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
    }
    EXPECT_NE(std::find(paths.begin(), paths.end(), "DCIM/100CANON/Sunset at the beach.jpg"),
              paths.end());

    const auto filtered = runCli("scan " + image + " --json --category video");
    ASSERT_EQ(filtered.status, 0);
    EXPECT_TRUE(nlohmann::json::parse(filtered.out)["files"].empty());

    const auto table = runCli("scan " + image);
    ASSERT_EQ(table.status, 0);
    EXPECT_NE(table.out.find("File system: FAT32"), std::string::npos);
    EXPECT_NE(table.out.find("Sunset at the beach.jpg"), std::string::npos);
}

} // namespace
} // namespace vellary::testing
