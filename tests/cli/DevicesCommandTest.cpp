#include "tests/support/CliRun.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace vellary::testing;

namespace {

nlohmann::json listed(const std::string& environment) {
    const auto result = runProgram("env", environment + " " + VELLARY_CLI + " devices --json");
    EXPECT_EQ(result.status, 0) << result.err;
    auto doc = nlohmann::json::parse(result.out, nullptr, false);
    EXPECT_TRUE(doc.is_array()) << result.out;
    return doc.is_array() ? doc : nlohmann::json::array();
}

bool holds(const nlohmann::json& devices, const std::string& node) {
    for (const auto& d : devices)
        if (d.value("node", "") == node) return true;
    return false;
}

// A loop device over a fresh image, detached again when the test ends.
struct AttachedImage {
    TempDir dir;
    std::string node;
    AttachedImage() {
        if (!missingTool({"losetup"}).empty()) return;
        makeBlankFile(dir / "disk.img", 8 * 1024 * 1024);
        node = capture("losetup -f --show '" + (dir / "disk.img").string() + "' 2>/dev/null");
        while (!node.empty() && node.back() == '\n')
            node.pop_back();
    }
    ~AttachedImage() {
        if (!node.empty()) run("losetup -d " + node);
    }
};

} // namespace

TEST(DevicesCommand, NeverOffersTheDiskThatBacksTheSystem) {
    const auto devices = listed("RECOVER_ALLOW_DISK_IMAGES=1");
    const auto root = capture("findmnt -n -o SOURCE / 2>/dev/null");
    for (const auto& d : devices) {
        for (const auto& m : d["mountPoints"])
            EXPECT_NE(m, "/") << d.dump();
        EXPECT_FALSE(root.rfind(d.value("node", "?"), 0) == 0) << d.dump();
    }
    const auto refused = runCli("scan /dev/" + capture("lsblk -dno KNAME \"$(findmnt -n -o "
                                                       "SOURCE /)\" 2>/dev/null | tr -d '\\n'"));
    EXPECT_NE(refused.status, 0);
    EXPECT_TRUE(refused.out.empty());
}

TEST(DevicesCommand, OffersAnAttachedImageOnlyWhenAllowed) {
    AttachedImage image;
    if (image.node.empty()) GTEST_SKIP() << "cannot attach a loop device here (needs root)";
    EXPECT_FALSE(holds(listed(""), image.node));
    EXPECT_FALSE(holds(listed("RECOVER_ALLOW_DISK_IMAGES=loop999999"), image.node));
    EXPECT_TRUE(holds(listed("RECOVER_ALLOW_DISK_IMAGES=" + image.node), image.node));

    const auto refused = runCli("scan " + image.node);
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.err.find("disk image"), std::string::npos) << refused.err;
    const auto scanned =
        runProgram("env", "RECOVER_ALLOW_DISK_IMAGES=1 " + std::string(VELLARY_CLI) +
                              " scan --json " + image.node);
    EXPECT_EQ(scanned.status, 0) << scanned.err;
}
