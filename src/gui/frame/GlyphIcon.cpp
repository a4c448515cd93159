#include "frame/GlyphIcon.h"

#include <QApplication>
#include <QPainter>
#include <QPalette>

QIcon glyphIcon(const QString &glyph, const QFont &base, bool bold, bool italic, bool underline, bool strike)
{
    QIcon icon;
    for (int size : {16, 20, 32, 40}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::TextAntialiasing);
        QFont f = base;
        f.setPixelSize(size * 3 / 4);
        f.setBold(bold);
        f.setItalic(italic);
        f.setUnderline(underline);
        f.setStrikeOut(strike);
        p.setFont(f);
        p.setPen(QApplication::palette().color(QPalette::ButtonText));
        p.drawText(pm.rect(), Qt::AlignCenter, glyph);
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

QIcon alignIcon(Qt::Alignment align)
{
    QIcon icon;
    for (int size : {16, 20, 32, 40}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        const QColor c = QApplication::palette().color(QPalette::ButtonText);
        const int m = size / 8;
        const int w = size - 2 * m;
        const int line = qMax(1, size / 10);
        for (int i = 0; i < 4; ++i) {
            const int len = (align & Qt::AlignJustify) || i % 2 == 0 ? w : w * 3 / 5;
            int x = m;
            if (align & Qt::AlignHCenter)
                x = m + (w - len) / 2;
            else if (align & Qt::AlignRight)
                x = m + w - len;
            p.fillRect(x, m + i * (w / 4) + line / 2, len, line, c);
        }
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

QIcon colorIcon(const QColor &color)
{
    QPixmap pm(16, 16);
    pm.fill(color);
    QPainter p(&pm);
    p.setPen(QApplication::palette().color(QPalette::Mid));
    p.drawRect(0, 0, 15, 15);
    p.end();
    return QIcon(pm);
}
