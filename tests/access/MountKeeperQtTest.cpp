#include "app/access/MountKeeper.hpp"
#include "tests/support/Tools.hpp"

#include <QSettings>
#include <QTest>
#include <stdexcept>

using namespace vellary;
using vellary::testing::TempDir;

namespace {

Device disk(const std::string& id, const std::string& identity, bool mounted) {
    Device d;
    d.id = id;
    d.identity = identity;
    if (mounted) d.mountPoints = {"/media/ann/" + id};
    return d;
}

} // namespace

class MountKeeperQtTest : public QObject {
    Q_OBJECT

    TempDir dir_;
    int round_ = 0;

    // A fresh settings file and lock per keeper set.
    QString file(const char* name) {
        return QString::fromStdString((dir_ / (std::to_string(round_) + name)).string());
    }

private slots:
    void init() { ++round_; }

    void recordsAndForgetsByIdentity() {
        MountKeeper keeper(file("settings.ini"), {}, file("lock"));
        QVERIFY(keeper.stored().empty());
        keeper.record("sdb", std::string("SanDisk|A1|64|t1"));
        keeper.record("sdc", std::string("Lexar|B2|32|t2"));
        keeper.record("sdc", std::nullopt);
        QCOMPARE(keeper.stored(),
                 (std::map<std::string, std::string>{{"sdb", "SanDisk|A1|64|t1"}}));
        QVERIFY(!keeper.forget("sdb", "SanDisk|XX|64|t1"));
        QVERIFY(keeper.forget("sdb", "SanDisk|A1|64|t1"));
        QVERIFY(keeper.stored().empty());

        QSettings(file("settings.ini"), QSettings::IniFormat)
            .setValue(MountKeeper::kKey, QStringLiteral("not a dictionary"));
        QVERIFY(keeper.stored().empty());
    }

    void remountsOnlyTheSameDiskAndKeepsEntriesWrittenMeanwhile() {
        std::vector<std::string> mounted;
        MountKeeper* self = nullptr;
        MountKeeper::Disks disks;
        disks.list = [] {
            return std::vector<Device>{
                disk("sdb", "SanDisk|A1|64|t1", false),  // the same card: mounted again
                disk("sdc", "Lexar|OTHER|32|t9", false), // another card in the same reader
                disk("sdd", "Kingston|C3|16|t3", true),  // already mounted again by someone
            };
        };
        disks.mount = [&](const Device& d) {
            mounted.push_back(d.id);
            // A scan that starts now writes its own entries; they must survive.
            self->record("sde", std::string("new|E5|8|t5"));
            self->record("sdc", std::string("Lexar|OTHER|32|t9"));
        };
        MountKeeper keeper(file("settings.ini"), disks, file("lock"));
        self = &keeper;
        keeper.record("sdb", std::string("SanDisk|A1|64|t1"));
        keeper.record("sdc", std::string("Lexar|B2|32|t2"));
        keeper.record("sdd", std::string("Kingston|C3|16|t3"));
        keeper.record("sdf", std::string("gone|F6|1|t6"));

        keeper.remountAfterCrash().get();
        QCOMPARE(mounted, std::vector<std::string>{"sdb"});
        QCOMPARE(keeper.stored(), (std::map<std::string, std::string>{{"sdc", "Lexar|OTHER|32|t9"},
                                                                      {"sde", "new|E5|8|t5"}}));
    }

    void aSecondInstanceLeavesTheRecordAlone() {
        int lists = 0;
        MountKeeper::Disks disks{[&] {
                                     ++lists;
                                     return std::vector<Device>{};
                                 },
                                 [](const Device&) {}};
        MountKeeper first(file("settings.ini"), disks, file("lock"));
        QVERIFY(first.isOnlyInstance());
        MountKeeper second(file("settings.ini"), disks, file("lock"));
        second.record("sdb", std::string("x"));
        second.remountNow();
        QCOMPARE(lists, 0);
        QCOMPARE(second.stored().size(), 1u);
        first.remountNow();
        QCOMPARE(lists, 1);
        QVERIFY(first.stored().empty());
    }

    void aFailingListingStillClearsWhatWasRead() {
        int mounts = 0;
        MountKeeper::Disks disks{
            []() -> std::vector<Device> { throw std::runtime_error("lsblk failed"); },
            [&](const Device&) { ++mounts; }};
        MountKeeper keeper(file("settings.ini"), disks, file("lock"));
        keeper.remountAfterCrash().get(); // empty record: nothing to do
        keeper.record("sdb", std::string("x"));
        keeper.remountAfterCrash().get();
        QCOMPARE(mounts, 0);
        QVERIFY(keeper.stored().empty());
    }
};

QTEST_GUILESS_MAIN(MountKeeperQtTest)
#include "MountKeeperQtTest.moc"
