#include "SqlCipherResult.h"

#include "CipherVfs.h"
#include "SqlCipherDriver.h"
#include "SqlTypes.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlField>
#include <sqlite3.h>

Q_DECLARE_OPAQUE_POINTER(sqlite3_stmt *)
Q_DECLARE_METATYPE(sqlite3_stmt *)

namespace {

// Holds SQLite's connection mutex so that a statement and the error text it leaves
// belong together even when several threads share the connection.
class DbMutexLocker
{
public:
    explicit DbMutexLocker(sqlite3 *db) : m(db ? sqlite3_db_mutex(db) : nullptr)
    {
        if (m)
            sqlite3_mutex_enter(m);
    }
    ~DbMutexLocker()
    {
        if (m)
            sqlite3_mutex_leave(m);
    }

private:
    sqlite3_mutex *m;
};

bool onlySpaceOrSemicolons(const char *p)
{
    for (; *p; ++p) {
        if (*p != ';' && !isspace(static_cast<unsigned char>(*p)))
            return false;
    }
    return true;
}

QString dbText(sqlite3 *db, int rc)
{
    QString text = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(rc));
    const std::string why = inkcipher::lastOpenError();
    if (!why.empty() && !text.contains(QString::fromStdString(why)))
        text += QStringLiteral(" (") + QString::fromStdString(why) + QStringLiteral(")");
    return text;
}

} // namespace

SqlCipherResult::SqlCipherResult(const SqlCipherDriver *driver) : QSqlResult(driver)
{
    driver->attachResult(this);
}

SqlCipherResult::~SqlCipherResult()
{
    if (const SqlCipherDriver *d = drv())
        d->detachResult(this);
    finalize();
}

const SqlCipherDriver *SqlCipherResult::drv() const { return static_cast<const SqlCipherDriver *>(driver()); }

QVariant SqlCipherResult::handle() const
{
    return QVariant::fromValue(m_stmt);
}

void SqlCipherResult::finalize()
{
    if (m_stmt) {
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
    }
    clearRows();
}

void SqlCipherResult::clearRows()
{
    m_rows.clear();
    m_current.clear();
    m_pending = false;
    m_done = true;
    m_pulled = 0;
}

void SqlCipherResult::setError(const QString &driverText, QSqlError::ErrorType type, int rc)
{
    sqlite3 *db = drv() ? drv()->connection() : nullptr;
    setLastError(QSqlError(driverText, dbText(db, rc), type, rc ? QString::number(rc) : QString()));
}

bool SqlCipherResult::prepareOne(const QByteArray &sql, const char **tail)
{
    sqlite3 *db = drv() ? drv()->connection() : nullptr;
    if (!db) {
        setLastError(QSqlError(QStringLiteral("Database is not open"), QString(), QSqlError::ConnectionError));
        return false;
    }
    inkcipher::clearLastOpenError();
    DbMutexLocker lock(db);
    const int rc = sqlite3_prepare_v2(db, sql.constData(), sql.size() + 1, &m_stmt, tail);
    if (rc != SQLITE_OK) {
        setError(QStringLiteral("Unable to prepare statement"), QSqlError::StatementError, rc);
        if (m_stmt) {
            sqlite3_finalize(m_stmt);
            m_stmt = nullptr;
        }
        return false;
    }
    return true;
}

bool SqlCipherResult::reset(const QString &query)
{
    finalize();
    setActive(false);
    setAt(QSql::BeforeFirstRow);
    QByteArray remaining = SqlCipherDriver::rewriteAttach(query).toUtf8();
    // Several statements in one text run one after another; the last one is the result.
    for (;;) {
        const QByteArray current = remaining;
        const char *tail = nullptr;
        if (!prepareOne(current, &tail))
            return false;
        if (!m_stmt) {
            setLastError(QSqlError(QStringLiteral("No statement to execute"), QString(), QSqlError::StatementError));
            return false;
        }
        remaining = tail ? QByteArray(tail) : QByteArray();
        if (remaining.isEmpty() || onlySpaceOrSemicolons(remaining.constData()))
            return exec();
        if (!exec())
            return false;
        while (pullRow()) {
        }
        if (lastError().isValid())
            return false;
        finalize();
    }
}

bool SqlCipherResult::prepare(const QString &query)
{
    finalize();
    setActive(false);
    setAt(QSql::BeforeFirstRow);
    const QByteArray sql = SqlCipherDriver::rewriteAttach(query).toUtf8();
    const char *tail = nullptr;
    if (!prepareOne(sql, &tail))
        return false;
    if (!m_stmt) {
        setLastError(QSqlError(QStringLiteral("No statement to prepare"), QString(), QSqlError::StatementError));
        return false;
    }
    if (tail && !onlySpaceOrSemicolons(tail)) {
        finalize();
        setLastError(QSqlError(QStringLiteral("Unable to execute multiple statements at a time"), QString(),
                               QSqlError::StatementError));
        return false;
    }
    return true;
}

bool SqlCipherResult::bindValues()
{
    const QVector<QVariant> values = boundValues();
    const int expected = sqlite3_bind_parameter_count(m_stmt);
    if (expected != values.size()) {
        setLastError(QSqlError(QStringLiteral("Parameter count mismatch"),
                               QStringLiteral("%1 values bound, the statement has %2 parameters")
                                   .arg(values.size())
                                   .arg(expected),
                               QSqlError::StatementError));
        return false;
    }
    for (int i = 0; i < values.size(); ++i) {
        const QVariant &v = values.at(i);
        const int idx = i + 1;
        int rc = SQLITE_OK;
        if (!v.isValid() || v.isNull()) {
            rc = sqlite3_bind_null(m_stmt, idx);
        } else {
            switch (v.userType()) {
            case QMetaType::Bool:
                rc = sqlite3_bind_int(m_stmt, idx, v.toBool() ? 1 : 0);
                break;
            case QMetaType::Int:
            case QMetaType::UInt:
            case QMetaType::Long:
            case QMetaType::ULong:
            case QMetaType::LongLong:
            case QMetaType::ULongLong:
            case QMetaType::Short:
            case QMetaType::UShort:
            case QMetaType::Char:
            case QMetaType::SChar:
            case QMetaType::UChar:
                rc = sqlite3_bind_int64(m_stmt, idx, v.toLongLong());
                break;
            case QMetaType::Double:
            case QMetaType::Float:
                rc = sqlite3_bind_double(m_stmt, idx, v.toDouble());
                break;
            case QMetaType::QByteArray: {
                const QByteArray b = v.toByteArray();
                rc = sqlite3_bind_blob(m_stmt, idx, b.constData(), b.size(), SQLITE_TRANSIENT);
                break;
            }
            default: {
                QString s;
                if (v.userType() == QMetaType::QDateTime)
                    s = v.toDateTime().toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
                else if (v.userType() == QMetaType::QDate)
                    s = v.toDate().toString(QStringLiteral("yyyy-MM-dd"));
                else if (v.userType() == QMetaType::QTime)
                    s = v.toTime().toString(QStringLiteral("hh:mm:ss.zzz"));
                else
                    s = v.toString();
                const QByteArray u = s.toUtf8();
                rc = sqlite3_bind_text(m_stmt, idx, u.constData(), u.size(), SQLITE_TRANSIENT);
                break;
            }
            }
        }
        if (rc != SQLITE_OK) {
            setError(QStringLiteral("Unable to bind parameters"), QSqlError::StatementError, rc);
            return false;
        }
    }
    return true;
}

bool SqlCipherResult::exec()
{
    if (!m_stmt) {
        setLastError(QSqlError(QStringLiteral("No statement to execute"), QString(), QSqlError::StatementError));
        return false;
    }
    clearRows();
    setActive(false);
    setAt(QSql::BeforeFirstRow);
    setLastError(QSqlError());
    {
        sqlite3 *db = drv()->connection();
        DbMutexLocker lock(db);
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    if (!bindValues())
        return false;
    return stepFirst();
}

bool SqlCipherResult::stepFirst()
{
    sqlite3 *db = drv()->connection();
    inkcipher::clearLastOpenError();
    DbMutexLocker lock(db);
    const qint64 before = sqlite3_total_changes64(db);
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) {
        m_pending = true;
        m_done = false;
    } else if (rc == SQLITE_DONE) {
        m_pending = false;
        m_done = true;
    } else {
        setError(QStringLiteral("Unable to execute statement"), QSqlError::StatementError, rc);
        sqlite3_reset(m_stmt);
        return false;
    }
    const bool wrote = !sqlite3_stmt_readonly(m_stmt) && sqlite3_total_changes64(db) != before;
    m_changes = wrote ? sqlite3_changes(db) : 0;
    m_lastRowId = sqlite3_last_insert_rowid(db);

    m_record.clear();
    const int cols = sqlite3_column_count(m_stmt);
    for (int i = 0; i < cols; ++i) {
        const QString name = QString::fromUtf8(sqlite3_column_name(m_stmt, i));
        QSqlField field(name, typeOfDeclaredColumn(QString::fromUtf8(sqlite3_column_decltype(m_stmt, i))));
        m_record.append(field);
    }
    setSelect(cols > 0);
    setActive(true);
    return true;
}

QVariant SqlCipherResult::columnValue(int col) const
{
    switch (sqlite3_column_type(m_stmt, col)) {
    case SQLITE_INTEGER:
        // Integers stay 64-bit whatever the precision policy, as the stock driver does.
        return QVariant(qlonglong(sqlite3_column_int64(m_stmt, col)));
    case SQLITE_FLOAT: {
        const double v = sqlite3_column_double(m_stmt, col);
        switch (numericalPrecisionPolicy()) {
        case QSql::LowPrecisionInt32:
            return int(v);
        case QSql::LowPrecisionInt64:
            return qlonglong(v);
        default:
            return v;
        }
    }
    case SQLITE_NULL:
        return QVariant(col < m_record.count() ? m_record.field(col).type() : QVariant::String);
    case SQLITE_BLOB: {
        const void *b = sqlite3_column_blob(m_stmt, col);
        return QByteArray(static_cast<const char *>(b), sqlite3_column_bytes(m_stmt, col));
    }
    default: {
        const char *t = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, col));
        const int n = sqlite3_column_bytes(m_stmt, col);
        // An empty text is not NULL: keep it distinguishable for the caller.
        return n > 0 ? QString::fromUtf8(t, n) : QString(QLatin1String(""));
    }
    }
}

bool SqlCipherResult::pullRow()
{
    if (!m_stmt)
        return false;
    sqlite3 *db = drv() ? drv()->connection() : nullptr;
    if (!db)
        return false;
    DbMutexLocker lock(db);
    if (m_pending) {
        m_pending = false;
    } else {
        if (m_done)
            return false;
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_DONE) {
            m_done = true;
            return false;
        }
        if (rc != SQLITE_ROW) {
            m_done = true;
            setError(QStringLiteral("Unable to fetch row"), QSqlError::StatementError, rc);
            sqlite3_reset(m_stmt);
            return false;
        }
    }
    const int cols = sqlite3_column_count(m_stmt);
    QVector<QVariant> row(cols);
    for (int i = 0; i < cols; ++i)
        row[i] = columnValue(i);
    m_current = row;
    if (!isForwardOnly())
        m_rows.append(row);
    ++m_pulled;
    return true;
}

bool SqlCipherResult::fetch(int i)
{
    if (i < 0 || !isActive() || !isSelect())
        return false;
    if (isForwardOnly()) {
        if (at() >= 0 && i == at())
            return true;
        if (at() >= 0 && i < at())
            return false;
        while (m_pulled <= i) {
            if (!pullRow())
                return false;
        }
        setAt(i);
        return true;
    }
    while (m_rows.size() <= i) {
        if (!pullRow())
            return false;
    }
    setAt(i);
    return true;
}

bool SqlCipherResult::fetchNext() { return fetch(at() < 0 ? 0 : at() + 1); }
bool SqlCipherResult::fetchFirst() { return fetch(0); }

bool SqlCipherResult::fetchPrevious()
{
    if (isForwardOnly() || at() <= 0)
        return false;
    return fetch(at() - 1);
}

bool SqlCipherResult::fetchLast()
{
    if (!isActive() || !isSelect())
        return false;
    while (pullRow()) {
    }
    if (m_pulled == 0)
        return false;
    setAt(m_pulled - 1);
    return true;
}

QVariant SqlCipherResult::data(int field)
{
    const QVector<QVariant> &row = isForwardOnly() ? m_current : (at() >= 0 && at() < m_rows.size() ? m_rows.at(at()) : m_current);
    if (field < 0 || field >= row.size())
        return QVariant();
    return row.at(field);
}

bool SqlCipherResult::isNull(int field) { return data(field).isNull(); }

int SqlCipherResult::size() { return -1; }

int SqlCipherResult::numRowsAffected() { return m_changes; }

QVariant SqlCipherResult::lastInsertId() const
{
    if (!isActive())
        return QVariant();
    return QVariant(qlonglong(m_lastRowId));
}

QSqlRecord SqlCipherResult::record() const
{
    if (!isActive() || !isSelect())
        return QSqlRecord();
    return m_record;
}

void SqlCipherResult::detachFromResultSet()
{
    if (m_stmt && drv() && drv()->connection()) {
        DbMutexLocker lock(drv()->connection());
        sqlite3_reset(m_stmt);
    }
    m_pending = false;
    m_done = true;
}
