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
// A framed square of the colour (text and background colour actions).
QIcon colorIcon(const QColor &color);
