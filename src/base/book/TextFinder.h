#pragma once

#include <QString>
#include <QTextCursor>
#include <QTextDocument>

// Find and replace over a document, for the find and replace dialogs. Matches never span
// paragraphs (the document's own find works within blocks).
namespace TextFinder {

// The next match after the cursor (before it when searching backward), or a null cursor. With
// limit >= 0 a backward match must end at or before limit: the text after it was just replaced
// and is not searched again. An empty text finds nothing.
QTextCursor findNext(const QTextDocument *doc, const QTextCursor &from, const QString &text,
                     QTextDocument::FindFlags flags, int limit = -1);

// When the cursor selects exactly `find` (case-sensitive; a no-break space is a space, as for the
// find), replaces it. Forward the cursor ends after the new text, backward at its start, so that
// the next search leaves it behind.
bool replaceCurrent(QTextCursor &cursor, const QString &find, const QString &replace, bool backward);

// Replaces the current selection (when it is the find text) and every later match in the search
// direction, in one undo step, never inside text it has put in. The cursor ends where the
// last replacement left it (or on the last match it could not replace). Returns the number of
// replacements; with none, the document is not touched. limit as for findNext, for a cursor
// left at the start of an earlier backward replacement.
int replaceAll(QTextDocument *doc, QTextCursor &cursor, const QString &find, const QString &replace,
               QTextDocument::FindFlags flags, int limit = -1);

} // namespace TextFinder
