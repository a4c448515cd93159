// Colour styles applied by name: palette and sheet replaced, font kept, unknown names refused.
#include "frame/Styles.h"

#include <QApplication>
#include <QtTest>

class TestStyles : public QObject
{
    Q_OBJECT
private slots:
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

    // Each proxy owns its base style, so applying styles again and again frees nothing twice;
    // every colour style keeps text legible on its base, and disabled text told apart.
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
            if (!colours.contains(name))
                continue;
            const QPalette pal = QApplication::palette();
            for (auto group : {QPalette::Active, QPalette::Disabled})
                QVERIFY2(qAbs(pal.color(group, QPalette::Text).lightness() - pal.color(group, QPalette::Base).lightness()) > 80,
                         qPrintable(name));
            QVERIFY(pal.color(QPalette::Disabled, QPalette::Text) != pal.color(QPalette::Active, QPalette::Text));
        }
    }
};

QTEST_MAIN(TestStyles)
#include "tst_styles.moc"
