#include "core/restore/DestinationCheck.hpp"

#include "tests/support/LoopDisk.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace vellary {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

constexpr std::uint64_t MiB = 1024 * 1024;

// Answers as configured: which paths are disks, which disks hold which folders, free space.
class FakeProbe : public DestinationCheck::Probe {
public:
    std::map<fs::path, std::set<std::string>> devices;
    std::map<fs::path, std::set<std::string>> folders;
    std::optional<std::uint64_t> free;
    mutable std::vector<fs::path> asked;

    bool isBlockDevice(const fs::path& path) const override { return devices.count(path) != 0; }
    std::set<std::string> disksOfDevice(const fs::path& device) const override {
        return devices.at(device);
    }
    std::set<std::string> disksHolding(const fs::path& folder) const override {
        asked.push_back(folder);
        const auto it = folders.find(folder);
        return it == folders.end() ? std::set<std::string>{} : it->second;
    }
    std::optional<std::uint64_t> freeSpace(const fs::path& folder) const override {
        asked.push_back(folder);
        return free;
    }
};

TEST(DestinationCheck, NearestExistingWalksUpToAFolder) {
    TempDir dir;
    fs::create_directories(dir / "a");
    testing::writeFile(dir / "a/file", "x");
    EXPECT_EQ(DestinationCheck::nearestExisting(dir / "a"), dir / "a");
    EXPECT_EQ(DestinationCheck::nearestExisting(dir / "a/b/c/d"), dir / "a");
    EXPECT_EQ(DestinationCheck::nearestExisting(dir / "a/file/x"), dir / "a");
    EXPECT_EQ(DestinationCheck::nearestExisting("/definitely/not/here"), "/");
}

TEST(DestinationCheck, ADestinationOnTheSourceDiskIsRefusedEvenWithRoomToSpare) {
    TempDir dir;
    FakeProbe probe;
    probe.devices["/dev/sdb1"] = {"sdb"};
    probe.devices["/dev/sdc"] = {"sdc"};
    probe.folders[dir.path()] = {"sdb"};
    probe.free = 1ull << 40;
    // The folder does not exist yet; its nearest existing parent decides.
    const auto problem =
        DestinationCheck::forRecovery(dir / "new/folder", "/dev/sdb1", 1000, probe);
    ASSERT_TRUE(problem);
    EXPECT_EQ(*problem, RecoverError::destinationOnSource());
    EXPECT_EQ(probe.asked.front(), dir.path());
    EXPECT_EQ(DestinationCheck::forImage(dir / "copy.img", "/dev/sdb1", 1000, probe),
              RecoverError::destinationOnSource());
    EXPECT_FALSE(DestinationCheck::forRecovery(dir / "new", "/dev/sdc", 1000, probe));
    // An image file is never overwritten by files saved beside it.
    EXPECT_FALSE(DestinationCheck::forRecovery(dir / "new", dir / "card.img", 1000, probe));
}

TEST(DestinationCheck, RecoveryNeedsTheFilesPlus50MiB) {
    TempDir dir;
    FakeProbe probe;
    probe.free = 40'000'000;
    const auto problem = DestinationCheck::forRecovery(dir.path(), "card.img", 1'000'000, probe);
    ASSERT_TRUE(problem);
    EXPECT_EQ(*problem, RecoverError::notEnoughSpace(1'000'000 + 50 * MiB, 40'000'000));
    probe.free = 1'000'000 + 50 * MiB;
    EXPECT_FALSE(DestinationCheck::forRecovery(dir.path(), "card.img", 1'000'000, probe));
    probe.free = std::nullopt;
    EXPECT_FALSE(DestinationCheck::forRecovery(dir.path(), "card.img", UINT64_MAX, probe));
}

TEST(DestinationCheck, AnImageNeedsTheDiskPlus100MiBButNamesTheDiskSize) {
    TempDir dir;
    FakeProbe probe;
    probe.free = 200 * MiB;
    const auto problem = DestinationCheck::forImage(dir / "copy.img", "card.img", 150 * MiB, probe);
    ASSERT_TRUE(problem);
    EXPECT_EQ(*problem, RecoverError::notEnoughSpace(150 * MiB, 200 * MiB));
    EXPECT_FALSE(DestinationCheck::forImage(dir / "copy.img", "card.img", 100 * MiB, probe));
}

TEST(DestinationCheck, AnImageAlreadyAtThePathCountsAsFreeSpace) {
    TempDir dir;
    FakeProbe probe;
    probe.free = 200 * MiB;
    {
        std::ofstream old(dir / "copy.img", std::ios::binary);
        old.seekp(static_cast<std::streamoff>(50 * MiB) - 1);
        old.put('\0');
    }
    EXPECT_FALSE(DestinationCheck::forImage(dir / "copy.img", "card.img", 150 * MiB, probe));
    const auto problem = DestinationCheck::forImage(dir / "copy.img", "card.img", 151 * MiB, probe);
    ASSERT_TRUE(problem);
    EXPECT_EQ(*problem, RecoverError::notEnoughSpace(151 * MiB, 250 * MiB));
    // Only a file counts, not a link to one elsewhere.
    std::filesystem::create_symlink(dir / "copy.img", dir / "link.img");
    EXPECT_TRUE(DestinationCheck::forImage(dir / "link.img", "card.img", 150 * MiB, probe));
}

TEST(DestinationCheck, TheSystemProbeFindsTheDiskBehindAFolder) {
    TempDir dir;
    const auto& probe = DestinationCheck::system();
    const auto free = probe.freeSpace(dir.path());
    ASSERT_TRUE(free);
    EXPECT_GT(*free, 0u);
    EXPECT_FALSE(probe.isBlockDevice(dir.path()));

    struct stat st {};
    ASSERT_EQ(::stat(dir.path().c_str(), &st), 0);
    const fs::path sys = "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                         std::to_string(minor(st.st_dev));
    if (!fs::exists(sys)) GTEST_SKIP() << "the temporary folder is not on a block device";
    std::string name;
    {
        std::ifstream uevent(sys / "uevent");
        for (std::string line; std::getline(uevent, line);)
            if (line.starts_with("DEVNAME=")) name = line.substr(8);
    }
    const auto disks = probe.disksHolding(dir.path());
    ASSERT_FALSE(disks.empty());
    const fs::path device = "/dev/" + name;
    if (!fs::exists(device)) GTEST_SKIP() << device << " is not visible here";
    EXPECT_TRUE(probe.isBlockDevice(device));
    EXPECT_EQ(probe.disksOfDevice(device), disks);
    EXPECT_TRUE(DestinationCheck::onSource(dir / "not/yet", device, probe));
}

TEST(DestinationCheck, AFolderOnAMountedLoopDiskIsOnThatDiskAndOnItsBackingDisk) {
    TempDir dir;
    testing::LoopDisk disk(dir.path(), 32 * MiB);
    if (!disk.ready()) GTEST_SKIP() << "cannot attach and mount a loop device here (needs root)";
    const auto& probe = DestinationCheck::system();
    const std::string loop = disk.device().filename().string();
    EXPECT_EQ(probe.disksOfDevice(disk.device()), (std::set<std::string>{loop}));
    const auto holding = probe.disksHolding(disk.mountPoint());
    EXPECT_EQ(holding.count(loop), 1u);
    // Files saved there end up in the image file, on the disk that holds it.
    for (const auto& backing : probe.disksHolding(dir.path()))
        EXPECT_EQ(holding.count(backing), 1u) << backing;

    EXPECT_TRUE(DestinationCheck::onSource(disk.mountPoint() / "new/folder", disk.device(), probe));
    EXPECT_EQ(DestinationCheck::forImage(disk.mountPoint() / "copy.img", disk.device(), 1, probe),
              RecoverError::destinationOnSource());
    // Reading an attached image and saving beside its file cannot overwrite it.
    EXPECT_FALSE(DestinationCheck::onSource(dir / "out", disk.device(), probe));
}

} // namespace
} // namespace vellary
