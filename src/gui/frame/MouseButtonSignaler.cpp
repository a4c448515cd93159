#include "frame/MouseButtonSignaler.h"

#include <QMouseEvent>
#include <QWidget>

MouseButtonSignaler::MouseButtonSignaler(QObject *parent) : QObject(parent) {}

void MouseButtonSignaler::installOn(QWidget *widget)
{
    if (widget)
        widget->installEventFilter(this);
}

bool MouseButtonSignaler::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
        if (watched->isWidgetType())
            emit mouseButtonEvent(static_cast<QWidget *>(watched), static_cast<QMouseEvent *>(event));
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
