#pragma once

#include "cloud/ApiRecords.h"

#include <QList>
#include <QString>

// A second machine on one account, talking to the service (INKBOAT_SERVICE_URL) directly: it
// reads and writes the account's rows the way another client would, without this process's
// connection or session.
// A row as a client sends it; text defaults to the title.
BookItem bookItem(const QString &id, const QString &pid, int nodeType, const QString &title,
                  const QString &text = QString());

struct OtherClient {
    QString uid, sid;

    // The program's own session: sharing it leaves the program signed in.
    static OtherClient ofProgram();
    // A sign-in of its own, which ends every other session of the account; empty uid when refused.
    static OtherClient signIn(const QString &name, const QString &password = QStringLiteral("secret1"));

    QString heartbeat() const; // the service's error code, "0" for a live session
    QList<BookItem> pullAll() const;
    int maxUsn() const;
    bool push(QList<BookItem> items) const; // numbered from the account's maximum; whether committed
    BookItem find(const QString &id) const; // empty tid when the service has no such row
};
