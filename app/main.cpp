#include "app/model/AppModel.hpp"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QUrl>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VellaryPlugin)

namespace {

constexpr const char* kMainScreen = "qrc:/Vellary/screens/Main.qml";

} // namespace

int main(int argc, char* argv[]) {
    // Videos stream from the source through a QIODevice, which only the FFmpeg backend plays.
    if (qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND")) qputenv("QT_MEDIA_BACKEND", "ffmpeg");
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Vellary"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Vellary"));
    QGuiApplication::setOrganizationName(QStringLiteral("Vellary"));
    QGuiApplication::setApplicationVersion(QStringLiteral(VELLARY_VERSION));
    // Ties the window to the installed .desktop file (name and icon in the task bar).
    QGuiApplication::setDesktopFileName(QStringLiteral("app.vellary.Vellary"));

    vellary::AppModel model;
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &model,
                     &vellary::AppModel::prepareToQuit);

    QQmlApplicationEngine engine;
    // Hook: the "thumb" image provider is registered here once it exists.
    engine.load(QUrl(QString::fromUtf8(kMainScreen)));
    if (engine.rootObjects().isEmpty()) return 1;
    return QGuiApplication::exec();
}
