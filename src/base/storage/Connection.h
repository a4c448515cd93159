#pragma once

#include <QRecursiveMutex>
#include <QSqlDatabase>

struct sqlite3;

// The program's one connection (the main file with the libraries attached) and the lock every
// use of it holds. Storage owns both; the layers above reach them through dbConnection() and
// the statement calls of DataAccess.
class Connection final
{
public:
    static Connection &instance();

    // Use it under the lock (DbLocker, LockedQuery, Transaction).
    QSqlDatabase &database() { return m_db; }
    QRecursiveMutex &mutex() { return m_mutex; }

private:
    Connection() = default;
    Q_DISABLE_COPY(Connection)

    QSqlDatabase m_db;
    QRecursiveMutex m_mutex;
};

inline QSqlDatabase &dbConnection() { return Connection::instance().database(); }

// SQLite's own handle of the open connection, or null when it is closed or not SQLite; the
// caller holds the lock.
sqlite3 *connectionHandle();
