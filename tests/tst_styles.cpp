// Colour styles by name: class, palette, style sheet, fallback to Qt's factory.
#include "frame/Styles.h"

#include <QApplication>
#include <QStyleFactory>
#include <QtTest>

class TestStyles : public QObject
{
    Q_OBJECT
private slots:
    void cleanupTestCase() { Ink::applyStyle(QStringLiteral("Fusion")); }

    void styleByName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QColor>("button");
        QTest::addColumn<bool>("hasSheet");
        QTest::newRow("Dark") << "Dark" << "DarkStyle" << QColor(53, 53, 53) << true;
        QTest::newRow("Gray") << "Gray" << "GrayStyle" << QColor(190, 190, 190) << false;
        QTest::newRow("LuxuryGold") << "LuxuryGold" << "LuxuryGoldStyle" << QColor(232, 208, 184) << false;
        QTest::newRow("Bronze") << "Bronze" << "BronzeStyle" << QColor(207, 155, 95) << false;
        QTest::newRow("Rose") << "Rose" << "RoseStyle" << QColor(231, 27, 100) << false;
        QTest::newRow("Coral") << "Coral" << "CoralStyle" << QColor(255, 114, 86) << false;
        QTest::newRow("SeaGreen") << "SeaGreen" << "SeaGreenStyle" << QColor(143, 188, 143) << false;
    }

    void styleByName()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QColor, button);
        QFETCH(bool, hasSheet);
        QScopedPointer<QStyle> style(Ink::createStyle(name));
        QVERIFY(style);
        QCOMPARE(QString::fromLatin1(style->metaObject()->className()), className);
        const QPalette pal = style->standardPalette();
        QCOMPARE(pal.color(QPalette::Active, QPalette::Button), button);
        QCOMPARE(pal.color(QPalette::Inactive, QPalette::Button), button);
        QCOMPARE(Ink::styleSheetOf(style.data()).isEmpty(), !hasSheet);
        // Text stays legible: text and base differ clearly, and disabled text differs from enabled text.
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            QVERIFY2(qAbs(pal.color(group, QPalette::Text).lightness() - pal.color(group, QPalette::Base).lightness())
                         > 80, qPrintable(name));
        QVERIFY(pal.color(QPalette::Disabled, QPalette::Text) != pal.color(QPalette::Active, QPalette::Text));
    }

    void unknownNamesFallBackToQtFactory()
    {
        QScopedPointer<QStyle> fusion(Ink::createStyle(QStringLiteral("Fusion")));
        QVERIFY(fusion);
        QVERIFY(!qobject_cast<ColourStyle *>(fusion.data()));
        QCOMPARE(fusion->objectName().toLower(), QStringLiteral("fusion"));
        QVERIFY(!Ink::createStyle(QStringLiteral("NoSuchStyle")));
        QVERIFY(!Ink::createStyle(QString()));
    }

    void applyingAnUnknownNameKeepsTheCurrentStyle()
    {
        QVERIFY(Ink::applyStyle(QStringLiteral("Dark")));
        QStyle *before = QApplication::style();
        const QString sheet = qApp->styleSheet();
        QVERIFY(!Ink::applyStyle(QStringLiteral("NoSuchStyle")));
        QCOMPARE(QApplication::style(), before);
        QCOMPARE(qApp->styleSheet(), sheet);
    }

    void applyEveryStyleTwiceInARow()
    {
        // Each proxy owns its base style: replacing styles again and again must not
        // free a shared base twice.
        QStringList names = Ink::colourStyleNames();
        names << QStringLiteral("Fusion") << QStringLiteral("Windows");
        QWidget w;
        w.show();
        for (const QString &name : names) {
            for (int i = 0; i < 2; ++i) {
                QVERIFY2(Ink::applyStyle(name), qPrintable(name));
                w.repaint();
            }
        }
    }

    void applyingSetsPaletteAndSheet_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QColor>("window");
        QTest::addColumn<bool>("hasSheet");
        QTest::newRow("Dark") << "Dark" << QColor(53, 53, 53) << true;
        QTest::newRow("Rose after Dark drops the dark sheet") << "Rose" << QColor(231, 27, 100) << false;
        QTest::newRow("Dark again") << "Dark" << QColor(53, 53, 53) << true;
        QTest::newRow("Fusion after Dark") << "Fusion" << QColor() << false;
    }

    void applyingSetsPaletteAndSheet()
    {
        QFETCH(QString, name);
        QFETCH(QColor, window);
        QFETCH(bool, hasSheet);
        QFont font = QApplication::font();
        font.setPointSize(13);
        QApplication::setFont(font);
        QVERIFY(Ink::applyStyle(name));
        QCOMPARE(QApplication::font().pointSize(), 13); // the application font is kept
        QCOMPARE(!qApp->styleSheet().isEmpty(), hasSheet);
        if (window.isValid())
            QCOMPARE(QApplication::palette().color(QPalette::Window).name(),
                     QPalette(window).color(QPalette::Window).name());
        else
            QCOMPARE(QApplication::palette().color(QPalette::Window), QApplication::style()->standardPalette().color(QPalette::Window));
    }
};

QTEST_MAIN(TestStyles)
#include "tst_styles.moc"
