#pragma once

#include <QFont>
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
    // The editor's default font: a chapter edited as a document keeps the look the editor gives it.
    QFont defaultFont;
};

struct Outcome {
    QString batchId;        // the history versions of the touched chapters, for undo
    QStringList chapterIds; // the chapters written
    int replaced = 0;       // matches replaced
    QStringList overLength; // paths of chapters left alone: the result would be too long
};

// progress(done, total) is called as chapters are prepared and written.
using Progress = std::function<void(int done, int total)>;

// Replaces the listed matches, the formatting around them kept. A chapter that changed since the
// search (a listed match is no longer the key), a deleted one, or any failure while writing
// throws Exception naming the chapter, and nothing is written. Each chapter's text is kept in
// its history first (one batch); rows are marked for sync and the day's word count is kept as by
// a save.
Outcome apply(const Plan &plan, const Progress &progress = nullptr);

struct UndoOutcome {
    QStringList restored;     // chapter ids
    QStringList changedSince; // paths of chapters written after the replace: left as they are
};
// Puts back every chapter of the replace's batch that nothing has written since, in one
// transaction; their present text becomes a version first.
UndoOutcome undo(const QString &batchId);

} // namespace BookReplace
