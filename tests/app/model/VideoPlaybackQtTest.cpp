// Plays a found video through the media player straight from a card image. Needs a display
// (xvfb-run); without one it skips.
#include "app/model/DiskAsset.hpp"
#include "tests/app/model/ModelSupport.hpp"
#include "tests/support/CarveFixtures.hpp"

#include <QGuiApplication>
#include <QMediaPlayer>
#include <QVideoFrame>
#include <QVideoSink>

class VideoPlaybackQtTest : public QObject {
    Q_OBJECT

private slots:
    void playsFromTheSource() {
        if (QGuiApplication::platformName() == "offscreen") QSKIP("needs a display");
        if (!haveTool("ffmpeg")) QSKIP("missing ffmpeg");
        TempDir dir;
        const auto movie = CarveFixtures::produce(
            dir, "clip.mp4",
            "ffmpeg -loglevel error -f lavfi -i testsrc=size=320x240:rate=25 -t 2 -pix_fmt "
            "yuv420p clip.mp4");
        QVERIFY(movie);
        // The movie in two pieces, the second stored first.
        Card card;
        const auto file = card.add("carve-1", "clip.mp4", FileKind::mp4, *movie, 2);
        QMediaPlayer player;
        QVideoSink sink;
        player.setVideoSink(&sink);
        auto* asset = DiskAsset::open(file, card.open(dir), &player);
        QVERIFY(asset);
        QVERIFY(asset->playOn(&player));
        QImage seen;
        int frames = 0;
        connect(&sink, &QVideoSink::videoFrameChanged, this, [&](const QVideoFrame& frame) {
            ++frames;
            if (frame.isValid()) seen = frame.toImage();
        });
        player.play();
        QTRY_VERIFY_WITH_TIMEOUT(frames > 10, 20000);
        QVERIFY(player.error() == QMediaPlayer::NoError);
        QVERIFY(std::abs(player.duration() - 2000) < 100);
        QCOMPARE(seen.size(), QSize(320, 240));
        QTRY_COMPARE_WITH_TIMEOUT(player.mediaStatus(), QMediaPlayer::EndOfMedia, 20000);
    }
};

int main(int argc, char** argv) {
    // The FFmpeg backend reads from a device; it must be chosen before the first media object.
    qputenv("QT_MEDIA_BACKEND", "ffmpeg");
    if (qEnvironmentVariableIsEmpty("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    VideoPlaybackQtTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "VideoPlaybackQtTest.moc"
