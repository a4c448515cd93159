#pragma once

#include <QPoint>
#include <QWidget>

class QLabel;
class QPushButton;

// A simple title bar with minimize, maximize/restore and close buttons for any
// frameless top-level window. Pressing on it lets the window manager move the window.
class TitleBar final : public QWidget
{
    Q_OBJECT
public:
    explicit TitleBar(QWidget *parent = nullptr);

    QPushButton *minimizeButton() const { return m_minimize; }
    QPushButton *maximizeButton() const { return m_maximize; }
    QPushButton *closeButton() const { return m_close; }
    void setTitle(const QString &text);

public slots:
    void onClicked();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    void updateMaximize();

    QLabel *m_title;
    QPushButton *m_minimize;
    QPushButton *m_maximize;
    QPushButton *m_close;
    QPoint m_pressGlobal;
    QPoint m_windowStart;
    bool m_manualMove = false;
};
