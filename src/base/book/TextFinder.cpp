#include "book/TextFinder.h"

namespace {

// The document's own find reads a no-break space in the text as a space; the find text and the
// check before replacing read it so too, or a match is found but never replaced.
QString folded(QString text) { return text.replace(QChar::Nbsp, QLatin1Char(' ')); }

bool selectsMatch(const QTextCursor &cursor, const QString &find)
{
    return cursor.hasSelection() && folded(cursor.selectedText()) == folded(find);
}

} // namespace

namespace TextFinder {

QTextCursor findNext(const QTextDocument *doc, const QTextCursor &from, const QString &text,
                     QTextDocument::FindFlags flags, int limit)
{
    if (text.isEmpty())
        return QTextCursor();
    if ((flags & QTextDocument::FindBackward) && limit >= 0) {
        // A match is as long as the text: one starting at limit - size or earlier ends in time.
        const int start = limit - text.size() + 1;
        if (start <= 0)
            return QTextCursor();
        return doc->find(folded(text), qMin(start, from.selectionStart()), flags);
    }
    return doc->find(folded(text), from, flags);
}

bool replaceCurrent(QTextCursor &cursor, const QString &find, const QString &replace, bool backward)
{
    if (find.isEmpty() || !selectsMatch(cursor, find))
        return false;
    const int start = cursor.selectionStart();
    cursor.insertText(replace);
    if (backward)
        cursor.setPosition(start);
    return true;
}

int replaceAll(QTextDocument *doc, QTextCursor &cursor, const QString &find, const QString &replace,
               QTextDocument::FindFlags flags, int limit)
{
    if (find.isEmpty())
        return 0;
    const bool backward = flags & QTextDocument::FindBackward;
    QTextCursor c = cursor;
    int count = 0;
    forever {
        if (selectsMatch(c, find)) {
            // The edit block opens with the first replacement: replacing nothing leaves no step.
            if (count == 0)
                c.beginEditBlock();
            replaceCurrent(c, find, replace, backward);
            ++count;
            if (backward)
                limit = c.position();
        }
        const QTextCursor next = findNext(doc, c, find, flags, limit);
        if (next.isNull())
            break;
        c.setPosition(next.anchor());
        c.setPosition(next.position(), QTextCursor::KeepAnchor);
        limit = -1;
    }
    if (count > 0)
        c.endEditBlock();
    cursor = c;
    return count;
}

} // namespace TextFinder
