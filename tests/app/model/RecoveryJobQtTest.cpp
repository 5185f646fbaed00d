#include "app/model/MainThread.hpp"
#include "app/model/RecoveryJob.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/restore/RecoveryNotes.hpp"
#include "tests/app/model/ModelSupport.hpp"

#include <QStandardPaths>

class RecoveryJobQtTest : public QObject {
    Q_OBJECT

private slots:
    void defaultDestination() {
        const auto pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        const auto documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        const std::tuple<int, QString, QString> cases[] = {
            {10, "", pictures}, {9, "", documents}, {0, "/srv", "/srv"}};
        for (const auto& [photos, environment, expected] : cases) {
            Files files(10, found("d", "d", {}, FileCategory::document));
            files.insert(files.end(), photos, found("p", "p", {}, FileCategory::raw));
            qputenv("RECOVER_DEFAULT_DESTINATION", environment.toUtf8());
            const auto path = RecoveryJob::defaultDestination(
                files, "Cam/Card", QDateTime(QDate(2024, 3, 10), QTime(9, 5, 59)));
            qunsetenv("RECOVER_DEFAULT_DESTINATION");
            QCOMPARE(QString::fromStdString(path.string()),
                     expected + "/Vellary/Cam Card 2024-03-10 at 09.05");
        }
    }

    // Free space (with a 50 MiB margin) and "on the source", asked of the nearest existing folder.
    void validation() {
        const qulonglong needed = 1000000 + 50 * 1024 * 1024;
        const std::tuple<bool, qulonglong, bool> cases[] = {
            {true, UINT64_MAX, true}, {false, needed, false}, {false, needed - 1, true}};
        for (const auto& [onSource, free, blocked] : cases) {
            TempDir dir;
            RecoveryJob::Checks checks;
            checks.onSource = [&](const fs::path&, const Device&) { return onSource; };
            checks.freeSpace = [&](const fs::path& folder) {
                return folder == dir.path() ? std::optional<std::uint64_t>(free) : std::nullopt;
            };
            RecoveryJob job({found("a", "a", {}, FileCategory::photo, 1000000)}, "Card",
                            std::make_shared<DataBlockReader>(Bytes{}), Device{.id = "sdx"},
                            checks);
            job.setDestination(dir / "not/yet/there");
            QTRY_VERIFY(!job.checking());
            QCOMPARE(!job.problem().isEmpty(), blocked);
            // A problem blocks the start.
            job.start();
            QCOMPARE(job.state() == RecoveryJob::State::Running, !blocked);
            QTRY_VERIFY(job.state() != RecoveryJob::State::Running);
        }
    }

    // The first check of "slow" ends last and would clear the problem the latest one found.
    void onlyTheLatestCheckCounts() {
        TempDir dir;
        const fs::path slow = dir / "slow";
        fs::create_directories(slow);
        Gate gate;
        std::atomic<bool> waiting = false;
        RecoveryJob::Checks checks;
        checks.freeSpace = [&](const fs::path& folder) {
            if (folder != slow || waiting.exchange(true)) return std::optional<std::uint64_t>(1);
            gate.wait();
            return std::optional<std::uint64_t>(UINT64_MAX);
        };
        RecoveryJob job(Files{}, "Card", std::make_shared<DataBlockReader>(Bytes{}),
                        Device{.id = "sdx"}, checks);
        job.setDestination(slow);
        QTRY_VERIFY(waiting);
        job.setDestination(dir / "fast");
        job.setDestination(slow);
        QTRY_VERIFY(!job.checking());
        QVERIFY(!job.problem().isEmpty());
        gate.open();
        workers().waitForDone();
        QCoreApplication::processEvents();
        QVERIFY(!job.problem().isEmpty());
    }

    // A note of that name recovered earlier is kept; ours is numbered beside it.
    void notes() {
        RestoreReport report;
        report.saved = {RestoredFile{.name = "whole.jpg"}};
        for (const bool troubles : {false, true}) {
            TempDir dir;
            writeFile(dir / RecoveryNotes::kFileName, "earlier");
            if (troubles) {
                report.saved.push_back({.name = "c.jpg", .unreadableBytes = 5000});
                report.saved.push_back({.name = "d.mov", .unreadableBytes = 2500000});
                report.failed = {"x.jpg: No."};
            }
            const auto written = RecoveryNotes::writeNotes(report, dir.path());
            QCOMPARE(readFile(dir / RecoveryNotes::kFileName), std::string("earlier"));
            QCOMPARE(written == dir / "About these files 2.txt", troubles);
            if (!written) continue;
            const auto note = readFile(*written);
            QVERIFY(note.starts_with("These files couldn't be saved:\n  x.jpg: No.\n\n"));
            QVERIFY(note.ends_with(":\n  c.jpg (5 KB unreadable)\n  d.mov (2.5 MB unreadable)"));
        }
    }
};

QTEST_GUILESS_MAIN(RecoveryJobQtTest)
#include "RecoveryJobQtTest.moc"
