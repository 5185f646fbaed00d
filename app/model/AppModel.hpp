#pragma once

#include "app/access/DeviceMonitor.hpp"
#include "app/model/DiskCopy.hpp"
#include "app/model/ImagingJob.hpp"
#include "app/model/RecoverySession.hpp"
#include "core/devices/Device.hpp"
#include "core/io/BlockReader.hpp"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QVariant>
#include <QtQml/qqmlregistration.h>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class QQmlEngine;
class QJSEngine;

namespace vellary {

class ThumbnailCache;

// The root of the window's state: the disks offered, the one open session, the disk being
// opened, the running disk copy, the alert and the two help sheets. Everything that blocks runs
// on a worker and comes back to the main thread through a QPointer.
class AppModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QVariantList devices READ devicesValue NOTIFY devicesChanged)
    Q_PROPERTY(bool loadedDevices READ loadedDevices NOTIFY loadedDevicesChanged)
    Q_PROPERTY(vellary::RecoverySession* session READ session NOTIFY sessionChanged)
    Q_PROPERTY(QString opening READ opening NOTIFY openingChanged)
    Q_PROPERTY(QString alertId READ alertId NOTIFY alertChanged)
    Q_PROPERTY(QString alertTitle READ alertTitle NOTIFY alertChanged)
    Q_PROPERTY(QString alertMessage READ alertMessage NOTIFY alertChanged)
    Q_PROPERTY(vellary::ImagingJob* imaging READ imaging NOTIFY imagingChanged)
    Q_PROPERTY(bool showMacGuide READ showMacGuide WRITE setShowMacGuide NOTIFY showMacGuideChanged)
    Q_PROPERTY(bool showPrivacyHelp READ showPrivacyHelp WRITE setShowPrivacyHelp NOTIFY
                   showPrivacyHelpChanged)
    Q_PROPERTY(QString subtitle READ subtitle NOTIFY subtitleChanged)
    Q_PROPERTY(QString siteUrl READ siteUrl CONSTANT)
    Q_PROPERTY(QString helpUrl READ helpUrl CONSTANT)
    Q_PROPERTY(QString tipUrl READ tipUrl CONSTANT)
    Q_PROPERTY(QString updatesUrl READ updatesUrl CONSTANT)
    Q_PROPERTY(QString feedbackUrl READ feedbackUrl CONSTANT)
    Q_PROPERTY(QString version READ version CONSTANT)
    Q_PROPERTY(QString aboutText READ aboutText CONSTANT)

public:
    // The system edges; tests stand in fakes.
    struct Platform {
        // Throws on failure, which shows as an empty list.
        std::function<std::vector<Device>()> devices;
        // Throws DiskAccess::Failure or RecoverError.
        std::function<std::shared_ptr<BlockReader>(const Device&)> open;
        // True when volumes were unmounted; throws RecoverError with the "in use" message.
        std::function<bool(const Device&)> unmount;
        std::function<void(const Device&)> mount;
        std::function<bool(const Device&)> eject;
        // Notes and drops the device in the record of disks unmounted for a scan.
        std::function<void(const Device&)> record;
        std::function<void(const Device&)> forget;
        // Mounts again what an earlier run left unmounted; runs in the background.
        std::function<void()> remountAfterCrash;
        std::function<void(const QUrl&)> openUrl;
        RecoverySession::Engine session;
        DiskCopy::Platform copy;
        DeviceMonitor::Options monitor;
        static Platform system();
    };

    static constexpr int kRefreshAfterCloseMs = 1500;
    static constexpr const char* kSite = "https://vellary.app";
    static constexpr const char* kFeedback = "mailto:feedback@vellary.app";
    static constexpr const char* kImageTitle = "Couldn't open that disk image";
    static constexpr const char* kEjectMessage =
        "Something is still using it. Close any windows showing its files, then eject it from "
        "the file manager.";

    // No default constructor: Qt 6.4 would build the QML singleton with it instead of calling
    // create(), and the screens would watch a second model.
    explicit AppModel(QObject* parent);
    explicit AppModel(Platform platform, QObject* parent = nullptr);
    ~AppModel() override;

    // The instance QML sees: the one the application made, else one owned by the engine.
    static AppModel* create(QQmlEngine* engine, QJSEngine*);
    static AppModel* instance();

    Q_INVOKABLE void refresh();
    Q_INVOKABLE void open(const QString& deviceId);
    Q_INVOKABLE void openImage(const QString& pathOrFileUrl);
    Q_INVOKABLE QString copyPanelTitle(const QString& deviceId) const;
    Q_INVOKABLE QString copyPanelMessage(const QString& deviceId) const;
    Q_INVOKABLE QString copySuggestedName(const QString& deviceId) const;
    Q_INVOKABLE void saveCopy(const QString& deviceId, const QString& destinationPathOrUrl);
    Q_INVOKABLE void finishImaging(bool scan);
    Q_INVOKABLE void closeSession();
    Q_INVOKABLE void eject(const QString& deviceId);
    Q_INVOKABLE void dismissAlert();
    Q_INVOKABLE void openPrivacySettings();
    Q_INVOKABLE void openLink(const QString& url);
    Q_INVOKABLE QString formatSize(qulonglong bytes) const;
    Q_INVOKABLE QString timeLeftText(const QVariant& seconds) const;

    // Stops the scan, the copies and the session's recoveries, mounts what was unmounted for
    // the session at once, and waits for the jobs to end (a copy removes its partial file and
    // remounts its disk; a recovery finishes the file it is writing).
    void prepareToQuit();

    QVariantList devicesValue() const;
    const std::vector<Device>& devices() const { return devices_; }
    bool loadedDevices() const { return loadedDevices_; }
    RecoverySession* session() const { return session_; }
    // The open session's thumbnails, or null; safe on the image provider's threads.
    std::shared_ptr<ThumbnailCache> thumbnails() const;
    QString opening() const { return opening_; }
    QString alertId() const { return alertId_; }
    QString alertTitle() const { return alertTitle_; }
    QString alertMessage() const { return alertMessage_; }
    ImagingJob* imaging() const { return imaging_; }
    bool showMacGuide() const { return showMacGuide_; }
    void setShowMacGuide(bool show);
    bool showPrivacyHelp() const { return showPrivacyHelp_; }
    void setShowPrivacyHelp(bool show);
    QString subtitle() const;
    QString siteUrl() const { return QString::fromUtf8(kSite); }
    QString helpUrl() const { return siteUrl() + QStringLiteral("/help"); }
    QString tipUrl() const { return siteUrl() + QStringLiteral("/thanks"); }
    QString updatesUrl() const { return siteUrl() + QStringLiteral("/download?from=") + version(); }
    QString feedbackUrl() const { return QString::fromUtf8(kFeedback); }
    QString version() const;
    QString aboutText() const;
    DeviceMonitor* monitor() const { return monitor_; }
    bool refreshing() const { return refreshing_; }

signals:
    void devicesChanged();
    void loadedDevicesChanged();
    void sessionChanged();
    void openingChanged();
    void alertChanged();
    void imagingChanged();
    void showMacGuideChanged();
    void showPrivacyHelpChanged();
    void subtitleChanged();

private:
    void listed(std::vector<Device> devices);
    void opened(const Device& device, std::shared_ptr<BlockReader> reader, bool unmounted);
    void publish(RecoverySession* session);
    // Closes the open session as remount says and takes it off the screen; null when none.
    RecoverySession* takeSession(RecoverySession::Remount remount);
    void setOpening(const QString& id);
    void setAlert(const QString& title, const QString& message);
    void setImaging(ImagingJob* job);
    std::optional<Device> device(const QString& id) const;

    Platform platform_;
    std::vector<Device> devices_;
    bool loadedDevices_ = false;
    bool refreshing_ = false;
    bool refreshAgain_ = false;
    RecoverySession* session_ = nullptr;
    mutable std::mutex thumbnailsLock_;
    std::shared_ptr<ThumbnailCache> thumbnails_;
    QString opening_;
    QString alertId_;
    QString alertTitle_;
    QString alertMessage_;
    ImagingJob* imaging_ = nullptr;
    bool showMacGuide_ = false;
    bool showPrivacyHelp_ = false;
    DiskCopy* copy_ = nullptr;
    DeviceMonitor* monitor_ = nullptr;
    // Copies dropped from their sheet while still running.
    QList<QPointer<ImagingJob>> jobs_;
};

} // namespace vellary
