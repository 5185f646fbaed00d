#include "app/model/ThumbnailProvider.hpp"

#include "app/model/MainThread.hpp"
#include "app/model/ThumbnailCache.hpp"

#include <QUrl>
#include <mutex>

namespace vellary {
namespace {

class Response;

// What a render's answer reaches: the response while it lives. The render may finish on a
// worker after QML dropped the request, so the response unhooks itself when it goes.
struct Slot {
    std::mutex lock;
    Response* response = nullptr;
};

class Response : public QQuickImageResponse {
public:
    Response() : slot_(std::make_shared<Slot>()) { slot_->response = this; }
    ~Response() override {
        const std::lock_guard guard(slot_->lock);
        slot_->response = nullptr;
    }

    // Delivers the image through the main thread's event loop, so that even an answer known at
    // once arrives after the loader has the response in hand.
    static void answer(const std::shared_ptr<Slot>& slot, const QImage& image) {
        postToMain([slot, image] {
            const std::lock_guard guard(slot->lock);
            if (!slot->response) return;
            slot->response->image_ = image;
            emit slot->response->finished();
        });
    }

    std::shared_ptr<Slot> slot() const { return slot_; }
    QQuickTextureFactory* textureFactory() const override {
        return QQuickTextureFactory::textureFactoryForImage(image_);
    }
    QString errorString() const override {
        return image_.isNull() ? QStringLiteral("No picture") : QString();
    }

private:
    std::shared_ptr<Slot> slot_;
    QImage image_;
};

} // namespace

ThumbnailProvider::ThumbnailProvider(CacheSource source) : source_(std::move(source)) {}

QQuickImageResponse* ThumbnailProvider::requestImageResponse(const QString& id,
                                                             const QSize& requestedSize) {
    auto* response = new Response;
    const auto slot = response->slot();
    const auto cache = source_ ? source_() : nullptr;
    static const QString iconPrefix = QStringLiteral("icon/");
    static const QString previewPrefix = QStringLiteral("preview/");
    const bool wantsIcon = id.startsWith(iconPrefix);
    const bool wantsPreview = id.startsWith(previewPrefix);
    const auto bare = wantsIcon      ? id.mid(iconPrefix.size())
                      : wantsPreview ? id.mid(previewPrefix.size())
                                     : id;
    const auto fileID = QUrl::fromPercentEncoding(bare.toUtf8());
    const auto file = cache ? cache->file(fileID.toStdString()) : std::nullopt;
    if (!file) {
        Response::answer(slot, {});
    } else if (wantsIcon) {
        const int side = requestedSize.isValid()
                             ? std::max(requestedSize.width(), requestedSize.height())
                             : kIconPixels;
        postToMain([slot, file = *file, side] {
            Response::answer(slot, ThumbnailCache::icon(file, side));
        });
    } else {
        const auto done = [slot, requestedSize](const QImage& image) {
            const bool larger =
                requestedSize.isValid() &&
                (image.width() > requestedSize.width() || image.height() > requestedSize.height());
            Response::answer(slot, larger ? image.scaled(requestedSize, Qt::KeepAspectRatio,
                                                         Qt::SmoothTransformation)
                                          : image);
        };
        if (wantsPreview)
            cache->preview(*file, done);
        else
            cache->image(*file, done);
    }
    return response;
}

} // namespace vellary
