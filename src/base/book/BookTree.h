#pragma once

#include "book/TreeNodeInfo.h"

#include <QHash>
#include <QString>
#include <QVariant>
#include <QVector>

class QSqlQuery;
class QStandardItem;
class QStandardItemModel;

// One row of a tree query: the columns every tree uses, and the optional ones when present.
struct TreeRow {
    QString id;
    QString pID;
    QString title;
    QString nodeType;
    QString type;
    QString plainText;
    QString updated;
};

struct TreeRows {
    QVector<TreeRow> rows;
    bool hasType = false;
    bool hasPlainText = false;
    bool hasUpdated = false;
};

// Reads a tree query (columns id, pID, title, NodeType; _type, plainText, Updated when present,
// names compared case-insensitively) into memory, in the query's order.
TreeRows readTreeRows(QSqlQuery &query);
// Runs sql forward-only under the connection lock and reads it.
TreeRows readTreeRows(const QString &sql);

// Builds the items of the children of parentId under parentItem, recursively. Siblings keep the
// order of the rows. Without parentItem (top call) the model is emptied and then the list's
// records are freed before the new top-level items are added. Rows are grouped by parent once,
// so the work grows linearly with the number of rows; rows not reachable from parentId (their
// parent is gone) are left out, and a cycle of parents cannot loop.
void buildTreeLevel(const TreeRows &rows, QStandardItemModel *model, QStandardItem *parentItem,
                    const QString &parentId, TreeNodeList &list);

// What tree items show beside their title, by NodeType (icons: the window layer gives them; an
// unknown type, or none given, shows nothing).
void setNodeDecorations(const QHash<QString, QVariant> &decorations);

// A new item for rows.rows[row] with its icon (by NodeType), title and record. Not yet placed.
QStandardItem *createTreeItem(const TreeRows &rows, int row, TreeNodeList &list);

// readTreeRows + buildTreeLevel from the roots (parent id empty).
void loadTreeModel(const QString &sql, QStandardItemModel *model, TreeNodeList &list);

// 0 for an invalid index, else 1 + the number of valid ancestors.
int nodeDepth(const QModelIndex &index);

// The query of the book tree: live rows ordered by level, parent and sort.
QString bookTreeSql();
