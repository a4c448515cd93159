#include "book/BookTree.h"

#include "app/App.h"
#include "app/Exception.h"
#include "storage/Connection.h"
#include "storage/DataAccess.h"

#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardItemModel>

namespace {

int fieldIndex(const QSqlRecord &rec, const QString &name)
{
    // QSqlRecord::indexOf compares names without regard to case.
    return rec.indexOf(name);
}

struct Builder {
    const TreeRows &rows;
    TreeNodeList &list;
    QHash<QString, QVector<int>> children;
    QVector<bool> used;

    Builder(const TreeRows &r, TreeNodeList &l) : rows(r), list(l), used(r.rows.size(), false)
    {
        children.reserve(r.rows.size() / 4 + 16);
        for (int i = 0; i < r.rows.size(); ++i)
            children[r.rows[i].pID].append(i);
    }

    // Adds the children of parentId under parent (already in the model) in one call per level,
    // then goes down. Items must be in the model before their own children are added, or those
    // grandchildren never learn their model.
    void build(QStandardItem *parent, const QString &parentId, int depth)
    {
        const auto it = children.constFind(parentId);
        if (it == children.constEnd() || depth > 10000)
            return;
        const QVector<int> kids = it.value();
        QList<QStandardItem *> items;
        QVector<int> itemRows;
        items.reserve(kids.size());
        itemRows.reserve(kids.size());
        for (int row : kids) {
            if (used[row])
                continue;
            used[row] = true;
            items.append(createTreeItem(rows, row, list));
            itemRows.append(row);
        }
        if (items.isEmpty())
            return;
        parent->appendRows(items);
        for (int i = 0; i < items.size(); ++i)
            build(items[i], rows.rows[itemRows[i]].id, depth + 1);
    }
};

} // namespace

TreeRows readTreeRows(QSqlQuery &query)
{
    TreeRows result;
    const QSqlRecord rec = query.record();
    const int cId = fieldIndex(rec, QStringLiteral("id"));
    const int cPid = fieldIndex(rec, QStringLiteral("pID"));
    const int cTitle = fieldIndex(rec, QStringLiteral("title"));
    const int cType = fieldIndex(rec, QStringLiteral("NodeType"));
    const int cKind = fieldIndex(rec, QStringLiteral("_type"));
    const int cPlain = fieldIndex(rec, QStringLiteral("plainText"));
    const int cUpdated = fieldIndex(rec, QStringLiteral("Updated"));
    result.hasType = cKind >= 0;
    result.hasPlainText = cPlain >= 0;
    result.hasUpdated = cUpdated >= 0;
    // Siblings come in a run and every row has the same kind: an equal text shares the previous
    // row's string, and a large tree holds one copy instead of one per row.
    const auto shared = [](QString text, const QString &previous) { return text == previous ? previous : text; };
    TreeRow last;
    while (query.next()) {
        TreeRow row;
        row.id = query.value(cId).toString();
        row.pID = cPid >= 0 ? shared(query.value(cPid).toString(), last.pID) : QString();
        row.title = cTitle >= 0 ? query.value(cTitle).toString() : QString();
        row.nodeType = cType >= 0 ? shared(query.value(cType).toString(), last.nodeType) : QString();
        if (cKind >= 0)
            row.type = shared(query.value(cKind).toString(), last.type);
        if (cPlain >= 0)
            row.plainText = query.value(cPlain).toString();
        if (cUpdated >= 0)
            row.updated = query.value(cUpdated).toString();
        result.rows.append(row);
        last = row;
    }
    return result;
}

TreeRows readTreeRows(const QString &sql)
{
    LockedQuery query(dbConnection());
    query.setForwardOnly(true);
    if (!query.exec(sql))
        throwError(query.lastError().text().trimmed(), QStringLiteral("ERR_QUERY"));
    return readTreeRows(query);
}

namespace {

QHash<QString, QVariant> &nodeDecorations()
{
    static QHash<QString, QVariant> decorations;
    return decorations;
}

} // namespace

void setNodeDecorations(const QHash<QString, QVariant> &decorations) { nodeDecorations() = decorations; }

QStandardItem *createTreeItem(const TreeRows &rows, int row, TreeNodeList &list)
{
    const TreeRow &r = rows.rows[row];
    auto *item = new QStandardItem(r.title);
    const QVariant decoration = nodeDecorations().value(r.nodeType);
    if (decoration.isValid())
        item->setData(decoration, Qt::DecorationRole);
    TreeNodeInfo *info = list.add();
    info->id = r.id;
    info->pID = r.pID;
    info->title = r.title;
    info->nodeType = r.nodeType;
    if (rows.hasType)
        info->_type = r.type;
    if (rows.hasPlainText)
        info->plainText = r.plainText;
    if (rows.hasUpdated)
        info->updatedText = r.updated;
    TreeNodeInfo::attach(item, info);
    return item;
}

void buildTreeLevel(const TreeRows &rows, QStandardItemModel *model, QStandardItem *parentItem,
                    const QString &parentId, TreeNodeList &list)
{
    if (!parentItem) {
        // Items first, then their records: no item may outlive its record.
        model->removeRows(0, model->rowCount());
        list.clear();
    }
    if (rows.rows.isEmpty())
        return;
    Builder builder(rows, list);
    // Siblings are added in one call: one model signal per parent instead of one per node.
    builder.build(parentItem ? parentItem : model->invisibleRootItem(), parentId, 0);
}

void loadTreeModel(const QString &sql, QStandardItemModel *model, TreeNodeList &list)
{
    const TreeRows rows = readTreeRows(sql);
    buildTreeLevel(rows, model, nullptr, QString(), list);
}

int nodeDepth(const QModelIndex &index)
{
    if (!index.isValid())
        return 0;
    int depth = 1;
    for (QModelIndex p = index.parent(); p.isValid(); p = p.parent())
        ++depth;
    return depth;
}

QString bookTreeSql()
{
    return QStringLiteral("SELECT ID,pID,Title,NodeType,'Book' _type,Updated FROM BookTree WHERE flag='A' "
                          "ORDER BY level,pID,sort");
}
