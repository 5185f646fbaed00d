#include "app/model/RecoverySession.hpp"
#include "app/model/RemountQueue.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/app/model/ModelSupport.hpp"
#include "tests/support/DeletedFilesCard.hpp"
#include "tests/support/Tools.hpp"

#include <QAbstractItemModelTester>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <atomic>

using namespace vellary;
using namespace vellary::testing;
using Files = std::vector<RecoverableFile>;
using Session = RecoverySession;

Q_DECLARE_METATYPE(std::vector<RecoverableFile>)

namespace {

const Date kNow = localTime(2024, 3, 10, 12, 0);

Session::Engine
engine(std::function<ScanResult(const BlockReader&, const ScanOptions&)> scan = {}) {
    Session::Engine e;
    e.scan = std::move(scan);
    return e;
}

std::unique_ptr<Session> idle(Files files = {}) {
    auto session = std::make_unique<Session>(Session::Source{std::nullopt, "card.img"}, nullptr,
                                             false, engine());
    session->setClock([] { return kNow; });
    session->merge(files);
    session->rebuild();
    return session;
}

QStringList ids(const Session& session) {
    QStringList list;
    for (const auto i : session.visibleIndexes())
        list.append(QString::fromStdString(session.files()[i].id));
    return list;
}

// Each section as "<title> @ <its id as a local time>: <file ids>".
QStringList described(const Session& session) {
    QStringList list;
    for (const auto& section : session.sections()) {
        QStringList files;
        for (auto k = section.begin; k < section.end; ++k)
            files.append(QString::fromStdString(session.visibleFile(k).id));
        const bool dated = section.id != "undated" && section.id != "all";
        const QString id = dated ? QDateTime::fromSecsSinceEpoch(section.id.toLongLong())
                                       .toString("yyyy-MM-dd hh:mm")
                                 : section.id;
        list.append(section.title + " @ " + id + ": " + files.join(' '));
    }
    return list;
}

QString fullDate(int day) {
    return QLocale().toString(QDate(2024, 3, day), QLocale::LongFormat);
}

} // namespace

class RecoverySessionQtTest : public QObject {
    Q_OBJECT

private slots:
    void aBatchKeepsTheFirstOfEachId() {
        auto session = idle();
        QSignalSpy files(session.get(), &Session::filesChanged);
        session->merge({found("a", "first"), found("b", "b"), found("a", "second")});
        session->merge({found("b", "again", {}, FileCategory::video), found("c", "c")});
        QCOMPARE(session->fileCount(), 3);
        QCOMPARE(session->files()[0].name, std::string("first"));
        QCOMPARE(session->counts().at(FileCategory::photo), 3);
        QCOMPARE(session->counts().count(FileCategory::video), 0u);
        session->rebuild();
        // A batch of known files changes nothing and schedules nothing.
        session->merge({found("c", "c")});
        QCOMPARE(files.count(), 2);
        QVERIFY(!session->rebuildPending());
    }

    void daySections_data() {
        QTest::addColumn<Files>("files");
        QTest::addColumn<QStringList>("sections");
        const auto late = localTime(2024, 3, 8, 23, 59);
        const QString eighth = fullDate(8) + " @ 2024-03-08 00:00: ";
        QTest::newRow("one day") << Files{found("x", "x", localTime(2024, 3, 8, 0, 0)),
                                          found("y", "y", late)}
                                 << QStringList{eighth + "y x"};
        QTest::newRow("23:59 and 00:01")
            << Files{found("x", "x", late), found("y", "y", localTime(2024, 3, 9, 0, 1))}
            << QStringList{"Yesterday @ 2024-03-09 00:00: y", eighth + "x"};
        QTest::newRow("today") << Files{found("t", "t", localTime(2024, 3, 10, 0, 0))}
                               << QStringList{"Today @ 2024-03-10 00:00: t"};
        QTest::newRow("undated last")
            << Files{found("u", "u"), found("x", "x", late), found("v", "v")}
            << QStringList{eighth + "x", "No date @ undated: v u"};
        QTest::newRow("only undated")
            << Files{found("u", "u")} << QStringList{"No date @ undated: u"};
        QTest::newRow("same time, name descending")
            << Files{found("a", "IMG_1", late), found("b", "IMG_2", late),
                     found("c", "IMG_2", late)}
            << QStringList{eighth + "b c a"};
    }
    void daySections() {
        QFETCH(Files, files);
        QFETCH(QStringList, sections);
        QCOMPARE(described(*idle(files)), sections);
    }

    void filters_data() {
        QTest::addColumn<QString>("category");
        QTest::addColumn<QString>("search");
        QTest::addColumn<bool>("hideDamaged");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("all") << ""
                             << "" << false << QStringList{"a", "c", "d", "b"};
        QTest::newRow("blank search") << ""
                                      << " \t " << false << QStringList{"a", "c", "d", "b"};
        QTest::newRow("name, any case, trimmed") << ""
                                                 << "  sunSET " << false << QStringList{"b"};
        QTest::newRow("folder") << ""
                                << "101canon" << false << QStringList{"c", "d"};
        QTest::newRow("category") << "video"
                                  << "" << false << QStringList{"d"};
        QTest::newRow("empty category") << "audio"
                                        << "" << false << QStringList{};
        QTest::newRow("hide damaged") << ""
                                      << "" << true << QStringList{"a", "d", "b"};
        QTest::newRow("all filters") << "photo"
                                     << "canon" << true << QStringList{"a"};
    }
    void filters() {
        auto damaged =
            found("c", "IMG_0100.JPG", {}, FileCategory::photo, 30, "DCIM/101CANON/IMG_0100.JPG");
        damaged.headerLooksValid = false;
        auto session = idle(
            {found("a", "IMG_0001.JPG", {}, FileCategory::photo, 10, "DCIM/100CANON/IMG_0001.JPG"),
             found("b", "Sunset.jpg", {}, FileCategory::photo, 20, "Sunset.jpg"), damaged,
             found("d", "MVI_0101.MP4", {}, FileCategory::video, 40,
                   "DCIM/101CANON/MVI_0101.MP4")});
        session->setSort(Session::Sort::Name);
        QFETCH(QString, category);
        session->setCategoryValue(category);
        QFETCH(QString, search);
        session->setSearch(search);
        QFETCH(bool, hideDamaged);
        session->setHideDamaged(hideDamaged);
        QFETCH(QStringList, shown);
        QCOMPARE(ids(*session), shown);
        QCOMPARE(session->visibleCount(), shown.size());
        QCOMPARE(session->sections().size(), shown.isEmpty() ? 0u : 1u);
        qulonglong bytes = 0;
        for (const auto& file : session->visibleFiles())
            bytes += file.size;
        QCOMPARE(session->visibleBytes(), bytes);
    }

    void orders_data() {
        QTest::addColumn<Session::Sort>("sort");
        QTest::addColumn<Files>("files");
        QTest::addColumn<QStringList>("sections");
        const auto size = [](const char* id, std::uint64_t bytes) {
            return found(id, id, {}, FileCategory::photo, bytes);
        };
        QTest::newRow("names as a file browser sorts them")
            << Session::Sort::Name
            << Files{found("10", "IMG_10.jpg"), found("2", "IMG_2.jpg"), found("3", "img_3.jpg"),
                     found("2b", "IMG_2.jpg"), found("1", "IMG_1.jpg")}
            << QStringList{" @ all: 1 2 2b 3 10"};
        QTest::newRow("largest first, ties in arrival order")
            << Session::Sort::Size << Files{size("a", 5), size("b", 9), size("c", 5)}
            << QStringList{" @ all: b a c"};
    }
    void orders() {
        QFETCH(Session::Sort, sort);
        QFETCH(Files, files);
        QFETCH(QStringList, sections);
        auto session = idle(files);
        session->setSort(sort);
        QCOMPARE(described(*session), sections);
    }

    void rebuildsCoalesceWhileScanningButFollowFiltersAtOnce() {
        std::atomic<bool> done = false;
        Session session({std::nullopt, "card.img"}, nullptr, false,
                        engine([&](const BlockReader&, const ScanOptions& options) {
                            for (int i = 0; i < 400; ++i)
                                options.onFound({found(std::to_string(i), "f")});
                            done = true;
                            return ScanResult{};
                        }));
        QElapsedTimer clock;
        clock.start();
        session.start();
        QTRY_VERIFY(done && session.fileCount() == 400);
        QVERIFY(session.rebuildCount() <= 1 + clock.elapsed() / Session::kRebuildDelayMs);
        QTRY_COMPARE(session.state(), Session::State::Finished);
        QCOMPARE(session.visibleCount(), 400);
        // Also when the value is unchanged, and never waiting for the timer.
        const int before = session.rebuildCount();
        session.setSearch(QString());
        session.setCategory(std::nullopt);
        QCOMPARE(session.rebuildCount(), before + 2);
        session.merge({found("new", "f")});
        QVERIFY(session.rebuildPending());
        QTRY_COMPARE(session.rebuildCount(), before + 3);
        QVERIFY(clock.elapsed() >= Session::kRebuildDelayMs);
    }

    void secondsRemaining_data() {
        QTest::addColumn<ScanProgress::Phase>("phase");
        QTest::addColumn<double>("elapsed");
        QTest::addColumn<qulonglong>("done");
        QTest::addColumn<QVariant>("expected");
        const auto contents = ScanProgress::Phase::contents;
        QTest::newRow("first six seconds") << contents << 6.0 << 500ull << QVariant();
        QTest::newRow("nothing read") << contents << 30.0 << 0ull << QVariant();
        QTest::newRow("all read") << contents << 30.0 << 1000ull << QVariant();
        QTest::newRow("file records")
            << ScanProgress::Phase::fileRecords << 30.0 << 500ull << QVariant();
        QTest::newRow("estimate") << contents << 8.0 << 250ull << QVariant(24.0);
    }
    void secondsRemaining() {
        QFETCH(double, elapsed);
        Date now = kNow;
        auto session = idle();
        session->setClock([&] { return now; });
        // The deep scan's clock starts at its first report.
        session->onProgress({ScanProgress::Phase::contents, 0, 1000, 0});
        now += Seconds(elapsed);
        QFETCH(ScanProgress::Phase, phase);
        QFETCH(qulonglong, done);
        session->onProgress({phase, done, 1000, 0});
        QFETCH(QVariant, expected);
        QCOMPARE(session->secondsRemainingValue(), expected);
        session->onFinished(ScanResult{}, std::nullopt, false);
        QVERIFY(!session->secondsRemaining());
        // Reports after the end are ignored.
        session->onProgress({ScanProgress::Phase::contents, 1, 1000, 0});
        QCOMPARE(session->progress().phase, ScanProgress::Phase::finished);
        QCOMPARE(session->progress().bytesDone, 1000u);
    }

    void outcomes_data() {
        QTest::addColumn<int>("outcome");
        QTest::addColumn<bool>("stopFirst");
        QTest::addColumn<Session::State>("state");
        QTest::addColumn<QString>("failure");
        QTest::newRow("finished") << 0 << false << Session::State::Finished << "";
        QTest::newRow("stop just before completion") << 0 << true << Session::State::Stopped << "";
        QTest::newRow("cancelled") << 1 << true << Session::State::Stopped << "";
        QTest::newRow("failed") << 2 << false << Session::State::Failed
                                << QString::fromStdString(
                                       RecoverError::deviceGone().errorDescription());
    }
    void outcomes() {
        QFETCH(int, outcome);
        Gate gate;
        Session session({std::nullopt, "card.img"}, nullptr, false,
                        engine([&](const BlockReader&, const ScanOptions& options) {
                            options.onFound({found("early", "early")});
                            options.report({ScanProgress::Phase::contents, 10, 4096, 1});
                            gate.wait();
                            if (outcome == 1) throw RecoverError::cancelled();
                            if (outcome == 2) throw RecoverError::deviceGone();
                            ScanResult result;
                            result.files = {found("early", "early"), found("last", "last")};
                            result.warnings = {"One volume was unreadable."};
                            return result;
                        }));
        session.start();
        QTRY_COMPARE(session.fileCount(), 1);
        QFETCH(bool, stopFirst);
        if (stopFirst) session.stop();
        gate.open();
        QFETCH(Session::State, state);
        QTRY_COMPARE(session.state(), state);
        QFETCH(QString, failure);
        QCOMPARE(session.failure(), failure);
        QCOMPARE(session.progress().phase, ScanProgress::Phase::finished);
        QCOMPARE(session.progress().bytesDone, 4096u);
        QCOMPARE(session.progress().found, outcome == 0 ? 2 : 1);
        QCOMPARE(session.visibleCount(), session.fileCount());
        QCOMPARE(session.warnings().size(), outcome == 0 ? 1 : 0);
    }

    void aDroppedSessionIgnoresItsScan() {
        Gate gate;
        std::atomic<bool> ended = false;
        auto session =
            std::make_unique<Session>(Session::Source{std::nullopt, "card.img"}, nullptr, false,
                                      engine([&](const BlockReader&, const ScanOptions& options) {
                                          gate.wait();
                                          options.onFound({found("late", "late")});
                                          ended = options.cancelled();
                                          return ScanResult{};
                                      }));
        session->start();
        session.reset();
        gate.open();
        QTRY_VERIFY(ended);
        QCoreApplication::processEvents();
    }

    void selection() {
        auto session = idle({found("a", "a"), found("b", "b"), found("c", "c")});
        QSignalSpy changed(session.get(), &Session::selectionChanged);
        session->setSearch("b");
        session->selectAllVisible();
        session->toggle("c");
        session->toggle("b");
        QCOMPARE(session->selectedFiles(), (Files{found("c", "c")}));
        session->toggle("a");
        QCOMPARE(session->selectedFiles(), (Files{found("a", "a"), found("c", "c")}));
        QCOMPARE(session->selectedBytes(), 200u);
        session->markRecovered(std::vector<std::string>{"a"});
        QVERIFY(session->isRecovered("a") && !session->isSelected("a") && session->isSelected("c"));
        session->selectNone();
        QCOMPARE(session->selectionCount(), 0);
        QCOMPARE(changed.count(), 6);
    }

    void theGridLaysOutHeadersAndRowsOfTiles() {
        auto session = idle();
        auto* grid = session->grid();
        QAbstractItemModelTester tester(grid,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        grid->setColumns(3);
        const auto day = [](int d, int m) { return localTime(2024, 3, d, 10, m); };
        session->merge({found("a", "a", day(9, 1)), found("b", "b", day(9, 2)),
                        found("c", "c", day(9, 3)), found("d", "d", day(9, 4)),
                        found("e", "e", day(8, 1))});
        session->rebuild();
        using Row = FileGridModel::Row;
        QCOMPARE(grid->rows(), (std::vector<Row>{{0, 0, 0, true},
                                                 {0, 0, 3, false},
                                                 {0, 3, 1, false},
                                                 {1, 4, 0, true},
                                                 {1, 4, 1, false}}));
        QCOMPARE(grid->data(grid->index(3), FileGridModel::TitleRole).toString(),
                 QLocale().toString(QDate(2024, 3, 8), QLocale::LongFormat));
        const auto tiles = grid->data(grid->index(1), FileGridModel::TilesRole).toList();
        QCOMPARE(tiles.size(), 3);
        QCOMPARE(tiles[0].toMap()["id"].toString(), QString("d"));

        // Older files only add rows at the end: the last row grows, the rest is inserted.
        QSignalSpy inserted(grid, &QAbstractItemModel::rowsInserted);
        QSignalSpy reset(grid, &QAbstractItemModel::modelReset);
        QSignalSpy changed(grid, &QAbstractItemModel::dataChanged);
        session->merge({found("f", "f", day(8, 0)), found("g", "g", day(7, 0)), found("u", "u")});
        session->rebuild();
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(inserted[0][1].toInt(), 5);
        QCOMPARE(reset.count(), 0);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(grid->rowCount(), 9);
        // A newer file lands in front: the layout starts over.
        session->merge({found("n", "n", day(9, 5))});
        session->rebuild();
        QCOMPARE(reset.count(), 1);
        session->toggle("n");
        QVERIFY(grid->data(grid->index(1), FileGridModel::TilesRole)
                    .toList()[0]
                    .toMap()["selected"]
                    .toBool());
        grid->setColumns(0);
        QCOMPARE(grid->columns(), 1);
        session->setSort(Session::Sort::Name);
        QCOMPARE(grid->rowCount(), 9);
        session->setCategoryValue("audio");
        QCOMPARE(grid->rowCount(), 0);
    }

    void closingMountsWhatTheScanUnmounted_data() {
        QTest::addColumn<Session::Remount>("remount");
        QTest::addColumn<bool>("unmounted");
        QTest::addColumn<bool>("isDevice");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("now") << Session::Remount::Now << true << true
                             << QStringList{"mount sdx", "forget sdx"};
        QTest::newRow("forget") << Session::Remount::Forget << true << true
                                << QStringList{"forget sdx"};
        QTest::newRow("background") << Session::Remount::Background << true << true
                                    << QStringList{"mount sdx", "forget sdx"};
        QTest::newRow("not unmounted") << Session::Remount::Now << false << true << QStringList{};
        QTest::newRow("image") << Session::Remount::Now << true << false << QStringList{};
    }
    void closingMountsWhatTheScanUnmounted() {
        QFETCH(Session::Remount, remount);
        std::mutex mutex;
        QStringList calls;
        Gate gate;
        const bool background = remount == Session::Remount::Background;
        auto e = engine();
        e.mount = [&](const Device& d) {
            if (background) gate.wait();
            const std::lock_guard lock(mutex);
            calls.append(QString::fromStdString("mount " + d.id));
        };
        e.forget = [&](const Device& d) {
            const std::lock_guard lock(mutex);
            calls.append(QString::fromStdString("forget " + d.id));
        };
        Device device;
        device.id = "sdx";
        device.name = "Card";
        QFETCH(bool, isDevice);
        QFETCH(bool, unmounted);
        Session session({isDevice ? std::optional(device) : std::nullopt, "c.img"}, nullptr,
                        unmounted, e);
        session.close(remount);
        session.close(remount);
        QVERIFY(session.stopFlag()->isSet());
        if (background) {
            QVERIFY(RemountQueue::pending("sdx"));
            QVERIFY(!RemountQueue::pending("sdy"));
            gate.open();
            RemountQueue::waitFor("sdx");
            QVERIFY(!RemountQueue::pending("sdx"));
        }
        const std::lock_guard lock(mutex);
        QFETCH(QStringList, expected);
        QCOMPARE(calls, expected);
    }

    void aRealCardScansIntoTheSession() {
        TempDir dir;
        const auto card = DeletedFilesCard::build(dir.path());
        if (!card) QSKIP("mkfs.fat, mtools or ImageMagick missing");
        Session session({std::nullopt, card->image}, std::make_shared<FileBlockReader>(card->image),
                        false, Session::Engine::system());
        QAbstractItemModelTester tester(session.grid(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy progress(&session, &Session::progressChanged);
        session.start();
        QTRY_COMPARE_WITH_TIMEOUT(session.state(), Session::State::Finished, 120000);
        QVERIFY(progress.count() > 1);
        QCOMPARE(session.title(), QString("card"));
        QVERIFY(session.fileCount() >= static_cast<int>(card->originals.size()));
        session.setSearch("101CANON");
        QStringList names;
        for (const auto& file : session.visibleFiles())
            names.append(QString::fromStdString(file.name));
        // A deleted short name has lost its first letter.
        QVERIFY2(names.contains("_MG_0100.JPG"), qPrintable(names.join(", ")));
        for (const auto& file : session.visibleFiles())
            QVERIFY(QString::fromStdString(file.originalPath).contains("101CANON"));
        session.setSearch("");
        session.setSort(Session::Sort::Name);
        QCOMPARE(session.visibleCount(), session.fileCount());
        QVERIFY(session.counts().at(FileCategory::photo) >= 3);
    }
};

QTEST_GUILESS_MAIN(RecoverySessionQtTest)
#include "RecoverySessionQtTest.moc"
