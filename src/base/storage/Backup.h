#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>

// "Inkboat_<yyyyMMdd>.<n>.sdb.bak"
QString backupFileName(const QDate &day, int n);
// The published autoBackupDbPath (sysParamsSnapshot, safe on any thread) in native separators
// with a trailing separator.
QString backupFolder();

// Makes one backup of the main file now: copy 1 of today, earlier copies of today move up one
// number (at most five per day). With closeConnection the connection is closed first and stays
// closed and the file is copied; otherwise SQLite's online backup copies the open file in steps
// of a few hundred pages, holding the connection lock for one step at a time (file I/O on the
// open file would drop SQLite's locks). The complete copy is flushed to disk and must pass
// "PRAGMA quick_check" before it takes a place in the rotation. Returns false (and logs why)
// when no copy was made; a failed or stopped copy leaves the earlier copies as they were.
// The caller must not hold the connection lock.
bool backupDatabase(bool closeConnection);
bool backupDatabaseAt(bool closeConnection, const QDateTime &now);
// The backup of the running program, all of it on a background thread (the window does not
// wait for it). False when there is no open connection to copy.
bool startBackupDatabase();
// The start-up copy: as startBackupDatabase, but skipped when the main file has not changed
// since the newest copy was taken (see mainFileUnchangedSinceNewestCopy).
bool startBackupIfChanged();
// True when the newest copy passed its check as a copy of the main file as it is now: its note
// beside it names it (name, size, time) and the main file's change counter, page count, size,
// time and inode still match. A commit since then raises the counter (the copy re-arms it) or,
// through the write-ahead log, drops the note at the close, so a change cannot pass unseen; a
// missing or foreign note means false.
bool mainFileUnchangedSinceNewestCopy();
// The main file is about to take commits that reached it through its write-ahead log, which
// leaves the change counter as it was: the newest copy's note no longer vouches for it.
void forgetNewestCopyStamp();
// Waits until every started backup has been checked and rotated (or dropped).
void waitForBackups();
// Stops a copy under way after its current step (its partial file is removed, the earlier
// copies stay) and waits for the started backups to end. For the close of the program.
// Without wait the stop is only requested; a later stopBackups() waits and ends the request.
void stopBackups(bool wait = true);

// Clock of the backups (tests move it across midnight); null restores the real clock.
void setBackupClock(std::function<QDateTime()> clock);
// Called before each step of the online copy, without the connection lock (tests slow the copy
// down with it); null removes it. Set it while no backup runs.
void setBackupStepHook(std::function<void()> hook);

// True when the file passes "PRAGMA quick_check" and holds the book table; *why gets the reason
// otherwise. Opens the file read-only on a connection of its own.
bool isUsableBackup(const QString &fileName, QString *why = nullptr);
// Backup files of the main file in the backup folders known now (the configured one and the
// default one), newest first: later day first, then lower copy number.
QStringList existingBackups();
// The first of existingBackups() that isUsableBackup, or an empty string.
QString newestUsableBackup();

// Flushes a file, or with folder the entries of a folder, to disk.
bool syncToDisk(const QString &path, bool folder = false);
