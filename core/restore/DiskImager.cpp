#include "core/restore/DiskImager.hpp"

#include "core/records/RecoverError.hpp"
#include "core/restore/OutputFile.hpp"

#include <chrono>
#include <optional>
#include <unistd.h>

namespace vellary {

DiskImager::Progress DiskImager::copy(const BlockReader& source,
                                      const std::filesystem::path& destination,
                                      const std::function<void(const Progress&)>& progress,
                                      const std::function<bool()>& isCancelled) {
    OutputFile out = OutputFile::create(destination);
    using Clock = std::chrono::steady_clock;
    Progress state{0, source.size(), 0};
    std::optional<Clock::time_point> lastReport;
    Bytes buffer;
    try {
        while (state.bytesTotal > 0) {
            if (isCancelled && isCancelled()) throw RecoverError::cancelled();
            const std::uint64_t size = source.size();
            if (state.bytesDone >= size) break;
            const std::uint64_t want = std::min<std::uint64_t>(size - state.bytesDone, kChunkSize);
            if (buffer.size() < want) buffer.resize(want);
            const auto piece = source.readTolerantInto(state.bytesDone,
                                                       std::span(buffer.data(), want), kSectorSize);
            if (piece.bytes == 0) break;
            out.write(std::span<const std::uint8_t>(buffer.data(), piece.bytes));
            state.bytesDone += piece.bytes;
            state.unreadable +=
                static_cast<std::uint64_t>(std::max<std::int64_t>(piece.unreadable, 0));
            const auto now = Clock::now();
            if (!lastReport ||
                std::chrono::duration<double>(now - *lastReport).count() > kReportInterval) {
                if (progress) progress(state);
                lastReport = now;
            }
            if (state.bytesDone >= source.size()) break;
        }
        out.finish();
    } catch (...) {
        // Close before deleting; errors of both are beside the point now.
        { OutputFile discard = std::move(out); }
        ::unlink(destination.c_str());
        throw;
    }
    if (progress) progress(state);
    return state;
}

} // namespace vellary
