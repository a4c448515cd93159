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

class DarkStyle : public ColourStyle
{
    Q_OBJECT
public:
    DarkStyle();
    QPalette standardPalette() const override;
    QString styleSheetResource() const override { return QStringLiteral(":/darkstyle/darkstyle.qss"); }
    QString skinName() const override { return QStringLiteral("Dark"); }
};

#define INKBOAT_TINTED_STYLE(Class, Name, R, G, B)                                                                  \
    class Class : public TintedStyle                                                                               \
    {                                                                                                              \
    public:                                                                                                        \
        Class() : TintedStyle(QColor(R, G, B)) {}                                                                  \
        QString styleSheetResource() const override { return QStringLiteral(":/" #Class "/DarkStyle.qss"); }        \
        QString skinName() const override { return QStringLiteral(Name); }                                         \
    };

INKBOAT_TINTED_STYLE(GrayStyle, "Gray", 190, 190, 190)
INKBOAT_TINTED_STYLE(LuxuryGoldStyle, "LuxuryGold", 232, 208, 184)
INKBOAT_TINTED_STYLE(BronzeStyle, "Bronze", 207, 155, 95)
INKBOAT_TINTED_STYLE(RoseStyle, "Rose", 231, 27, 100)
INKBOAT_TINTED_STYLE(CoralStyle, "Coral", 255, 114, 86)
INKBOAT_TINTED_STYLE(SeaGreenStyle, "SeaGreen", 143, 188, 143)
INKBOAT_TINTED_STYLE(GeneralStyle, "General", 240, 240, 240)

#undef INKBOAT_TINTED_STYLE

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

} // namespace Ink
