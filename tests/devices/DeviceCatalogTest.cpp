#include "core/devices/DeviceCatalog.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/devices/FakeRunner.hpp"
#include "tests/support/Tools.hpp"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace vellary;
using namespace vellary::testing;
namespace fs = std::filesystem;

namespace {

const fs::path kData = fs::path(__FILE__).parent_path() / "data";

std::string recorded(const std::string& name) {
    return readFile(kData / name);
}

// Sets RECOVER_ALLOW_DISK_IMAGES for one test and restores its absence afterwards.
struct AllowImages {
    explicit AllowImages(const char* value) {
        if (value) {
            ::setenv("RECOVER_ALLOW_DISK_IMAGES", value, 1);
        } else {
            ::unsetenv("RECOVER_ALLOW_DISK_IMAGES");
        }
    }
    ~AllowImages() { ::unsetenv("RECOVER_ALLOW_DISK_IMAGES"); }
};

std::vector<Device> list(const std::string& json, DeviceCatalog::Paths paths = {}) {
    auto runner = std::make_shared<FakeRunner>();
    runner->listing = json;
    return DeviceCatalog(runner, paths).devices();
}

std::string summary(const std::vector<Device>& devices) {
    std::string out;
    for (const auto& d : devices)
        out += (out.empty() ? "" : "; ") + d.id + "=" + d.name + "/" +
               std::string(deviceKind::rawValue(d.kind));
    return out;
}

} // namespace

TEST(DeviceCatalog, OffersOnlySafeDisksFromRecordedListings) {
    struct Case {
        const char* file;
        const char* allowImages;
        const char* expected;
    };
    const Case cases[] = {
        // A "NO NAME" volume inside a partition table gives way to the media name; the bare
        // stick keeps its own label.
        {"usb-sticks.json", nullptr, "sdc=NO NAME/usbDrive; sdb=SanDisk Cruzer Blade/usbDrive"},
        // Reader by media name, "Generic Media Reader" by its generic name, the SD slot; the
        // eMMC and its boot area are the computer's own.
        {"card-readers.json", nullptr,
         "sdd=Generic- SD/MMC/MS PRO/memoryCard; mmcblk0=HOLIDAY/memoryCard; "
         "sde=Memory card/memoryCard"},
        // Root on LVM on dm-crypt, /home on a USB disk through dm-crypt, an internal SATA disk,
        // an optical drive and zram are all refused; the external NVMe is offered (and its
        // media name "Portable SSD" holds "sd", which reads as a card).
        {"system-disks.json", nullptr, "nvme1n1=T7/memoryCard"},
        // Names differing only in case keep lsblk's order; an image only when allowed.
        {"loop-and-case.json", nullptr,
         "sdh=Archive/usbDrive; sdk=Photos/usbDrive; sdj=photos/usbDrive"},
        {"loop-and-case.json", "loop1, /dev/sdk",
         "sdh=Archive/usbDrive; sdk=Photos/usbDrive; "
         "sdj=photos/usbDrive"},
        {"loop-and-case.json", " ,/dev/loop0,",
         "sdh=Archive/usbDrive; loop0=External drive/diskImage; sdk=Photos/usbDrive; "
         "sdj=photos/usbDrive"},
        {"loop-and-case.json", "1",
         "sdh=Archive/usbDrive; loop0=External drive/diskImage; sdk=Photos/usbDrive; "
         "sdj=photos/usbDrive"},
        // This machine: the only disk backs "/".
        {"this-machine.json", "1", ""},
    };
    for (const auto& c : cases) {
        AllowImages env(c.allowImages);
        EXPECT_EQ(summary(list(recorded(c.file))), c.expected) << c.file;
    }
}

TEST(DeviceCatalog, DescribesEachDiskFromItsPartitions) {
    const auto sticks = list(recorded("usb-sticks.json"));
    ASSERT_EQ(sticks.size(), 2u);
    const auto& partitioned = sticks[1];
    EXPECT_EQ(partitioned.media, "SanDisk Cruzer Blade");
    EXPECT_EQ(partitioned.partitionIDs, std::vector<std::string>{"sdb1"});
    EXPECT_EQ(partitioned.mountPoints, std::vector<std::string>{"/media/ann/NO NAME"});
    EXPECT_EQ(partitioned.mountedPartitions, std::vector<std::string>{"sdb1"});
    EXPECT_EQ(partitioned.filesystems, std::vector<std::string>{"FAT32"});
    EXPECT_EQ(partitioned.size, 15631122432u);
    EXPECT_FALSE(partitioned.solidState);
    EXPECT_EQ(partitioned.detail(), "15.63 GB · FAT32");
    const auto& bare = sticks[0];
    EXPECT_TRUE(bare.partitionIDs.empty());
    EXPECT_EQ(bare.mountedPartitions, std::vector<std::string>{"sdc"});
    // Two sticks of one model differ in identity (serial, table), never only by reader.
    EXPECT_NE(partitioned.identity, bare.identity);
    EXPECT_NE(partitioned.identity.find("4C530001230811115073"), std::string::npos);

    const auto mixed = list(recorded("loop-and-case.json"));
    ASSERT_EQ(mixed.size(), 3u);
    EXPECT_EQ(mixed[0].blockSize, 512) << "a block size below 512 is raised to 512";
    EXPECT_EQ(mixed[2].blockSize, 4096);
}

TEST(DeviceCatalog, NamesACameraCardFromItsFolders) {
    TempDir mount;
    fs::create_directories(mount / "DCIM" / "100CANON");
    auto json = recorded("camera-card.json");
    json.replace(json.find("@MOUNT@"), 7, mount.path().string());
    const auto devices = list(json);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].name, "Canon card");
    EXPECT_EQ(devices[0].kind, Device::Kind::memoryCard);
    EXPECT_EQ(devices[0].camera, "Canon");
    EXPECT_TRUE(devices[0].solidState) << "rota \"0\" from an older lsblk";
    EXPECT_EQ(devices[0].size, 31914983424u) << "sizes written as strings";
    EXPECT_EQ(devices[0].filesystems, std::vector<std::string>{"ExFAT"});
}

TEST(DeviceCatalog, AnSDCardInASlotIsOfferedAndEMMCIsNot) {
    // Many SD slots report neither removable nor hotplug; sysfs names the card's type.
    auto json = recorded("card-readers.json");
    json.replace(json.find("\"hotplug\": true, \"tran\": null, \"model\": null, \"vendor\": null,\n"
                           "       \"size\": 31914983424"),
                 15, "\"hotplug\": false");
    TempDir sys;
    for (const auto& [disk, type] : {std::pair{"mmcblk0", "SD"}, {"mmcblk1", "MMC"}}) {
        fs::create_directories(sys / "block" / disk / "device");
        writeFile(sys / "block" / disk / "device" / "type", std::string(type) + "\n");
    }
    DeviceCatalog::Paths paths;
    EXPECT_EQ(summary(list(json, paths)).find("mmcblk"), std::string::npos);
    paths.sysRoot = sys.path();
    EXPECT_EQ(summary(list(json, paths)),
              "sdd=Generic- SD/MMC/MS PRO/memoryCard; mmcblk0=HOLIDAY/memoryCard; "
              "sde=Memory card/memoryCard");
}

TEST(DeviceCatalog, ListingFailuresAreErrorsAndJunkIsSkipped) {
    auto runner = std::make_shared<FakeRunner>();
    runner->listingStatus = 1;
    EXPECT_THROW(DeviceCatalog(runner).devices(), RecoverError);
    runner->listingStatus = 0;
    runner->listing = "{\"blockdevices\": [";
    EXPECT_THROW(DeviceCatalog(runner).devices(), RecoverError);
    for (const char* junk :
         {"[]", "{}", "{\"blockdevices\": 3}", "{\"blockdevices\": [1, null, {}]}",
          "{\"blockdevices\": [{\"name\": \"sdb\", \"type\": \"disk\", \"rm\": true, "
          "\"tran\": \"usb\", \"size\": -5, \"log-sec\": \"x\", \"children\": [7]}]}"}) {
        runner->listing = junk;
        const auto devices = DeviceCatalog(runner).devices();
        if (!devices.empty()) {
            EXPECT_EQ(devices[0].size, 0u) << junk;
            EXPECT_EQ(devices[0].blockSize, 512) << junk;
        }
    }
}

TEST(DeviceCatalog, ListedRefusesWithTheGuardsReason) {
    auto runner = std::make_shared<FakeRunner>();
    runner->listing = recorded("system-disks.json");
    const DeviceCatalog catalog(runner);
    EXPECT_EQ(catalog.listed("/dev/nvme1n1").name, "T7");
    const std::pair<const char*, const char*> refused[] = {
        {"/dev/nvme0n1", "runs the system"}, {"/dev/sdg", "runs the system"},
        {"/dev/sda", "internal disk"},       {"/dev/nvme1n1p1", "whole"},
        {"/dev/sdq", "No disk named sdq"},
    };
    for (const auto& [node, reason] : refused) {
        try {
            catalog.listed(node);
            ADD_FAILURE() << node;
        } catch (const RecoverError& error) {
            EXPECT_EQ(error.kind(), RecoverError::Case::unsafeDevice);
            EXPECT_NE(error.errorDescription().find(reason), std::string::npos)
                << node << ": " << error.errorDescription();
        }
    }
}

TEST(DeviceCatalog, FriendlyFilesystemNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"vfat FAT32", "FAT32"},        {"vfat FAT16", "FAT16"}, {"vfat FAT12", "FAT12"},
        {"exfat 1.0", "ExFAT"},         {"ntfs ", "NTFS"},       {"apfs", "APFS"},
        {"hfsplus", "Mac OS Extended"}, {"ext4 1.0", ""},        {" ", ""},
        {"crypto_LUKS 2", ""},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(DeviceCatalog::friendlyFilesystem(input).value_or(""), expected) << input;
}

// A sysfs tree in a temporary folder: the device number of `folder` points at `target`.
struct FakeSysfs {
    TempDir root;
    fs::path sysRoot() const { return root.path(); }
    void link(const fs::path& folder, const fs::path& target) {
        struct stat st {};
        ASSERT_EQ(::stat(folder.c_str(), &st), 0);
        fs::create_directories(root / "dev" / "block");
        fs::create_directory_symlink(
            root.path() / target,
            root / "dev" / "block" /
                (std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev))));
    }
};

TEST(DeviceCatalog, DestinationIsJudgedByTheNearestExistingFolder) {
    TempDir work;
    const auto notYet = work / "not" / "yet" / "here";
    Device sdz;
    sdz.id = "sdz";
    Device other;
    other.id = "sdy";
    for (const bool throughMapper : {false, true}) {
        FakeSysfs sys;
        fs::create_directories(sys.root / "devices" / "sdz" / "sdz2");
        writeFile(sys.root / "devices" / "sdz" / "sdz2" / "partition", "2");
        if (throughMapper) {
            fs::create_directories(sys.root / "devices" / "dm-0" / "slaves");
            fs::create_directory_symlink(sys.root / "devices" / "sdz" / "sdz2",
                                         sys.root / "devices" / "dm-0" / "slaves" / "sdz2");
            sys.link(work.path(), "devices/dm-0");
        } else {
            sys.link(work.path(), "devices/sdz/sdz2");
        }
        DeviceCatalog::Paths paths;
        paths.sysRoot = sys.sysRoot();
        const DeviceCatalog catalog(std::make_shared<FakeRunner>(), paths);
        EXPECT_TRUE(catalog.destination(notYet, sdz)) << throughMapper;
        EXPECT_FALSE(catalog.destination(notYet, other)) << throughMapper;
    }
    // Without any sysfs answer only /dev and the mount points decide.
    DeviceCatalog::Paths nowhere;
    nowhere.sysRoot = work / "no-sysfs";
    nowhere.mountInfo = work / "no-mountinfo";
    const DeviceCatalog blind(std::make_shared<FakeRunner>(), nowhere);
    other.mountPoints = {(work / "card").string()};
    EXPECT_FALSE(blind.destination(notYet, other));
    EXPECT_TRUE(blind.destination(work / "card", other));
    EXPECT_TRUE(blind.destination(work / "card" / "new", other));
    EXPECT_FALSE(blind.destination(work / "cardboard", other));
    EXPECT_TRUE(blind.destination("/dev/shm/x", other));
    EXPECT_TRUE(blind.destination("/dev", other));
    EXPECT_FALSE(blind.destination("/devices", other));
}

namespace {

struct Mounts {
    TempDir dir;
    DeviceCatalog::Paths paths;
    explicit Mounts(const std::vector<std::string>& sources) {
        std::string text = "22 27 0:21 / /proc rw,relatime - proc proc rw\n";
        int n = 100;
        for (const auto& s : sources)
            text += std::to_string(n++) + " 27 259:9 / /media/ann/My\\040Card rw shared:1 - vfat " +
                    s + " rw\n";
        writeFile(dir / "mountinfo", text);
        paths.mountInfo = dir / "mountinfo";
    }
};

Device stick() {
    Device d;
    d.id = "sdz";
    d.partitionIDs = {"sdz1", "sdz2", "sdz3"};
    d.mountPoints = {"/media/ann/A", "/media/ann/B"};
    d.mountedPartitions = {"sdz1", "sdz2"};
    return d;
}

} // namespace

TEST(DeviceCatalog, UnmountLeavesTheDiskAsItFoundItWhenAPartitionIsBusy) {
    struct Case {
        std::vector<std::string> mounted;
        std::string busy;
        bool throws;
        bool result;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {{}, "", false, false, {}},
        {{"/dev/sdz1", "/dev/sdz2"}, "", false, true, {"unmount /dev/sdz1", "unmount /dev/sdz2"}},
        {{"/dev/sdz1", "/dev/sdz2"},
         "/dev/sdz2",
         true,
         false,
         {"unmount /dev/sdz1", "unmount /dev/sdz2", "mount /dev/sdz1"}},
        {{"/dev/sdz1", "/dev/sdz2"}, "/dev/sdz1", true, false, {"unmount /dev/sdz1"}},
        {{"/dev/sdz"}, "", false, true, {"unmount /dev/sdz"}},
    };
    for (const auto& c : cases) {
        Mounts mounts(c.mounted);
        auto runner = std::make_shared<FakeRunner>();
        runner->udisks = [&](const std::string& verb, const std::string& node) {
            return verb == "unmount" && node == c.busy ? 1 : 0;
        };
        const DeviceCatalog catalog(runner, mounts.paths);
        if (c.throws) {
            try {
                catalog.unmount(stick());
                ADD_FAILURE() << c.busy;
            } catch (const RecoverError& error) {
                EXPECT_EQ(error.errorDescription(),
                          "The disk is in use. Quit any app that's showing files from it, then "
                          "try again.");
            }
        } else {
            EXPECT_EQ(catalog.unmount(stick()), c.result);
        }
        EXPECT_EQ(runner->calls, c.calls) << c.busy;
    }
}

TEST(DeviceCatalog, MountAndEjectTouchOnlyWhatWasMounted) {
    Mounts mounts({"/dev/sdz2"});
    auto runner = std::make_shared<FakeRunner>();
    const DeviceCatalog catalog(runner, mounts.paths);
    catalog.mount(stick());
    EXPECT_EQ(runner->calls, std::vector<std::string>{"mount /dev/sdz1"});

    // Eject: unmount, then power off; where power-off is impossible the unmount counts.
    runner->calls.clear();
    runner->udisks = [](const std::string& verb, const std::string&) {
        return verb == "power-off" ? 1 : 0;
    };
    EXPECT_TRUE(catalog.eject(stick()));
    EXPECT_EQ(runner->calls, (std::vector<std::string>{"unmount /dev/sdz2", "power-off /dev/sdz"}));
    Mounts none({});
    const DeviceCatalog idle(runner, none.paths);
    EXPECT_FALSE(idle.eject(stick()));
    Device loop;
    loop.id = "loop7";
    runner->calls.clear();
    EXPECT_TRUE(idle.eject(loop));
    EXPECT_EQ(runner->calls, std::vector<std::string>{"loop-delete /dev/loop7"});
    runner->udisks = [](const std::string&, const std::string&) { return 1; };
    EXPECT_FALSE(catalog.eject(stick())) << "a busy disk is not ejected";
}

TEST(ProcessRunner, RunsARealChildAndReportsItsStatus) {
    const auto runner = ProcessRunner::system();
    const auto outcome = runner->run({"sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_TRUE(outcome.started);
    EXPECT_EQ(outcome.status, 3);
    EXPECT_EQ(outcome.output, "out\n");
    EXPECT_FALSE(runner->run({"/nonexistent/vellary-tool"}).started);
}
