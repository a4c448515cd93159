#pragma once

#include <QSqlError>
#include <QSqlRecord>
#include <QSqlResult>
#include <QVector>

struct sqlite3_stmt;
class SqlCipherDriver;

class SqlCipherResult : public QSqlResult
{
public:
    explicit SqlCipherResult(const SqlCipherDriver *driver);
    ~SqlCipherResult() override;

    QVariant handle() const override;
    // Called by the driver when the connection closes under a live result.
    void finalize();

protected:
    bool reset(const QString &query) override;
    bool prepare(const QString &query) override;
    bool exec() override;
    bool fetch(int i) override;
    bool fetchNext() override;
    bool fetchFirst() override;
    bool fetchLast() override;
    bool fetchPrevious() override;
    QVariant data(int field) override;
    bool isNull(int field) override;
    int size() override;
    int numRowsAffected() override;
    QVariant lastInsertId() const override;
    QSqlRecord record() const override;
    void detachFromResultSet() override;

private:
    bool prepareOne(const QByteArray &sql, const char **tail);
    bool bindValues();
    bool stepFirst();
    bool pullRow();
    void clearRows();
    QVariant columnValue(int col) const;
    void setError(const QString &driverText, QSqlError::ErrorType type, int rc = 0);
    const SqlCipherDriver *drv() const;

    sqlite3_stmt *m_stmt = nullptr;
    QSqlRecord m_record;
    QVector<QVector<QVariant>> m_rows; // rows pulled so far (all of them unless forward-only)
    QVector<QVariant> m_current;       // the last pulled row
    bool m_pending = false;            // the statement stands on a row not pulled yet
    bool m_done = true;                // the statement has no more rows
    int m_pulled = 0;
    int m_changes = 0;
    qint64 m_lastRowId = 0;
};
