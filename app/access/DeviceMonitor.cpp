#include "app/access/DeviceMonitor.hpp"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <libudev.h>

namespace vellary {

DeviceMonitor::DeviceMonitor(QObject* parent) : DeviceMonitor(Options(), parent) {}

DeviceMonitor::DeviceMonitor(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {
    if (!options_.snapshot) options_.snapshot = &DeviceMonitor::blockDevicesSnapshot;
    pending_.setSingleShot(true);
    pending_.setInterval(options_.quiet);
    connect(&pending_, &QTimer::timeout, this, &DeviceMonitor::changed);

    if (options_.useUdev && (udev_ = udev_new())) {
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (monitor_ &&
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", nullptr) == 0 &&
            udev_monitor_enable_receiving(monitor_) == 0) {
            notifier_ =
                new QSocketNotifier(udev_monitor_get_fd(monitor_), QSocketNotifier::Read, this);
            connect(notifier_, &QSocketNotifier::activated, this, &DeviceMonitor::readUdev);
        } else if (monitor_) {
            udev_monitor_unref(monitor_);
            monitor_ = nullptr;
        }
    }
    // Until udev proves itself with one event, polling keeps the list honest.
    last_ = options_.snapshot();
    poll_.setInterval(options_.pollEvery);
    connect(&poll_, &QTimer::timeout, this, &DeviceMonitor::pollOnce);
    poll_.start();
}

DeviceMonitor::~DeviceMonitor() {
    delete notifier_;
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
}

void DeviceMonitor::noteEvent() {
    pending_.start();
}

void DeviceMonitor::readUdev() {
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        udev_device_unref(device);
        poll_.stop();
        noteEvent();
    }
}

void DeviceMonitor::pollOnce() {
    auto now = options_.snapshot();
    if (now == last_) return;
    last_ = std::move(now);
    noteEvent();
}

QByteArray DeviceMonitor::blockDevicesSnapshot() {
    QByteArray out;
    const QDir block(QStringLiteral("/sys/class/block"));
    for (const auto& name :
         block.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name)) {
        QFile size(block.filePath(name + "/size"));
        out += name.toUtf8() + ' ';
        if (size.open(QIODevice::ReadOnly)) out += size.readAll().trimmed();
        out += '\n';
    }
    return out;
}

} // namespace vellary
