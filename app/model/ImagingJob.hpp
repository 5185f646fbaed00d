#pragma once

#include "core/devices/Device.hpp"
#include "core/io/BlockReader.hpp"
#include "core/records/Date.hpp"
#include "core/records/StopFlag.hpp"
#include "core/restore/DiskImager.hpp"

#include <QObject>
#include <QVariant>
#include <QtQml/qqmlregistration.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace vellary {

// Copies a whole device into one image file on a worker thread.
class ImagingJob : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Made by the disk-copy flow")
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString failure READ failure NOTIFY stateChanged)
    Q_PROPERTY(QString deviceName READ deviceName CONSTANT)
    Q_PROPERTY(QString destination READ destinationValue CONSTANT)
    Q_PROPERTY(qulonglong bytesDone READ bytesDone NOTIFY progressChanged)
    Q_PROPERTY(qulonglong bytesTotal READ bytesTotal NOTIFY progressChanged)
    Q_PROPERTY(qulonglong unreadable READ unreadable NOTIFY progressChanged)
    Q_PROPERTY(double fraction READ fraction NOTIFY progressChanged)
    Q_PROPERTY(QVariant secondsRemaining READ secondsRemainingValue NOTIFY progressChanged)

public:
    enum class State { Running, Done, Failed };
    Q_ENUM(State)

    static constexpr const char* kStopped = "Stopped. The partial copy was removed.";
    static constexpr double kEstimateAfterSeconds = 5.0;

    // The platform edges: the copy itself and the device's volumes.
    struct Platform {
        std::function<DiskImager::Progress(const BlockReader&, const std::filesystem::path&,
                                           const std::function<void(const DiskImager::Progress&)>&,
                                           const std::function<bool()>&)>
            copy;
        std::function<void(const Device&)> mount;
        // Drops the disk's entry from the record of disks unmounted for a scan.
        std::function<void(const Device&)> forget;
        static Platform system();
    };

    ImagingJob(Device device, std::filesystem::path destination,
               Platform platform = Platform::system(), QObject* parent = nullptr);

    // setAside: an older file that stood at the destination, moved away for the copy; it is
    // removed when the copy succeeds and put back when it does not.
    void start(std::shared_ptr<BlockReader> reader, bool unmounted,
               std::optional<std::filesystem::path> setAside = std::nullopt);
    Q_INVOKABLE void stop() { stopFlag_->set(); }

    State state() const { return state_; }
    QString failure() const { return failure_; }
    const Device& device() const { return device_; }
    QString deviceName() const { return QString::fromStdString(device_.name); }
    const std::filesystem::path& destination() const { return destination_; }
    QString destinationValue() const { return QString::fromStdString(destination_.string()); }
    const DiskImager::Progress& progress() const { return progress_; }
    qulonglong bytesDone() const { return progress_.bytesDone; }
    qulonglong bytesTotal() const { return progress_.bytesTotal; }
    qulonglong unreadable() const { return progress_.unreadable; }
    double fraction() const { return progress_.fraction(); }
    std::optional<double> secondsRemaining() const;
    QVariant secondsRemainingValue() const;
    const std::shared_ptr<StopFlag>& stopFlag() const { return stopFlag_; }
    void setClock(std::function<Date()> clock) { clock_ = std::move(clock); }

signals:
    void stateChanged();
    void progressChanged();

private:
    void finish(std::optional<DiskImager::Progress> final, QString failure);

    Device device_;
    std::filesystem::path destination_;
    Platform platform_;
    State state_ = State::Running;
    QString failure_;
    DiskImager::Progress progress_;
    Date startedAt_;
    std::function<Date()> clock_;
    std::shared_ptr<StopFlag> stopFlag_ = std::make_shared<StopFlag>();
};

} // namespace vellary
