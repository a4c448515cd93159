#pragma once

#include <QPointer>
#include <QPropertyAnimation>
#include <QWidget>

class QLabel;

// A short notice that fades in, stays for a while, fades out and deletes itself.
// Several live notices stack upward (five places, then the places repeat). A
// notice never takes the keyboard focus.
class Toast final : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kFadeMs = 1000;
    static constexpr int kStackPlaces = 5;

    explicit Toast(QWidget *parent = nullptr);
    ~Toast() override;

    // Creates and shows a notice. `placement` is Qt::AlignTop, Qt::AlignCenter or
    // (anything else) the bottom place; without `parent` the primary screen is the area.
    static Toast *showTip(const QString &text, QWidget *parent = nullptr, int timeMs = 3000,
                          int placement = Qt::AlignBottom);

    void setText(const QString &text);
    QString text() const;
    QLabel *label() const { return m_label; }
    int serial() const { return m_serial; }
    int placement() const { return m_placement; }
    // Shows the notice for `timeMs` at its place in `area` (global coordinates).
    void showFor(int timeMs, int placement);
    // Where a notice of `size` with `serial` goes in `area`.
    static QPoint placeIn(const QRect &area, const QSize &size, int placement, int serial);

    static int liveCount();
    static int currentSerial();

signals:
    void linkActivated(const QString &link);

public slots:
    void labelLinkActivated(const QString &link);

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void fadeOut();

    QLabel *m_label;
    int m_serial = 0;
    int m_placement = Qt::AlignBottom;
    QPointer<QPropertyAnimation> m_fadeIn;
    QPointer<QWidget> m_previousActive;
};
