#pragma once

#include "book/ChapterHistory.h"

#include <QByteArray>

// The stored form of a chapter's versions (used by the history only).
namespace ChapterHistoryData {

// Eight bytes of MD5 over both texts: equal texts are told apart from changed ones cheaply.
qint64 digestOf(const QString &html, const QString &plainText);
// The data of `t` stored whole.
QByteArray encodeWhole(const ChapterHistory::Text &t);
// Data of `t` stored against `base` (the next newer version), or whole when most of it is new.
QByteArray encodeAgainst(const ChapterHistory::Text &t, const ChapterHistory::Text &base, bool *isDelta);
// The text of version `id` from its data and, for a difference, the text of its base; throws
// Exception when the data is damaged.
ChapterHistory::Text decode(qint64 id, const QByteArray &data, const ChapterHistory::Text *base);
[[noreturn]] void damaged(qint64 id);

} // namespace ChapterHistoryData
