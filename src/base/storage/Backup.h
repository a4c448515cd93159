#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>

#include <functional>

// "Inkboat_<yyyyMMdd>.<n>.sdb.bak"
QString backupFileName(const QDate &day, int n);
// g_SysParams.autoBackupDbPath in native separators with a trailing separator.
QString backupFolder();

// Makes one backup of the main file now: copy 1 of today, earlier copies of today move up one
// number (at most five per day). With closeConnection the connection is closed first and stays
// closed; otherwise SQLite itself writes the copy under the connection lock, because file I/O on
// the open file would drop SQLite's locks. Returns false (and logs why) when no copy was made;
// a failed copy leaves the earlier copies as they were.
bool backupDatabase(bool closeConnection);
bool backupDatabaseAt(bool closeConnection, const QDateTime &now);

// Clock of the backups (tests move it across midnight); null restores the real clock.
void setBackupClock(std::function<QDateTime()> clock);
