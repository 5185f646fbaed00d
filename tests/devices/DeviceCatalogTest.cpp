#include "core/devices/DeviceCatalog.hpp"
#include "core/devices/CameraFolders.hpp"
#include "core/devices/DeviceGuard.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/Tools.hpp"

#include <algorithm>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace vellary;
using namespace vellary::testing;
namespace fs = std::filesystem;

namespace {

// Answers lsblk with recorded output and udisksctl by a rule; remembers the udisksctl calls.
struct FakeRunner : ProcessRunner {
    std::string listing;
    int listingStatus = 0;
    std::function<bool(const std::string& verb, const std::string& node)> fails =
        [](const std::string&, const std::string&) { return false; };
    std::string calls; // "verb node; ..."

    Outcome run(const std::vector<std::string>& a) override {
        if (a.at(0) == "lsblk") return {true, listingStatus, listing};
        for (const auto& word : a)
            if (word.find("force") != std::string::npos) calls += "FORCED ";
        calls += (calls.empty() ? "" : "; ") + a.at(1) + " " + a.back();
        return {true, fails(a.at(1), a.back()) ? 1 : 0, ""};
    }
};

// A recorded listing; a camera card's mount point "@MOUNT@" becomes a folder with DCIM/100CANON.
std::string recorded(const std::string& name) {
    static const TempDir camera;
    fs::create_directories(camera / "DCIM/100CANON");
    auto json = readFile(fs::path(VELLARY_SOURCE_DIR) / "tests/devices/data" / name);
    if (const auto at = json.find("@MOUNT@"); at != std::string::npos)
        json.replace(at, 7, camera.path().string());
    return json;
}

DeviceCatalog catalogOf(const std::string& json, DeviceCatalog::Paths paths = {}) {
    auto runner = std::make_shared<FakeRunner>();
    runner->listing = json;
    return DeviceCatalog(runner, paths);
}

std::string summary(const std::vector<Device>& devices) {
    std::string out;
    for (const auto& d : devices)
        out += (out.empty() ? "" : "; ") + d.id + "=" + d.name + "/" +
               std::string(deviceKind::rawValue(d.kind));
    return out;
}

// A mount table holding the given nodes, and a disk sdz with partitions sdz1..3.
struct Mounted {
    TempDir dir;
    DeviceCatalog::Paths paths;
    const Device stick{.id = "sdz",
                       .partitionIDs = {"sdz1", "sdz2", "sdz3"},
                       .mountedPartitions = {"sdz1", "sdz2"}};
    explicit Mounted(std::istringstream nodes) {
        std::string text = "22 27 0:21 / /proc rw,relatime - proc proc rw\n";
        for (std::string n; nodes >> n;)
            text += "100 27 259:9 / /media/ann/My\\040Card rw shared:1 - vfat /dev/" + n + " rw\n";
        writeFile(dir / "mountinfo", text);
        paths.mountInfo = dir / "mountinfo";
    }
};

} // namespace

TEST(DeviceCatalog, OffersOnlySafeDisksFromRecordedListings) {
    // The SD slot reports neither removable nor hotplug: sysfs names the card's type.
    TempDir sys;
    for (const auto& [disk, type] : {std::pair{"mmcblk0", "SD"}, {"mmcblk1", "MMC"}}) {
        fs::create_directories(sys / "block" / disk / "device");
        writeFile(sys / "block" / disk / "device" / "type", std::string(type) + "\n");
    }
    const DeviceCatalog::Paths paths{.sysRoot = sys.path()};
    const char *sticks = "sdh=Archive/usbDrive; sdk=Photos/usbDrive; sdj=photos/usbDrive",
               *withImage = "sdh=Archive/usbDrive; loop0=External drive/diskImage; "
                            "sdk=Photos/usbDrive; sdj=photos/usbDrive";
    const struct {
        const char *file, *allowImages, *expected; // RECOVER_ALLOW_DISK_IMAGES unset when null
    } cases[] = {
        // "NO NAME" in a partition table gives way to the media name; a bare stick keeps it.
        {"usb-sticks.json", nullptr, "sdc=NO NAME/usbDrive; sdb=SanDisk Cruzer Blade/usbDrive"},
        // Readers, a camera's card, an SD slot; not the eMMC nor its boot area.
        {"card-readers.json", nullptr,
         "sdf=Canon card/memoryCard; sdd=Generic- SD/MMC/MS PRO/memoryCard; "
         "mmcblk0=HOLIDAY/memoryCard; sde=Memory card/memoryCard"},
        // Root on LVM on dm-crypt, /home on dm-crypt on USB, SATA, optical, zram all refused.
        {"system-disks.json", nullptr, "nvme1n1=T7/memoryCard"},
        // Names differing only in case keep lsblk's order; an image only when allowed.
        {"loop-and-case.json", nullptr, sticks},
        {"loop-and-case.json", "loop1, /dev/sdk", sticks},
        {"loop-and-case.json", " ,/dev/loop0,", withImage},
        {"loop-and-case.json", "1", withImage},
        {"this-machine.json", "1", ""},
    };
    for (const auto& c : cases) {
        if (c.allowImages) ::setenv("RECOVER_ALLOW_DISK_IMAGES", c.allowImages, 1);
        EXPECT_EQ(summary(catalogOf(recorded(c.file), paths).devices()), c.expected) << c.file;
        ::unsetenv("RECOVER_ALLOW_DISK_IMAGES");
    }
}

TEST(DeviceCatalog, DescribesEachDiskFromItsPartitions) {
    const auto sticks = catalogOf(recorded("usb-sticks.json")).devices();
    const auto &bare = sticks.at(0), &partitioned = sticks.at(1);
    EXPECT_EQ(partitioned.detail(), "15.63 GB · FAT32");
    EXPECT_EQ(partitioned.mountedPartitions, std::vector<std::string>{"sdb1"});
    EXPECT_EQ(bare.mountedPartitions, std::vector<std::string>{"sdc"});
    // Two sticks of one model are told apart by their own serial, never by the reader.
    EXPECT_NE(partitioned.identity.find("4C530001230811115073"), std::string::npos);
    EXPECT_NE(partitioned.identity, bare.identity);
    EXPECT_EQ(catalogOf(recorded("loop-and-case.json")).devices().at(0).blockSize, 512);
    // Sizes written as strings.
    EXPECT_EQ(catalogOf(recorded("card-readers.json")).devices().at(0).detail(),
              "31.91 GB · ExFAT");
}

TEST(DeviceCatalog, ListingFailuresAreErrorsAndJunkIsSkipped) {
    auto runner = std::make_shared<FakeRunner>();
    runner->listingStatus = 1;
    EXPECT_THROW(DeviceCatalog(runner).devices(), RecoverError);
    runner->listingStatus = 0;
    EXPECT_THROW(catalogOf("{\"blockdevices\": [").devices(), RecoverError);
    for (const char* junk :
         {"[]", "{}", "{\"blockdevices\": 3}", "{\"blockdevices\": [1, null, {}]}",
          "{\"blockdevices\": [{\"name\": \"sdb\", \"type\": \"disk\", \"rm\": true, "
          "\"tran\": \"usb\", \"size\": -5, \"log-sec\": \"x\", \"children\": [7]}]}"}) {
        runner->listing = junk;
        for (const auto& d : DeviceCatalog(runner).devices())
            EXPECT_EQ(d.size + d.blockSize, 512u) << junk;
    }
}

TEST(DeviceCatalog, ListedRefusesWithTheGuardsReason) {
    const auto catalog = catalogOf(recorded("system-disks.json"));
    EXPECT_EQ(catalog.listed("/dev/nvme1n1").name, "T7");
    const std::pair<const char*, const char*> refused[] = {
        {"/dev/nvme0n1", "runs the system"}, {"/dev/sdg", "runs the system"},
        {"/dev/sda", "internal disk"},       {"/dev/nvme1n1p1", "whole"},
        {"/dev/sdq", "No disk named"},
    };
    for (const auto& [node, reason] : refused)
        EXPECT_THAT([&] { catalog.listed(node); },
                    ::testing::ThrowsMessage<RecoverError>(::testing::HasSubstr(reason)));
}

TEST(DeviceCatalog, DestinationIsJudgedByTheNearestExistingFolder) {
    TempDir work;
    const auto notYet = work / "not/yet/here";
    struct stat st {};
    ASSERT_EQ(::stat(work.path().c_str(), &st), 0);
    const auto number = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    // sysfs puts the work folder's file system on a mapper over sdz2.
    TempDir sys;
    fs::create_directories(sys / "devices/dm-0/slaves");
    fs::create_directories(sys / "dev/block");
    fs::create_directories(sys / "devices/sdz/sdz2");
    writeFile(sys / "devices/sdz/sdz2/partition", "2");
    fs::create_directory_symlink(sys / "devices/sdz/sdz2", sys / "devices/dm-0/slaves/sdz2");
    fs::create_directory_symlink(sys / "devices/dm-0", sys / "dev/block" / number);
    const auto catalog = catalogOf("", {.sysRoot = sys.path()});
    Device other{.id = "sdy", .mountPoints = {(work / "card").string()}};
    EXPECT_TRUE(catalog.destination(notYet, Device{.id = "sdz"}));
    EXPECT_FALSE(catalog.destination(notYet, other));
    // Without any sysfs answer only /dev and the mount points decide.
    const auto blind = catalogOf("", {.sysRoot = work / "nothing", .mountInfo = work / "nothing"});
    const std::pair<fs::path, bool> cases[] = {
        {notYet, false},      {work / "card" / "new", true}, {work / "cardboard", false},
        {"/dev/shm/x", true}, {"/devices", false},
    };
    for (const auto& [folder, onDisk] : cases)
        EXPECT_EQ(blind.destination(folder, other), onDisk) << folder;
}

TEST(DeviceCatalog, UnmountLeavesTheDiskAsItFoundItWhenAPartitionIsBusy) {
    const struct {
        const char *mounted, *busy;
        int result; // -1: throws
        const char* calls;
    } cases[] = {
        {"", "", 0, ""},
        {"sdz", "", 1, "unmount /dev/sdz"},
        {"sdz1 sdz2", "", 1, "unmount /dev/sdz1; unmount /dev/sdz2"},
        {"sdz1 sdz2", "/dev/sdz1", -1, "unmount /dev/sdz1"},
        {"sdz1 sdz2", "/dev/sdz2", -1, "unmount /dev/sdz1; unmount /dev/sdz2; mount /dev/sdz1"},
    };
    for (const auto& c : cases) {
        Mounted m(std::istringstream(c.mounted));
        auto runner = std::make_shared<FakeRunner>();
        runner->fails = [&](const std::string& verb, const std::string& node) {
            return verb == "unmount" && node == c.busy;
        };
        const DeviceCatalog catalog(runner, m.paths);
        if (c.result < 0)
            EXPECT_THROW(catalog.unmount(m.stick), RecoverError) << c.busy;
        else
            EXPECT_EQ(catalog.unmount(m.stick), c.result == 1);
        EXPECT_EQ(runner->calls, c.calls) << c.busy;
    }
}

TEST(DeviceCatalog, MountAndEjectTouchOnlyWhatWasMounted) {
    Mounted m(std::istringstream("sdz2")), none(std::istringstream(""));
    auto runner = std::make_shared<FakeRunner>();
    const DeviceCatalog catalog(runner, m.paths), idle(runner, none.paths);
    catalog.mount(m.stick);
    // Eject unmounts, then powers off; where power-off is impossible the unmount counts.
    runner->fails = [](const std::string& verb, const std::string&) { return verb == "power-off"; };
    EXPECT_TRUE(catalog.eject(m.stick));
    EXPECT_FALSE(idle.eject(m.stick));
    EXPECT_TRUE(idle.eject(Device{.id = "loop7"}));
    EXPECT_EQ(runner->calls, "mount /dev/sdz1; unmount /dev/sdz2; power-off /dev/sdz; "
                             "power-off /dev/sdz; loop-delete /dev/loop7");
    runner->fails = [](const std::string&, const std::string&) { return true; };
    EXPECT_FALSE(catalog.eject(m.stick)) << "a busy disk is not ejected";
}

TEST(DeviceGuard, DiskIdentifierNamesOnlyWholeDisks) {
    // "text=disk": a bare name may be a partition of the disk; a /dev node must be the disk.
    std::istringstream cases(
        "sdab12=sdab /dev/sdb1= /dev/vdc=vdc mmcblk0p1=mmcblk0 /dev/mmcblk0p1= mmcblk0p= "
        "mmcblk0boot0= nvme1n1p2=nvme1n1 /dev/nvme1n1=nvme1n1 nvme1= nvme1n= nvmen1= loop3p1=loop3 "
        "loop= sr0= dm-0= sd= sdB= sdb1x= = /dev/= dev/sdb= /dev/sdb/=");
    for (std::string c; cases >> c;) {
        const auto eq = c.rfind('=');
        EXPECT_EQ(DeviceGuard::diskIdentifier(c.substr(0, eq)).value_or(""), c.substr(eq + 1)) << c;
    }
    EXPECT_EQ(DeviceGuard::diskIdentifier(" /dev/sdb\n"), "sdb");
}

TEST(DeviceGuard, RulesInOrder) {
    // "id bus flags": r removable, i internal, p partition, s startup, v virtual, a images
    // allowed, + offered; "_" in a bus is a space.
    std::istringstream cases(
        "sdb USB + sdb usb rp sdb1 usb r sdb usb rs sdb sata i sdb sata ri+ "
        "mmcblk0 secure_digital + sdb pci + sdb ata - sdb ata r+ loop0 disk_image v "
        "loop0 disk_image va+ loop0 usb va");
    for (std::string id, bus, flags; cases >> id >> bus >> flags;) {
        std::replace(bus.begin(), bus.end(), '_', ' ');
        const auto has = [&](char x) { return flags.find(x) != std::string::npos; };
        const DeviceFacts f{.identifier = id,
                            .wholeDisk = !has('p'),
                            .virtualDisk = has('v'),
                            .removableOrExternal = has('r'),
                            .bus = bus,
                            .internalDisk = has('i'),
                            .startup = has('s')};
        EXPECT_EQ(DeviceGuard::isRecoverable(f, has('a')), has('+')) << id << " " << bus << flags;
    }
}

TEST(CameraFolders, IdentifiesTheCameraFromTheCardsFolders) {
    const struct {
        std::vector<std::string> entries; // made under the mount point; "name/" is a folder
        const char* expected;             // "brand/model", or "-" for no match at all
    } cases[] = {
        {{"DCIM/100canon/"}, "Canon/"},
        {{"DCIM/101ND800/"}, "Nikon/"},
        {{"DCIM/100NZ_Z6/"}, "Nikon/"},
        {{"DCIM/100CANO/", "DCIM/100N/", "DCIM/1A0CANON/", "DCIM/A00CANON/", "DCIM/10ACANON/"},
         "/"},
        {{"DCIM/MISC/", "DCIM/100XYZAB/", "DCIM/100MEDIA/"}, "DJI/"},
        {{"DCIM/100_FUJI/", "UPD/X-T4"}, "Fujifilm/X-T4"},
        {{"DCIM/100CANON/", "UPD/.hidden", "UPD/Icon\r"}, "Canon/"},
        {{"DCIM/100XYZAB/", "PRIVATE/M4ROOT/"}, "Sony/"},
        {{"PRIVATE/M4ROOT/"}, "-"},
    };
    for (const auto& c : cases) {
        TempDir mount;
        for (const auto& f : c.entries) {
            fs::create_directories((mount / f).parent_path());
            if (f.back() != '/') writeFile(mount / f, "");
        }
        const auto m = CameraFolders::identify({"", mount.path().string()});
        EXPECT_EQ(m ? m->brand.value_or("") + "/" + m->model.value_or("") : "-", c.expected)
            << &c - cases;
    }
}
