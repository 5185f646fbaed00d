#include "app/model/RecoveryJob.hpp"

#include "app/model/MainThread.hpp"
#include "app/model/RecoverySession.hpp"
#include "core/devices/DeviceCatalog.hpp"
#include "core/records/Bytes.hpp"
#include "core/records/RecoverError.hpp"
#include "core/restore/DestinationCheck.hpp"
#include "core/restore/OutputPath.hpp"
#include "core/restore/PhotoRestore.hpp"
#include "core/restore/RecoveryNotes.hpp"

#include <QPointer>
#include <QStandardPaths>
#include <algorithm>
#include <cstdlib>

namespace vellary {
namespace {

namespace fs = std::filesystem;

} // namespace

RecoveryJob::Checks RecoveryJob::Checks::system() {
    Checks checks;
    checks.onSource = [](const fs::path& folder, const Device& device) {
        return DeviceCatalog().destination(folder, device);
    };
    checks.freeSpace = [](const fs::path& folder) {
        return DestinationCheck::system().freeSpace(folder);
    };
    return checks;
}

RecoveryJob::RecoveryJob(std::vector<RecoverableFile> files, std::string sessionTitle,
                         std::shared_ptr<BlockReader> reader, std::optional<Device> device,
                         Checks checks, QObject* parent)
    : QObject(parent), files_(std::move(files)), sessionTitle_(std::move(sessionTitle)),
      reader_(std::move(reader)), device_(std::move(device)), checks_(std::move(checks)) {
    destination_ = defaultDestination(files_, sessionTitle_);
    validate();
}

RecoveryJob::RecoveryJob(const RecoverySession& session, std::vector<RecoverableFile> files,
                         Checks checks, QObject* parent)
    : RecoveryJob(std::move(files), session.source().title(), session.reader(),
                  session.source().device, std::move(checks), parent) {}

fs::path RecoveryJob::defaultDestination(const std::vector<RecoverableFile>& files,
                                         const std::string& title, const QDateTime& now) {
    const auto pictures = std::count_if(files.begin(), files.end(), [](const auto& file) {
        return file.category == FileCategory::photo || file.category == FileCategory::raw ||
               file.category == FileCategory::video;
    });
    fs::path base;
    if (const char* chosen = std::getenv("RECOVER_DEFAULT_DESTINATION"); chosen && *chosen) {
        base = chosen;
    } else {
        const auto location = static_cast<std::size_t>(pictures) * 2 >= files.size()
                                  ? QStandardPaths::PicturesLocation
                                  : QStandardPaths::DocumentsLocation;
        base = QStandardPaths::writableLocation(location).toStdString();
    }
    std::string name = OutputPath::relative(title);
    std::replace(name.begin(), name.end(), '/', ' ');
    if (name.empty()) name = "Disk";
    const auto stamp = now.toString(QStringLiteral("yyyy-MM-dd 'at' HH.mm")).toStdString();
    return base / "Vellary" / (name + " " + stamp);
}

void RecoveryJob::setDestination(const fs::path& destination) {
    const bool changed = destination_ != destination;
    destination_ = destination;
    if (changed) emit destinationChanged();
    validate();
}

void RecoveryJob::chooseFolder(const QString& folder) {
    setDestination(fs::path(folder.toStdString()) / destination_.filename());
}

QString RecoveryJob::chooserFolder() const {
    return QString::fromStdString(destination_.parent_path().string());
}

void RecoveryJob::setKeepFolders(bool keep) {
    if (keepFolders_ == keep) return;
    keepFolders_ = keep;
    emit keepFoldersChanged();
}

void RecoveryJob::validate() {
    checking_ = true;
    problem_.clear();
    emit checkChanged();
    // A later check always wins: results of earlier ones are dropped by their generation.
    const auto generation = ++generation_;
    const QPointer<RecoveryJob> weak(this);
    workers().start([weak, generation, destination = destination_, device = device_,
                     needed = saturatingAdd(totalBytes(), kMargin), checks = checks_] {
        std::optional<QString> problem;
        if (device && checks.onSource && checks.onSource(destination, *device))
            problem =
                QString::fromStdString(RecoverError::destinationOnSource().errorDescription());
        std::optional<std::uint64_t> free;
        if (checks.freeSpace)
            free = checks.freeSpace(DestinationCheck::nearestExisting(destination));
        if (free && !problem && *free < needed)
            problem = QString::fromStdString(
                RecoverError::notEnoughSpace(needed, *free).errorDescription());
        postToMain([weak, generation, destination, problem, free] {
            if (weak) weak->checked(generation, destination, problem, free);
        });
    });
}

void RecoveryJob::checked(std::uint64_t generation, const fs::path& destination,
                          std::optional<QString> problem, std::optional<std::uint64_t> free) {
    if (generation != generation_ || destination != destination_) return;
    problem_ = problem.value_or(QString());
    freeSpace_ = free;
    checking_ = false;
    emit checkChanged();
}

void RecoveryJob::start() {
    if (state_ != State::Ready || !problem_.isEmpty() || checking_) return;
    state_ = State::Running;
    fraction_ = 0;
    emit stateChanged();
    emit progressChanged();
    std::vector<RecoverableFile> list = files_;
    if (!keepFolders_)
        for (auto& file : list)
            file.originalPath = file.name;
    const QPointer<RecoveryJob> weak(this);
    workers().start(
        [weak, list = std::move(list), reader = reader_, folder = destination_, flag = stopFlag_] {
            const auto progress = [weak](double fraction, const std::string& text) {
                postToMain([weak, fraction, name = QString::fromStdString(text)] {
                    if (!weak || weak->state_ != State::Running) return;
                    weak->fraction_ = fraction;
                    weak->currentName_ = name;
                    emit weak->progressChanged();
                });
            };
            std::optional<RestoreReport> report;
            std::optional<fs::path> note;
            QString failure;
            try {
                report = PhotoRestore::save(list, *reader, folder, progress,
                                            [flag] { return flag->isSet(); });
                note = RecoveryNotes::writeNotes(*report, folder);
            } catch (const RecoverError& error) {
                failure = error.kind() == RecoverError::Case::cancelled
                              ? QString::fromUtf8(kStopped)
                              : QString::fromStdString(error.errorDescription());
            } catch (const std::exception& error) {
                failure = QString::fromUtf8(error.what());
            }
            postToMain([weak, report = std::move(report), note = std::move(note), failure] {
                if (weak) weak->finish(report, note, failure);
            });
        });
}

void RecoveryJob::finish(std::optional<RestoreReport> report, std::optional<fs::path> note,
                         QString failure) {
    report_ = std::move(report);
    notePath_ = note ? QString::fromStdString(note->string()) : QString();
    if (report_) {
        fraction_ = 1;
        emit progressChanged();
        state_ = State::Done;
    } else {
        state_ = State::Failed;
        failure_ = std::move(failure);
    }
    emit stateChanged();
}

QStringList RecoveryJob::savedIDs() const {
    QStringList ids;
    if (report_)
        for (const auto& file : report_->saved)
            ids.append(QString::fromStdString(file.id));
    return ids;
}

QVariant RecoveryJob::freeSpaceValue() const {
    return freeSpace_ ? QVariant::fromValue<qulonglong>(*freeSpace_) : QVariant();
}

qulonglong RecoveryJob::totalBytes() const {
    std::uint64_t sum = 0;
    for (const auto& file : files_)
        sum = saturatingAdd(sum, file.size);
    return sum;
}

bool RecoveryJob::hasFolders() const {
    return std::any_of(files_.begin(), files_.end(),
                       [](const auto& file) { return !file.folder().empty(); });
}

} // namespace vellary
