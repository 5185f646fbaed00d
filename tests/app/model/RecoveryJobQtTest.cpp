#include "app/model/MainThread.hpp"
#include "app/model/RecoveryJob.hpp"
#include "app/model/RecoverySession.hpp"
#include "core/engine/RecoveryEngine.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "core/restore/RecoveryNotes.hpp"
#include "tests/app/model/ModelSupport.hpp"
#include "tests/support/DeletedFilesCard.hpp"
#include "tests/support/Tools.hpp"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <fstream>
#include <mutex>

using namespace vellary;
using namespace vellary::testing;
using Files = std::vector<RecoverableFile>;
namespace fs = std::filesystem;

Q_DECLARE_METATYPE(std::optional<std::uint64_t>)
Q_DECLARE_METATYPE(std::vector<RecoverableFile>)
Q_DECLARE_METATYPE(vellary::RestoreReport)

namespace {

constexpr std::uint64_t MB = 1000 * 1000;
constexpr std::uint64_t MiB = 1024 * 1024;

Files mix(int pictures, int documents) {
    Files files;
    const FileCategory kinds[] = {FileCategory::photo, FileCategory::raw, FileCategory::video};
    for (int i = 0; i < pictures; ++i)
        files.push_back(found("p" + std::to_string(i), "p", {}, kinds[i % 3]));
    for (int i = 0; i < documents; ++i)
        files.push_back(found("d" + std::to_string(i), "d", {}, FileCategory::document));
    return files;
}

Device card() {
    Device device;
    device.id = "sdx";
    device.name = "Card";
    return device;
}

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

RestoredFile partly(std::string name, std::uint64_t unreadable) {
    RestoredFile file;
    file.name = std::move(name);
    file.unreadableBytes = unreadable;
    return file;
}

} // namespace

class RecoveryJobQtTest : public QObject {
    Q_OBJECT

private slots:
    void defaultDestination_data() {
        QTest::addColumn<Files>("files");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("environment");
        QTest::addColumn<QString>("expected");
        const auto pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        const auto documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        QTest::newRow("ten and ten") << mix(10, 10) << "Card"
                                     << "" << pictures + "/Vellary/Card 2024-03-10 at 09.05";
        QTest::newRow("nine and ten") << mix(9, 10) << "Card"
                                      << "" << documents + "/Vellary/Card 2024-03-10 at 09.05";
        QTest::newRow("no files") << Files{} << "Card"
                                  << "" << pictures + "/Vellary/Card 2024-03-10 at 09.05";
        QTest::newRow("slashes become blanks")
            << mix(1, 0) << "Cam/Card"
            << "" << pictures + "/Vellary/Cam Card 2024-03-10 at 09.05";
        QTest::newRow("nothing left of the title")
            << mix(0, 1) << "../.."
            << "" << documents + "/Vellary/Disk 2024-03-10 at 09.05";
        QTest::newRow("environment") << mix(0, 1) << "Card"
                                     << "/srv/out"
                                     << "/srv/out/Vellary/Card 2024-03-10 at 09.05";
    }
    void defaultDestination() {
        QFETCH(QString, environment);
        if (environment.isEmpty())
            qunsetenv("RECOVER_DEFAULT_DESTINATION");
        else
            qputenv("RECOVER_DEFAULT_DESTINATION", environment.toUtf8());
        QFETCH(Files, files);
        QFETCH(QString, title);
        const auto path = RecoveryJob::defaultDestination(
            files, title.toStdString(), QDateTime(QDate(2024, 3, 10), QTime(9, 5, 59)));
        qunsetenv("RECOVER_DEFAULT_DESTINATION");
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(path.string()), expected);
    }

    void validation_data() {
        QTest::addColumn<bool>("onSource");
        QTest::addColumn<std::optional<std::uint64_t>>("free");
        QTest::addColumn<QString>("problem");
        const Files oneMB = {found("a", "a", {}, FileCategory::photo, MB)};
        QTest::newRow("on the source, room enough")
            << true << std::optional<std::uint64_t>(UINT64_MAX)
            << QString::fromStdString(RecoverError::destinationOnSource().errorDescription());
        QTest::newRow("40 MB free for 1 MB")
            << false << std::optional<std::uint64_t>(40 * MB)
            << QString::fromStdString(
                   RecoverError::notEnoughSpace(MB + 50 * MiB, 40 * MB).errorDescription());
        QTest::newRow("just enough")
            << false << std::optional<std::uint64_t>(MB + 50 * MiB) << QString();
        QTest::newRow("one byte short")
            << false << std::optional<std::uint64_t>(MB + 50 * MiB - 1)
            << QString::fromStdString(RecoverError::notEnoughSpace(MB + 50 * MiB, MB + 50 * MiB - 1)
                                          .errorDescription());
        QTest::newRow("free unknown") << false << std::optional<std::uint64_t>() << QString();
    }
    void validation() {
        QFETCH(bool, onSource);
        QFETCH(std::optional<std::uint64_t>, free);
        TempDir dir;
        std::mutex mutex;
        std::vector<fs::path> asked;
        RecoveryJob::Checks checks;
        checks.onSource = [&](const fs::path&, const Device& device) {
            return onSource && device.id == "sdx";
        };
        checks.freeSpace = [&](const fs::path& folder) {
            const std::lock_guard lock(mutex);
            asked.push_back(folder);
            return free;
        };
        RecoveryJob job({found("a", "a", {}, FileCategory::photo, MB)}, "Card",
                        std::make_shared<DataBlockReader>(Bytes{}), card(), checks);
        QVERIFY(job.checking());
        job.setDestination(dir / "not/yet/there");
        QTRY_VERIFY(!job.checking());
        QFETCH(QString, problem);
        QCOMPARE(job.problem(), problem);
        QCOMPARE(job.freeSpace(), free);
        {
            const std::lock_guard lock(mutex);
            // The nearest existing folder is asked, not the one still to be made.
            QVERIFY(std::find(asked.begin(), asked.end(), dir.path()) != asked.end());
        }
        // A problem blocks the start.
        job.start();
        QCOMPARE(job.state(),
                 job.problem().isEmpty() ? RecoveryJob::State::Running : RecoveryJob::State::Ready);
        QTRY_VERIFY(job.state() != RecoveryJob::State::Running);
    }

    void anImageIsNeverTheDestination() {
        RecoveryJob::Checks checks;
        checks.onSource = [](const fs::path&, const Device&) { return true; };
        checks.freeSpace = [](const fs::path&) { return std::optional<std::uint64_t>(); };
        RecoveryJob job(Files{}, "card", std::make_shared<DataBlockReader>(Bytes{}), std::nullopt,
                        checks);
        QTRY_VERIFY(!job.checking());
        QVERIFY(job.problem().isEmpty());
    }

    void onlyTheLatestCheckCounts() {
        TempDir dir;
        const fs::path slow = dir / "slow";
        const fs::path fast = dir / "fast";
        fs::create_directories(slow);
        fs::create_directories(fast);
        Gate gate;
        RecoveryJob::Checks checks;
        checks.onSource = [&](const fs::path& folder, const Device&) {
            if (folder == slow) gate.wait();
            return false;
        };
        checks.freeSpace = [&](const fs::path& folder) {
            return std::optional<std::uint64_t>(folder == fast ? 1 : UINT64_MAX);
        };
        RecoveryJob job(Files{}, "Card", std::make_shared<DataBlockReader>(Bytes{}), card(),
                        checks);
        QSignalSpy destination(&job, &RecoveryJob::destinationChanged);
        job.setDestination(slow);
        job.setDestination(fast);
        job.setDestination(fast);
        QCOMPARE(destination.count(), 2);
        QTRY_VERIFY(!job.checking());
        QVERIFY(!job.problem().isEmpty());
        QCOMPARE(job.freeSpace(), std::optional<std::uint64_t>(1));
        gate.open();
        workers().waitForDone();
        QCoreApplication::processEvents();
        QCOMPARE(job.freeSpace(), std::optional<std::uint64_t>(1));
        QVERIFY(!job.problem().isEmpty());
        QVERIFY(!job.checking());
        // The chooser keeps the generated folder name.
        job.chooseFolder(QString::fromStdString(slow.string()));
        QCOMPARE(job.destination(), slow / "fast");
        QCOMPARE(job.chooserFolder(), QString::fromStdString(slow.string()));
        QTRY_VERIFY(!job.checking());
    }

    void notes_data() {
        QTest::addColumn<RestoreReport>("report");
        QTest::addColumn<QString>("note");
        RestoreReport failures;
        failures.failed = {"a.jpg: Couldn't read it.", "b.jpg: Gone."};
        QTest::newRow("failures") << failures
                                  << "These files couldn't be saved:\n  a.jpg: Couldn't read it.\n"
                                     "  b.jpg: Gone.\n";
        RestoreReport partial;
        partial.saved = {partly("whole.jpg", 0), partly("c.jpg", 5000), partly("d.mov", 2500000)};
        const QString partialText =
            "Parts of these files couldn't be read from the disk and were filled with blanks. They "
            "may open with gaps or glitches:\n  c.jpg (5 KB unreadable)\n  d.mov (2.5 MB "
            "unreadable)";
        QTest::newRow("partly read") << partial << partialText;
        RestoreReport both = partial;
        both.failed = {"x.jpg: No."};
        QTest::newRow("both") << both
                              << "These files couldn't be saved:\n  x.jpg: No.\n\n" + partialText;
        RestoreReport whole;
        whole.saved = {partly("whole.jpg", 0)};
        QTest::newRow("neither") << whole << QString();
    }
    void notes() {
        QFETCH(RestoreReport, report);
        QFETCH(QString, note);
        TempDir dir;
        const std::string earlier = "a file recovered earlier";
        writeFile(dir / RecoveryNotes::kFileName, earlier);
        const auto written = RecoveryNotes::writeNotes(report, dir.path());
        QCOMPARE(read(dir / RecoveryNotes::kFileName), earlier);
        if (note.isEmpty()) {
            QVERIFY(!written);
            QVERIFY(!fs::exists(dir / "About these files 2.txt"));
            return;
        }
        QVERIFY(written);
        QCOMPARE(*written, dir / "About these files 2.txt");
        QCOMPARE(QString::fromStdString(read(*written)), note);
    }

    void aRecoverySavesRealFilesAndMarksOnlyThoseSaved() {
        TempDir dir;
        const auto built = DeletedFilesCard::build(dir.path());
        if (!built) QSKIP("mkfs.fat, mtools or ImageMagick missing");
        auto reader = std::make_shared<FileBlockReader>(built->image);
        RecoverySession session({std::nullopt, built->image}, reader, false);
        session.merge(RecoveryEngine::scan(*reader, {}).files);
        QVERIFY(session.fileCount() >= 3);
        auto blocked = session.files()[0];
        blocked.id = "blocked";
        blocked.originalPath = "blocker/" + blocked.name;
        session.merge({blocked});
        session.rebuild();
        session.selectAllVisible();

        qputenv("RECOVER_DEFAULT_DESTINATION", QByteArray::fromStdString((dir / "out").string()));
        RecoveryJob job(session, session.selectedFiles());
        qunsetenv("RECOVER_DEFAULT_DESTINATION");
        QCOMPARE(job.sessionTitle(), QString("card"));
        QVERIFY(job.hasFolders());
        QTRY_VERIFY(!job.checking());
        QVERIFY2(job.problem().isEmpty(), qPrintable(job.problem()));
        fs::create_directories(job.destination());
        writeFile(job.destination() / "blocker", "in the way");
        QSignalSpy progress(&job, &RecoveryJob::progressChanged);
        job.start();
        QTRY_COMPARE_WITH_TIMEOUT(job.state(), RecoveryJob::State::Done, 60000);
        QVERIFY(progress.count() > 1);
        QCOMPARE(job.fraction(), 1.0);
        QCOMPARE(job.failedCount(), 1);
        QCOMPARE(job.savedCount(), session.fileCount() - 1);
        QVERIFY(!job.savedIDs().contains("blocked"));
        for (const auto& file : job.report()->saved)
            QVERIFY(fs::exists(file.url));

        const auto note = read(job.notePath().toStdString());
        QCOMPARE(job.notePath().toStdString(),
                 (job.destination() / RecoveryNotes::kFileName).string());
        QVERIFY(note.starts_with("These files couldn't be saved:\n  " + blocked.name + ": "));
        QVERIFY(note.ends_with("\n"));

        session.markRecovered(job.savedIDs());
        QCOMPARE(session.recoveredCount(), session.fileCount() - 1);
        QCOMPARE(session.selectedFiles(), (Files{blocked}));
    }

    void folderChoiceAndStop_data() {
        QTest::addColumn<bool>("keepFolders");
        QTest::addColumn<bool>("stop");
        QTest::addColumn<QString>("saved");
        QTest::newRow("folders kept") << true << false << "out/Deep/Down/a.txt";
        QTest::newRow("folders dropped") << false << false << "out/a.txt";
        QTest::newRow("stopped") << true << true << "";
    }
    void folderChoiceAndStop() {
        QFETCH(bool, keepFolders);
        QFETCH(bool, stop);
        QFETCH(QString, saved);
        TempDir dir;
        auto file = found("f", "a.txt", {}, FileCategory::document, 4096, "Deep/Down/a.txt");
        file.ranges = {{0, 4096}};
        file.complete = true;
        file.confidence = RecoveryConfidence::named;
        RecoveryJob job({file}, "Card", std::make_shared<DataBlockReader>(Bytes(4096, 0x41)),
                        std::nullopt, RecoveryJob::Checks{});
        job.setDestination(dir / "out");
        job.setKeepFolders(keepFolders);
        QTRY_VERIFY(!job.checking());
        if (stop) job.stop();
        job.start();
        job.start();
        QTRY_VERIFY(job.state() != RecoveryJob::State::Running);
        QCOMPARE(job.failure(), stop ? QString(RecoveryJob::kStopped) : QString());
        QCOMPARE(job.savedIDs(), stop ? QStringList{} : QStringList{"f"});
        if (!stop) QVERIFY(fs::exists(dir / saved.toStdString()));
        QVERIFY(job.notePath().isEmpty());
    }
};

QTEST_GUILESS_MAIN(RecoveryJobQtTest)
#include "RecoveryJobQtTest.moc"
