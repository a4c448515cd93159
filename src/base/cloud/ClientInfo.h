#pragma once

#include "cloud/ApiRecords.h"

#include <QList>
#include <QString>

// Client information, news, links and the machine identifier.
namespace clientinfo {

// JSON texts sent as attr1 and attr2, keys in their fixed order.
QString osInfoJson();
QString hardwareInfoJson();
// The query items of postClientInfo (sorted by key, so "sid" comes last).
QMap<QString, QString> clientInfoParams(bool startUp);
// Sends the client information ("StartUp" or "Quit"); the answer is not read, failures are dropped.
void postClientInfo(bool startUp, int timeoutMs = 30000);

// The link and news lists the start-up worker fills; copied out under App's mutex.
QList<ApiLink> links();
void setLinks(const QList<ApiLink> &links);
QList<ApiNews> news();
void setNews(const QList<ApiNews> &news);

// Replaces the link list with the service's answer (kept on failure); an empty list gets the
// one default shop link. Never throws.
void fetchLinks();
// Replaces the news list with the service's answer (kept on failure). Never throws.
void fetchNews();
QString lastNewsUrl();
// Marks the news up to lastShownId (the newest item the author was shown) as read, so items
// added since stay unread; unless silent a failure is shown. True on success.
bool newsDone(bool silent, qint64 lastShownId);

// The status-bar label of a link: the name as plain text, the address with "'" encoded; empty for
// anything but http and https.
QString linkLabelText(const ApiLink &link);

} // namespace clientinfo
