#pragma once

#include <QObject>
#include <QTimer>

// Text cursors blink only while the author works: after idleMs without a key, an input-method
// commit or a mouse press anywhere in the program the cursor stays on, steady, so an idle window
// does not wake twice a second; the next input restores the blinking. Qt's text widgets follow
// the application's flash time as it changes.
class CursorBlink final : public QObject
{
    Q_OBJECT
public:
    static constexpr int kIdleMs = 10000;
    explicit CursorBlink(QObject *parent = nullptr, int idleMs = kIdleMs);
    ~CursorBlink() override;

    bool steady() const { return m_flashTime > 0; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void stopBlinking();

    QTimer m_idle;
    // The flash time put aside while the cursor is steady; 0 while it blinks.
    int m_flashTime = 0;
};
