#pragma once

#include "core/Constants.h"

#include <QFileDevice>
#include <QString>

class QSqlError;

// Helpers shared by the Database*.cpp files (connection, schema, attach, recovery, repair).
namespace DbDetail {

constexpr const char *kNow = "strftime('%Y-%m-%d %H:%M:%f','now','localtime')";

QString libraryPath(Ink::TableType type);
bool copyShippedLibrary(const QString &target);
QFileDevice::Permissions ownerOnly();
int sqliteCode(const QSqlError &error);
bool isDamageCode(int code);
QString setAside(const QString &path);
bool replaceFromShippedCopy(const QString &path, const QString &why);
bool unreadableAsLibrary(const QString &path, const QSqlError &attachError);
int queryInt(const QString &sql);

} // namespace DbDetail
