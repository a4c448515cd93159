#include "frame/Styles.h"
#include "frame/GlyphIcon.h"

#include <QApplication>
#include <QFile>
#include <QFont>
#include <QStyleOption>
#include <QToolBar>
#include <QToolButton>
#include <QWidget>
#include <QStyleFactory>

#include <cmath>

ColourStyle::ColourStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

QIcon ColourStyle::standardIcon(StandardPixmap icon, const QStyleOption *option, const QWidget *widget) const
{
    if (icon == SP_ToolBarHorizontalExtensionButton)
        return overflowIcon(Qt::Horizontal);
    if (icon == SP_ToolBarVerticalExtensionButton)
        return overflowIcon(Qt::Vertical);
    return QProxyStyle::standardIcon(icon, option, widget);
}

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
    // Lighter than the classic dark palette's greys and blues: text must read at 4.5:1 or better.
    const QColor disabledText(160, 160, 160);
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
    pal.setColor(QPalette::Link, QColor(100, 170, 255));
    pal.setColor(QPalette::LinkVisited, QColor(190, 150, 255));
    pal.setColor(QPalette::Highlight, QColor(38, 110, 190));
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

namespace {

// WCAG asks 4.5:1 of normal text; a little more keeps rounding and antialiasing on the safe side.
constexpr double kLegible = 4.6;

double channel(int v)
{
    const double c = v / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(const QColor &c)
{
    const QColor rgb = c.toRgb();
    return 0.2126 * channel(rgb.red()) + 0.7152 * channel(rgb.green()) + 0.0722 * channel(rgb.blue());
}

QColor blend(const QColor &from, const QColor &to, double t)
{
    auto mix = [t](int a, int b) { return qRound(a + (b - a) * t); };
    return QColor(mix(from.red(), to.red()), mix(from.green(), to.green()), mix(from.blue(), to.blue()));
}

} // namespace

double contrastRatio(const QColor &a, const QColor &b)
{
    const double la = luminance(a), lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

QColor legibleOn(const QColor &fg, const QColor &bg)
{
    if (contrastRatio(fg, bg) >= kLegible)
        return fg;
    const QColor black(Qt::black), white(Qt::white);
    for (int step = 1; step <= 40; ++step) {
        const double t = step / 40.0;
        for (const QColor &target : {black, white}) {
            const QColor c = blend(fg.toRgb(), target, t);
            if (contrastRatio(c, bg) >= kLegible)
                return c;
        }
    }
    return contrastRatio(black, bg) >= contrastRatio(white, bg) ? black : white;
}

void makeLegible(QPalette &palette)
{
    using P = QPalette;
    const QList<QPair<P::ColorRole, P::ColorRole>> pairs = {
        {P::Text, P::Base},           {P::WindowText, P::Window},      {P::ButtonText, P::Button},
        {P::HighlightedText, P::Highlight}, {P::ToolTipText, P::ToolTipBase}, {P::PlaceholderText, P::Base},
        {P::Link, P::Base},           {P::Link, P::Window},            {P::LinkVisited, P::Base},
        {P::LinkVisited, P::Window}};
    for (const P::ColorGroup group : {P::Active, P::Inactive, P::Disabled}) {
        // Links are read on both grounds: a second round settles what the first moved.
        for (int round = 0; round < 2; ++round)
            for (const auto &pair : pairs)
                palette.setColor(group, pair.first,
                                 legibleOn(palette.color(group, pair.first), palette.color(group, pair.second)));
    }
}

bool applyStyle(const QString &name)
{
    QStyle *style = createStyle(name);
    if (!style)
        return false;
    const QString sheet = styleSheetOf(style);
    QPalette palette = style->standardPalette();
    makeLegible(palette);
    const QFont font = QApplication::font();
    // Drop the old sheet first, so the new style is not wrapped for a sheet about to go.
    qApp->setStyleSheet(QString());
    QApplication::setStyle(style); // the application owns it and deletes the previous one
    QApplication::setPalette(palette);
    QApplication::setFont(font);
    // A style without a sheet must not keep the previous style's sheet (dark rules over a light palette).
    qApp->setStyleSheet(sheet);
    // A tool bar takes its overflow arrows from the style once, when it is made: arrows of the
    // previous style (dark pictures) would stay on a dark bar.
    for (QWidget *top : QApplication::topLevelWidgets())
        for (QToolBar *bar : top->findChildren<QToolBar *>())
            for (QToolButton *ext : bar->findChildren<QToolButton *>(QStringLiteral("qt_toolbar_ext_button"),
                                                                     Qt::FindDirectChildrenOnly))
                ext->setIcon(ext->style()->standardIcon(bar->orientation() == Qt::Horizontal
                                                            ? QStyle::SP_ToolBarHorizontalExtensionButton
                                                            : QStyle::SP_ToolBarVerticalExtensionButton,
                                                        nullptr, ext));
    return true;
}

} // namespace Ink
