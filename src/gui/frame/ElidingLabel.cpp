#include "frame/ElidingLabel.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

namespace {
const QString kEllipsis = QStringLiteral("…");
}

QSize ElidingLabel::minimumSizeHint() const
{
    // The frame, margins and padding stay; of the text, two characters and the ellipsis.
    QSize size = QLabel::minimumSizeHint();
    const QFontMetrics metrics = fontMetrics();
    const int least = metrics.horizontalAdvance(text().left(2) + kEllipsis);
    size.setWidth(size.width() - qMax(0, metrics.horizontalAdvance(text()) - least));
    return size;
}

bool ElidingLabel::isElided() const
{
    return fontMetrics().horizontalAdvance(text()) > contentsRect().width() - 2 * margin();
}

void ElidingLabel::paintEvent(QPaintEvent *event)
{
    if (!isElided()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    drawFrame(&painter);
    const QRect room = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    style()->drawItemText(&painter, room, QStyle::visualAlignment(layoutDirection(), alignment()), palette(),
                          isEnabled(), fontMetrics().elidedText(text(), Qt::ElideRight, room.width()),
                          foregroundRole());
}

bool ElidingLabel::event(QEvent *event)
{
    // The whole text over a shortened one, unless a tool tip of its own was given.
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty() && isElided()) {
        QToolTip::showText(static_cast<QHelpEvent *>(event)->globalPos(), text(), this);
        return true;
    }
    return QLabel::event(event);
}
