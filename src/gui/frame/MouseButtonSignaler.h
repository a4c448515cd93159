#pragma once

#include <QObject>

class QMouseEvent;
class QWidget;

// Re-emits the mouse button events of the widgets it watches.
class MouseButtonSignaler final : public QObject
{
    Q_OBJECT
public:
    explicit MouseButtonSignaler(QObject *parent = nullptr);

    void installOn(QWidget *widget);

signals:
    void mouseButtonEvent(QWidget *widget, QMouseEvent *event);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};
