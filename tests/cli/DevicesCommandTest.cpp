#include "tests/support/CliRun.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

using namespace vellary::testing;

namespace {

// What `devices --json` lists with RECOVER_ALLOW_DISK_IMAGES set to `allow`.
std::string listed(const std::string& allow) {
    const auto result = runCli("devices --json", {{"RECOVER_ALLOW_DISK_IMAGES", allow}});
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
}

} // namespace

TEST(DevicesCommand, NeverOffersTheSystemDiskAndImagesOnlyWhenAllowed) {
    const auto root = capture("lsblk -dno KNAME \"$(findmnt -n -o SOURCE /)\" | tr -d '\\n'");
    EXPECT_EQ(listed("1").find("\"/dev/" + root + "\""), std::string::npos);
    EXPECT_NE(runCli("scan /dev/" + root).status, 0);

    TempDir dir;
    makeBlankFile(dir / "disk.img", 8 * 1024 * 1024);
    const auto node = capture("losetup -f --show " + (dir / "disk.img").string() + " 2>/dev/null");
    if (node.empty()) GTEST_SKIP() << "cannot attach a loop device here (needs root)";
    const auto image = node.substr(0, node.find('\n')), quoted = "\"" + image + "\"";
    EXPECT_EQ(listed("").find(quoted), std::string::npos);
    EXPECT_EQ(listed("loop999999").find(quoted), std::string::npos);
    EXPECT_NE(listed(image).find(quoted), std::string::npos);
    EXPECT_NE(runCli("scan " + image).err.find("disk image"), std::string::npos);
    run("losetup -d " + image);
}
