#include "app/DevTools.hpp"

#include "app/model/AppModel.hpp"
#include "app/model/ThumbnailCache.hpp"
#include "app/model/ThumbnailProvider.hpp"
#include "core/engine/RecoveryEngine.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/FileKind.hpp"
#include "core/records/RecoverError.hpp"
#include "core/restore/OutputFile.hpp"
#include "core/restore/OutputPath.hpp"
#include "core/restore/UniqueFd.hpp"

#include <QBuffer>
#include <QGuiApplication>
#include <QIcon>
#include <QMouseEvent>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QThreadPool>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <span>

namespace vellary {
namespace {

constexpr const char* kSnapshotSwitch = "--snapshot-window";
constexpr const char* kThumbnailsSwitch = "--render-thumbnails";

// The value after the first exact occurrence of name, when there is one.
std::optional<QString> valueAfter(const QStringList& arguments, const char* name, int offset = 1) {
    const auto at = arguments.indexOf(QString::fromUtf8(name), 1);
    if (at < 0 || at + offset >= arguments.size()) return std::nullopt;
    return arguments.at(at + offset);
}

constexpr int kMaxAlternatives = 10000;

void printLine(const QString& line) {
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

int fail(const QString& description) {
    printLine(QStringLiteral("error: ") + description);
    return 1;
}

std::span<const std::uint8_t> bytesOf(const QByteArray& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.constData()),
            static_cast<std::size_t>(bytes.size())};
}

// Created exclusively, like every file this program writes.
void writeNew(const QString& path, const QByteArray& bytes) {
    auto out = OutputFile::create(std::filesystem::path(path.toStdString()));
    out.write(bytesOf(bytes));
    out.finish();
}

std::optional<QByteArray> encodePNG(const QImage& image) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) return std::nullopt;
    return png;
}

// Writes the PNG under name, or the first free numbered alternative; the name taken.
std::string writeNumbered(int folder, const std::string& name, const QByteArray& png) {
    for (int n = 1; n <= kMaxAlternatives; ++n) {
        const std::string candidate = n == 1 ? name : OutputPath::numbered(name, n);
        auto out = OutputFile::createIfFree(folder, candidate);
        if (!out) continue;
        try {
            out->write(bytesOf(png));
            out->finish();
        } catch (const RecoverError&) {
            // Nothing half-written stays under a real name.
            out.reset();
            ::unlinkat(folder, candidate.c_str(), 0);
            throw;
        }
        return candidate;
    }
    throw RecoverError::message("Couldn't find a free name for " + name + ".");
}

} // namespace

QUrl DevTools::mainScreen() {
    return QUrl(QStringLiteral("qrc:/Vellary/screens/Main.qml"));
}

DevTools::Request DevTools::parse(const QStringList& arguments) {
    Request request;
    if (const auto output = valueAfter(arguments, kSnapshotSwitch)) {
        request.mode = Request::Mode::snapshot;
        request.output = *output;
        request.image = valueAfter(arguments, "--image").value_or(QString());
        request.select = parseCount(valueAfter(arguments, "--select").value_or(QString()));
        return request;
    }
    const auto image = valueAfter(arguments, kThumbnailsSwitch);
    const auto folder = valueAfter(arguments, kThumbnailsSwitch, 2);
    if (image && folder) {
        request.mode = Request::Mode::thumbnails;
        request.image = *image;
        request.output = *folder;
        return request;
    }
    // The normal start: "--image PATH", or a lone path, opens that image at once.
    if (const auto opened = valueAfter(arguments, "--image")) {
        request.image = *opened;
    } else if (arguments.size() == 2 && !arguments.at(1).startsWith(QLatin1Char('-'))) {
        request.image = arguments.at(1);
    }
    return request;
}

qint64 DevTools::parseCount(const QString& text) {
    static const QRegularExpression decimal(QStringLiteral("^[+-]?[0-9]+$"));
    if (!decimal.match(text).hasMatch()) return 0;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    return ok ? value : 0;
}

QStringList DevTools::photosToSelect(const std::vector<RecoverableFile>& visible, qint64 count) {
    QStringList ids;
    for (const auto& file : visible) {
        if (ids.size() >= count) break;
        if (file.category == FileCategory::photo) ids.append(QString::fromStdString(file.id));
    }
    return ids;
}

void DevTools::useFixedLook() {
    // The offscreen platform searches only the resources for icons.
    QIcon::setThemeSearchPaths(QIcon::themeSearchPaths() << QStringLiteral("/usr/share/icons"));
    QIcon::setThemeName(QStringLiteral("Adwaita"));
}

void DevTools::loadMainScreen(QQmlApplicationEngine& engine, AppModel& model) {
    // Installed, the module lives only in the resources.
    engine.addImportPath(QStringLiteral("qrc:/"));
    engine.addImageProvider(QStringLiteral("thumb"),
                            new ThumbnailProvider([&model] { return model.thumbnails(); }));
    engine.load(mainScreen());
}

std::optional<int> DevTools::runIfRequested(int& argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const Request request = parse(arguments);
    if (request.mode == Request::Mode::none) return std::nullopt;
    // Drawn the same on every machine, with or without a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Vellary"));
    QGuiApplication::setOrganizationName(QStringLiteral("Vellary"));
    useFixedLook();
    if (request.mode == Request::Mode::snapshot)
        return snapshotWindow(request.output, request.image, request.select);
    return renderThumbnails(request.image, request.output);
}

int DevTools::snapshotWindow(const QString& output, const QString& image, qint64 select) {
    AppModel model(nullptr);
    if (!image.isEmpty()) model.openImage(image);
    QQmlApplicationEngine engine;
    loadMainScreen(engine, model);
    auto* window = engine.rootObjects().isEmpty()
                       ? nullptr
                       : qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
    if (!window) return fail(QStringLiteral("The main window couldn't be loaded."));
    window->resize(kWidth, kHeight);
    window->show();

    QTimer::singleShot(kSelectAfterMs, &model, [&model, window, select] {
        // Without a pointer the offscreen window puts it at its corner, on the back button, whose
        // tooltip would be drawn: it rests in the empty lower part of the window instead.
        const QPointF rest(kWidth / 2.0, kHeight - 100.0);
        QMouseEvent move(QEvent::MouseMove, rest, window->mapToGlobal(rest), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window, &move);
        auto* session = model.session();
        if (!session || select < 1) return;
        for (const auto& id : photosToSelect(session->visibleFiles(), select))
            session->toggle(id);
    });
    int status = 0;
    QTimer::singleShot(kSelectAfterMs + kDrawAfterMs, window, [&] {
        const auto png = encodePNG(window->grabWindow());
        if (!png) {
            status = fail(QStringLiteral("The window couldn't be drawn."));
        } else {
            try {
                writeNew(output, *png);
                printLine(QStringLiteral("saved ") + output);
            } catch (const RecoverError& error) {
                status = fail(QString::fromStdString(error.errorDescription()));
            }
        }
        QCoreApplication::exit(status);
    });
    QGuiApplication::exec();
    model.prepareToQuit();
    return status;
}

int DevTools::renderThumbnails(const QString& image, const QString& folder) {
    Thumbnails thumbnails;
    // The cache renders on its own workers; each of ours waits for its file's answer.
    thumbnails.pictures = [](std::shared_ptr<BlockReader> reader) -> Picture {
        const auto cache = std::make_shared<ThumbnailCache>(std::move(reader));
        return [cache](const RecoverableFile& file) -> std::optional<QImage> {
            std::promise<QImage> answer;
            auto drawn = answer.get_future();
            cache->image(file, [&answer](const QImage& picture) { answer.set_value(picture); });
            const QImage picture = drawn.get();
            if (picture.isNull()) return std::nullopt;
            return picture;
        };
    };
    return renderThumbnails(image, folder, thumbnails);
}

int DevTools::renderThumbnails(const QString& image, const QString& folder,
                               const Thumbnails& thumbnails) {
    const auto say = thumbnails.print ? thumbnails.print : printLine;
    const auto error = [&](const QString& description) {
        say(QStringLiteral("error: ") + description);
        return 1;
    };
    const std::filesystem::path out(folder.toStdString());
    std::error_code made;
    std::filesystem::create_directories(out, made);
    const UniqueFd dir(::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (made || !dir.valid())
        return error(
            QStringLiteral("Couldn't create the folder %1. %2")
                .arg(folder, QString::fromStdString(made ? made.message() : std::strerror(errno))));
    std::shared_ptr<BlockReader> reader;
    ScanResult result;
    try {
        reader = std::make_shared<FileBlockReader>(std::filesystem::path(image.toStdString()));
        ScanOptions options;
        options.deepScan = true;
        result = RecoveryEngine::scan(*reader, options);
    } catch (const RecoverError& failure) {
        return error(QString::fromStdString(failure.errorDescription()));
    } catch (const std::exception& failure) {
        return error(QString::fromUtf8(failure.what()));
    }
    const Picture picture = thumbnails.pictures(reader);
    std::mutex printing;
    std::atomic<bool> failed = false;
    const auto line = [&](const QString& text) {
        const std::lock_guard lock(printing);
        say(text);
    };
    QThreadPool pool;
    pool.setMaxThreadCount(std::max(1, thumbnails.concurrent));
    for (const auto& file : result.files) {
        pool.start([&, file] {
            const QString name = QString::fromStdString(file.name);
            const auto drawn = picture(file);
            if (!drawn || drawn->isNull()) {
                const auto kind = fileKind::rawValue(file.kind);
                return line(QStringLiteral("no picture %1 (%2)")
                                .arg(name, QString::fromUtf8(kind.data(), qsizetype(kind.size()))));
            }
            const auto png = encodePNG(*drawn);
            try {
                if (!png)
                    throw RecoverError::message("Couldn't encode the thumbnail of " + file.name +
                                                ".");
                writeNumbered(dir.get(), OutputPath::sanitize(file.name) + ".png", *png);
            } catch (const RecoverError& failure) {
                failed = true;
                return line(QStringLiteral("error: ") +
                            QString::fromStdString(failure.errorDescription()));
            }
            const QSizeF size = drawn->deviceIndependentSize();
            line(QStringLiteral("thumbnail  %1  %2x%3")
                     .arg(name)
                     .arg(qRound(size.width()))
                     .arg(qRound(size.height())));
        });
    }
    pool.waitForDone();
    return failed ? 1 : 0;
}

} // namespace vellary
