#include "storage/Backup.h"

#include "core/AppPaths.h"
#include "core/Constants.h"
#include "core/Exception.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/Connection.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"
#include "storage/DatabaseDamage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlDriver>
#include <QStorageInfo>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::function<QDateTime()> &backupClock()
{
    static std::function<QDateTime()> clock;
    return clock;
}

// Backups one at a time. Always taken before the connection lock, never while holding it.
QMutex &backupMutex()
{
    static QMutex mutex;
    return mutex;
}

void logBackupFailure(const QString &why) { writeLog(QStringLiteral("err"), QStringLiteral("数据库备份失败：") + why); }

// Set while a close stops the backups; a copy under way ends after its current step.
std::atomic<bool> s_stopRequested{false};

std::function<void()> &stepHook()
{
    static std::function<void()> hook;
    return hook;
}

// Pages per step of the online copy: a few milliseconds of work, which is all a statement of
// another thread waits for the connection lock.
constexpr int kPagesPerStep = 128;

// What tells whether the main file changed since a copy of it was taken: the file change counter
// and page count from its header (bytes 24-31), its size, its modification time in ns and its
// inode. SQLite raises the counter with the first commit after it takes the file's lock, so every
// other program or start that changes the file raises it; within this run the counter is re-armed
// when the copy is taken (see rearmChangeCounter), so the next commit of this run raises it too.
// A file put in place of the main file has another inode and time. The main file keeps a
// write-ahead log, whose commits leave the counter alone: the stamp is taken with the log emptied
// into the file, a commit after it keeps the log non-empty (no valid stamp), and the close that
// empties such a log drops the newest copy's note (forgetNewestCopyStamp) before it writes the file.
struct MainStamp {
    QByteArray header;
    qint64 size = -1;
    qint64 mtimeNs = -1;
    qint64 inode = -1;
    bool isValid() const { return header.size() == 8 && size >= 0; }
    QString text() const
    {
        return QStringLiteral("%1 %2 %3 %4").arg(QString::fromLatin1(header.toHex())).arg(size).arg(mtimeNs).arg(inode);
    }
};

// stat() only: opening and closing the open main file would drop SQLite's locks on it.
bool statInto(const QString &file, MainStamp *stamp)
{
    // Commits still in the write-ahead log reach the main file (and its counter) only later.
    if (QFileInfo(file + QStringLiteral("-wal")).size() > 0)
        return false;
    struct stat st {};
    if (::stat(QFile::encodeName(file).constData(), &st) != 0)
        return false;
    stamp->size = qint64(st.st_size);
    stamp->mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp->inode = qint64(st.st_ino);
    return true;
}

// The stamp of the open main file, read through the connection's own file; the caller holds
// the connection lock.
MainStamp openFileStamp(sqlite3 *db, const QString &file)
{
    MainStamp stamp;
    sqlite3_file *handle = nullptr;
    if (!db || sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &handle) != SQLITE_OK || !handle ||
        !handle->pMethods)
        return stamp;
    char bytes[8];
    if (handle->pMethods->xRead(handle, bytes, 8, 24) != SQLITE_OK || !statInto(file, &stamp))
        return MainStamp();
    stamp.header = QByteArray(bytes, 8);
    return stamp;
}

// The stamp of the main file while no connection has it open.
MainStamp closedFileStamp(const QString &file)
{
    MainStamp stamp;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(24))
        return stamp;
    const QByteArray bytes = f.read(8);
    if (bytes.size() != 8 || !statInto(file, &stamp))
        return MainStamp();
    stamp.header = bytes;
    return stamp;
}

// With the lock kept (exclusive locking), SQLite raises the change counter only at the first
// commit after taking the lock: leaving and re-entering exclusive mode, and reading once in
// between, gives the lock back so that the next commit raises the counter again; an empty
// exclusive transaction takes the lock at once again, so no other process writes in between. Not possible
// inside a transaction or while a statement is still reading: then false, and no stamp counts.
// The caller holds the connection lock.
bool rearmChangeCounter(sqlite3 *db)
{
    if (!sqlite3_get_autocommit(db))
        return false;
    for (sqlite3_stmt *st = sqlite3_next_stmt(db, nullptr); st; st = sqlite3_next_stmt(db, st))
        if (sqlite3_stmt_busy(st))
            return false;
    return sqlite3_exec(db,
                        "PRAGMA main.wal_checkpoint(TRUNCATE); "
                        "PRAGMA main.locking_mode=NORMAL; SELECT COUNT(*) FROM main.sqlite_master; "
                        "PRAGMA main.locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; COMMIT;",
                        nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Copies the open main file through SQLite's online backup in steps, taking the connection lock
// for each step only. Statements run between steps reach the copy too, so it is consistent
// when done. The copy is written like the main file itself (the same page encoding).
bool steppedCopy(const QString &partial, MainStamp *stamp)
{
    sqlite3 *source = nullptr;
    {
        DbLocker lock;
        source = connectionHandle();
    }
    if (!source) {
        logBackupFailure(QStringLiteral("数据库连接不可用"));
        return false;
    }
    // Private from its first byte, whatever the umask.
    {
        QFile file(partial);
        if (!file.open(QIODevice::WriteOnly) ||
            !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
            logBackupFailure(QStringLiteral("无法写入文件：%1").arg(partial));
            return false;
        }
    }
    sqlite3 *target = nullptr;
    if (sqlite3_open_v2(partial.toUtf8().constData(), &target, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        logBackupFailure(QStringLiteral("无法打开副本：%1").arg(target ? QString::fromUtf8(sqlite3_errmsg(target)) : partial));
        sqlite3_close(target);
        return false;
    }
    // No journal beside the copy, and no sync per page: the finished copy is flushed once before
    // it is renamed into place.
    sqlite3_exec(target, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;", nullptr, nullptr, nullptr);

    QString failure;
    sqlite3_backup *backup = nullptr;
    {
        DbLocker lock;
        if (connectionHandle() == source)
            backup = sqlite3_backup_init(target, "main", source, "main");
    }
    if (!backup)
        failure = QString::fromUtf8(sqlite3_errmsg(target));
    int rc = SQLITE_OK;
    bool stopped = false; // by the close of the program: not a failure
    while (backup && failure.isEmpty()) {
        if (stepHook())
            stepHook()();
        {
            DbLocker lock;
            if (s_stopRequested.load()) {
                stopped = true;
                break;
            }
            // The connection was closed (and perhaps opened again) under the copy.
            if (connectionHandle() != source) {
                failure = QStringLiteral("数据库连接已关闭");
                break;
            }
            rc = sqlite3_backup_step(backup, kPagesPerStep);
            // The copy is complete with this step: the main file as it is now, under the same lock.
            if (rc == SQLITE_DONE && rearmChangeCounter(source))
                *stamp = openFileStamp(source, mainDbFileName());
        }
        if (rc == SQLITE_DONE)
            break;
        if (rc != SQLITE_OK && rc != SQLITE_BUSY && rc != SQLITE_LOCKED) {
            failure = QString::fromUtf8(sqlite3_errstr(rc));
            if ((rc & 0xff) == SQLITE_CORRUPT)
                noteDatabaseDamage(failure);
            break;
        }
        // A statement waiting for the lock gets it before the next step.
        QThread::usleep(500);
    }
    if (backup) {
        // A closed connection lingers until its backups are finished.
        DbLocker lock;
        const int finished = sqlite3_backup_finish(backup);
        if (failure.isEmpty() && finished != SQLITE_OK)
            failure = QString::fromUtf8(sqlite3_errstr(finished));
    }
    if (sqlite3_close(target) != SQLITE_OK && failure.isEmpty())
        failure = QString::fromUtf8(sqlite3_errmsg(target));
    if (!failure.isEmpty())
        logBackupFailure(failure);
    return failure.isEmpty() && !stopped;
}

// Writes the copy of the main file to partial. A closed connection is copied as a file; an open
// one through SQLite, since file I/O on the open file would drop SQLite's locks.
// *stamp gets the main file's stamp the copy equals, or stays invalid.
bool writeCopy(bool closeConnection, const QString &source, const QString &partial, MainStamp *stamp)
{
    bool open = false;
    {
        DbLocker lock;
        if (closeConnection)
            ::closeConnection();
        open = dbConnection().isValid() && dbConnection().isOpen();
        if (!open) {
            // Before the copy: a change made after the stamp can only make the stamp differ.
            *stamp = closedFileStamp(source);
            const bool copied = QFile::copy(source, partial);
            if (!copied)
                logBackupFailure(QStringLiteral("复制文件失败：%1").arg(partial));
            return copied;
        }
    }
    return steppedCopy(partial, stamp);
}

} // namespace

void setBackupClock(std::function<QDateTime()> clock) { backupClock() = std::move(clock); }
void setBackupStepHook(std::function<void()> hook) { stepHook() = std::move(hook); }

QString backupFileName(const QDate &day, int n)
{
    return QStringLiteral("%1_%2.%3.sdb.bak").arg(Ink::applicationName(), day.toString(QStringLiteral("yyyyMMdd")),
                                                  QString::number(n));
}

QString backupFolder()
{
    // Backups run on workers while the settings dialog may assign g_SysParams: the published copy.
    QString folder = QDir::toNativeSeparators(sysParamsSnapshot().autoBackupDbPath);
    if (!folder.isEmpty() && !folder.endsWith(QDir::separator()))
        folder += QDir::separator();
    return folder;
}

bool backupDatabase(bool closeConnection)
{
    return backupDatabaseAt(closeConnection, backupClock() ? backupClock()() : QDateTime::currentDateTime());
}

namespace {

// Checks, flushes and rotates can run after the copy was written; one at a time and in the order
// the copies were made, so the newest copy always ends up as copy 1.
QThreadPool &backupPool()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(1);
        p->setExpiryTimeout(-1);
        return p;
    }();
    return *pool;
}

// Writes the copy to a partial file of its own; an empty result means no copy was made.
QString writePartialCopy(bool closeConnection, const QDateTime &now, QString *folderOut, MainStamp *stamp)
{
    const QString folder = backupFolder();
    *folderOut = folder;
    if (folder.isEmpty()) {
        logBackupFailure(QStringLiteral("备份路径为空"));
        return QString();
    }
    QDir().mkpath(folder);
    const QString source = mainDbFileName();
    const QString partial = folder + QStringLiteral(".%1_%2.partial")
                                         .arg(Ink::applicationName(), now.date().toString(QStringLiteral("yyyyMMdd")));

    const qint64 size = QFileInfo(source).size();
    QStorageInfo storage(folder);
    if (storage.isValid() && storage.bytesAvailable() >= 0 && storage.bytesAvailable() < 2 * size) {
        if (closeConnection) {
            DbLocker lock;
            ::closeConnection();
        }
        logBackupFailure(QStringLiteral("磁盘空间不足：%1").arg(folder));
        return QString();
    }
    QFile::remove(partial);
    if (!writeCopy(closeConnection, source, partial, stamp) || !QFileInfo::exists(partial)) {
        QFile::remove(partial);
        return QString();
    }
    // A copy of the author's books is as private as the main file.
    QFile::setPermissions(partial, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return partial;
}

// Beside the copies: which copy was taken of the main file at which stamp. Written after the
// copy passed its check and took its place; a copy without a valid stamp removes it.
QString copyNotePath(const QString &copy)
{
    const QFileInfo info(copy);
    return info.absolutePath() + QStringLiteral("/.%1.copied").arg(Ink::applicationName());
}

QString copyText(const QString &copy)
{
    MainStamp stamp;
    if (!statInto(copy, &stamp))
        return QString();
    return QStringLiteral("%1 %2 %3").arg(QFileInfo(copy).fileName()).arg(stamp.size).arg(stamp.mtimeNs);
}

void writeCopyNote(const QString &copy, const MainStamp &stamp)
{
    const QString note = copyNotePath(copy);
    const QString copied = copyText(copy);
    if (!stamp.isValid() || copied.isEmpty()) {
        QFile::remove(note);
        return;
    }
    QSaveFile file(note);
    if (!file.open(QIODevice::WriteOnly) || file.write((copied + QLatin1Char('\n') + stamp.text() + QLatin1Char('\n')).toUtf8()) < 0 ||
        !file.commit())
        QFile::remove(note);
}

// A copy of a file kept in write-ahead-log mode is in that mode too, and every reader would leave
// -wal and -shm files beside it: it is turned back into a file with a rollback journal.
void useRollbackJournal(const QString &partial)
{
    sqlite3 *copy = nullptr;
    if (sqlite3_open_v2(partial.toUtf8().constData(), &copy, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
        sqlite3_exec(copy, "PRAGMA journal_mode=DELETE;", nullptr, nullptr, nullptr);
    sqlite3_close(copy);
}

// Flushes and checks the copy, then gives it its place in today's rotation.
bool finishCopy(const QString &folder, const QString &partial, const QDate &day, bool connectionOpen,
                const MainStamp &stamp)
{
    useRollbackJournal(partial);
    if (!syncToDisk(partial, false)) {
        logBackupFailure(QStringLiteral("写入磁盘失败：%1").arg(partial));
        QFile::remove(partial);
        return false;
    }
    // Checked without the connection lock: the copy is a file of its own.
    QString why;
    if (!isUsableBackup(partial, &why)) {
        logBackupFailure(QStringLiteral("副本未通过完整性检查（%1），已有的备份保持不变").arg(why));
        QFile::remove(partial);
        if (connectionOpen)
            noteDatabaseDamage(why);
        return false;
    }

    // Only a copy that passed the check rotates the numbered ones, so the newest copy that passed
    // is never the one that drops out.
    QFile::remove(folder + backupFileName(day, 5));
    for (int n = 5; n >= 2; --n) {
        const QString older = folder + backupFileName(day, n - 1);
        if (QFileInfo::exists(older))
            QFile::rename(older, folder + backupFileName(day, n));
    }
    if (!QFile::rename(partial, folder + backupFileName(day, 1))) {
        logBackupFailure(QStringLiteral("重命名失败：%1").arg(partial));
        QFile::remove(partial);
        return false;
    }
    if (!syncToDisk(folder, true))
        logBackupFailure(QStringLiteral("写入磁盘失败：%1").arg(folder));
    writeCopyNote(folder + backupFileName(day, 1), stamp);
    return true;
}

} // namespace

bool backupDatabaseAt(bool closeConnection, const QDateTime &now)
{
    // Earlier copies still being checked take their places first.
    waitForBackups();
    QMutexLocker serial(&backupMutex());
    QString folder;
    MainStamp stamp;
    const QString partial = writePartialCopy(closeConnection, now, &folder, &stamp);
    return !partial.isEmpty() && finishCopy(folder, partial, now.date(), !closeConnection, stamp);
}

bool mainFileUnchangedSinceNewestCopy()
{
    const QString newest = existingBackups().value(0);
    if (newest.isEmpty())
        return false;
    QFile note(copyNotePath(newest));
    if (!note.open(QIODevice::ReadOnly))
        return false;
    const QStringList lines = QString::fromUtf8(note.readAll()).split(QLatin1Char('\n'));
    if (lines.size() < 2 || lines.at(0) != copyText(newest))
        return false;
    MainStamp now;
    {
        DbLocker lock;
        sqlite3 *db = connectionHandle();
        now = db ? openFileStamp(db, mainDbFileName()) : closedFileStamp(mainDbFileName());
    }
    return now.isValid() && lines.at(1) == now.text();
}

void forgetNewestCopyStamp()
{
    const QString newest = existingBackups().value(0);
    if (!newest.isEmpty())
        QFile::remove(copyNotePath(newest));
}

namespace {

bool startBackup(bool onlyWhenChanged)
{
    {
        DbLocker lock;
        if (!connectionHandle())
            return false;
    }
    const QDateTime now = backupClock() ? backupClock()() : QDateTime::currentDateTime();
    // In the order they were started: the newest copy always ends up as copy 1.
    backupPool().start([now, onlyWhenChanged]() {
        QMutexLocker serial(&backupMutex());
        if (onlyWhenChanged && mainFileUnchangedSinceNewestCopy())
            return;
        QString folder;
        MainStamp stamp;
        const QString partial = writePartialCopy(false, now, &folder, &stamp);
        if (!partial.isEmpty())
            finishCopy(folder, partial, now.date(), true, stamp);
    });
    return true;
}

} // namespace

bool startBackupDatabase() { return startBackup(false); }

bool startBackupIfChanged() { return startBackup(true); }

void waitForBackups() { backupPool().waitForDone(); }

void stopBackups(bool wait)
{
    s_stopRequested = true;
    if (!wait)
        return;
    backupPool().waitForDone();
    s_stopRequested = false;
}

bool syncToDisk(const QString &path, bool folder)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}
