#include "frame/GlyphIcon.h"
#include "frame/Styles.h"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPalette>

#include <functional>

namespace {

// Draws at the size asked for in the palette's colour of the moment: the icons follow a change of
// colour style, which replaces the application's palette, without being made again.
class PaletteIconEngine final : public QIconEngine
{
public:
    using Draw = std::function<void(QPainter &, const QRect &, const QColor &)>;

    explicit PaletteIconEngine(Draw draw) : m_draw(std::move(draw)) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State) override
    {
        const QPalette::ColorGroup group = mode == QIcon::Disabled ? QPalette::Disabled : QPalette::Active;
        painter->save();
        m_draw(*painter, rect, QApplication::palette().color(group, QPalette::ButtonText));
        painter->restore();
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        QPixmap pm(size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        paint(&p, QRect(QPoint(), size), mode, state);
        return pm;
    }

    QIconEngine *clone() const override { return new PaletteIconEngine(m_draw); }

private:
    Draw m_draw;
};

} // namespace

QIcon glyphIcon(const QString &glyph, const QFont &base, bool bold, bool italic, bool underline, bool strike)
{
    QFont f = base;
    f.setBold(bold);
    f.setItalic(italic);
    f.setUnderline(underline);
    f.setStrikeOut(strike);
    return QIcon(new PaletteIconEngine([glyph, f](QPainter &p, const QRect &rect, const QColor &colour) mutable {
        p.setRenderHint(QPainter::TextAntialiasing);
        f.setPixelSize(qMax(1, qMin(rect.width(), rect.height()) * 3 / 4));
        p.setFont(f);
        p.setPen(colour);
        p.drawText(rect, Qt::AlignCenter, glyph);
    }));
}

QIcon overflowIcon(Qt::Orientation orientation)
{
    return QIcon(new PaletteIconEngine([orientation](QPainter &p, const QRect &rect, const QColor &text) {
        const QColor colour = Ink::legibleOn(text, QApplication::palette().color(QPalette::Window));
        const int size = qMin(rect.width(), rect.height());
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(colour, qMax(1.5, size / 8.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        const QPointF origin = rect.topLeft() + QPointF((rect.width() - size) / 2.0, (rect.height() - size) / 2.0);
        for (int k = 0; k < 2; ++k) {
            const double o = size * (0.2 + 0.3 * k);
            QPolygonF chevron;
            chevron << QPointF(o, size * 0.25) << QPointF(o + size * 0.25, size * 0.5) << QPointF(o, size * 0.75);
            for (QPointF &pt : chevron)
                pt = origin + (orientation == Qt::Horizontal ? pt : QPointF(pt.y(), pt.x()));
            p.drawPolyline(chevron);
        }
    }));
}

QIcon fullScreenIcon()
{
    return QIcon(new PaletteIconEngine([](QPainter &p, const QRect &rect, const QColor &colour) {
        const int size = qMin(rect.width(), rect.height());
        const int m = size / 6;
        const int arm = size / 4;
        const int line = qMax(1, size / 10);
        const QRect box(rect.center().x() - size / 2 + m, rect.center().y() - size / 2 + m, size - 2 * m, size - 2 * m);
        for (const QPoint &corner : {box.topLeft(), box.topRight(), box.bottomLeft(), box.bottomRight()}) {
            const int dx = corner.x() == box.left() ? 0 : -arm + 1;
            const int dy = corner.y() == box.top() ? 0 : -arm + 1;
            const int ex = corner.x() == box.left() ? 0 : -line + 1;
            const int ey = corner.y() == box.top() ? 0 : -line + 1;
            p.fillRect(QRect(corner.x() + dx, corner.y() + ey, arm, line), colour);
            p.fillRect(QRect(corner.x() + ex, corner.y() + dy, line, arm), colour);
        }
    }));
}

QIcon alignIcon(Qt::Alignment align)
{
    return QIcon(new PaletteIconEngine([align](QPainter &p, const QRect &rect, const QColor &colour) {
        const int size = qMin(rect.width(), rect.height());
        const int m = size / 8;
        const int w = size - 2 * m;
        const int line = qMax(1, size / 10);
        const QPoint origin = rect.topLeft() + QPoint((rect.width() - size) / 2, (rect.height() - size) / 2);
        for (int i = 0; i < 4; ++i) {
            const int len = (align & Qt::AlignJustify) || i % 2 == 0 ? w : w * 3 / 5;
            int x = m;
            if (align & Qt::AlignHCenter)
                x = m + (w - len) / 2;
            else if (align & Qt::AlignRight)
                x = m + w - len;
            p.fillRect(QRect(origin + QPoint(x, m + i * (w / 4) + line / 2), QSize(len, line)), colour);
        }
    }));
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
