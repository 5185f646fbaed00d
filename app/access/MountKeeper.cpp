#include "app/access/MountKeeper.hpp"

#include "core/devices/DeviceCatalog.hpp"

#include <QDir>
#include <QLockFile>
#include <QSettings>
#include <QStandardPaths>
#include <QVariantMap>
#include <mutex>

namespace vellary {
namespace {

// Every read-modify-write of the record, in any thread, holds this for the whole sequence.
std::mutex& recordLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, std::string> readRecord(QSettings& settings) {
    std::map<std::string, std::string> out;
    const auto value = settings.value(MountKeeper::kKey);
    if (value.typeId() != QMetaType::QVariantMap) return out;
    const auto map = value.toMap();
    for (auto it = map.constBegin(); it != map.constEnd(); ++it)
        if (it.value().typeId() == QMetaType::QString)
            out[it.key().toStdString()] = it.value().toString().toStdString();
    return out;
}

void writeRecord(QSettings& settings, const std::map<std::string, std::string>& record) {
    if (record.empty()) {
        settings.remove(MountKeeper::kKey);
    } else {
        QVariantMap map;
        for (const auto& [id, identity] : record)
            map.insert(QString::fromStdString(id), QString::fromStdString(identity));
        settings.setValue(MountKeeper::kKey, map);
    }
    settings.sync();
}

} // namespace

MountKeeper::Disks MountKeeper::Disks::system() {
    return {[] { return DeviceCatalog().devices(); },
            [](const Device& device) { DeviceCatalog().mount(device); }};
}

MountKeeper::MountKeeper()
    : MountKeeper(QString(), Disks::system(),
                  QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation))
                      .filePath("vellary.lock")) {}

MountKeeper::MountKeeper(QString settingsFile, Disks disks, QString lockFile)
    : settingsFile_(std::move(settingsFile)), disks_(std::move(disks)),
      lockPath_(std::move(lockFile)) {}

MountKeeper::~MountKeeper() = default;

std::unique_ptr<QSettings> MountKeeper::settings() const {
    if (!settingsFile_.isEmpty())
        return std::make_unique<QSettings>(settingsFile_, QSettings::IniFormat);
    return std::make_unique<QSettings>(QStringLiteral("Vellary"), QStringLiteral("Vellary"));
}

void MountKeeper::record(const std::string& id, const std::optional<std::string>& identity) {
    const std::lock_guard guard(recordLock());
    const auto s = settings();
    auto record = readRecord(*s);
    if (identity) {
        record[id] = *identity;
    } else {
        record.erase(id);
    }
    writeRecord(*s, record);
}

bool MountKeeper::forget(const std::string& id, const std::string& identity) {
    const std::lock_guard guard(recordLock());
    const auto s = settings();
    auto record = readRecord(*s);
    const auto it = record.find(id);
    if (it == record.end() || it->second != identity) return false;
    record.erase(it);
    writeRecord(*s, record);
    return true;
}

std::map<std::string, std::string> MountKeeper::stored() const {
    const std::lock_guard guard(recordLock());
    return readRecord(*settings());
}

bool MountKeeper::isOnlyInstance() {
    if (!locked_) {
        lock_ = std::make_unique<QLockFile>(lockPath_);
        // A lock left by a crashed run names a dead process and is taken over.
        locked_ = lock_->tryLock(0);
    }
    return *locked_;
}

void MountKeeper::remountNow() {
    const auto read = stored();
    if (read.empty() || !isOnlyInstance()) return;
    std::vector<Device> devices;
    try {
        devices = disks_.list();
    } catch (const std::exception&) {
    }
    for (const auto& device : devices) {
        const auto it = read.find(device.id);
        if (it == read.end() || it->second != device.identity || device.isMounted()) continue;
        disks_.mount(device);
        forget(it->first, it->second);
    }
    // Drop what was read, and only that: an entry written meanwhile belongs to a live scan.
    for (const auto& [id, identity] : read)
        forget(id, identity);
}

std::future<void> MountKeeper::remountAfterCrash() {
    if (stored().empty()) {
        std::promise<void> done;
        done.set_value();
        return done.get_future();
    }
    return std::async(std::launch::async, [this] { remountNow(); });
}

} // namespace vellary
