#include "storage/Connection.h"

#include <QSqlDriver>
#include <QVariant>

Connection &Connection::instance()
{
    static Connection connection;
    return connection;
}

sqlite3 *connectionHandle()
{
    if (!dbConnection().isValid() || !dbConnection().isOpen() || !dbConnection().driver())
        return nullptr;
    const QVariant handle = dbConnection().driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}
