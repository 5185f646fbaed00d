#pragma once

#include "core/devices/Device.hpp"

#include <QString>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QLockFile;
class QSettings;

namespace vellary {

// The persistent note of disks whose volumes were unmounted for a scan, so that they are
// mounted again even after a crash. Keyed by whole-disk name, holding the disk's identity.
class MountKeeper {
public:
    struct Disks {
        std::function<std::vector<Device>()> list;
        std::function<void(const Device&)> mount;
        static Disks system();
    };

    // The user's preferences, the system's disks, a lock file in the runtime folder.
    MountKeeper();
    // A settings file, disks and lock file of the caller's choice (tests).
    MountKeeper(QString settingsFile, Disks disks, QString lockFile);
    ~MountKeeper();
    MountKeeper(const MountKeeper&) = delete;
    MountKeeper& operator=(const MountKeeper&) = delete;

    // Sets the entry for id, or removes it when identity is absent.
    void record(const std::string& id, const std::optional<std::string>& identity);
    // Removes the entry for id only while it still holds this identity.
    bool forget(const std::string& id, const std::string& identity);
    std::map<std::string, std::string> stored() const;

    // Once at start-up: on a background thread, mounts again each recorded disk that is still
    // attached with the same identity and unmounted, then drops the entries it read. Does
    // nothing when the record is empty or another running instance holds the lock.
    std::future<void> remountAfterCrash();
    // The same, on the calling thread.
    void remountNow();
    // Whether this process is the one running instance (taken on first use, held until exit).
    bool isOnlyInstance();

    static constexpr const char* kKey = "DisksUnmountedForScan";

private:
    std::unique_ptr<QSettings> settings() const;

    QString settingsFile_;
    Disks disks_;
    QString lockPath_;
    std::unique_ptr<QLockFile> lock_;
    std::optional<bool> locked_;
};

} // namespace vellary
