#pragma once

#include <QPoint>
#include <QWidget>

// Title-bar area that moves its window. The window manager moves it where the
// platform allows (startSystemMove); otherwise the window follows the mouse.
class WindowDragger final : public QWidget
{
    Q_OBJECT
public:
    explicit WindowDragger(QWidget *parent = nullptr);

signals:
    void doubleClicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QPoint m_pressGlobal;
    QPoint m_windowStart;
    bool m_pressed = false;
    bool m_dragging = false;
};

// Starts a system move of the widget's window, else returns false (caller moves by hand).
bool startSystemMoveOf(QWidget *widget);
