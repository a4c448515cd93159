#include "book/BookStore.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "book/ChapterHistory.h"
#include "book/WritingStats.h"
#include "storage/DataAccess.h"

#include <QDateTime>
#include <QSqlError>

namespace {

QString nowText() { return QDateTime::currentDateTime().toString(Ink::dateTimeMsFormat()); }

QString formatSort(double value) { return QString::number(value, 'g', 17); }

} // namespace

namespace BookStore {

NewNode insertNode(const QString &parentId, int nodeType, int level, const QString &title, double sort,
                   const QString &html)
{
    NewNode node;
    node.id = newGuid();
    node.updated = nowText();
    // A book's parent is '' and never NULL: NULL reads as a damaged tree at the next start, which
    // then copies the whole file before repairing it, and its siblings would not be renumbered.
    const QString parent = parentId.isNull() ? QStringLiteral("") : parentId;
    try {
        Transaction tx;
        execPrepared(QStringLiteral("INSERT INTO BookTree(ID,pID,NodeType,Level,Sort,Title,Category,rtf,HTML,"
                                    "PlainText,Created,Updated,Flag,Usn,Synced) "
                                    "VALUES(?,?,?,?,?,?,'Book','',?,'',?,?,'A',0,0)"),
                     {node.id, parent, nodeType, level, sort, title, html, node.updated, node.updated});
        resortChildren(QStringLiteral("BookTree"), parent);
        tx.commit();
    } catch (const Exception &e) {
        throw Exception(QStringLiteral("新增文章出错，错误信息：\n%1").arg(e.message()), QStringLiteral("0"));
    }
    return node;
}

bool renameNode(const QString &id, const QString &title, QString *updated)
{
    checkTitleLength(title);
    const QString now = nowText();
    int rows = 0;
    try {
        rows = execPrepared(QStringLiteral("UPDATE BookTree SET Title=?,Updated=?,Flag='A',Usn=0,Synced=0 "
                                           "WHERE ID=? AND Flag='A'"),
                            {title, now, id});
    } catch (const Exception &e) {
        throw Exception(QStringLiteral("更改书节点名称出错，错误信息：\n%1").arg(e.message()), QStringLiteral("0"));
    }
    if (updated)
        *updated = now;
    return rows > 0;
}

QString deleteNode(const QString &id)
{
    Transaction tx;
    QString parentId;
    bool found = false;
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT pID FROM BookTree WHERE ID=") + quoteSql(id));
        if (q->next()) {
            found = true;
            parentId = q->value(0).toString();
        }
    }
    if (found) {
        execPrepared(QStringLiteral("UPDATE BookTree SET Flag='D',Updated=?,Usn=0,Synced=0 WHERE ID=?"),
                     {nowText(), id});
        resortChildren(QStringLiteral("BookTree"), parentId);
    }
    tx.commit();
    return parentId;
}

void moveNode(const QString &id, const QString &targetId, bool above)
{
    Transaction tx;
    double targetSort = 0;
    QString targetParent;
    QString ownParent;
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT sort,pID FROM BookTree WHERE ID=%1 ").arg(quoteSql(targetId)));
        if (q->next()) {
            targetSort = q->value(0).toDouble();
            targetParent = q->value(1).toString();
        }
    }
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT pID FROM BookTree WHERE ID=%1 ").arg(quoteSql(id)));
        if (q->next())
            ownParent = q->value(0).toString();
    }
    execSql(QStringLiteral("UPDATE BookTree SET sort=%1%2 WHERE ID=%3 ")
                .arg(formatSort(targetSort), above ? QStringLiteral("-0.1") : QStringLiteral("+0.1"),
                     quoteSql(id)));
    resortChildren(QStringLiteral("BookTree"), targetParent);
    if (ownParent != targetParent)
        resortChildren(QStringLiteral("BookTree"), ownParent);
    tx.commit();
}

Chapter readChapter(const QString &id)
{
    Chapter c;
    QueryPtr q = openQuery(QStringLiteral("SELECT Title,HTML,PlainText,Attribute1 FROM BookTree WHERE ID=%1 "
                                          "AND Flag='A'")
                               .arg(quoteSql(id)));
    if (q->next()) {
        c.found = true;
        c.title = q->value(0).toString();
        c.html = q->value(1).toString();
        c.plainText = q->value(2).toString();
        c.attribute1 = q->value(3).toString();
    }
    return c;
}

void logChapterLength(const QString &id, const QString &plainText, const QDateTime &now)
{
    const QString nowStr = now.toString(Ink::dateTimeMsFormat());
    const QString today = now.toString(Ink::dateFormat());
    // WordCount1 stays the length in characters; WordCount2 holds the count the statistics use.
    const int written = WritingStats::writtenCount(plainText);
    QString logId;
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT ID FROM L.BookLog WHERE BookID=%1 AND ADate=%2")
                                   .arg(quoteSql(id), quoteSql(today)));
        if (q->next())
            logId = q->value(0).toString();
    }
    if (logId.isEmpty()) {
        execPrepared(QStringLiteral("INSERT INTO L.BookLog(ID,BookID,ADate,WordCount1,WordCount2,Created,Updated,"
                                    "Synced) VALUES(?,?,?,?,?,?,?,0)"),
                     {newGuid(), id, today, plainText.size(), written, nowStr, nowStr});
    } else {
        // A later count of the day must be uploaded again.
        execPrepared(QStringLiteral("UPDATE L.BookLog SET WordCount1=?,WordCount2=?,Updated=?,Synced=0 WHERE ID=?"),
                     {plainText.size(), written, nowStr, logId});
    }
}

QString saveChapter(const QString &id, const QString &html, const QString &plainText)
{
    checkArticleLength(plainText);
    const QDateTime now = QDateTime::currentDateTime();
    const QString nowStr = now.toString(Ink::dateTimeMsFormat());
    Transaction tx;
    QString flag, oldHtml, oldPlain;
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT Flag,HTML,PlainText,Attribute1 FROM BookTree WHERE ID=") + quoteSql(id));
        if (!q->next())
            throw Exception(QStringLiteral("未找到对应的文章！"), QStringLiteral("0"));
        flag = q->value(0).toString();
        oldHtml = ChapterHistory::htmlOfRow(q->value(1).toString(), q->value(3).toString());
        oldPlain = q->value(2).toString();
    }
    // Saving a deleted chapter would bring it back to life.
    if (flag == QLatin1String("D"))
        throw Exception(QStringLiteral("文章已被删除，不能保存！"), QStringLiteral("0"));
    if (oldPlain != plainText || (!oldHtml.isEmpty() && oldHtml != html))
        ChapterHistory::keepBesideSave(id, oldHtml, oldPlain, QStringLiteral("保存"));
    try {
        execPrepared(QStringLiteral("UPDATE BookTree SET rtf=?,HTML=?,PlainText=?,Attribute1='',Updated=?,"
                                    "Flag='A',Usn=0,Synced=0 WHERE ID=?"),
                     {plainText, html, plainText, nowStr, id});
        logChapterLength(id, plainText, now);
        tx.commit();
    } catch (const Exception &e) {
        throw Exception(QStringLiteral("保存文章出错，错误信息：\n%1").arg(e.message()), QStringLiteral("0"));
    }
    return nowStr;
}

} // namespace BookStore
