#include "material/UserMaterialStore.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "storage/DataAccess.h"

#include <QDateTime>
#include <QSet>
#include <QVariant>

namespace UserMaterialStore {

const char *const newFolderTitle = "新建用户素材目录";

namespace {

const QString kTable = QStringLiteral("MemoTree");

QString now() { return QDateTime::currentDateTime().toString(Ink::dateTimeMsFormat()); }

// Runs write inside one transaction; a failure comes back with the operation's message.
template <typename F>
auto inTransaction(const QString &failure, F write)
{
    try {
        Transaction tx;
        auto result = write();
        tx.commit();
        return result;
    } catch (const Exception &e) {
        if (e.isAbort() || failure.isEmpty())
            throw;
        throwError(failure.arg(e.message()), e.code());
    }
}

struct RowInfo {
    bool found = false;
    QString pID;
    int level = 0;
    double sort = 0;
};

RowInfo readRow(const QString &id)
{
    RowInfo row;
    QueryPtr q = openQuery(QStringLiteral("SELECT pID,Level,Sort FROM MemoTree WHERE ID=%1").arg(quoteSql(id)));
    if (q->next()) {
        row.found = true;
        row.pID = q->value(0).toString();
        row.level = q->value(1).toInt();
        row.sort = q->value(2).toDouble();
    }
    return row;
}

int countOf(const QString &sql)
{
    QueryPtr q = openQuery(sql);
    return q->next() ? q->value(0).toInt() : 0;
}

// A common table "sub" of the row id and the rows below it that meet `below` (a condition on
// t). UNION (not UNION ALL) ends a loop of parents.
QString subtree(const QString &id, const QString &below)
{
    return QStringLiteral("WITH RECURSIVE sub(id) AS (SELECT %1 UNION SELECT t.ID FROM MemoTree t JOIN sub ON "
                          "t.pID=sub.id WHERE %2) ")
        .arg(quoteSql(id), below);
}

// The rows one deletion marked below id: they carry the stamp it wrote.
QString deletedWith(const QString &id, const QVariant &stamp)
{
    return subtree(id, QStringLiteral("t.Flag='D' AND t.Updated IS %1")
                           .arg(stamp.isNull() ? QStringLiteral("NULL") : quoteSql(stamp.toString())));
}

Contents countContents(const QString &sub, const QString &id)
{
    Contents c;
    QueryPtr q = openQuery(sub + QStringLiteral("SELECT IFNULL(SUM(Category='Tree'),0),IFNULL(SUM(Category='Content'),0) "
                                                "FROM MemoTree WHERE ID IN (SELECT id FROM sub) AND ID<>%1")
                                     .arg(quoteSql(id)));
    if (q->next()) {
        c.folders = q->value(0).toInt();
        c.materials = q->value(1).toInt();
    }
    return c;
}

[[noreturn]] void throwTreeTooDeep()
{
    throwError(QStringLiteral("用户素材目录层级不能超过%1层！").arg(Ink::maxTreeLevel), QStringLiteral("0"));
}

// Folders stop one level above the limit: their materials go one below them.
void checkFolderLevel(int level)
{
    if (level > Ink::maxTreeLevel - 1)
        throwTreeTooDeep();
}

} // namespace

Folder addFolder(const QString &parentId)
{
    if (!parentId.isEmpty()) {
        const RowInfo parent = readRow(parentId);
        checkFolderLevel(parent.found ? parent.level + 1 : 0);
    }
    return inTransaction(QStringLiteral("新增用户素材目录出错，错误信息：\n%1"), [&]() {
        Folder folder;
        folder.id = newGuid();
        folder.pID = parentId;
        folder.title = QString::fromUtf8(newFolderTitle);
        if (!parentId.isEmpty()) {
            const RowInfo parent = readRow(parentId);
            folder.level = parent.found ? parent.level + 1 : 0;
        }
        const QString parentFilter = parentId.isEmpty() ? QStringLiteral("IFNULL(pID,'')=''")
                                                        : QStringLiteral("pID=") + quoteSql(parentId);
        folder.sort = countOf(QStringLiteral("SELECT COUNT(*) FROM MemoTree WHERE Category='Tree' AND Flag='A' AND ") +
                              parentFilter) +
                      1;
        const QString stamp = now();
        execPrepared(QStringLiteral("INSERT INTO MemoTree(ID,pID,NodeType,Level,Sort,Title,Category,PlainText,Created,"
                                    "Updated,Flag,Usn,Synced) VALUES(?,?,2,?,?,?,'Tree','',?,?,'A',0,0)"),
                     {folder.id, parentId, folder.level, folder.sort, folder.title, stamp, stamp});
        // Read back: the caller shows what was stored, not what it meant to store.
        QueryPtr q = openQuery(
            QStringLiteral("SELECT pID,Level,Sort,Title FROM MemoTree WHERE ID=%1").arg(quoteSql(folder.id)));
        if (!q->next())
            throwError(QStringLiteral("新增的目录未能读回"), QStringLiteral("0"));
        folder.pID = q->value(0).toString();
        folder.level = q->value(1).toInt();
        folder.sort = q->value(2).toDouble();
        folder.title = q->value(3).toString();
        return folder;
    });
}

QString saveMaterial(const QString &id, const QString &parentId, const QString &title, const QString &text)
{
    checkUserMaterialLength(text);
    if (title.trimmed().isEmpty())
        throwError(QStringLiteral("标题不能为空！"), QStringLiteral("0"));
    checkTitleLength(title);
    if (id.isEmpty() && readRow(parentId).level + 1 > Ink::maxTreeLevel)
        throwTreeTooDeep();
    return inTransaction(QStringLiteral("保存素材失败，错误信息：\n%1"), [&]() {
        const QString stamp = now();
        if (!id.isEmpty()) {
            const int changed = execPrepared(
                QStringLiteral("UPDATE MemoTree SET Title=?,PlainText=?,Updated=?,Flag='A',Usn=0,Synced=0 WHERE ID=?"),
                {title, text, stamp, id});
            if (changed == 0)
                throwError(QStringLiteral("素材已不存在（可能已被删除）"), QStringLiteral("0"));
            return id;
        }
        const RowInfo parent = readRow(parentId);
        const int level = parent.found ? parent.level + 1 : 0;
        int sort = 1;
        {
            QueryPtr q = openQuery(QStringLiteral("SELECT IFNULL(MAX(Sort),0)+1 sort FROM MemoTree WHERE "
                                                  "Category='Content' AND pID=%1")
                                       .arg(quoteSql(parentId)));
            if (q->next())
                sort = q->value(0).toInt();
        }
        const QString newId = newGuid();
        execPrepared(QStringLiteral("INSERT INTO MemoTree(ID,pID,NodeType,Level,Sort,Title,Category,PlainText,Created,"
                                    "Updated,Flag,Usn,Synced) VALUES(?,?,3,?,?,?,'Content',?,?,?,'A',0,0)"),
                     {newId, parentId, level, sort, title, text, stamp, stamp});
        return newId;
    });
}

bool renameFolder(const QString &id, const QString &title)
{
    if (title.trimmed().isEmpty())
        throwError(QStringLiteral("标题不能为空！"), QStringLiteral("0"));
    checkTitleLength(title);
    return inTransaction(QStringLiteral("更改用户素材节点名称，错误信息：\n%1"), [&]() {
        return execPrepared(QStringLiteral("UPDATE MemoTree SET Title=?,Updated=?,Flag='A',Usn=0,Synced=0 WHERE ID=?"),
                            {title, now(), id}) > 0;
    });
}

int deleteFolder(const QString &id)
{
    return inTransaction(QStringLiteral("删除用户素材目录出错，错误信息：\n%1"), [&]() {
        const RowInfo folder = readRow(id);
        if (!folder.found)
            return 0;
        // The folder and all it holds, or a sync would keep carrying its contents as live.
        // UNION (not UNION ALL) ends a loop of parents.
        const int marked = execPrepared(
            QStringLiteral("WITH RECURSIVE sub(id) AS (SELECT ID FROM MemoTree WHERE ID=? AND Flag='A' "
                           "UNION SELECT t.ID FROM MemoTree t JOIN sub ON t.pID=sub.id WHERE t.Flag='A') "
                           "UPDATE MemoTree SET Flag='D',Updated=?,Usn=0,Synced=0 WHERE ID IN (SELECT id FROM sub)"),
            {id, now()});
        resortChildren(kTable, folder.pID, QStringLiteral("Tree"));
        return marked;
    });
}

void deleteMaterials(const QStringList &ids)
{
    inTransaction(QStringLiteral("删除用户素材出错，错误信息：\n%1"), [&]() {
        QSet<QString> parents;
        const QString stamp = now();
        for (const QString &id : ids) {
            const RowInfo row = readRow(id);
            if (!row.found)
                continue;
            execPrepared(QStringLiteral("UPDATE MemoTree SET Flag='D',Updated=?,Usn=0,Synced=0 WHERE ID=?"), {stamp, id});
            parents.insert(row.pID);
        }
        for (const QString &parent : parents)
            resortChildren(kTable, parent, QStringLiteral("Content"));
        return 0;
    });
}

Contents liveContents(const QString &folderId)
{
    return countContents(subtree(folderId, QStringLiteral("t.Flag='A'")), folderId);
}

QVector<Deleted> recentlyDeleted(int limit)
{
    QVector<Deleted> entries;
    QVector<QVariant> stamps;
    {
        // A deleted row whose parent went in another deletion (or is live) starts an entry.
        QueryPtr q = openQuery(QStringLiteral("SELECT a.ID,a.Title,a.Category,a.Updated,a.pID FROM MemoTree a WHERE a.Flag='D' "
                                              "AND NOT EXISTS(SELECT 1 FROM MemoTree p WHERE p.ID=a.pID AND "
                                              "p.Flag='D' AND p.Updated IS a.Updated) "
                                              "ORDER BY a.Updated DESC,a.rowid DESC LIMIT %1")
                                   .arg(limit));
        while (q->next()) {
            Deleted d;
            d.id = q->value(0).toString();
            d.title = q->value(1).toString();
            d.folder = q->value(2).toString() == QLatin1String("Tree");
            d.deleted = q->value(3).toString();
            d.pID = q->value(4).toString();
            entries << d;
            stamps << q->value(3);
        }
    }
    for (int i = 0; i < entries.size(); ++i) {
        if (entries[i].folder)
            entries[i].contents = countContents(deletedWith(entries[i].id, stamps[i]), entries[i].id);
    }
    return entries;
}

int restoreDeleted(const QString &id)
{
    return inTransaction(QStringLiteral("恢复用户素材出错，错误信息：\n%1"), [&]() {
        QString rootParent;
        bool rootIsFolder = false;
        QVariant stamp;
        {
            QueryPtr q = openQuery(
                QStringLiteral("SELECT pID,Category,Updated FROM MemoTree WHERE ID=%1 AND Flag='D'").arg(quoteSql(id)));
            if (!q->next())
                return 0;
            rootParent = q->value(0).toString();
            rootIsFolder = q->value(1).toString() == QLatin1String("Tree");
            stamp = q->value(2);
        }
        QStringList ids;
        {
            QueryPtr q = openQuery(deletedWith(id, stamp) + QStringLiteral("SELECT id FROM sub"));
            while (q->next())
                ids << quoteSql(q->value(0).toString());
        }
        // Deleted folders above come back bare, or the restored rows hang from nothing visible.
        QString top = id, topParent = rootParent;
        QSet<QString> seen{id};
        while (!topParent.isEmpty() && !seen.contains(topParent)) {
            seen.insert(topParent);
            QueryPtr q = openQuery(QStringLiteral("SELECT pID,Flag FROM MemoTree WHERE ID=%1").arg(quoteSql(topParent)));
            if (!q->next() || q->value(1).toString() != QLatin1String("D"))
                break;
            ids << quoteSql(topParent);
            top = topParent;
            topParent = q->value(0).toString();
        }
        const QString idList = ids.join(QLatin1Char(','));
        execPrepared(QStringLiteral("UPDATE MemoTree SET Flag='A',Updated=?,Usn=0,Synced=0 WHERE ID IN (%1)").arg(idList),
                     {now()});
        // Places and levels as they are now: siblings were renumbered, folders may have moved.
        if (rootIsFolder || top != id)
            resortChildren(kTable, topParent, QStringLiteral("Tree"));
        if (!rootIsFolder)
            resortChildren(kTable, rootParent, QStringLiteral("Content"));
        execSql(QStringLiteral("UPDATE MemoTree SET Level=(SELECT p.Level+1 FROM MemoTree p WHERE p.ID=MemoTree.pID) "
                               "WHERE Category='Content' AND ID IN (%1) AND EXISTS(SELECT 1 FROM MemoTree p WHERE "
                               "p.ID=MemoTree.pID) AND Level IS NOT (SELECT p.Level+1 FROM MemoTree p WHERE "
                               "p.ID=MemoTree.pID)")
                    .arg(idList));
        return int(ids.size());
    });
}

bool isSelfOrDescendant(const QString &folderId, const QString &candidateId)
{
    QSet<QString> seen;
    QString id = candidateId;
    while (!id.isEmpty() && !seen.contains(id)) {
        if (id == folderId)
            return true;
        seen.insert(id);
        id = readRow(id).pID;
    }
    return false;
}

bool moveFolder(const QString &id, const QString &targetId, Drop drop)
{
    if (id.isEmpty() || targetId.isEmpty())
        return false;
    return inTransaction(QString(), [&]() {
        // Into its own subtree the folder would hang from itself: the tree loses it and every
        // walk of it loops.
        if (isSelfOrDescendant(id, drop == Drop::OnItem ? targetId : readRow(targetId).pID) ||
            isSelfOrDescendant(id, targetId))
            return false;
        const RowInfo moved = readRow(id);
        const RowInfo target = readRow(targetId);
        if (!moved.found || !target.found)
            return false;
        // The deepest row below the moved folder, a folder counting one more for its materials.
        const int below = countOf(
            QStringLiteral("WITH RECURSIVE sub(id,d,tree) AS (SELECT %1,0,1 UNION SELECT t.ID,sub.d+1,t.Category='Tree' "
                           "FROM MemoTree t JOIN sub ON t.pID=sub.id WHERE t.Flag='A' AND sub.d<=%2) "
                           "SELECT MAX(d+tree) FROM sub")
                .arg(quoteSql(id))
                .arg(Ink::maxTreeLevel));
        const int newLevel = drop == Drop::OnItem ? target.level + 1 : target.level;
        if (newLevel + below > Ink::maxTreeLevel)
            throwTreeTooDeep();
        const QString stamp = now();
        QString newParent;
        if (drop == Drop::OnItem) {
            newParent = targetId;
            execSql(QStringLiteral("UPDATE MemoTree SET sort=9999,pid=%1,Updated=%3,Flag='A',Usn=0,Synced=0 WHERE ID=%2 ")
                        .arg(quoteSql(targetId), quoteSql(id), quoteSql(stamp)));
        } else {
            newParent = target.pID;
            execSql(QStringLiteral("UPDATE MemoTree SET sort=%1%2,pid=%3,Updated=%5,Flag='A',Usn=0,Synced=0 WHERE ID=%4 ")
                        .arg(QString::number(target.sort, 'g'),
                             drop == Drop::Above ? QStringLiteral("-0.1") : QStringLiteral("+0.1"),
                             quoteSql(newParent), quoteSql(id), quoteSql(stamp)));
        }
        resortChildren(kTable, newParent, QStringLiteral("Tree"));
        if (moved.pID != newParent)
            resortChildren(kTable, moved.pID, QStringLiteral("Tree"));
        // The folders' levels are renumbered above; the materials in them follow one below.
        execPrepared(QStringLiteral(
                         "WITH RECURSIVE sub(id) AS (SELECT ? UNION SELECT t.ID FROM MemoTree t JOIN sub ON "
                         "t.pID=sub.id WHERE t.Category='Tree' AND t.Flag='A') "
                         "UPDATE MemoTree SET Level=(SELECT p.Level+1 FROM MemoTree p WHERE p.ID=MemoTree.pID),"
                         "Updated=?,Flag='A',Usn=0,Synced=0 WHERE Category='Content' AND Flag='A' AND pID IN "
                         "(SELECT id FROM sub) AND Level IS NOT (SELECT p.Level+1 FROM MemoTree p WHERE p.ID=MemoTree.pID)"),
                     {id, stamp});
        return true;
    });
}

} // namespace UserMaterialStore
