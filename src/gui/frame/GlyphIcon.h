#pragma once

#include <QIcon>

class QColor;
class QFont;

// Icons drawn from a glyph: crisp at any scale, readable without an icon theme, and drawn in the
// colour style of the moment.
QIcon glyphIcon(const QString &glyph, const QFont &base, bool bold = false, bool italic = false,
                bool underline = false, bool strike = false);
// Four lines aligned like a paragraph with this alignment.
QIcon alignIcon(Qt::Alignment align);
// Four corner brackets: the full-screen switch. The style's own title-bar icon is dark on every
// palette and vanished on the dark style's tool bar.
QIcon fullScreenIcon();
// The tool bar's overflow control: two chevrons pointing where the hidden buttons are, legible on
// the bar. Drawn when painted, so a change of style that keeps the tool bar recolours it too.
QIcon overflowIcon(Qt::Orientation orientation);
// A framed square of the colour (text and background colour actions).
QIcon colorIcon(const QColor &color);
