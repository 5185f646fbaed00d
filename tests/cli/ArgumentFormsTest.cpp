// Every command reads its arguments the same way: long options with "=" or a space, --help on
// each, usage errors with status 2 before anything is opened or created, failures with one line
// and status 1.
#include "tests/support/CliRun.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

namespace vellary::testing {
namespace {

namespace fs = std::filesystem;

struct Case {
    std::string args;
    int status;
    std::string fragment; // on stderr, or on stdout for status 0
};

TEST(ArgumentForms, StatusesAndMessagesForEveryCommand) {
    TempDir dir;
    writeFile(dir / "empty.img", "");
    const std::string empty = shellQuote((dir / "empty.img").string());
    const std::string missing = shellQuote((dir / "missing.img").string());
    const std::string out = shellQuote((dir / "out").string());
    const std::vector<Case> cases = {
        {"", 2, "usage: vellary-cli <scan|recover|image|demo-image|devices>"},
        {"frobnicate", 2, "unknown command frobnicate"},
        {"--bogus", 2, "usage: vellary-cli"},
        {"--help", 0, "Exit status: 0 done, 1 failed or stopped, 2 bad arguments, 3 done"},
        {"scan --help", 0, "Usage: vellary-cli scan [OPTIONS] SOURCE"},
        {"recover -h", 0, "--flat"},
        {"image --help", 0, "--retries"},
        {"demo-image --help", 0, "OUT"},
        {"devices --help", 0, "--json"},
        {"scan", 2, "usage: vellary-cli scan SOURCE"},
        {"scan a.img --bogus", 2, "--bogus"},
        {"scan a.img b.img", 2, "usage: vellary-cli scan"},
        {"scan " + missing, 1, "Couldn't open"},
        {"scan " + shellQuote(dir.path().string()), 1, "is a folder"},
        {"scan " + empty + " --category photo,films", 2, "Unknown category: films."},
        {"scan " + empty + " --category=films", 2, "films"},
        {"scan " + empty + " --category", 2, "usage: vellary-cli scan"},
        {"scan " + empty + " --map " + missing, 1, "Couldn't read the map"},
        {"scan " + empty + " --map=" + missing, 1, "Couldn't read the map"},
        {"recover", 2, "usage: vellary-cli recover"},
        {"recover a.img", 2, "DEST is required"},
        {"recover a.img b c", 2, "usage: vellary-cli recover"},
        {"recover a.img -x", 2, "usage: vellary-cli recover"},
        {"recover a.img out --bogus", 2, "--bogus"},
        {"recover a.img out --id", 2, "usage: vellary-cli recover"},
        {"recover a.img out --id fat-1-2 stray", 2, "usage: vellary-cli recover"}, // not an id
        {"recover a.img out --category films", 2, "films"},
        {"recover " + missing + " " + out, 1, "Couldn't open"},
        {"recover " + missing + " " + out + " --map " + missing, 1, "Couldn't read the map"},
        {"image", 2, "usage: vellary-cli image"},
        {"image a.img", 2, "usage: vellary-cli image"},
        {"image a b c", 2, "usage: vellary-cli image"},
        {"image a.img b.img --x", 2, "usage: vellary-cli image"},
        {"image a.img b.img --retries=-1", 2, "--retries"},
        {"image a.img b.img --retries many", 2, "--retries"},
        {"image " + missing + " " + out, 1, "Couldn't open"},
        {"demo-image", 2, "usage: vellary-cli demo-image"},
        {"demo-image a b", 2, "usage: vellary-cli demo-image"},
        {"devices --bogus", 2, "usage: vellary-cli devices"},
    };
    for (const auto& c : cases) {
        const auto result = runCli(c.args);
        EXPECT_EQ(result.status, c.status) << c.args << ": " << result.err;
        if (c.status == 0) {
            EXPECT_NE(result.out.find(c.fragment), std::string::npos)
                << c.args << ": " << result.out;
            continue;
        }
        EXPECT_NE(result.err.find(c.fragment), std::string::npos) << c.args << ": " << result.err;
        EXPECT_TRUE(result.out.empty()) << c.args;
        if (c.status == 1) {
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        }
    }
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_FALSE(fs::exists("out"));
}

// The same request spelled each way gives the same answer.
TEST(ArgumentForms, EqualsAndSpaceAndRepeatedOptionsMeanTheSame) {
    TempDir dir;
    const std::string image = shellQuote((dir / "demo.img").string());
    ASSERT_EQ(runCli("demo-image " + image).status, 0);
    const std::vector<std::vector<std::string>> same = {
        {"--category photo", "--category=photo", "--category=PHOTO", "--category photo,photo"},
        {"--category video", "--category=video"},
        {"--category photo,video", "--category photo --category video", "--category=video,photo"},
    };
    for (const auto& spellings : same) {
        const auto first = runCli("scan " + image + " --json " + spellings[0]);
        ASSERT_EQ(first.status, 0) << spellings[0] << ": " << first.err;
        for (const auto& spelling : spellings) {
            const auto other = runCli("scan " + spelling + " " + image + " --json");
            EXPECT_EQ(other.status, 0) << spelling;
            EXPECT_EQ(other.out, first.out) << spelling;
        }
    }
}

} // namespace
} // namespace vellary::testing
