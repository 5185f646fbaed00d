#include "app/model/RecoveryJob.hpp"
#include "app/model/RecoverySession.hpp"
#include "app/model/ScreenTexts.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/app/model/ModelSupport.hpp"

#include <QDir>
#include <QLocale>
#include <QPointer>

using State = RecoverySession::State;

class ScreenTextsQtTest : public QObject {
    Q_OBJECT
    ScreenTexts texts;

    static int raw(State state) { return static_cast<int>(state); }

private slots:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }

    void subtitleFollowsStateAndCount() {
        const struct {
            State state;
            qint64 found;
            const char* text;
        } rows[] = {
            {State::Scanning, 0, "Scanning…"},
            {State::Scanning, 1204, "Scanning… 1,204 found"},
            {State::Finished, 0, "0 files found"},
            {State::Finished, 1, "1 file found"},
            {State::Finished, 1234567, "1,234,567 files found"},
            {State::Stopped, 1000, "Stopped · 1,000 found"},
            {State::Failed, 5, "Scan failed"},
        };
        for (const auto& row : rows)
            QCOMPARE(texts.subtitle(raw(row.state), row.found), QString::fromUtf8(row.text));
    }

    void recoverButtonCountsTheTarget() {
        const struct {
            int visible, selected;
            const char* button;
            const char* summary;
            const char* hint;
        } rows[] = {
            {1, 0, "Recover 1 File…", "1 showing · 100 bytes",
             "Click files to choose some, or recover everything showing."},
            {2, 0, "Recover All 2 Files…", "2 showing · 100 bytes",
             "Click files to choose some, or recover everything showing."},
            {5000, 1, "Recover 1 File…", "1 selected",
             "Double-click a file or press Space to preview it."},
            {5000, 1500, "Recover 1,500 Files…", "1,500 selected",
             "Double-click a file or press Space to preview it."},
            {0, 0, "Recover All 0 Files…", "0 showing · 100 bytes",
             "Click files to choose some, or recover everything showing."},
        };
        for (const auto& row : rows) {
            QCOMPARE(texts.recoverButton(row.visible, row.selected), QString::fromUtf8(row.button));
            QCOMPARE(texts.barSummary(row.visible, 100, row.selected),
                     QString::fromUtf8(row.summary));
            QCOMPARE(texts.barHint(row.selected), QString::fromUtf8(row.hint));
        }
    }

    void timeLeftTurnsToWordsAtAMinute() {
        const struct {
            QVariant seconds;
            const char* text;
        } rows[] = {
            {QVariant(), ""},
            {QVariant(-1.0), ""},
            {QVariant(0.0), "Less than a minute left"},
            {QVariant(59.99), "Less than a minute left"},
            {QVariant(60.0), "About 1 minute left"},
            {QVariant(89.0), "About 1 minute left"},
            {QVariant(91.0), "About 2 minutes left"},
            {QVariant(3599.0), "About 1 hour left"},
            {QVariant(3660.0), "About 1 hour, 1 minute left"},
            {QVariant(2 * 3600.0 + 20 * 60), "About 2 hours, 20 minutes left"},
        };
        for (const auto& row : rows)
            QCOMPARE(texts.timeLeft(row.seconds), QString::fromUtf8(row.text));
    }

    void statusLinesFollowThePhase() {
        QCOMPARE(texts.statusHeadline("contents", 0.425),
                 QString("Searching every part of the disk · 43%"));
        QCOMPARE(texts.statusHeadline("contents", 1.0),
                 QString("Searching every part of the disk · 100%"));
        QCOMPARE(texts.statusHeadline("finished", 1.0), QString("Finishing…"));
        QCOMPARE(texts.statusDetail("finished", 1, 1), QString());
    }

    void recoverySheetTexts() {
        QCOMPARE(texts.recoverTitle(1, "IMG_1.JPG"), QString("Recover “IMG_1.JPG”"));
        QCOMPARE(texts.recoverTitle(2, "IMG_1.JPG"), QString("Recover 2 files"));
        QCOMPARE(
            texts.recoverLead(1, "IMG_1.JPG"),
            QString("IMG_1.JPG will be copied to this computer. The disk itself isn't changed."));
        QCOMPARE(texts.recoverLead(1200, "x"),
                 QString("1,200 files will be copied to this computer. The disk itself isn't "
                         "changed."));
        // One file is back only when it was saved.
        const struct {
            int count, saved;
            const char* text;
        } rows[] = {
            {1, 1, "Your file is back"},
            {1, 0, "0 of 1 files recovered"},
            {2, 2, "2 files are back"},
            {2, 1, "1 of 2 files recovered"},
            {1500, 1499, "1,499 of 1,500 files recovered"},
        };
        for (const auto& row : rows)
            QCOMPARE(texts.doneHeadline(row.count, row.saved), QString::fromUtf8(row.text));
    }

    // The rest of these texts are checked where the screens show them.
    void leavingAndCopyTexts() {
        QCOMPARE(texts.leaveTitle(true, "Canon card"), QString("Stop scanning “Canon card”?"));
        QVERIFY(!texts.leaveTitle(false, "Canon card").contains("Canon"));
        QCOMPARE(texts.copyUnreadable(0, false), QString());
        QCOMPARE(texts.shortPath(QDir::homePath() + "/Pictures/Vellary"),
                 QString("~/Pictures/Vellary"));
        QCOMPARE(texts.shortPath(QDir::homePath() + "x/Pictures"), QDir::homePath() + "x/Pictures");
    }

    // Sections are found by where they start; selecting one leaves the others alone.
    void sectionsSelectAsAWhole() {
        RecoverySession session({std::nullopt, "card.img"},
                                std::make_shared<DataBlockReader>(Bytes{}), false);
        session.merge({found("a", "a.jpg", localTime(2024, 3, 10, 9, 0)),
                       found("b", "b.jpg", localTime(2024, 3, 10, 8, 0)),
                       found("c", "c.jpg", localTime(2024, 3, 9, 8, 0))});
        session.rebuild();
        QCOMPARE(session.sections().size(), std::size_t(2));
        QCOMPARE(texts.section(&session, 1), QVariantMap());
        QCOMPARE(texts.section(&session, 0)["count"].toInt(), 2);
        session.toggle("a");
        QCOMPARE(texts.section(&session, 0)["allSelected"].toBool(), false);
        QSignalSpy changed(&session, &RecoverySession::selectionChanged);
        QSignalSpy redrawn(session.grid(), &FileGridModel::dataChanged);
        texts.selectSection(&session, 0, true);
        QCOMPARE(session.selectionCount(), 2);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(redrawn.size(), 1);
        QCOMPARE(texts.section(&session, 0)["allSelected"].toBool(), true);
        QCOMPARE(texts.section(&session, 2)["allSelected"].toBool(), false);
        texts.selectSection(&session, 2, true);
        texts.selectSection(&session, 0, false);
        QCOMPARE(session.selectionCount(), 1);
        QVERIFY(session.isSelected("c"));

        QCOMPARE(texts.file(&session, 3), QVariantMap());
        QCOMPARE(texts.file(&session, -1), QVariantMap());
        QCOMPARE(texts.file(&session, 2)["name"].toString(), QString("c.jpg"));
        QCOMPARE(texts.file(&session, 2)["selected"].toBool(), true);
    }

    // One id, else the selection, else everything showing; a saved file counts as recovered.
    void recoveryJobsTakeTheRightFiles() {
        RecoverySession session({std::nullopt, "card.img"},
                                std::make_shared<DataBlockReader>(Bytes{}), false);
        session.merge({found("a", "a.jpg"), found("b", "b.jpg"), found("c", "c.mov")});
        session.rebuild();
        const auto ids = [](RecoveryJob* job) {
            QStringList list;
            for (const auto& file : job->files())
                list << QString::fromStdString(file.id);
            list.sort();
            return list.join(",");
        };
        auto* all = texts.makeRecoveryJob(&session, "");
        QCOMPARE(ids(all), QString("a,b,c"));
        session.toggle("b");
        auto* selected = texts.makeRecoveryJob(&session, "");
        QCOMPARE(ids(selected), QString("b"));
        QCOMPARE(texts.firstFileName(selected), QString("b.jpg"));
        auto* one = texts.makeRecoveryJob(&session, "c");
        QCOMPARE(ids(one), QString("c"));
        QCOMPARE(texts.makeRecoveryJob(&session, "missing"), nullptr);

        QPointer<RecoveryJob> gone(all);
        texts.finishRecovery(&session, all);
        QTRY_VERIFY(gone.isNull());
        QCOMPARE(session.recoveredCount(), 0);
    }
};

QTEST_MAIN(ScreenTextsQtTest)
#include "ScreenTextsQtTest.moc"
