#include "storage/SqlTableModel.h"

#include "core/Exception.h"
#include "storage/Connection.h"
#include "storage/DbLock.h"

#include <QSqlError>

SqlTableModel::SqlTableModel(QObject *parent) : SqlTableModel(parent, dbConnection()) {}

SqlTableModel::SqlTableModel(QObject *parent, const QSqlDatabase &db) : QSqlTableModel(parent, db) {}

void SqlTableModel::first()
{
    if (rowCount() >= 0)
        m_pos = 0;
}

void SqlTableModel::setPos(int n)
{
    if (n >= 0 && n <= rowCount())
        m_pos = n;
}

void SqlTableModel::last()
{
    fetchAll();
    setPos(rowCount());
}

bool SqlTableModel::eof()
{
    fetchAll();
    return m_pos == rowCount();
}

QSqlRecord SqlTableModel::record() const { return record(m_pos); }

// Rows already fetched are served from the result's own copy: reading them runs no statement,
// so the cursor operations and views do not wait for another thread's transaction.
QSqlRecord SqlTableModel::record(int row) const { return QSqlTableModel::record(row); }

void SqlTableModel::setRecord(const QSqlRecord &rec) { setRecord(m_pos, rec); }

bool SqlTableModel::setRecord(int row, const QSqlRecord &rec)
{
    // Writes only the model's cache unless the strategy submits at once (those statements lock).
    return QSqlTableModel::setRecord(row, rec);
}

void SqlTableModel::saveRecord(const QSqlRecord &rec)
{
    DbLocker lock;
    setRecord(rec);
    if (!submitAll())
        throw Exception(QStringLiteral("保存记录，错误信息：\n%1").arg(lastError().text().trimmed()),
                        QStringLiteral("0"));
}

bool SqlTableModel::locate(const QString &field, const QVariant &value, bool fromStart)
{
    fetchAll();
    if (fromStart)
        m_pos = 0;
    const int column = fieldIndex(field);
    if (column < 0)
        return false;
    const int rows = rowCount();
    for (; m_pos < rows; ++m_pos) {
        if (data(index(m_pos, column), Qt::EditRole) == value)
            return true;
    }
    return false;
}

void SqlTableModel::fetchAll()
{
    DbLocker lock;
    while (canFetchMore())
        fetchMore();
}

QVariant SqlTableModel::value(const QString &field) const
{
    const int column = fieldIndex(field);
    if (column < 0)
        return QVariant();
    return data(index(m_pos, column), Qt::EditRole);
}

bool SqlTableModel::setValue(const QString &field, const QVariant &value)
{
    const int column = fieldIndex(field);
    if (column < 0)
        return false;
    return setData(index(m_pos, column), value, Qt::EditRole);
}

void SqlTableModel::setExecutedQuery(const QSqlQuery &query)
{
    DbLocker lock;
    m_pos = 0;
    setQuery(query);
}

bool SqlTableModel::select()
{
    DbLocker lock;
    m_pos = 0;
    return QSqlTableModel::select();
}

void SqlTableModel::fetchMore(const QModelIndex &parent)
{
    DbLocker lock;
    QSqlTableModel::fetchMore(parent);
}

bool SqlTableModel::submitAll()
{
    DbLocker lock;
    return QSqlTableModel::submitAll();
}

bool SqlTableModel::selectRow(int row)
{
    DbLocker lock;
    return QSqlTableModel::selectRow(row);
}

void SqlTableModel::setTable(const QString &tableName)
{
    DbLocker lock;
    QSqlTableModel::setTable(tableName);
}

bool SqlTableModel::insertRowIntoTable(const QSqlRecord &values)
{
    DbLocker lock;
    return QSqlTableModel::insertRowIntoTable(values);
}

bool SqlTableModel::updateRowInTable(int row, const QSqlRecord &values)
{
    DbLocker lock;
    return QSqlTableModel::updateRowInTable(row, values);
}

bool SqlTableModel::deleteRowFromTable(int row)
{
    DbLocker lock;
    return QSqlTableModel::deleteRowFromTable(row);
}
