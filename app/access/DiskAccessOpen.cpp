#include "app/access/DiskAccessOpen.hpp"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vellary::access {
namespace {

constexpr const char* kService = "org.freedesktop.UDisks2";
constexpr int kPathNotADevice = EINVAL;
constexpr int kCancelledCode = ECANCELED;
constexpr int kDeniedCode = EACCES;
constexpr int kBlockedCode = EPERM;
// A descriptor that can write is refused with this code.
constexpr int kWritableCode = 1;

} // namespace

QString blockObjectPath(const QString& node) {
    const auto name = QFileInfo(node).fileName().toUtf8();
    // UDisks escapes every byte outside [A-Za-z0-9] as _xx in hexadecimal.
    QString escaped;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9')) {
            escaped += QChar(u);
        } else {
            escaped += QStringLiteral("_%1").arg(u, 2, 16, QChar('0'));
        }
    }
    return QStringLiteral("/org/freedesktop/UDisks2/block_devices/") + escaped;
}

PrivilegedOutcome outcomeOfError(const QString& errorName) {
    if (errorName == "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed")
        return {1, -1, kCancelledCode};
    if (errorName == "org.freedesktop.UDisks2.Error.NotAuthorized" ||
        errorName == "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain")
        return {2, -1, kDeniedCode};
    if (errorName == "org.freedesktop.DBus.Error.AccessDenied" ||
        errorName == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        errorName == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
        errorName == "org.freedesktop.DBus.Error.Disconnected")
        return {3, -1, kBlockedCode};
    if (errorName == "org.freedesktop.DBus.Error.NoReply" ||
        errorName == "org.freedesktop.DBus.Error.Timeout")
        return {4, -1, ETIMEDOUT};
    if (errorName == "org.freedesktop.DBus.Error.UnknownObject" ||
        errorName == "org.freedesktop.DBus.Error.UnknownMethod")
        return {4, -1, ENODEV};
    if (errorName == "org.freedesktop.UDisks2.Error.Failed") return {4, -1, EIO};
    return {4, -1, -1};
}

PrivilegedOutcome checkedReadOnly(int descriptor) {
    if (descriptor < 0) return {4, -1, EBADF};
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0) {
        const int error = errno;
        ::close(descriptor);
        return {4, -1, error};
    }
    if ((flags & O_ACCMODE) != O_RDONLY) {
        ::close(descriptor);
        return {4, -1, kWritableCode};
    }
    return {0, descriptor, 0};
}

PrivilegedOutcome openForBackup(const QDBusConnection& bus, const QString& service,
                                const QString& path, std::chrono::milliseconds timeout) {
    if (!bus.isConnected()) return {3, -1, kBlockedCode};
    auto message = QDBusMessage::createMethodCall(service, blockObjectPath(path),
                                                  "org.freedesktop.UDisks2.Block", "OpenForBackup");
    message << QVariantMap();
    message.setInteractiveAuthorizationAllowed(true);
    const auto reply =
        QDBusConnection(bus).call(message, QDBus::Block, static_cast<int>(timeout.count()));
    if (reply.type() == QDBusMessage::ErrorMessage) return outcomeOfError(reply.errorName());
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {4, -1, -1};
    const auto fd = qdbus_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
    if (!fd.isValid()) return {4, -1, EBADF};
    // The reply owns its descriptor; keep a duplicate of our own.
    return checkedReadOnly(::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0));
}

} // namespace vellary::access

extern "C" DiskAccessResult disk_access_open_readonly(const char* path, const char* prompt,
                                                      int* descriptor, int* code) {
    using namespace vellary::access;
    // polkit writes its own question; the prompt is accepted and not shown.
    (void)prompt;
    if (descriptor) *descriptor = -1;
    if (code) *code = 0;
    PrivilegedOutcome outcome{4, -1, kPathNotADevice};
    if (path && std::strncmp(path, "/dev/", 5) == 0)
        outcome = openForBackup(QDBusConnection::systemBus(), kService, QString::fromUtf8(path));
    if (descriptor) {
        *descriptor = outcome.descriptor;
    } else if (outcome.descriptor >= 0) {
        ::close(outcome.descriptor);
    }
    if (code) *code = outcome.code;
    return outcome.result;
}
