#include "app/model/DiskCopy.hpp"
#include "app/model/ImagingJob.hpp"
#include "app/model/RemountQueue.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/app/model/ModelSupport.hpp"

namespace {

constexpr std::uint64_t kDiskSize = 1024 * 1024;
constexpr qulonglong kRoom = kDiskSize + DiskCopy::kMargin - 4096; // with a 4 KiB old file

enum Fault { none, remounting, onSource, endsEarly };

// The copy flow against a fake system that logs what was asked of it.
struct Harness {
    std::mutex mutex;
    QStringList log;
    std::condition_variable asked;

    void note(const QString& text) {
        const std::lock_guard lock(mutex);
        log.append(text);
        asked.notify_all();
    }

    DiskCopy::Platform platform(std::uint64_t free, Fault fault) {
        DiskCopy::Platform p;
        p.onSource = [=, this](auto&, auto&) { return note("checked"), fault == onSource; };
        p.freeSpace = [=](const fs::path&) { return std::optional(free); };
        p.open = [=, this](const Device&) -> std::shared_ptr<BlockReader> {
            return note("open"), std::make_shared<DataBlockReader>(Bytes(kDiskSize, 0x5A));
        };
        p.unmount = [this](const Device&) { return note("unmount"), true; };
        p.record = [this](const Device&) { note("record"); };
        p.imaging.copy = [=, this](auto& reader, auto& to, auto& progress, auto& stop) {
            // Whether an older file still waits beside the new copy.
            note(fs::is_empty(to.parent_path()) ? "copy" : "copy+old");
            auto done = DiskImager::copy(reader, to, progress, stop);
            if (fault == endsEarly) done.bytesTotal = done.bytesDone + 512;
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
    void flow_data() {
        QTest::addColumn<qulonglong>("free");
        QTest::addColumn<bool>("oldFile");
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("log");
        const qulonglong plenty = UINT64_MAX;
        const QString all = "checked open unmount record copy+old mount forget";
        const QString fresh = "checked open unmount record copy mount forget";
        const QString gone = QString::fromStdString(RecoverError::deviceGone().errorDescription());
        QTest::newRow("fresh") << plenty << false << int(none) << "done" << fresh;
        QTest::newRow("after the remount") << plenty << false << int(remounting) << "done"
                                           << "remounted " + fresh;
        QTest::newRow("old copy kept until done") << plenty << true << int(none) << "done" << all;
        QTest::newRow("needs the old copy's room") << kRoom << true << int(none) << "done" << fresh;
        QTest::newRow("one byte short even so")
            << kRoom - 1 << true << int(none) << QString(DiskCopy::kNoSpaceTitle) << "checked";
        QTest::newRow("on the source")
            << plenty << true << int(onSource) << QString(DiskCopy::kOnSourceTitle) << "checked";
        QTest::newRow("ends early") << plenty << true << int(endsEarly) << "failed: " + gone << all;
    }
    void flow() {
        QFETCH(bool, oldFile);
        QFETCH(int, fault);
        QFETCH(qulonglong, free);
        TempDir dir;
        const fs::path target = dir / "Card.img";
        if (oldFile) writeFile(target, std::string(4096, 'o'));
        Harness harness;
        // A copy that does not wait asks the system at once; one that waits is let go after 0.5 s.
        if (fault == remounting)
            RemountQueue::add("sdx",
                              std::async(std::launch::async, [&] {
                                  std::unique_lock lock(harness.mutex);
                                  harness.asked.wait_for(lock, std::chrono::milliseconds(500),
                                                         [&] { return !harness.log.empty(); });
                                  harness.log.append("remounted");
                              }).share());
        DiskCopy flow(harness.platform(free, Fault(fault)));
        std::unique_ptr<ImagingJob> job;
        QString seen;
        connect(&flow, &DiskCopy::started, this, [&](ImagingJob* started) { job.reset(started); });
        connect(&flow, &DiskCopy::alert, this, [&](const QString& title) { seen = title; });
        connect(&flow, &DiskCopy::ended, this, [&] { seen = seen.isEmpty() ? "ended" : seen; });
        flow.run(Device{.id = "sdx", .name = "Card", .size = kDiskSize}, target);
        QTRY_VERIFY(!flow.opening());
        if (job) {
            QTRY_VERIFY(job->state() != ImagingJob::State::Running);
            seen = job->state() == ImagingJob::State::Done ? "done" : "failed: " + job->failure();
        }
        QTEST(seen, "outcome");
        const std::lock_guard lock(harness.mutex);
        QTEST(harness.log.join(' '), "log");
        // Only the new copy or the old file is left, never both, never a half copy.
        const bool done = seen == "done";
        QCOMPARE(std::distance(fs::directory_iterator(dir.path()), {}), oldFile || done ? 1 : 0);
        if (done || oldFile)
            QCOMPARE(readFile(target), std::string(done ? kDiskSize : 4096, done ? 0x5A : 'o'));
    }

    void secondsRemaining() {
        const struct {
            double elapsed;
            qulonglong done;
            QVariant expected; // none in the first five seconds and once all is copied
        } cases[] = {{5, 100, {}}, {60, 1000, {}}, {10, 250, 30.0}};
        for (const auto& c : cases) {
            Date now = localTime(2024, 3, 10, 12, 0);
            Gate gate;
            ImagingJob::Platform platform;
            platform.copy = [&](auto&, auto&, auto& progress, auto&) {
                progress({c.done, 1000, 0});
                gate.wait();
                return DiskImager::Progress{1000, 1000, 0};
            };
            ImagingJob job(Device{.id = "sdx", .name = "Card", .size = 1000}, "/nowhere/Card.img",
                           platform);
            job.setClock([&] { return now; });
            job.start(std::make_shared<DataBlockReader>(Bytes{}), false);
            QTRY_COMPARE(job.bytesDone(), c.done);
            now += Seconds(c.elapsed);
            const auto remaining = job.secondsRemainingValue();
            gate.open();
            QTRY_COMPARE(job.state(), ImagingJob::State::Done);
            QCOMPARE(remaining, c.expected);
        }
    }
};

QTEST_GUILESS_MAIN(ImagingJobQtTest)
#include "ImagingJobQtTest.moc"
