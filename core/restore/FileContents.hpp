#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/RecoverableFile.hpp"

namespace vellary {

// The bytes of one found file as a source of their own, whatever its fragmentation.
class FileContents : public BlockReader {
public:
    FileContents(RecoverableFile file, SharedReader source);

    // The smaller of the file's own size and the bytes its ranges hold.
    std::uint64_t size() const override { return size_; }
    Bytes read(std::uint64_t offset, std::int64_t count) const override;
    std::uint64_t readInto(std::uint64_t offset, std::span<std::uint8_t> into) const override;
    std::int64_t blockSize() const override { return source_->blockSize(); }

    const RecoverableFile& file() const { return file_; }

private:
    RecoverableFile file_;
    SharedReader source_;
    std::uint64_t size_ = 0;
};

} // namespace vellary
