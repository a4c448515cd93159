#include "mainwindow/ReminderQueue.h"

#include "app/Exception.h"
#include "frame/Toast.h"
#include "log/Log.h"

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
    if (m_toast || m_waiting.isEmpty())
        return;
    const Reminder r = m_waiting.takeFirst();
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
