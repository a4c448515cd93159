#pragma once

#include <QSqlRecord>
#include <QSqlTableModel>

// QSqlTableModel on the application's connection with a row cursor. Every statement the model
// runs (select, fetch, submit) holds the connection lock. Rows are fetched lazily (256 at a time);
// walks over the rows (locate, last, eof) fetch all rows first.
class SqlTableModel final : public QSqlTableModel
{
    Q_OBJECT
public:
    explicit SqlTableModel(QObject *parent = nullptr);
    SqlTableModel(QObject *parent, const QSqlDatabase &db);

    void first();
    int pos() const { return m_pos; }
    void setPos(int n);
    void next() { setPos(m_pos + 1); }
    void last();
    bool bof() const { return m_pos == 0; }
    bool eof();

    QSqlRecord record() const;            // the row at the cursor
    QSqlRecord record(int row) const;
    void setRecord(const QSqlRecord &rec); // replaces the row at the cursor, no submit
    bool setRecord(int row, const QSqlRecord &rec);
    void saveRecord(const QSqlRecord &rec); // setRecord + submitAll; throws on failure
    bool locate(const QString &field, const QVariant &value, bool fromStart = true);
    void fetchAll();

    QVariant value(const QString &field) const;
    bool setValue(const QString &field, const QVariant &value);

    // Makes an executed query the model's content (under the lock).
    void setExecutedQuery(const QSqlQuery &query);

    bool select() override;
    void fetchMore(const QModelIndex &parent = QModelIndex()) override;
    bool submitAll();
    bool selectRow(int row) override;
    void setTable(const QString &tableName) override;

protected:
    bool insertRowIntoTable(const QSqlRecord &values) override;
    bool updateRowInTable(int row, const QSqlRecord &values) override;
    bool deleteRowFromTable(int row) override;

private:
    int m_pos = 0;
};
