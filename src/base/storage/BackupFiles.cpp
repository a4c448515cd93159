// The copies already on disk: which exist, newest first, and which of them can be used.
#include "storage/Backup.h"

#include "core/AppPaths.h"
#include "core/Constants.h"
#include "log/Log.h"
#include "storage/Database.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVector>

#include <algorithm>

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
    const QString fallback = QDir::toNativeSeparators(AppPaths::current().defaultBackupPath);
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
