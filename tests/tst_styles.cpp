// Colour styles applied by name: palette and sheet replaced, font kept, unknown names refused.
#include "TestProfile.h"

#include "frame/GlyphIcon.h"
#include "frame/Styles.h"

#include <QApplication>
#include <QtTest>

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
            if (colours.contains(name)) // disabled text told apart
                QVERIFY(QApplication::palette().color(QPalette::Disabled, QPalette::Text) !=
                        QApplication::palette().color(QPalette::Active, QPalette::Text));
        }
    }

    // The format bar's icons are made once at start; after a switch they must be drawn in the new
    // style's colour (dark glyphs on the dark style's dark buttons could not be seen).
    void formatIconsFollowTheStyle()
    {
        const QIcon icons[] = {glyphIcon(QStringLiteral("B"), QApplication::font(), true), alignIcon(Qt::AlignLeft)};
        for (const QString &name : {QStringLiteral("Dark"), QStringLiteral("Rose"), QStringLiteral("Dark")}) {
            QVERIFY(Ink::applyStyle(name));
            const QRgb ink = QApplication::palette().color(QPalette::ButtonText).rgb();
            for (const QIcon &icon : icons) {
                const QImage image = icon.pixmap(32).toImage().convertToFormat(QImage::Format_ARGB32);
                bool found = false;
                for (int y = 0; y < image.height() && !found; ++y)
                    for (int x = 0; x < image.width() && !found; ++x)
                        found = image.pixel(x, y) == ink;
                QVERIFY2(found, qPrintable(name + QStringLiteral(": no pixel in ") + QColor(ink).name()));
            }
        }
    }

private:
    TestProfile m_profile;
};

QTEST_MAIN(TestStyles)
#include "tst_styles.moc"
