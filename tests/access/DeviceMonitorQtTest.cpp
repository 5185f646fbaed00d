#include "app/access/DeviceMonitor.hpp"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace vellary;

class DeviceMonitorQtTest : public QObject {
    Q_OBJECT

private slots:
    void tenEventsWithinHalfASecondGiveOneRefresh() {
        DeviceMonitor::Options options;
        options.useUdev = false;
        options.pollEvery = std::chrono::hours(1);
        DeviceMonitor monitor(options);
        QSignalSpy changed(&monitor, &DeviceMonitor::changed);
        QTimer burst;
        int sent = 0;
        burst.setInterval(45);
        connect(&burst, &QTimer::timeout, [&] {
            monitor.noteEvent();
            if (++sent == 10) burst.stop();
        });
        burst.start();
        QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 5000);
        QCOMPARE(sent, 10);
        QVERIFY(!monitor.isPending());
        QCOMPARE(changed.count(), 1);
    }

    void pollingNoticesAChangeWhenUdevIsSilent() {
        QByteArray state = "sda 100\n";
        DeviceMonitor::Options options;
        options.useUdev = false;
        options.quiet = std::chrono::milliseconds(50);
        options.pollEvery = std::chrono::milliseconds(20);
        options.snapshot = [&] { return state; };
        DeviceMonitor monitor(options);
        QVERIFY(monitor.isPolling());
        QSignalSpy changed(&monitor, &DeviceMonitor::changed);
        state = "sda 100\nsdb 200\n";
        QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 5000);
        QVERIFY(!monitor.isPending());
    }

    void theSystemMonitorStarts() {
        DeviceMonitor monitor;
        QVERIFY(monitor.isPolling());
        QVERIFY(!monitor.isPending());
        QVERIFY(!DeviceMonitor::blockDevicesSnapshot().isNull());
    }
};

QTEST_GUILESS_MAIN(DeviceMonitorQtTest)
#include "DeviceMonitorQtTest.moc"
