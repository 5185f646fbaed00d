#include "app/model/ThumbnailCache.hpp"

#include "app/model/ThumbnailRender.hpp"
#include "core/records/FileTyping.hpp"
#include "core/restore/Previews.hpp"

#include <QIcon>
#include <QMimeDatabase>

namespace vellary {

ThumbnailCache::ThumbnailCache(SharedReader reader) : reader_(std::move(reader)) {
    pool_.setMaxThreadCount(kRenderers);
}

ThumbnailCache::~ThumbnailCache() {
    clear();
    pool_.waitForDone();
}

bool ThumbnailCache::isPlayableVideo(const RecoverableFile& file) {
    if (file.category != FileCategory::video || file.headerLooksValid == false) return false;
    switch (file.kind) {
    case FileKind::mov:
    case FileKind::mp4:
    case FileKind::m4v:
    case FileKind::threegp:
    case FileKind::m4a:
        return true;
    default:
        return false;
    }
}

bool ThumbnailCache::hasThumbnail(const RecoverableFile& file) {
    if (fileKind::hasImagePreview(file.kind) || isPlayableVideo(file)) return true;
    // FFmpeg reads the other containers as well as the playable ones.
    if (file.category == FileCategory::video &&
        fileKind::category(file.kind) == FileCategory::video)
        return file.headerLooksValid != false;
    return file.kind == FileKind::pdf &&
           file.size <= static_cast<std::uint64_t>(Previews::kThumbnailBytes) &&
           file.headerLooksValid != false;
}

void ThumbnailCache::remember(const std::vector<RecoverableFile>& files) {
    const std::lock_guard guard(lock_);
    for (const auto& file : files)
        files_.try_emplace(file.id, file);
}

std::optional<RecoverableFile> ThumbnailCache::file(const std::string& id) const {
    const std::lock_guard guard(lock_);
    const auto found = files_.find(id);
    if (found == files_.end()) return std::nullopt;
    return found->second;
}

bool ThumbnailCache::isClosed() const {
    const std::lock_guard guard(lock_);
    return closed_;
}

void ThumbnailCache::image(const RecoverableFile& file, Done done) {
    if (!hasThumbnail(file)) return done({});
    const QString key = QString::fromStdString(file.id);
    {
        const std::lock_guard guard(cacheLock_);
        if (const QImage* hit = cache_.object(key)) {
            const QImage image = *hit;
            return done(image);
        }
    }
    {
        std::unique_lock guard(lock_);
        if (closed_ || failed_.count(file.id)) {
            guard.unlock();
            return done({});
        }
        auto [waiters, fresh] = waiting_.try_emplace(file.id);
        waiters->second.push_back(std::move(done));
        if (!fresh) return;
    }
    pool_.start([this, file] { run(file); });
}

void ThumbnailCache::preview(const RecoverableFile& file, Done done) {
    if (!hasThumbnail(file) || isClosed()) return done({});
    pool_.start([this, file, done = std::move(done)] {
        done(isClosed() ? QImage()
                        : ThumbnailRender::render(
                              file, reader_, kPreviewPixels, [this] { return isClosed(); },
                              Previews::kPreviewBytes));
    });
}

void ThumbnailCache::run(const RecoverableFile& file) {
    QImage image;
    if (!isClosed()) {
        ++renders_;
        image = ThumbnailRender::render(file, reader_, kMaxPixels, [this] { return isClosed(); });
    }
    std::vector<Done> waiters;
    {
        const std::lock_guard guard(lock_);
        if (!closed_) {
            if (image.isNull()) {
                failed_.insert(file.id);
            } else {
                const std::lock_guard cacheGuard(cacheLock_);
                cache_.insert(QString::fromStdString(file.id), new QImage(image));
            }
        }
        if (const auto found = waiting_.find(file.id); found != waiting_.end()) {
            waiters = std::move(found->second);
            waiting_.erase(found);
        }
    }
    for (const auto& done : waiters)
        done(image);
}

void ThumbnailCache::clear() {
    std::unordered_map<std::string, std::vector<Done>> waiting;
    {
        const std::lock_guard guard(lock_);
        closed_ = true;
        waiting.swap(waiting_);
    }
    for (const auto& [id, waiters] : waiting)
        for (const auto& done : waiters)
            done({});
    const std::lock_guard cacheGuard(cacheLock_);
    cache_.clear();
}

QString ThumbnailCache::typeExtension(const RecoverableFile& file) {
    const auto own = FileTyping::extensionOf(file.name);
    return QString::fromStdString(own.empty() ? std::string(fileKind::fileExtension(file.kind))
                                              : own);
}

QImage ThumbnailCache::icon(const RecoverableFile& file, int size) {
    const auto types = QMimeDatabase().mimeTypesForFileName("file." + typeExtension(file));
    QIcon icon;
    for (const auto& type : types) {
        icon = QIcon::fromTheme(type.iconName(), QIcon::fromTheme(type.genericIconName()));
        if (!icon.isNull()) break;
    }
    // The generic data icon; Adwaita draws it as a plain page.
    if (icon.isNull())
        icon = QIcon::fromTheme(QStringLiteral("application-octet-stream"),
                                QIcon::fromTheme(QStringLiteral("text-x-generic")));
    return icon.pixmap(size, size).toImage();
}

} // namespace vellary
