#include "book/CursorBlink.h"

#include <QApplication>
#include <QEvent>

CursorBlink::CursorBlink(QObject *parent, int idleMs) : QObject(parent)
{
    m_idle.setSingleShot(true);
    m_idle.setInterval(idleMs);
    connect(&m_idle, &QTimer::timeout, this, &CursorBlink::stopBlinking);
    qApp->installEventFilter(this);
    m_idle.start();
}

CursorBlink::~CursorBlink()
{
    if (m_flashTime > 0)
        QApplication::setCursorFlashTime(m_flashTime);
}

void CursorBlink::stopBlinking()
{
    const int flashTime = QApplication::cursorFlashTime();
    if (flashTime <= 0)
        return; // blinking is off in the desktop's settings: nothing to restore later
    m_flashTime = flashTime;
    QApplication::setCursorFlashTime(0);
}

bool CursorBlink::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::InputMethod:
    case QEvent::MouseButtonPress:
        if (m_flashTime > 0) {
            QApplication::setCursorFlashTime(m_flashTime);
            m_flashTime = 0;
        }
        m_idle.start();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
