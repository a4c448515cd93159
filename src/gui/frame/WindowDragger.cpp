#include "frame/WindowDragger.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOption>
#include <QWindow>

bool startSystemMoveOf(QWidget *widget)
{
    QWidget *top = widget ? widget->window() : nullptr;
    if (!top || !top->windowHandle())
        return false;
    return top->windowHandle()->startSystemMove();
}

WindowDragger::WindowDragger(QWidget *parent) : QWidget(parent) {}

void WindowDragger::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_pressed = true;
    m_dragging = false;
    m_pressGlobal = event->globalPos();
    m_windowStart = window()->pos();
    event->accept();
}

void WindowDragger::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_pressed || !(event->buttons() & Qt::LeftButton)) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    QWidget *top = window();
    if (top->isMaximized() || top->isFullScreen())
        return;
    if (!m_dragging) {
        // Start only after a real drag, so clicks and double clicks stay clicks.
        if ((event->globalPos() - m_pressGlobal).manhattanLength() < QApplication::startDragDistance())
            return;
        m_dragging = true;
        if (startSystemMoveOf(this)) {
            m_pressed = false;
            return;
        }
    }
    top->move(m_windowStart + event->globalPos() - m_pressGlobal);
}

void WindowDragger::mouseReleaseEvent(QMouseEvent *event)
{
    m_pressed = false;
    m_dragging = false;
    QWidget::mouseReleaseEvent(event);
}

void WindowDragger::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        m_pressed = false;
        emit doubleClicked();
        event->accept();
        return;
    }
    QWidget::mouseDoubleClickEvent(event);
}

void WindowDragger::paintEvent(QPaintEvent *)
{
    // A plain QWidget subclass draws no style-sheet background on its own.
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}
