#include "storage/Backup.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStorageInfo>
#include <QThreadPool>
#include <QUuid>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
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

std::atomic<bool> s_damageArmed{false};
std::atomic<bool> s_damageSeen{false};

void logBackupFailure(const QString &why) { writeLog(QStringLiteral("err"), QStringLiteral("数据库备份失败：") + why); }

// Writes the copy of the main file to partial; under the connection lock, since it reads the
// open file through SQLite or closes the connection first.
bool writeCopy(bool closeConnection, const QString &source, const QString &partial)
{
    DbLocker lock;
    bool copied = false;
    if (closeConnection) {
        ::closeConnection();
        copied = QFile::copy(source, partial);
        if (!copied)
            logBackupFailure(QStringLiteral("复制文件失败：%1").arg(partial));
    } else if (!g_App.db.isOpen()) {
        copied = QFile::copy(source, partial);
    } else {
        // The pages are written without syncing each one; the finished copy is flushed once
        // before it is renamed into place.
        QString synchronous;
        try {
            QueryPtr q = openQuery(QStringLiteral("PRAGMA main.synchronous"));
            if (q->next())
                synchronous = q->value(0).toString();
        } catch (const Exception &) {
        }
        try {
            execSql(QStringLiteral("PRAGMA main.synchronous=OFF"));
            execSql(QStringLiteral("VACUUM main INTO ") + quoteSql(QDir::fromNativeSeparators(partial)));
            copied = true;
        } catch (const Exception &e) {
            logBackupFailure(e.message());
        }
        if (!synchronous.isEmpty()) {
            try {
                execSql(QStringLiteral("PRAGMA main.synchronous=") + QString::number(synchronous.toInt()));
            } catch (const Exception &e) {
                logBackupFailure(e.message());
            }
        }
    }
    return copied;
}

} // namespace

void setBackupClock(std::function<QDateTime()> clock) { backupClock() = std::move(clock); }

QString backupFileName(const QDate &day, int n)
{
    return QStringLiteral("%1_%2.%3.sdb.bak").arg(Ink::applicationName(), day.toString(QStringLiteral("yyyyMMdd")),
                                                  QString::number(n));
}

QString backupFolder()
{
    QString folder = QDir::toNativeSeparators(g_SysParams.autoBackupDbPath);
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
QString writePartialCopy(bool closeConnection, const QDateTime &now, QString *folderOut)
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
    if (!writeCopy(closeConnection, source, partial) || !QFileInfo::exists(partial)) {
        QFile::remove(partial);
        return QString();
    }
    // A copy of the author's books is as private as the main file.
    QFile::setPermissions(partial, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return partial;
}

// Flushes and checks the copy, then gives it its place in today's rotation.
bool finishCopy(const QString &folder, const QString &partial, const QDate &day, bool connectionOpen)
{
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
    return true;
}

} // namespace

bool backupDatabaseAt(bool closeConnection, const QDateTime &now)
{
    // Earlier copies still being checked take their places first.
    waitForBackups();
    QMutexLocker serial(&backupMutex());
    QString folder;
    const QString partial = writePartialCopy(closeConnection, now, &folder);
    return !partial.isEmpty() && finishCopy(folder, partial, now.date(), !closeConnection);
}

bool startBackupDatabase()
{
    const QDateTime now = backupClock() ? backupClock()() : QDateTime::currentDateTime();
    // One copy under way at a time: the partial file has one name per day.
    waitForBackups();
    QString folder;
    QString partial;
    {
        QMutexLocker serial(&backupMutex());
        partial = writePartialCopy(false, now, &folder);
    }
    if (partial.isEmpty())
        return false;
    backupPool().start([folder, partial, now]() {
        QMutexLocker serial(&backupMutex());
        finishCopy(folder, partial, now.date(), true);
    });
    return true;
}

void waitForBackups() { backupPool().waitForDone(); }

bool syncToDisk(const QString &path, bool folder)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool isUsableBackup(const QString &fileName, QString *why)
{
    QString problem;
    if (!QFileInfo(fileName).isFile())
        problem = QStringLiteral("文件不存在");
    else if (QFileInfo(fileName).size() == 0)
        problem = QStringLiteral("文件长度为 0");
    const QString name = QStringLiteral("backup-check-") + QUuid::createUuid().toString(QUuid::Id128);
    if (problem.isEmpty()) {
        QSqlDatabase db = QSqlDatabase::addDatabase(sqlDriverName(), name);
        db.setDatabaseName(fileName);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!db.open()) {
            problem = db.lastError().text().trimmed();
        } else {
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral("PRAGMA quick_check"))) {
                problem = q.lastError().text().trimmed();
            } else {
                QStringList lines;
                while (q.next() && lines.size() < 3)
                    lines << q.value(0).toString();
                if (lines != QStringList{QStringLiteral("ok")})
                    problem = lines.join(QStringLiteral("; "));
            }
            if (problem.isEmpty()) {
                if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND "
                                           "name IN ('BookTree','SysParam')")) ||
                    !q.next() || q.value(0).toInt() != 2)
                    problem = QStringLiteral("缺少程序的数据表");
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    if (why)
        *why = problem;
    return problem.isEmpty();
}

QStringList existingBackups()
{
    struct Found {
        QString path;
        QString day;
        int n;
        int folder;
    };
    QStringList folders{backupFolder()};
    const QString fallback = QDir::toNativeSeparators(g_App.defaultBackupPath());
    if (!fallback.isEmpty() && QDir::cleanPath(fallback) != QDir::cleanPath(folders.first()))
        folders << fallback;
    static const QRegularExpression pattern(QStringLiteral("^%1_(\\d{8})\\.(\\d+)\\.sdb\\.bak$")
                                                .arg(QRegularExpression::escape(Ink::applicationName())));
    QVector<Found> found;
    for (int f = 0; f < folders.size(); ++f) {
        if (folders[f].isEmpty())
            continue;
        const QDir dir(folders[f]);
        for (const QString &file : dir.entryList(QDir::Files)) {
            const QRegularExpressionMatch m = pattern.match(file);
            if (m.hasMatch())
                found.append({dir.filePath(file), m.captured(1), m.captured(2).toInt(), f});
        }
    }
    std::sort(found.begin(), found.end(), [](const Found &a, const Found &b) {
        if (a.day != b.day)
            return a.day > b.day;
        if (a.n != b.n)
            return a.n < b.n;
        return a.folder < b.folder;
    });
    QStringList out;
    for (const Found &f : found)
        out << f.path;
    return out;
}

QString newestUsableBackup()
{
    for (const QString &file : existingBackups()) {
        QString why;
        if (isUsableBackup(file, &why))
            return file;
        writeLog(QStringLiteral("err"), QStringLiteral("备份不可用：%1（%2）").arg(QDir::toNativeSeparators(file), why));
    }
    return QString();
}

void watchDatabaseDamage(bool armed)
{
    s_damageSeen = false;
    s_damageArmed = armed;
}

bool databaseDamageSeen() { return s_damageSeen.load(); }

void noteDatabaseDamage(const QString &detail)
{
    if (!s_damageArmed.load() || s_damageSeen.exchange(true))
        return;
    writeLog(QStringLiteral("err"), QStringLiteral("数据文件已损坏：%1；本次退出不做备份。").arg(detail));
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    // Shown from the event loop of the GUI thread (which owns the parameters), never from inside a
    // statement that holds the connection lock.
    QMetaObject::invokeMethod(
        app,
        [detail]() {
            if (!s_damageArmed.load())
                return;
            const QString text = QStringLiteral("%1发现数据文件已损坏：\r\n%2\r\n\r\n为了不让损坏的文件挤掉完好的备份，"
                                                "本次退出时不再自动备份。请退出程序，用备份文件夹中的备份恢复：\r\n%3")
                                     .arg(Ink::productName(), detail, backupFolder());
            g_App.showError(text);
        },
        Qt::QueuedConnection);
}

void noteDatabaseError(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    // SQLITE_CORRUPT and its extended codes.
    if (ok && (code & 0xff) == 11)
        noteDatabaseDamage(error.text().trimmed());
}
