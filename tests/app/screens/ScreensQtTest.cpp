#include "app/model/ImagingJob.hpp"
#include "app/model/RecoverySession.hpp"
#include "core/io/DataBlockReader.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "tests/app/model/ModelSupport.hpp"
#include "tests/support/DeletedFilesCard.hpp"

#include <QDir>
#include <QIcon>
#include <QLocale>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>

namespace {

// Every visible item under root whose text is exactly text.
QList<QQuickItem*> withText(QQuickItem* root, const QString& text) {
    QList<QQuickItem*> found;
    if (!root) return found;
    if (root->isVisible() && root->property("text").toString() == text) found << root;
    for (auto* child : root->childItems())
        found << withText(child, text);
    return found;
}

QQuickItem* named(QQuickItem* root, const QString& name) {
    if (!root) return nullptr;
    if (root->objectName() == name) return root;
    for (auto* child : root->childItems())
        if (auto* item = named(child, name)) return item;
    return nullptr;
}

int countNamed(QQuickItem* root, const QString& name) {
    if (!root || !root->isVisible()) return 0;
    int n = root->objectName() == name ? 1 : 0;
    for (auto* child : root->childItems())
        n += countNamed(child, name);
    return n;
}

// Saves the window as name.png when VELLARY_SCREENSHOTS names a folder.
void save(QQuickWindow* window, const QString& name) {
    const auto folder = qEnvironmentVariable("VELLARY_SCREENSHOTS");
    QTest::qWait(50);
    const auto image = window->grabWindow();
    QVERIFY(!image.isNull());
    if (folder.isEmpty()) return;
    QDir().mkpath(folder);
    QVERIFY(image.save(folder + "/" + name + ".png"));
}

// Holds one screen in an offscreen window.
class Harness {
public:
    explicit Harness(const QString& body) {
        engine_.addImportPath("qrc:/");
        QQmlComponent component(&engine_);
        component.setData(("import QtQuick\nimport Vellary\nWindow { width: 1120; height: 760; "
                           "visible: true\n" +
                           body + "\n}")
                              .toUtf8(),
                          QUrl("qrc:/harness.qml"));
        window_.reset(qobject_cast<QQuickWindow*>(component.create()));
        if (!window_) qWarning() << component.errors();
    }
    // The session screen showing session.
    static std::unique_ptr<Harness> showing(QObject* session) {
        auto screen = std::make_unique<Harness>(
            "property alias session: view.session\n"
            "SessionScreen { id: view; objectName: \"screen\"; anchors.fill: parent }");
        if (screen->window())
            screen->window()->setProperty("session", QVariant::fromValue(session));
        return screen;
    }
    QQuickWindow* window() const { return window_.get(); }
    QQuickItem* root() const { return window_->contentItem(); }
    QObject* find(const QString& name) const { return window_->findChild<QObject*>(name); }
    bool shows(const QString& text) const { return !withText(root(), text).isEmpty(); }
    // The first of texts not on screen, or an empty string.
    QString missing(std::initializer_list<const char*> texts) const {
        for (const char* text : texts)
            if (!shows(QString::fromUtf8(text))) return QString::fromUtf8(text);
        return {};
    }
    QQuickItem* item(const QString& text) const {
        const auto items = withText(root(), text);
        return items.isEmpty() ? nullptr : items.first();
    }
    // Clicks the middle of the visible item that shows text.
    bool click(const QString& text) const {
        auto* target = item(text);
        if (!target) return false;
        const auto centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(window_.get(), Qt::LeftButton, {}, centre.toPoint());
        return true;
    }
    void snapshot(const QString& name) const { save(window_.get(), name); }

private:
    QQmlEngine engine_;
    std::unique_ptr<QQuickWindow> window_;
};

std::unique_ptr<RecoverySession> idleSession(std::optional<Device> device = std::nullopt) {
    RecoverySession::Engine engine;
    engine.mount = [](const Device&) {};
    engine.forget = [](const Device&) {};
    return std::make_unique<RecoverySession>(RecoverySession::Source{device, "Trip photos.img"},
                                             std::make_shared<DataBlockReader>(Bytes{}), false,
                                             engine);
}

Device card() {
    return {.id = "sdb",
            .name = "Canon card",
            .kind = Device::Kind::memoryCard,
            .size = 31'900'000'000};
}

const char* kHome = R"(
    property alias app: stand
    HomeScreen { objectName: "home"; anchors.fill: parent; app: stand }
    QtObject {
        id: stand
        objectName: "app"
        property var devices: []
        property bool loadedDevices: false
        property string opening: ""
        property bool showMacGuide: false
        property string opened: ""
        function open(id) { opened = id }
    })";

// The application model as the window sees it, with the calls the test makes recorded.
class StandInApp : public QObject {
    Q_OBJECT
#define FIELD(type, name)                                                                          \
    Q_PROPERTY(type name MEMBER name NOTIFY changed)                                               \
public:                                                                                            \
    type name{};
    FIELD(QVariantList, devices)
    FIELD(bool, loadedDevices)
    FIELD(QObject*, session)
    FIELD(QString, opening)
    FIELD(QString, alertId)
    FIELD(QString, alertTitle)
    FIELD(QString, alertMessage)
    FIELD(QObject*, imaging)
    FIELD(bool, showMacGuide)
    FIELD(bool, showPrivacyHelp)
    FIELD(QString, subtitle)
    FIELD(QString, siteUrl)
    FIELD(QString, helpUrl)
    FIELD(QString, tipUrl)
    FIELD(QString, updatesUrl)
    FIELD(QString, feedbackUrl)
    FIELD(QString, version)
    FIELD(QString, aboutText)
#undef FIELD
    QStringList calls;
    Q_INVOKABLE void closeSession() {
        calls << "closeSession";
    }
    Q_INVOKABLE void dismissAlert() {
        calls << "dismissAlert";
        alertId.clear();
        emit changed();
    }
signals:
    void changed();
};

} // namespace

class ScreensQtTest : public QObject {
    Q_OBJECT
    StandInApp* app_ = nullptr;

private slots:
    void initTestCase() {
        QLocale::setDefault(QLocale::c());
        qputenv("QT_MEDIA_BACKEND", "ffmpeg");
        QIcon::setThemeSearchPaths({"/usr/share/icons"});
        QIcon::setThemeName("Adwaita");
        // Before the first engine: the module is closed to new types once loaded. A newer minor
        // version, so that it wins over the real model where one is built in.
        app_ = new StandInApp;
        app_->setParent(this);
        qmlRegisterSingletonInstance("Vellary", 1, 1, "AppModel", app_);
    }

    void homeShowsDisksAndTheirStates() {
        Harness home(kHome);
        QVERIFY(home.window());
        auto* app = home.find("app");
        QCOMPARE(
            home.missing({"Where were the files?",
                          "Choose the memory card or drive they were deleted from. Vellary "
                          "only reads it — nothing on it is changed.",
                          "Read-only", "Nothing leaves your computer", "Free, with no limits",
                          "Something else?", "Deleted from this computer", "Where to look instead",
                          "Open a disk image", ".dmg, .img, .iso or .dd", "Looking for disks…"}),
            "");
        // No list yet, then an empty one.
        QVERIFY(!home.shows("Insert a memory card or plug in a drive"));
        app->setProperty("loadedDevices", true);
        QCOMPARE(home.missing({"Insert a memory card or plug in a drive",
                               "It appears here by itself. Use a card reader rather than "
                               "connecting the camera with a cable."}),
                 "");
        home.snapshot("home-empty");

        const auto device = [](const char* id, const char* name, const char* kind, const char* size,
                               const char* camera) {
            return QVariantMap{{"id", id},
                               {"name", name},
                               {"kind", kind},
                               {"sizeText", size},
                               {"cameraName", camera}};
        };
        app->setProperty("devices", QVariantList{device("sdb", "Canon card", "memoryCard",
                                                        "31.9 GB · FAT32", "Canon EOS R6"),
                                                 device("sdc", "SanDisk Ultra", "usbDrive",
                                                        "64 GB · exFAT", "")});
        QVERIFY(!home.shows("Insert a memory card or plug in a drive"));
        QVERIFY(home.shows("Canon card") && home.shows("SanDisk Ultra"));
        QCOMPARE(withText(home.root(), "Camera card").size(), 1);
        QCOMPARE(countNamed(home.root(), "deviceCard"), 2);
        home.snapshot("home");

        QVERIFY(home.click("Deleted from this computer"));
        QCOMPARE(app->property("showMacGuide").toBool(), true);

        // The second card's Scan reaches the model with its id.
        QList<QQuickItem*> scans;
        for (auto* item : withText(home.root(), "Scan"))
            if (item->inherits("QQuickAbstractButton")) scans << item;
        QCOMPARE(scans.size(), 2);
        QMetaObject::invokeMethod(scans.last(), "clicked");
        QCOMPARE(app->property("opened").toString(), QString("sdc"));

        // More options: scan, or save a copy of this disk.
        QSignalSpy copies(home.find("home"), SIGNAL(saveCopy(QString)));
        auto* more = named(home.root(), "moreOptions");
        QVERIFY(more);
        QMetaObject::invokeMethod(more, "clicked");
        QTRY_VERIFY(home.shows("Scan for Deleted Files"));
        QVERIFY(home.click("Save a Copy of This Disk…"));
        QCOMPARE(copies.value(0).value(0).toString(), QString("sdb"));

        // While one card opens, it waits and the other is disabled.
        app->setProperty("opening", "sdb");
        QVERIFY(home.shows("Waiting for permission…"));
        QVERIFY(!home.shows("31.9 GB · FAT32"));
        const auto enabled = [&](const char* name) {
            auto* item = home.item(name);
            while (item && item->objectName() != "deviceCard")
                item = item->parentItem();
            return item && item->isEnabled();
        };
        QVERIFY(enabled("Canon card") && !enabled("SanDisk Ultra"));
        QVERIFY(!named(home.root(), "imageButton")->isEnabled());
        home.snapshot("home-opening");
    }

    // A real scan of a generated card, shown as a user would see it.
    void sessionShowsARealScan() {
        TempDir dir;
        const auto built = DeletedFilesCard::build(dir.path());
        if (!built) QSKIP("mkfs.fat, mtools or ImageMagick missing");
        RecoverySession session({card(), built->image},
                                std::make_shared<FileBlockReader>(built->image), false);
        const auto held = Harness::showing(&session);
        auto& screen = *held;
        QVERIFY(screen.window());
        session.start();
        QTRY_COMPARE_WITH_TIMEOUT(session.state(), RecoverySession::State::Finished, 120000);
        const int count = session.fileCount();
        QVERIFY(count > 1);
        QVERIFY(screen.shows(QString("Vellary — %1 files found").arg(count)));
        QVERIFY(screen.shows(QString("Recover All %1 Files…").arg(count)));
        QCOMPARE(screen.missing({"Canon card", "Everything",
                                 "Click files to choose some, or recover everything showing."}),
                 "");
        QVERIFY(!screen.shows("Searching every part of the disk · 0%"));
        QTRY_VERIFY(countNamed(screen.root(), "tile") > 0);
        screen.snapshot("session");

        // One click selects one file.
        auto* tile = named(screen.root(), "tile");
        const auto centre = tile->mapToScene(QPointF(tile->width() / 2, 40)).toPoint();
        QTest::mouseClick(screen.window(), Qt::LeftButton, {}, centre);
        QCOMPARE(session.selectionCount(), 1);
        QCOMPARE(screen.missing({"Recover 1 File…", "1 selected", "Clear Selection",
                                 "Double-click a file or press Space to preview it."}),
                 "");
        screen.snapshot("session-selected");

        // Space previews the file last clicked; the arrows walk the visible files.
        QTest::keyClick(screen.window(), Qt::Key_Space);
        const auto shown = [&](std::size_t k) {
            return screen.shows(QString::fromStdString(session.visibleFile(k).name));
        };
        QTRY_VERIFY(screen.shows("Done"));
        QVERIFY(screen.shows("Deselect") && shown(0));
        screen.snapshot("preview");
        QVERIFY(!named(screen.root(), "previousButton")->isEnabled());
        QMetaObject::invokeMethod(named(screen.root(), "nextButton"), "clicked");
        QTRY_VERIFY(shown(1) && screen.shows("Select"));
        QTest::keyClick(screen.window(), Qt::Key_Left);
        QTRY_VERIFY(shown(0) && screen.shows("Deselect"));
        QVERIFY(screen.click("Done"));
        QTRY_VERIFY(!screen.shows("Done"));

        // The recover bar's button opens the sheet for the selection.
        QVERIFY(screen.click("Recover 1 File…"));
        const auto name = QString::fromStdString(session.selectedFiles()[0].name);
        QTRY_VERIFY(screen.shows("Recover “" + name + "”"));
        QVERIFY(screen.shows("Keep the folders the files were in"));
        screen.snapshot("recover");
        QVERIFY(screen.click("Cancel"));
        QTRY_VERIFY(!screen.shows("Keep the folders the files were in"));

        // A category without files hides everything.
        session.setCategoryValue("archive");
        QCOMPARE(screen.missing({"Nothing matches", "Try another category or clear the search."}),
                 "");
        session.setCategoryValue("");

        // Leaving asks first, since files were found.
        QSignalSpy left(named(screen.root(), "screen"), SIGNAL(leave()));
        QVERIFY(screen.click("All Disks"));
        QTRY_VERIFY(screen.shows("Choose Another Disk"));
        QVERIFY(screen.shows("The list of found files will be cleared, and nothing has been "
                             "recovered yet. You can scan again later."));
        QVERIFY(screen.click("Cancel"));
        QTRY_VERIFY(!screen.shows("Choose Another Disk"));

        // One file recovered for real; closing the sheet marks it.
        qputenv("RECOVER_DEFAULT_DESTINATION", QByteArray::fromStdString((dir / "out").string()));
        QVERIFY(screen.click("Recover 1 File…"));
        qunsetenv("RECOVER_DEFAULT_DESTINATION");
        QTRY_VERIFY(screen.item("Recover") && screen.item("Recover")->isEnabled());
        QVERIFY(screen.click("Recover"));
        QTRY_VERIFY_WITH_TIMEOUT(screen.shows("Your file is back"), 60000);
        QCOMPARE(screen.missing({"Saved in", "Show in Folder", "Did Vellary help?", "Leave a Tip",
                                 "Tell a Friend"}),
                 "");
        QVERIFY(!screen.shows("Some files couldn't be fully read. “About these files.txt” in the "
                              "folder lists them."));
        screen.snapshot("done");
        QVERIFY(screen.click("Done"));
        QTRY_COMPARE(session.recoveredCount(), 1);
        QCOMPARE(session.selectionCount(), 0);
        QTRY_VERIFY(screen.shows("Recovered"));

        // A file that could not be written is not "back": something stands where its folder
        // would go.
        std::size_t inFolder = 0;
        while (session.visibleFile(inFolder).folder().empty() ||
               session.isRecovered(session.visibleFile(inFolder).id))
            ++inFolder;
        const auto& blocked = session.visibleFile(inFolder);
        session.toggle(QString::fromStdString(blocked.id));
        qputenv("RECOVER_DEFAULT_DESTINATION", QByteArray::fromStdString((dir / "out").string()));
        QVERIFY(screen.click("Recover 1 File…"));
        qunsetenv("RECOVER_DEFAULT_DESTINATION");
        auto* job = screen.find("recoverySheet")->property("job").value<QObject*>();
        const fs::path destination = job->property("destination").toString().toStdString();
        fs::create_directories(destination);
        writeFile(destination / blocked.folder().substr(0, blocked.folder().find('/')), "x");
        QTRY_VERIFY(screen.item("Recover") && screen.item("Recover")->isEnabled());
        QVERIFY(screen.click("Recover"));
        QTRY_VERIFY_WITH_TIMEOUT(screen.shows("0 of 1 files recovered"), 60000);
        QVERIFY(screen.shows("Some files couldn't be fully read. “About these files.txt” in the "
                             "folder lists them."));
        screen.snapshot("done-failed");
        QVERIFY(screen.click("Done"));
        QTRY_VERIFY(!screen.shows("0 of 1 files recovered"));
        QCOMPARE(session.recoveredCount(), 1);

        // A folder that cannot be made ends the recovery.
        writeFile(dir / "blocked", "a file where a folder should be");
        qputenv("RECOVER_DEFAULT_DESTINATION",
                QByteArray::fromStdString((dir / "blocked" / "out").string()));
        QVERIFY(screen.click("Recover 1 File…"));
        qunsetenv("RECOVER_DEFAULT_DESTINATION");
        QTRY_VERIFY(screen.item("Recover") && screen.item("Recover")->isEnabled());
        QVERIFY(screen.click("Recover"));
        QTRY_VERIFY_WITH_TIMEOUT(screen.shows("Recovery didn't finish"), 60000);
        QVERIFY(screen.click("Close"));
        QTRY_VERIFY(!screen.shows("Recovery didn't finish"));
        QCOMPARE(session.recoveredCount(), 1);
        session.selectNone();
        QVERIFY(screen.click("All Disks"));
        QTRY_VERIFY(screen.shows("The list of found files will be cleared. Files you've recovered "
                                 "stay where you saved them."));
        QCOMPARE(left.size(), 0);
        QVERIFY(screen.click("Choose Another Disk"));
        QCOMPARE(left.size(), 1);
        session.close(RecoverySession::Remount::Forget);
    }

    void scanningShowsProgressAndNotes() {
        auto session = idleSession(card());
        const auto held = Harness::showing(session.get());
        auto& screen = *held;
        QVERIFY(screen.window());
        QCOMPARE(screen.missing({"Vellary — Scanning…", "Reading the file list…",
                                 "Deleted files that still have their names show up first.",
                                 "Looking for deleted files…",
                                 "They'll appear here as soon as they're found.", "Stop"}),
                 "");

        session->setClock([] { return localTime(2026, 12, 7, 14, 0); });
        session->onProgress({ScanProgress::Phase::contents, 13'400'000'000, 31'900'000'000, 2});
        session->setClock([] { return localTime(2026, 12, 7, 14, 1); });
        session->onProgress({ScanProgress::Phase::contents, 13'400'000'000, 31'900'000'000, 2});
        session->merge(
            {found("a", "IMG_5014.JPG", localTime(2026, 12, 7, 9, 0)),
             found("b", "MVI_5012.MP4", localTime(2026, 12, 5, 9, 0), FileCategory::video)});
        session->rebuild();
        QCOMPARE(
            screen.missing({"Vellary — Scanning… 2 found", "Searching every part of the disk · 42%",
                            "13.40 GB of 31.90 GB checked. You can recover files while this "
                            "runs, or stop at any time.",
                            "About 1 minute left"}),
            "");
        QTRY_COMPARE(countNamed(screen.root(), "tile"), 2);
        QCOMPARE(countNamed(screen.root(), "sectionTitle"), 2);
        screen.snapshot("session-scanning");

        // The confirmation names the disk while the scan runs.
        QVERIFY(screen.click("All Disks"));
        QTRY_VERIFY(screen.shows("Stop and Choose Another Disk"));
        QVERIFY(screen.click("Cancel"));

        ScanResult result;
        result.warnings = {"Part of the file list couldn't be read, so the deep scan will look "
                           "for those files instead."};
        session->onFinished(result, std::nullopt, false);
        QCOMPARE(screen.missing({"Vellary — 2 files found", "Notes", result.warnings[0].c_str()}),
                 "");
        QVERIFY(!screen.shows("Stop"));
        screen.snapshot("session-notes");

        // Columns follow the thumbnail size: the grid is 880 - 2 × 18 wide.
        auto* view = named(screen.root(), "screen");
        QCOMPARE(session->grid()->columns(), 6);
        for (const auto& [size, columns] : {std::pair{220, 3}, {96, 7}, {120, 6}}) {
            view->setProperty("tileSize", size);
            QCOMPARE(session->grid()->columns(), columns);
        }

        // Typing in the search field filters at once.
        auto* search = named(screen.root(), "searchField");
        search->forceActiveFocus();
        for (const char key : {'m', 'v', 'i'})
            QTest::keyClick(screen.window(), key);
        QCOMPARE(session->search(), QString("mvi"));
        QTRY_COMPARE(countNamed(screen.root(), "tile"), 1);
        session->setSearch("");

        // View options reach the session.
        QMetaObject::invokeMethod(screen.find("viewOptions"), "clicked");
        QTRY_VERIFY(screen.shows("Thumbnail size"));
        QVERIFY(screen.click("Hide Damaged Files"));
        QCOMPARE(session->hideDamaged(), true);
        QMetaObject::invokeMethod(screen.find("viewOptions"), "clicked");
        QTRY_VERIFY(screen.shows("Sort By"));
        QVERIFY(screen.click("Sort By"));
        QTRY_VERIFY(screen.shows("Name"));
        QVERIFY(screen.click("Name"));
        QCOMPARE(session->sort(), RecoverySession::Sort::Name);
        // One block, so no day headers.
        QTRY_COMPARE(countNamed(screen.root(), "sectionTitle"), 0);

        // The context menu recovers the file under the pointer.
        auto* tile = named(screen.root(), "tile");
        QVERIFY(tile);
        const auto name = tile->property("file").toMap()["name"].toString();
        QTest::mouseClick(screen.window(), Qt::RightButton, {},
                          tile->mapToScene(QPointF(20, 20)).toPoint());
        QTRY_VERIFY(screen.shows("Recover This File…"));
        QVERIFY(screen.shows("Quick Look") && screen.shows("Select"));
        QVERIFY(screen.click("Recover This File…"));
        QTRY_VERIFY(screen.shows("Recover “" + name + "”"));
    }

    // The whole window over a stand-in model: the root follows the session, the sheets and
    // the alert follow the model's flags.
    void windowFollowsTheModel() {
        auto& app = *app_;
        QQmlEngine engine;
        engine.addImportPath("qrc:/");
        QQmlComponent component(&engine, QUrl("qrc:/Vellary/screens/Main.qml"));
        std::unique_ptr<QQuickWindow> window(qobject_cast<QQuickWindow*>(component.create()));
        QVERIFY2(window, qPrintable(component.errorString()));
        const auto shows = [&](const QString& text) {
            return !withText(window->contentItem(), text).isEmpty();
        };
        QCOMPARE(window->title(), QString("Vellary"));
        QCOMPARE(window->size(), QSize(1120, 760));
        QCOMPARE(window->minimumSize(), QSize(860, 600));
        QVERIFY(shows("Where were the files?"));
        save(window.get(), "window");
        QMetaObject::invokeMethod(window->findChild<QObject*>("windowMenu"), "clicked");
        for (const char* text : {"Open Disk Image…", "Vellary Help", "Check for Updates…",
                                 "Leave a Tip…", "Send Feedback…", "About Vellary"})
            QTRY_VERIFY2(shows(text), text);
        QTest::keyClick(window.get(), Qt::Key_Escape);
        QTRY_VERIFY(!shows("Open Disk Image…"));

        app.showMacGuide = true;
        emit app.changed();
        QTRY_VERIFY(shows("Deleted from this computer?"));
        QMetaObject::invokeMethod(withText(window->contentItem(), "Done")[0], "clicked");
        QTRY_COMPARE(app.showMacGuide, false);

        app.alertTitle = "Couldn't read “Canon card”";
        app.alertMessage = "The disk is in use. Quit any app that's showing files from it, then "
                           "try again.";
        app.alertId = "1";
        emit app.changed();
        QTRY_VERIFY(shows(app.alertTitle) && shows(app.alertMessage));
        QMetaObject::invokeMethod(withText(window->contentItem(), "OK")[0], "clicked");
        QTRY_COMPARE(app.calls, QStringList{"dismissAlert"});
        QTRY_VERIFY(!shows(app.alertTitle));

        auto session = idleSession(card());
        session->merge({found("a", "a.jpg")});
        session->onFinished(ScanResult{}, std::nullopt, false);
        app.session = session.get();
        app.subtitle = "1 file found";
        emit app.changed();
        QCOMPARE(window->title(), QString("Vellary — 1 file found"));
        QTRY_VERIFY(shows("Vellary — 1 file found") && shows("Recover 1 File…"));
        QVERIFY(!shows("Where were the files?"));
        save(window.get(), "window-session");
        auto* back = withText(window->contentItem(), "All Disks")[0];
        QMetaObject::invokeMethod(back, "clicked");
        QTRY_VERIFY(shows("Choose Another Disk"));
        QMetaObject::invokeMethod(withText(window->contentItem(), "Choose Another Disk")[0],
                                  "clicked");
        QTRY_COMPARE(app.calls.last(), QString("closeSession"));
        app.session = nullptr;
        emit app.changed();
        QTRY_VERIFY(shows("Where were the files?"));
    }

    void helpSheetsReadAsWritten() {
        Harness guide("GuideSheet { Component.onCompleted: open() }");
        QVERIFY(guide.window());
        QTRY_VERIFY(guide.shows("Deleted from this computer?"));
        QCOMPARE(
            guide.missing({"Trash", "Files stay there until it's emptied.", "Photo apps › Trash",
                           "iCloud Drive › Recently Deleted", "Kept for 30 days on iCloud.com.",
                           "Backups", "If you back up, older versions are there.",
                           "The app you made it in", "Dropbox, Google Drive, OneDrive",
                           "Their websites keep deleted files for at least 30 days."}),
            "");
        guide.snapshot("guide");
        QVERIFY(guide.click("Done"));
        QTRY_VERIFY(!guide.shows("Deleted from this computer?"));

        Harness privacy("PrivacySheet { Component.onCompleted: open() }");
        QTRY_VERIFY(privacy.shows("Let Vellary read the disk"));
        QCOMPARE(
            privacy.missing({"Come back here and click the disk again.", "Not Now", "Open Help",
                             "If Vellary runs as a Flatpak or Snap, allow it to see drives."}),
            "");
        privacy.snapshot("privacy");
    }

    // A copy held half-way, then finished with unreadable parts.
    void diskCopySheetFollowsTheJob() {
        Gate half, finish;
        ImagingJob::Platform platform;
        platform.copy = [&](const BlockReader&, const fs::path&, const auto& progress,
                            const auto&) {
            progress(DiskImager::Progress{500'000'000, 2'000'000'000, 4096});
            half.open();
            finish.wait();
            return DiskImager::Progress{2'000'000'000, 2'000'000'000, 8192};
        };
        ImagingJob job(card(), "/media/backup/Canon card 2026-12-07.img", platform);
        Harness sheet("property alias job: copy.job\nDiskCopySheet { id: copy; "
                      "Component.onCompleted: open() }");
        QVERIFY(sheet.window());
        sheet.window()->setProperty("job", QVariant::fromValue<QObject*>(&job));
        job.start(std::make_shared<DataBlockReader>(Bytes{}), false);
        half.wait();
        QTRY_VERIFY(sheet.shows("500.0 MB of 2.00 GB"));
        QCOMPARE(sheet.missing({"Copying “Canon card”", "Stop",
                                "4 KB couldn't be read so far. The disk may be failing; the copy "
                                "carries on around those parts."}),
                 "");
        sheet.snapshot("copy");
        finish.open();
        QTRY_VERIFY(sheet.shows("Copy saved"));
        QCOMPARE(sheet.missing({"“Canon card 2026-12-07.img” holds everything that was on the "
                                "disk. You can unplug the disk now.",
                                "8 KB couldn't be read and were filled with blanks. Files in those "
                                "spots may be damaged."}),
                 "");
        QSignalSpy finished(sheet.find("diskCopySheet"), SIGNAL(finish(bool)));
        QVERIFY(sheet.click("Scan the Copy"));
        QCOMPARE(finished.size(), 1);
        QVERIFY(finished[0][0].toBool());

        // A copy that fails says so and offers only Close.
        platform.copy = [](const BlockReader&, const fs::path&, const auto&,
                           const auto&) -> DiskImager::Progress {
            throw RecoverError::message("The disk stopped answering.");
        };
        ImagingJob failing(card(), "/media/backup/x.img", platform);
        sheet.window()->setProperty("job", QVariant::fromValue<QObject*>(&failing));
        QMetaObject::invokeMethod(sheet.find("diskCopySheet"), "open");
        failing.start(std::make_shared<DataBlockReader>(Bytes{}), false);
        QTRY_VERIFY(sheet.shows("The copy didn't finish") &&
                    sheet.shows("The disk stopped answering."));
        QVERIFY(!sheet.shows("Scan the Copy") && !sheet.shows("Show in Folder"));
        QVERIFY(sheet.click("Close"));
        QVERIFY(finished.size() == 2 && !finished[1][0].toBool());
    }

    void emptyResultsExplainThemselves() {
        const struct {
            std::optional<std::string> error;
            bool cancelled;
            Files files;
            const char* title;
            const char* detail;
        } rows[] = {
            {{},
             false,
             {},
             "No deleted files were found",
             "Fast SSDs erase deleted data "
             "automatically, so they rarely have anything left."},
            {"The disk was disconnected.",
             false,
             {},
             "The scan couldn't finish",
             "The disk was disconnected."},
            {{}, false, {found("a", "a.jpg")}, "Vellary — 1 file found", "Disk image"},
            {{}, true, {found("a", "a.jpg")}, "Vellary — Stopped · 1 found", "Disk image"},
        };
        for (const auto& row : rows) {
            auto session = idleSession();
            const auto screen = Harness::showing(session.get());
            QVERIFY(screen->window());
            session->merge(row.files);
            std::optional<ScanResult> result;
            if (!row.error && !row.cancelled) result = ScanResult{};
            session->onFinished(result, row.error, row.cancelled);
            QCOMPARE(screen->missing({row.title, row.detail, "Disk image"}), "");
            QVERIFY(!screen->shows("Looking for deleted files…"));
        }
    }
};

QTEST_MAIN(ScreensQtTest)
#include "ScreensQtTest.moc"
