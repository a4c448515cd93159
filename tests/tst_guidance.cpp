// The first-use tour over a shown main window: steps, outline and its removal, the overlay's
// border, the bubble's place, and when the tour runs by itself.
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

struct Bubble {
    QString text;
    QString targetStyle; // the target's style sheet while its bubble is up
    QMargins widths;
    QRect geometry;
};

// Answers every bubble: "下一步" until stopAt (1-based), then "关闭"; records each step.
struct ScriptedTour {
    ScriptedPrompter prompts;
    QList<Bubble> bubbles;
    int stopAt = 0;

    explicit ScriptedTour(int stop = 0) : stopAt(stop)
    {
        prompts.framed = [this](QWidget *widget, int options) {
            auto *tip = qobject_cast<Tooltip *>(widget);
            if (!tip || !(options & Ink::foBare))
                return 0;
            auto *overlay = qobject_cast<NoviceGuidance *>(tip->parentWidget());
            Bubble b;
            b.text = tip->text();
            for (const auto &step : NoviceGuidance::mainWindowSteps())
                if (step.second == b.text)
                    if (QWidget *t = overlay->parentWidget()->findChild<QWidget *>(step.first))
                        b.targetStyle = t->styleSheet();
            const QString style = overlay->findChild<QFrame *>("frame")->styleSheet();
            QRegularExpression re("top-width:(-?\\d+)px;border-right-width:(-?\\d+)px;border-bottom-width:(-?\\d+)"
                                  "px;border-left-width:(-?\\d+)px");
            const auto m = re.match(style);
            b.widths = QMargins(m.captured(4).toInt(), m.captured(1).toInt(), m.captured(2).toInt(),
                                m.captured(3).toInt());
            b.geometry = QRect(tip->pos(), tip->sizeHint());
            bubbles << b;
            return bubbles.size() == stopAt ? int(QDialog::Rejected) : int(QDialog::Accepted);
        };
    }
    QStringList texts() const
    {
        QStringList t;
        for (const Bubble &b : bubbles)
            t << b.text;
        return t;
    }
};

QString stepText(const char *target)
{
    for (const auto &step : NoviceGuidance::mainWindowSteps())
        if (step.first == QLatin1String(target))
            return step.second;
    return QString();
}

} // namespace

Q_DECLARE_METATYPE(QMargins)

class TstGuidance : public QObject
{
    Q_OBJECT
    TestProfile m_profile;

    static void showWindow(MainWindow &w)
    {
        w.resize(1366, 740);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
    }

private slots:
    void initTestCase() { QVERIFY(startApp().ok); }
    void init()
    {
        clearBookTables();
        g_SysParams = SysParams();
        g_SysParams.autoBackupDbPath = g_App.defaultBackupPath();
        setSysParam("NoviceGuidance", "1");
    }

    void borderWidthsNeverNegative_data()
    {
        QTest::addColumn<QRect>("target");
        QTest::addColumn<QMargins>("widths"); // left, top, right, bottom
        const QSize overlay(800, 600);
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

    // A full tour with the material panel collapsed: its targets give no bubble, the others come
    // in order, each with the red outline, the bubble on the screen; afterwards every target has
    // its own style sheet back (also one it had before).
    void tourSkipsHiddenTargetsAndRestoresStyles()
    {
        MainWindow w;
        showWindow(w);
        auto *splitter = w.findChild<QSplitter *>("splitterMain");
        auto *material = w.findChild<QWidget *>("widgetMaterial");
        QList<int> sizes = splitter->sizes();
        sizes[splitter->indexOf(material)] = 0;
        splitter->setSizes(sizes);
        QVERIFY(!NoviceGuidance::isTargetVisible(w.findChild<QWidget *>("listViewMaterial")));
        auto *book = w.findChild<QWidget *>("widgetBook");
        book->setStyleSheet("QWidget { font-weight: bold; }");
        QMap<QString, QString> before;
        for (const auto &step : NoviceGuidance::mainWindowSteps())
            before[step.first] = w.findChild<QWidget *>(step.first)->styleSheet();

        ScriptedTour tour;
        w.findChild<QAction *>("actionHelpShowNoviceGuidance")->trigger();
        QCOMPARE(tour.texts(), (QStringList{stepText("menuBar"), stepText("mainToolBar"), stepText("styleToolBar"),
                                            stepText("advToolBar"), stepText("viewToolBar"), stepText("widgetBook"),
                                            stepText("textEditor")}));
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        for (const Bubble &b : tour.bubbles) {
            QVERIFY(b.targetStyle.endsWith("{border:2px solid red;}"));
            QVERIFY(b.widths.left() >= 0 && b.widths.top() >= 0 && b.widths.right() >= 0 && b.widths.bottom() >= 0);
            QVERIFY2(screen.contains(b.geometry), qPrintable(b.text));
        }
        QCOMPARE(tour.bubbles.first().widths.top(), 0); // the menu bar at the window's top
        for (const auto &step : NoviceGuidance::mainWindowSteps())
            QCOMPARE(w.findChild<QWidget *>(step.first)->styleSheet(), before[step.first]);
        QVERIFY(!w.findChild<NoviceGuidance *>());
        QCOMPARE(getSysParam("NoviceGuidance"), QString("1")); // the manual run leaves it alone
    }

    void closeOnThirdBubbleEndsTheTour()
    {
        MainWindow w;
        showWindow(w);
        ScriptedTour tour(3);
        w.findChild<QAction *>("actionHelpShowNoviceGuidance")->trigger();
        QCOMPARE(tour.bubbles.size(), 3);
        for (const auto &step : NoviceGuidance::mainWindowSteps())
            QVERIFY(w.findChild<QWidget *>(step.first)->styleSheet().isEmpty());
    }

    // The window resized while a bubble is up (a window manager maximising it after the first
    // show): the overlay covers the whole window and leaves the target's new place uncovered.
    void overlayFollowsTheWindow()
    {
        MainWindow w;
        showWindow(w);
        QRect overlayRect;
        QMargins widths, expected;
        ScriptedPrompter prompts;
        prompts.framed = [&](QWidget *widget, int) -> int {
            auto *overlay = qobject_cast<NoviceGuidance *>(widget->parentWidget());
            w.resize(1000, 600);
            if (!QTest::qWaitFor([&] { return w.size() == QSize(1000, 600); }))
                return int(QDialog::Rejected);
            QCoreApplication::processEvents();
            overlayRect = overlay->geometry();
            QWidget *menu = w.findChild<QWidget *>("menuBar");
            expected = NoviceGuidance::borderWidths(
                QRect(overlay->mapFromGlobal(menu->mapToGlobal(QPoint(0, 0))), menu->size()), overlay->size());
            const QString style = overlay->findChild<QFrame *>("frame")->styleSheet();
            widths = QMargins(0, 0, 0, QRegularExpression("bottom-width:(\\d+)px").match(style).captured(1).toInt());
            return int(QDialog::Rejected);
        };
        w.findChild<QAction *>("actionHelpShowNoviceGuidance")->trigger();
        QCOMPARE(overlayRect, w.rect());
        QCOMPARE(widths.bottom(), expected.bottom());
    }

    void bubbleStaysOnScreen()
    {
        const QRect screen(0, 0, 1366, 768);
        const QSize size(320, 90);
        for (const QPoint p : {QPoint(1360, 700), QPoint(-20, -5), QPoint(600, 300)}) {
            const QRect r(Tooltip::placeAt(p, size, screen), size);
            QVERIFY(screen.contains(r));
        }
        QCOMPARE(Tooltip::placeAt(QPoint(600, 300), size, screen), QPoint(600, 300));
    }

    // The first show runs the tour once per profile; removing the row brings it back.
    void firstShowRunsOnce()
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
            QCOMPARE(tour.bubbles.size(), round == 2 ? 0 : 1);
            QCOMPARE(getSysParam("NoviceGuidance"), QString("1"));
        }
    }
};

QTEST_MAIN(TstGuidance)
#include "tst_guidance.moc"
