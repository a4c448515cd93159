// The libraries and the usage log attached to the connection; a damaged one is replaced.
#include "storage/Database.h"

#include "core/Exception.h"
#include "log/Log.h"
#include "storage/Connection.h"
#include "storage/DataAccess.h"
#include "storage/DatabaseDetail.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

using namespace DbDetail;

namespace {

// SQLite URI paths: '%', '?' and '#' would be read as escapes, query and fragment.
QString uriPath(const QString &path)
{
    QString p = QDir::fromNativeSeparators(path);
    p.replace(QLatin1Char('%'), QLatin1String("%25"));
    p.replace(QLatin1Char('?'), QLatin1String("%3f"));
    p.replace(QLatin1Char('#'), QLatin1String("%23"));
    return p;
}

// ATTACH and a first read, so that a damaged or foreign file fails here (SQLite reads an
// attached file lazily), before anything is written to the author's main file.
bool tryAttach(const QString &statement, const QString &alias, QSqlError *error)
{
    DbLocker lock;
    QSqlQuery q(dbConnection());
    if (q.exec(statement) && q.exec(QStringLiteral("SELECT COUNT(*) FROM %1.sqlite_master").arg(alias))) {
        q.finish();
        return true;
    }
    *error = q.lastError();
    q.exec(QStringLiteral("DETACH DATABASE ") + alias);
    return false;
}

bool tryAttachLibrary(const QString &path, const QString &alias, QSqlError *error)
{
    return tryAttach(attachCipherStatement(path, alias, Ink::libraryKey()), alias, error);
}

} // namespace

QString attachCipherStatement(const QString &path, const QString &alias, const QString &key)
{
    return QStringLiteral("ATTACH DATABASE %1 AS %2 key %3")
        .arg(quoteSql(QStringLiteral("file:") + uriPath(path) + QStringLiteral("?cipher=chacha20")), alias,
             quoteSql(key));
}

QString attachPlainStatement(const QString &path, const QString &alias)
{
    return QStringLiteral("ATTACH DATABASE %1 AS %2").arg(quoteSql(QDir::fromNativeSeparators(path)), alias);
}

void attachLibraries(OpenedFiles &files)
{
    const char *const aliases[] = {"M", "S", "A"};
    for (int t = Ink::ttMaterial; t <= Ink::ttArticle; ++t) {
        const QString alias = QLatin1String(aliases[t]);
        const QString path = libraryPath(Ink::TableType(t));
        if (!files.createdLibraries.contains(path) && QFileInfo::exists(path) && QFileInfo(path).size() == 0 &&
            !replaceFromShippedCopy(path, QStringLiteral("文件长度为 0")))
            writeLog(QStringLiteral("err"), QStringLiteral("素材库文件长度为 0，安装目录中没有副本，按空库使用：%1")
                                                .arg(QDir::toNativeSeparators(path)));
        QSqlError error;
        if (tryAttachLibrary(path, alias, &error))
            continue;
        if (!unreadableAsLibrary(path, error) || !replaceFromShippedCopy(path, error.text().trimmed()) ||
            !tryAttachLibrary(path, alias, &error))
            throwError(error.text().trimmed(), QStringLiteral("ERR_QUERY"));
    }
    // The usage log holds counts only: a damaged one must not keep the author from the books.
    // It is kept under another name and a fresh one takes its place.
    const QString log = libraryPath(Ink::ttLog);
    const QString attachLog = attachPlainStatement(log, QStringLiteral("L"));
    QSqlError error;
    if (tryAttach(attachLog, QStringLiteral("L"), &error))
        return;
    if (!isDamageCode(sqliteCode(error)))
        throwError(error.text().trimmed(), QStringLiteral("ERR_QUERY"));
    const QString aside = setAside(log);
    if (aside.isEmpty() || !tryAttach(attachLog, QStringLiteral("L"), &error))
        throwError(error.text().trimmed(), QStringLiteral("ERR_QUERY"));
    writeLog(QStringLiteral("err"), QStringLiteral("使用记录文件不能使用（%1），已改名为 %2，另建了新文件：%3")
                                        .arg(error.text().trimmed(), QDir::toNativeSeparators(aside),
                                             QDir::toNativeSeparators(log)));
    files.logWasMissing = true;
    files.logSetAside = aside;
}
