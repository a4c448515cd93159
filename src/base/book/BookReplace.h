#pragma once

#include <QFont>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// Replacing a key in many chapters at once, as one transaction: every chapter changes or none.
namespace BookReplace
{

struct ChapterEdit {
    QString chapterId;
    QVector<int> offsets;      // matches in the chapter's plain text, as the search found them
    QVector<int> titleOffsets; // matches in the node's title (a book's and a volume's too)
};

struct Plan {
    QString key;
    QString replacement;
    bool matchCase = false;
    QVector<ChapterEdit> chapters;
    // The editor's default font: a chapter edited as a document keeps the look the editor gives it.
    QFont defaultFont;
};

struct TitleChange {
    QString id;
    QString before;
    QString after;
};

struct Outcome {
    QString batchId;             // the history versions of the touched chapters, for undo
    QStringList chapterIds;      // the chapters whose text was written
    QVector<TitleChange> titles; // the titles written
    int replaced = 0;            // matches replaced
    QStringList overLength;      // paths of chapters whose text was left alone: it would be too long
    QStringList titlesSkipped;   // paths of nodes whose title was left alone: too long, or empty
};

// progress(done, total) is called as chapters are prepared and written.
using Progress = std::function<void(int done, int total)>;

// Replaces the listed matches, the formatting around them kept, and those in titles. A node that
// changed since the search (a listed match is no longer the key), a deleted one, or any failure
// while writing throws Exception naming it, and nothing is written. Each chapter's text is kept in
// its history first (one batch); rows are marked for sync and the day's word count is kept as by
// a save; a title is stored as a rename stores it.
Outcome apply(const Plan &plan, const Progress &progress = nullptr);

struct UndoOutcome {
    QStringList restored;       // chapter ids
    QStringList titlesRestored; // node ids
    QStringList changedSince;   // paths of chapters written after the replace: left as they are
};
// Puts back every chapter of the replace's batch that nothing has written since, and every title
// of `titles` still as the replace left it, in one transaction; the present texts become versions
// first.
UndoOutcome undo(const QString &batchId, const QVector<TitleChange> &titles = {});

} // namespace BookReplace
