#include "app/access/DeviceMonitor.hpp"
#include "app/access/DiskAccess.hpp"
#include "app/access/DiskAccessOpen.hpp"
#include "app/access/MountKeeper.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/Tools.hpp"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusUnixFileDescriptor>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <cerrno>
#include <fcntl.h>
#include <future>
#include <stdexcept>
#include <unistd.h>

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace vellary;
using vellary::testing::TempDir;
using namespace std::chrono_literals;
using Record = std::map<std::string, std::string>;

// The block object of a UDisks service that answers OpenForBackup as told.
class FakeBlock : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UDisks2.Block")
public:
    QString errorName, file;
    int mode = O_RDONLY;

public slots:
    QDBusUnixFileDescriptor OpenForBackup(const QVariantMap&) {
        if (!errorName.isEmpty()) sendErrorReply(errorName, QStringLiteral("refused"));
        QDBusUnixFileDescriptor reply;
        if (errorName.isEmpty()) reply.giveFileDescriptor(::open(file.toUtf8().constData(), mode));
        return reply;
    }
};

class AccessQtTest : public QObject {
    Q_OBJECT

    TempDir dir_;
    std::string diskFile_;
    Device card_;
    int round_ = 0;
    std::vector<std::string> mounted_;

    // A keeper on this test's own settings file and lock, whose disk listing is `disks`.
    std::unique_ptr<MountKeeper> keeper(std::function<std::vector<Device>()> disks) {
        const auto base = QString::fromStdString((dir_ / std::to_string(round_)).string());
        return std::make_unique<MountKeeper>(
            base + ".ini",
            MountKeeper::Disks{disks, [this](const Device& d) { mounted_.push_back(d.id); }},
            base + ".lock");
    }

    int openFile(int mode) const { return ::open(diskFile_.c_str(), mode | O_CLOEXEC); }

private slots:
    void init() { ++round_; }

    void initTestCase() {
        diskFile_ = (dir_ / "disk.bin").string();
        testing::writeFile(diskFile_, std::string(4096, 'x'));
        card_ = {.id = "sdz", .size = 4096};
    }

    void privilegedOutcomesBecomeFailures() {
        using F = DiskAccess::Failure::Case;
        const struct {
            int plainErrno, result, code, mode; // plainErrno 0: the plain open works
            std::optional<F> failure;           // none: opened
            const char* shown;
        } cases[] = {
            {0, 0, 0, O_RDONLY, {}, ""},           {0, 0, 0, O_RDWR, F::other, "(code 1)"},
            {EPERM, 0, 0, 0, F::privacy, ""}, // a password would not help: none is asked
            {EACCES, 0, 0, O_RDONLY, {}, ""},      {EACCES, 0, 0, O_RDWR, F::other, "(code 1)"},
            {EACCES, 1, 125, 0, F::cancelled, ""}, {EACCES, 2, 13, 0, F::denied, ""},
            {ENOENT, 3, 1, 0, F::privacy, ""},     {EACCES, 4, 5, 0, F::other, "(code 5)"},
        };
        for (const auto& c : cases) {
            const auto row = QByteArray::number(&c - cases);
            int handed = -1;
            DiskAccess::Openers openers;
            openers.plain = [&](const std::string&) {
                return c.plainErrno ? -c.plainErrno : (handed = openFile(c.mode));
            };
            openers.privileged = [&](const char*, const char*, int* fd, int* code) {
                *fd = c.result == 0 ? (handed = openFile(c.mode)) : -1;
                *code = c.code;
                return c.result;
            };
            try {
                QVERIFY2(DiskAccess::open(card_, openers)->size() == 4096u && !c.failure, row);
            } catch (const DiskAccess::Failure& error) {
                QVERIFY2(error.kind() == c.failure && QString(error.what()).contains(c.shown),
                         row + error.what());
                QVERIFY2(handed < 0 || ::fcntl(handed, F_GETFD) < 0, row + " left open");
            }
        }
    }

    void onlyDevNodesAndRegularImagesAreOpened() {
        for (const char* path : {static_cast<const char*>(nullptr), "", "/tmp/disk", "dev/sdb"}) {
            int fd = 7, code = 0;
            QCOMPARE(disk_access_open_readonly(path, "prompt", &fd, &code), 4);
            QCOMPARE(std::pair(fd, code), std::pair(-1, EINVAL));
        }
        QCOMPARE(access::blockObjectPath("/dev/dm-0"),
                 QString("/org/freedesktop/UDisks2/block_devices/dm_2d0"));
        QCOMPARE(DiskAccess::open(std::filesystem::path(diskFile_))->size(), 4096u);
        for (const auto& path :
             {std::string("/dev/zero"), dir_.path().string(), (dir_ / "missing.img").string()})
            QVERIFY_THROWS_EXCEPTION(RecoverError, DiskAccess::open(std::filesystem::path(path)));
    }

    // The real exchange over a private D-Bus daemon, with a stand-in for UDisks.
    void openForBackupOverARealBus() {
        QProcess daemon;
        daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        if (!daemon.waitForStarted(5000) || !daemon.waitForReadyRead(5000))
            QSKIP("dbus-daemon cannot be started here");
        const auto address = QString::fromUtf8(daemon.readLine()).trimmed();
        auto service = QDBusConnection::connectToBus(address, "vellary-fake-udisks");
        auto client = QDBusConnection::connectToBus(address, "vellary-client");
        FakeBlock block;
        block.file = QString::fromStdString(diskFile_);
        QVERIFY(service.registerService("org.freedesktop.UDisks2"));
        QVERIFY(service.registerObject("/org/freedesktop/UDisks2/block_devices/sdz", &block,
                                       QDBusConnection::ExportAllSlots));
        const auto call = [&](const char* name) { // the fake answers on this thread
            auto pending = std::async(std::launch::async, [&] {
                return access::openForBackup(client, name, "/dev/sdz");
            });
            while (pending.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                QTest::qWait(10);
            return pending.get();
        };
        const struct {
            const char* error;
            int mode, result, code;
        } cases[] = {{"", O_RDONLY, 0, 0},
                     {"", O_RDWR, 4, 1},
                     {"UDisks2.Error.NotAuthorizedDismissed", O_RDONLY, 1, ECANCELED},
                     {"UDisks2.Error.NotAuthorized", O_RDONLY, 2, EACCES},
                     {"UDisks2.Error.NotAuthorizedCanObtain", O_RDONLY, 2, EACCES},
                     {"DBus.Error.AccessDenied", O_RDONLY, 3, EPERM},
                     {"UDisks2.Error.Failed", O_RDONLY, 4, EIO}};
        for (const auto& c : cases) {
            block.errorName = *c.error ? QString("org.freedesktop.") + c.error : QString();
            block.mode = c.mode;
            const auto outcome = call("org.freedesktop.UDisks2");
            QCOMPARE(std::pair(outcome.result, outcome.code), std::pair(c.result, c.code));
            QCOMPARE(outcome.descriptor >= 0, c.result == 0);
            if (c.result == 0) ::close(outcome.descriptor);
        }
        QCOMPARE(call("org.freedesktop.UDisks2.Missing").result, 3);
    }

    void remountsOnlyTheSameDiskAndKeepsEntriesWrittenMeanwhile() {
        MountKeeper* self = nullptr;
        auto k = keeper([&] {
            // A scan that starts now writes its own entries; they must survive.
            self->record("sde", std::string("sde|1"));
            self->record("sdc", std::string("sdc|2"));
            return std::vector<Device>{
                {.id = "sdb", .identity = "sdb|1"}, // the same card: mounted again
                {.id = "sdc", .identity = "sdc|2"}, // another card in that reader
                {.id = "sdd", .mountPoints = {"/media/d"}, .identity = "sdd|1"}, // mounted
            };
        });
        self = k.get();
        for (const std::string id : {"sdb", "sdc", "sdd", "sdf"})
            k->record(id, id + "|1");
        QVERIFY(!k->forget("sdf", "sdf|2"));
        k->remountAfterCrash().get();
        QCOMPARE(mounted_, std::vector<std::string>{"sdb"});
        QCOMPARE(k->stored(), (Record{{"sdc", "sdc|2"}, {"sde", "sde|1"}}));
    }

    void onlyTheFirstInstanceRemountsAndAFailedListingStillClears() {
        int lists = 0;
        const auto failing = [&]() -> std::vector<Device> {
            ++lists;
            throw std::runtime_error("lsblk failed");
        };
        auto first = keeper(failing), second = keeper(failing);
        QVERIFY(first->isOnlyInstance());
        second->record("sdb", std::string("x"));
        second->remountNow();
        QCOMPARE(std::pair(lists, second->stored().size()), std::pair(0, std::size_t(1)));
        first->remountAfterCrash().get();
        QCOMPARE(std::pair(lists, first->stored().size()), std::pair(1, std::size_t(0)));
    }

    void tenEventsWithinHalfASecondGiveOneRefresh() {
        DeviceMonitor monitor({.pollEvery = 1h, .useUdev = false});
        QSignalSpy changed(&monitor, &DeviceMonitor::changed);
        for (int i = 0; i < 10; ++i) {
            monitor.noteEvent();
            QTest::qWait(45);
        }
        QCOMPARE(changed.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 5000);
        QTest::qWait(700);
        QCOMPARE(changed.count(), 1);
    }

    void pollingNoticesAChangeWhenUdevIsSilent() {
        QByteArray state = "sda 100\n";
        DeviceMonitor monitor({20ms, 100ms, false, [&] { return state; }});
        QSignalSpy changed(&monitor, &DeviceMonitor::changed);
        QTest::qWait(200);
        QCOMPARE(changed.count(), 0);
        state = "sda 100\nsdb 200\n";
        QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 5000);
    }
};

QTEST_GUILESS_MAIN(AccessQtTest)
#include "AccessQtTest.moc"
