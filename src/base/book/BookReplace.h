#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// Replacing a key in many chapters at once, as one transaction: every chapter changes or none.
namespace BookReplace {

struct ChapterEdit {
    QString chapterId;
    QVector<int> offsets; // matches in the chapter's plain text, as the search found them
};

struct Plan {
    QString key;
    QString replacement;
    bool matchCase = false;
    QVector<ChapterEdit> chapters;
};

// What a chapter was before and after; enough to put it back.
struct Change {
    QString chapterId;
    QString path;
    QString oldHtml;
    QString oldPlain;
    QString newPlain;
};

struct Outcome {
    QVector<Change> changes; // the chapters written
    int replaced = 0;        // matches replaced
    QStringList overLength;  // paths of chapters left alone: the result would be too long
};

// Called inside the transaction for each chapter about to be written, with its stored text;
// a throw fails the whole operation. The chapter history keeps a version of it here.
using VersionKeeper = std::function<void(const QString &chapterId, const QString &html, const QString &plain)>;
void setVersionKeeper(VersionKeeper keeper);

// progress(done, total) is called as chapters are prepared and written.
using Progress = std::function<void(int done, int total)>;

// Replaces the listed matches, the formatting around them kept. A chapter that changed since the
// search (a listed match is no longer the key), a deleted one, or any failure while writing
// throws Exception naming the chapter, and nothing is written. Rows are marked for sync and the
// day's word count is kept as by a save.
Outcome apply(const Plan &plan, const Progress &progress = nullptr);

struct UndoOutcome {
    QStringList restored;     // chapter ids
    QStringList changedSince; // paths of chapters edited after the replace: left as they are
};
// Puts back every chapter of changes that still holds the replaced text, in one transaction.
UndoOutcome undo(const QVector<Change> &changes);

} // namespace BookReplace
