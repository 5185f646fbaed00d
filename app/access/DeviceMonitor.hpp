#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace vellary {

// Watches block devices come, go and change (libudev), and says so once a burst of events has
// been quiet for 0.6 s. Where udev delivers nothing (no udevd), it polls sysfs instead.
class DeviceMonitor : public QObject {
    Q_OBJECT
public:
    struct Options {
        std::chrono::milliseconds quiet{600};
        std::chrono::milliseconds pollEvery{2000};
        bool useUdev = true;
        // What the poll compares between rounds; by default the block devices and their sizes.
        std::function<QByteArray()> snapshot;
    };

    explicit DeviceMonitor(QObject* parent = nullptr);
    DeviceMonitor(Options options, QObject* parent = nullptr);
    ~DeviceMonitor() override;

    bool isPending() const { return pending_.isActive(); }
    bool isPolling() const { return poll_.isActive(); }
    bool hasUdev() const { return monitor_ != nullptr; }

    static QByteArray blockDevicesSnapshot();

public slots:
    // One disk event: (re)starts the quiet period.
    void noteEvent();

signals:
    void changed();

private:
    void readUdev();
    void pollOnce();

    Options options_;
    QTimer pending_;
    QTimer poll_;
    QByteArray last_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace vellary
