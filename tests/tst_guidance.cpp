// The first-use tour over a shown main window: the steps shown, every target's own style sheet
// back afterwards, the overlay's hole following the window, and the tour once per profile.
#include "BookRows.h"
#include "ScriptedPrompter.h"
#include "TestProfile.h"

#include "app/App.h"
#include "mainwindow/MainWindow.h"
#include "params/SysParams.h"
#include "settings/NoviceGuidance.h"
#include "settings/Tooltip.h"
#include "storage/DataAccess.h"

#include <QtTest>
#include <QtWidgets>

namespace {

// Answers every bubble "下一步" until stopAt (1-based), then "关闭"; records each step's text and
// whether its target was outlined and the bubble on the screen.
struct ScriptedTour {
    ScriptedPrompter prompts;
    QStringList texts;
    int outlined = 0, onScreen = 0;

    explicit ScriptedTour(int stopAt = 0)
    {
        prompts.framed = [this, stopAt](QWidget *widget, int options) {
            auto *tip = qobject_cast<Tooltip *>(widget);
            if (!tip || !(options & Ink::foBare))
                return 0;
            texts << tip->text();
            for (const auto &step : NoviceGuidance::mainWindowSteps())
                if (step.second == tip->text())
                    outlined += tip->parentWidget()->parentWidget()->findChild<QWidget *>(step.first)->styleSheet().endsWith(
                        "{border:2px solid red;}");
            onScreen += QGuiApplication::primaryScreen()->availableGeometry().contains(QRect(tip->pos(), tip->sizeHint()));
            return texts.size() == stopAt ? int(QDialog::Rejected) : int(QDialog::Accepted);
        };
    }
};

void showWindow(MainWindow &w)
{
    w.resize(1366, 740);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
}

} // namespace

Q_DECLARE_METATYPE(QMargins)

class TstGuidance : public QObject
{
    Q_OBJECT
    TestProfile m_profile;

private slots:
    void initTestCase() { QVERIFY(startApp().ok); }
    void init()
    {
        clearBookTables();
        g_SysParams = SysParams();
        g_SysParams.autoBackupDbPath = g_App.defaultBackupPath();
        setSysParam("NoviceGuidance", "1");
    }

    // A negative width would make the overlay's style sheet invalid and cover everything.
    void borderWidthsNeverNegative_data()
    {
        QTest::addColumn<QRect>("target");
        QTest::addColumn<QMargins>("widths"); // left, top, right, bottom; overlay 800 x 600
        QTest::newRow("middle") << QRect(100, 50, 200, 100) << QMargins(98, 48, 498, 448);
        QTest::newRow("top edge") << QRect(0, 0, 800, 20) << QMargins(0, 0, 0, 578);
        QTest::newRow("left edge") << QRect(0, 30, 150, 570) << QMargins(0, 28, 648, 0);
    }
    void borderWidthsNeverNegative()
    {
        QFETCH(QRect, target);
        QFETCH(QMargins, widths);
        QCOMPARE(NoviceGuidance::borderWidths(target, QSize(800, 600)), widths);
    }

    // With the material panel collapsed its targets give no bubble; the tour ends at "关闭"; each
    // target has its own style sheet back (also one it had before), the manual run leaves the
    // "seen" flag alone.
    void tourShowsVisibleTargetsAndGivesStylesBack_data()
    {
        QTest::addColumn<int>("stopAt");
        QTest::addColumn<int>("bubbles");
        QTest::newRow("to the end") << 0 << 7;
        QTest::newRow("closed at the third") << 3 << 3;
    }
    void tourShowsVisibleTargetsAndGivesStylesBack()
    {
        QFETCH(int, stopAt);
        QFETCH(int, bubbles);
        MainWindow w;
        showWindow(w);
        auto *splitter = w.findChild<QSplitter *>("splitterMain");
        QList<int> sizes = splitter->sizes();
        sizes[splitter->indexOf(w.findChild<QWidget *>("widgetMaterial"))] = 0;
        splitter->setSizes(sizes);
        w.findChild<QWidget *>("widgetBook")->setStyleSheet("QWidget { font-weight: bold; }");
        QMap<QString, QString> before;
        for (const auto &step : NoviceGuidance::mainWindowSteps())
            before[step.first] = w.findChild<QWidget *>(step.first)->styleSheet();

        ScriptedTour tour(stopAt);
        w.findChild<QAction *>("actionHelpShowNoviceGuidance")->trigger();
        QStringList expected;
        for (const auto &step : NoviceGuidance::mainWindowSteps().mid(0, 7))
            expected << step.second;
        QCOMPARE(tour.texts, expected.mid(0, bubbles));
        QCOMPARE(tour.outlined, bubbles);
        QCOMPARE(tour.onScreen, bubbles);
        for (const auto &step : NoviceGuidance::mainWindowSteps())
            QCOMPARE(w.findChild<QWidget *>(step.first)->styleSheet(), before[step.first]);
        QVERIFY(!w.findChild<NoviceGuidance *>());
        QCOMPARE(getSysParam("NoviceGuidance"), QString("1"));
    }

    // The window resized while a bubble is up (a window manager maximising it after the first
    // show): the overlay covers the whole window and leaves the target's new place uncovered.
    void overlayFollowsTheWindow()
    {
        MainWindow w;
        showWindow(w);
        QRect overlayRect;
        QString style, expected;
        ScriptedPrompter prompts;
        prompts.framed = [&](QWidget *widget, int) -> int {
            auto *overlay = qobject_cast<NoviceGuidance *>(widget->parentWidget());
            w.resize(1000, 600);
            if (!QTest::qWaitFor([&] { return w.size() == QSize(1000, 600); }))
                return int(QDialog::Rejected);
            QCoreApplication::processEvents();
            overlayRect = overlay->geometry();
            QWidget *menu = w.findChild<QWidget *>("menuBar");
            expected = NoviceGuidance::frameStyle(NoviceGuidance::borderWidths(
                QRect(overlay->mapFromGlobal(menu->mapToGlobal(QPoint(0, 0))), menu->size()), overlay->size()));
            style = overlay->findChild<QFrame *>("frame")->styleSheet();
            return int(QDialog::Rejected);
        };
        w.findChild<QAction *>("actionHelpShowNoviceGuidance")->trigger();
        QCOMPARE(overlayRect, w.rect());
        QCOMPARE(style, expected);
    }

    // The first show runs the tour once per profile; removing the row brings it back.
    void firstShowRunsTheTourOncePerProfile()
    {
        execSql("DELETE FROM SysParam WHERE Key = 'NoviceGuidance'");
        for (int round : {1, 2, 3}) {
            if (round == 3)
                execSql("DELETE FROM SysParam WHERE Key = 'NoviceGuidance'");
            ScriptedTour tour(1);
            MainWindow w;
            showWindow(w);
            QSignalSpy done(&w, &MainWindow::startAppInit);
            w.windowFirstShow();
            QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 20000);
            QCOMPARE(tour.texts.size(), round == 2 ? 0 : 1);
            QCOMPARE(getSysParam("NoviceGuidance"), QString("1"));
        }
    }
};

QTEST_MAIN(TstGuidance)
#include "tst_guidance.moc"
