// The first-use tour over a shown main window: once per profile, its overlay never inverted.
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

// Counts the tour's bubbles; the first one is closed with "关闭".
struct ScriptedTour {
    ScriptedPrompter prompts;
    int bubbles = 0;

    ScriptedTour()
    {
        prompts.framed = [this](QWidget *widget, int options) {
            if (!qobject_cast<Tooltip *>(widget) || !(options & Ink::foBare))
                return 0;
            ++bubbles;
            return int(QDialog::Rejected);
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

    // The first show runs the tour once per profile; removing the row brings it back.
    void firstShowRunsTheTourOncePerProfile()
    {
        execSql("DELETE FROM SysParam WHERE Key = 'NoviceGuidance'");
        for (int round : {1, 2, 3}) {
            if (round == 3)
                execSql("DELETE FROM SysParam WHERE Key = 'NoviceGuidance'");
            ScriptedTour tour;
            MainWindow w;
            showWindow(w);
            QSignalSpy done(&w, &MainWindow::startAppInit);
            w.windowFirstShow();
            QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 20000);
            QCOMPARE(tour.bubbles, round == 2 ? 0 : 1);
            QCOMPARE(getSysParam("NoviceGuidance"), QString("1"));
        }
    }
};

QTEST_MAIN(TstGuidance)
#include "tst_guidance.moc"
