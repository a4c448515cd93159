#include "frame/Styles.h"

#include <QApplication>
#include <QFile>
#include <QFont>
#include <QStyleFactory>

ColourStyle::ColourStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

TintedStyle::TintedStyle(const QColor &button) : m_button(button) {}

QPalette TintedStyle::standardPalette() const
{
    QPalette pal(m_button);
    pal.setColor(QPalette::Base, QColor(239, 239, 247));
    pal.setColor(QPalette::AlternateBase, QColor(223, 223, 239));
    pal.setColor(QPalette::Highlight, QColor(95, 95, 191));
    pal.setColor(QPalette::Disabled, QPalette::Highlight, Qt::darkGray);
    return pal;
}

DarkStyle::DarkStyle() = default;

QPalette DarkStyle::standardPalette() const
{
    QPalette pal;
    const QColor disabledText(127, 127, 127);
    pal.setColor(QPalette::Window, QColor(53, 53, 53));
    pal.setColor(QPalette::WindowText, Qt::white);
    pal.setColor(QPalette::Disabled, QPalette::WindowText, disabledText);
    pal.setColor(QPalette::Base, QColor(42, 42, 42));
    pal.setColor(QPalette::AlternateBase, QColor(66, 66, 66));
    pal.setColor(QPalette::ToolTipBase, QColor(42, 42, 42));
    pal.setColor(QPalette::ToolTipText, Qt::white);
    pal.setColor(QPalette::Dark, QColor(35, 35, 35));
    pal.setColor(QPalette::Shadow, QColor(20, 20, 20));
    pal.setColor(QPalette::Button, QColor(53, 53, 53));
    pal.setColor(QPalette::Text, Qt::white);
    pal.setColor(QPalette::Disabled, QPalette::Text, disabledText);
    pal.setColor(QPalette::ButtonText, Qt::white);
    pal.setColor(QPalette::Disabled, QPalette::ButtonText, disabledText);
    pal.setColor(QPalette::BrightText, Qt::red);
    pal.setColor(QPalette::Link, QColor(42, 130, 218));
    pal.setColor(QPalette::Highlight, QColor(42, 130, 218));
    pal.setColor(QPalette::Disabled, QPalette::Highlight, QColor(80, 80, 80));
    pal.setColor(QPalette::HighlightedText, Qt::white);
    pal.setColor(QPalette::Disabled, QPalette::HighlightedText, disabledText);
    return pal;
}

namespace Ink {

QStringList colourStyleNames()
{
    return {QStringLiteral("Dark"),    QStringLiteral("Gray"),  QStringLiteral("LuxuryGold"),
            QStringLiteral("Bronze"),  QStringLiteral("Rose"),  QStringLiteral("Coral"),
            QStringLiteral("SeaGreen"), QStringLiteral("General")};
}

QStyle *createStyle(const QString &name)
{
    if (name == QLatin1String("Dark"))
        return new DarkStyle;
    if (name == QLatin1String("Gray"))
        return new GrayStyle;
    if (name == QLatin1String("LuxuryGold"))
        return new LuxuryGoldStyle;
    if (name == QLatin1String("Bronze"))
        return new BronzeStyle;
    if (name == QLatin1String("Rose"))
        return new RoseStyle;
    if (name == QLatin1String("Coral"))
        return new CoralStyle;
    if (name == QLatin1String("SeaGreen"))
        return new SeaGreenStyle;
    if (name == QLatin1String("General"))
        return new GeneralStyle;
    return name.isEmpty() ? nullptr : QStyleFactory::create(name);
}

QString styleSheetOf(const QStyle *style)
{
    const auto *colour = qobject_cast<const ColourStyle *>(style);
    if (!colour)
        return QString();
    QFile file(colour->styleSheetResource());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    return QString::fromUtf8(file.readAll());
}

bool applyStyle(const QString &name)
{
    QStyle *style = createStyle(name);
    if (!style)
        return false;
    const QString sheet = styleSheetOf(style);
    const QPalette palette = style->standardPalette();
    const QFont font = QApplication::font();
    // Drop the old sheet first, so the new style is not wrapped for a sheet about to go.
    qApp->setStyleSheet(QString());
    QApplication::setStyle(style); // the application owns it and deletes the previous one
    QApplication::setPalette(palette);
    QApplication::setFont(font);
    // A style without a sheet must not keep the previous style's sheet (dark rules over a light palette).
    qApp->setStyleSheet(sheet);
    return true;
}

} // namespace Ink
