#pragma once

#include "core/io/BlockReader.hpp"
#include "core/records/RecoverableFile.hpp"

#include <QImage>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QQmlApplicationEngine;

namespace vellary {

class AppModel;

// Two command-line modes for developers that run without the interactive window and end the
// process themselves: a PNG of the main window, and the thumbnails of a disk image's files.
class DevTools {
public:
    struct Request {
        enum class Mode { none, snapshot, thumbnails };
        Mode mode = Mode::none;
        // The PNG file, or the thumbnails' folder.
        QString output;
        // The disk image to scan; in the normal mode, one to open at start.
        QString image;
        qint64 select = 0;
        bool operator==(const Request&) const = default;
    };

    // Delays of the snapshot: until the photos are selected, then until the window is drawn.
    static constexpr int kSelectAfterMs = 2500;
    static constexpr int kDrawAfterMs = 2500;
    static constexpr int kWidth = 1120;
    static constexpr int kHeight = 760;

    // The root screen in the QML module's resources.
    static QUrl mainScreen();
    // Loads the main window into engine over model: the module's own imports and thumbnails.
    static void loadMainScreen(QQmlApplicationEngine& engine, AppModel& model);
    // arguments[0] is the program.
    static Request parse(const QStringList& arguments);
    // A signed decimal count; anything else is 0.
    static qint64 parseCount(const QString& text);
    // The first count photos, in the order shown.
    static QStringList photosToSelect(const std::vector<RecoverableFile>& visible, qint64 count);

    // Runs a developer mode to its end and gives its exit status; nothing when none was asked.
    // Call before any QGuiApplication exists.
    static std::optional<int> runIfRequested(int& argc, char** argv);
    // Both need a QGuiApplication.
    static int snapshotWindow(const QString& output, const QString& image, qint64 select);
    static int renderThumbnails(const QString& image, const QString& folder);

    // A found file's picture, or nothing; called from several threads at once.
    using Picture = std::function<std::optional<QImage>(const RecoverableFile&)>;
    struct Thumbnails {
        // The pictures of the files on one source.
        std::function<Picture(std::shared_ptr<BlockReader>)> pictures;
        // One line of output; lines of concurrent files come in any order.
        std::function<void(const QString&)> print;
        int concurrent = 3;
    };
    static int renderThumbnails(const QString& image, const QString& folder,
                                const Thumbnails& thumbnails);

    // Icons that do not depend on the desktop the tool runs on (the screens fix style and fonts).
    static void useFixedLook();
};

} // namespace vellary
