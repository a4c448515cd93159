#include "book/MyTextEdit.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextList>

MyTextEdit::MyTextEdit(QWidget *parent) : QTextEdit(parent), m_contextMenu(new QMenu(this))
{
    setAttribute(Qt::WA_InputMethodEnabled, true);
}

void MyTextEdit::resetLastComboInputString()
{
    m_lastComboInputString.clear();
    m_resetPending = true;
}

void MyTextEdit::resetLastInputString()
{
    m_lastInputString.clear();
    m_resetPending = true;
}

void MyTextEdit::emitPending()
{
    m_lastInputTime = QDateTime::currentDateTime();
    emit signalLastInput();
    if (m_resetPending) {
        m_resetPending = false;
        emit signalLastInputStringReseted();
    }
    if (m_changedPending) {
        m_changedPending = false;
        emit signalLastInputStringChanged(m_lastInputString, m_lastComboInputString);
    }
}

void MyTextEdit::keyPressEvent(QKeyEvent *event)
{
    m_resetPending = false;
    m_changedPending = false;
    const int key = event->key();
    const QString text = event->text();
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    if (mods == Qt::NoModifier) {
        if (key < 128) {
            if (m_resetOnAsciiKey) {
                m_lastComboInputString.clear();
                m_lastInputString.clear();
                m_resetPending = true;
            } else if (!text.isEmpty()) {
                m_lastInputString = text;
                m_lastComboInputString += text;
                m_changedPending = true;
            }
        } else if (key == Qt::Key_Backspace) {
            if (!m_lastInputString.isEmpty())
                m_lastInputString.chop(1);
            if (!m_lastComboInputString.isEmpty())
                m_lastComboInputString.chop(1);
            m_changedPending = true;
        } else {
            m_lastComboInputString.clear();
            m_lastInputString.clear();
            m_resetPending = true;
        }
    }
    QTextEdit::keyPressEvent(event);
    emit signalKeyPressEvent(event);
    emitPending();
}

void MyTextEdit::inputMethodEvent(QInputMethodEvent *event)
{
    m_resetPending = false;
    m_changedPending = false;
    const QString commit = event->commitString();
    if (!commit.isEmpty()) {
        m_lastInputString = commit;
        m_lastComboInputString += commit;
        m_changedPending = true;
    }
    QTextEdit::inputMethodEvent(event);
    emitPending();
}

void MyTextEdit::insertFromMimeData(const QMimeData *source)
{
    // Middle-click paste and dropped text arrive here without a key press: they count as input.
    QTextEdit::insertFromMimeData(source);
    if (!isReadOnly()) {
        m_lastInputTime = QDateTime::currentDateTime();
        emit signalLastInput();
    }
}

void MyTextEdit::contextMenuEvent(QContextMenuEvent *event)
{
    if (!m_contextMenu->actions().isEmpty())
        m_contextMenu->exec(event->globalPos());
    else
        QTextEdit::contextMenuEvent(event);
}

QPoint MyTextEdit::cursorColumnLine() const
{
    const QTextCursor c = textCursor();
    return QPoint(c.positionInBlock(), c.blockNumber());
}

void MyTextEdit::saveScrollInfo()
{
    const QTextCursor c = textCursor();
    m_savedPosition = c.position();
    m_savedSelectionStart = c.selectionStart();
    m_savedSelectionEnd = c.selectionEnd();
    m_savedScroll = verticalScrollBar()->value();
}

void MyTextEdit::restoreScrollInfo()
{
    QTextCursor c = textCursor();
    const int last = qMax(0, document()->characterCount() - 1);
    auto clamp = [last](int v) { return qBound(0, v, last); };
    if (m_savedSelectionStart != m_savedSelectionEnd) {
        const int anchor = m_savedPosition == m_savedSelectionStart ? m_savedSelectionEnd : m_savedSelectionStart;
        c.setPosition(clamp(anchor));
        c.setPosition(clamp(m_savedPosition), QTextCursor::KeepAnchor);
    } else {
        c.setPosition(clamp(m_savedPosition));
    }
    setTextCursor(c);
    restoreScrollPosition();
}

void MyTextEdit::restoreScrollPosition() { verticalScrollBar()->setValue(m_savedScroll); }

void MyTextEdit::mergeFormat(const QTextCharFormat &format)
{
    QTextCursor cursor = textCursor();
    if (!cursor.hasSelection())
        cursor.select(QTextCursor::WordUnderCursor);
    cursor.mergeCharFormat(format);
    mergeCurrentCharFormat(format);
}

void MyTextEdit::textSetBold(bool value)
{
    QTextCharFormat f;
    f.setFontWeight(value ? QFont::Bold : QFont::Normal);
    mergeFormat(f);
}

void MyTextEdit::textSetUnderline(bool value)
{
    QTextCharFormat f;
    f.setUnderlineStyle(value ? QTextCharFormat::SingleUnderline : QTextCharFormat::NoUnderline);
    mergeFormat(f);
}

void MyTextEdit::textSetSensitiveWord(bool value) { textSetOverline(value); }

void MyTextEdit::textSetUnderlineStyle(QTextCharFormat::UnderlineStyle style)
{
    QTextCharFormat f;
    f.setUnderlineStyle(style);
    mergeFormat(f);
}

void MyTextEdit::textSetUnderlineColor(const QColor &color)
{
    QTextCharFormat f;
    f.setUnderlineColor(color);
    mergeFormat(f);
}

void MyTextEdit::textSetStrickout(bool value)
{
    QTextCharFormat f;
    f.setFontStrikeOut(value);
    mergeFormat(f);
}

void MyTextEdit::textSetOverline(bool value)
{
    QTextCharFormat f;
    f.setFontOverline(value);
    mergeFormat(f);
}

void MyTextEdit::textSetItalic(bool value)
{
    QTextCharFormat f;
    f.setFontItalic(value);
    mergeFormat(f);
}

void MyTextEdit::textSetFamily(const QString &f)
{
    QTextCharFormat fmt;
    fmt.setFontFamily(f);
    mergeFormat(fmt);
}

void MyTextEdit::textSetSize(const QString &p)
{
    bool ok = false;
    const qreal size = p.toDouble(&ok);
    if (!ok || size <= 0)
        return;
    QTextCharFormat fmt;
    fmt.setFontPointSize(size);
    mergeFormat(fmt);
}

void MyTextEdit::textSetStyle(int styleIndex)
{
    QTextCursor cursor = textCursor();
    if (styleIndex <= 0 || styleIndex > 8) {
        // A merged format keeps the list: each paragraph leaves it, at the list's indent.
        cursor.beginEditBlock();
        QTextBlock block = document()->findBlock(cursor.selectionStart());
        const QTextBlock end = document()->findBlock(cursor.selectionEnd()).next();
        for (; block.isValid() && block != end; block = block.next()) {
            QTextList *list = block.textList();
            if (!list)
                continue;
            const int indent = list->format().indent() - 1;
            list->remove(block);
            QTextCursor at(block);
            QTextBlockFormat fmt = block.blockFormat();
            fmt.setIndent(qMax(0, indent));
            at.setBlockFormat(fmt);
        }
        cursor.endEditBlock();
        return;
    }
    static const QTextListFormat::Style styles[] = {
        QTextListFormat::ListDisc,       QTextListFormat::ListCircle,     QTextListFormat::ListSquare,
        QTextListFormat::ListDecimal,    QTextListFormat::ListLowerAlpha, QTextListFormat::ListUpperAlpha,
        QTextListFormat::ListLowerRoman, QTextListFormat::ListUpperRoman};
    cursor.beginEditBlock();
    QTextBlockFormat blockFmt = cursor.blockFormat();
    QTextListFormat listFmt;
    if (cursor.currentList()) {
        listFmt = cursor.currentList()->format();
    } else {
        listFmt.setIndent(blockFmt.indent() + 1);
        blockFmt.setIndent(0);
        cursor.setBlockFormat(blockFmt);
    }
    listFmt.setStyle(styles[styleIndex - 1]);
    cursor.createList(listFmt);
    cursor.endEditBlock();
}

void MyTextEdit::textSetColor(const QColor &color)
{
    if (!color.isValid())
        return;
    QTextCharFormat f;
    f.setForeground(color);
    mergeFormat(f);
}

void MyTextEdit::textSetBackColor(const QColor &color)
{
    if (!color.isValid())
        return;
    QTextCharFormat f;
    f.setBackground(color);
    mergeFormat(f);
}
