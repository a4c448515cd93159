#include "libtool/LibraryFile.h"

#include "app/Constants.h"
#include "storage/Database.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace libtool {

namespace {

int g_connections = 0;

// One connection to a library file for the life of the object.
class LibraryConnection
{
public:
    explicit LibraryConnection(const QString &fileName)
        : m_name(QStringLiteral("libtool-%1").arg(++g_connections))
    {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("SQLITECIPHER"), m_name);
        m_db.setDatabaseName(fileName);
        m_db.setPassword(Ink::libraryKey());
        m_db.setConnectOptions(QStringLiteral("QSQLITE_USE_CIPHER=chacha20"));
        if (!m_db.isValid())
            throw SourceError(QStringLiteral("the SQLITECIPHER driver is not available"));
        if (!m_db.open())
            throw SourceError(QStringLiteral("%1: %2").arg(fileName, m_db.lastError().text()));
    }
    ~LibraryConnection()
    {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }
    QSqlDatabase &db() { return m_db; }
    void exec(const QString &sql)
    {
        QSqlQuery q(m_db);
        if (!q.exec(sql))
            throw SourceError(QStringLiteral("%1: %2").arg(sql.left(60), q.lastError().text()));
    }

private:
    QString m_name;
    QSqlDatabase m_db;
};

void check(QSqlQuery &q, bool ok)
{
    if (!ok)
        throw SourceError(q.lastError().text());
}

} // namespace

QString tableForKind(const QString &kind)
{
    const QString k = kind.toLower();
    if (k == QLatin1String("material"))
        return Ink::origDbTableNames().value(Ink::ttMaterial);
    if (k == QLatin1String("sentence"))
        return Ink::origDbTableNames().value(Ink::ttSentence);
    if (k == QLatin1String("article"))
        return Ink::origDbTableNames().value(Ink::ttArticle);
    return QString();
}

QString stableId(const QString &seed)
{
    return QString::fromLatin1(QCryptographicHash::hash(seed.toUtf8(), QCryptographicHash::Md5).toHex().toUpper());
}

QString textToHtml(const QString &text)
{
    QString html = QStringLiteral("<html><body>");
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (line.isEmpty())
            html += QStringLiteral("<p><br /></p>");
        else
            html += QStringLiteral("<p>") + line.toHtmlEscaped() + QStringLiteral("</p>");
    }
    return html + QStringLiteral("</body></html>");
}

void writeLibraryFile(const Library &library, const QString &fileName, const BuildOptions &options)
{
    if (options.table.isEmpty())
        throw SourceError(QStringLiteral("no table name for the library"));
    bool versionOk = false;
    if (options.version.toDouble(&versionOk) < 3.0 || !versionOk)
        throw SourceError(QStringLiteral("library version %1 is below 3.0").arg(options.version));

    // Built beside the target and renamed at the end: a failed build never leaves half a library.
    const QString tmp = fileName + QStringLiteral(".part");
    QFile::remove(tmp);
    QFile::remove(tmp + QStringLiteral("-journal"));
    const QString table = options.table;
    const QString now = QDateTime::currentDateTime().toString(Ink::dateTimeMsFormat());
    {
        LibraryConnection c(tmp);
        c.exec(QStringLiteral("PRAGMA journal_mode=OFF"));
        c.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS %1%2").arg(table, materialColumns()));
        c.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS DbVersion(Version VARCHAR(64))"));
        if (!c.db().transaction())
            throw SourceError(c.db().lastError().text());
        QSqlQuery ins(c.db());
        check(ins, ins.prepare(QStringLiteral("INSERT INTO %1(ID,pID,NodeType,Level,Sort,Title,Category,rtf,HTML,"
                                              "PlainText,FeeGroup,Fee,Attribute1,Attribute2,Attribute3,Created,"
                                              "Updated) VALUES(?,?,?,?,?,?,?,'',?,?,'',0,?,?,?,?,?)")
                                   .arg(table)));
        auto insert = [&](const QString &id, const QString &pid, int nodeType, int level, double sort,
                          const QString &title, const QString &category, const QString &text, const QString &a1,
                          const QString &a2, const QString &a3) {
            const QVariantList values = {id,       pid,          nodeType, level, sort, title, category,
                                         textToHtml(text), text, a1,       a2,    a3,   now,   now};
            for (int i = 0; i < values.size(); ++i)
                ins.bindValue(i, values.at(i));
            check(ins, ins.exec());
        };
        QHash<QString, QString> folderIds; // path joined by "＃" -> id
        for (const Folder &folder : library.folders) {
            QString parentId;
            for (int level = 0; level < folder.path.size(); ++level) {
                const QString key = folder.path.mid(0, level + 1).join(Ink::fullWidthMarker);
                const bool own = level == folder.path.size() - 1;
                if (!folderIds.contains(key)) {
                    const QString id = stableId(table + QLatin1Char('/') + key);
                    insert(id, parentId, 2, level, folder.order, folder.path.at(level), QStringLiteral("Tree"),
                           QString(), QString(), own ? folder.notes.join(QLatin1Char('\n')) : QString(),
                           own ? QString::number(folder.order) : QString());
                    folderIds.insert(key, id);
                } else if (own) {
                    // A folder created earlier as a parent now gets its own file's order and notes.
                    QSqlQuery up(c.db());
                    check(up, up.prepare(QStringLiteral("UPDATE %1 SET Attribute2=?, Attribute3=? WHERE ID=?").arg(table)));
                    up.addBindValue(folder.notes.join(QLatin1Char('\n')));
                    up.addBindValue(QString::number(folder.order));
                    up.addBindValue(folderIds.value(key));
                    check(up, up.exec());
                }
                parentId = folderIds.value(key);
            }
            for (int i = 0; i < folder.entries.size(); ++i) {
                const Entry &e = folder.entries.at(i);
                const QString id = stableId(table + QLatin1Char('/') + folder.path.join(Ink::fullWidthMarker) +
                                            QLatin1Char('/') + QString::number(i) + QLatin1Char('/') + e.title);
                insert(id, parentId, 3, folder.path.size(), i + 1, e.title, QStringLiteral("Content"), e.text, e.type,
                       QString(), QString());
            }
        }
        QSqlQuery v(c.db());
        check(v, v.prepare(QStringLiteral("INSERT INTO DbVersion(Version) VALUES(?)")));
        v.addBindValue(options.version);
        check(v, v.exec());
        if (options.withIndexes) {
            // The folder tree, the per-folder counts and the folder lists all filter on Category, pID.
            c.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS idx_%1_category_pid ON %1(Category, pID)").arg(table));
        }
        if (!c.db().commit())
            throw SourceError(c.db().lastError().text());
        c.exec(QStringLiteral("VACUUM"));
    }
    QFile::remove(fileName);
    if (!QFile::rename(tmp, fileName))
        throw SourceError(QStringLiteral("%1: cannot move the finished library into place").arg(fileName));
}

Library readLibraryFile(const QString &fileName, QString *tableOut, QString *versionOut)
{
    if (!QFileInfo::exists(fileName))
        throw SourceError(QStringLiteral("%1: no such file").arg(fileName));
    LibraryConnection c(fileName);
    QSqlQuery q(c.db());
    check(q, q.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type='table' AND name LIKE '%Tree'")));
    if (!q.next())
        throw SourceError(QStringLiteral("%1: no library table").arg(fileName));
    const QString table = q.value(0).toString();
    if (tableOut)
        *tableOut = table;
    if (versionOut && q.exec(highestVersionQuery(QStringLiteral("DbVersion"))))
        *versionOut = q.next() ? q.value(0).toString() : QString();

    q.setForwardOnly(true);
    check(q, q.exec(QStringLiteral("SELECT ID,pID,Category,Title,PlainText,Attribute1,Attribute2,Attribute3 FROM %1 "
                                   "ORDER BY Level, pID, Sort, rowid")
                        .arg(table)));
    QHash<QString, QStringList> pathOf; // folder id -> path
    Library lib;
    int nextOrder = 1;
    QHash<QString, Folder> folders;
    QStringList folderOrder;
    while (q.next()) {
        const QString id = q.value(0).toString();
        const QString pid = q.value(1).toString();
        if (q.value(2).toString() == QLatin1String("Tree")) {
            QStringList path = pid.isEmpty() ? QStringList() : pathOf.value(pid);
            path << q.value(3).toString();
            pathOf.insert(id, path);
            Folder f;
            f.path = path;
            const QString notes = q.value(6).toString();
            if (!notes.isEmpty())
                f.notes = notes.split(QLatin1Char('\n'));
            f.order = q.value(7).toString().isEmpty() ? 0 : q.value(7).toInt();
            folders.insert(id, f);
            folderOrder << id;
        } else {
            if (!folders.contains(pid))
                throw SourceError(QStringLiteral("%1: entry %2 has no folder").arg(fileName, id));
            Entry e;
            e.title = q.value(3).toString();
            e.text = q.value(4).toString();
            e.type = q.value(5).toString();
            folders[pid].entries << e;
        }
    }
    for (const QString &id : qAsConst(folderOrder)) {
        Folder f = folders.value(id);
        if (f.entries.isEmpty() && f.notes.isEmpty() && f.order == 0)
            continue;
        if (f.order == 0)
            f.order = nextOrder;
        nextOrder = std::max(nextOrder, f.order + 1);
        lib.folders << f;
    }
    std::stable_sort(lib.folders.begin(), lib.folders.end(),
                     [](const Folder &a, const Folder &b) { return a.order < b.order; });
    return lib;
}

} // namespace libtool
