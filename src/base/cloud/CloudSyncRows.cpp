// What the pull and the push share: the session's temporary tables, the stored last USN, rows
// read from the store and checked before they are written.
#include "cloud/CloudSyncRows.h"

#include "app/Constants.h"
#include "cloud/WebClient.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"

#include <QSqlRecord>
#include <QStringList>

namespace syncrows {

void dropTempTables()
{
    execSql(QStringLiteral("DROP TABLE IF EXISTS SyncDetail;"));
    execSql(QStringLiteral("DROP TABLE IF EXISTS SyncConflict;"));
}

void createTempTables()
{
    dropTempTables();
    execSql(QStringLiteral(
        "CREATE TEMP TABLE IF NOT EXISTS SyncDetail(seq INTEGER PRIMARY KEY autoincrement,   ID VARCHAR(64), "
        "pID VARCHAR(64), NodeType INTEGER, Level INTEGER, Sort FLOAT,   Title VARCHAR(200), Category VARCHAR(200), "
        "rtf TEXT, HTML TEXT, PlainText TEXT,   Attribute1 VARCHAR(256), Attribute2 VARCHAR(256), "
        "Attribute3 VARCHAR(256),   Created TIMESTAMP, Updated TIMESTAMP,   DataType VARCHAR(64), OrigID VARCHAR(64), "
        "Flag CHAR(1), Usn INTEGER, Synced BOOLEAN)"));
    // Without it every per-row sub-query of the final updates scans the whole table.
    execSql(QStringLiteral("CREATE INDEX IF NOT EXISTS SyncDetailKey ON SyncDetail(ID,DataType)"));
    execSql(QStringLiteral("CREATE TEMP TABLE IF NOT EXISTS SyncConflict(ID VARCHAR(64),DataType VARCHAR(64))"));
    execSql(QStringLiteral("CREATE INDEX IF NOT EXISTS SyncConflictKey ON SyncConflict(ID,DataType)"));
}

QString maxUsnQuery()
{
    return QStringLiteral("SELECT IFNULL(MAX(Usn),0) Usn FROM (SELECT MAX(Usn) Usn FROM BookTree   "
                          "UNION ALL SELECT MAX(Usn) FROM MemoTree) a");
}

// floor: the highest USN of pulled rows that were skipped; they are not fetched again.
void storeLastUsn(qint64 floor)
{
    const QVector<QSqlRecord> rows = execQuery(maxUsnQuery());
    const qint64 usn = qMax(floor, rows.isEmpty() ? 0 : rows.first().value(0).toLongLong());
    if (usn != 0)
        setSysParam(QStringLiteral("Sync.LastUsn"), QString::number(usn), false);
}

QVariant textOrNull(const QString &text) { return text.isEmpty() ? QVariant(QVariant::String) : QVariant(text); }

QVariant timeOrNull(const QDateTime &time)
{
    return time.isValid() ? QVariant(time.toString(Ink::dateTimeMsFormat())) : QVariant(QVariant::String);
}

QDateTime parseTime(const QVariant &value)
{
    const QString text = value.toString();
    if (text.isEmpty())
        return QDateTime();
    QDateTime t = QDateTime::fromString(text, Ink::dateTimeMsFormat());
    if (!t.isValid())
        t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid())
        t = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    return t;
}

BookItem toItem(const QSqlRecord &r)
{
    BookItem item;
    item.datatype = r.value(QStringLiteral("DataType")).toString();
    item.tid = r.value(QStringLiteral("ID")).toString();
    item.ptid = r.value(QStringLiteral("pID")).toString();
    item.nodetype = r.value(QStringLiteral("NodeType")).toInt();
    item.level = r.value(QStringLiteral("Level")).toInt();
    item.sort = r.value(QStringLiteral("Sort")).toDouble();
    item.title = r.value(QStringLiteral("Title")).toString();
    item.category = r.value(QStringLiteral("Category")).toString();
    item.rtf = r.value(QStringLiteral("rtf")).toString();
    item.html = r.value(QStringLiteral("HTML")).toString();
    item.plaintext = r.value(QStringLiteral("PlainText")).toString();
    item.attribute1 = r.value(QStringLiteral("Attribute1")).toString();
    item.attribute2 = r.value(QStringLiteral("Attribute2")).toString();
    item.attribute3 = r.value(QStringLiteral("Attribute3")).toString();
    item.create_time = parseTime(r.value(QStringLiteral("Created")));
    item.update_time = parseTime(r.value(QStringLiteral("Updated")));
    item.origtid = r.value(QStringLiteral("OrigID")).toString();
    item.flag = r.value(QStringLiteral("Flag")).toString();
    item.usn = r.value(QStringLiteral("Usn")).toInt();
    return item;
}

// The service's copy of a row this client uploaded is byte for byte what was sent.
QString itemDigest(const BookItem &it)
{
    const QString seconds = QStringLiteral("yyyy-MM-ddTHH:mm:ss");
    const QStringList parts{it.datatype, it.tid, it.ptid, QString::number(it.nodetype), QString::number(it.level),
                            QString::number(it.sort, 'g', 17), it.title, it.category, it.rtf, it.html, it.plaintext,
                            it.attribute1, it.attribute2, it.attribute3, it.origtid, it.flag, QString::number(it.usn),
                            it.create_time.toLocalTime().toString(seconds), it.update_time.toLocalTime().toString(seconds)};
    return web::md5Hex(parts.join(QChar(0x1f)));
}

// Digests of the last upload until its local bookkeeping is done: kept in the store, since a
// crash between the service's commit and the local one must not turn own rows into conflicts.
void ensurePendingTable()
{
    execSql(QStringLiteral("CREATE TABLE IF NOT EXISTS SyncPending(ID VARCHAR(64), DataType VARCHAR(64), "
                           "Digest VARCHAR(32), PRIMARY KEY(ID,DataType))"));
}

// The columns of d and t compared as text; withPlace: the place in the tree too (pID, Level, Sort).
QString equalColumns(bool withPlace)
{
    QStringList parts;
    for (const char *c : {"pID", "NodeType", "Level", "Sort", "Title", "Category", "rtf", "HTML", "PlainText",
                          "Attribute1", "Attribute2", "Attribute3", "OrigID", "Flag"}) {
        const QLatin1String column(c);
        if (withPlace || (column != QLatin1String("pID") && column != QLatin1String("Level") &&
                          column != QLatin1String("Sort")))
            parts << QStringLiteral("IFNULL(d.%1,'')=IFNULL(t.%1,'')").arg(column);
    }
    return parts.join(QStringLiteral(" AND "));
}

// Whether a pulled row may be written; why gets the reason when not.
bool rowAcceptable(const BookItem &it, QString *why)
{
    const bool shape = (it.datatype == QLatin1String("book") || it.datatype == QLatin1String("memo")) &&
                       !it.tid.isEmpty() && it.tid.size() <= 64 && !it.tid.contains(QChar(0)) && it.ptid.size() <= 64 &&
                       it.nodetype >= 1 && it.nodetype <= 3 &&
                       (it.flag == QLatin1String("A") || it.flag == QLatin1String("D")) &&
                       it.plaintext.size() <= Ink::maxArticleLength && it.title.size() <= kMaxBody &&
                       it.html.size() <= kMaxBody &&
                       it.rtf.size() <= kMaxBody;
    if (!shape) {
        *why = QStringLiteral("数据格式不正确");
        return false;
    }
    return isTreeRowWithinLimits(it.level, it.title, it.flag, why);
}

// The titles of rows for a notice: a few, each cut short.
QString titleList(const QStringList &titles)
{
    QStringList shown;
    for (const QString &t : titles.mid(0, 5))
        shown << (t.size() > 20 ? t.left(20) + QStringLiteral("…") : t);
    return shown.join(QStringLiteral("、")) + (titles.size() > 5 ? QStringLiteral("等") : QString());
}

QString limitsText()
{
    return QStringLiteral("（层级最多%1层、标题最多%2个字符）").arg(Ink::maxTreeLevel).arg(Ink::maxTitleLength);
}

} // namespace syncrows
