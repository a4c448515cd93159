#pragma once

// Book rows in the real database: a small library, row contents, the shape of a tree model.
#include "storage/DataAccess.h"

#include <QAbstractItemModel>
#include <QSqlRecord>
#include <QStringList>

// A row with HTML "<p>title</p>", PlainText = title unless given, Usn 7, Synced 1, Updated in 2020.
inline void insertBookRow(const QString &id, const QVariant &pid, int nodeType, int level, double sort,
                          const QString &title, const QString &flag = QStringLiteral("A"),
                          const QVariant &plain = QVariant())
{
    execPrepared(QStringLiteral("INSERT INTO BookTree(ID,pID,NodeType,Level,Sort,Title,Category,HTML,PlainText,"
                                "Flag,Usn,Synced,Updated) VALUES(?,?,?,?,?,?,'Book',?,?,?,7,1,'2020-01-01 00:00:00.000')"),
                 {id, pid, nodeType, level, sort, title, "<p>" + title + "</p>", plain.isValid() ? plain : title, flag});
}

// Rows given as "ID|pID|NodeType|Level|Sort|Title[|Flag[|PlainText]]", otherwise as insertBookRow makes them.
inline void insertBookRows(std::initializer_list<const char *> rows)
{
    for (const char *r : rows) {
        const QStringList f = QString::fromUtf8(r).split(QLatin1Char('|'));
        insertBookRow(f[0], f[1], f[2].toInt(), f[3].toInt(), f[4].toDouble(), f[5], f.value(6, QStringLiteral("A")),
                      f.size() > 7 ? QVariant(f[7]) : QVariant());
    }
}

// B1 书一 (V1 卷一 (C1 章一, C2 章二, C3 章三), V2 卷二 (C4 章四)), B2 书二
inline void smallLibrary()
{
    insertBookRows({"B1||1|0|1|书一", "B2||1|0|2|书二", "V1|B1|2|1|1|卷一", "V2|B1|2|1|2|卷二", "C1|V1|3|2|1|章一",
                    "C2|V1|3|2|2|章二", "C3|V1|3|2|3|章三", "C4|V2|3|2|1|章四"});
}

// Empties the book tables and drops the temporary triggers and views a test left behind.
inline void clearBookTables()
{
    execSql("DROP VIEW IF EXISTS temp.BookTree");
    execSql("DELETE FROM BookTree");
    execSql("DELETE FROM L.BookLog");
    execSql("DELETE FROM ChapterHistory");
    execSql("DELETE FROM ChapterHistoryLatest");
    QStringList triggers;
    for (QueryPtr q = openQuery("SELECT name FROM temp.sqlite_master WHERE type='trigger'"); q->next();)
        triggers << q->value(0).toString();
    for (const QString &t : triggers)
        execSql("DROP TRIGGER temp." + t);
}

inline QVariant scalar(const QString &sql)
{
    QueryPtr q = openQuery(sql);
    return q->next() ? q->value(0) : QVariant();
}

// The columns of a BookTree row joined with '|', or "<none>".
inline QString row(const QString &id, const QString &columns)
{
    QueryPtr q = openQuery(QStringLiteral("SELECT %1 FROM BookTree WHERE ID=%2").arg(columns, quoteSql(id)));
    if (!q->next())
        return QStringLiteral("<none>");
    QStringList parts;
    for (int i = 0; i < q->record().count(); ++i)
        parts << q->value(i).toString();
    return parts.join(QLatin1Char('|'));
}

inline QString plain(const QString &id) { return row(id, QStringLiteral("PlainText")); }

// "title(child,child)" of a model level, in the order shown.
inline QString shape(const QAbstractItemModel *model, const QModelIndex &parent = QModelIndex())
{
    QStringList parts;
    for (int r = 0; r < model->rowCount(parent); ++r) {
        const QModelIndex index = model->index(r, 0, parent);
        QString s = index.data().toString();
        if (model->rowCount(index) > 0)
            s += QLatin1Char('(') + shape(model, index) + QLatin1Char(')');
        parts << s;
    }
    return parts.join(QLatin1Char(','));
}
