#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/RecoverableFile.hpp"

namespace vellary {

struct FileRead {
    // A found file's bytes from position at inside it, across its ranges. Unreadable sectors
    // come back as zeros; the bytes stop where the source ends.
    static Bytes read(const BlockReader& reader, const RecoverableFile& file, std::uint64_t at,
                      std::int64_t count);
    // The same into the caller's buffer; gives the count read.
    static std::uint64_t readInto(const BlockReader& reader, const RecoverableFile& file,
                                  std::uint64_t at, std::span<std::uint8_t> into);
};

} // namespace vellary
