#include "app/DevTools.hpp"

#include "app/model/AppModel.hpp"
#include "core/records/RecoverError.hpp"
#include "core/restore/OutputFile.hpp"

#include <QBuffer>
#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QTimer>
#include <cstdio>
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

void printLine(const QString& line) {
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

int fail(const QString& description) {
    printLine(QStringLiteral("error: ") + description);
    return 1;
}

// Created exclusively, like every file this program writes.
void writeNew(const QString& path, const QByteArray& bytes) {
    auto out = OutputFile::create(std::filesystem::path(path.toStdString()));
    out.write(std::span(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                        static_cast<std::size_t>(bytes.size())));
    out.finish();
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
    QGuiApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 10));
}

std::optional<int> DevTools::runIfRequested(int& argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const Request request = parse(arguments);
    if (request.mode == Request::Mode::none) return std::nullopt;
    // Drawn the same on every machine, with or without a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_CONTROLS_STYLE", "Fusion");
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Vellary"));
    QGuiApplication::setOrganizationName(QStringLiteral("Vellary"));
    useFixedLook();
    if (request.mode == Request::Mode::snapshot)
        return snapshotWindow(request.output, request.image, request.select);
    return std::nullopt;
}

int DevTools::snapshotWindow(const QString& output, const QString& image, qint64 select) {
    AppModel model;
    if (!image.isEmpty()) model.openImage(image);
    QQmlApplicationEngine engine;
    engine.load(mainScreen());
    auto* window = engine.rootObjects().isEmpty()
                       ? nullptr
                       : qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
    if (!window) return fail(QStringLiteral("The main window couldn't be loaded."));
    window->resize(kWidth, kHeight);
    window->show();
    window->raise();

    QTimer::singleShot(kSelectAfterMs, &model, [&model, select] {
        auto* session = model.session();
        if (!session || select < 1) return;
        for (const auto& id : photosToSelect(session->visibleFiles(), select))
            session->toggle(id);
    });
    int status = 0;
    QTimer::singleShot(kSelectAfterMs + kDrawAfterMs, window, [&] {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        if (!window->grabWindow().save(&buffer, "PNG")) {
            status = fail(QStringLiteral("The window couldn't be drawn."));
        } else {
            try {
                writeNew(output, png);
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

} // namespace vellary
