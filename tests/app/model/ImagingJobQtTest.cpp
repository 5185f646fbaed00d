#include "app/access/DiskAccess.hpp"
#include "app/model/DiskCopy.hpp"
#include "app/model/ImagingJob.hpp"
#include "app/model/RemountQueue.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/records/ByteText.hpp"
#include "core/records/RecoverError.hpp"
#include "core/restore/OutputPath.hpp"
#include "tests/app/model/ModelSupport.hpp"
#include "tests/support/Tools.hpp"

#include <QSignalSpy>
#include <QTest>
#include <fstream>
#include <mutex>

using namespace vellary;
using namespace vellary::testing;
namespace fs = std::filesystem;

Q_DECLARE_METATYPE(std::optional<std::uint64_t>)

namespace {

constexpr std::uint64_t kDiskSize = 1024 * 1024;
constexpr std::uint64_t kNeeded = kDiskSize + DiskCopy::kMargin;
const std::string kOld(4096, 'o');

enum class Open { works, cancelled, privacy, fails };
enum class Copy { works, fails, endsEarly, stopped };

Device card() {
    Device device;
    device.id = "sdx";
    device.name = "Card";
    device.size = kDiskSize;
    return device;
}

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

QStringList listing(const fs::path& folder) {
    QStringList names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.append(QString::fromStdString(entry.path().filename().string()));
    names.sort();
    return names;
}

// The copy flow against a fake system that logs what was asked of it.
struct Harness {
    std::mutex mutex;
    QStringList log;
    bool onSource = false;
    std::optional<std::uint64_t> free = UINT64_MAX;
    Open open = Open::works;
    bool unmountFails = false;
    Copy copy = Copy::works;

    void note(const QString& text) {
        const std::lock_guard lock(mutex);
        log.append(text);
    }

    DiskCopy::Platform platform() {
        DiskCopy::Platform p;
        p.onSource = [this](const fs::path&, const Device&) {
            note("checked");
            return onSource;
        };
        p.freeSpace = [this](const fs::path&) { return free; };
        p.open = [this](const Device&) -> std::shared_ptr<BlockReader> {
            note("open");
            switch (open) {
            case Open::cancelled:
                throw DiskAccess::Failure::cancelled();
            case Open::privacy:
                throw DiskAccess::Failure::privacy();
            case Open::fails:
                throw RecoverError::readFailed("The card couldn't be read.");
            case Open::works:
                break;
            }
            return std::make_shared<DataBlockReader>(Bytes(kDiskSize, 0x5A));
        };
        p.unmount = [this](const Device&) {
            note("unmount");
            if (unmountFails) throw RecoverError::message("The disk is in use.");
            return true;
        };
        p.record = [this](const Device&) { note("record"); };
        p.imaging.copy = [this](const BlockReader& reader, const fs::path& to,
                                const std::function<void(const DiskImager::Progress&)>& progress,
                                const std::function<bool()>& cancelled) {
            // Whether an older file still waits beside the new copy.
            note(fs::is_empty(to.parent_path()) ? "copy" : "copy+old");
            if (copy == Copy::fails)
                throw RecoverError::readFailed("The copy couldn't be written.");
            if (copy == Copy::stopped) throw RecoverError::cancelled();
            auto done = DiskImager::copy(reader, to, progress, cancelled);
            if (copy == Copy::endsEarly) done.bytesTotal = done.bytesDone + 512;
            return done;
        };
        p.imaging.mount = [this](const Device&) { note("mount"); };
        p.imaging.forget = [this](const Device&) { note("forget"); };
        return p;
    }
};

} // namespace

class ImagingJobQtTest : public QObject {
    Q_OBJECT

private slots:
    void panelTexts() {
        QCOMPARE(DiskCopy::panelTitle(card()), QString("Save a Copy of “Card”"));
        QCOMPARE(DiskCopy::panelMessage(card()),
                 "The copy is the full size of the disk (" +
                     QString::fromStdString(ByteText::string(kDiskSize)) +
                     "). Save it on this computer or another drive, not on the disk itself.");
        auto named = card();
        named.name = "Cam: A/B";
        QCOMPARE(DiskCopy::suggestedName(named, QDate(2024, 3, 1)),
                 QString::fromStdString(OutputPath::sanitize("Cam: A/B")) + " 2024-03-01.img");
    }

    void flow_data() {
        QTest::addColumn<bool>("onSource");
        QTest::addColumn<std::optional<std::uint64_t>>("free");
        QTest::addColumn<bool>("oldFile");
        QTest::addColumn<int>("open");
        QTest::addColumn<bool>("unmountFails");
        QTest::addColumn<int>("copy");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("log");
        const auto plenty = std::optional<std::uint64_t>(UINT64_MAX);
        const auto unknown = std::optional<std::uint64_t>();
        const int works = 0;
        const QString all = "checked open unmount record copy+old mount forget";
        const QString fresh = "checked open unmount record copy mount forget";
        const QString gone = QString::fromStdString(RecoverError::deviceGone().errorDescription());
        QTest::newRow("a fresh copy")
            << false << plenty << false << works << false << works << "done" << fresh;
        QTest::newRow("over an old copy")
            << false << plenty << true << works << false << works << "done" << all;
        QTest::newRow("free space unknown")
            << false << unknown << true << works << false << works << "done" << all;
        QTest::newRow("only with the old copy's room")
            << false << std::optional<std::uint64_t>(kNeeded - kOld.size()) << true << works
            << false << works << "done" << fresh;
        QTest::newRow("not even with the old copy's room")
            << false << std::optional<std::uint64_t>(kNeeded - kOld.size() - 1) << true << works
            << false << works
            << QString(DiskCopy::kNoSpaceTitle) + ": " +
                   QString::fromStdString(
                       RecoverError::notEnoughSpace(kDiskSize, kNeeded - 1).errorDescription())
            << "checked";
        QTest::newRow("on the source")
            << true << plenty << true << works << false << works
            << QString(DiskCopy::kOnSourceTitle) + ": " +
                   QString::fromStdString(RecoverError::destinationOnSource().errorDescription())
            << "checked";
        QTest::newRow("password dismissed")
            << false << plenty << true << int(Open::cancelled) << false << works << "ended"
            << "checked open";
        QTest::newRow("privacy") << false << plenty << true << int(Open::privacy) << false << works
                                 << "privacy"
                                 << "checked open";
        QTest::newRow("unreadable") << false << plenty << true << int(Open::fails) << false << works
                                    << "Couldn't read “Card”: The card couldn't be read."
                                    << "checked open";
        QTest::newRow("in use") << false << plenty << true << works << true << works
                                << "Couldn't read “Card”: The disk is in use."
                                << "checked open unmount";
        QTest::newRow("copy fails") << false << plenty << true << works << false << int(Copy::fails)
                                    << "failed: The copy couldn't be written." << all;
        QTest::newRow("copy ends early") << false << plenty << true << works << false
                                         << int(Copy::endsEarly) << "failed: " + gone << all;
        QTest::newRow("copy stopped")
            << false << plenty << true << works << false << int(Copy::stopped)
            << QString("failed: ") + ImagingJob::kStopped << all;
    }
    void flow() {
        QFETCH(bool, onSource);
        QFETCH(std::optional<std::uint64_t>, free);
        QFETCH(bool, oldFile);
        QFETCH(int, open);
        QFETCH(bool, unmountFails);
        QFETCH(int, copy);
        QFETCH(QString, outcome);
        QFETCH(QString, log);
        TempDir dir;
        const fs::path target = dir / "Card.img";
        if (oldFile) writeFile(target, kOld);
        Harness harness;
        harness.onSource = onSource;
        harness.free = free;
        harness.open = static_cast<Open>(open);
        harness.unmountFails = unmountFails;
        harness.copy = static_cast<Copy>(copy);

        DiskCopy flow(harness.platform());
        std::unique_ptr<ImagingJob> job;
        QString seen;
        connect(&flow, &DiskCopy::started, this, [&](ImagingJob* started) { job.reset(started); });
        connect(&flow, &DiskCopy::alert, this, [&](const QString& title, const QString& message) {
            seen = title + ": " + message;
        });
        connect(&flow, &DiskCopy::privacyHelp, this, [&] { seen = "privacy"; });
        connect(&flow, &DiskCopy::ended, this, [&] {
            if (seen.isEmpty()) seen = "ended";
        });
        flow.run(card(), target);
        QVERIFY(flow.opening());
        flow.run(card(), target);
        QTRY_VERIFY(!flow.opening());
        if (job) {
            if (harness.copy == Copy::stopped) job->stop();
            QTRY_VERIFY(job->state() != ImagingJob::State::Running);
            seen = job->state() == ImagingJob::State::Done ? "done" : "failed: " + job->failure();
        }
        QCOMPARE(seen, outcome);
        {
            const std::lock_guard lock(harness.mutex);
            QCOMPARE(harness.log.join(' '), log);
        }
        // Only the new copy or the old file is left, never both, never a half copy.
        QCOMPARE(listing(dir.path()),
                 (oldFile || outcome == "done") ? QStringList{"Card.img"} : QStringList{});
        if (outcome == "done") {
            QCOMPARE(read(target), std::string(kDiskSize, 0x5A));
            QCOMPARE(job->progress().bytesDone, kDiskSize);
            QCOMPARE(job->fraction(), 1.0);
        } else if (oldFile) {
            QCOMPARE(read(target), kOld);
        }
    }

    void aCopyWaitsForTheSameDisksRemount() {
        TempDir dir;
        Harness harness;
        Gate gate;
        RemountQueue::add("sdx", std::async(std::launch::async, [&] {
                                     gate.wait();
                                     harness.note("remounted");
                                 }).share());
        DiskCopy flow(harness.platform());
        std::unique_ptr<ImagingJob> job;
        connect(&flow, &DiskCopy::started, this, [&](ImagingJob* started) { job.reset(started); });
        flow.run(card(), dir / "Card.img");
        gate.open();
        QTRY_VERIFY(job && job->state() == ImagingJob::State::Done);
        const std::lock_guard lock(harness.mutex);
        QCOMPARE(harness.log.first(), QString("remounted"));
    }

    void secondsRemaining_data() {
        QTest::addColumn<double>("elapsed");
        QTest::addColumn<qulonglong>("done");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("first five seconds") << 5.0 << 100ull << QVariant();
        QTest::newRow("nothing yet") << 60.0 << 0ull << QVariant();
        QTest::newRow("all copied") << 60.0 << 1000ull << QVariant();
        QTest::newRow("estimate") << 10.0 << 250ull << QVariant(30.0);
    }
    void secondsRemaining() {
        QFETCH(double, elapsed);
        QFETCH(qulonglong, done);
        QFETCH(QVariant, expected);
        Date now = localTime(2024, 3, 10, 12, 0);
        auto device = card();
        device.size = 1000;
        Gate gate;
        ImagingJob::Platform platform;
        platform.copy = [&](const BlockReader&, const fs::path&,
                            const std::function<void(const DiskImager::Progress&)>& progress,
                            const std::function<bool()>&) {
            progress({done, 1000, 0});
            gate.wait();
            return DiskImager::Progress{1000, 1000, 0};
        };
        ImagingJob job(device, "/nowhere/Card.img", platform);
        job.setClock([&] { return now; });
        QCOMPARE(job.bytesTotal(), 1000u);
        job.start(std::make_shared<DataBlockReader>(Bytes{}), false);
        QTRY_COMPARE(job.bytesDone(), done);
        now += Seconds(elapsed);
        QCOMPARE(job.secondsRemainingValue(), expected);
        gate.open();
        QTRY_COMPARE(job.state(), ImagingJob::State::Done);
    }
};

QTEST_GUILESS_MAIN(ImagingJobQtTest)
#include "ImagingJobQtTest.moc"
