#include "book/TextSearchWidget.h"

#include "book/TextFinder.h"
#include "frame/FramelessWindow.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTextEdit>
#include <QTimer>

TextSearchWidget::TextSearchWidget(QWidget *parent) : QWidget(parent) {}

void TextSearchWidget::bindForm(QLineEdit *find, QCheckBox *caseSensitive, QCheckBox *wholeWords, QCheckBox *backward)
{
    m_find = find;
    m_caseSensitive = caseSensitive;
    m_wholeWords = wholeWords;
    m_backward = backward;
    for (QWidget *child : findChildren<QWidget *>())
        child->installEventFilter(this);
    QTimer::singleShot(0, this, &TextSearchWidget::focusFindBox);
}

void TextSearchWidget::setFindText(const QString &text) { m_find->setText(text); }

QString TextSearchWidget::findText() const { return m_find->text(); }

QTextDocument::FindFlags TextSearchWidget::findFlags() const
{
    QTextDocument::FindFlags flags;
    if (m_caseSensitive->isChecked())
        flags |= QTextDocument::FindCaseSensitively;
    if (m_wholeWords->isChecked())
        flags |= QTextDocument::FindWholeWords;
    if (m_backward->isChecked())
        flags |= QTextDocument::FindBackward;
    return flags;
}

void TextSearchWidget::focusFindBox()
{
    m_find->setFocus();
    m_find->selectAll();
}

bool TextSearchWidget::findNext()
{
    if (!m_editor || findText().isEmpty())
        return false;
    const QTextCursor found = TextFinder::findNext(m_editor->document(), m_editor->textCursor(), findText(),
                                                   findFlags(), replacedLimit());
    if (found.isNull())
        return false;
    m_editor->setTextCursor(found);
    revealSelection();
    return true;
}

void TextSearchWidget::on_pushButtonFind_clicked()
{
    findNext();
    reactivateLater();
}

void TextSearchWidget::on_pushButtonClose_clicked()
{
    // Hiding the content closes (and deletes) its frame.
    close();
}

bool TextSearchWidget::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Escape) {
            on_pushButtonClose_clicked();
            return true;
        }
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && watched == m_find) {
            on_pushButtonFind_clicked();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TextSearchWidget::reactivateLater()
{
    QTimer::singleShot(50, this, [this]() {
        if (isVisible())
            window()->activateWindow();
    });
}

void TextSearchWidget::rememberReplacedStart(int position)
{
    m_replacedStart = position;
    m_replacedRevision = m_editor ? m_editor->document()->revision() : -1;
}

int TextSearchWidget::replacedLimit() const
{
    if (!m_editor || m_replacedStart < 0 || !(findFlags() & QTextDocument::FindBackward))
        return -1;
    const QTextCursor c = m_editor->textCursor();
    if (c.hasSelection() || c.position() != m_replacedStart ||
        m_editor->document()->revision() != m_replacedRevision)
        return -1;
    return m_replacedStart;
}

namespace {

// The selection's rectangle in global coordinates.
QRect selectionRect(QTextEdit *editor)
{
    const QTextCursor c = editor->textCursor();
    QTextCursor start = c, end = c;
    start.setPosition(c.selectionStart());
    end.setPosition(c.selectionEnd());
    const QRect r = editor->cursorRect(start).united(editor->cursorRect(end));
    return QRect(editor->viewport()->mapToGlobal(r.topLeft()), r.size());
}

} // namespace

void TextSearchWidget::revealSelection()
{
    if (!m_editor)
        return;
    m_editor->ensureCursorVisible();
    QWidget *frame = window();
    if (!frame->isVisible() || frame == m_editor->window())
        return;
    const QRect dialog = frame->frameGeometry();
    QRect match = selectionRect(m_editor);
    if (!match.intersects(dialog))
        return;
    // Scroll the match into the larger free part of the editor, above or below the dialog.
    const QRect view(m_editor->viewport()->mapToGlobal(QPoint(0, 0)), m_editor->viewport()->size());
    const int spaceAbove = dialog.top() - view.top();
    const int spaceBelow = view.bottom() - dialog.bottom();
    int wantedTop = -1;
    if (spaceAbove >= match.height() && spaceAbove >= spaceBelow)
        wantedTop = view.top() + (spaceAbove - match.height()) / 2;
    else if (spaceBelow >= match.height())
        wantedTop = dialog.bottom() + 1 + (spaceBelow - match.height()) / 2;
    if (wantedTop >= 0) {
        QScrollBar *bar = m_editor->verticalScrollBar();
        bar->setValue(bar->value() + match.top() - wantedTop);
        match = selectionRect(m_editor);
        if (!match.intersects(dialog))
            return;
    }
    // The editor cannot scroll far enough (the start or end of the chapter): the dialog steps
    // aside, below or above the match, over the editor where it fits, else on the screen.
    const QScreen *screen = frame->screen();
    const QRect area = screen ? screen->availableGeometry() : view;
    const int gap = match.height();
    const int below = match.bottom() + gap;
    const int above = match.top() - gap - dialog.height();
    int top = below;
    if (below + dialog.height() > view.bottom() && above >= view.top())
        top = above;
    else if (below + dialog.height() > area.bottom())
        top = above;
    top = qBound(area.top(), top, qMax(area.top(), area.bottom() - dialog.height()));
    frame->move(frame->x(), frame->y() + top - dialog.top());
}
