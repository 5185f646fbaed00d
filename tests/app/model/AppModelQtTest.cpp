#include "app/access/DiskAccess.hpp"
#include "app/model/AppModel.hpp"
#include "app/model/MainThread.hpp"
#include "app/model/RemountQueue.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/app/model/ModelSupport.hpp"

#include <QLocale>
#include <thread>

namespace {

constexpr const char* kInUse =
    "The disk is in use. Quit any app that's showing files from it, then try again.";

enum Fault { none, notMounted, cancelled, denied, privacy, inUse };

// Runs until the session is stopped, as a long scan does.
ScanResult untilStopped(const BlockReader&, const ScanOptions& options) {
    while (!options.isCancelled())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    throw RecoverError::cancelled();
}

// The system as the model sees it, logging every request. Declared before the model, so that
// the workers it feeds have ended before it goes.
struct FakeSystem {
    std::mutex mutex;
    QStringList log;
    std::atomic<int> listings{0};
    std::vector<Device> disks{{.id = "sdb", .name = "Card", .kind = Device::Kind::memoryCard},
                              {.id = "sdc", .name = "Stick"}};
    Fault fault = none;
    bool ejects = true;
    bool listingFails = false;
    Gate* holdListing = nullptr;
    Gate* holdOpen = nullptr;
    std::weak_ptr<BlockReader> reader;
    std::function<ScanResult(const BlockReader&, const ScanOptions&)> scan = untilStopped;
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
            return reader = made, made;
        };
        p.unmount = [this](const Device&) {
            note("unmount");
            if (fault == inUse) throw RecoverError::message(kInUse);
            return fault != notMounted;
        };
        p.record = [this](const Device&) { note("record"); };
        p.forget = p.session.forget = [this](const Device&) { note("forget"); };
        p.mount = p.session.mount = [this](const Device&) { note("mount"); };
        p.eject = [this](const Device&) { return note("eject"), ejects; };
        p.session.scan = [this](const BlockReader& r, const ScanOptions& o) { return scan(r, o); };
        p.copy = copy;
        p.monitor = {.pollEvery = std::chrono::hours(1), .useUdev = false, .snapshot = [] {
                         return QByteArray();
                     }};
        return p;
    }
};

// A model whose first listing has come back, and a disk image to open.
struct Listed {
    TempDir dir;
    FakeSystem system;
    AppModel model{system.platform()};
    Listed() {
        writeFile(dir / "card.img", std::string(4096, 0));
        QTRY_VERIFY(model.loadedDevices() && !model.refreshing());
    }
    QString image() const { return QString::fromStdString((dir / "card.img").string()); }
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
        // Three disk events while the first listing runs.
        for (int i = 0; i < 3; ++i)
            emit model.monitor()->changed();
        QVERIFY(!model.loadedDevices());
        gate.open();
        QTRY_VERIFY(model.loadedDevices() && system.listings == 2 && !model.refreshing());
        QCOMPARE(system.listings.load(), 2);
        // The same disks twice replace the list once; volumes left down go up before the first.
        QCOMPARE(devices.count(), 1);
        QCOMPARE(system.logText(), "remount");
        QCOMPARE(model.devicesValue().at(0).toMap().value("kind").toString(), "memoryCard");
        // A failed listing shows no disks.
        system.listingFails = true;
        model.refresh();
        QTRY_VERIFY(model.devices().empty());
    }

    void openDevice_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("alert");
        const QString title = "Couldn't read “Card”: ";
        const auto denial = DiskAccess::Failure::denied().errorDescription();
        QTest::newRow("unmounted") << int(none) << "open sdb unmount record"
                                   << "";
        QTest::newRow("nothing mounted") << int(notMounted) << "open sdb unmount"
                                         << "";
        QTest::newRow("password cancelled") << int(cancelled) << "open sdb"
                                            << "";
        QTest::newRow("privacy") << int(privacy) << "open sdb"
                                 << "";
        QTest::newRow("denied") << int(denied) << "open sdb" << title + denial.c_str();
        QTest::newRow("in use") << int(inUse) << "open sdb unmount" << title + kInUse;
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
        QCOMPARE(app.model.alertId().isEmpty(), alert.isEmpty());
        QCOMPARE(alert.isEmpty() ? "" : app.model.alertTitle() + ": " + app.model.alertMessage(),
                 alert);
        QCOMPARE(app.model.showPrivacyHelp(), fault == privacy);
        QCOMPARE(devices.count(), 0);
        auto* session = app.model.session();
        QCOMPARE(session != nullptr, fault == none || fault == notMounted);
        QCOMPARE(app.model.subtitle(), session ? "Scanning…" : "");
        if (session) QCOMPARE(session->unmountedForScan(), fault == none);
        // A descriptor granted for a disk that cannot be used is closed again.
        if (!session) QVERIFY(app.system.reader.expired());
    }

    void secondSourceWhileOpeningIsIgnored() {
        Listed app;
        Gate gate;
        app.system.holdOpen = &gate;
        app.model.open("sdb");
        app.model.open("sdc");
        app.model.openImage(app.image());
        app.model.saveCopy("sdc", app.image() + ".copy");
        QCOMPARE(app.model.opening(), "sdb");
        QVERIFY(!app.model.session() && !app.model.imaging());
        gate.open();
        QTRY_VERIFY(app.model.session());
        // And nothing opens over a session.
        app.model.open("sdc");
        app.model.openImage(app.image());
        QCOMPARE(app.model.opening(), "");
        QCOMPARE(app.model.session()->title(), "Card");
        QCOMPARE(app.system.logText(), "remount open sdb unmount record");
    }

    void openImage() {
        const std::pair<QString, QString> cases[] = {
            {"file://%1", ""},
            {"%1.gone", "That file can't be read as a disk image."},
            {"/dev/sda", "Open a disk image file, not a device."},
        };
        for (const auto& [path, message] : cases) {
            Listed app;
            app.model.openImage(QString(path).replace("%1", app.image()));
            QCOMPARE(app.model.alertTitle(), message.isEmpty() ? "" : AppModel::kImageTitle);
            QCOMPARE(app.model.alertMessage(), message);
            QCOMPARE(app.model.session() != nullptr, message.isEmpty());
            if (app.model.session()) QCOMPARE(app.model.session()->title(), "card");
        }
    }

    void leavingRemountsThenRefreshes() {
        Listed app;
        app.openCard();
        const int listings = app.system.listings;
        app.model.closeSession();
        QVERIFY(!app.model.session());
        QTRY_VERIFY(app.system.logText().endsWith("record mount forget"));
        // Not at once: the volumes need a moment to come back before the list is read.
        QCOMPARE(app.system.listings.load(), listings);
        QTRY_COMPARE_WITH_TIMEOUT(app.system.listings.load(), listings + 1, 5000);
    }

    void ejectDuringSession() {
        // When the eject fails, the volumes the session unmounted come back up.
        for (const bool ejects : {true, false}) {
            Listed app;
            app.system.ejects = ejects;
            app.openCard();
            const int listings = app.system.listings;
            app.model.eject("sdb");
            QVERIFY(!app.model.session());
            QTRY_COMPARE(app.system.listings.load(), listings + 1);
            QCOMPARE(app.system.logText().remove("remount open sdb unmount record "),
                     ejects ? "forget eject" : "forget eject mount");
            QCOMPARE(app.model.alertTitle(), ejects ? "" : "Couldn't eject “Card”");
        }
    }

    void quitDuringScanMountsAtOnce() {
        Listed app;
        app.openCard();
        app.model.prepareToQuit();
        QVERIFY(!app.model.session());
        QCOMPARE(app.system.logText(), "remount open sdb unmount record mount forget");
    }

    void quitDuringCopyWaitsForIt() {
        TempDir dir;
        const fs::path image = dir / "Card.img";
        FakeSystem system;
        system.copy.open = [](const Device&) -> std::shared_ptr<BlockReader> {
            return std::make_shared<DataBlockReader>(Bytes(1 << 20, 0x5A));
        };
        // The copy has made its file and goes on only once told to stop.
        system.copy.imaging.copy = [](auto& reader, auto& to, auto& progress, auto& stop) {
            return DiskImager::copy(reader, to, progress, [stop] {
                while (!stop())
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                return true;
            });
        };
        system.copy.unmount = [&](const Device&) { return system.note("unmount"), true; };
        system.copy.imaging.mount = [&](const Device&) { system.note("mount"); };
        AppModel model(system.platform());
        QTRY_VERIFY(model.loadedDevices());
        model.saveCopy("sdb", QString::fromStdString("file://" + image.string()));
        QTRY_VERIFY(model.imaging() && fs::exists(image));
        QCOMPARE(model.opening(), "");
        model.prepareToQuit();
        QCOMPARE(model.imaging()->failure(), ImagingJob::kStopped);
        QVERIFY(!fs::exists(image));
        QCOMPARE(system.logText(), "remount unmount mount");
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
        QFETCH(QString, subtitle);
        Listed app;
        app.system.scan = [count, end](const BlockReader& reader, const ScanOptions& options) {
            Files files;
            for (int i = 0; i < count; ++i)
                files.push_back(found(std::to_string(i), std::to_string(i) + ".jpg"));
            options.onFound(files);
            if (end == 1) throw RecoverError::cancelled();
            if (end == 2) throw RecoverError::message("broken");
            if (end == 3) return untilStopped(reader, options);
            return ScanResult{.files = files};
        };
        app.model.openImage(app.image());
        QTRY_COMPARE(app.model.subtitle(), subtitle);
    }

    void timeLeftText() {
        Listed app;
        QCOMPARE(app.model.timeLeftText(QVariant()), "");
        QCOMPARE(app.model.timeLeftText(59.0), "Less than a minute left");
        QCOMPARE(app.model.timeLeftText(60.0), "About 1 minute left");
    }
};

QTEST_GUILESS_MAIN(AppModelQtTest)
#include "AppModelQtTest.moc"
