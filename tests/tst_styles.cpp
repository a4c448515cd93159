// Colour styles by name: class, palette, style sheet, fallback to Qt's factory.
#include "ui/Styles.h"

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
        QVERIFY(qobject_cast<ColourStyle *>(style.data()));
        const QPalette pal = style->standardPalette();
        QCOMPARE(pal.color(QPalette::Active, QPalette::Button), button);
        QCOMPARE(pal.color(QPalette::Inactive, QPalette::Button), button);
        QCOMPARE(Ink::styleSheetOf(style.data()).isEmpty(), !hasSheet);
        if (name != QLatin1String("Dark")) {
            for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
                QCOMPARE(pal.color(group, QPalette::Base), QColor(239, 239, 247));
                QCOMPARE(pal.color(group, QPalette::AlternateBase), QColor(223, 223, 239));
            }
            QCOMPARE(pal.color(QPalette::Active, QPalette::Highlight), QColor(95, 95, 191));
            QCOMPARE(pal.color(QPalette::Disabled, QPalette::Highlight), QColor(Qt::darkGray));
        }
    }

    void darkPalette_data()
    {
        QTest::addColumn<int>("group");
        QTest::addColumn<int>("role");
        QTest::addColumn<QColor>("color");
        QTest::newRow("window") << int(QPalette::Active) << int(QPalette::Window) << QColor(53, 53, 53);
        QTest::newRow("text") << int(QPalette::Active) << int(QPalette::Text) << QColor(Qt::white);
        QTest::newRow("disabled text") << int(QPalette::Disabled) << int(QPalette::Text) << QColor(127, 127, 127);
        QTest::newRow("base") << int(QPalette::Inactive) << int(QPalette::Base) << QColor(42, 42, 42);
        QTest::newRow("alternate") << int(QPalette::Active) << int(QPalette::AlternateBase) << QColor(66, 66, 66);
        QTest::newRow("dark") << int(QPalette::Active) << int(QPalette::Dark) << QColor(35, 35, 35);
        QTest::newRow("shadow") << int(QPalette::Active) << int(QPalette::Shadow) << QColor(20, 20, 20);
        QTest::newRow("link") << int(QPalette::Active) << int(QPalette::Link) << QColor(42, 130, 218);
        QTest::newRow("highlight") << int(QPalette::Active) << int(QPalette::Highlight) << QColor(42, 130, 218);
        QTest::newRow("disabled highlight") << int(QPalette::Disabled) << int(QPalette::Highlight)
                                            << QColor(80, 80, 80);
        QTest::newRow("disabled highlighted text")
            << int(QPalette::Disabled) << int(QPalette::HighlightedText) << QColor(127, 127, 127);
    }

    void darkPalette()
    {
        QFETCH(int, group);
        QFETCH(int, role);
        QFETCH(QColor, color);
        DarkStyle style;
        QCOMPARE(style.standardPalette().color(QPalette::ColorGroup(group), QPalette::ColorRole(role)), color);
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
        QVERIFY(Ink::applyStyle(name));
        QCOMPARE(!qApp->styleSheet().isEmpty(), hasSheet);
        if (window.isValid())
            QCOMPARE(QApplication::palette().color(QPalette::Window).name(),
                     QPalette(window).color(QPalette::Window).name());
        else
            QCOMPARE(QApplication::palette().color(QPalette::Window), QApplication::style()->standardPalette().color(QPalette::Window));
    }

    void applyingKeepsTheApplicationFont()
    {
        QFont font = QApplication::font();
        font.setPointSize(13);
        QApplication::setFont(font);
        QVERIFY(Ink::applyStyle(QStringLiteral("SeaGreen")));
        QCOMPARE(QApplication::font().pointSize(), 13);
    }
};

QTEST_MAIN(TestStyles)
#include "tst_styles.moc"
