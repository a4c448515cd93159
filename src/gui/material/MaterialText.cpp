#include "material/MaterialText.h"

#include <QBrush>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

namespace material {

void markKeyword(QPlainTextEdit *pane, const QString &keyword)
{
    if (!pane || keyword.isEmpty())
        return;
    const QSignalBlocker blocker(pane);
    QTextDocument *doc = pane->document();
    QTextCharFormat mark;
    mark.setBackground(QBrush(Qt::red, Qt::SolidPattern));
    // Searching the document (not the view) keeps the view from scrolling to every hit, and one
    // edit block lays the text out once, however many hits there are.
    QTextCursor edit(doc);
    edit.beginEditBlock();
    QTextCursor hit(doc);
    while (true) {
        hit = doc->find(keyword, hit);
        if (hit.isNull())
            break;
        hit.mergeCharFormat(mark);
    }
    edit.endEditBlock();
    pane->moveCursor(QTextCursor::Start);
}

bool insertPlainText(QTextEdit *editor, const QString &text, bool atEnd)
{
    if (!editor || editor->isReadOnly())
        return false;
    if (atEnd)
        editor->moveCursor(QTextCursor::End);
    editor->insertPlainText(text);
    editor->setFocus(Qt::OtherFocusReason);
    return true;
}

} // namespace material
