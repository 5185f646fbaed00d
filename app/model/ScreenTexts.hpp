#pragma once

#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

namespace vellary {

class RecoverySession;
class RecoveryJob;

// The screens' texts that depend on counts, sizes or states, and the few lookups the screens
// need from a session, kept here so that tests reach them without a window.
class ScreenTexts : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    // With grouping separators, also in the C locale.
    Q_INVOKABLE QString count(qint64 n) const;
    Q_INVOKABLE QString size(qulonglong bytes) const;
    // "3 minutes", "1 hour, 5 minutes"; whole minutes, at least one.
    Q_INVOKABLE QString duration(double seconds) const;
    // Empty when the time is unknown.
    Q_INVOKABLE QString timeLeft(const QVariant& seconds) const;

    // The window subtitle for a session in state (a RecoverySession::State) with found files.
    Q_INVOKABLE QString subtitle(int state, qint64 found) const;
    Q_INVOKABLE QString statusHeadline(const QString& phase, const QVariant& fraction) const;
    Q_INVOKABLE QString statusDetail(const QString& phase, qulonglong done, qulonglong total) const;
    Q_INVOKABLE QString barSummary(int visible, qulonglong visibleBytes, int selected) const;
    Q_INVOKABLE QString barHint(int selected) const;
    Q_INVOKABLE QString recoverButton(int visible, int selected) const;
    Q_INVOKABLE QString leaveTitle(bool scanning, const QString& name) const;
    Q_INVOKABLE QString leaveMessage(bool anyRecovered) const;
    Q_INVOKABLE QString leaveButton(bool scanning) const;

    Q_INVOKABLE QString recoverTitle(int count, const QString& name) const;
    Q_INVOKABLE QString recoverLead(int count, const QString& name) const;
    Q_INVOKABLE QString doneHeadline(int count, int saved) const;

    Q_INVOKABLE QString copyTitle(const QString& deviceName) const;
    Q_INVOKABLE QString copyProgress(qulonglong done, qulonglong total) const;
    Q_INVOKABLE QString copyUnreadable(qulonglong bytes, bool finished) const;
    Q_INVOKABLE QString copySaved(const QString& imagePath) const;
    Q_INVOKABLE QString fileName(const QString& path) const;
    Q_INVOKABLE QString parentFolder(const QString& path) const;
    Q_INVOKABLE QString homeFolder() const;
    Q_INVOKABLE QUrl fileUrl(const QString& path) const;
    // A chooser's file URL as a plain path.
    Q_INVOKABLE QString localPath(const QUrl& url) const;
    // "~/Pictures/Vellary" for a folder under the home folder.
    Q_INVOKABLE QString shortPath(const QString& path) const;

    // A backup tool the guide can open (Déjà Dup), when one is installed.
    Q_INVOKABLE bool hasBackupTool() const;
    Q_INVOKABLE void openBackupTool() const;

    // The visible file at index as a map: id, name, size, sizeText, folder, category, quality,
    // selected, recovered. Empty when out of range.
    Q_INVOKABLE QVariantMap file(vellary::RecoverySession* session, int index) const;
    // The section whose files start at visible index first: count, allSelected.
    Q_INVOKABLE QVariantMap section(vellary::RecoverySession* session, int first) const;
    Q_INVOKABLE void selectSection(vellary::RecoverySession* session, int first, bool select) const;
    // The device's icon-theme name, or the disk image's.
    Q_INVOKABLE QString sourceIcon(vellary::RecoverySession* session) const;
    // A job for one file (by id), else for the selection, else for every visible file. Owned by
    // the session; the sheet deletes it when it closes.
    Q_INVOKABLE vellary::RecoveryJob* makeRecoveryJob(vellary::RecoverySession* session,
                                                      const QString& id) const;
    // The name of the job's first file, for the texts about one file.
    Q_INVOKABLE QString firstFileName(vellary::RecoveryJob* job) const;
    // The sheet closed: files the job saved count as recovered, and the job goes.
    Q_INVOKABLE void finishRecovery(vellary::RecoverySession* session,
                                    vellary::RecoveryJob* job) const;
};

} // namespace vellary
