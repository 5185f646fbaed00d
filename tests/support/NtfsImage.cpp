#include "tests/support/NtfsImage.hpp"

#include "tests/support/ByteWriters.hpp"
#include "tests/support/Tools.hpp"

#include <algorithm>

namespace vellary::testing {
namespace {

Bytes utf16(const std::string& ascii) {
    Bytes out;
    for (const char c : ascii) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

std::size_t align8(std::size_t n) {
    return (n + 7) & ~std::size_t{7};
}

// Common header plus name; returns the attribute with room for the rest of the header.
Bytes attributeHeader(std::uint32_t type, bool nonResident, const std::string& name,
                      std::size_t headerSize) {
    Bytes a(headerSize, 0);
    putLE(a, 0, type, 4);
    a[8] = nonResident ? 1 : 0;
    a[9] = static_cast<std::uint8_t>(name.size());
    if (!name.empty()) {
        putLE(a, 10, static_cast<std::uint16_t>(headerSize), 2);
        const Bytes n = utf16(name);
        a.insert(a.end(), n.begin(), n.end());
    }
    return a;
}

Bytes residentAttribute(std::uint32_t type, const Bytes& value, const std::string& name = "") {
    Bytes a = attributeHeader(type, false, name, 24);
    a.resize(align8(a.size()), 0);
    const std::size_t valueOffset = a.size();
    a.insert(a.end(), value.begin(), value.end());
    a.resize(align8(a.size()), 0);
    putLE(a, 4, static_cast<std::uint32_t>(a.size()), 4);
    putLE(a, 16, static_cast<std::uint32_t>(value.size()), 4);
    putLE(a, 20, static_cast<std::uint16_t>(valueOffset), 2);
    return a;
}

} // namespace

Bytes encodeRunList(const std::vector<RunSpec>& runs) {
    const auto width = [](std::int64_t v) {
        int n = 1;
        while (n < 8) {
            const std::int64_t lo = -(std::int64_t{1} << (8 * n - 1));
            const std::int64_t hi = (std::int64_t{1} << (8 * n - 1)) - 1;
            if (v >= lo && v <= hi) break;
            ++n;
        }
        return n;
    };
    Bytes out;
    for (const auto& run : runs) {
        const int lw = width(run.length);
        const int ow = run.delta ? width(*run.delta) : 0;
        out.push_back(static_cast<std::uint8_t>(lw | (ow << 4)));
        for (int i = 0; i < lw; ++i)
            out.push_back(static_cast<std::uint8_t>(run.length >> (8 * i)));
        for (int i = 0; i < ow; ++i)
            out.push_back(static_cast<std::uint8_t>(*run.delta >> (8 * i)));
    }
    out.push_back(0);
    return out;
}

MftRecordBuilder::MftRecordBuilder(std::size_t size, std::uint16_t usaOffset)
    : size_(size), usaOffset_(usaOffset) {}

MftRecordBuilder& MftRecordBuilder::flags(std::uint16_t value) {
    flags_ = value;
    return *this;
}
MftRecordBuilder& MftRecordBuilder::sequence(std::uint16_t value) {
    sequence_ = value;
    return *this;
}
MftRecordBuilder& MftRecordBuilder::baseReference(std::uint64_t value) {
    base_ = value;
    return *this;
}
MftRecordBuilder& MftRecordBuilder::bytesInUse(std::uint32_t value) {
    bytesInUse_ = value;
    return *this;
}

MftRecordBuilder& MftRecordBuilder::standardInformation(std::uint64_t modified) {
    Bytes value(72, 0);
    putLE(value, 0, modified, 8);
    putLE(value, 8, modified, 8);
    putLE(value, 16, modified, 8);
    putLE(value, 24, modified, 8);
    return raw(residentAttribute(0x10, value));
}

MftRecordBuilder& MftRecordBuilder::fileName(std::uint64_t parent, const std::string& name,
                                             std::uint8_t nameSpace, std::uint64_t modified) {
    Bytes value(66, 0);
    putLE(value, 0, parent, 8);
    putLE(value, 16, modified, 8);
    value[64] = static_cast<std::uint8_t>(name.size());
    value[65] = nameSpace;
    const Bytes n = utf16(name);
    value.insert(value.end(), n.begin(), n.end());
    return raw(residentAttribute(0x30, value));
}

MftRecordBuilder& MftRecordBuilder::residentData(const Bytes& value, const std::string& name) {
    return raw(residentAttribute(0x80, value, name));
}

MftRecordBuilder&
MftRecordBuilder::nonResident(std::uint32_t type, const Bytes& runList, std::uint64_t dataSize,
                              std::uint64_t initializedSize, std::uint64_t firstVCN,
                              std::uint16_t attributeFlags, const std::string& name) {
    Bytes a = attributeHeader(type, true, name, 64);
    a.resize(align8(a.size()), 0);
    const std::size_t runOffset = a.size();
    a.insert(a.end(), runList.begin(), runList.end());
    a.resize(align8(a.size()), 0);
    putLE(a, 4, static_cast<std::uint32_t>(a.size()), 4);
    putLE(a, 12, attributeFlags, 2);
    putLE(a, 16, firstVCN, 8);
    putLE(a, 32, static_cast<std::uint16_t>(runOffset), 2);
    putLE(a, 40, (dataSize + 4095) & ~std::uint64_t{4095}, 8);
    putLE(a, 48, dataSize, 8);
    putLE(a, 56, initializedSize, 8);
    return raw(a);
}

MftRecordBuilder& MftRecordBuilder::attributeList() {
    return raw(residentAttribute(0x20, Bytes(32, 0)));
}

MftRecordBuilder& MftRecordBuilder::raw(const Bytes& attribute) {
    attributes_.insert(attributes_.end(), attribute.begin(), attribute.end());
    return *this;
}

Bytes MftRecordBuilder::image() const {
    Bytes r(size_, 0);
    std::copy_n("FILE", 4, r.begin());
    const auto strides = static_cast<std::uint16_t>(size_ / 512);
    putLE(r, 4, usaOffset_, 2);
    putLE(r, 6, static_cast<std::uint16_t>(strides + 1), 2);
    putLE(r, 16, sequence_, 2);
    const std::size_t first = align8(usaOffset_ + 2 * (strides + 1));
    putLE(r, 20, static_cast<std::uint16_t>(first), 2);
    putLE(r, 22, flags_, 2);
    putLE(r, 32, base_, 8);
    const std::size_t end = std::min(size_ - 8, first + attributes_.size());
    std::copy_n(attributes_.begin(), end - first, r.begin() + static_cast<std::ptrdiff_t>(first));
    putLE(r, end, 0xFFFFFFFF, 4);
    putLE(r, 24, bytesInUse_.value_or(static_cast<std::uint32_t>(end + 8)), 4);
    putLE(r, 28, static_cast<std::uint32_t>(size_), 4);
    return r;
}

Bytes MftRecordBuilder::fixedUp() const {
    // The stored record with its stride ends put back; the update sequence array stays.
    Bytes r = build();
    const Bytes plain = image();
    for (std::size_t i = 1; i <= size_ / 512; ++i)
        std::copy_n(plain.begin() + static_cast<std::ptrdiff_t>(i * 512 - 2), 2,
                    r.begin() + static_cast<std::ptrdiff_t>(i * 512 - 2));
    return r;
}

Bytes MftRecordBuilder::build(std::uint16_t check) const {
    Bytes r = image();
    const std::size_t strides = size_ / 512;
    putLE(r, usaOffset_, check, 2);
    for (std::size_t i = 1; i <= strides; ++i) {
        r[usaOffset_ + 2 * i] = r[i * 512 - 2];
        r[usaOffset_ + 2 * i + 1] = r[i * 512 - 1];
        putLE(r, i * 512 - 2, check, 2);
    }
    return r;
}

std::uint64_t fileTime(std::int64_t unixSeconds) {
    return static_cast<std::uint64_t>(unixSeconds + 11644473600LL) * 10000000ULL;
}

bool NtfsImage::format(const std::filesystem::path& image, std::uint64_t size,
                       const std::string& extra) {
    if (!haveTool("mkfs.ntfs")) return false;
    makeBlankFile(image, size);
    return run("mkfs.ntfs -Q -F " + extra + " '" + image.string() + "' >/dev/null") == 0;
}

bool NtfsImage::embed(const std::filesystem::path& partition, const std::filesystem::path& disk,
                      const std::string& label, std::uint64_t startSector) {
    if (!haveTool("sfdisk")) return false;
    const std::uint64_t partSize = std::filesystem::file_size(partition);
    const std::uint64_t sectors = partSize / 512;
    // Room after the partition for a GPT backup header.
    makeBlankFile(disk, startSector * 512 + partSize + 1024 * 1024);
    const std::string type = label == "gpt" ? "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" : "7";
    const std::string script = "label: " + label + "\\n" + std::to_string(startSector) + " " +
                               std::to_string(sectors) + " " + type + "\\n";
    if (run("printf '" + script + "' | sfdisk --no-reread --no-tell-kernel -q '" + disk.string() +
            "' >/dev/null") != 0)
        return false;
    return run("dd if='" + partition.string() + "' of='" + disk.string() + "' bs=512 seek=" +
               std::to_string(startSector) + " conv=notrunc,sparse status=none") == 0;
}

NtfsMount::NtfsMount(const std::filesystem::path& image, const std::filesystem::path& mountPoint)
    : mountPoint_(mountPoint) {
    std::filesystem::create_directories(mountPoint);
    if (!haveTool("ntfs-3g")) return;
    mounted_ = run("ntfs-3g '" + image.string() + "' '" + mountPoint.string() + "'") == 0;
}

NtfsMount::~NtfsMount() {
    unmount();
}

bool NtfsMount::unmount() {
    if (!mounted_) return true;
    // fusermount may be missing as root; umount works then.
    mounted_ = run("umount '" + mountPoint_.string() + "' || fusermount -u '" +
                   mountPoint_.string() + "'") != 0;
    return !mounted_;
}

Bytes patternBytes(std::size_t size, std::uint32_t seed, const Bytes& header) {
    Bytes out(header.begin(), header.end());
    std::uint32_t x = seed * 2654435761u + 1;
    while (out.size() < size) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out.push_back(static_cast<std::uint8_t>(x));
    }
    out.resize(size);
    return out;
}

} // namespace vellary::testing
