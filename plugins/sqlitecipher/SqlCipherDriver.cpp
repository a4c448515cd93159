#include "SqlCipherDriver.h"

#include "CipherVfs.h"
#include "SqlCipherResult.h"
#include "SqlTypes.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlField>
#include <QSqlIndex>
#include <QSqlRecord>
#include <QVector>
#include <sqlite3.h>

#include <algorithm>

Q_DECLARE_OPAQUE_POINTER(sqlite3 *)
Q_DECLARE_METATYPE(sqlite3 *)

namespace {

QString quoted(const QString &id)
{
    QString s = id;
    s.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + s + QLatin1Char('"');
}

QString unquoted(QString id)
{
    id = id.trimmed();
    if (id.size() >= 2 && ((id.startsWith('"') && id.endsWith('"')) || (id.startsWith('[') && id.endsWith(']')) ||
                           (id.startsWith('`') && id.endsWith('`')))) {
        const QChar q = id.at(0);
        id = id.mid(1, id.size() - 2);
        if (q == '"')
            id.replace(QLatin1String("\"\""), QLatin1String("\""));
    }
    return id;
}

QString sqlLiteral(const QString &s)
{
    QString t = s;
    t.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + t + QLatin1Char('\'');
}

struct ColumnInfo {
    QString name;
    QString type;
    bool notNull;
    QVariant defaultValue;
    int pk;
};

} // namespace

SqlCipherDriver::SqlCipherDriver(QObject *parent) : QSqlDriver(parent)
{
    inkcipher::registerVfs();
}

SqlCipherDriver::~SqlCipherDriver() { close(); }

bool SqlCipherDriver::hasFeature(DriverFeature f) const
{
    switch (f) {
    case Transactions:
    case BLOB:
    case Unicode:
    case PreparedQueries:
    case PositionalPlaceholders:
    case LastInsertId:
    case SimpleLocking:
    case FinishQuery:
    case LowPrecisionNumbers:
        return true;
    case QuerySize:
    case NamedPlaceholders:
    case BatchOperations:
    case EventNotifications:
    case MultipleResultSets:
    case CancelQuery:
        return false;
    }
    return false;
}

QString SqlCipherDriver::uriPath(const QString &path)
{
    QString out;
    out.reserve(path.size() + 8);
    for (const QChar c : path) {
        if (c == '%')
            out += QLatin1String("%25");
        else if (c == '?')
            out += QLatin1String("%3f");
        else if (c == '#')
            out += QLatin1String("%23");
        else
            out += c;
    }
    return out;
}

// Adds the key reference to a file name: URIs keep their own parameters, plain paths
// become URIs.
static QString withKey(const QString &fileName, const QString &key)
{
    if (key.isEmpty())
        return fileName;
    const QString param = QStringLiteral("inkkey=%1").arg(inkcipher::registerKey(key.toStdString()));
    if (fileName.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        QString uri = fileName;
        const int hash = uri.indexOf('#');
        QString fragment;
        if (hash >= 0) {
            fragment = uri.mid(hash);
            uri.truncate(hash);
        }
        uri += (uri.contains('?') ? QLatin1Char('&') : QLatin1Char('?')) + param;
        return uri + fragment;
    }
    return QLatin1String("file:") + SqlCipherDriver::uriPath(fileName) + QLatin1Char('?') + param;
}

QString SqlCipherDriver::rewriteAttach(const QString &sql)
{
    static const QRegularExpression re(
        QStringLiteral("^\\s*ATTACH\\s+(?:DATABASE\\s+)?'((?:[^']|'')*)'\\s+AS\\s+(\\S+?)\\s+KEY\\s+'((?:[^']|'')*)'\\s*;?\\s*$"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch m = re.match(sql);
    if (!m.hasMatch())
        return sql;
    QString file = m.captured(1);
    file.replace(QLatin1String("''"), QLatin1String("'"));
    QString key = m.captured(3);
    key.replace(QLatin1String("''"), QLatin1String("'"));
    return QStringLiteral("ATTACH DATABASE %1 AS %2").arg(sqlLiteral(withKey(file, key)), m.captured(2));
}

bool SqlCipherDriver::open(const QString &db, const QString &, const QString &password, const QString &, int,
                           const QString &connOpts)
{
    if (isOpen())
        close();

    int busyTimeout = 5000;
    bool readOnly = false;
    bool exclusive = false;
    QString cipher;
    for (const QString &opt : connOpts.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString o = opt.trimmed();
        const int eq = o.indexOf('=');
        const QString name = (eq < 0 ? o : o.left(eq)).trimmed();
        const QString value = eq < 0 ? QString() : o.mid(eq + 1).trimmed();
        if (name == QLatin1String("QSQLITE_BUSY_TIMEOUT")) {
            bool ok = false;
            const int t = value.toInt(&ok);
            if (ok && t >= 0)
                busyTimeout = t;
        } else if (name == QLatin1String("QSQLITE_OPEN_READONLY")) {
            readOnly = true;
        } else if (name == QLatin1String("QSQLITE_EXCLUSIVE_LOCKING")) {
            exclusive = true;
        } else if (name == QLatin1String("QSQLITE_USE_CIPHER")) {
            cipher = value.toLower();
        }
    }
    if (!cipher.isEmpty() && cipher != QLatin1String("chacha20")) {
        setLastError(QSqlError(QStringLiteral("Error opening database"),
                               QStringLiteral("unsupported cipher: %1").arg(cipher), QSqlError::ConnectionError));
        setOpenError(true);
        return false;
    }

    QString name = db.isEmpty() ? QStringLiteral(":memory:") : db;
    if (name != QLatin1String(":memory:"))
        name = withKey(name, password);

    const int flags = (readOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) |
                      SQLITE_OPEN_URI | SQLITE_OPEN_FULLMUTEX;
    inkcipher::clearLastOpenError();
    sqlite3 *handle = nullptr;
    int rc = sqlite3_open_v2(name.toUtf8().constData(), &handle, flags, inkcipher::vfsName());
    QString failure;
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(handle, busyTimeout);
        // Before the first read: a file kept in write-ahead-log mode then needs no -shm file.
        if (exclusive)
            rc = sqlite3_exec(handle, "PRAGMA locking_mode=EXCLUSIVE", nullptr, nullptr, nullptr);
    }
    if (rc == SQLITE_OK) {
        // Opening is lazy in SQLite: read the schema now so a wrong key or a damaged
        // file fails here and not at some later statement.
        rc = sqlite3_exec(handle, "SELECT COUNT(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        failure = handle ? QString::fromUtf8(sqlite3_errmsg(handle)) : QString::fromUtf8(sqlite3_errstr(rc));
        const std::string why = inkcipher::lastOpenError();
        if (!why.empty() && !failure.contains(QString::fromStdString(why)))
            failure += QStringLiteral(" (") + QString::fromStdString(why) + QStringLiteral(")");
        sqlite3_close_v2(handle);
        setLastError(QSqlError(QStringLiteral("Error opening database"), failure, QSqlError::ConnectionError,
                               QString::number(rc)));
        setOpenError(true);
        return false;
    }
    m_db = handle;
    setOpen(true);
    setOpenError(false);
    return true;
}

void SqlCipherDriver::close()
{
    if (!isOpen())
        return;
    {
        QMutexLocker lock(&m_resultsMutex);
        for (SqlCipherResult *r : qAsConst(m_results))
            r->finalize();
    }
    sqlite3_close_v2(m_db);
    m_db = nullptr;
    setOpen(false);
    setOpenError(false);
}

QSqlResult *SqlCipherDriver::createResult() const { return new SqlCipherResult(this); }

void SqlCipherDriver::attachResult(SqlCipherResult *r) const
{
    QMutexLocker lock(&m_resultsMutex);
    m_results.insert(r);
}

void SqlCipherDriver::detachResult(SqlCipherResult *r) const
{
    QMutexLocker lock(&m_resultsMutex);
    m_results.remove(r);
}

bool SqlCipherDriver::execSimple(const char *sql, const QString &what)
{
    if (!m_db)
        return false;
    sqlite3_mutex_enter(sqlite3_db_mutex(m_db));
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        setLastError(QSqlError(what, QString::fromUtf8(sqlite3_errmsg(m_db)), QSqlError::TransactionError,
                               QString::number(rc)));
    sqlite3_mutex_leave(sqlite3_db_mutex(m_db));
    return rc == SQLITE_OK;
}

bool SqlCipherDriver::beginTransaction() { return execSimple("BEGIN", QStringLiteral("Unable to begin transaction")); }
bool SqlCipherDriver::commitTransaction()
{
    return execSimple("COMMIT", QStringLiteral("Unable to commit transaction"));
}
bool SqlCipherDriver::rollbackTransaction()
{
    return execSimple("ROLLBACK", QStringLiteral("Unable to rollback transaction"));
}

static QList<QStringList> rowsOf(sqlite3 *db, const QString &sql)
{
    QList<QStringList> rows;
    if (!db)
        return rows;
    sqlite3_mutex_enter(sqlite3_db_mutex(db));
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            QStringList row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                if (sqlite3_column_type(st, i) == SQLITE_NULL)
                    row << QString();
                else
                    row << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, i)),
                                             sqlite3_column_bytes(st, i));
            }
            rows << row;
        }
    }
    sqlite3_finalize(st);
    sqlite3_mutex_leave(sqlite3_db_mutex(db));
    return rows;
}

QStringList SqlCipherDriver::tables(QSql::TableType type) const
{
    QStringList result;
    if (!isOpen())
        return result;
    // Tables of attached files are listed with their schema name ("M.MaterialTree").
    for (const QStringList &dbRow : rowsOf(m_db, QStringLiteral("PRAGMA database_list"))) {
        const QString schema = dbRow.value(1);
        if (schema == QLatin1String("temp"))
            continue;
        const QString prefix = schema == QLatin1String("main") ? QString() : schema + QLatin1Char('.');
        QStringList kinds;
        if (type & QSql::Tables)
            kinds << QStringLiteral("type='table' AND name NOT LIKE 'sqlite_%'");
        if (type & QSql::Views)
            kinds << QStringLiteral("type='view'");
        if (type & QSql::SystemTables)
            kinds << QStringLiteral("(type='table' AND name LIKE 'sqlite_%')");
        if (kinds.isEmpty())
            continue;
        const QString sql = QStringLiteral("SELECT name FROM %1.sqlite_master WHERE %2 ORDER BY name")
                                .arg(quoted(schema), kinds.join(QLatin1String(" OR ")));
        for (const QStringList &r : rowsOf(m_db, sql))
            result << prefix + r.value(0);
    }
    if ((type & QSql::SystemTables) && !result.contains(QLatin1String("sqlite_master")))
        result << QStringLiteral("sqlite_master");
    return result;
}

void SqlCipherDriver::splitTableName(const QString &name, QString *schema, QString *table)
{
    // Find a dot outside quotes.
    QChar quote;
    int dot = -1;
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
        } else if (c == '"' || c == '[' || c == '`') {
            quote = c == '[' ? QChar(']') : c;
        } else if (c == '.') {
            dot = i;
            break;
        }
    }
    if (dot < 0) {
        schema->clear();
        *table = unquoted(name);
    } else {
        *schema = unquoted(name.left(dot));
        *table = unquoted(name.mid(dot + 1));
    }
}

static QVector<ColumnInfo> columnsOf(sqlite3 *db, const QString &schema, const QString &table)
{
    QVector<ColumnInfo> cols;
    const QString sql = schema.isEmpty() ? QStringLiteral("PRAGMA table_info(%1)").arg(quoted(table))
                                         : QStringLiteral("PRAGMA %1.table_info(%2)").arg(quoted(schema), quoted(table));
    for (const QStringList &r : rowsOf(db, sql)) {
        ColumnInfo c;
        c.name = r.value(1);
        c.type = r.value(2);
        c.notNull = r.value(3).toInt() != 0;
        c.defaultValue = r.value(4).isNull() ? QVariant() : QVariant(r.value(4));
        c.pk = r.value(5).toInt();
        cols << c;
    }
    return cols;
}

QSqlRecord SqlCipherDriver::record(const QString &tableName) const
{
    QSqlRecord rec;
    if (!isOpen())
        return rec;
    QString schema, table;
    splitTableName(tableName, &schema, &table);
    for (const ColumnInfo &c : columnsOf(m_db, schema, table)) {
        QSqlField f(c.name, typeOfDeclaredColumn(c.type), tableName);
        f.setRequired(c.notNull);
        if (c.defaultValue.isValid())
            f.setDefaultValue(c.defaultValue);
        f.setAutoValue(c.pk == 1 && c.type.compare(QLatin1String("integer"), Qt::CaseInsensitive) == 0);
        rec.append(f);
    }
    return rec;
}

QSqlIndex SqlCipherDriver::primaryIndex(const QString &tableName) const
{
    QSqlIndex index(tableName);
    if (!isOpen())
        return index;
    QString schema, table;
    splitTableName(tableName, &schema, &table);
    QVector<ColumnInfo> cols = columnsOf(m_db, schema, table);
    std::stable_sort(cols.begin(), cols.end(), [](const ColumnInfo &a, const ColumnInfo &b) { return a.pk < b.pk; });
    for (const ColumnInfo &c : qAsConst(cols)) {
        if (c.pk > 0) {
            index.append(QSqlField(c.name, typeOfDeclaredColumn(c.type), tableName));
            index.setName(table);
        }
    }
    return index;
}

QVariant SqlCipherDriver::handle() const { return QVariant::fromValue(m_db); }

bool SqlCipherDriver::isIdentifierEscaped(const QString &identifier, IdentifierType) const
{
    return identifier.size() > 2 && identifier.startsWith(QLatin1Char('"')) && identifier.endsWith(QLatin1Char('"'));
}

QString SqlCipherDriver::escapeIdentifier(const QString &identifier, IdentifierType type) const
{
    if (identifier.isEmpty() || isIdentifierEscaped(identifier, type))
        return identifier;
    if (type == TableName) {
        QString schema, table;
        splitTableName(identifier, &schema, &table);
        return schema.isEmpty() ? quoted(table) : quoted(schema) + QLatin1Char('.') + quoted(table);
    }
    return quoted(identifier);
}

QString SqlCipherDriver::formatValue(const QSqlField &field, bool trimStrings) const
{
    if (field.isNull())
        return QStringLiteral("NULL");
    switch (field.value().userType()) {
    case QMetaType::Bool:
        return field.value().toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case QMetaType::QDateTime:
        return sqlLiteral(field.value().toDateTime().toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")));
    case QMetaType::QDate:
        return sqlLiteral(field.value().toDate().toString(QStringLiteral("yyyy-MM-dd")));
    default:
        return QSqlDriver::formatValue(field, trimStrings);
    }
}
