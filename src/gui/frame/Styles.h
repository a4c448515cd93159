#pragma once

#include <QPalette>
#include <QProxyStyle>

// The colour styles the author can choose. Each proxy owns its own base style
// (a proxy deletes its base), so styles can be created and replaced any number
// of times.
class ColourStyle : public QProxyStyle
{
    Q_OBJECT
public:
    // Resource holding the style's sheet; it may not exist (the palette alone applies then).
    virtual QString styleSheetResource() const = 0;
    virtual QString skinName() const = 0;
    // The tool bar's overflow arrows are drawn in the palette's text colour: the stock ones are
    // dark pictures that vanish on a dark or saturated bar.
    QIcon standardIcon(StandardPixmap icon, const QStyleOption *option = nullptr,
                       const QWidget *widget = nullptr) const override;

protected:
    ColourStyle();
};

// Palette made from one button colour with the light list colours of the family.
class TintedStyle : public ColourStyle
{
    Q_OBJECT
public:
    QPalette standardPalette() const override;

protected:
    explicit TintedStyle(const QColor &button);

private:
    QColor m_button;
};

class DarkStyle final : public ColourStyle
{
    Q_OBJECT
public:
    DarkStyle();
    QPalette standardPalette() const override;
    QString styleSheetResource() const override { return QStringLiteral(":/darkstyle/darkstyle.qss"); }
    QString skinName() const override { return QStringLiteral("Dark"); }
};

class GrayStyle final : public TintedStyle
{
    Q_OBJECT
public:
    GrayStyle() : TintedStyle(QColor(190, 190, 190)) {}
    QString styleSheetResource() const override { return QStringLiteral(":/GrayStyle/DarkStyle.qss"); }
    QString skinName() const override { return QStringLiteral("Gray"); }
};

class LuxuryGoldStyle final : public TintedStyle
{
    Q_OBJECT
public:
    LuxuryGoldStyle() : TintedStyle(QColor(232, 208, 184)) {}
    QString styleSheetResource() const override { return QStringLiteral(":/LuxuryGoldStyle/DarkStyle.qss"); }
    QString skinName() const override { return QStringLiteral("LuxuryGold"); }
};

class BronzeStyle final : public TintedStyle
{
    Q_OBJECT
public:
    BronzeStyle() : TintedStyle(QColor(207, 155, 95)) {}
    QString styleSheetResource() const override { return QStringLiteral(":/BronzeStyle/DarkStyle.qss"); }
    QString skinName() const override { return QStringLiteral("Bronze"); }
};

class RoseStyle final : public TintedStyle
{
    Q_OBJECT
public:
    RoseStyle() : TintedStyle(QColor(231, 27, 100)) {}
    QString styleSheetResource() const override { return QStringLiteral(":/RoseStyle/DarkStyle.qss"); }
    QString skinName() const override { return QStringLiteral("Rose"); }
};

class CoralStyle final : public TintedStyle
{
    Q_OBJECT
public:
    CoralStyle() : TintedStyle(QColor(255, 114, 86)) {}
    QString styleSheetResource() const override { return QStringLiteral(":/CoralStyle/DarkStyle.qss"); }
    QString skinName() const override { return QStringLiteral("Coral"); }
};

class SeaGreenStyle final : public TintedStyle
{
    Q_OBJECT
public:
    SeaGreenStyle() : TintedStyle(QColor(143, 188, 143)) {}
    QString styleSheetResource() const override { return QStringLiteral(":/SeaGreenStyle/DarkStyle.qss"); }
    QString skinName() const override { return QStringLiteral("SeaGreen"); }
};

class GeneralStyle final : public TintedStyle
{
    Q_OBJECT
public:
    GeneralStyle() : TintedStyle(QColor(240, 240, 240)) {}
    QString styleSheetResource() const override { return QStringLiteral(":/GeneralStyle/DarkStyle.qss"); }
    QString skinName() const override { return QStringLiteral("General"); }
};


namespace Ink {

// Names of the program's own colour styles.
QStringList colourStyleNames();
// A new style for `name`: one of the colour styles, else whatever the Qt style
// factory makes of the name; null when neither knows it. The caller owns it.
QStyle *createStyle(const QString &name);
// Makes `name` the application's style with its palette and style sheet (cleared
// when the style has none). An unknown and unavailable name changes nothing and
// returns false.
bool applyStyle(const QString &name);
// The style sheet text of a colour style's resource, empty when it has none.
QString styleSheetOf(const QStyle *style);
// Contrast of two colours by the WCAG formula, 1 to 21.
double contrastRatio(const QColor &a, const QColor &b);
// `fg` when it reads well on `bg`, else the colour nearest to it (towards black or white) that does.
QColor legibleOn(const QColor &fg, const QColor &bg);
// Every text role of every group made legible on the background it is drawn on (text, links,
// disabled text, selected items, tool tips); applyStyle passes every palette through it.
void makeLegible(QPalette &palette);

} // namespace Ink
