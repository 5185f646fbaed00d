// Every command reads its arguments the same way: long options with "=" or a space, --help on
// each, usage errors with status 2 before anything is opened or created, failures with one line
// and status 1. A map beside an image names the files with unreadable holes: partial, status 3.
#include "core/restore/RescueMap.hpp"
#include "tests/support/CliRun.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vellary::testing {
namespace {

namespace fs = std::filesystem;

std::string q(const fs::path& path) {
    return shellQuote(path.string());
}

TEST(CommandLine, StatusesAndMessagesForEveryCommand) {
    TempDir dir;
    writeFile(dir / "empty.img", "");
    const std::string empty = q(dir / "empty.img"), missing = q(dir / "missing.img");
    const std::string out = q(dir / "out");
    // Arguments, status, a fragment of stderr (of stdout for status 0).
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"", 2, "usage: vellary-cli <scan|recover|image|demo-image|devices>"},
        {"frobnicate", 2, "unknown command frobnicate"},
        {"--help", 0, "Exit status: 0 done, 1 failed or stopped, 2 bad arguments, 3 done"},
        {"scan --help", 0, "Usage: vellary-cli scan [OPTIONS] SOURCE"},
        {"recover -h", 0, "--flat"},
        {"image --help", 0, "--retries"},
        {"demo-image --help", 0, "OUT"},
        {"devices --help", 0, "--json"},
        {"scan a.img --bogus", 2, "--bogus"},
        {"scan " + missing, 1, "Couldn't open"},
        {"scan " + q(dir.path()), 1, "is a folder"},
        {"scan " + empty + " --category photo,films", 2, "Unknown category: films."},
        {"scan " + empty + " --map " + missing, 1, "Couldn't read the map"},
        {"recover a.img", 2, "DEST is required"},
        {"recover a.img -x", 2, "usage: vellary-cli recover"},
        {"recover a.img out --id fat-1-2 stray", 2, "usage: vellary-cli recover"}, // not an id
        {"recover a.img out --category=films", 2, "films"},
        {"recover " + missing + " " + out, 1, "Couldn't open"},
        {"image a b c", 2, "usage: vellary-cli image"},
        {"image a.img b.img --retries=-1", 2, "--retries"},
        {"image a.img b.img --retries many", 2, "--retries"},
        {"demo-image a b", 2, "usage: vellary-cli demo-image"},
        {"devices --bogus", 2, "usage: vellary-cli devices"},
    };
    for (const auto& [args, status, fragment] : cases) {
        const auto result = runCli(args);
        EXPECT_EQ(result.status, status) << args << ": " << result.err;
        EXPECT_NE((status == 0 ? result.out : result.err).find(fragment), std::string::npos)
            << args << ": " << result.out << result.err;
        EXPECT_TRUE(status == 0 || result.out.empty()) << args;
        EXPECT_TRUE(status != 1 || std::count(result.err.begin(), result.err.end(), '\n') == 1);
    }
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_FALSE(fs::exists("out"));
}

// A map beside the image, or named in either spelling, makes the photo with a hole partial.
TEST(CommandLine, FilesOverlappingUnreadableAreasArePartial) {
    TempDir dir;
    const std::string image = q(dir / "demo.img");
    ASSERT_EQ(runCli("demo-image " + image).status, 0);
    const auto scan = [&](const std::string& options) {
        const auto result = runCli("scan " + image + " --json " + options);
        EXPECT_EQ(result.status, 0) << options << ": " << result.err;
        return result.status == 0 ? nlohmann::json::parse(result.out)["files"] : nlohmann::json();
    };
    std::uint64_t hole = 0;
    for (const auto& file : scan("")) {
        EXPECT_EQ(file["state"], "good") << "without a map nothing is known";
        if (file["name"] == "Sunset at the beach.jpg") hole = file["ranges"][0]["offset"];
    }
    ASSERT_GT(hole, 0u);
    // 1.5 KiB from 1 KiB into the photo could not be read.
    RescueMap map(fs::file_size(dir / "demo.img"));
    map.set(0, map.size(), RescueMap::Status::finished);
    map.set(hole + 1024, 1536, RescueMap::Status::badSector);
    map.save(dir / "card.map", false);
    for (const std::string& way :
         {"--map " + q(dir / "card.map"), "--map=" + q(dir / "card.map"), std::string()}) {
        if (way.empty()) fs::copy_file(dir / "card.map", dir / "demo.img.map");
        for (const auto& file : scan(way)) {
            const bool hit = file["name"] == "Sunset at the beach.jpg";
            EXPECT_EQ(file["unreadableBytes"], hit ? 1536 : 0) << way;
            EXPECT_EQ(file["state"], hit ? "partial" : "good") << way;
        }
    }
    EXPECT_NE(runCli("scan " + image).out.find("partial  file list"), std::string::npos);
    const auto result = runCli("recover " + image + " " + q(dir / "out"));
    EXPECT_EQ(result.status, 3) << result.err;
    const std::string note = readFile(dir / "out/About these files.txt");
    EXPECT_NE(note.find("  Sunset at the beach.jpg (2 KB unreadable)"), std::string::npos) << note;
    EXPECT_EQ(std::count(note.begin(), note.end(), '\n'), 1) << note;
}

} // namespace
} // namespace vellary::testing
