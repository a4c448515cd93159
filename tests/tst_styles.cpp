// Colour styles applied by name: palette and sheet replaced, font kept, unknown names refused;
// every style's windows legible and its tool bars whole.
#include "TestProfile.h"

#include "frame/MessageDialog.h"
#include "frame/Styles.h"
#include "mainwindow/MainWindow.h"
#include "settings/SysParamDialog.h"
#include "stats/WritingStatsWindow.h"

#include <QApplication>
#include <QtTest>
#include <QtWidgets>

#include <cmath>

namespace {

// WCAG 2 contrast, computed here on its own so that a fault in the program's formula shows.
double wcag(const QColor &a, const QColor &b)
{
    auto lum = [](const QColor &c) {
        auto ch = [](int v) {
            const double x = v / 255.0;
            return x <= 0.03928 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * ch(c.red()) + 0.7152 * ch(c.green()) + 0.0722 * ch(c.blue());
    };
    const double x = lum(a.toRgb()), y = lum(b.toRgb());
    return (qMax(x, y) + 0.05) / (qMin(x, y) + 0.05);
}

// Text below 4.5:1 in the palettes the widgets really have after the style and its sheet polished
// them: their own text on their own ground (enabled and disabled), selected items, links.
QStringList illegible(QWidget *top)
{
    QStringList found;
    auto check = [&found](QWidget *w, QPalette::ColorGroup g, QPalette::ColorRole fg, QPalette::ColorRole bg,
                          const char *what) {
        const double r = wcag(w->palette().color(g, fg), w->palette().color(g, bg));
        if (r < 4.5)
            found << QString("%1(%2) %3 %4").arg(w->objectName(), w->metaObject()->className(), what).arg(r, 0, 'f', 2);
    };
    QList<QWidget *> widgets = top->findChildren<QWidget *>();
    widgets << top;
    for (QWidget *w : widgets) {
        if (!w->isVisibleTo(top) && w != top)
            continue;
        w->ensurePolished();
        const bool text = qobject_cast<QLabel *>(w) || qobject_cast<QAbstractButton *>(w) ||
                          qobject_cast<QAbstractItemView *>(w) || qobject_cast<QTextEdit *>(w) ||
                          qobject_cast<QPlainTextEdit *>(w) || qobject_cast<QLineEdit *>(w) ||
                          qobject_cast<QComboBox *>(w) || qobject_cast<QTabBar *>(w) || qobject_cast<QMenuBar *>(w) ||
                          qobject_cast<QGroupBox *>(w) || qobject_cast<QAbstractSpinBox *>(w);
        if (!text)
            continue;
        check(w, QPalette::Active, w->foregroundRole(), w->backgroundRole(), "text");
        check(w, QPalette::Disabled, w->foregroundRole(), w->backgroundRole(), "disabled text");
        if (qobject_cast<QAbstractItemView *>(w) || qobject_cast<QTextEdit *>(w) || qobject_cast<QLineEdit *>(w))
            check(w, QPalette::Active, QPalette::HighlightedText, QPalette::Highlight, "selected");
        auto *label = qobject_cast<QLabel *>(w);
        if (label && label->text().contains("<a "))
            check(w, QPalette::Active, QPalette::Link, w->backgroundRole(), "link");
        if (qobject_cast<QTextEdit *>(w))
            check(w, QPalette::Active, QPalette::Link, QPalette::Base, "link");
    }
    return found;
}

} // namespace

class TestStyles : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(startApp().ok); }
    void cleanupTestCase() { Ink::applyStyle(QStringLiteral("Fusion")); }

    // Rows run in order: each style replaces the one the row before left.
    void applyingReplacesPaletteAndSheet_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("applied");
        QTest::addColumn<bool>("hasSheet");
        QTest::newRow("Dark") << "Dark" << true << true;
        QTest::newRow("an unknown name keeps Dark") << "NoSuchStyle" << false << true;
        QTest::newRow("Rose after Dark drops the dark sheet") << "Rose" << true << false;
        QTest::newRow("Dark again") << "Dark" << true << true;
        QTest::newRow("Qt's Fusion after Dark") << "Fusion" << true << false;
    }
    void applyingReplacesPaletteAndSheet()
    {
        QFETCH(QString, name);
        QFETCH(bool, applied);
        QFETCH(bool, hasSheet);
        QFont font = QApplication::font();
        font.setPointSize(13);
        QApplication::setFont(font);
        QStyle *before = QApplication::style();
        const QPalette palette = QApplication::palette();
        QCOMPARE(Ink::applyStyle(name), applied);
        QCOMPARE(QApplication::font().pointSize(), 13);
        QCOMPARE(!qApp->styleSheet().isEmpty(), hasSheet);
        QCOMPARE(QApplication::style() == before, !applied);
        QScopedPointer<QStyle> fresh(Ink::createStyle(name));
        QCOMPARE(QApplication::palette().color(QPalette::Window),
                 applied ? fresh->standardPalette().color(QPalette::Window) : palette.color(QPalette::Window));
    }

    // Each proxy owns its base style, so applying styles again and again frees nothing twice.
    void everyStyleAppliesTwiceAndStaysLegible()
    {
        QWidget w;
        w.show();
        const QStringList colours = Ink::colourStyleNames();
        for (const QString &name : colours + QStringList{"Fusion", "Windows"}) {
            for (int i = 0; i < 2; ++i) {
                QVERIFY2(Ink::applyStyle(name), qPrintable(name));
                w.repaint();
            }
            if (colours.contains(name)) // disabled text told apart (its contrast is checked below)
                QVERIFY(QApplication::palette().color(QPalette::Disabled, QPalette::Text) !=
                        QApplication::palette().color(QPalette::Active, QPalette::Text));
        }
    }

    // Each style the settings offer, on the main window at 1366×768, the settings dialog, the
    // statistics window and a message box: legible text; the tool bars' overflow arrows visible
    // on their bar; the search button beside its box, not wrapped below it. With
    // INKBOAT_STYLE_SHOTS set, the windows are written there as pictures.
    void everyStyleFinished_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *name : {"Fusion", "Dark", "Gray", "LuxuryGold", "Bronze", "Rose", "Coral", "SeaGreen"})
            QTest::newRow(name) << name;
    }
    void everyStyleFinished()
    {
        QFETCH(QString, name);
        QVERIFY(Ink::applyStyle(name));
        MainWindow main;
        main.resize(1366, 768);
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        SysParamDialog settings;
        settings.show();
        WritingStatsWindow stats;
        stats.show();
        MessageDialog box;
        box.setup(QString(), "确定退出吗？", 3, 0xC000000);
        box.show();
        const QList<QPair<QString, QWidget *>> windows = {
            {"main", &main}, {"settings", &settings}, {"stats", &stats}, {"message", &box}};
        QStringList bad;
        for (const auto &window : windows)
            bad << illegible(window.second);
        QVERIFY2(bad.isEmpty(), qPrintable(bad.join(" | ")));

        QWidget *search = main.findChild<QWidget *>("toolButtonSearch");
        QWidget *word = main.findChild<QWidget *>("lineEditWord");
        QVERIFY(qAbs(search->mapTo(&main, QPoint(0, search->height() / 2)).y() -
                     word->mapTo(&main, QPoint(0, word->height() / 2)).y()) <= 2);
        QVERIFY(search->mapTo(&main, QPoint()).x() >= word->mapTo(&main, QPoint(word->width(), 0)).x());
        for (QToolBar *bar : main.findChildren<QToolBar *>())
            for (QWidget *child : bar->findChildren<QWidget *>())
                if (child->isVisibleTo(bar) && !bar->rect().contains(child->geometry()))
                    bad << bar->objectName() + ":" + child->objectName();
        QVERIFY2(bad.isEmpty(), qPrintable(bad.join(" | ")));

        const QString shots = qEnvironmentVariable("INKBOAT_STYLE_SHOTS");
        if (!shots.isEmpty()) {
            QDir().mkpath(shots);
            for (const auto &window : windows)
                QVERIFY(window.second->grab().save(QString("%1/%2-%3.png").arg(shots, name.toLower(), window.first)));
        }

        // A narrow window hides tool buttons behind the overflow arrow, which must stand out.
        main.resize(640, 600);
        int arrows = 0;
        QTRY_VERIFY(!main.findChildren<QToolButton *>("qt_toolbar_ext_button").isEmpty());
        for (QToolButton *ext : main.findChildren<QToolButton *>("qt_toolbar_ext_button")) {
            if (!ext->isVisible())
                continue;
            ++arrows;
            const QImage img = ext->grab().toImage();
            const QColor ground = ext->parentWidget()->palette().color(QPalette::Window);
            double best = 1;
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x)
                    best = qMax(best, wcag(img.pixelColor(x, y), ground));
            QVERIFY2(best >= 3, qPrintable(QString("%1 %2").arg(ext->parentWidget()->objectName()).arg(best)));
        }
        QVERIFY(arrows > 0);
    }

private:
    TestProfile m_profile;
};

QTEST_MAIN(TestStyles)
#include "tst_styles.moc"
