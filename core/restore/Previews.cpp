#include "core/restore/Previews.hpp"

#include "core/carve/RAFCarver.hpp"
#include "core/carve/TIFFRawCarver.hpp"
#include "core/formats/JPEGFrames.hpp"
#include "core/restore/FileContents.hpp"
#include "core/restore/FileRead.hpp"

#include <algorithm>

namespace vellary {
namespace {

// Enough of a candidate preview to reach its frame header past the EXIF and maker segments.
constexpr std::uint64_t kFrameProbe = 131'072;
// Smaller "previews" are thumbnails of thumbnails or stray tags.
constexpr std::uint64_t kMinPreview = 64;

bool startsJPEG(const Bytes& bytes) {
    return bytes.size() >= 4 && bytes[0] == 0xFF && bytes[1] == 0xD8;
}

// A medium that fails makes the picture unavailable, never the caller's problem.
std::optional<Bytes> readAt(const BlockReader& reader, const RecoverableFile& file,
                            std::uint64_t at, std::uint64_t count) {
    try {
        return FileRead::read(reader, file, at, static_cast<std::int64_t>(count));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<Bytes> whole(const RecoverableFile& file, const BlockReader& reader,
                           std::uint64_t maxBytes) {
    if (file.size > maxBytes) return std::nullopt;
    return readAt(reader, file, 0, file.size);
}

// The file seen on its own, for the layouts that parse from its first byte. The caller keeps
// the reader alive for the call, so the contents need not own it.
FileContents contentsOf(const RecoverableFile& file, const BlockReader& reader) {
    return FileContents(file, SharedReader(SharedReader(), &reader));
}

std::optional<Bytes> embeddedJPEG(const RecoverableFile& file, const BlockReader& reader,
                                  std::uint64_t maxBytes) {
    std::optional<TIFFRawCarver::Layout> layout;
    try {
        layout = TIFFRawCarver::layout(contentsOf(file, reader), 0, std::nullopt, false);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!layout) return std::nullopt;
    std::vector<ByteRange> candidates;
    for (const auto& preview : layout->previews) {
        std::uint64_t end = 0;
        if (preview.length < kMinPreview || preview.length > maxBytes ||
            __builtin_add_overflow(preview.offset, preview.length, &end) || end > file.size)
            continue;
        candidates.push_back(preview);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const ByteRange& a, const ByteRange& b) { return a.length > b.length; });
    for (const auto& candidate : candidates) {
        const auto head =
            readAt(reader, file, candidate.offset, std::min(candidate.length, kFrameProbe));
        if (!head || !JPEGFrames::isDisplayable(*head)) continue;
        auto bytes = readAt(reader, file, candidate.offset, candidate.length);
        if (bytes && startsJPEG(*bytes)) return bytes;
    }
    return std::nullopt;
}

std::optional<Bytes> rafPreview(const RecoverableFile& file, const BlockReader& reader,
                                std::uint64_t maxBytes) {
    std::optional<RAFCarver::Layout> layout;
    try {
        layout = RAFCarver::layout(contentsOf(file, reader), 0);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!layout || layout->jpegLength > maxBytes) return std::nullopt;
    auto bytes = readAt(reader, file, layout->jpegOffset, layout->jpegLength);
    if (!bytes || !startsJPEG(*bytes)) return std::nullopt;
    return bytes;
}

} // namespace

std::optional<Bytes> Previews::imageData(const RecoverableFile& file, const BlockReader& reader,
                                         std::int64_t maxBytes) {
    if (file.size == 0 || maxBytes < 1) return std::nullopt;
    const auto limit = static_cast<std::uint64_t>(maxBytes);
    switch (file.kind) {
    case FileKind::jpeg:
    case FileKind::heic:
    case FileKind::avif:
    case FileKind::png:
    case FileKind::gif:
    case FileKind::webp:
    case FileKind::bmp:
    case FileKind::psd:
    case FileKind::cr3:
        return whole(file, reader, limit);
    case FileKind::tiff:
    case FileKind::cr2:
    case FileKind::nef:
    case FileKind::arw:
    case FileKind::dng:
    case FileKind::orf:
    case FileKind::rw2:
    case FileKind::pef:
    case FileKind::srw:
        if (auto jpeg = embeddedJPEG(file, reader, limit)) return jpeg;
        return whole(file, reader, limit);
    case FileKind::raf:
        return rafPreview(file, reader, limit);
    default:
        return std::nullopt;
    }
}

} // namespace vellary
