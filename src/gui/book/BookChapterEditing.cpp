// The chapter in the editor: opening, saving (asked, timed, at the end of a session), clearing.
#include "book/BookController.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "book/BookStore.h"
#include "book/MyTextEdit.h"
#include "book/TmpSaveFile.h"
#include "log/Log.h"
#include "params/SysParams.h"

#include <QFile>
#include <QKeyEvent>
#include <QMetaMethod>
#include <QScopedValueRollback>
#include <QTextDocument>

namespace {

QString firstUseHtml()
{
    QFile f(QStringLiteral(":/doc/FirstUse.htm"));
    if (f.open(QIODevice::ReadOnly))
        return QString::fromUtf8(f.readAll());
    return QString();
}

} // namespace

QFont BookController::defaultEditorFont()
{
    QFont font(g_SysParams.editorParams.defaultFontName);
    if (g_SysParams.editorParams.defaultFontSize > 0)
        font.setPointSize(g_SysParams.editorParams.defaultFontSize);
    return font;
}

void BookController::markUnmodified()
{
    QScopedValueRollback<bool> marking(m_markingUnmodified, true);
    m_editor->document()->setModified(false);
}

bool BookController::saveArticle()
{
    if (m_chapterId.isEmpty())
        return false;
    const QString id = m_chapterId;
    PerformanceLogger perf(QStringLiteral("保存文章==>") + chapterTitle());
    const QString updated = BookStore::saveChapter(id, m_editor->toHtml(), m_editor->toPlainText());
    // Stacks first: the clean state is remembered as a place in the undo stack.
    m_editor->document()->clearUndoRedoStacks();
    markUnmodified();
    emit chapterSaved(id);
    if (TreeNodeInfo *info = TreeNodeInfo::of(currentBookIndex())) {
        info->updatedText = updated;
        if (m_proxy->sortByModified())
            applyBookSort();
    }
    return true;
}

bool BookController::trySaveArticle()
{
    try {
        saveArticle();
        return true;
    } catch (const Exception &e) {
        g_App.showError(e.message());
        return false;
    }
}

bool BookController::settleModifiedChapter()
{
    if (m_chapterId.isEmpty() || !m_editor->document()->isModified())
        return true;
    return trySaveArticle();
}

bool BookController::checkSaveArticle()
{
    if (m_chapterId.isEmpty() || !m_editor->document()->isModified())
        return true;
    const QString id = m_chapterId;
    // The answer may take a while (or never come, if the process dies meanwhile).
    emit recoveryCopyWanted(id);
    const int answer = g_App.ask(QStringLiteral("文章已修改，保存吗？"));
    if (answer == Ink::maYes)
        return trySaveArticle();
    // Esc or the title-bar button decides nothing: the edits stay, unsaved and modified.
    if (answer != Ink::maNo)
        return false;
    // "否": the edits go with the next chapter, and so do their recovery copies.
    markUnmodified();
    emit recoveryCopiesDiscarded(id);
    return true;
}

bool BookController::saveBeforeQuit(const QString &tmpFolder)
{
    if (m_chapterId.isEmpty() || !m_editor->document()->isModified())
        return true;
    const QString id = m_chapterId;
    try {
        saveArticle();
        return true;
    } catch (const Exception &e) {
        writeLog(QStringLiteral("err"), QStringLiteral("退出时保存文章失败（文章ID：%1）：%2").arg(id, e.message()));
    }
    static const QMetaMethod wanted = QMetaMethod::fromSignal(&BookController::recoveryCopyWanted);
    if (isSignalConnected(wanted)) {
        // The copy writer knows whether the text is in a copy already.
        emit recoveryCopyWanted(id);
        return false;
    }
    QString error;
    const QString path =
        TmpSaveFile::write(tmpFolder, id, m_editor->toPlainText(), QDateTime::currentDateTime(), &error);
    if (path.isEmpty())
        writeLog(QStringLiteral("err"), QStringLiteral("文章（文章ID：%1）的临时保存文件写不进：%2").arg(id, error));
    else
        writeLog(QStringLiteral("err"), QStringLiteral("文章（文章ID：%1）的文字已存入临时保存文件：%2").arg(id, path));
    return false;
}

void BookController::autoSaveTimerUpdate()
{
    // A chapter switch may be waiting for the author's answer; its edits are not ours to save.
    if (m_switching || m_loadingChapter || m_chapterId.isEmpty() || !m_editor->document()->isModified())
        return;
    const QString id = m_chapterId;
    try {
        saveArticle();
    } catch (const Exception &e) {
        // A modal box here would catch the keys the author is typing.
        writeLog(QStringLiteral("err"), QStringLiteral("自动保存文章失败（文章ID：%1）：%2").arg(id, e.message()));
        emit autoSaveFailed(id, e.message());
    }
}

bool BookController::clearEditor()
{
    if (!m_chapterId.isEmpty() && m_editor->document()->isModified())
        return false;
    QScopedValueRollback<bool> loading(m_loadingChapter, true);
    m_chapterId.clear();
    m_chapterIndex = QPersistentModelIndex();
    m_editor->setReadOnly(true);
    m_editor->setPlaceholderText(QString());
    const QString html = firstUseHtml();
    if (!html.isEmpty())
        m_editor->setHtml(html);
    else
        m_editor->setPlainText(QStringLiteral("感谢您对砚舟的支持，第一次使用请增加新书名！"));
    m_editor->document()->clearUndoRedoStacks();
    markUnmodified();
    if (m_overLength) {
        m_overLength = 0;
        emit overLengthChanged(0, false);
    }
    return true;
}

void BookController::checkLength(bool byEdit)
{
    if (m_loadingChapter)
        return;
    int length = 0;
    // The document's count bounds the plain text from above; the text is only built past the limit.
    if (!m_chapterId.isEmpty() && m_editor->document()->characterCount() - 1 > Ink::maxArticleLength) {
        const int plainLength = m_editor->toPlainText().size();
        if (plainLength > Ink::maxArticleLength)
            length = plainLength;
    }
    if (length == m_overLength)
        return;
    const bool crossed = byEdit && m_overLength == 0;
    m_overLength = length;
    emit overLengthChanged(length, crossed);
}

void BookController::openArticle(const QString &id, const QModelIndex &sourceIndex)
{
    {
        // The copies are offered before the text is read: adopting one changes the row.
        QScopedValueRollback<int> opening(m_openingDepth, m_openingDepth + 1);
        if (id != m_chapterId)
            emit chapterOpening(id);
    }
    openArticleText(id, sourceIndex);
    runDeferredReload();
}

void BookController::openArticleText(const QString &id, const QModelIndex &sourceIndex)
{
    const BookStore::Chapter chapter = BookStore::readChapter(id);
    if (!chapter.found) {
        clearEditor();
        return;
    }
    {
        QScopedValueRollback<bool> loading(m_loadingChapter, true);
        m_editor->document()->setDefaultFont(defaultEditorFont());
        // setPlainText writes in the current format, which may still be the empty editor's
        // coloured first-use format: a chapter starts from the document's defaults.
        m_editor->setCurrentCharFormat(QTextCharFormat());
        if (chapter.attribute1.contains(QLatin1String("NEWIMPORT")))
            m_editor->setPlainText(chapter.plainText);
        else
            m_editor->setHtml(chapter.html);
    }
    m_chapterId = id;
    m_chapterIndex = QPersistentModelIndex(sourceIndex.isValid() ? sourceIndex : findSourceIndex(id));
    // A book or volume holds no text of its own: an empty one is shown read-only with a hint, so
    // typing never lands in it; one that holds text already (older profiles) stays editable.
    const TreeNodeInfo *info = TreeNodeInfo::of(QModelIndex(m_chapterIndex));
    const bool emptyFolder =
        info && info->nodeType != QLatin1String("3") && m_editor->document()->toPlainText().trimmed().isEmpty();
    if (emptyFolder && !m_editor->document()->isEmpty()) {
        QScopedValueRollback<bool> loading(m_loadingChapter, true);
        m_editor->clear();
    }
    m_editor->setPlaceholderText(emptyFolder ? QStringLiteral("选中章节后即可开始写作") : QString());
    m_editor->setReadOnly(emptyFolder);
    m_editor->moveCursor(QTextCursor::End);
    m_editor->moveCursor(QTextCursor::Start);
    m_editor->document()->clearUndoRedoStacks();
    markUnmodified();
    checkLength(false);
    emit chapterOpened(id);
}

void BookController::textEditorKeyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return && !(event->modifiers() & Qt::KeypadModifier))
        insertEditorText(QString(2, Ink::paragraphIndentChar), false);
}

void BookController::insertEditorText(const QString &text, bool atEnd)
{
    if (m_editor->isReadOnly())
        return;
    if (atEnd)
        m_editor->moveCursor(QTextCursor::End);
    m_editor->insertPlainText(text);
    m_editor->setFocus();
}
