#include "app/model/ScreenTexts.hpp"

#include "app/model/RecoveryJob.hpp"
#include "app/model/RecoverySession.hpp"
#include "core/records/ByteText.hpp"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <cmath>

namespace vellary {
namespace {

QString sizeText(qulonglong bytes) {
    return QString::fromStdString(ByteText::string(bytes));
}

QString plural(qint64 n, const QString& one, const QString& many, const QString& number) {
    return n == 1 ? one : many.arg(number);
}

// A section is found by where its files begin among the visible files.
const RecoverySession::Section* sectionAt(const RecoverySession& session, int first) {
    for (const auto& section : session.sections())
        if (static_cast<int>(section.begin) == first) return &section;
    return nullptr;
}

} // namespace

QString ScreenTexts::count(qint64 n) const {
    QLocale locale;
    locale.setNumberOptions(QLocale::DefaultNumberOptions);
    return locale.toString(n);
}

QString ScreenTexts::size(qulonglong bytes) const {
    return sizeText(bytes);
}

QString ScreenTexts::duration(double seconds) const {
    const auto minutes = std::max<qint64>(1, std::llround(seconds / 60.0));
    const auto hours = minutes / 60;
    const auto rest = minutes % 60;
    const auto minuteText = [](qint64 m) {
        return m == 1 ? QStringLiteral("1 minute") : QStringLiteral("%1 minutes").arg(m);
    };
    if (hours == 0) return minuteText(rest);
    const auto hourText =
        hours == 1 ? QStringLiteral("1 hour") : QStringLiteral("%1 hours").arg(hours);
    return rest == 0 ? hourText : hourText + QStringLiteral(", ") + minuteText(rest);
}

QString ScreenTexts::timeLeft(const QVariant& seconds) const {
    bool ok = false;
    const double value = seconds.toDouble(&ok);
    if (!seconds.isValid() || !ok || !std::isfinite(value) || value < 0) return {};
    if (value < 60) return QStringLiteral("Less than a minute left");
    return QStringLiteral("About ") + duration(value) + QStringLiteral(" left");
}

QString ScreenTexts::subtitle(int state, qint64 found) const {
    switch (static_cast<RecoverySession::State>(state)) {
    case RecoverySession::State::Scanning:
        return found == 0 ? QStringLiteral("Scanning…")
                          : QStringLiteral("Scanning… %1 found").arg(count(found));
    case RecoverySession::State::Finished:
        return plural(found, QStringLiteral("1 file found"), QStringLiteral("%1 files found"),
                      count(found));
    case RecoverySession::State::Stopped:
        return QStringLiteral("Stopped · %1 found").arg(count(found));
    case RecoverySession::State::Failed:
        return QStringLiteral("Scan failed");
    }
    return {};
}

QString ScreenTexts::statusHeadline(const QString& phase, const QVariant& fraction) const {
    if (phase == QLatin1String("fileRecords")) return QStringLiteral("Reading the file list…");
    if (phase == QLatin1String("contents"))
        return QStringLiteral("Searching every part of the disk · %1%")
            .arg(std::lround(fraction.toDouble() * 100));
    return QStringLiteral("Finishing…");
}

QString ScreenTexts::statusDetail(const QString& phase, qulonglong done, qulonglong total) const {
    if (phase == QLatin1String("fileRecords"))
        return QStringLiteral("Deleted files that still have their names show up first.");
    if (phase == QLatin1String("contents"))
        return QStringLiteral("%1 of %2 checked. You can recover files while this runs, or stop "
                              "at any time.")
            .arg(sizeText(done), sizeText(total));
    return {};
}

QString ScreenTexts::barSummary(int visible, qulonglong visibleBytes, int selected) const {
    if (selected > 0) return QStringLiteral("%1 selected").arg(count(selected));
    return QStringLiteral("%1 showing · %2").arg(count(visible), sizeText(visibleBytes));
}

QString ScreenTexts::barHint(int selected) const {
    return selected > 0 ? QStringLiteral("Double-click a file or press Space to preview it.")
                        : QStringLiteral("Click files to choose some, or recover everything "
                                         "showing.");
}

QString ScreenTexts::recoverButton(int visible, int selected) const {
    const int target = selected > 0 ? selected : visible;
    if (target == 1) return QStringLiteral("Recover 1 File…");
    if (selected > 0) return QStringLiteral("Recover %1 Files…").arg(count(target));
    return QStringLiteral("Recover All %1 Files…").arg(count(target));
}

QString ScreenTexts::leaveTitle(bool scanning, const QString& name) const {
    return scanning ? QStringLiteral("Stop scanning “%1”?").arg(name)
                    : QStringLiteral("Choose another disk?");
}

QString ScreenTexts::leaveMessage(bool anyRecovered) const {
    return anyRecovered ? QStringLiteral("The list of found files will be cleared. Files you've "
                                         "recovered stay where you saved them.")
                        : QStringLiteral("The list of found files will be cleared, and nothing "
                                         "has been recovered yet. You can scan again later.");
}

QString ScreenTexts::leaveButton(bool scanning) const {
    return scanning ? QStringLiteral("Stop and Choose Another Disk")
                    : QStringLiteral("Choose Another Disk");
}

QString ScreenTexts::recoverTitle(int n, const QString& name) const {
    return n == 1 ? QStringLiteral("Recover “%1”").arg(name)
                  : QStringLiteral("Recover %1 files").arg(count(n));
}

QString ScreenTexts::recoverLead(int n, const QString& name) const {
    const auto what = n == 1 ? name : QStringLiteral("%1 files").arg(count(n));
    return QStringLiteral("%1 will be copied to this computer. The disk itself isn't changed.")
        .arg(what);
}

QString ScreenTexts::doneHeadline(int n, int saved) const {
    // One file is only "back" when it was saved.
    if (saved >= n)
        return n == 1 ? QStringLiteral("Your file is back")
                      : QStringLiteral("%1 files are back").arg(count(n));
    return QStringLiteral("%1 of %2 files recovered").arg(count(saved), count(n));
}

QString ScreenTexts::copyTitle(const QString& deviceName) const {
    return QStringLiteral("Copying “%1”").arg(deviceName);
}

QString ScreenTexts::copyProgress(qulonglong done, qulonglong total) const {
    return QStringLiteral("%1 of %2").arg(sizeText(done), sizeText(total));
}

QString ScreenTexts::copyUnreadable(qulonglong bytes, bool finished) const {
    if (bytes == 0) return {};
    return finished ? QStringLiteral("%1 couldn't be read and were filled with blanks. Files in "
                                     "those spots may be damaged.")
                          .arg(sizeText(bytes))
                    : QStringLiteral("%1 couldn't be read so far. The disk may be failing; the "
                                     "copy carries on around those parts.")
                          .arg(sizeText(bytes));
}

QString ScreenTexts::copySaved(const QString& imagePath) const {
    return QStringLiteral("“%1” holds everything that was on the disk. You can unplug the disk "
                          "now.")
        .arg(fileName(imagePath));
}

QString ScreenTexts::fileName(const QString& path) const {
    return QFileInfo(QUrl(path).isLocalFile() ? QUrl(path).toLocalFile() : path).fileName();
}

QString ScreenTexts::parentFolder(const QString& path) const {
    return QFileInfo(path).path();
}

QString ScreenTexts::homeFolder() const {
    return QDir::homePath();
}

QUrl ScreenTexts::fileUrl(const QString& path) const {
    return QUrl::fromLocalFile(path);
}

QString ScreenTexts::localPath(const QUrl& url) const {
    return url.isLocalFile() ? url.toLocalFile() : url.toString();
}

QString ScreenTexts::shortPath(const QString& path) const {
    const auto home = QDir::homePath();
    if (path == home) return QStringLiteral("~");
    if (path.startsWith(home + QLatin1Char('/')))
        return QStringLiteral("~") + path.mid(home.size());
    return path;
}

bool ScreenTexts::hasBackupTool() const {
    return !QStandardPaths::findExecutable(QStringLiteral("deja-dup")).isEmpty();
}

void ScreenTexts::openBackupTool() const {
    QProcess::startDetached(QStringLiteral("deja-dup"), {});
}

QVariantMap ScreenTexts::file(RecoverySession* session, int index) const {
    if (!session || index < 0 ||
        static_cast<std::size_t>(index) >= session->visibleIndexes().size())
        return {};
    const auto& file = session->visibleFile(static_cast<std::size_t>(index));
    const auto raw = [](std::string_view text) {
        return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    };
    return {{QStringLiteral("index"), index},
            {QStringLiteral("id"), QString::fromStdString(file.id)},
            {QStringLiteral("name"), QString::fromStdString(file.name)},
            {QStringLiteral("size"), QVariant::fromValue<qulonglong>(file.size)},
            {QStringLiteral("sizeText"), sizeText(file.size)},
            {QStringLiteral("folder"), QString::fromStdString(file.folder())},
            {QStringLiteral("category"), raw(fileCategory::rawValue(file.category))},
            {QStringLiteral("quality"), raw(quality::rawValue(file.quality()))},
            {QStringLiteral("selected"), session->isSelected(file.id)},
            {QStringLiteral("recovered"), session->isRecovered(file.id)}};
}

QVariantMap ScreenTexts::section(RecoverySession* session, int first) const {
    const auto* found = session ? sectionAt(*session, first) : nullptr;
    if (!found) return {};
    bool all = true;
    for (auto i = found->begin; i < found->end && all; ++i)
        all = session->isSelected(session->visibleFile(i).id);
    return {{QStringLiteral("count"), static_cast<int>(found->end - found->begin)},
            {QStringLiteral("allSelected"), all}};
}

void ScreenTexts::selectSection(RecoverySession* session, int first, bool select) const {
    const auto* found = session ? sectionAt(*session, first) : nullptr;
    if (!found) return;
    const auto begin = found->begin;
    const auto end = found->end;
    {
        // One notice for the whole section rather than one per file: a day can hold thousands.
        const QSignalBlocker quietSession(session);
        const QSignalBlocker quietGrid(session->grid());
        for (auto i = begin; i < end; ++i) {
            const auto& id = session->visibleFile(i).id;
            if (session->isSelected(id) != select) session->toggle(QString::fromStdString(id));
        }
    }
    emit session->selectionChanged();
    session->grid()->marksChanged();
}

QString ScreenTexts::sourceIcon(RecoverySession* session) const {
    if (!session || !session->source().device) return QStringLiteral("media-optical");
    switch (session->source().device->kind) {
    case Device::Kind::memoryCard:
        return QStringLiteral("media-flash");
    case Device::Kind::usbDrive:
        return QStringLiteral("drive-removable-media");
    case Device::Kind::externalDrive:
        return QStringLiteral("drive-harddisk");
    case Device::Kind::diskImage:
        return QStringLiteral("media-optical");
    }
    return QStringLiteral("drive-harddisk");
}

RecoveryJob* ScreenTexts::makeRecoveryJob(RecoverySession* session, const QString& id) const {
    if (!session) return nullptr;
    std::vector<RecoverableFile> files;
    if (!id.isEmpty()) {
        const auto key = id.toStdString();
        for (const auto& file : session->files())
            if (file.id == key) files.push_back(file);
    } else if (session->selectionCount() > 0) {
        files = session->selectedFiles();
    } else {
        files = session->visibleFiles();
    }
    if (files.empty()) return nullptr;
    return new RecoveryJob(*session, std::move(files), RecoveryJob::Checks::system(), session);
}

} // namespace vellary

namespace vellary {

QString ScreenTexts::firstFileName(RecoveryJob* job) const {
    return job && !job->files().empty() ? QString::fromStdString(job->files().front().name)
                                        : QString();
}

void ScreenTexts::finishRecovery(RecoverySession* session, RecoveryJob* job) const {
    if (!job) return;
    if (session && job->state() == RecoveryJob::State::Done && job->savedCount() > 0)
        session->markRecovered(job->savedIDs());
    if (job->state() != RecoveryJob::State::Running) {
        job->deleteLater();
        return;
    }
    job->stop();
    QObject::connect(job, &RecoveryJob::stateChanged, job, &QObject::deleteLater);
}

} // namespace vellary
