#include "storage/Connection.h"

Connection &Connection::instance()
{
    static Connection connection;
    return connection;
}
