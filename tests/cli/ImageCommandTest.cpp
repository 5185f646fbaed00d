#include "tests/support/CliRun.hpp"
#include "tests/support/LoopDisk.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/SmallTmpfs.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace vellary::testing {
namespace {

namespace fs = std::filesystem;

std::string q(const fs::path& path) {
    return shellQuote(path.string());
}

TEST(ImageCommand, MakesAByteIdenticalCopyLeavesTheSourceAloneAndNeverReplacesAFile) {
    TempDir dir;
    const Bytes data = patterned(10 * 1024 * 1024 + 4096, 5);
    writeFile(dir / "card.img", std::string(data.begin(), data.end()));
    const std::string before = sha256(dir / "card.img");
    const auto result = runCli("image " + q(dir / "card.img") + " " + q(dir / "copy.img"));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Copied 10.5 MB into"), std::string::npos) << result.out;
    EXPECT_EQ(sha256(dir / "copy.img"), before);
    EXPECT_EQ(sha256(dir / "card.img"), before);

    writeFile(dir / "old.img", "older copy");
    const auto again = runCli("image " + q(dir / "card.img") + " " + q(dir / "old.img"));
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("Couldn't create old.img. File exists"), std::string::npos);
    EXPECT_EQ(readFile(dir / "old.img"), "older copy");
}

TEST(ImageCommand, RefusesAFolderWithoutRoomForTheCopyPlusMargin) {
    TempDir dir;
    SmallTmpfs small(4 * 1024 * 1024);
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    writeFile(dir / "card.img", std::string(1024 * 1024, 'c'));
    const auto result = runCli("image " + q(dir / "card.img") + " " + q(small.path() / "copy.img"));
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("That folder doesn't have enough free space. Recovery needs about "
                              "1.0 MB and 4.2 MB is free."),
              std::string::npos)
        << result.err;
    EXPECT_TRUE(fs::is_empty(small.path()));
}

TEST(ImageCommand, CopiesARealDiskButNotOntoItself) {
    TempDir dir;
    LoopDisk disk(dir.path(), 24 * 1024 * 1024);
    if (!disk.ready()) GTEST_SKIP() << "cannot attach and mount a loop device here (needs root)";
    const auto onItself =
        runCli("image " + q(disk.device()) + " " + q(disk.mountPoint() / "x.img"));
    EXPECT_EQ(onItself.status, 1);
    EXPECT_NE(onItself.err.find("Choose a folder on another disk."), std::string::npos)
        << onItself.err;
    EXPECT_FALSE(fs::exists(disk.mountPoint() / "x.img"));

    const auto copy = runCli("image " + q(disk.device()) + " " + q(dir / "disk.img"));
    ASSERT_EQ(copy.status, 0) << copy.err;
    EXPECT_EQ(fs::file_size(dir / "disk.img"), 24u * 1024 * 1024);
    EXPECT_EQ(capture("cmp " + q(disk.device()) + " " + q(dir / "disk.img") + " && echo same"),
              "same\n");
}

TEST(ImageCommand, ASourceThatEndsBeforeItsSizeGivesAnIncompleteCopyAndFails) {
    // sysfs files claim a size of a whole page but hold a few bytes: a source that ends early.
    const fs::path source = "/sys/devices/system/cpu/online";
    std::error_code error;
    const auto claimed = fs::file_size(source, error);
    const std::string content = readFile(source);
    if (error || content.empty() || claimed <= content.size())
        GTEST_SKIP() << "no sysfs file that ends before its size here";
    TempDir dir;
    const auto result = runCli("image " + q(source) + " " + q(dir / "short.img"));
    EXPECT_EQ(result.status, 3);
    EXPECT_NE(result.err.find("The copy is incomplete"), std::string::npos) << result.err;
    // The bytes that were read stay, for the user to judge.
    EXPECT_EQ(readFile(dir / "short.img"), content);
}

// A stopped copy keeps what it read and its map; the same command goes on from there.
TEST(ImageCommand, InterruptingKeepsThePartialCopyAndItsMapToGoOnFrom) {
    TempDir dir;
    // Large and sparse: reading it takes seconds, storing it takes almost nothing.
    makeBlankFile(dir / "big.img", 8ull * 1024 * 1024 * 1024);
    const std::string out = (dir / "copy.img").string();
    const std::string source = (dir / "big.img").string();
    const std::string stderrPath = (dir / "stderr").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT, 0644);
    std::string program = VELLARY_CLI, command = "image";
    std::string from = source, to = out;
    char* raw[] = {program.data(), command.data(), from.data(), to.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, VELLARY_CLI, &actions, nullptr, raw, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // Wait until the copy is under way, then press Ctrl-C.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::error_code ignored;
    auto started = [&] {
        const auto size = fs::file_size(out, ignored);
        return !ignored && size > 0;
    };
    while (std::chrono::steady_clock::now() < deadline && !started())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ::kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 0) GTEST_SKIP() << "the copy finished before it could be stopped";
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(readFile(stderrPath).find("run the same command again to go on"), std::string::npos)
        << readFile(stderrPath);
    ASSERT_TRUE(fs::exists(out + ".map"));
    EXPECT_EQ(fs::file_size(out), fs::file_size(source)) << "unread bytes are zeros, in place";
    // Going on is tested with a failing disk in the imager's own tests; here, that ddrescue's
    // tool reads the map and agrees that the copy is not finished.
    EXPECT_EQ(runProgram("ddrescuelog", "-t " + q(out + ".map")).status, 0);
    EXPECT_NE(runProgram("ddrescuelog", "-D " + q(out + ".map")).status, 0);
}

} // namespace
} // namespace vellary::testing
