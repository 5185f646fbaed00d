#include "app/access/DiskAccess.hpp"
#include "app/model/AppModel.hpp"
#include "app/model/MainThread.hpp"
#include "app/model/RemountQueue.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/records/ByteText.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/app/model/ModelSupport.hpp"

#include <QLocale>
#include <atomic>
#include <thread>

namespace {

constexpr const char* kInUse =
    "The disk is in use. Quit any app that's showing files from it, then try again.";

enum Fault { none, notMounted, cancelled, denied, privacy, inUse };

using Scan = std::function<ScanResult(const BlockReader&, const ScanOptions&)>;

// Runs until the session is stopped, as a long scan does.
ScanResult untilStopped(const BlockReader&, const ScanOptions& options) {
    while (!options.isCancelled())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    throw RecoverError::cancelled();
}

Files someFiles(int count) {
    Files files;
    for (int i = 0; i < count; ++i)
        files.push_back(found("f" + std::to_string(i), "IMG_" + std::to_string(i) + ".JPG"));
    return files;
}

// Reads only once the copy has been told to stop, so a quit always meets a copy in progress.
class HeldReader : public BlockReader {
public:
    HeldReader(const BlockReader& inner, std::function<bool()> until)
        : inner_(inner), until_(std::move(until)) {}
    std::uint64_t size() const override { return inner_.size(); }
    Bytes read(std::uint64_t offset, std::int64_t count) const override {
        while (!until_())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return inner_.read(offset, count);
    }

private:
    const BlockReader& inner_;
    std::function<bool()> until_;
};

// The system as the model sees it, logging every request. Declared before the model, so that
// the workers it feeds have ended before it goes.
struct FakeSystem {
    std::mutex mutex;
    QStringList log;
    std::atomic<int> listings{0};
    std::vector<Device> disks{
        {.id = "sdb",
         .name = "Card",
         .kind = Device::Kind::memoryCard,
         .size = 2'000'000'000,
         .mountPoints = {"/nonexistent/CARD"},
         .camera = "Canon EOS"},
        {.id = "sdc", .name = "Stick", .kind = Device::Kind::usbDrive, .size = 64'000'000}};
    Fault fault = none;
    bool ejects = true;
    bool listingFails = false;
    Gate* holdListing = nullptr;
    Gate* holdOpen = nullptr;
    std::weak_ptr<BlockReader> reader;
    Scan scan = untilStopped;
    DiskCopy::Platform copy;

    ~FakeSystem() {
        workers().waitForDone();
        for (const auto& disk : disks)
            RemountQueue::waitFor(disk.id);
    }

    void note(const QString& text) {
        const std::lock_guard lock(mutex);
        log.append(text);
    }
    QString logText() {
        const std::lock_guard lock(mutex);
        return log.join(' ');
    }

    AppModel::Platform platform() {
        AppModel::Platform p;
        p.remountAfterCrash = [this] { note("remount"); };
        p.devices = [this] {
            if (holdListing) std::exchange(holdListing, nullptr)->wait();
            ++listings;
            if (listingFails) throw RecoverError::message("lsblk failed");
            return disks;
        };
        p.open = [this](const Device& device) -> std::shared_ptr<BlockReader> {
            if (holdOpen) holdOpen->wait();
            note("open " + QString::fromStdString(device.id));
            if (fault == cancelled) throw DiskAccess::Failure::cancelled();
            if (fault == denied) throw DiskAccess::Failure::denied();
            if (fault == privacy) throw DiskAccess::Failure::privacy();
            auto made = std::make_shared<DataBlockReader>(Bytes(4096, 0));
            reader = made;
            return made;
        };
        p.unmount = [this](const Device&) {
            note("unmount");
            if (fault == inUse) throw RecoverError::message(kInUse);
            return fault != notMounted;
        };
        p.record = [this](const Device&) { note("record"); };
        p.forget = [this](const Device&) { note("forget"); };
        p.mount = [this](const Device&) { note("mount"); };
        p.eject = [this](const Device&) { return note("eject"), ejects; };
        p.openUrl = [this](const QUrl& url) { note(url.toString()); };
        p.session.scan = [this](const BlockReader& r, const ScanOptions& o) { return scan(r, o); };
        p.session.mount = p.mount;
        p.session.forget = p.forget;
        p.copy = copy;
        p.checks.onSource = [](auto&, auto&) { return false; };
        p.checks.freeSpace = [](auto&) { return std::nullopt; };
        p.monitor.useUdev = false;
        p.monitor.pollEvery = std::chrono::hours(1);
        p.monitor.snapshot = [] { return QByteArray(); };
        return p;
    }
};

// A model whose first listing has come back.
struct Listed {
    FakeSystem system;
    AppModel model{system.platform()};
    Listed() { QTRY_VERIFY(model.loadedDevices() && !model.refreshing()); }
    // Opens the card for a scan; its volumes were unmounted for it.
    void openCard() {
        model.open("sdb");
        QTRY_VERIFY(model.session());
    }
};

} // namespace

class AppModelQtTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void listingsCollapse() {
        FakeSystem system;
        Gate gate;
        system.holdListing = &gate;
        AppModel model(system.platform());
        QSignalSpy devices(&model, &AppModel::devicesChanged);
        QVERIFY(model.refreshing());
        // Three disk events while the first listing runs.
        for (int i = 0; i < 3; ++i)
            emit model.monitor()->changed();
        QVERIFY(!model.loadedDevices());
        gate.open();
        QTRY_COMPARE(system.listings.load(), 2);
        QTRY_VERIFY(!model.refreshing());
        QCOMPARE(system.listings.load(), 2);
        // The same disks twice replace the list once; volumes left down go up before the first.
        QCOMPARE(devices.count(), 1);
        QCOMPARE(system.logText(), "remount");
        const auto card = model.devicesValue().at(0).toMap();
        QCOMPARE(card.value("kind").toString(), "memoryCard");
        QCOMPARE(card.value("sizeText").toString(), QString::fromStdString(ByteText::string(2e9)));
        QCOMPARE(card.value("cameraName").toString(), "Canon EOS");
        QCOMPARE(model.devicesValue().at(1).toMap().value("cameraName").toString(), "");

        // A failed listing shows no disks.
        system.listingFails = true;
        model.refresh();
        QTRY_VERIFY(model.devices().empty());
        QCOMPARE(devices.count(), 2);
    }

    void openDevice_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("alert");
        QTest::addColumn<QString>("message");
        const QString title = "Couldn't read “Card”";
        QTest::newRow("unmounted") << int(none) << "open sdb unmount record"
                                   << ""
                                   << "";
        QTest::newRow("nothing mounted") << int(notMounted) << "open sdb unmount"
                                         << ""
                                         << "";
        QTest::newRow("password cancelled") << int(cancelled) << "open sdb"
                                            << ""
                                            << "";
        QTest::newRow("privacy") << int(privacy) << "open sdb"
                                 << ""
                                 << "";
        QTest::newRow("denied") << int(denied) << "open sdb" << title
                                << QString::fromStdString(
                                       DiskAccess::Failure::denied().errorDescription());
        QTest::newRow("in use") << int(inUse) << "open sdb unmount" << title << kInUse;
    }
    void openDevice() {
        QFETCH(int, fault);
        QFETCH(QString, alert);
        Listed app;
        app.system.fault = Fault(fault);
        QSignalSpy devices(&app.model, &AppModel::devicesChanged);
        app.model.open("sdb");
        QCOMPARE(app.model.opening(), "sdb");
        QTRY_VERIFY(app.model.opening().isEmpty());
        QFETCH(QString, log);
        QCOMPARE(app.system.logText(), "remount " + log);
        QCOMPARE(app.model.alertTitle(), alert);
        QTEST(app.model.alertMessage(), "message");
        QCOMPARE(app.model.alertId().isEmpty(), alert.isEmpty());
        QCOMPARE(app.model.showPrivacyHelp(), fault == privacy);
        QCOMPARE(devices.count(), 0);
        auto* session = app.model.session();
        QCOMPARE(session != nullptr, fault == none || fault == notMounted);
        if (session) {
            QCOMPARE(session->unmountedForScan(), fault == none);
            QCOMPARE(session->title(), "Card");
            QCOMPARE(app.model.subtitle(), "Scanning…");
        } else {
            // A descriptor granted for a disk that cannot be used is closed again.
            QVERIFY(app.system.reader.expired());
            QCOMPARE(app.model.subtitle(), "");
        }
        app.model.dismissAlert();
        QVERIFY(app.model.alertId().isEmpty() && app.model.alertTitle().isEmpty());
    }

    void secondSourceWhileOpeningIsIgnored() {
        TempDir dir;
        writeFile(dir / "card.img", std::string(4096, 0));
        Listed app;
        Gate gate;
        app.system.holdOpen = &gate;
        app.model.open("sdb");
        app.model.open("sdc");
        app.model.openImage(QString::fromStdString((dir / "card.img").string()));
        app.model.saveCopy("sdc", QString::fromStdString((dir / "copy.img").string()));
        QCOMPARE(app.model.opening(), "sdb");
        QVERIFY(!app.model.session() && !app.model.imaging());
        gate.open();
        QTRY_VERIFY(app.model.session());
        QCOMPARE(app.model.session()->title(), "Card");
        // And nothing opens over a session.
        app.model.open("sdc");
        app.model.openImage(QString::fromStdString((dir / "card.img").string()));
        QCOMPARE(app.model.opening(), "");
        QCOMPARE(app.model.session()->title(), "Card");
        QCOMPARE(app.system.logText(), "remount open sdb unmount record");
    }

    void openImage_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("message");
        QTest::newRow("a file URL") << "file://%1/card.img"
                                    << "";
        QTest::newRow("a plain path") << "%1/card.img"
                                      << "";
        QTest::newRow("missing") << "%1/gone.img"
                                 << "That file can't be read as a disk image.";
        QTest::newRow("a folder") << "%1"
                                  << "That file can't be read as a disk image.";
        QTest::newRow("a device") << "/dev/sda"
                                  << "Open a disk image file, not a device.";
    }
    void openImage() {
        QFETCH(QString, path);
        QFETCH(QString, message);
        TempDir dir;
        writeFile(dir / "card.img", std::string(4096, 0));
        Listed app;
        app.model.openImage(
            QString(path).replace("%1", QString::fromStdString(dir.path().string())));
        QCOMPARE(app.model.alertTitle(), message.isEmpty() ? "" : AppModel::kImageTitle);
        QCOMPARE(app.model.alertMessage(), message);
        QCOMPARE(app.model.session() != nullptr, message.isEmpty());
        if (auto* session = app.model.session()) {
            QVERIFY(!session->isDevice());
            QCOMPARE(session->title(), "card");
        }
    }

    void leavingRemountsThenRefreshes() {
        Listed app;
        app.openCard();
        const int listings = app.system.listings;
        app.model.closeSession();
        QVERIFY(!app.model.session());
        QCOMPARE(app.model.subtitle(), "");
        QTRY_VERIFY(app.system.logText().endsWith("record mount forget"));
        // Not at once: the volumes need a moment to come back before the list is read.
        QCOMPARE(app.system.listings.load(), listings);
        QTRY_COMPARE_WITH_TIMEOUT(app.system.listings.load(), listings + 1, 5000);
    }

    void ejectDuringSession_data() {
        QTest::addColumn<bool>("ejects");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("alert");
        QTest::newRow("ejected") << true << "forget eject"
                                 << "";
        // The record entry is gone: the volumes must come back up before the alert.
        QTest::newRow("still in use") << false << "forget eject mount"
                                      << "Couldn't eject “Card”";
    }
    void ejectDuringSession() {
        QFETCH(bool, ejects);
        QFETCH(QString, alert);
        Listed app;
        app.system.ejects = ejects;
        app.openCard();
        const int listings = app.system.listings;
        app.model.eject("sdb");
        QVERIFY(!app.model.session());
        QTRY_COMPARE(app.system.listings.load(), listings + 1);
        QTEST(app.system.logText().remove("remount open sdb unmount record "), "log");
        QCOMPARE(app.model.alertTitle(), alert);
        QCOMPARE(app.model.alertMessage(), alert.isEmpty() ? "" : AppModel::kEjectMessage);
    }

    void quitDuringScanMountsAtOnce() {
        Listed app;
        app.openCard();
        QPointer<RecoverySession> session = app.model.session();
        app.model.prepareToQuit();
        QVERIFY(!app.model.session() && !session);
        QCOMPARE(app.system.logText(), "remount open sdb unmount record mount forget");
    }

    void quitDuringCopyWaitsForIt() {
        TempDir dir;
        const fs::path image = dir / "Card.img";
        FakeSystem system;
        system.copy.open = [](const Device&) -> std::shared_ptr<BlockReader> {
            return std::make_shared<DataBlockReader>(Bytes(20 << 20, 0x5A));
        };
        system.copy.unmount = [&](const Device&) { return system.note("unmount"), true; };
        system.copy.record = [&](const Device&) { system.note("record"); };
        system.copy.imaging.copy = [](auto& reader, auto& to, auto& progress, auto& stop) {
            return DiskImager::copy(HeldReader(reader, stop), to, progress, stop);
        };
        system.copy.imaging.mount = [&](const Device&) { system.note("mount"); };
        system.copy.imaging.forget = [&](const Device&) { system.note("forget"); };
        AppModel model(system.platform());
        QTRY_VERIFY(model.loadedDevices());
        model.saveCopy("sdb", QString::fromStdString("file://" + image.string()));
        QCOMPARE(model.opening(), "sdb");
        QTRY_VERIFY(model.imaging() && fs::exists(image));
        QCOMPARE(model.opening(), "");
        model.prepareToQuit();
        QCOMPARE(model.imaging()->state(), ImagingJob::State::Failed);
        QCOMPARE(model.imaging()->failure(), ImagingJob::kStopped);
        QVERIFY(!fs::exists(image));
        QCOMPARE(system.logText(), "remount unmount record mount forget");
    }

    void finishImaging_data() {
        QTest::addColumn<bool>("scan");
        QTest::newRow("close") << false;
        QTest::newRow("scan the copy") << true;
    }
    void finishImaging() {
        QFETCH(bool, scan);
        TempDir dir;
        FakeSystem system;
        system.copy.open = [](const Device&) -> std::shared_ptr<BlockReader> {
            return std::make_shared<DataBlockReader>(Bytes(8192, 1));
        };
        system.copy.imaging = ImagingJob::Platform{};
        system.copy.imaging.copy = [](auto& reader, auto& to, auto& progress, auto& stop) {
            return DiskImager::copy(reader, to, progress, stop);
        };
        AppModel model(system.platform());
        QTRY_VERIFY(model.loadedDevices() && !model.refreshing());
        model.saveCopy("sdc", QString::fromStdString((dir / "Stick.img").string()));
        QTRY_VERIFY(model.imaging() && model.imaging()->state() == ImagingJob::State::Done);
        const int listings = system.listings;
        model.finishImaging(scan);
        QVERIFY(!model.imaging());
        QTRY_COMPARE(system.listings.load(), listings + 1);
        QCOMPARE(model.session() != nullptr, scan);
        if (scan) QCOMPARE(model.session()->title(), "Stick");
    }

    void subtitle_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("end"); // 0 finished, 1 stopped, 2 failed, 3 still scanning
        QTest::addColumn<QString>("subtitle");
        QTest::newRow("one") << 1 << 0 << "1 file found";
        QTest::newRow("none") << 0 << 0 << "0 files found";
        QTest::newRow("many") << 1234 << 0 << "1,234 files found";
        QTest::newRow("stopped") << 2 << 1 << "Stopped · 2 found";
        QTest::newRow("failed") << 2 << 2 << "Scan failed";
        QTest::newRow("scanning") << 1001 << 3 << "Scanning… 1,001 found";
    }
    void subtitle() {
        QFETCH(int, count);
        QFETCH(int, end);
        TempDir dir;
        writeFile(dir / "card.img", std::string(4096, 0));
        Listed app;
        app.system.scan = [count, end](const BlockReader& reader, const ScanOptions& options) {
            options.onFound(someFiles(count));
            if (end == 1) throw RecoverError::cancelled();
            if (end == 2) throw RecoverError::message("broken");
            if (end == 3) return untilStopped(reader, options);
            return ScanResult{.files = someFiles(count)};
        };
        app.model.openImage(QString::fromStdString((dir / "card.img").string()));
        QSignalSpy changes(&app.model, &AppModel::subtitleChanged);
        QFETCH(QString, subtitle);
        QTRY_COMPARE(app.model.subtitle(), subtitle);
        QVERIFY(!changes.isEmpty());
    }

    void recoveryTargets() {
        TempDir dir;
        writeFile(dir / "card.img", std::string(4096, 0));
        Listed app;
        QVERIFY(!app.model.recoveryJob());
        app.system.scan = [](const BlockReader&, const ScanOptions&) {
            return ScanResult{.files = someFiles(3)};
        };
        app.model.openImage(QString::fromStdString((dir / "card.img").string()));
        auto* session = app.model.session();
        QTRY_COMPARE(session->visibleCount(), 3);
        QCOMPARE(app.model.recoveryJob()->fileCount(), 3);
        QCOMPARE(app.model.recoveryJob({"f2", "nope"})->fileCount(), 1);
        QVERIFY(!app.model.recoveryJob({"nope"}));
        session->toggle("f1");
        auto* job = app.model.recoveryJob();
        QCOMPARE(job->fileCount(), 1);
        QCOMPARE(job->files().front().id, "f1");
        QPointer<RecoveryJob> gone(job);
        app.model.closeRecovery(job);
        QTRY_VERIFY(!gone);
        QCOMPARE(session->recoveredCount(), 0);
    }

    void timeLeftText() {
        FakeSystem system;
        AppModel model(system.platform());
        const std::pair<QVariant, QString> cases[] = {
            {QVariant(), ""},
            {QVariant(-1.0), ""},
            {QVariant(0.0), "Less than a minute left"},
            {QVariant(59.0), "Less than a minute left"},
            {QVariant(59.9), "Less than a minute left"},
            {QVariant(60.0), "About 1 minute left"},
            {QVariant(150.0), "About 3 minutes left"},
            {QVariant(3600.0), "About 1 hour left"},
            {QVariant(3660.0), "About 1 hour, 1 minute left"},
            {QVariant(9000.0), "About 2 hours, 30 minutes left"},
        };
        for (const auto& [seconds, text] : cases)
            QCOMPARE(model.timeLeftText(seconds), text);
        QTRY_VERIFY(model.loadedDevices());
    }

    void linksAndAbout() {
        FakeSystem system;
        AppModel model(system.platform());
        QVERIFY(model.updatesUrl().endsWith("/download?from=" + model.version()));
        QVERIFY(model.aboutText().endsWith("no account.\n\nvellary.app"));
        model.openPrivacySettings();
        QVERIFY(system.logText().endsWith(model.helpUrl() + "#disk-access"));
        QCOMPARE(AppModel::instance() == &model, true);
    }
};

QTEST_GUILESS_MAIN(AppModelQtTest)
#include "AppModelQtTest.moc"
