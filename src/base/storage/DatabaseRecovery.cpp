// Damaged files: recognised, set aside under another name (never deleted), replaced.
#include "storage/Database.h"

#include "core/AppPaths.h"
#include "log/Log.h"
#include "storage/Backup.h"
#include "storage/DatabaseDetail.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

using namespace DbDetail;

namespace DbDetail {

// Renames a file that cannot be used to "<name>.<time>.damaged", together with a journal beside
// it (a journal left behind would be played into whatever takes the file's place). Returns the
// new name, empty when the rename failed.
QString setAside(const QString &path)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    QString aside = QStringLiteral("%1.%2.damaged").arg(path, stamp);
    for (int n = 2; QFileInfo::exists(aside); ++n)
        aside = QStringLiteral("%1.%2-%3.damaged").arg(path, stamp).arg(n);
    if (!QFile::rename(path, aside))
        return QString();
    for (const char *suffix : {"-journal", "-wal", "-shm"}) {
        const QString side = path + QLatin1String(suffix);
        if (QFileInfo::exists(side))
            QFile::rename(side, aside + QLatin1String(suffix));
    }
    return aside;
}

bool replaceFromShippedCopy(const QString &path, const QString &why)
{
    if (!QFileInfo::exists(AppPaths::current().librarySourcePath + QFileInfo(path).fileName()))
        return false;
    const QString aside = setAside(path);
    if (aside.isEmpty())
        return false;
    if (!copyShippedLibrary(path)) {
        QFile::rename(aside, path);
        return false;
    }
    writeLog(QStringLiteral("err"), QStringLiteral("素材库文件不能使用（%1），已换成安装目录中的副本：%2，原文件改名为 %3")
                                        .arg(why, QDir::toNativeSeparators(path), QDir::toNativeSeparators(aside)));
    return true;
}

// ATTACH reports a refused open only as "unable to open database": open the file alone to
// learn whether it is no library at all or merely busy or out of reach.
bool unreadableAsLibrary(const QString &path, const QSqlError &attachError)
{
    const int code = sqliteCode(attachError);
    if (isDamageCode(code))
        return true;
    if (code == 5 || code == 6) // busy or locked: someone else has it, nothing is wrong with it
        return false;
    const QString name = QStringLiteral("library-probe-") + QUuid::createUuid().toString(QUuid::Id128);
    int probe = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(sqlDriverName(), name);
        db.setDatabaseName(path);
        db.setPassword(Ink::libraryKey());
        db.setConnectOptions(QStringLiteral("QSQLITE_USE_CIPHER=chacha20;QSQLITE_OPEN_READONLY"));
        if (!db.open())
            probe = sqliteCode(db.lastError());
        else {
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral("PRAGMA quick_check")))
                probe = sqliteCode(q.lastError());
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return isDamageCode(probe);
}

} // namespace DbDetail

bool restoreMainFile(const QString &backup, QString *aside, QString *error)
{
    const QString mainFile = mainDbFileName();
    const QString partial = mainFile + QStringLiteral(".partial");
    QFile::remove(partial);
    if (!QFile::copy(backup, partial)) {
        QFile::remove(partial);
        if (error)
            *error = QStringLiteral("复制备份失败：%1").arg(QDir::toNativeSeparators(backup));
        return false;
    }
    QFile::setPermissions(partial, ownerOnly());
    syncToDisk(partial);
    const QString damaged = QFileInfo::exists(mainFile) ? setAside(mainFile) : QString();
    if (QFileInfo::exists(mainFile) || !QFile::rename(partial, mainFile)) {
        QFile::remove(partial);
        if (!damaged.isEmpty() && !QFileInfo::exists(mainFile))
            QFile::rename(damaged, mainFile);
        if (error)
            *error = QStringLiteral("不能替换数据文件：%1").arg(QDir::toNativeSeparators(mainFile));
        return false;
    }
    syncToDisk(QFileInfo(mainFile).absolutePath(), true);
    if (aside)
        *aside = damaged;
    return true;
}
