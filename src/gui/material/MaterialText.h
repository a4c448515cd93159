#pragma once

#include <QString>

class QPlainTextEdit;
class QTextEdit;

namespace material {

// Gives every occurrence of `keyword` (any letter case) a solid red background in the pane.
// An empty keyword marks nothing. The pane's signals stay quiet and its cursor ends at the start.
void markKeyword(QPlainTextEdit *pane, const QString &keyword);

// Inserts `text` as plain text at the editor's cursor, or at the end of the document with
// `atEnd`, and gives the editor the focus. A read-only editor (no chapter open) is left alone;
// the return value says whether anything was inserted.
bool insertPlainText(QTextEdit *editor, const QString &text, bool atEnd);

} // namespace material
