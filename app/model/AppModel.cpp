#include "app/model/AppModel.hpp"

#include "app/access/DiskAccess.hpp"
#include "app/access/MountKeeper.hpp"
#include "app/model/MainThread.hpp"
#include "app/model/RecoveryJob.hpp"
#include "app/model/RemountQueue.hpp"
#include "app/model/ScreenTexts.hpp"
#include "core/devices/DeviceCatalog.hpp"
#include "core/records/ByteText.hpp"
#include "core/records/RecoverError.hpp"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QQmlEngine>
#include <QTimer>
#include <QUuid>
#include <algorithm>
#include <utility>

#ifndef VELLARY_VERSION
#define VELLARY_VERSION "0.0.0"
#endif

namespace vellary {
namespace {

namespace fs = std::filesystem;

AppModel* current = nullptr;

// Longest a quit waits for stopped jobs; a copy checks its stop flag every 8 MiB.
constexpr int kQuitWaitMs = 120'000;

QString unreadableTitle(const Device& device) {
    return QStringLiteral("Couldn't read “%1”").arg(QString::fromStdString(device.name));
}

// A path typed, dropped or chosen in a dialog (file URL) as a local path.
fs::path localPath(const QString& pathOrUrl) {
    const QUrl url(pathOrUrl);
    const QString path = url.isLocalFile() ? url.toLocalFile() : pathOrUrl;
    return fs::path(path.toStdString());
}

bool isRunning(const QObject* job) {
    if (const auto* copy = qobject_cast<const ImagingJob*>(job))
        return copy->state() == ImagingJob::State::Running;
    if (const auto* recovery = qobject_cast<const RecoveryJob*>(job))
        return recovery->state() == RecoveryJob::State::Running;
    return false;
}

} // namespace

AppModel::Platform AppModel::Platform::system() {
    Platform platform;
    platform.devices = [] { return DeviceCatalog().devices(); };
    platform.open = [](const Device& device) -> std::shared_ptr<BlockReader> {
        return DiskAccess::open(device);
    };
    platform.unmount = [](const Device& device) { return DeviceCatalog().unmount(device); };
    platform.mount = [](const Device& device) { DeviceCatalog().mount(device); };
    platform.eject = [](const Device& device) { return DeviceCatalog().eject(device); };
    platform.record = [](const Device& device) {
        MountKeeper().record(device.id, device.identity);
    };
    platform.forget = [](const Device& device) {
        MountKeeper().forget(device.id, device.identity);
    };
    platform.remountAfterCrash = [] {
        // Holds the single-instance lock until the process ends.
        static MountKeeper keeper;
        keeper.remountNow();
    };
    platform.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    platform.session = RecoverySession::Engine::system();
    platform.copy = DiskCopy::Platform::system();
    return platform;
}

AppModel::AppModel(QObject* parent) : AppModel(Platform::system(), parent) {}

AppModel::AppModel(Platform platform, QObject* parent)
    : QObject(parent), platform_(std::move(platform)), copy_(new DiskCopy(platform_.copy, this)) {
    if (!current) current = this;
    connect(copy_, &DiskCopy::started, this, [this](ImagingJob* job) {
        setOpening({});
        setImaging(job);
    });
    connect(copy_, &DiskCopy::alert, this, &AppModel::setAlert);
    connect(copy_, &DiskCopy::privacyHelp, this, [this] { setShowPrivacyHelp(true); });
    connect(copy_, &DiskCopy::ended, this, [this] { setOpening({}); });
    refresh();
    monitor_ = new DeviceMonitor(platform_.monitor, this);
    const QPointer<AppModel> weak(this);
    connect(monitor_, &DeviceMonitor::changed, this, [weak] {
        if (weak) weak->refresh();
    });
}

AppModel::~AppModel() {
    if (current == this) current = nullptr;
    if (session_) session_->close(RecoverySession::Remount::Background);
}

AppModel* AppModel::instance() {
    return current;
}

AppModel* AppModel::create(QQmlEngine* engine, QJSEngine*) {
    if (current) {
        QQmlEngine::setObjectOwnership(current, QQmlEngine::CppOwnership);
        return current;
    }
    return new AppModel(engine);
}

void AppModel::refresh() {
    if (refreshing_) {
        refreshAgain_ = true;
        return;
    }
    refreshing_ = true;
    refreshAgain_ = false;
    // Before the first listing: volumes an earlier run could not mount again.
    auto before = std::exchange(platform_.remountAfterCrash, nullptr);
    const QPointer<AppModel> weak(this);
    workers().start([weak, before = std::move(before), list = platform_.devices] {
        if (before) before();
        std::vector<Device> devices;
        try {
            if (list) devices = list();
        } catch (const std::exception&) {
            devices.clear();
        }
        postToMain([weak, devices = std::move(devices)]() mutable {
            if (weak) weak->listed(std::move(devices));
        });
    });
}

void AppModel::listed(std::vector<Device> devices) {
    refreshing_ = false;
    if (!loadedDevices_) {
        loadedDevices_ = true;
        emit loadedDevicesChanged();
    }
    if (devices != devices_) {
        devices_ = std::move(devices);
        emit devicesChanged();
    }
    if (refreshAgain_) refresh();
}

std::optional<Device> AppModel::device(const QString& id) const {
    const auto key = id.toStdString();
    if (session_ && session_->source().device && session_->source().device->id == key)
        return session_->source().device;
    for (const auto& device : devices_)
        if (device.id == key) return device;
    return std::nullopt;
}

void AppModel::open(const QString& deviceId) {
    if (!opening_.isEmpty() || session_) return;
    const auto found = device(deviceId);
    if (!found) return;
    setOpening(deviceId);
    const QPointer<AppModel> weak(this);
    const auto fail = [weak](DiskAccess::Failure::Case kind, QString title, QString message) {
        postToMain([weak, kind, title, message] {
            if (!weak) return;
            weak->setOpening({});
            if (kind == DiskAccess::Failure::Case::privacy)
                weak->setShowPrivacyHelp(true);
            else if (kind != DiskAccess::Failure::Case::cancelled)
                weak->setAlert(title, message);
        });
    };
    workers().start([weak, fail, device = *found, p = platform_] {
        // Wakes a sleeping disk and lets the system settle its mounts before the raw open.
        for (const auto& point : device.mountPoints) {
            std::error_code ignored;
            fs::directory_iterator(point, ignored);
        }
        // A closed session may still be mounting this disk's volumes again.
        RemountQueue::waitFor(device.id);
        const QString title = unreadableTitle(device);
        std::shared_ptr<BlockReader> reader;
        bool unmounted = false;
        try {
            reader = p.open(device);
            unmounted = p.unmount && p.unmount(device);
            if (unmounted && p.record) p.record(device);
        } catch (const DiskAccess::Failure& failure) {
            return fail(failure.kind(), title, QString::fromStdString(failure.errorDescription()));
        } catch (const std::exception& error) {
            // Access was granted but the disk cannot be used: its descriptor is closed now.
            reader.reset();
            const auto* recover = dynamic_cast<const RecoverError*>(&error);
            return fail(DiskAccess::Failure::Case::other, title,
                        recover ? QString::fromStdString(recover->errorDescription())
                                : QString::fromUtf8(error.what()));
        }
        postToMain([weak, device, reader = std::move(reader), unmounted, p] {
            if (weak) return weak->opened(device, reader, unmounted);
            // Nobody will scan it: give the volumes back.
            if (unmounted) {
                if (p.mount) p.mount(device);
                if (p.forget) p.forget(device);
            }
        });
    });
}

void AppModel::opened(const Device& device, std::shared_ptr<BlockReader> reader, bool unmounted) {
    auto* session =
        new RecoverySession({device, {}}, std::move(reader), unmounted, platform_.session, this);
    setOpening({});
    publish(session);
}

std::shared_ptr<ThumbnailCache> AppModel::thumbnails() const {
    const std::lock_guard lock(thumbnailsLock_);
    return thumbnails_;
}

void AppModel::publish(RecoverySession* session) {
    session_ = session;
    {
        const std::lock_guard lock(thumbnailsLock_);
        thumbnails_ = session->thumbnails();
    }
    for (auto signal : {&RecoverySession::stateChanged, &RecoverySession::filesChanged})
        connect(session, signal, this, &AppModel::subtitleChanged);
    emit sessionChanged();
    emit subtitleChanged();
    session->start();
}

void AppModel::openImage(const QString& pathOrFileUrl) {
    if (!opening_.isEmpty() || session_) return;
    const fs::path path = localPath(pathOrFileUrl);
    std::shared_ptr<BlockReader> reader;
    try {
        reader = DiskAccess::open(path);
    } catch (const RecoverError& error) {
        return setAlert(QString::fromUtf8(kImageTitle),
                        QString::fromStdString(error.errorDescription()));
    } catch (const std::exception& error) {
        return setAlert(QString::fromUtf8(kImageTitle), QString::fromUtf8(error.what()));
    }
    publish(new RecoverySession({std::nullopt, path}, std::move(reader), false, platform_.session,
                                this));
}

QString AppModel::copyPanelTitle(const QString& deviceId) const {
    const auto found = device(deviceId);
    return found ? DiskCopy::panelTitle(*found) : QString();
}

QString AppModel::copyPanelMessage(const QString& deviceId) const {
    const auto found = device(deviceId);
    return found ? DiskCopy::panelMessage(*found) : QString();
}

QString AppModel::copySuggestedName(const QString& deviceId) const {
    const auto found = device(deviceId);
    return found ? DiskCopy::suggestedName(*found) : QString();
}

void AppModel::saveCopy(const QString& deviceId, const QString& destinationPathOrUrl) {
    if (!opening_.isEmpty() || session_ || imaging_) return;
    const auto found = device(deviceId);
    if (!found) return;
    setOpening(deviceId);
    copy_->run(*found, localPath(destinationPathOrUrl));
}

void AppModel::finishImaging(bool scan) {
    if (!imaging_) return;
    ImagingJob* job = std::exchange(imaging_, nullptr);
    emit imagingChanged();
    const bool done = job->state() == ImagingJob::State::Done;
    const QString image = QString::fromStdString(job->destination().string());
    if (isRunning(job)) {
        // Closed while copying: stop it, and let it go once it has cleaned up.
        job->stop();
        connect(job, &ImagingJob::stateChanged, job, &QObject::deleteLater);
        jobs_.append(job);
    } else {
        job->deleteLater();
    }
    refresh();
    if (scan && done) openImage(image);
}

void AppModel::setImaging(ImagingJob* job) {
    job->setParent(this);
    imaging_ = job;
    emit imagingChanged();
}

RecoverySession* AppModel::takeSession(RecoverySession::Remount remount) {
    RecoverySession* session = std::exchange(session_, nullptr);
    if (!session) return nullptr;
    {
        const std::lock_guard lock(thumbnailsLock_);
        thumbnails_.reset();
    }
    session->close(remount);
    disconnect(session, nullptr, this, nullptr);
    emit sessionChanged();
    emit subtitleChanged();
    return session;
}

void AppModel::closeSession() {
    if (!session_) return;
    takeSession(RecoverySession::Remount::Background)->deleteLater();
    QTimer::singleShot(kRefreshAfterCloseMs, this, &AppModel::refresh);
}

void AppModel::eject(const QString& deviceId) {
    const auto found = device(deviceId);
    if (!found) return;
    if (session_) {
        const auto& source = session_->source().device;
        // The ejected disk's volumes stay down; any other disk's go back up.
        takeSession(source && source->id == found->id ? RecoverySession::Remount::Forget
                                                      : RecoverySession::Remount::Background)
            ->deleteLater();
    }
    const QPointer<AppModel> weak(this);
    workers().start([weak, device = *found, p = platform_] {
        const bool ok = p.eject && p.eject(device);
        // A disk that stays must not stay unmounted and forgotten.
        if (!ok && p.mount) p.mount(device);
        postToMain([weak, ok, name = QString::fromStdString(device.name)] {
            if (!weak) return;
            if (!ok)
                weak->setAlert(QStringLiteral("Couldn't eject “%1”").arg(name),
                               QString::fromUtf8(kEjectMessage));
            weak->refresh();
        });
    });
}

void AppModel::prepareToQuit() {
    // Everything that runs: copies, and the recoveries the session's sheets made.
    QList<QPointer<QObject>> running;
    for (const auto& job : std::as_const(jobs_))
        running.append(job.data());
    running.append(imaging_);
    if (session_)
        for (auto* job : session_->findChildren<RecoveryJob*>())
            running.append(job);
    for (const auto& job : std::as_const(running)) {
        if (auto* recovery = qobject_cast<RecoveryJob*>(job.data())) recovery->stop();
        if (auto* copy = qobject_cast<ImagingJob*>(job.data())) copy->stop();
    }
    // The session's volumes come back at once; it goes once its recoveries have ended.
    const std::unique_ptr<RecoverySession> session(takeSession(RecoverySession::Remount::Now));
    // The jobs end on their workers and report on this thread.
    const QDeadlineTimer deadline(kQuitWaitMs);
    const auto anyRunning = [&running] {
        return std::any_of(running.cbegin(), running.cend(),
                           [](const QPointer<QObject>& job) { return job && isRunning(job); });
    };
    while (anyRunning() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

QVariantList AppModel::devicesValue() const {
    QVariantList out;
    for (const auto& device : devices_) {
        out.append(QVariantMap{
            {QStringLiteral("id"), QString::fromStdString(device.id)},
            {QStringLiteral("name"), QString::fromStdString(device.name)},
            {QStringLiteral("kind"),
             QString::fromUtf8(deviceKind::rawValue(device.kind).data(),
                               static_cast<qsizetype>(deviceKind::rawValue(device.kind).size()))},
            {QStringLiteral("size"), qulonglong(device.size)},
            {QStringLiteral("sizeText"), formatSize(device.size)},
            {QStringLiteral("cameraName"), QString::fromStdString(device.camera.value_or(""))},
        });
    }
    return out;
}

void AppModel::setOpening(const QString& id) {
    if (opening_ == id) return;
    opening_ = id;
    emit openingChanged();
}

void AppModel::setAlert(const QString& title, const QString& message) {
    alertId_ = QUuid::createUuid().toString(QUuid::WithoutBraces);
    alertTitle_ = title;
    alertMessage_ = message;
    emit alertChanged();
}

void AppModel::dismissAlert() {
    if (alertId_.isEmpty()) return;
    alertId_.clear();
    alertTitle_.clear();
    alertMessage_.clear();
    emit alertChanged();
}

void AppModel::setShowMacGuide(bool show) {
    if (showMacGuide_ == show) return;
    showMacGuide_ = show;
    emit showMacGuideChanged();
}

void AppModel::setShowPrivacyHelp(bool show) {
    if (showPrivacyHelp_ == show) return;
    showPrivacyHelp_ = show;
    emit showPrivacyHelpChanged();
}

void AppModel::openPrivacySettings() {
    // No settings pane grants disk access here: the help page explains the ways.
    openLink(helpUrl() + QStringLiteral("#disk-access"));
}

void AppModel::openLink(const QString& url) {
    if (platform_.openUrl) platform_.openUrl(QUrl(url));
}

QString AppModel::subtitle() const {
    // The screens word it; the model says when it changes.
    return session_ ? ScreenTexts().subtitle(int(session_->state()), session_->fileCount())
                    : QString();
}

QString AppModel::version() const {
    return QStringLiteral(VELLARY_VERSION);
}

QString AppModel::aboutText() const {
    return QStringLiteral("Free recovery for deleted photos and files. No trial, no limits, no "
                          "account.\n\n") +
           QUrl(siteUrl()).host();
}

QString AppModel::formatSize(qulonglong bytes) const {
    return QString::fromStdString(ByteText::string(bytes));
}

QString AppModel::timeLeftText(const QVariant& seconds) const {
    return ScreenTexts().timeLeft(seconds);
}

} // namespace vellary
