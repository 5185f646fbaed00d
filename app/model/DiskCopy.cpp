#include "app/model/DiskCopy.hpp"

#include "app/access/DiskAccess.hpp"
#include "app/access/MountKeeper.hpp"
#include "app/model/MainThread.hpp"
#include "app/model/RecoveryJob.hpp"
#include "app/model/RemountQueue.hpp"
#include "app/model/SetAside.hpp"
#include "core/devices/DeviceCatalog.hpp"
#include "core/records/ByteText.hpp"
#include "core/records/Bytes.hpp"
#include "core/records/RecoverError.hpp"
#include "core/restore/DestinationCheck.hpp"
#include "core/restore/OutputPath.hpp"

#include <QPointer>
#include <unistd.h>

namespace vellary {
namespace {

namespace fs = std::filesystem;

bool somethingAt(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

} // namespace

DiskCopy::Platform DiskCopy::Platform::system() {
    Platform platform;
    // The same disk and space checks as a recovery's destination.
    auto checks = RecoveryJob::Checks::system();
    platform.onSource = std::move(checks.onSource);
    platform.freeSpace = std::move(checks.freeSpace);
    platform.open = [](const Device& device) -> std::shared_ptr<BlockReader> {
        return DiskAccess::open(device);
    };
    platform.unmount = [](const Device& device) { return DeviceCatalog().unmount(device); };
    platform.record = [](const Device& device) {
        MountKeeper().record(device.id, device.identity);
    };
    platform.imaging = ImagingJob::Platform::system();
    return platform;
}

DiskCopy::DiskCopy(Platform platform, QObject* parent)
    : QObject(parent), platform_(std::move(platform)) {}

QString DiskCopy::panelTitle(const Device& device) {
    return QStringLiteral("Save a Copy of “%1”").arg(QString::fromStdString(device.name));
}

QString DiskCopy::panelMessage(const Device& device) {
    return QStringLiteral("The copy is the full size of the disk (%1). Save it on this computer "
                          "or another drive, not on the disk itself.")
        .arg(QString::fromStdString(ByteText::string(device.size)));
}

QString DiskCopy::suggestedName(const Device& device, const QDate& today) {
    return QString::fromStdString(OutputPath::sanitize(device.name)) + QLatin1Char(' ') +
           today.toString(Qt::ISODate) + QStringLiteral(".img");
}

void DiskCopy::setOpening(bool opening) {
    if (opening_ == opening) return;
    opening_ = opening;
    emit openingChanged();
}

void DiskCopy::run(const Device& device, const fs::path& destination) {
    if (opening_) return;
    setOpening(true);
    const QPointer<DiskCopy> weak(this);
    workers().start([weak, device, destination, platform = platform_] {
        // Outcomes go back to the main thread; the flow object may be gone by then.
        const auto stop = [weak](QString title, QString message) {
            postToMain([weak, title, message] {
                if (!weak) return;
                weak->setOpening(false);
                if (!title.isEmpty()) emit weak->alert(title, message);
                emit weak->ended();
            });
        };
        // A closed session may still be mounting this disk's volumes again.
        RemountQueue::waitFor(device.id);
        if (platform.onSource && platform.onSource(destination, device))
            return stop(
                QString::fromUtf8(kOnSourceTitle),
                QString::fromStdString(RecoverError::destinationOnSource().errorDescription()));
        const std::uint64_t existing = DestinationCheck::existingSize(destination);
        const fs::path folder = DestinationCheck::nearestExisting(
            destination.parent_path().empty() ? fs::path(".") : destination.parent_path());
        const auto free = platform.freeSpace ? platform.freeSpace(folder) : std::nullopt;
        const std::uint64_t needed = saturatingAdd(device.size, kMargin);
        // Without the old file's room the copy would not fit: that file must go first.
        const bool needsOldRoom = free.value_or(UINT64_MAX) < needed;
        if (free && saturatingAdd(*free, existing) < needed)
            return stop(QString::fromUtf8(kNoSpaceTitle),
                        QString::fromStdString(RecoverError::notEnoughSpace(
                                                   device.size, saturatingAdd(*free, existing))
                                                   .errorDescription()));
        const QString unreadable =
            QStringLiteral("Couldn't read “%1”").arg(QString::fromStdString(device.name));
        std::shared_ptr<BlockReader> reader;
        try {
            reader = platform.open(device);
        } catch (const DiskAccess::Failure& failure) {
            if (failure.kind() == DiskAccess::Failure::Case::cancelled) return stop({}, {});
            if (failure.kind() == DiskAccess::Failure::Case::privacy) {
                postToMain([weak] {
                    if (!weak) return;
                    weak->setOpening(false);
                    emit weak->privacyHelp();
                    emit weak->ended();
                });
                return;
            }
            return stop(unreadable, QString::fromStdString(failure.errorDescription()));
        } catch (const RecoverError& error) {
            return stop(unreadable, QString::fromStdString(error.errorDescription()));
        } catch (const std::exception& error) {
            return stop(unreadable, QString::fromUtf8(error.what()));
        }
        // The old file stays until the new copy has succeeded, unless the copy needs its room.
        std::optional<fs::path> aside;
        if (somethingAt(destination)) {
            if (needsOldRoom) {
                ::unlink(destination.c_str());
            } else if (!(aside = setAside(destination))) {
                return stop(unreadable, QStringLiteral("The file already at that place couldn't be "
                                                       "moved out of the way."));
            }
        }
        bool unmounted = false;
        try {
            unmounted = platform.unmount ? platform.unmount(device) : false;
            if (unmounted && platform.record) platform.record(device);
        } catch (const std::exception& error) {
            if (aside) putBack(*aside, destination);
            const auto* recover = dynamic_cast<const RecoverError*>(&error);
            return stop(unreadable, recover ? QString::fromStdString(recover->errorDescription())
                                            : QString::fromUtf8(error.what()));
        }
        postToMain(
            [weak, device, destination, reader, unmounted, aside, imaging = platform.imaging] {
                auto* job = new ImagingJob(device, destination, imaging);
                if (weak) {
                    weak->setOpening(false);
                    emit weak->started(job);
                } else {
                    // Nobody watches: the copy still finishes (the disk is unmounted), then goes.
                    QObject::connect(job, &ImagingJob::stateChanged, job, &QObject::deleteLater);
                }
                job->start(reader, unmounted, aside);
            });
    });
}

} // namespace vellary
