#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

class SysParams;

// One reminder: its key (for 不再提醒 and the shown dates), its HTML text with the link to the
// setting it talks about ("SysOption", "SysUserRegister", "SysUserLogin").
struct Reminder {
    QString key;
    QString html;
};

// What the program keeps about its reminders in the parameter row "Reminders": those the author
// silenced with 不再提醒, and when each was last shown.
struct ReminderMemory {
    QSet<QString> silenced;
    QHash<QString, QDateTime> lastShown;

    QString toJson() const;
    static ReminderMemory fromJson(const QString &json);
    // Throws Exception when the database fails.
    static ReminderMemory load();
    void save() const;
};

// The reminders due now, in order. A setting left at a sound default is not nagged about: the
// backup folder the program chose (on the data's file system) is mentioned once ever; account
// and sync reminders come at most once a week; a silenced reminder never comes back.
// dataPath is the data folder, defaultBackupPath the backup folder the program chooses itself.
QList<Reminder> dueReminders(const SysParams &params, const QString &dataPath, const QString &defaultBackupPath,
                             const ReminderMemory &memory, const QDateTime &now);
