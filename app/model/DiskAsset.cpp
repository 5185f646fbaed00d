#include "app/model/DiskAsset.hpp"

#include "app/model/ThumbnailCache.hpp"
#include "app/model/ThumbnailRender.hpp"
#include "core/restore/FileRead.hpp"

#include <QMediaPlayer>
#include <QUuid>

namespace vellary {

std::optional<QString> DiskAsset::contentType(const RecoverableFile& file) {
    switch (file.kind) {
    case FileKind::mov:
        return QStringLiteral("video/quicktime");
    case FileKind::mp4:
        return QStringLiteral("video/mp4");
    case FileKind::m4v:
        return QStringLiteral("video/x-m4v");
    case FileKind::threegp:
        return QStringLiteral("video/3gpp");
    case FileKind::m4a:
        return QStringLiteral("audio/mp4");
    default:
        return std::nullopt;
    }
}

DiskAsset* DiskAsset::open(const RecoverableFile& file, SharedReader reader, QObject* parent) {
    const auto type = contentType(file);
    if (!type || !reader) return nullptr;
    auto* asset = new DiskAsset(file, std::move(reader), *type, parent);
    asset->QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    return asset;
}

DiskAsset::DiskAsset(RecoverableFile file, SharedReader reader, QString contentType,
                     QObject* parent)
    : QIODevice(parent), file_(std::move(file)), reader_(std::move(reader)),
      contentType_(std::move(contentType)),
      url_(QStringLiteral("recovered-file://%1/%2")
               .arg(QUuid::createUuid().toString(QUuid::WithoutBraces),
                    ThumbnailCache::typeExtension(file_))) {}

qint64 DiskAsset::readData(char* data, qint64 maxSize) {
    const qint64 start = pos();
    // Past the end there is nothing to read, and nothing is asked of the source.
    if (start >= size() || maxSize <= 0) return 0;
    const qint64 count = std::min({maxSize, size() - start, kMaxRead});
    std::uint64_t got = 0;
    try {
        got = FileRead::readInto(
            *reader_, file_, static_cast<std::uint64_t>(start),
            std::span(reinterpret_cast<std::uint8_t*>(data), static_cast<std::size_t>(count)));
    } catch (const std::exception&) {
        got = 0;
    }
    if (got == 0) {
        setErrorString(QStringLiteral("Couldn't read the video from the disk."));
        return -1;
    }
    return static_cast<qint64>(got);
}

QImage DiskAsset::thumbnail(int maxPixels) const {
    return ThumbnailRender::videoFrame(file_, reader_, maxPixels);
}

bool DiskAsset::playOn(QObject* player) {
    auto* media = qobject_cast<QMediaPlayer*>(player);
    if (!media) return false;
    media->setSourceDevice(this, url_);
    return true;
}

} // namespace vellary
