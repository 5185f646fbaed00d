#pragma once

#include "app/model/ImagingJob.hpp"
#include "core/devices/Device.hpp"
#include "core/io/BlockReader.hpp"

#include <QDate>
#include <QObject>
#include <QtQml/qqmlregistration.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace vellary {

// "Save a Copy of This Disk…" after the save panel: checks the chosen file, opens and unmounts
// the device on a worker thread, then starts an ImagingJob. An older file at the chosen path is
// kept until the new copy has succeeded.
class DiskCopy : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Run by the application model")
    Q_PROPERTY(bool opening READ opening NOTIFY openingChanged)

public:
    static constexpr std::uint64_t kMargin = 100ull * 1024 * 1024;
    static constexpr const char* kOnSourceTitle = "Choose another place for the copy";
    static constexpr const char* kNoSpaceTitle = "Not enough space for the copy";
    static constexpr const char* kSaveButton = "Save Copy";

    struct Platform {
        // True when the file (which need not exist yet) lies on the device.
        std::function<bool(const std::filesystem::path&, const Device&)> onSource;
        std::function<std::optional<std::uint64_t>(const std::filesystem::path&)> freeSpace;
        // Throws DiskAccess::Failure or RecoverError.
        std::function<std::shared_ptr<BlockReader>(const Device&)> open;
        // True when volumes were unmounted; throws RecoverError.
        std::function<bool(const Device&)> unmount;
        // Notes the device in the record of disks unmounted for a scan.
        std::function<void(const Device&)> record;
        ImagingJob::Platform imaging;
        static Platform system();
    };

    explicit DiskCopy(Platform platform = Platform::system(), QObject* parent = nullptr);

    static QString panelTitle(const Device& device);
    static QString panelMessage(const Device& device);
    static QString suggestedName(const Device& device, const QDate& today = QDate::currentDate());

    // Runs the flow for the file chosen in the save panel; ignored while one is opening.
    void run(const Device& device, const std::filesystem::path& destination);
    bool opening() const { return opening_; }

signals:
    void openingChanged();
    // The copy runs; the receiver takes ownership of the job.
    void started(vellary::ImagingJob* job);
    void alert(const QString& title, const QString& message);
    void privacyHelp();
    // The flow ended without a copy (after an alert, the help, or a dismissed password prompt).
    void ended();

private:
    void setOpening(bool opening);

    Platform platform_;
    bool opening_ = false;
};

} // namespace vellary
