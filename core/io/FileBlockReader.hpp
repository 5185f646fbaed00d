#pragma once

#include "core/io/BlockReader.hpp"

#include <filesystem>
#include <optional>

namespace vellary {

// A source behind a read-only file descriptor: a raw disk or a disk image file.
class FileBlockReader : public BlockReader {
public:
    // Opens the path read-only; block size 512, unaligned reads.
    explicit FileBlockReader(const std::filesystem::path& path);
    // Refuses a descriptor that can write. Closes it on failure when owns is true.
    FileBlockReader(int descriptor, std::int64_t blockSize, bool alignReads,
                    std::optional<std::uint64_t> expectedSize, bool owns);
    ~FileBlockReader() override;
    FileBlockReader(const FileBlockReader&) = delete;
    FileBlockReader& operator=(const FileBlockReader&) = delete;

    std::uint64_t size() const override { return size_; }
    Bytes read(std::uint64_t offset, std::int64_t count) const override;
    std::uint64_t readInto(std::uint64_t offset, std::span<std::uint8_t> into) const override;
    std::int64_t blockSize() const override { return blockSize_; }

    // Size of a block device or regular file; nothing for anything else or on failure.
    static std::optional<std::uint64_t> measuredSize(int fd);
    // Logical block size of a block device, if the descriptor is one.
    static std::optional<std::int64_t> deviceBlockSize(int fd);

private:
    void setUp(std::int64_t blockSize, bool alignReads, std::optional<std::uint64_t> expectedSize);
    // Reads count bytes at offset into into; the count read, short only where the file ends.
    std::uint64_t readExact(std::uint64_t offset, std::uint8_t* into, std::uint64_t count) const;
    bool deviceVanished() const;

    int fd_ = -1;
    bool ownsDescriptor_ = false;
    std::uint64_t size_ = 0;
    std::int64_t blockSize_ = 512;
    bool align_ = false;
};

} // namespace vellary
