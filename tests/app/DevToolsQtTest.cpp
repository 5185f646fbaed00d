#include "app/DevTools.hpp"
#include "tests/app/model/ModelSupport.hpp"
#include "tests/support/FatImage.hpp"
#include "tests/support/SmallTmpfs.hpp"

#include <QRandomGenerator>
#include <mutex>

namespace {

// A thumbnail run whose pictures are plain images of photos, of the size given.
struct Run {
    QStringList lines;
    std::mutex mutex;
    int status = -1;

    Run(const fs::path& image, const fs::path& folder, int side = 40) {
        DevTools::Thumbnails thumbnails;
        thumbnails.pictures = [side](auto) {
            return [side](const RecoverableFile& file) -> std::optional<QImage> {
                if (file.category != FileCategory::photo) return std::nullopt;
                QImage picture(side, side * 3 / 4, QImage::Format_RGB32);
                // Noise, so that the PNG is as large as the picture.
                for (int y = 0; y < picture.height(); ++y)
                    for (int x = 0; x < picture.width(); ++x)
                        picture.setPixel(x, y, QRandomGenerator::global()->generate());
                return picture;
            };
        };
        thumbnails.print = [this](const QString& line) {
            const std::lock_guard lock(mutex);
            lines.append(line);
        };
        status = DevTools::renderThumbnails(QString::fromStdString(image.string()),
                                            QString::fromStdString(folder.string()), thumbnails);
        lines.sort();
    }
};

// A card with two deleted photos of the same name in different folders, and a deleted note.
fs::path sameNamesCard(const fs::path& dir) {
    FatImage card(dir / "card.img", 16 << 20, 16, 4);
    for (const char* folder : {"/A", "/B"}) {
        card.makeDirectory(folder);
        makeJpeg(dir / "photo.jpg", 64, 48, folder[1]);
        card.copyIn(dir / "photo.jpg", std::string(folder) + "/PHOTO.JPG");
    }
    writeFile(dir / "notes.txt", "a note");
    card.copyIn(dir / "notes.txt", "/NOTES.TXT");
    for (const char* path : {"/A/PHOTO.JPG", "/B/PHOTO.JPG", "/NOTES.TXT"})
        card.remove(path);
    return card.path();
}

} // namespace

using Mode = DevTools::Request::Mode;
Q_DECLARE_METATYPE(DevTools::Request)

class DevToolsQtTest : public QObject {
    Q_OBJECT

private slots:
    void parse_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<DevTools::Request>("request");
        const auto snapshot = [](QString out, QString image = {}, qint64 select = 0) {
            return DevTools::Request{Mode::snapshot, out, image, select};
        };
        const DevTools::Request normal;
        const auto row = [](const char* name, QStringList arguments, DevTools::Request request) {
            QTest::newRow(name) << (QStringList{"vellary"} + arguments) << request;
        };
        row("nothing", {}, normal);
        row("snapshot", {"--snapshot-window", "a.png"}, snapshot("a.png"));
        row("options anywhere", {"--select", "3", "--snapshot-window", "a.png", "--image", "c.img"},
            snapshot("a.png", "c.img", 3));
        row("snapshot without its file", {"--image", "c.img", "--snapshot-window"},
            {Mode::none, {}, "c.img", 0});
        row("image without its path", {"--snapshot-window", "a.png", "--image"}, snapshot("a.png"));
        row("select not a number", {"--snapshot-window", "a.png", "--select", "two"},
            snapshot("a.png"));
        row("thumbnails", {"--render-thumbnails", "c.img", "out"},
            {Mode::thumbnails, "out", "c.img", 0});
        row("thumbnails with one value", {"--render-thumbnails", "c.img"}, normal);
        row("snapshot before thumbnails",
            {"--render-thumbnails", "c.img", "out", "--snapshot-window", "a.png"},
            snapshot("a.png"));
        row("matched exactly", {"--Snapshot-Window", "a.png"}, normal);
        row("no equals form", {"--snapshot-window=a.png"}, normal);
        row("a lone image", {"card.img"}, {Mode::none, {}, "card.img", 0});
        row("an image option", {"--image", "card.img"}, {Mode::none, {}, "card.img", 0});
    }
    void parse() {
        QFETCH(QStringList, arguments);
        QFETCH(DevTools::Request, request);
        const auto parsed = DevTools::parse(arguments);
        QCOMPARE(int(parsed.mode), int(request.mode));
        QCOMPARE(parsed.output, request.output);
        QCOMPARE(parsed.image, request.image);
        QCOMPARE(parsed.select, request.select);
    }

    void parseCount() {
        const std::pair<const char*, qint64> cases[] = {
            {"3", 3},
            {"+3", 3},
            {"-2", -2},
            {"007", 7},
            {"", 0},
            {"abc", 0},
            {" 3", 0},
            {"3 ", 0},
            {"3.0", 0},
            {"0x10", 0},
            {"+", 0},
            {"--1", 0},
            {"1e3", 0},
            {"٣", 0},
            {"99999999999999999999", 0},
            {"9223372036854775807", 9223372036854775807},
        };
        for (const auto& [text, count] : cases)
            QCOMPARE(DevTools::parseCount(QString::fromUtf8(text)), count);
    }

    void photosToSelect() {
        const Files visible = {found("a", "a.jpg"), found("v", "v.mov", {}, FileCategory::video),
                               found("r", "r.cr2", {}, FileCategory::raw), found("b", "b.jpg"),
                               found("c", "c.jpg")};
        const std::pair<qint64, QStringList> cases[] = {
            {2, {"a", "b"}}, {5, {"a", "b", "c"}}, {0, {}}, {-1, {}}};
        for (const auto& [count, ids] : cases)
            QCOMPARE(DevTools::photosToSelect(visible, count), ids);
        // A count of 3 with two photos showing selects both.
        QCOMPARE(DevTools::photosToSelect({visible[0], visible[1], visible[3]}, 3),
                 QStringList({"a", "b"}));
    }

    void thumbnailsOfNothing() {
        TempDir dir;
        writeFile(dir / "blank.img", std::string(1 << 20, 0));
        const Run run(dir / "blank.img", dir / "a" / "b");
        QCOMPARE(run.status, 0);
        QVERIFY(run.lines.isEmpty());
        QVERIFY(fs::is_directory(dir / "a" / "b"));
        // Neither a source that cannot be read nor a folder that cannot be made is a crash.
        const Run missing(dir / "gone.img", dir / "c");
        QCOMPARE(missing.status, 1);
        QVERIFY(missing.lines.value(0).startsWith("error: "));
        const Run blocked(dir / "blank.img", dir / "blank.img" / "c");
        QCOMPARE(blocked.status, 1);
        QVERIFY(blocked.lines.value(0).startsWith("error: "));
    }

    void thumbnailsOfSameNames() {
        if (!FatImage::toolsAvailable()) QSKIP("mkfs.fat and mtools are needed");
        TempDir dir;
        const Run run(sameNamesCard(dir.path()), dir / "out");
        QCOMPARE(run.status, 0);
        QCOMPARE(run.lines,
                 QStringList({"no picture _OTES.TXT (other)", "thumbnail  _HOTO.JPG  40x30",
                              "thumbnail  _HOTO.JPG  40x30"}));
        // Both kept: the second under a numbered name.
        const auto base = (dir / "out" / "_HOTO.JPG").string();
        QVERIFY(fs::exists(base + ".png"));
        QVERIFY(fs::exists(base + " 2.png"));
    }

    void thumbnailsFromTheCache() {
        if (!FatImage::toolsAvailable()) QSKIP("mkfs.fat and mtools are needed");
        TempDir dir;
        const auto card = QString::fromStdString(sameNamesCard(dir.path()).string());
        QCOMPARE(DevTools::renderThumbnails(card, QString::fromStdString(dir / "out")), 0);
        for (const char* name : {"_HOTO.JPG.png", "_HOTO.JPG 2.png"})
            QCOMPARE(QImage(QString::fromStdString(dir / "out" / name)).size(), QSize(64, 48));
    }

    void thumbnailsOnAFullDisk() {
        SmallTmpfs full(64 * 1024);
        if (!full.mounted()) QSKIP("mounting a small tmpfs needs root");
        TempDir dir;
        const Run run(sameNamesCard(dir.path()), full.path() / "out", 400);
        QCOMPARE(run.status, 1);
        QVERIFY(run.lines.filter("error: ").size() >= 1);
        // Each line stands for a file that is there; nothing half-written is left.
        const auto written = run.lines.filter("thumbnail  ").size();
        QCOMPARE(std::distance(fs::directory_iterator(full.path() / "out"), {}), written);
    }
};

QTEST_GUILESS_MAIN(DevToolsQtTest)
#include "DevToolsQtTest.moc"
