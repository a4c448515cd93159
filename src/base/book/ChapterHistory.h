#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QSet>
#include <QString>
#include <QVector>

#include <functional>

// Earlier texts of chapters, kept on this machine only (never synced) in the table
// ChapterHistory of the main file, so a version is written in the same transaction as the change
// it precedes. A version is stored whole or as line differences against an older whole one of the
// same chapter, compressed either way; older versions are thinned with age.
namespace ChapterHistory {

struct Version {
    qint64 id = 0;
    QString chapterId;
    QDateTime time;
    QString origin;  // what replaced this text: "保存", "导入", "同步", "全书替换", "恢复此版本" …
    QString batchId; // shared by the versions of one book-wide operation
    QString name;    // the author's name for it; a named version is never thinned
    int length = 0;  // characters of its plain text
};

struct Text {
    bool found = false;
    QString html; // empty when the text had no HTML of its own (an imported chapter): use plainText
    QString plainText;
};

// The HTML of a BookTree row worth keeping: none for a row whose HTML is stale (Attribute1
// "NEWIMPORT": its PlainText is the text).
QString htmlOfRow(const QString &html, const QString &attribute1);

// Keeps html/plainText, the chapter's text about to be replaced, as a version and thins the
// chapter's older ones. Runs inside the caller's open transaction (else in one of its own) and
// throws Exception on failure. Returns the new id, or 0 when the text equals the chapter's newest
// version (nothing is added).
qint64 keep(const QString &chapterId, const QString &html, const QString &plainText,
            const QString &origin = QString(), const QString &batchId = QString());
// The encoding keep() stores for the chapter's text, made beforehand by a caller that keeps many
// versions in one short transaction: the text's own, and the data of the chapter's newest version
// stored against it (used only while that version is still the newest).
struct Encoded {
    qint64 digest = 0;
    QByteArray whole;
    qint64 previous = 0;
    qint64 previousDigest = 0;
    QByteArray previousData;
    bool previousIsDelta = false;
};
Encoded encode(const QString &chapterId, const QString &html, const QString &plainText);
qint64 keep(const QString &chapterId, const QString &html, const QString &plainText, const Encoded &encoded,
            const QString &origin, const QString &batchId);
// keep() for a write of the author's text that must not fail because of its history: inside the
// caller's open transaction, under a savepoint that a failure rolls back. The failure is logged and
// left for takeFailureNotice(); returns 0 then.
qint64 keepBesideSave(const QString &chapterId, const QString &html, const QString &plainText,
                      const QString &origin = QString(), const QString &batchId = QString());
// The message of the first history failure since the last call, once (empty when there is none).
QString takeFailureNotice();
// The same for the text stored in BookTree for the chapter (any Flag); 0 when there is no row.
qint64 keepStored(const QString &chapterId, const QString &origin = QString(), const QString &batchId = QString());

// The chapter's versions, newest first (time, size, name; no texts).
QVector<Version> versions(const QString &chapterId);
// The text of a version (found false when it is gone).
Text text(qint64 versionId);
// The versions of one book-wide operation, one per touched chapter at most, oldest first.
QVector<Version> batch(const QString &batchId);
// Names a version (an empty name removes it, and the version may be thinned again). False when
// the version is gone.
bool setName(qint64 versionId, const QString &name);

// Drops the history of chapters whose BookTree row is gone for good (a deleted chapter's row
// stays with Flag 'D' until then, and so does its history). Returns the versions removed.
int dropOrphans();

// The ids among newestFirst that thinning removes at `now`: every version but the newest 50, the
// newest of each hour for 7 days, of each day for 90 days and of each week after that, and the
// named ones.
QSet<qint64> thinned(const QVector<Version> &newestFirst, const QDateTime &now);

// The clock versions are stamped and thinned with (tests move it; null restores the real one).
void setClock(std::function<QDateTime()> clock);

// Bytes the history takes in the file (data of every row).
qint64 storedBytes();

} // namespace ChapterHistory
