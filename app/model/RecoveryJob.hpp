#pragma once

#include "core/devices/Device.hpp"
#include "core/io/BlockReader.hpp"
#include "core/records/RecoverableFile.hpp"
#include "core/records/StopFlag.hpp"
#include "core/restore/RestoreReport.hpp"

#include <QDateTime>
#include <QObject>
#include <QStringList>
#include <QVariant>
#include <QtQml/qqmlregistration.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace vellary {

class RecoverySession;

// Saves chosen found files into a folder, after checking that the folder is not on the source
// and has room, then leaves a note about files that could not be saved whole.
class RecoveryJob : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Made for the recovery sheet")
    Q_PROPERTY(QString destination READ destinationValue WRITE setDestinationValue NOTIFY
                   destinationChanged)
    Q_PROPERTY(bool keepFolders READ keepFolders WRITE setKeepFolders NOTIFY keepFoldersChanged)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString failure READ failure NOTIFY stateChanged)
    Q_PROPERTY(double fraction READ fraction NOTIFY progressChanged)
    Q_PROPERTY(QString currentName READ currentName NOTIFY progressChanged)
    Q_PROPERTY(QString problem READ problem NOTIFY checkChanged)
    Q_PROPERTY(bool checking READ checking NOTIFY checkChanged)
    Q_PROPERTY(QVariant freeSpace READ freeSpaceValue NOTIFY checkChanged)
    Q_PROPERTY(QString sessionTitle READ sessionTitle CONSTANT)
    Q_PROPERTY(int fileCount READ fileCount CONSTANT)
    Q_PROPERTY(qulonglong totalBytes READ totalBytes CONSTANT)
    Q_PROPERTY(bool hasFolders READ hasFolders CONSTANT)
    Q_PROPERTY(int savedCount READ savedCount NOTIFY stateChanged)
    Q_PROPERTY(int failedCount READ failedCount NOTIFY stateChanged)
    Q_PROPERTY(QString notePath READ notePath NOTIFY stateChanged)

public:
    enum class State { Ready, Running, Done, Failed };
    Q_ENUM(State)

    // Room kept free beyond the files themselves.
    static constexpr std::uint64_t kMargin = 50ull * 1024 * 1024;
    static constexpr const char* kStopped =
        "Stopped. Files copied before you stopped are in the folder.";
    static constexpr const char* kChooseButton = "Recover Here";
    static constexpr const char* kChooseMessage =
        "Choose a folder on this computer or another drive — not on the disk you're recovering "
        "from.";

    // What the destination check asks the system; tests stand in their own answers.
    struct Checks {
        // True when the folder (which need not exist yet) lies on the device.
        std::function<bool(const std::filesystem::path&, const Device&)> onSource;
        // Bytes available in an existing folder, when known.
        std::function<std::optional<std::uint64_t>(const std::filesystem::path&)> freeSpace;
        static Checks system();
    };

    RecoveryJob(std::vector<RecoverableFile> files, std::string sessionTitle,
                std::shared_ptr<BlockReader> reader, std::optional<Device> device,
                Checks checks = Checks::system(), QObject* parent = nullptr);
    RecoveryJob(const RecoverySession& session, std::vector<RecoverableFile> files,
                Checks checks = Checks::system(), QObject* parent = nullptr);

    // Pictures when at least half the files are photos, raw photos or videos, else Documents;
    // RECOVER_DEFAULT_DESTINATION replaces either. Then Vellary/<title> <time stamp>.
    static std::filesystem::path
    defaultDestination(const std::vector<RecoverableFile>& files, const std::string& title,
                       const QDateTime& now = QDateTime::currentDateTime());

    const std::filesystem::path& destination() const { return destination_; }
    // Stores the folder and checks it again, also when unchanged.
    void setDestination(const std::filesystem::path& destination);
    QString destinationValue() const { return QString::fromStdString(destination_.string()); }
    void setDestinationValue(const QString& path) { setDestination(path.toStdString()); }
    // The folder picked in the chooser, keeping the generated folder name inside it.
    Q_INVOKABLE void chooseFolder(const QString& folder);
    // Where the chooser opens: the parent of the current destination.
    Q_INVOKABLE QString chooserFolder() const;

    bool keepFolders() const { return keepFolders_; }
    void setKeepFolders(bool keep);

    // Ignored while a problem is shown, a check runs, or the job has already run.
    Q_INVOKABLE void start();
    Q_INVOKABLE void stop() { stopFlag_->set(); }

    State state() const { return state_; }
    QString failure() const { return failure_; }
    double fraction() const { return fraction_; }
    QString currentName() const { return currentName_; }
    QString problem() const { return problem_; }
    bool checking() const { return checking_; }
    std::optional<std::uint64_t> freeSpace() const { return freeSpace_; }
    QVariant freeSpaceValue() const;
    QString sessionTitle() const { return QString::fromStdString(sessionTitle_); }
    const std::vector<RecoverableFile>& files() const { return files_; }
    int fileCount() const { return static_cast<int>(files_.size()); }
    qulonglong totalBytes() const;
    bool hasFolders() const;
    const std::optional<RestoreReport>& report() const { return report_; }
    int savedCount() const { return report_ ? static_cast<int>(report_->saved.size()) : 0; }
    int failedCount() const { return report_ ? static_cast<int>(report_->failed.size()) : 0; }
    // Where the note went; empty when none was written, and then the sheet shows no hint.
    QString notePath() const { return notePath_; }
    // The ids of the files actually saved: only these count as recovered.
    Q_INVOKABLE QStringList savedIDs() const;
    const std::shared_ptr<StopFlag>& stopFlag() const { return stopFlag_; }

signals:
    void destinationChanged();
    void keepFoldersChanged();
    void stateChanged();
    void progressChanged();
    void checkChanged();

private:
    void validate();
    void checked(std::uint64_t generation, const std::filesystem::path& destination,
                 std::optional<QString> problem, std::optional<std::uint64_t> free);
    void finish(std::optional<RestoreReport> report, std::optional<std::filesystem::path> note,
                QString failure);

    std::vector<RecoverableFile> files_;
    std::string sessionTitle_;
    std::shared_ptr<BlockReader> reader_;
    std::optional<Device> device_;
    Checks checks_;
    std::filesystem::path destination_;
    bool keepFolders_ = true;
    State state_ = State::Ready;
    QString failure_;
    double fraction_ = 0;
    QString currentName_;
    QString problem_;
    bool checking_ = false;
    std::optional<std::uint64_t> freeSpace_;
    std::uint64_t generation_ = 0;
    std::optional<RestoreReport> report_;
    QString notePath_;
    std::shared_ptr<StopFlag> stopFlag_ = std::make_shared<StopFlag>();
};

} // namespace vellary
