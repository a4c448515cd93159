#pragma once

#include "storage/DbLock.h"

#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QVariantList>
#include <QVector>

#include <memory>

class SqlTableModel;

// A query of its own that holds the connection lock for as long as it exists: iterate it,
// then let it go. The lock is taken before and released after the query object itself.
class LockedQuery final : private DbLocker, public QSqlQuery
{
public:
    explicit LockedQuery(const QSqlDatabase &db);
    ~LockedQuery();
};
using QueryPtr = std::unique_ptr<LockedQuery>;

// The one way to run a transaction on the connection (dbConnection()): the constructor begins it and takes the
// connection lock; commit() or rollback() ends it, and the destructor rolls back whatever is still
// open, so every path out (a throw included) gives the lock back.
class Transaction final
{
public:
    Transaction();
    ~Transaction();
    void commit();
    void rollback();
    Q_DISABLE_COPY(Transaction)

private:
    bool m_open = true;
};

// Executes sql, returns the number of affected rows, keeps no result. Transaction statements
// ("BEGIN…", "COMMIT", "END", "ROLLBACK", a "SAVEPOINT" outside a transaction) are refused here
// and in the other statement calls: use Transaction.
int execSql(const QString &sql);
// Executes sql and returns all its rows, read under the lock: they are the caller's own. For
// small results; iterate large ones with openQuery.
QVector<QSqlRecord> execQuery(const QString &sql);
// A query of its own, already executed, holding the connection lock until it is destroyed.
QueryPtr openQuery(const QString &sql);
// Executes a prepared statement with positional values under the lock.
int execPrepared(const QString &sql, const QVariantList &values);

[[noreturn]] void throwError(const QString &message, const QString &code);

QString getSysParam(const QString &key, const QString &defaultValue = QString());
// Without inTransaction the caller owns the transaction; when the caller has none open, it
// still runs in a transaction of its own so that the key is never missing.
void setSysParam(const QString &key, const QString &value, bool inTransaction = true);

// Doubles every apostrophe and wraps the text in apostrophes.
QString quoteSql(const QString &text);
// 32 upper-case hexadecimal characters.
QString newGuid();
QString randomString(int length);
QString urlWithoutPassword(const QString &url);

// Bookkeeping columns of a tree row about to be written: flag "A" new, "U" changed, "D" deleted.
void prepareRecord(QSqlRecord &record, const QString &flag);

bool isArticleLengthOk(const QString &text);
void checkArticleLength(const QString &text);
bool isUserMaterialLengthOk(const QString &text);
void checkUserMaterialLength(const QString &text);

// Characters of a title as SQLite's length() and the service count them: code points.
int titleLength(const QString &title);
void checkTitleLength(const QString &title);
// The one limit of a tree row (Ink::maxTreeLevel, Ink::maxTitleLength). A deletion is exempt:
// it is never shown in a tree, and deleting an over-deep folder made before the limits existed
// must still reach the other devices. whyNot (optional) gets the reason.
bool isTreeRowWithinLimits(int level, const QString &title, const QString &flag, QString *whyNot = nullptr);
// The same test as an SQL condition on the columns Level, Title and Flag of a tree table.
QString treeRowWithinLimitsSql();
// title cut so that title + suffix stays within the title limit.
QString titleWithSuffix(const QString &title, const QString &suffix);

// Renumbers Sort (1, 2, 3, … in the present order) and repairs Level of the live children of
// parentId and of all their descendants, in one transaction (the caller's, when one is open).
void resortChildren(const QString &tableName, const QString &parentId, const QString &category = QString());

// A table model on the connection (dbConnection()) (OnManualSubmit). isQuery: text is a SELECT that is executed now;
// fetchAll then loads every row and puts the cursor on the first. The caller deletes the model.
SqlTableModel *openTableModel(const QString &text, bool isQuery = false, bool fetchAll = false);
