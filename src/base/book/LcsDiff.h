#pragma once

#include <QList>
#include <QString>

// A difference between the stored chapter (text1) and a recovery copy (text2).
struct Diff {
    enum Operation { Delete = -1, Equal = 0, Insert = 1 };
    Operation operation = Equal;
    QString text;

    bool operator==(const Diff &other) const { return operation == other.operation && text == other.text; }
    bool operator!=(const Diff &other) const { return !(*this == other); }
};
using DiffList = QList<Diff>;

// Longest-common-subsequence diff by characters (UTF-16 units) or by lines (the text split at
// "\n", a "\n" appended to every piece). Ties of the table go to INSERT; what is left at the
// first row or column comes out as one DELETE or INSERT; neighbours of the same kind are merged.
// The table is kept as 2 bits of direction per cell with two rows of counts, so 10240 x 10240
// characters need 26 MB.
DiffList lcsDiff(const QString &text1, const QString &text2, bool byLines);

// Cells of the direction table lcsDiff needs for the pair (the common suffix costs none).
qint64 lcsDiffCells(const QString &text1, const QString &text2, bool byLines);

// HTML of a diff: inserted text on green, deleted text on red (struck through in the span form).
QString diffPrettyHtml(const DiffList &diffs, bool useInsDel, bool wrap);

// Above this many cells a pair is not compared by characters (the table would pass 64 MB).
constexpr qint64 kMaxDiffCells = 250000000;

// What the recovery dialog shows for a copy: its text, or the diff against the stored text.
// A pair too large for a character diff is compared by lines, and one too large for that shows
// the copy's text; either way the view says so.
struct DiffView {
    QString text;
    bool isHtml = false;
};
DiffView compareForView(const QString &stored, const QString &copy, bool showDiffs, bool byLines,
                        qint64 maxCells = kMaxDiffCells);
