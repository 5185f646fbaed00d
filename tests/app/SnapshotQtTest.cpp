#include "tests/app/model/ModelSupport.hpp"

#include <QImage>
#include <QProcess>
#include <QSet>

namespace {

// Where the pictures stay after the run, for people and for CI to look at.
const QString kKept = QStringLiteral(VELLARY_BUILD_DIR "/snapshots/");

struct Run {
    int status = -1;
    QString output;
};

Run runApp(const QStringList& arguments) {
    QProcess app;
    app.start(QStringLiteral(VELLARY_APP), arguments);
    if (!app.waitForFinished(60'000)) app.kill();
    return {app.exitCode(), QString::fromUtf8(app.readAllStandardOutput())};
}

int distinctColours(const QImage& image) {
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2)
            colours.insert(image.pixel(x, y));
    return int(colours.size());
}

// Pixels of the accent tint that selected tiles are drawn on.
int selectionPixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += image.pixel(x, y) == qRgb(0xe1, 0xec, 0xfb);
    return count;
}

} // namespace

class SnapshotQtTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (!QFile::exists(QStringLiteral(VELLARY_SOURCE_DIR "/app/screens/Main.qml")))
            QSKIP("The screens are not part of this build.");
        QDir(kKept).removeRecursively();
        QVERIFY(QDir().mkpath(kKept));
    }

    void windows_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("scan");
        QTest::newRow("home") << "home.png" << false;
        QTest::newRow("session with photos selected") << "session.png" << true;
    }
    void windows() {
        QFETCH(QString, name);
        QFETCH(bool, scan);
        TempDir dir;
        const QString image = QString::fromStdString((dir / "demo.img").string());
        QStringList arguments{"--snapshot-window", kKept + name};
        if (scan) {
            QCOMPARE(QProcess::execute(VELLARY_CLI, {"demo-image", image}), 0);
            arguments << "--image" << image << "--select"
                      << "3";
        }
        const Run run = runApp(arguments);
        QCOMPARE(run.output, "saved " + kKept + name + "\n");
        QCOMPARE(run.status, 0);
        const QImage shot(kKept + name);
        QCOMPARE(shot.size(), QSize(1120, 760));
        // Drawn, not blank: text, icons and (in the session) photo thumbnails.
        QVERIFY2(distinctColours(shot) > (scan ? 400 : 40),
                 qPrintable(QString::number(distinctColours(shot))));
        // The session, not the home screen, with its three photos selected (about 7,000 each).
        QVERIFY2((selectionPixels(shot) > 15000) == scan,
                 qPrintable(QString::number(selectionPixels(shot))));
        // Nothing is ever written over.
        const Run again = runApp(arguments);
        QCOMPARE(again.status, 1);
        QVERIFY(again.output.startsWith("error: "));
    }
};

QTEST_GUILESS_MAIN(SnapshotQtTest)
#include "SnapshotQtTest.moc"
