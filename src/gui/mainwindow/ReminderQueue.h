#pragma once

#include "params/Reminders.h"

#include <QObject>
#include <QPointer>
#include <QSet>

class Toast;

// The reminders of a run, one notice at a time: each reminder is shown at most once per run,
// the next one only after the notice before it is gone. Every notice carries 不再提醒, which is
// kept in the parameters; its other links (the settings it talks about) are passed on. No notice
// sits over a modal dialog: it waits until none is open, and one on screen when a modal dialog
// opens goes back to the head of the queue.
class ReminderQueue : public QObject
{
    Q_OBJECT
public:
    explicit ReminderQueue(QObject *parent = nullptr);

    // Queues the due reminders not yet shown in this run; shows the first when none is on screen.
    void offer(const QList<Reminder> &due);
    Toast *current() const { return m_toast; }
    int waiting() const { return m_waiting.size(); }
    int displayMs = 10000;

signals:
    void linkActivated(const QString &link);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showNext();
    void onLink(const QString &link);
    void checkModal();
    void watchWindows();

    QList<Reminder> m_waiting;
    Reminder m_current;
    bool m_watching = false;
    bool m_checkPosted = false;
    QSet<QString> m_seen;
    QString m_currentKey;
    QPointer<Toast> m_toast;
};
