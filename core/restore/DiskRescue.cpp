#include "core/records/RecoverError.hpp"
#include "core/restore/DiskImager.hpp"
#include "core/restore/UniqueFd.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace vellary {
namespace {

using Clock = std::chrono::steady_clock;
using Status = RescueMap::Status;
using Phase = RescueMap::Phase;

constexpr int kNewImage = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr int kOldImage = O_WRONLY | O_NOFOLLOW | O_CLOEXEC;
// Skipping ahead past a failing area starts with one cluster and doubles while reads keep
// failing, up to this much.
constexpr std::uint64_t kMaxSkip = 256ULL * 1024 * 1024;

double since(Clock::time_point then) {
    return std::chrono::duration<double>(Clock::now() - then).count();
}

class Rescue {
public:
    Rescue(const BlockReader& source, int image, std::string imageName, RescueMap& map,
           const DiskImager::RescueOptions& options, bool mapIsOurs)
        : source_(source), image_(image), imageName_(std::move(imageName)), map_(map),
          options_(options), mapIsOurs_(mapIsOurs),
          sector_(static_cast<std::uint64_t>(std::max<std::int64_t>(512, source.blockSize()))) {
        progress_.bytesTotal = map.size();
        progress_.rescuedBefore = map.bytesWith(Status::finished);
    }

    void run() {
        saveMap();
        copyPass();
        if (!ended_) copyLeftovers();
        trim();
        scrape();
        for (int retry = 1; retry <= options_.retries; ++retry)
            retryBad(retry);
        begin(Phase::finished, 1);
        finish();
    }

    // Leaves the image and map as a later run can go on from.
    void finish() {
        extendImage();
        if (::fsync(image_) != 0) writeFailed(errno);
        saveMap();
        report(true);
    }

    bool mapSaved() const { return mapIsOurs_; }
    const RescueProgress& progress() const { return progress_; }

private:
    void begin(Phase phase, int pass) {
        map_.phase = phase;
        map_.pass = pass;
        if (phase != Phase::copying || pass > 1) saveMap();
        report(true);
    }

    void copyPass() {
        begin(Phase::copying, 1);
        std::uint64_t skip = DiskImager::kClusterSize;
        for (const auto& block : map_.blocksWith(Status::nonTried)) {
            std::uint64_t pos = block.pos;
            const std::uint64_t end = block.pos + block.size;
            int failures = 0;
            while (pos < end && !ended_) {
                const std::uint64_t count = std::min<std::uint64_t>(
                    end - pos, static_cast<std::uint64_t>(DiskImager::kClusterSize));
                if (attempt(pos, count)) {
                    pos += count;
                    failures = 0;
                    skip = DiskImager::kClusterSize;
                    continue;
                }
                map_.set(pos, count, Status::nonTrimmed);
                pos += count;
                // A second failing read in a row means a bad area: skip ahead, further each
                // time, and leave what was skipped to the next pass.
                if (++failures < 2) continue;
                failures = 0;
                pos = std::min(end, pos + skip);
                skip = std::min(skip * 2, kMaxSkip);
            }
        }
    }

    // What the first pass skipped, in clusters.
    void copyLeftovers() {
        if (map_.bytesWith(Status::nonTried) == 0) return;
        begin(Phase::copying, 2);
        for (const auto& block : map_.blocksWith(Status::nonTried)) {
            for (std::uint64_t pos = block.pos; pos < block.pos + block.size && !ended_;) {
                const std::uint64_t piece =
                    std::min<std::uint64_t>(block.pos + block.size - pos,
                                            static_cast<std::uint64_t>(DiskImager::kClusterSize));
                if (!attempt(pos, piece)) map_.set(pos, piece, Status::nonTrimmed);
                pos += piece;
            }
        }
    }

    // From both edges of each failed area inwards, a block at a time, up to the first failure.
    void trim() {
        if (map_.bytesWith(Status::nonTrimmed) == 0) return;
        begin(Phase::trimming, 1);
        for (const auto& block : map_.blocksWith(Status::nonTrimmed)) {
            std::uint64_t head = block.pos;
            std::uint64_t tail = block.pos + block.size;
            while (head < tail && !ended_) {
                const std::uint64_t piece = std::min(sector_ - head % sector_, tail - head);
                const bool ok = attempt(head, piece);
                if (!ok) map_.set(head, piece, Status::badSector);
                head += piece;
                if (!ok) break;
            }
            while (tail > head && !ended_) {
                const std::uint64_t piece =
                    std::min(tail % sector_ == 0 ? sector_ : tail % sector_, tail - head);
                const bool ok = attempt(tail - piece, piece);
                if (!ok) map_.set(tail - piece, piece, Status::badSector);
                tail -= piece;
                if (!ok) break;
            }
            if (head < tail) map_.set(head, tail - head, Status::nonScraped);
        }
    }

    // Through the middle of each failed area, a block at a time.
    void scrape() {
        if (map_.bytesWith(Status::nonScraped) == 0) return;
        begin(Phase::scraping, 1);
        everyBlockOf(Status::nonScraped);
    }

    void retryBad(int retry) {
        if (map_.bytesWith(Status::badSector) == 0) return;
        begin(Phase::retrying, retry);
        everyBlockOf(Status::badSector);
    }

    void everyBlockOf(Status status) {
        for (const auto& block : map_.blocksWith(status))
            for (std::uint64_t pos = block.pos; pos < block.pos + block.size && !ended_;) {
                const std::uint64_t piece =
                    std::min(sector_ - pos % sector_, block.pos + block.size - pos);
                if (!attempt(pos, piece)) map_.set(pos, piece, Status::badSector);
                pos += piece;
            }
    }

    // Reads count bytes at pos into the image. False when the source could not read them; a
    // vanished disk or a stop is thrown.
    bool attempt(std::uint64_t pos, std::uint64_t count) {
        if (options_.isCancelled && options_.isCancelled()) throw RecoverError::cancelled();
        map_.currentPos = pos;
        Bytes data;
        try {
            data = source_.read(pos, static_cast<std::int64_t>(count));
        } catch (const RecoverError& error) {
            if (error.kind() == RecoverError::Case::deviceGone ||
                error.kind() == RecoverError::Case::cancelled)
                throw;
            tick();
            return false;
        }
        write(pos, data);
        map_.set(pos, data.size(), Status::finished);
        if (data.size() < count) {
            // The source ends here, whatever its size said at the start.
            ended_ = true;
            map_.resize(pos + data.size());
        }
        tick();
        return true;
    }

    void write(std::uint64_t pos, const Bytes& data) {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t wrote = ::pwrite(image_, data.data() + done, data.size() - done,
                                           static_cast<off_t>(pos + done));
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) writeFailed(wrote < 0 ? errno : EIO);
            done += static_cast<std::size_t>(wrote);
        }
    }

    [[noreturn]] void writeFailed(int error) const {
        throw RecoverError::message("Couldn't write " + imageName_ + ". " + std::strerror(error));
    }

    // Unread areas at the end must still be there, as zeros, for every offset to stay true.
    void extendImage() {
        struct stat st {};
        if (::fstat(image_, &st) != 0) writeFailed(errno);
        if (static_cast<std::uint64_t>(st.st_size) < map_.size() &&
            ::ftruncate(image_, static_cast<off_t>(map_.size())) != 0)
            writeFailed(errno);
    }

    void saveMap() {
        map_.save(options_.map, mapIsOurs_, options_.commandLine);
        mapIsOurs_ = true;
        lastSave_ = Clock::now();
    }

    void tick() {
        if (since(lastSave_) >= DiskImager::kMapInterval) {
            // The image's bytes must be on disk before a map that says they are.
            if (::fdatasync(image_) != 0) writeFailed(errno);
            saveMap();
        }
        report(false);
    }

    void report(bool always) {
        if (!always && lastReport_ && since(*lastReport_) < DiskImager::kReportInterval) return;
        lastReport_ = Clock::now();
        progress_.bytesTotal = std::max(progress_.bytesTotal, map_.size());
        progress_.rescued = map_.bytesWith(Status::finished);
        progress_.unreadable = map_.bytesWith(Status::nonTrimmed) +
                               map_.bytesWith(Status::nonScraped) +
                               map_.bytesWith(Status::badSector);
        std::size_t areas = 0;
        for (const auto& block : map_.blocks())
            if (block.status != Status::finished && block.status != Status::nonTried) ++areas;
        progress_.areas = areas;
        progress_.phase = map_.phase;
        progress_.pass = map_.pass;
        if (options_.progress) options_.progress(progress_);
    }

    const BlockReader& source_;
    int image_;
    std::string imageName_;
    RescueMap& map_;
    const DiskImager::RescueOptions& options_;
    bool mapIsOurs_;
    std::uint64_t sector_;
    bool ended_ = false;
    RescueProgress progress_;
    Clock::time_point lastSave_ = Clock::now();
    std::optional<Clock::time_point> lastReport_;
};

} // namespace

RescueProgress DiskImager::rescue(const BlockReader& source,
                                  const std::filesystem::path& destination,
                                  const RescueOptions& given) {
    RescueOptions options = given;
    if (options.map.empty()) options.map = destination.string() + ".map";
    const std::string name = destination.filename().string();
    const std::string mapName = options.map.filename().string();

    std::error_code error;
    const bool mapThere = std::filesystem::symlink_status(options.map, error).type() !=
                          std::filesystem::file_type::not_found;
    std::optional<RescueMap> map;
    UniqueFd image;
    if (mapThere) {
        map = RescueMap::load(options.map);
        if (!map)
            throw RecoverError::message(mapName + " is there but is not a map this copy can go "
                                                  "on from.");
        image = UniqueFd(::open(destination.c_str(), kOldImage));
        if (!image.valid()) {
            if (errno == ENOENT)
                throw RecoverError::message(mapName + " is there but not the image " + name +
                                            " it belongs to.");
            throw RecoverError::message("Couldn't open " + name + ". " + std::strerror(errno));
        }
        map->resize(source.size());
    } else {
        image = UniqueFd(::open(destination.c_str(), kNewImage, 0644));
        if (!image.valid())
            throw RecoverError::message("Couldn't create " + name + ". " + std::strerror(errno));
        map.emplace(source.size());
    }

    Rescue rescue(source, image.get(), name, *map, options, mapThere);
    try {
        rescue.run();
    } catch (...) {
        bool resumable = false;
        try {
            throw;
        } catch (const RecoverError& stop) {
            resumable = stop.kind() == RecoverError::Case::cancelled ||
                        stop.kind() == RecoverError::Case::deviceGone;
        } catch (...) {
        }
        if (resumable || mapThere) {
            try {
                rescue.finish();
            } catch (...) {
                // The first failure is the one to tell.
            }
            throw;
        }
        image.reset();
        ::unlink(destination.c_str());
        if (rescue.mapSaved()) ::unlink(options.map.c_str());
        throw;
    }
    RescueProgress result = rescue.progress();
    result.resumed = mapThere;
    return result;
}

} // namespace vellary
