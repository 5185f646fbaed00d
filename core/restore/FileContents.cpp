#include "core/restore/FileContents.hpp"

#include "core/restore/FileRead.hpp"

#include <algorithm>
#include <limits>

namespace vellary {

FileContents::FileContents(RecoverableFile file, SharedReader source)
    : file_(std::move(file)), source_(std::move(source)) {
    std::uint64_t held = 0;
    for (const auto& range : file_.ranges)
        if (__builtin_add_overflow(held, range.length, &held)) held = UINT64_MAX;
    size_ = std::min(held, file_.size);
}

Bytes FileContents::read(std::uint64_t offset, std::int64_t count) const {
    if (offset >= size_ || count < 1) return {};
    const std::uint64_t n =
        std::min<std::uint64_t>(size_ - offset, static_cast<std::uint64_t>(count));
    return FileRead::read(*source_, file_, offset, static_cast<std::int64_t>(n));
}

std::uint64_t FileContents::readInto(std::uint64_t offset, std::span<std::uint8_t> into) const {
    if (offset >= size_ || into.empty()) return 0;
    const std::uint64_t n = std::min<std::uint64_t>(size_ - offset, into.size());
    return FileRead::readInto(*source_, file_, offset, into.first(n));
}

} // namespace vellary
