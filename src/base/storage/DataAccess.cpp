#include "storage/DataAccess.h"

#include "core/Constants.h"
#include "core/Exception.h"
#include "storage/Connection.h"
#include "storage/DatabaseDamage.h"
#include "storage/SqlTableModel.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QSqlError>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>
#include <QHash>
#include <QSet>
#include <QVector>
#include <QSqlRecord>

#include <cmath>

namespace {

thread_local int t_openTransactions = 0;

// Transaction statements written as text would take the connection lock with no scope to give
// it back: a throw between them would leave every other thread waiting for good. Transactions
// are opened through Transaction only; savepoints inside one are fine.
bool isRawTransactionStatement(const QString &sql)
{
    const QString s = sql.trimmed().toUpper();
    auto startsWithWord = [&s](const char *word) {
        const QLatin1String w(word);
        return s.startsWith(w) && (s.size() == w.size() || !s.at(w.size()).isLetterOrNumber());
    };
    if (startsWithWord("BEGIN") || startsWithWord("COMMIT") || startsWithWord("END"))
        return true;
    if (startsWithWord("ROLLBACK")) {
        // "ROLLBACK TO savepoint" keeps the transaction open.
        QString rest = s.mid(8).trimmed();
        if (rest.startsWith(QLatin1String("TRANSACTION")))
            rest = rest.mid(11).trimmed();
        return !rest.startsWith(QLatin1String("TO"));
    }
    // A savepoint outside a transaction starts one.
    return startsWithWord("SAVEPOINT") && t_openTransactions == 0;
}

void refuseRawTransaction(const QString &sql)
{
    if (isRawTransactionStatement(sql))
        throw Exception(QStringLiteral("事务语句不能直接执行（%1），事务须由 Transaction 开始和结束。").arg(sql.trimmed()),
                        QStringLiteral("ERR_QUERY"));
}

void holdForTransaction()
{
    dbMutex().lock();
    ++t_openTransactions;
}

void releaseTransaction()
{
    if (t_openTransactions > 0) {
        --t_openTransactions;
        dbMutex().unlock();
    }
}

// Every driver error passes here: damage of a file is noted once for the whole run.
QString errorText(const QSqlError &error)
{
    noteDatabaseError(error);
    return error.text().trimmed();
}

void beginTransaction()
{
    holdForTransaction();
    if (!dbConnection().transaction()) {
        const QString text = errorText(dbConnection().lastError());
        releaseTransaction();
        throwError(QStringLiteral("启动事务失败！错误信息：\n") + text, QStringLiteral("ERR_START_TRANSACTION"));
    }
}

void commitTransaction()
{
    DbLocker lock;
    if (!dbConnection().commit()) {
        // The transaction is still open: the caller's rollback gives the lock back.
        throwError(QStringLiteral("提交事务失败！错误信息：\n") + errorText(dbConnection().lastError()),
                   QStringLiteral("ERR_COMMIT"));
    }
    releaseTransaction();
}

void rollbackTransaction()
{
    DbLocker lock;
    const bool ok = dbConnection().rollback();
    releaseTransaction();
    if (!ok)
        throwError(QStringLiteral("回滚事务失败！错误信息：\n") + errorText(dbConnection().lastError()),
                   QStringLiteral("ERR_ROLLBACK"));
}

} // namespace

QRecursiveMutex &dbMutex() { return Connection::instance().mutex(); }

int openTransactionCount() { return t_openTransactions; }

LockedQuery::LockedQuery(const QSqlDatabase &db) : DbLocker(), QSqlQuery(db) {}

LockedQuery::~LockedQuery() = default;

Transaction::Transaction() { beginTransaction(); }

Transaction::~Transaction()
{
    if (m_open) {
        try {
            rollbackTransaction();
        } catch (...) {
        }
    }
}

void Transaction::commit()
{
    commitTransaction();
    m_open = false;
}

void Transaction::rollback()
{
    m_open = false;
    rollbackTransaction();
}

int execSql(const QString &sql)
{
    refuseRawTransaction(sql);
    DbLocker lock;
    QSqlQuery query(dbConnection());
    if (!query.exec(sql))
        throwError(errorText(query.lastError()), QStringLiteral("ERR_QUERY"));
    const int rows = query.numRowsAffected();
    query.finish();
    return rows;
}

QVector<QSqlRecord> execQuery(const QString &sql)
{
    refuseRawTransaction(sql);
    DbLocker lock;
    QSqlQuery query(dbConnection());
    query.setForwardOnly(true);
    if (!query.exec(sql))
        throwError(errorText(query.lastError()), QStringLiteral("ERR_QUERY"));
    QVector<QSqlRecord> rows;
    while (query.next())
        rows.append(query.record());
    return rows;
}

QueryPtr openQuery(const QString &sql)
{
    refuseRawTransaction(sql);
    QueryPtr query = std::make_unique<LockedQuery>(dbConnection());
    if (!query->exec(sql))
        throwError(errorText(query->lastError()), QStringLiteral("ERR_QUERY"));
    return query;
}

int execPrepared(const QString &sql, const QVariantList &values)
{
    refuseRawTransaction(sql);
    DbLocker lock;
    QSqlQuery query(dbConnection());
    if (!query.prepare(sql))
        throwError(errorText(query.lastError()), QStringLiteral("ERR_QUERY"));
    for (const QVariant &v : values)
        query.addBindValue(v);
    if (!query.exec())
        throwError(errorText(query.lastError()), QStringLiteral("ERR_QUERY"));
    const int rows = query.numRowsAffected();
    query.finish();
    return rows;
}

void throwError(const QString &message, const QString &code) { throw Exception(message, code); }

QString getSysParam(const QString &key, const QString &defaultValue)
{
    QueryPtr query = openQuery(QStringLiteral("SELECT value FROM SysParam WHERE key=") + quoteSql(key));
    if (query->next())
        return query->value(QStringLiteral("value")).toString();
    return defaultValue;
}

void setSysParam(const QString &key, const QString &value, bool inTransaction)
{
    std::unique_ptr<Transaction> tx;
    if (inTransaction || openTransactionCount() == 0)
        tx = std::make_unique<Transaction>();
    execSql(QStringLiteral("DELETE FROM SysParam WHERE key=") + quoteSql(key));
    execSql(QStringLiteral("INSERT INTO SysParam(key,value) VALUES(") + quoteSql(key) + QLatin1Char(',') +
            quoteSql(value) + QLatin1Char(')'));
    if (tx)
        tx->commit();
}

QString quoteSql(const QString &text)
{
    QString s = text;
    // A NUL would end the statement text inside the literal; it has no meaning in stored text.
    s.remove(QChar(0));
    s.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + s + QLatin1Char('\'');
}

QString newGuid() { return QUuid::createUuid().toString(QUuid::Id128).toUpper(); }

QString randomString(int length)
{
    static const char chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QString s;
    s.reserve(qMax(0, length));
    for (int i = 0; i < length; ++i)
        s += QLatin1Char(chars[QRandomGenerator::system()->bounded(62)]);
    return s;
}

QString urlWithoutPassword(const QString &url)
{
    QUrl u(url);
    QUrlQuery query(u);
    if (!query.hasQueryItem(QStringLiteral("password")))
        return url;
    query.removeAllQueryItems(QStringLiteral("password"));
    u.setQuery(query);
    return u.toString();
}

void prepareRecord(QSqlRecord &record, const QString &flag)
{
    const QString now = QDateTime::currentDateTime().toString(Ink::dateTimeMsFormat());
    if (flag == QLatin1String("A") && record.contains(QStringLiteral("Created")))
        record.setValue(QStringLiteral("Created"), now);
    if (record.contains(QStringLiteral("Updated")))
        record.setValue(QStringLiteral("Updated"), now);
    if (record.contains(QStringLiteral("Flag"))) {
        if (flag == QLatin1String("D"))
            record.setValue(QStringLiteral("Flag"), QStringLiteral("D"));
        else if (flag == QLatin1String("A") || flag == QLatin1String("U"))
            record.setValue(QStringLiteral("Flag"), QStringLiteral("A"));
    }
    if (record.contains(QStringLiteral("Usn")))
        record.setValue(QStringLiteral("Usn"), 0);
    // Every row that is synchronised (tree rows and log rows) must be sent again after a change.
    if (record.contains(QStringLiteral("Synced")))
        record.setValue(QStringLiteral("Synced"), 0);
}

bool isArticleLengthOk(const QString &text) { return text.size() <= Ink::maxArticleLength; }

void checkArticleLength(const QString &text)
{
    if (!isArticleLengthOk(text))
        throwError(QStringLiteral("文章可以支持最大字符长度%1，不能继续！").arg(Ink::maxArticleLength),
                   QStringLiteral("0"));
}

bool isUserMaterialLengthOk(const QString &text) { return text.size() <= Ink::maxUserMaterialLength; }

void checkUserMaterialLength(const QString &text)
{
    if (!isUserMaterialLengthOk(text))
        throwError(QStringLiteral("用户素材可以支持最大字符长度%1，不能继续！").arg(Ink::maxUserMaterialLength),
                   QStringLiteral("0"));
}

int titleLength(const QString &title)
{
    int n = 0;
    for (const QChar c : title)
        n += c.isLowSurrogate() ? 0 : 1;
    return n;
}

void checkTitleLength(const QString &title)
{
    if (titleLength(title) > Ink::maxTitleLength)
        throwError(QStringLiteral("标题不能超过%1个字符！").arg(Ink::maxTitleLength), QStringLiteral("0"));
}

bool isTreeRowWithinLimits(int level, const QString &title, const QString &flag, QString *whyNot)
{
    QString why;
    if (level < 0)
        why = QStringLiteral("层级为负");
    else if (flag == QLatin1String("D"))
        ;
    else if (level > Ink::maxTreeLevel)
        why = QStringLiteral("层级超过%1层").arg(Ink::maxTreeLevel);
    else if (titleLength(title) > Ink::maxTitleLength)
        why = QStringLiteral("标题超过%1个字符").arg(Ink::maxTitleLength);
    if (whyNot)
        *whyNot = why;
    return why.isEmpty();
}

QString treeRowWithinLimitsSql()
{
    return QStringLiteral("(IFNULL(Level,0)>=0 AND (Flag='D' OR (IFNULL(Level,0)<=%1 AND IFNULL(LENGTH(Title),0)<=%2)))")
        .arg(Ink::maxTreeLevel)
        .arg(Ink::maxTitleLength);
}

QString titleWithSuffix(const QString &title, const QString &suffix)
{
    QString head = title;
    const int room = Ink::maxTitleLength - titleLength(suffix);
    while (titleLength(head) > room)
        head.chop(head.size() >= 2 && head.at(head.size() - 1).isLowSurrogate() ? 2 : 1);
    return head + suffix;
}

namespace {

struct ResortRow {
    QString id;
    double sort = 0;
    bool sortNull = true;
    int level = 0;
    bool levelNull = true;
};

} // namespace

void resortChildren(const QString &tableName, const QString &parentId, const QString &category)
{
    // One read of the subtree, ordering in memory, and writes only for the rows whose Sort or
    // Level changes: the same end state as walking each level through a table model, without a
    // query per node.
    try {
        // Inside a caller's transaction (an insert or move with its renumbering) it joins that one.
        std::unique_ptr<Transaction> tx;
        if (openTransactionCount() == 0)
            tx = std::make_unique<Transaction>();
        int level = 0;
        if (!parentId.isEmpty()) {
            QueryPtr q = openQuery(QStringLiteral("SELECT Level FROM %1 WHERE ID=%2").arg(tableName, quoteSql(parentId)));
            if (q->next())
                level = q->value(0).toInt() + 1;
        }
        const QString categoryFilter =
            category.isEmpty() ? QString() : QStringLiteral(" AND Category=") + quoteSql(category);
        QHash<QString, QVector<ResortRow>> children;
        {
            // UNION (not UNION ALL) stops at rows that are their own ancestors. "+Flag" keeps the
            // planner on the parent index: an index led by Flag would scan every live row per step.
            QueryPtr q = openQuery(
                QStringLiteral("WITH RECURSIVE sub(id) AS (SELECT ID FROM %1 WHERE +Flag='A' AND pID=%2 %3 "
                               "UNION SELECT t.ID FROM %1 t JOIN sub ON t.pID=sub.id WHERE +t.Flag='A' %4) "
                               "SELECT t.ID,t.pID,t.Sort,t.Level FROM %1 t JOIN sub ON t.ID=sub.id "
                               "ORDER BY t.pID,t.Sort,t.rowid")
                    .arg(tableName, quoteSql(parentId), categoryFilter,
                         category.isEmpty() ? QString() : QStringLiteral(" AND t.Category=") + quoteSql(category)));
            while (q->next()) {
                ResortRow row;
                row.id = q->value(0).toString();
                const QVariant sort = q->value(2);
                const QVariant lvl = q->value(3);
                row.sortNull = sort.isNull();
                row.sort = sort.toDouble();
                row.levelNull = lvl.isNull();
                row.level = lvl.toInt();
                children[q->value(1).toString()].append(row);
            }
        }
        // NULL sorts first in SQLite's order, as in the model's order.
        const QString now = QDateTime::currentDateTime().toString(Ink::dateTimeMsFormat());
        QSqlQuery update(dbConnection());
        const bool hasBookkeeping = dbConnection().record(tableName).contains(QStringLiteral("Flag"));
        const QString sql = hasBookkeeping
                                ? QStringLiteral("UPDATE %1 SET Sort=?,Level=?,Updated=?,Flag='A',Usn=0,Synced=0 WHERE ID=?")
                                : QStringLiteral("UPDATE %1 SET Sort=?,Level=?,Updated=? WHERE ID=?");
        if (!update.prepare(sql.arg(tableName)))
            throwError(QStringLiteral("排序失败，错误信息：\n") + errorText(update.lastError()), QStringLiteral("0"));
        QSet<QString> visited;
        struct Frame {
            QString parent;
            int level;
        };
        QVector<Frame> stack{{parentId, level}};
        visited.insert(parentId);
        while (!stack.isEmpty()) {
            const Frame frame = stack.takeLast();
            const auto it = children.constFind(frame.parent);
            if (it == children.constEnd())
                continue;
            int counter = 1;
            for (const ResortRow &row : it.value()) {
                if (row.sortNull || row.levelNull || std::fabs(row.sort - counter) > 0.0001 || row.level != frame.level) {
                    update.addBindValue(counter);
                    update.addBindValue(frame.level);
                    update.addBindValue(now);
                    update.addBindValue(row.id);
                    if (!update.exec())
                        throwError(QStringLiteral("排序失败，错误信息：\n") + errorText(update.lastError()),
                                   QStringLiteral("0"));
                }
                if (!visited.contains(row.id) && frame.level < 1000) {
                    visited.insert(row.id);
                    stack.append({row.id, frame.level + 1});
                }
                ++counter;
            }
        }
        update.finish();
        if (tx)
            tx->commit();
    } catch (const Exception &) {
        throw;
    } catch (...) {
        throwError(QStringLiteral("排序失败！"), QStringLiteral("0"));
    }
}

SqlTableModel *openTableModel(const QString &text, bool isQuery, bool fetchAll)
{
    SqlTableModel *model = nullptr;
    {
        DbLocker lock; // the connection object may be replaced at shutdown
        model = new SqlTableModel(nullptr, dbConnection());
    }
    model->setEditStrategy(QSqlTableModel::OnManualSubmit);
    try {
        if (!isQuery) {
            if (!text.isEmpty())
                model->setTable(text);
        } else {
            QueryPtr query = openQuery(text);
            model->setExecutedQuery(*query);
            if (fetchAll) {
                model->fetchAll();
                model->first();
            }
        }
    } catch (...) {
        delete model;
        throw;
    }
    return model;
}
