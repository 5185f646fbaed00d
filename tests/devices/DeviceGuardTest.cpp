#include "core/devices/DeviceGuard.hpp"

#include <gtest/gtest.h>

using namespace vellary;

TEST(DeviceGuard, DiskIdentifierNamesOnlyWholeDisks) {
    const std::pair<const char*, const char*> cases[] = {
        {" /dev/sdb\n", "sdb"},
        {"sdb", "sdb"},
        {"sdb1", "sdb"},
        {"sdab12", "sdab"},
        {"/dev/sdb1", ""},
        {"/dev/vdc", "vdc"},
        {"mmcblk0", "mmcblk0"},
        {"mmcblk0p1", "mmcblk0"},
        {"/dev/mmcblk0p1", ""},
        {"mmcblk0p", ""},
        {"mmcblk0boot0", ""},
        {"mmcblk0rpmb", ""},
        {"nvme1n1", "nvme1n1"},
        {"nvme1n1p2", "nvme1n1"},
        {"/dev/nvme1n1", "nvme1n1"},
        {"nvme1", ""},
        {"nvme1n", ""},
        {"nvmen1", ""},
        {"loop3", "loop3"},
        {"loop3p1", "loop3"},
        {"/dev/loop3", "loop3"},
        {"loop", ""},
        {"sr0", ""},
        {"zram0", ""},
        {"dm-0", ""},
        {"md0", ""},
        {"nbd0", ""},
        {"sd", ""},
        {"sdB", ""},
        {"sdb1x", ""},
        {"/dev/rdisk4", ""},
        {"", ""},
        {"/dev/", ""},
        {"dev/sdb", ""},
        {"/dev/sdb/", ""},
        {"/dev/sdb1 ", ""},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(DeviceGuard::diskIdentifier(text).value_or(""), expected) << "[" << text << "]";
}

TEST(DeviceGuard, RulesInOrder) {
    const auto facts = [](const char* bus, bool removable, bool internal) {
        DeviceFacts f;
        f.identifier = "sdb";
        f.wholeDisk = true;
        f.bus = bus;
        f.removableOrExternal = removable;
        f.internalDisk = internal;
        return f;
    };
    struct Case {
        DeviceFacts facts;
        bool allowImages;
        bool expected;
        const char* why;
    };
    auto partition = facts("usb", true, false);
    partition.wholeDisk = false;
    auto badName = facts("usb", true, false);
    badName.identifier = "sdb1";
    auto startup = facts("usb", true, false);
    startup.startup = true;
    auto image = facts("disk image", false, false);
    image.identifier = "loop0";
    image.virtualDisk = true;
    auto imageOtherBus = image;
    imageOtherBus.bus = "usb";
    const Case cases[] = {
        {facts("usb", true, false), false, true, "usb stick"},
        {facts("USB", false, false), false, true, "bus compared lower-cased"},
        {partition, false, false, "partition"},
        {badName, false, false, "partition name"},
        {startup, false, false, "startup"},
        {facts("sata", false, true), false, false, "internal fixed sata"},
        {facts("sata", true, true), false, true, "internal but hot-pluggable sata"},
        {facts("secure digital", false, false), false, true, "sd slot"},
        {facts("thunderbolt", false, false), false, true, "thunderbolt"},
        {facts("firewire", false, false), false, true, "firewire"},
        {facts("pci", false, false), false, true, "pci"},
        {facts("ata", false, false), false, false, "external on an unknown bus"},
        {facts("ata", true, false), false, true, "removable on an unknown bus"},
        {facts("", false, false), false, false, "no bus"},
        {image, false, false, "image not allowed"},
        {image, true, true, "image allowed"},
        {imageOtherBus, true, false, "virtual with another bus"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DeviceGuard::isRecoverable(c.facts, c.allowImages), c.expected) << c.why;
        EXPECT_EQ(DeviceGuard::refusal(c.facts, c.allowImages).has_value(), !c.expected) << c.why;
    }
}
