#include "app/model/ImagingJob.hpp"

#include "app/access/MountKeeper.hpp"
#include "app/model/MainThread.hpp"
#include "app/model/SetAside.hpp"
#include "core/devices/DeviceCatalog.hpp"
#include "core/records/RecoverError.hpp"

#include <QPointer>
#include <unistd.h>

namespace vellary {

namespace fs = std::filesystem;

ImagingJob::Platform ImagingJob::Platform::system() {
    Platform platform;
    platform.copy = [](const BlockReader& reader, const fs::path& destination,
                       const std::function<void(const DiskImager::Progress&)>& progress,
                       const std::function<bool()>& isCancelled) {
        return DiskImager::copy(reader, destination, progress, isCancelled);
    };
    platform.mount = [](const Device& device) { DeviceCatalog().mount(device); };
    platform.forget = [](const Device& device) {
        MountKeeper().forget(device.id, device.identity);
    };
    return platform;
}

ImagingJob::ImagingJob(Device device, fs::path destination, Platform platform, QObject* parent)
    : QObject(parent), device_(std::move(device)), destination_(std::move(destination)),
      platform_(std::move(platform)),
      clock_([] { return Date(std::chrono::system_clock::now()); }) {
    progress_.bytesTotal = device_.size;
    startedAt_ = clock_();
}

void ImagingJob::start(std::shared_ptr<BlockReader> reader, bool unmounted,
                       std::optional<fs::path> setAside) {
    startedAt_ = clock_();
    const QPointer<ImagingJob> weak(this);
    workers().start([weak, reader = std::move(reader), unmounted, setAside = std::move(setAside),
                     device = device_, destination = destination_, platform = platform_,
                     flag = stopFlag_] {
        std::optional<DiskImager::Progress> final;
        QString failure;
        try {
            final = platform.copy(
                *reader, destination,
                [weak](const DiskImager::Progress& progress) {
                    postToMain([weak, progress] {
                        if (!weak || weak->state_ != State::Running) return;
                        weak->progress_ = progress;
                        emit weak->progressChanged();
                    });
                },
                [flag] { return flag->isSet(); });
            // A source that ended before its size went away mid-copy: the image is not the
            // whole disk, so it is not kept under the name the user chose.
            if (!final->complete()) {
                ::unlink(destination.c_str());
                final.reset();
                failure = QString::fromStdString(RecoverError::deviceGone().errorDescription());
            }
        } catch (const RecoverError& error) {
            failure = error.kind() == RecoverError::Case::cancelled
                          ? QString::fromUtf8(kStopped)
                          : QString::fromStdString(error.errorDescription());
        } catch (const std::exception& error) {
            failure = QString::fromUtf8(error.what());
        }
        if (unmounted) {
            if (platform.mount) platform.mount(device);
            if (platform.forget) platform.forget(device);
        }
        if (setAside) {
            if (final)
                ::unlink(setAside->c_str());
            else
                putBack(*setAside, destination);
        }
        postToMain([weak, final, failure] {
            if (weak) weak->finish(final, failure);
        });
    });
}

void ImagingJob::finish(std::optional<DiskImager::Progress> final, QString failure) {
    if (final) {
        progress_ = *final;
        emit progressChanged();
        state_ = State::Done;
    } else {
        state_ = State::Failed;
        failure_ = std::move(failure);
    }
    emit stateChanged();
}

std::optional<double> ImagingJob::secondsRemaining() const {
    const double elapsed = (clock_() - startedAt_).count();
    const auto done = progress_.bytesDone;
    const auto total = progress_.bytesTotal;
    if (!(elapsed > kEstimateAfterSeconds) || done == 0 || done >= total) return std::nullopt;
    return static_cast<double>(total - done) / (static_cast<double>(done) / elapsed);
}

QVariant ImagingJob::secondsRemainingValue() const {
    const auto seconds = secondsRemaining();
    return seconds ? QVariant(*seconds) : QVariant();
}

} // namespace vellary
