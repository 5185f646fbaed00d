#pragma once

#include "core/io/BlockReader.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vellary::testing {

// One run for encodeRunList: a length and an LCN delta (none: sparse).
struct RunSpec {
    std::int64_t length = 0;
    std::optional<std::int64_t> delta;
};
// NTFS mapping pairs with minimal field widths, ending in a 0 byte.
Bytes encodeRunList(const std::vector<RunSpec>& runs);

// Builds one MFT file record in memory, attribute by attribute.
class MftRecordBuilder {
public:
    explicit MftRecordBuilder(std::size_t size = 1024, std::uint16_t usaOffset = 48);

    MftRecordBuilder& flags(std::uint16_t value);
    MftRecordBuilder& sequence(std::uint16_t value);
    MftRecordBuilder& baseReference(std::uint64_t value);
    MftRecordBuilder& bytesInUse(std::uint32_t value); // overrides the computed value
    MftRecordBuilder& standardInformation(std::uint64_t modifiedFileTime);
    MftRecordBuilder& fileName(std::uint64_t parent, const std::string& asciiName,
                               std::uint8_t nameSpace, std::uint64_t modifiedFileTime = 0);
    MftRecordBuilder& residentData(const Bytes& value, const std::string& asciiName = "");
    MftRecordBuilder& nonResident(std::uint32_t type, const Bytes& runList, std::uint64_t dataSize,
                                  std::uint64_t initializedSize, std::uint64_t firstVCN = 0,
                                  std::uint16_t attributeFlags = 0,
                                  const std::string& asciiName = "");
    MftRecordBuilder& attributeList();
    // Appends raw attribute bytes as they stand.
    MftRecordBuilder& raw(const Bytes& attribute);

    // The record as stored: end marker written and the update sequence applied.
    Bytes build(std::uint16_t check = 0x4B1D) const;
    // The record as parse sees it after the fixups.
    Bytes fixedUp() const;

private:
    Bytes image() const;

    std::size_t size_;
    std::uint16_t usaOffset_;
    std::uint16_t flags_ = 1;
    std::uint16_t sequence_ = 1;
    std::uint64_t base_ = 0;
    std::optional<std::uint32_t> bytesInUse_;
    Bytes attributes_;
};

// Windows file time for a Unix time in seconds.
std::uint64_t fileTime(std::int64_t unixSeconds);

// Real NTFS images made with mkfs.ntfs and filled through ntfs-3g.
struct NtfsImage {
    // mkfs.ntfs -Q -F on a fresh image file of the given size; extra goes on the command line.
    static bool format(const std::filesystem::path& image, std::uint64_t size,
                       const std::string& extra = "");
    // Writes an image into a fresh disk image at startSector, under an MBR ("dos") or GPT table.
    static bool embed(const std::filesystem::path& partition, const std::filesystem::path& disk,
                      const std::string& label, std::uint64_t startSector);
};

// An ntfs-3g FUSE mount of an image file, unmounted when the object dies.
class NtfsMount {
public:
    NtfsMount(const std::filesystem::path& image, const std::filesystem::path& mountPoint);
    ~NtfsMount();
    NtfsMount(const NtfsMount&) = delete;
    NtfsMount& operator=(const NtfsMount&) = delete;

    bool mounted() const { return mounted_; }
    const std::filesystem::path& root() const { return mountPoint_; }
    bool unmount();

private:
    std::filesystem::path mountPoint_;
    bool mounted_ = false;
};

// Deterministic pseudo-random bytes, optionally starting with a header.
Bytes patternBytes(std::size_t size, std::uint32_t seed, const Bytes& header = {});

} // namespace vellary::testing
