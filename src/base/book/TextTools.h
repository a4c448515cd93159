#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QTextDocument;

// Text tools of the chapter editor that work on the document alone: character statistics,
// length alert thresholds, sensitive-word marks, auto-format and the texts the insert commands
// put in.
namespace TextTools {

// Characters by class, counted in UTF-16 units: Chinese is U+4E00..U+9FA5, Latin is ASCII
// letters and digits, everything else (line feeds, punctuation, full-width digits, each half of
// a surrogate pair) is other. The three add up to the total.
struct WordStatistics {
    int total = 0;
    int chinese = 0;
    int latin = 0;
    int other = 0;
};
WordStatistics countWords(const QString &text);
// "总:%1,中:%2,英数:%3,其:%4"
QString statisticsText(const WordStatistics &s);

// Thresholds of the alert list, one per line, in order; blanks (the stored list has CRLF line
// ends) are trimmed, and entries that are not positive whole numbers are left out.
QList<int> alertThresholds(const QString &list);
// The first threshold with last < threshold <= total, or 0.
int crossedThreshold(const QList<int> &thresholds, int last, int total);

// Words of the sensitive-word list: split at line feeds and "/", trimmed, empty ones dropped.
QStringList sensitiveWordList(const QString &list);
// Overlines every occurrence of every word (case-insensitive, not whole words, occurrences of
// one word never overlapping), all in one edit block; returns how many were marked. Nothing is
// edited when nothing matches.
int markSensitiveWords(QTextDocument *doc, const QStringList &words);
// Removes every overline of the document, also those set by hand, in one edit block; false
// (and no edit) when there was none.
bool clearSensitiveWordMarks(QTextDocument *doc);

// Every non-blank line trimmed, indented by two ideographic spaces and followed by an empty
// line; blank lines are dropped. The result ends with a line feed (or is empty).
QString autoFormatText(const QString &plainText);
// The same with another indent (empty: none).
QString autoFormatText(const QString &plainText, const QString &indent);
// Replaces the whole document with autoFormatText of its plain text, as plain text (character
// formats are lost), in one undo step.
void applyAutoFormat(QTextDocument *doc);

// 50 "-" and a line feed, with a line feed before it unless the paragraph is empty.
QString separatorLine(bool emptyParagraph);

// Selected text as a node title: paragraph and line breaks become spaces, trimmed, at most
// maxTitleLength characters. Empty when nothing is left.
constexpr int maxTitleLength = 200;
QString titleFromSelection(const QString &selectedText);
// The find box takes the first line of a selection: a match never spans paragraphs.
QString findTextFromSelection(const QString &selectedText);

} // namespace TextTools
