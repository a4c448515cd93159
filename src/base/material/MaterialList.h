#pragma once

#include "storage/DataAccess.h"

#include <QSqlDatabase>
#include <QString>

class QSqlQuery;
class QSqlRecord;
class QStandardItem;
class TreeNodeInfo;

namespace material {

// The text a material is listed by: its title, or for a sentence its own text.
QString displayTitle(const TreeNodeInfo &info);
// The text shown in the content pane and inserted into the chapter.
QString displayText(const TreeNodeInfo &info);

// Column positions of a material query, looked up by name without regard to letter case;
// -1 for a column the query does not have.
struct MaterialColumns {
    explicit MaterialColumns(const QSqlRecord &record);
    int id, pID, title, type, plainText;
};

// Fills a record from the current row of `query` (NULL reads as empty text).
void readMaterialRow(TreeNodeInfo &info, const QSqlQuery &query, const MaterialColumns &columns);

// A list item showing displayTitle and carrying the record; read-only.
QStandardItem *newMaterialItem(TreeNodeInfo *info);

// Runs a library query under the connection lock. A failing query is returned inactive (it
// yields no rows) and its driver error goes to the "err" log instead of the user's screen.
QueryPtr runLibraryQuery(const QString &sql);

// The folder-tree queries of the material library ("M") and the user materials ("U").
QString materialTreeSql();
QString userMaterialTreeSql();
// The materials directly under a folder; `type` is the folder's source tag.
QString materialListSql(const QString &type, const QString &folderId);
QString userMaterialListSql(const QString &type, const QString &folderId);

// Materials of the libraries and the author's own materials, as the user information shows
// them; 0 when they cannot be counted.
int libraryMaterialCount();
int userMaterialCount();

} // namespace material
