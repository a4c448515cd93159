#include "storage/Backup.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

namespace {

std::function<QDateTime()> &backupClock()
{
    static std::function<QDateTime()> clock;
    return clock;
}

void logBackupFailure(const QString &why) { writeLog(QStringLiteral("err"), QStringLiteral("数据库备份失败：") + why); }

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

bool backupDatabaseAt(bool closeConnection, const QDateTime &now)
{
    // The connection lock also makes backups one at a time; taking no second lock keeps a single
    // lock order for every thread.
    DbLocker lock;

    const QString folder = backupFolder();
    if (folder.isEmpty()) {
        logBackupFailure(QStringLiteral("备份路径为空"));
        return false;
    }
    QDir().mkpath(folder);
    const QString source = mainDbFileName();
    const QDate day = now.date();
    const QString partial = folder + QStringLiteral(".%1_%2.partial").arg(Ink::applicationName(),
                                                                            day.toString(QStringLiteral("yyyyMMdd")));

    const qint64 size = QFileInfo(source).size();
    QStorageInfo storage(folder);
    if (storage.isValid() && storage.bytesAvailable() >= 0 && storage.bytesAvailable() < 2 * size) {
        if (closeConnection)
            ::closeConnection();
        logBackupFailure(QStringLiteral("磁盘空间不足：%1").arg(folder));
        return false;
    }

    QFile::remove(partial);
    bool copied = false;
    if (closeConnection) {
        ::closeConnection();
        copied = QFile::copy(source, partial);
        if (!copied)
            logBackupFailure(QStringLiteral("复制文件失败：%1").arg(partial));
    } else {
        // The lock keeps every other thread's statement and transaction out; SQLite reads the
        // open file through its own descriptor and keeps its locks.
        if (!g_App.db.isOpen()) {
            copied = QFile::copy(source, partial);
        } else {
            // The copy is written without syncing each page: the author's file itself stays fully
            // durable, and the earlier copies remain should this one be cut short.
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
    }
    if (!copied || !QFileInfo::exists(partial)) {
        QFile::remove(partial);
        return false;
    }

    // Only a complete copy rotates the numbered ones.
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
    return true;
}
