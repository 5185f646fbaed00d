#include "app/model/RecoverySession.hpp"
#include "app/model/RemountQueue.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/app/model/ModelSupport.hpp"

#include <QAbstractItemModelTester>
#include <QElapsedTimer>

using Session = RecoverySession;

namespace {

std::unique_ptr<Session> scanning(std::function<ScanResult(const ScanOptions&)> scan) {
    Session::Engine engine;
    if (scan)
        engine.scan = [=](const BlockReader&, const ScanOptions& options) { return scan(options); };
    return std::make_unique<Session>(Session::Source{std::nullopt, "card.img"},
                                     std::make_shared<DataBlockReader>(Bytes{}), false, engine);
}

std::unique_ptr<Session> idle(Files files = {}) {
    auto session = scanning({});
    session->setClock([] { return localTime(2024, 3, 10, 12, 0); });
    session->merge(files);
    session->rebuild();
    return session;
}

// Each section as "<title>: <file ids>", sections split by " | ".
QString described(const Session& session) {
    QStringList list;
    for (const auto& section : session.sections()) {
        QString files;
        for (auto k = section.begin; k < section.end; ++k)
            files += " " + QString::fromStdString(session.visibleFile(k).id);
        list.append(section.title + ":" + files);
    }
    return list.join(" | ");
}

} // namespace

class RecoverySessionQtTest : public QObject {
    Q_OBJECT

private slots:
    void layout_data() {
        QTest::addColumn<Session::Sort>("sort");
        QTest::addColumn<Files>("files");
        QTest::addColumn<QString>("sections");
        QTest::addColumn<int>("gridRows"); // two tiles a row
        const auto late = localTime(2024, 3, 8, 23, 59);
        const QString eighth = QLocale().toString(QDate(2024, 3, 8), QLocale::LongFormat);
        const auto date = Session::Sort::Date;
        QTest::newRow("23:59 and 00:01")
            << date << Files{found("x", "x", late), found("y", "y", localTime(2024, 3, 9, 0, 1))}
            << "Yesterday: y | " + eighth + ": x" << 4;
        // The deep scan refines a listed file under the same id.
        QTest::newRow("an id seen again replaces the first")
            << date
            << Files{found("x", "x", late),
                     found("x", "x", localTime(2024, 3, 10, 1, 0), FileCategory::video)}
            << "Today: x" << 2;
        QTest::newRow("no date last")
            << date << Files{found("u", "u"), found("x", "x", late), found("v", "v")}
            << eighth + ": x | No date: v u" << 4;
        QTest::newRow("IMG_2 before IMG_10")
            << Session::Sort::Name
            << Files{found("10", "IMG_10.jpg"), found("2", "IMG_2.jpg"), found("3", "img_3.jpg"),
                     found("2b", "IMG_2.jpg"), found("1", "IMG_1.jpg")}
            << ": 1 2 2b 3 10" << 3;
        const auto size = [](const char* id, std::uint64_t bytes) {
            return found(id, id, {}, FileCategory::photo, bytes);
        };
        QTest::newRow("largest first, ties in arrival order")
            << Session::Sort::Size << Files{size("a", 5), size("b", 9), size("c", 5)} << ": b a c"
            << 2;
    }
    void layout() {
        QFETCH(Files, files);
        auto session = idle();
        QAbstractItemModelTester tester(session->grid(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        session->grid()->setColumns(2);
        session->merge(files);
        QFETCH(Session::Sort, sort);
        session->setSort(sort);
        QTEST(described(*session), "sections");
        QTEST(session->grid()->rowCount(), "gridRows");
        int counted = 0;
        for (const auto& count : session->countsValue())
            counted += count.toInt();
        QCOMPARE(counted, session->fileCount());
    }

    void filters() {
        auto damaged = found("c", "IMG_0100.JPG", {}, FileCategory::photo, 1, "101CANON/IMG_0100");
        damaged.headerLooksValid = false;
        auto session =
            idle({found("a", "IMG_0001.JPG", {}, FileCategory::photo, 1, "100CANON/IMG_0001"),
                  found("b", "Sunset.jpg"), damaged,
                  found("d", "MVI_0101.MP4", {}, FileCategory::video, 1, "101CANON/MVI_0101")});
        session->setSort(Session::Sort::Name);
        const std::tuple<QString, QString, bool, QString> cases[] = {
            {"", " \t ", false, ": a c d b"}, {"", "  sunSET ", false, ": b"}, // blank; any case
            {"", "101canon", false, ": c d"}, {"video", "", false, ": d"},
            {"audio", "", false, ""},         {"", "", true, ": a d b"}};
        for (const auto& [category, search, hideDamaged, shown] : cases) {
            session->setCategoryValue(category);
            session->setSearch(search);
            session->setHideDamaged(hideDamaged);
            QCOMPARE(described(*session), shown);
        }
    }

    void rebuildsCoalesceWhileScanningButFollowFiltersAtOnce() {
        std::atomic<bool> done = false;
        auto session = scanning([&](const ScanOptions& options) {
            for (int i = 0; i < 400; ++i)
                options.onFound({found(std::to_string(i), "f")});
            done = true;
            return ScanResult{};
        });
        QElapsedTimer clock;
        clock.start();
        session->start();
        QTRY_VERIFY(done && session->fileCount() == 400);
        QVERIFY(session->rebuildCount() <= 1 + clock.elapsed() / Session::kRebuildDelayMs);
        QTRY_COMPARE(session->state(), Session::State::Finished);
        // Also when the value is unchanged, and never waiting for the timer.
        const int before = session->rebuildCount();
        session->setSearch(QString());
        session->setCategory(std::nullopt);
        QCOMPARE(session->rebuildCount(), before + 2);
        clock.restart();
        session->merge({found("new", "f")});
        QTRY_COMPARE(session->rebuildCount(), before + 3);
        QVERIFY(clock.elapsed() >= Session::kRebuildDelayMs / 2);
    }

    void secondsRemaining() {
        const struct {
            double elapsed;
            qulonglong done;
            QVariant expected; // none in the first six seconds and once all is read
        } cases[] = {{6, 500, {}}, {30, 1000, {}}, {8, 250, 24.0}};
        for (const auto& c : cases) {
            Date now = localTime(2024, 3, 10, 12, 0);
            auto session = idle();
            session->setClock([&] { return now; });
            // The deep scan's clock starts at its first report.
            session->onProgress({ScanProgress::Phase::contents, 0, 1000, 0});
            now += Seconds(c.elapsed);
            session->onProgress({ScanProgress::Phase::contents, c.done, 1000, 0});
            QCOMPARE(session->secondsRemainingValue(), c.expected);
        }
    }

    void outcomes_data() {
        QTest::addColumn<int>("outcome"); // 2: the device goes
        QTest::addColumn<bool>("stopFirst");
        QTest::addColumn<Session::State>("state");
        QTest::newRow("finished") << 0 << false << Session::State::Finished;
        QTest::newRow("stop just before completion") << 0 << true << Session::State::Stopped;
        QTest::newRow("device gone") << 2 << false << Session::State::Failed;
        QTest::newRow("session dropped") << 0 << false << Session::State::Finished;
    }
    void outcomes() {
        QFETCH(int, outcome);
        Gate gate;
        std::atomic<bool> cancelled = false;
        auto session = scanning([&](const ScanOptions& options) {
            options.onFound({found("early", "early")});
            options.report({ScanProgress::Phase::contents, 10, 4096, 1});
            gate.wait();
            cancelled = options.cancelled();
            if (outcome == 2) throw RecoverError::deviceGone();
            return ScanResult{.files = {found("early", "early"), found("last", "last")}};
        });
        session->start();
        QTRY_COMPARE(session->fileCount(), 1);
        QFETCH(bool, stopFirst);
        if (stopFirst) session->stop();
        // A session closed mid-scan stops the scan and ignores what it still reports.
        if (QByteArray(QTest::currentDataTag()) == "session dropped") {
            session.reset();
            gate.open();
            QTRY_VERIFY(cancelled);
            return;
        }
        gate.open();
        QFETCH(Session::State, state);
        QTRY_COMPARE(session->state(), state);
        QCOMPARE(session->failure().isEmpty(), outcome != 2);
        QCOMPARE(session->progress().found, outcome == 0 ? 2 : 1);
    }

    void theGridGrowsAtTheEndOrStartsOver() {
        const auto day = [](int d) { return localTime(2024, 3, d, 10, 0); };
        auto session = idle({found("a", "a", day(9)), found("b", "b", day(8))});
        QAbstractItemModelTester tester(session->grid(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy reset(session->grid(), &QAbstractItemModel::modelReset);
        // Older files only add rows at the end; a newer one lands in front.
        session->merge({found("c", "c", day(7)), found("u", "u")});
        session->rebuild();
        QCOMPARE(reset.count(), 0);
        session->merge({found("n", "n", day(9))});
        session->rebuild();
        QCOMPARE(reset.count(), 1);
    }

    void closingMountsWhatTheScanUnmounted() {
        for (const auto remount : {Session::Remount::Forget, Session::Remount::Background}) {
            std::atomic<int> mounts = 0, forgets = 0;
            Gate gate;
            const bool background = remount == Session::Remount::Background;
            Session::Engine e;
            e.mount = [&](const Device&) { background ? gate.wait() : void(), ++mounts; };
            e.forget = [&](const Device&) { ++forgets; };
            Session session({Device{.id = "sdx"}, "c.img"}, nullptr, true, e);
            session.close(remount);
            QCOMPARE(RemountQueue::pending("sdx"), background);
            gate.open();
            RemountQueue::waitFor("sdx");
            QCOMPARE(std::pair(mounts.load(), forgets.load()), std::pair(int(background), 1));
        }
    }
};

QTEST_GUILESS_MAIN(RecoverySessionQtTest)
#include "RecoverySessionQtTest.moc"
