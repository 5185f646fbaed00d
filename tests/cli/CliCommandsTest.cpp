#include "tests/support/CliRun.hpp"
#include "tests/support/LoopDisk.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vellary::testing {
namespace {

namespace fs = std::filesystem;

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
        {"scan " + shellQuote((dir / "missing.img").string()), 1, "Couldn't open"},
        {"scan " + empty, 1, ""},
        {"scan " + empty + " --category photo,films", 2, "films"},
        {"recover a.img", 2, "usage: vellary-cli recover"},
        {"recover a.img out --id", 2, "usage: vellary-cli recover"},
        {"recover a.img out --id fat-1-2 stray", 2, "usage: vellary-cli recover"}, // not an id
        {"recover a.img out --category films", 2, "usage: vellary-cli recover"},
        {"recover " + shellQuote((dir / "missing.img").string()) + " " + out, 1, "Couldn't open"},
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
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST(ScanCommand, ListsTheDemoImagesDeletedPhotos) {
    TempDir dir;
    const std::string image = shellQuote((dir / "demo.img").string());
    ASSERT_EQ(runCli("demo-image " + image).status, 0);
    EXPECT_NE(runCli("demo-image " + image).status, 0); // never replaced
    const auto json = runCli("scan " + image + " --json").out;
    EXPECT_EQ(nlohmann::json::parse(json)["filesystem"], "FAT32");
    EXPECT_NE(json.find("\"DCIM/100CANON/Sunset at the beach.jpg\""), std::string::npos);
    const auto videos = runCli("scan " + image + " --json --category video").out;
    EXPECT_TRUE(nlohmann::json::parse(videos)["files"].empty());
    EXPECT_NE(runCli("scan " + image).out.find("Sunset at the beach.jpg"), std::string::npos);
}

TEST(ImageCommand, CopiesARealDiskByteForByteButNeverOntoItself) {
    TempDir dir;
    LoopDisk disk(dir.path(), 24 * 1024 * 1024);
    if (!disk.ready()) GTEST_SKIP() << "cannot attach and mount a loop device here (needs root)";
    const auto onItself = runCli("image " + shellQuote(disk.device().string()) + " " +
                                 shellQuote((disk.mountPoint() / "x").string()));
    EXPECT_NE(onItself.err.find("Choose a folder on another disk."), std::string::npos);
    EXPECT_FALSE(fs::exists(disk.mountPoint() / "x"));
    const std::string before = sha256(disk.device());
    const auto copy = runCli("image " + shellQuote(disk.device().string()) + " " +
                             shellQuote((dir / "disk.img").string()));
    ASSERT_EQ(copy.status, 0) << copy.err;
    EXPECT_EQ(sha256(dir / "disk.img"), before);
    EXPECT_EQ(sha256(disk.device()), before);
}

} // namespace
} // namespace vellary::testing
