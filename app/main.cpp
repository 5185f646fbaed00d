#include "app/DevTools.hpp"
#include "app/model/AppModel.hpp"

#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QtQml/qqmlextensionplugin.h>
#include <cstdio>

Q_IMPORT_QML_PLUGIN(VellaryPlugin)

int main(int argc, char* argv[]) {
    if (const auto status = vellary::DevTools::runIfRequested(argc, argv)) return *status;
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fputs("vellary: no display (DISPLAY and WAYLAND_DISPLAY are unset). vellary-cli scans "
                   "and recovers without one.\n",
                   stderr);
        return 1;
    }
    // Videos stream from the source through a QIODevice, which only the FFmpeg backend plays.
    if (qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND")) qputenv("QT_MEDIA_BACKEND", "ffmpeg");
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Vellary"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Vellary"));
    QGuiApplication::setOrganizationName(QStringLiteral("Vellary"));
    QGuiApplication::setApplicationVersion(QStringLiteral(VELLARY_VERSION));
    // Ties the window to the installed .desktop file (name and icon in the task bar).
    QGuiApplication::setDesktopFileName(QStringLiteral("app.vellary.Vellary"));

    // The screens' symbolic icons, where the desktop's own theme lacks one.
    QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));

    vellary::AppModel model(nullptr);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &model,
                     &vellary::AppModel::prepareToQuit);
    const auto request = vellary::DevTools::parse(QCoreApplication::arguments());
    if (!request.image.isEmpty()) model.openImage(request.image);

    QQmlApplicationEngine engine;
    vellary::DevTools::loadMainScreen(engine, model);
    if (engine.rootObjects().isEmpty()) return 1;
    return QGuiApplication::exec();
}
