#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/RecoverableFile.hpp"

#include <QIODevice>
#include <QImage>
#include <QUrl>
#include <optional>

namespace vellary {

// A found video as a random-access device for the media player, read from the source in pieces
// of at most 1 MiB as the player asks for them.
class DiskAsset : public QIODevice {
    Q_OBJECT
    Q_PROPERTY(QUrl url READ url CONSTANT)
    Q_PROPERTY(QString contentType READ contentTypeValue CONSTANT)

public:
    static constexpr qint64 kMaxRead = 1'048'576;

    // Open for reading; null when the file is not a video the player streams.
    static DiskAsset* open(const RecoverableFile& file, SharedReader reader,
                           QObject* parent = nullptr);
    // The media type of a streamable kind; absent for the others.
    static std::optional<QString> contentType(const RecoverableFile& file);

    // "recovered-file://<uuid>/<extension>": unique per asset, the extension hints the format.
    QUrl url() const { return url_; }
    QString contentTypeValue() const { return contentType_; }
    const RecoverableFile& file() const { return file_; }
    // The frame at 1 s, at most maxPixels on either side.
    QImage thumbnail(int maxPixels) const;
    // Hands this device to a media player (QML MediaPlayer cannot call setSourceDevice).
    Q_INVOKABLE bool playOn(QObject* player);

    bool isSequential() const override { return false; }
    qint64 size() const override { return static_cast<qint64>(file_.size); }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    DiskAsset(RecoverableFile file, SharedReader reader, QString contentType, QObject* parent);

    RecoverableFile file_;
    SharedReader reader_;
    QString contentType_;
    QUrl url_;
};

} // namespace vellary
