// The tables and indexes of every file, the migration of old main files, library versions.
#include "storage/Database.h"

#include "core/Exception.h"
#include "storage/DataAccess.h"
#include "storage/DatabaseDetail.h"

#include <QDebug>

using namespace DbDetail;

namespace {

QString treeColumns()
{
    return QStringLiteral("(ID VARCHAR(64),   pID VARCHAR(64), NodeType INTEGER, Level INTEGER, Sort FLOAT,   "
                          "Title VARCHAR(200), Category VARCHAR(200),   rtf TEXT, HTML TEXT, PlainText TEXT,   "
                          "Attribute1 VARCHAR(256), Attribute2 VARCHAR(256), Attribute3 VARCHAR(256),   "
                          "Created TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                          "Updated TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                          "PRIMARY KEY (ID))");
}

QString sysLogColumns()
{
    return QStringLiteral("(ID VARCHAR(64),   Category1 VARCHAR(200), Category2 VARCHAR(200), Category3 VARCHAR(200),   "
                          "Title VARCHAR(200), Content TEXT,   "
                          "Attribute1 VARCHAR(256), Attribute2 VARCHAR(256), Attribute3 VARCHAR(256),   "
                          "Created TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                          "PRIMARY KEY (ID))");
}

QStringList tableStatements()
{
    QStringList s;
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS SysParam(key VARCHAR(128), value VARCHAR,   "
                        "Created TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                        "PRIMARY KEY (key))");
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS SysLog") + sysLogColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS DelLog(ID VARCHAR(64),   Category VARCHAR(200),   "
                        "Attribute1 VARCHAR(256), Attribute2 VARCHAR(256), Attribute3 VARCHAR(256),   "
                        "Created TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                        "PRIMARY KEY (ID,Category))");
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS BookTree") + treeColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS MaterialTree") + materialColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS MemoTree") + treeColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS M.MaterialTree") + materialColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS S.SentenceTree") + materialColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS A.ArticleTree") + materialColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS L.SysLog") + sysLogColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS L.BookLog(ID VARCHAR(64),   BookID VARCHAR(64),ADate TIMESTAMP,   "
                        "WordCount1 INTEGER, WordCount2 INTEGER,   "
                        "Attribute1 VARCHAR(256), Attribute2 VARCHAR(256), Attribute3 VARCHAR(256),   "
                        "Created TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                        "Updated TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                        "Synced BOOLEAN DEFAULT (0),   PRIMARY KEY (ID))");
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS L.ActionLog(ID VARCHAR(64),   Action VARCHAR(200),ADate TIMESTAMP,   "
                        "triggerCount INTEGER,   "
                        "Attribute1 VARCHAR(256), Attribute2 VARCHAR(256), Attribute3 VARCHAR(256),   "
                        "Created TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                        "Updated TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                        "Synced BOOLEAN DEFAULT (0),   PRIMARY KEY (ID),   UNIQUE(Action,ADate))");
    for (const char *schema : {"", "M.", "S.", "A.", "L."})
        s << QStringLiteral("CREATE TABLE IF NOT EXISTS %1DbVersion(Version VARCHAR(64))").arg(QLatin1String(schema));
    // Earlier chapter texts, local only: a table of its own that older versions and sync ignore.
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS ChapterHistory(ID INTEGER PRIMARY KEY AUTOINCREMENT, "
                        "ChapterID VARCHAR(64) NOT NULL, Created TIMESTAMP, Origin VARCHAR(64) DEFAULT(''), "
                        "BatchID VARCHAR(64) DEFAULT(''), Name VARCHAR(200) DEFAULT(''), Length INTEGER DEFAULT(0), "
                        "Digest INTEGER, Base INTEGER DEFAULT(0), Data BLOB)");
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS ChapterHistoryLatest(ChapterID VARCHAR(64), ID INTEGER, Data BLOB, "
                        "PRIMARY KEY (ChapterID))");
    return s;
}

// Tree walks go by parent; without these every walk reads the whole table, chapter texts included.
QStringList indexStatements()
{
    return {QStringLiteral("CREATE INDEX IF NOT EXISTS BookTree_pID ON BookTree(pID, ID, Level)"),
            QStringLiteral("CREATE INDEX IF NOT EXISTS MemoTree_pID ON MemoTree(pID, ID, Level)"),
            QStringLiteral("CREATE INDEX IF NOT EXISTS ChapterHistory_Chapter ON ChapterHistory(ChapterID, ID)"),
            QStringLiteral("CREATE INDEX IF NOT EXISTS ChapterHistory_Batch ON ChapterHistory(BatchID) WHERE BatchID<>''")};
}

} // namespace

QString materialColumns()
{
    return QStringLiteral("(ID VARCHAR(64),   pID VARCHAR(64), NodeType INTEGER, Level INTEGER, Sort FLOAT,   "
                          "Title VARCHAR(200), Category VARCHAR(200),   rtf TEXT, HTML TEXT, PlainText TEXT,   "
                          "FeeGroup VARCHAR(256), Fee Float,   "
                          "Attribute1 VARCHAR(256), Attribute2 VARCHAR(256), Attribute3 VARCHAR(256),   "
                          "Created TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                          "Updated TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                          "PRIMARY KEY (ID))");
}

void createTables()
{
    for (const QString &sql : tableStatements())
        execSql(sql);
    for (const QString &sql : indexStatements())
        execSql(sql);
}

void createIndexes()
{
    // Additive only: older files and the cloud side never see a difference. The first serves the
    // sibling renumbering, the second covers the book tree query so that loading the tree never
    // reads the chapter texts.
    execSql(QStringLiteral("CREATE INDEX IF NOT EXISTS BookTree_pID_Flag_Sort ON BookTree(pID,Flag,Sort)"));
    execSql(QStringLiteral("CREATE INDEX IF NOT EXISTS BookTree_TreeLoad ON "
                           "BookTree(Flag,Level,pID,Sort,ID,Title,NodeType,Updated)"));
    // The loop worker counts rows waiting for upload twice a second.
    execSql(QStringLiteral("CREATE INDEX IF NOT EXISTS BookTree_Synced ON BookTree(Synced)"));
    execSql(QStringLiteral("CREATE INDEX IF NOT EXISTS MemoTree_Synced ON MemoTree(Synced)"));
    // Every save and book-wide replace looks up the chapter's row of the day: without this, a scan
    // of every day's rows of every chapter.
    execSql(QStringLiteral("CREATE INDEX IF NOT EXISTS L.BookLog_Book_Day ON BookLog(BookID,ADate)"));
}

void migrateSchema()
{
    if (queryInt(QStringLiteral("PRAGMA user_version;")) != 0)
        return;
    try {
        Transaction tx;
        for (const char *table : {"BookTree", "MemoTree"}) {
            const QString t = QLatin1String(table);
            execSql(QStringLiteral("ALTER TABLE %1 ADD COLUMN OrigID VARCHAR(64) DEFAULT('')").arg(t));
            execSql(QStringLiteral("ALTER TABLE %1 ADD COLUMN Flag CHAR(1) DEFAULT('A')").arg(t));
            execSql(QStringLiteral("ALTER TABLE %1 ADD COLUMN Usn INTEGER DEFAULT(0)").arg(t));
            execSql(QStringLiteral("ALTER TABLE %1 ADD COLUMN Synced BOOLEAN DEFAULT(0)").arg(t));
        }
        for (const char *table : {"BookTree", "MemoTree"}) {
            execSql(QStringLiteral("UPDATE %1 SET Flag='A',Usn=0,Synced=0, Created=IFNULL(Created,%2), "
                                   "Updated=IFNULL(Updated,%2)")
                        .arg(QLatin1String(table), QLatin1String(kNow)));
        }
        execSql(QStringLiteral("PRAGMA user_version=1"));
        tx.commit();
    } catch (const Exception &e) {
        throw Exception(QStringLiteral("升级数据库版本出错，错误信息：\r\n") + e.message(), e.code());
    } catch (...) {
        throw Exception(QStringLiteral("升级数据库版本出错，错误未知！"));
    }
}

void seedLogVersion(const OpenedFiles &files)
{
    if (!files.logWasMissing)
        return;
    bool empty = true;
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT COUNT(*) cnt FROM L.DbVersion"));
        if (q->next())
            empty = q->value(0).toInt() == 0;
    }
    if (empty)
        execSql(QStringLiteral("INSERT INTO L.DbVersion(Version) VALUES(") + quoteSql(Ink::appVersion()) +
                QLatin1Char(')'));
}

QString highestVersionQuery(const QString &versionTable)
{
    return QStringLiteral("SELECT Version, CAST(Version AS REAL) v FROM %1 ORDER BY v DESC LIMIT 1").arg(versionTable);
}

double libraryVersion(Ink::TableType type, QString *text)
{
    const char *const aliases[] = {"M", "S", "A", "L"};
    QueryPtr q = openQuery(highestVersionQuery(QLatin1String(aliases[type]) + QStringLiteral(".DbVersion")));
    const bool found = q->next();
    if (text)
        *text = found ? q->value(0).toString() : QStringLiteral("0");
    return found ? q->value(1).toDouble() : 0.0;
}

int checkLibraryVersions(double *version)
{
    for (int t = Ink::ttMaterial; t <= Ink::ttArticle; ++t) {
        const double v = libraryVersion(Ink::TableType(t));
        if (v != 0.0 && v < 3.0) {
            qDebug().noquote() << (t == Ink::ttMaterial ? QStringLiteral("素材库版本：") : QStringLiteral("素材版本："))
                               << v;
            if (version)
                *version = v;
            return t;
        }
    }
    return -1;
}
