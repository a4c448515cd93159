#include "material/MaterialList.h"

#include "app/App.h"
#include "app/Exception.h"
#include "book/TreeNodeInfo.h"
#include "log/Log.h"
#include "storage/Connection.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardItem>

namespace material {

QString displayTitle(const TreeNodeInfo &info)
{
    return info._type == QLatin1String("Sentence") ? displayText(info) : info.title;
}

QString displayText(const TreeNodeInfo &info) { return info.plainText; }

MaterialColumns::MaterialColumns(const QSqlRecord &record)
    : id(record.indexOf(QStringLiteral("id"))), pID(record.indexOf(QStringLiteral("pID"))),
      title(record.indexOf(QStringLiteral("Title"))), type(record.indexOf(QStringLiteral("_type"))),
      plainText(record.indexOf(QStringLiteral("PlainText")))
{
}

void readMaterialRow(TreeNodeInfo &info, const QSqlQuery &query, const MaterialColumns &columns)
{
    auto text = [&query](int column) { return column < 0 ? QString() : query.value(column).toString(); };
    info.id = text(columns.id);
    info.pID = text(columns.pID);
    info.title = text(columns.title);
    if (columns.type >= 0)
        info._type = text(columns.type);
    if (columns.plainText >= 0)
        info.plainText = text(columns.plainText);
}

QStandardItem *newMaterialItem(TreeNodeInfo *info)
{
    auto *item = new QStandardItem(displayTitle(*info));
    item->setEditable(false);
    TreeNodeInfo::attach(item, info);
    return item;
}

QueryPtr runLibraryQuery(const QString &sql)
{
    QueryPtr query = std::make_unique<LockedQuery>(dbConnection());
    query->setForwardOnly(true);
    if (!query->exec(sql))
        writeLog(QStringLiteral("err"),
                 QStringLiteral("读取素材出错：%1；SQL：%2").arg(query->lastError().text(), sql));
    return query;
}

QString materialTreeSql()
{
    return QStringLiteral(
        "SELECT a.ID,a.pID,a.Title||IFNULL('('||b.cnt||')','') Title,a.NodeType,'Material' _type FROM M.MaterialTree a "
        "LEFT JOIN (SELECT pID,COUNT(*) cnt FROM M.MaterialTree WHERE Category='Content' GROUP BY pID) b ON a.ID=b.pID "
        "WHERE a.Category='Tree' ORDER BY a.level,a.pID,a.sort");
}

QString userMaterialTreeSql()
{
    return QStringLiteral("SELECT a.ID,a.pID,a.Title,a.NodeType,'UserMaterial' _type FROM MemoTree a "
                          "WHERE a.Category='Tree' AND flag='A' ORDER BY a.level,a.pID,a.sort");
}

QString materialListSql(const QString &type, const QString &folderId)
{
    return QStringLiteral("SELECT id,pid,title,plainText,%1 _type,Fee FROM M.MaterialTree WHERE Category='Content' "
                          "AND pid=%2")
        .arg(quoteSql(type), quoteSql(folderId));
}

QString userMaterialListSql(const QString &type, const QString &folderId)
{
    return QStringLiteral("SELECT id,pid,title,plainText,%1 _type,0 AS Fee FROM MemoTree WHERE Category='Content' "
                          "AND flag='A' AND pid=%2")
        .arg(quoteSql(type), quoteSql(folderId));
}

namespace {

int countOf(const QString &sql)
{
    try {
        QueryPtr q = openQuery(sql);
        return q->next() ? q->value(0).toInt() : 0;
    } catch (const Exception &) {
        return 0;
    }
}

} // namespace

int libraryMaterialCount()
{
    return countOf(QStringLiteral("SELECT COUNT(*) FROM M.MaterialTree WHERE Category='Content'"));
}

int userMaterialCount()
{
    return countOf(QStringLiteral("SELECT COUNT(*) FROM MemoTree WHERE Flag='A' AND Category='Content'"));
}

} // namespace material
