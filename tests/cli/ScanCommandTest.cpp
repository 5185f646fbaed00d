#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace vellary::testing;

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome cli(const TempDir& dir, const std::string& arguments) {
    const auto out = dir / "stdout";
    const auto err = dir / "stderr";
    const std::string command = std::string(VELLARY_CLI) + " " + arguments + " >'" + out.string() +
                                "' 2>'" + err.string() + "'";
    const int status = std::system(command.c_str());
    return {WEXITSTATUS(status), readFile(out), readFile(err)};
}

int lines(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

TEST(ScanCommand, BadSourcesGiveOneLineAndAFailingStatus) {
    TempDir dir;
    writeFile(dir / "empty.img", "");
    for (const std::string& source :
         {(dir / "missing.img").string(), dir.path().string(), (dir / "empty.img").string()}) {
        const auto result = cli(dir, "scan '" + source + "'");
        EXPECT_NE(result.status, 0) << source;
        EXPECT_EQ(lines(result.err), 1) << result.err;
        EXPECT_TRUE(result.out.empty());
    }
    EXPECT_NE(cli(dir, "scan").status, 0);
    EXPECT_NE(cli(dir, "scan a.img --bogus").status, 0);
    const auto unknown =
        cli(dir, "scan '" + (dir / "empty.img").string() + "' --category photo,films");
    EXPECT_NE(unknown.status, 0);
    EXPECT_NE(unknown.err.find("films"), std::string::npos);
    EXPECT_NE(cli(dir, "frobnicate").status, 0);
}

TEST(ScanCommand, JsonListsTheDemoImagesDeletedPhotos) {
    TempDir dir;
    const auto image = dir / "demo.img";
    ASSERT_EQ(cli(dir, "demo-image '" + image.string() + "'").status, 0);
    // The demo image is never replaced.
    EXPECT_NE(cli(dir, "demo-image '" + image.string() + "'").status, 0);

    const auto result = cli(dir, "scan '" + image.string() + "' --json");
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

    const auto filtered = cli(dir, "scan '" + image.string() + "' --json --category video");
    ASSERT_EQ(filtered.status, 0);
    const auto videos = nlohmann::json::parse(filtered.out);
    for (const auto& file : videos["files"])
        EXPECT_EQ(file["category"], "video");

    const auto table = cli(dir, "scan '" + image.string() + "'");
    ASSERT_EQ(table.status, 0);
    EXPECT_NE(table.out.find("File system: FAT32"), std::string::npos);
    EXPECT_NE(table.out.find("Sunset at the beach.jpg"), std::string::npos);
}
