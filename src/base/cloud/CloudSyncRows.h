#pragma once

#include "cloud/ApiRecords.h"

#include <QDateTime>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QVariant>

// What the pull and the push of the book and material rows share.
namespace syncrows {

constexpr int kPageSize = 10;
constexpr int kMaxUsn = 2147483647 - 1048575; // 2^31 - 2^20
constexpr int kMaxTotal = 1000000;
constexpr int kMaxBody = 4 * 1024 * 1024;

const char *const kDetailColumns = "ID,pID,NodeType,Level,Sort,Title,Category,rtf,HTML,PlainText,"
                                   "Attribute1,Attribute2,Attribute3,Created,Updated,DataType,OrigID,Flag,Usn,Synced";

// The session's temporary tables SyncDetail and SyncConflict, made anew or dropped.
void dropTempTables();
void createTempTables();
QString maxUsnQuery();
// floor: the highest USN of pulled rows that were skipped; they are not fetched again.
void storeLastUsn(qint64 floor = 0);
QVariant textOrNull(const QString &text);
QVariant timeOrNull(const QDateTime &time);
QDateTime parseTime(const QVariant &value);
BookItem toItem(const QSqlRecord &r);
// The service's copy of a row this client uploaded is byte for byte what was sent.
QString itemDigest(const BookItem &it);
// Digests of the last upload until its local bookkeeping is done (SyncPending).
void ensurePendingTable();
// The columns of d and t compared as text; withPlace: the place in the tree too (pID, Level, Sort).
QString equalColumns(bool withPlace = true);
// Whether a pulled row may be written; why gets the reason when not.
bool rowAcceptable(const BookItem &it, QString *why);
// The titles of rows for a notice: a few, each cut short.
QString titleList(const QStringList &titles);
QString limitsText();
// Hands a notice to the handler the window set (CloudSync::setNoticeHandler).
void tellNotice(const QString &text);

} // namespace syncrows
