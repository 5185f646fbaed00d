// An image made from a failing disk has zeros where the disk could not be read; the map beside
// it says where. Scan and recover name the files with such holes before anyone opens them.
#include "core/restore/RescueMap.hpp"
#include "tests/support/CliRun.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vellary::testing {
namespace {

namespace fs = std::filesystem;

class UnreadableAreas : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(runCli("demo-image " + q(image_)).status, 0);
        const auto scan = runCli("scan " + q(image_) + " --json");
        ASSERT_EQ(scan.status, 0) << scan.err;
        const auto doc = nlohmann::json::parse(scan.out);
        for (const auto& file : doc["files"])
            if (file["name"] == "Sunset at the beach.jpg") {
                const std::uint64_t offset = file["ranges"][0]["offset"];
                hole_ = {offset + 1024, 1536};
            }
        ASSERT_GT(hole_.length, 0u);
        RescueMap map(fs::file_size(image_));
        map.set(0, map.size(), RescueMap::Status::finished);
        map.set(hole_.offset, 512, RescueMap::Status::badSector);
        map.set(hole_.offset + 512, 1024, RescueMap::Status::nonScraped);
        map.save(image_.string() + ".map", false);
    }
    static std::string q(const fs::path& path) { return shellQuote(path.string()); }

    TempDir dir_;
    fs::path image_ = dir_ / "demo.img";
    ByteRange hole_;
};

TEST_F(UnreadableAreas, ScanMarksTheFilesOverlappingThemPartial) {
    // The map beside the image, or one named elsewhere in either spelling.
    fs::create_directories(dir_ / "maps");
    fs::copy_file(image_.string() + ".map", dir_ / "maps/card.map");
    const std::vector<std::string> ways = {"", " --map " + q(dir_ / "maps/card.map"),
                                           " --map=" + q(dir_ / "maps/card.map")};
    for (const auto& way : ways) {
        const auto result = runCli("scan " + q(image_) + " --json" + way);
        ASSERT_EQ(result.status, 0) << result.err;
        int holed = 0;
        const auto doc = nlohmann::json::parse(result.out);
        for (const auto& file : doc["files"]) {
            const bool hit = file["name"] == "Sunset at the beach.jpg";
            EXPECT_EQ(file["unreadableBytes"], hit ? hole_.length : 0) << way;
            EXPECT_EQ(file["state"], hit ? "partial" : "good") << way;
            EXPECT_EQ(file["quality"], file["state"]);
            holed += hit ? 1 : 0;
        }
        EXPECT_EQ(holed, 1) << way;
    }
    const auto table = runCli("scan " + q(image_));
    ASSERT_EQ(table.status, 0);
    EXPECT_NE(table.out.find("partial  file list"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("1 file overlaps unreadable areas"), std::string::npos);

    fs::remove(image_.string() + ".map");
    const auto plain = runCli("scan " + q(image_));
    EXPECT_EQ(plain.out.find("partial"), std::string::npos) << "without a map nothing is known";
}

TEST_F(UnreadableAreas, RecoverSavesThemAndTheNoteNamesThem) {
    const auto result = runCli("recover " + q(image_) + " " + q(dir_ / "out"));
    EXPECT_EQ(result.status, 3) << result.err;
    EXPECT_NE(result.out.find("Saved 3 files"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("1 file could only be read in part"), std::string::npos);
    const std::string note = readFile(dir_ / "out/About these files.txt");
    EXPECT_NE(note.find("  Sunset at the beach.jpg (2 KB unreadable)"), std::string::npos) << note;
    EXPECT_EQ(std::count(note.begin(), note.end(), '\n'), 1) << note;
}

} // namespace
} // namespace vellary::testing
