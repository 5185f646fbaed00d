#include "app/access/DiskAccess.hpp"
#include "app/access/DiskAccessOpen.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/support/Tools.hpp"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusUnixFileDescriptor>
#include <QProcess>
#include <QTest>
#include <cerrno>
#include <fcntl.h>
#include <future>
#include <unistd.h>

using namespace vellary;
using vellary::testing::TempDir;

namespace {

// The block object of a UDisks service that answers OpenForBackup as told.
class FakeBlock : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UDisks2.Block")
public:
    QString errorName;
    QString file;
    int mode = O_RDONLY;

public slots:
    QDBusUnixFileDescriptor OpenForBackup(const QVariantMap&) {
        if (!errorName.isEmpty()) {
            sendErrorReply(errorName, QStringLiteral("refused"));
            return {};
        }
        const int fd = ::open(file.toUtf8().constData(), mode);
        QDBusUnixFileDescriptor reply(fd);
        ::close(fd);
        return reply;
    }
};

Device card(const std::string& id) {
    Device d;
    d.id = id;
    d.name = "Canon card";
    d.size = 4096;
    d.blockSize = 512;
    return d;
}

} // namespace

class DiskAccessQtTest : public QObject {
    Q_OBJECT

    TempDir dir_;
    std::string diskFile_;

    int openFile(int mode) const { return ::open(diskFile_.c_str(), mode | O_CLOEXEC); }

private slots:
    void initTestCase() {
        diskFile_ = (dir_ / "disk.bin").string();
        testing::writeFile(diskFile_, std::string(4096, 'x'));
    }

    void errorNamesMapToOutcomes_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("code");
        QTest::newRow("dismissed")
            << "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed" << 1 << ECANCELED;
        QTest::newRow("not authorised")
            << "org.freedesktop.UDisks2.Error.NotAuthorized" << 2 << EACCES;
        QTest::newRow("can obtain")
            << "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain" << 2 << EACCES;
        QTest::newRow("access denied") << "org.freedesktop.DBus.Error.AccessDenied" << 3 << EPERM;
        QTest::newRow("no udisks") << "org.freedesktop.DBus.Error.ServiceUnknown" << 3 << EPERM;
        QTest::newRow("timeout") << "org.freedesktop.DBus.Error.NoReply" << 4 << ETIMEDOUT;
        QTest::newRow("unknown disk") << "org.freedesktop.DBus.Error.UnknownObject" << 4 << ENODEV;
        QTest::newRow("failed") << "org.freedesktop.UDisks2.Error.Failed" << 4 << EIO;
        QTest::newRow("other") << "com.example.Error" << 4 << -1;
    }
    void errorNamesMapToOutcomes() {
        QFETCH(QString, name);
        QFETCH(int, result);
        QFETCH(int, code);
        const auto outcome = access::outcomeOfError(name);
        QCOMPARE(outcome.result, result);
        QCOMPARE(outcome.code, code);
        QCOMPARE(outcome.descriptor, -1);
    }

    void privilegedOutcomesBecomeFailures_data() {
        QTest::addColumn<int>("plainErrno");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("failure"); // -1: opened
        QTest::addColumn<QString>("message");
        using F = DiskAccess::Failure::Case;
        QTest::newRow("plain open works") << 0 << 4 << 0 << -1 << "";
        QTest::newRow("EPERM: no password asked")
            << EPERM << 0 << 0 << int(F::privacy) << "privacy settings";
        QTest::newRow("approved") << EACCES << 0 << 0 << -1 << "";
        QTest::newRow("cancelled") << EACCES << 1 << 125 << int(F::cancelled) << "your password";
        QTest::newRow("denied") << EACCES << 2 << 13 << int(F::denied) << "administrator";
        QTest::newRow("blocked") << ENOENT << 3 << 1 << int(F::privacy) << "privacy settings";
        QTest::newRow("other") << EACCES << 4 << 5 << int(F::other) << "(code 5)";
        QTest::newRow("unknown result") << EACCES << 9 << -1 << int(F::other) << "(code -1)";
    }
    void privilegedOutcomesBecomeFailures() {
        QFETCH(int, plainErrno);
        QFETCH(int, result);
        QFETCH(int, code);
        QFETCH(int, failure);
        QFETCH(QString, message);
        int privilegedCalls = 0;
        std::string prompt;
        std::string node;
        DiskAccess::Openers openers;
        openers.plain = [&](const std::string&) {
            return plainErrno == 0 ? openFile(O_RDONLY) : -plainErrno;
        };
        openers.privileged = [&](const char* path, const char* text, int* fd, int* outCode) {
            ++privilegedCalls;
            prompt = text;
            node = path;
            *fd = result == 0 ? openFile(O_RDONLY) : -1;
            *outCode = code;
            return result;
        };
        try {
            const auto reader = DiskAccess::open(card("sdz"), openers);
            QCOMPARE(failure, -1);
            QCOMPARE(reader->size(), 4096u);
            QVERIFY(reader->aligned());
        } catch (const DiskAccess::Failure& error) {
            QCOMPARE(int(error.kind()), failure);
            QVERIFY2(QString::fromStdString(error.errorDescription()).contains(message),
                     error.what());
        }
        QCOMPARE(privilegedCalls, plainErrno == 0 || plainErrno == EPERM ? 0 : 1);
        if (privilegedCalls) QCOMPARE(node, std::string("/dev/sdz"));
        if (privilegedCalls)
            QCOMPARE(prompt, std::string("Vellary needs permission to read “Canon card”. It only "
                                         "reads; nothing on the disk is changed."));
    }

    void aWritableDescriptorIsRefused() {
        for (const bool privileged : {false, true}) {
            int handed = -1;
            DiskAccess::Openers openers;
            openers.plain = [&](const std::string&) {
                return privileged ? -EACCES : (handed = openFile(O_RDWR));
            };
            openers.privileged = [&](const char*, const char*, int* fd, int* code) {
                *fd = handed = openFile(O_RDWR);
                *code = 0;
                return 0;
            };
            try {
                DiskAccess::open(card("sdz"), openers);
                QFAIL("a descriptor that can write was used");
            } catch (const DiskAccess::Failure& error) {
                QCOMPARE(error.kind(), DiskAccess::Failure::Case::other);
                QVERIFY(QString(error.what()).contains("(code 1)"));
            }
            QVERIFY2(::fcntl(handed, F_GETFD) < 0, "the refused descriptor is closed");
        }
        QCOMPARE(access::checkedReadOnly(openFile(O_WRONLY)).code, 1);
        const auto kept = access::checkedReadOnly(openFile(O_RDONLY));
        QCOMPARE(kept.result, 0);
        ::close(kept.descriptor);
    }

    void theCEntryRefusesPathsOutsideDev() {
        for (const char* path : {static_cast<const char*>(nullptr), "", "/tmp/disk", "dev/sdb"}) {
            int fd = 7;
            int code = 0;
            QCOMPARE(disk_access_open_readonly(path, "prompt", &fd, &code), 4);
            QCOMPARE(fd, -1);
            QCOMPARE(code, EINVAL);
        }
        QCOMPARE(access::blockObjectPath("/dev/sdb"),
                 QString("/org/freedesktop/UDisks2/block_devices/sdb"));
        QCOMPARE(access::blockObjectPath("/dev/dm-0"),
                 QString("/org/freedesktop/UDisks2/block_devices/dm_2d0"));
    }

    void imagesOpenOnlyAsRegularFiles() {
        const auto reader = DiskAccess::open(std::filesystem::path(diskFile_));
        QCOMPARE(reader->size(), 4096u);
        const std::pair<std::string, RecoverError::Case> refused[] = {
            {"/dev/zero", RecoverError::Case::unsafeDevice},
            {dir_.path().string(), RecoverError::Case::message},
            {(dir_ / "missing.img").string(), RecoverError::Case::message},
        };
        for (const auto& [path, kind] : refused) {
            try {
                DiskAccess::open(std::filesystem::path(path));
                QFAIL(path.c_str());
            } catch (const RecoverError& error) {
                QCOMPARE(error.kind(), kind);
            }
        }
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
        QVERIFY(service.isConnected() && client.isConnected());
        FakeBlock block;
        block.file = QString::fromStdString(diskFile_);
        QVERIFY(service.registerService("org.freedesktop.UDisks2"));
        QVERIFY(service.registerObject("/org/freedesktop/UDisks2/block_devices/sdz", &block,
                                       QDBusConnection::ExportAllSlots));

        const auto call = [&](const QString& serviceName) {
            // The fake answers on this thread, so the blocking call runs on another.
            auto pending = std::async(std::launch::async, [&] {
                return access::openForBackup(client, serviceName, "/dev/sdz");
            });
            for (int i = 0; i < 500 && pending.wait_for(std::chrono::milliseconds(0)) !=
                                           std::future_status::ready;
                 ++i)
                QTest::qWait(10);
            return pending.get();
        };
        struct Case {
            const char* error;
            int mode;
            int result;
            int code;
        };
        const Case cases[] = {
            {"", O_RDONLY, 0, 0},
            {"", O_RDWR, 4, 1},
            {"org.freedesktop.UDisks2.Error.NotAuthorizedDismissed", O_RDONLY, 1, ECANCELED},
            {"org.freedesktop.UDisks2.Error.NotAuthorized", O_RDONLY, 2, EACCES},
            {"org.freedesktop.DBus.Error.AccessDenied", O_RDONLY, 3, EPERM},
            {"org.freedesktop.UDisks2.Error.Failed", O_RDONLY, 4, EIO},
        };
        for (const auto& c : cases) {
            block.errorName = c.error;
            block.mode = c.mode;
            const auto outcome = call("org.freedesktop.UDisks2");
            QCOMPARE(outcome.result, c.result);
            QCOMPARE(outcome.code, c.code);
            if (c.result == 0) {
                QCOMPARE(::fcntl(outcome.descriptor, F_GETFL) & O_ACCMODE, O_RDONLY);
                ::close(outcome.descriptor);
            } else {
                QCOMPARE(outcome.descriptor, -1);
            }
        }
        QCOMPARE(call("org.freedesktop.UDisks2.Missing").result, 3);
        QDBusConnection::disconnectFromBus("vellary-fake-udisks");
        QDBusConnection::disconnectFromBus("vellary-client");
        daemon.kill();
        daemon.waitForFinished(5000);
    }
};

QTEST_GUILESS_MAIN(DiskAccessQtTest)
#include "DiskAccessQtTest.moc"
