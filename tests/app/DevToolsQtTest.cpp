#include "app/DevTools.hpp"
#include "tests/app/model/ModelSupport.hpp"

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
};

QTEST_GUILESS_MAIN(DevToolsQtTest)
#include "DevToolsQtTest.moc"
