#pragma once

#include <QQuickAsyncImageProvider>
#include <functional>
#include <memory>

namespace vellary {

class ThumbnailCache;

// Serves "image://thumb/<file id>" (the grid thumbnail; an error when the file has none, so the
// grid shows the type icon instead), "image://thumb/preview/<file id>" (the preview screen's
// large picture) and "image://thumb/icon/<file id>" (the icon theme's picture for the file's
// type) from the open session's cache. Ids are percent-encoded where they hold "/".
class ThumbnailProvider : public QQuickAsyncImageProvider {
public:
    using CacheSource = std::function<std::shared_ptr<ThumbnailCache>()>;

    explicit ThumbnailProvider(CacheSource source);
    QQuickImageResponse* requestImageResponse(const QString& id,
                                              const QSize& requestedSize) override;

    static constexpr int kIconPixels = 128;

private:
    CacheSource source_;
};

} // namespace vellary
