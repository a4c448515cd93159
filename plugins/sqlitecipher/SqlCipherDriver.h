#pragma once

#include <QMutex>
#include <QSet>
#include <QSqlDriver>

struct sqlite3;
class SqlCipherResult;

// Qt SQL driver over the system SQLite library and the enciphering VFS.
class SqlCipherDriver : public QSqlDriver
{
    Q_OBJECT
public:
    explicit SqlCipherDriver(QObject *parent = nullptr);
    ~SqlCipherDriver() override;

    bool hasFeature(DriverFeature f) const override;
    bool open(const QString &db, const QString &user, const QString &password, const QString &host, int port,
              const QString &connOpts) override;
    void close() override;
    QSqlResult *createResult() const override;
    bool beginTransaction() override;
    bool commitTransaction() override;
    bool rollbackTransaction() override;
    QStringList tables(QSql::TableType type) const override;
    QSqlRecord record(const QString &tableName) const override;
    QSqlIndex primaryIndex(const QString &tableName) const override;
    QVariant handle() const override;
    QString escapeIdentifier(const QString &identifier, IdentifierType type) const override;
    bool isIdentifierEscaped(const QString &identifier, IdentifierType type) const override;
    QString formatValue(const QSqlField &field, bool trimStrings) const override;

    sqlite3 *connection() const { return m_db; }

    // Rewrites "ATTACH ... AS x KEY '...'" so the key reaches the cipher layer, which stock
    // SQLite would silently drop. Other statements come back unchanged.
    static QString rewriteAttach(const QString &sql);
    // Turns a file path into an SQLite URI path ("%", "?" and "#" percent-encoded).
    static QString uriPath(const QString &path);

private:
    friend class SqlCipherResult;
    void attachResult(SqlCipherResult *r) const;
    void detachResult(SqlCipherResult *r) const;
    bool execSimple(const char *sql, const QString &what);
    // Splits "schema.table" (either part may be quoted) into its two parts.
    static void splitTableName(const QString &name, QString *schema, QString *table);

    sqlite3 *m_db = nullptr;
    mutable QMutex m_resultsMutex;
    mutable QSet<SqlCipherResult *> m_results;
};
