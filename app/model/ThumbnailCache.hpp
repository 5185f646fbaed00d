#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/RecoverableFile.hpp"

#include <QCache>
#include <QImage>
#include <QString>
#include <QThreadPool>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vellary {

// Grid thumbnails of one session's files, rendered from the source on a pool of three workers.
// Requests for a file being rendered share that render; a file that gave nothing is not tried
// again; after clear nothing more is rendered. Safe to use from any thread.
class ThumbnailCache {
public:
    // Called with a null image when there is no thumbnail; on a worker or the caller's thread.
    using Done = std::function<void(const QImage&)>;

    static constexpr int kMaxPixels = 420;
    static constexpr int kMaxImages = 1500;
    static constexpr int kRenderers = 3;
    static constexpr int kPreviewPixels = 2400;

    explicit ThumbnailCache(SharedReader reader);
    // Clears, then waits for renders under way.
    ~ThumbnailCache();
    ThumbnailCache(const ThumbnailCache&) = delete;
    ThumbnailCache& operator=(const ThumbnailCache&) = delete;

    void image(const RecoverableFile& file, Done done);
    void clear();
    // The preview screen's large picture (2,400 pixels, up to 120 MiB of source), rendered on
    // the same workers and not kept.
    void preview(const RecoverableFile& file, Done done);

    // The session hands every found file over so that image requests by id can find them.
    void remember(const std::vector<RecoverableFile>& files);
    std::optional<RecoverableFile> file(const std::string& id) const;

    static bool hasThumbnail(const RecoverableFile& file);
    static bool isPlayableVideo(const RecoverableFile& file);
    // The icon theme's picture for the file's type. Main thread only (icons draw on pixmaps).
    static QImage icon(const RecoverableFile& file, int size);
    // The extension that names the file's type: the name's own, else the kind's.
    static QString typeExtension(const RecoverableFile& file);

    // Renders started so far, for tests and the benchmark.
    int renders() const { return renders_.load(); }
    // Blocks until the renders under way are done.
    void waitForRenders() { pool_.waitForDone(); }

private:
    void run(const RecoverableFile& file);
    bool isClosed() const;

    SharedReader reader_;
    QThreadPool pool_;
    mutable std::mutex lock_;
    std::unordered_map<std::string, std::vector<Done>> waiting_;
    std::unordered_set<std::string> failed_;
    bool closed_ = false;
    std::unordered_map<std::string, RecoverableFile> files_;
    // QCache is not thread-safe on its own.
    mutable std::mutex cacheLock_;
    QCache<QString, QImage> cache_{kMaxImages};
    std::atomic<int> renders_{0};
};

} // namespace vellary
