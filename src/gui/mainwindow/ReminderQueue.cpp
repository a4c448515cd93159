#include "mainwindow/ReminderQueue.h"

#include "app/Exception.h"
#include "frame/Toast.h"
#include "log/Log.h"

#include <QApplication>
#include <QLabel>
#include <QTimer>

namespace {
const QString kSilence = QStringLiteral("silence:");
}

ReminderQueue::ReminderQueue(QObject *parent) : QObject(parent) {}

void ReminderQueue::offer(const QList<Reminder> &due)
{
    for (const Reminder &r : due) {
        if (m_seen.contains(r.key))
            continue;
        m_seen.insert(r.key);
        m_waiting.append(r);
    }
    if (!m_toast)
        showNext();
}

void ReminderQueue::showNext()
{
    watchWindows();
    if (m_toast || m_waiting.isEmpty() || QApplication::activeModalWidget())
        return;
    const Reminder r = m_waiting.takeFirst();
    m_current = r;
    m_currentKey = r.key;
    try {
        ReminderMemory memory = ReminderMemory::load();
        memory.lastShown.insert(r.key, QDateTime::currentDateTime());
        memory.save();
    } catch (const Exception &e) {
        logException(e); // shown anyway; it may come again sooner than it should
    }
    m_toast = Toast::showTip(QStringLiteral("%1　<a href = '%2%3'>[不再提醒]</a>").arg(r.html, kSilence, r.key), nullptr,
                             displayMs, Qt::AlignBottom);
    connect(m_toast, &Toast::linkActivated, this, &ReminderQueue::onLink);
    // The next one after this one is gone, from the event loop (not inside the toast's deletion).
    connect(m_toast, &QObject::destroyed, this, [this] { QTimer::singleShot(0, this, &ReminderQueue::showNext); });
    watchWindows();
}

// Windows are watched only while a reminder is shown or waiting, so an idle run pays nothing.
void ReminderQueue::watchWindows()
{
    const bool watch = m_toast || !m_waiting.isEmpty();
    if (watch == m_watching || !qApp)
        return;
    m_watching = watch;
    if (watch)
        qApp->installEventFilter(this);
    else
        qApp->removeEventFilter(this);
}

bool ReminderQueue::eventFilter(QObject *watched, QEvent *event)
{
    // A modal dialog's state is settled only after its show or hide has run: check from the loop,
    // once for a burst of windows.
    if ((event->type() == QEvent::Show || event->type() == QEvent::Hide) && watched != m_toast &&
        watched->isWidgetType() && static_cast<QWidget *>(watched)->isWindow() && !m_checkPosted) {
        m_checkPosted = true;
        QTimer::singleShot(0, this, &ReminderQueue::checkModal);
    }
    return false;
}

void ReminderQueue::checkModal()
{
    m_checkPosted = false;
    if (!QApplication::activeModalWidget()) {
        showNext();
        return;
    }
    if (m_toast) {
        m_waiting.prepend(m_current);
        m_toast->close();
    }
}

void ReminderQueue::onLink(const QString &link)
{
    if (!link.startsWith(kSilence)) {
        emit linkActivated(link);
        return;
    }
    const QString key = link.mid(kSilence.size());
    try {
        ReminderMemory memory = ReminderMemory::load();
        memory.silenced.insert(key);
        memory.save();
    } catch (const Exception &e) {
        logException(e);
    }
    if (m_toast && key == m_currentKey)
        m_toast->close();
}
