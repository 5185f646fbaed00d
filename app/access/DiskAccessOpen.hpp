#pragma once

// The privileged read-only open, with a plain C interface: UDisks asks the user (through
// polkit) and hands back a descriptor opened read-only.

#ifdef __cplusplus
extern "C" {
#endif

// Results: 0 success (descriptor valid), 1 the user dismissed the request, 2 not authorised,
// 3 blocked (no disk service, or the call was refused), 4 anything else, with a code.
typedef int DiskAccessResult;

DiskAccessResult disk_access_open_readonly(const char* path, const char* prompt, int* descriptor,
                                           int* code);

#ifdef __cplusplus
}

#include <QDBusConnection>
#include <QString>
#include <chrono>

namespace vellary::access {

struct PrivilegedOutcome {
    int result = 4;
    int descriptor = -1;
    int code = -1;
};

// Interactive authorisation may take as long as the user needs; D-Bus' default is 25 s.
constexpr std::chrono::milliseconds kOpenTimeout = std::chrono::minutes(10);

// Block.OpenForBackup on the block object of `path` at `service` on `bus`.
PrivilegedOutcome openForBackup(const QDBusConnection& bus, const QString& service,
                                const QString& path,
                                std::chrono::milliseconds timeout = kOpenTimeout);
// The outcome of a D-Bus error reply, by its name.
PrivilegedOutcome outcomeOfError(const QString& errorName);
// Keeps a descriptor only when it is open read-only; anything else is closed and refused.
PrivilegedOutcome checkedReadOnly(int descriptor);
// UDisks' object path for a device node: /dev/sdb → .../block_devices/sdb.
QString blockObjectPath(const QString& node);

} // namespace vellary::access
#endif
