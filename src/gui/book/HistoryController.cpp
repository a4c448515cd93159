#include "book/HistoryController.h"

#include "app/App.h"
#include "app/Exception.h"
#include "book/BookController.h"
#include "book/ChapterHistory.h"
#include "book/ChapterHistoryDialog.h"
#include "book/MyTextEdit.h"
#include "frame/Frames.h"

#include <QMenu>
#include <QStatusBar>
#include <QTextCursor>
#include <QTextDocumentFragment>

HistoryController::HistoryController(BookController *book, QStatusBar *statusBar, QObject *parent)
    : QObject(parent), m_book(book), m_statusBar(statusBar)
{
    connect(book, &BookController::chapterSaved, this, &HistoryController::showFailureNotice);
}

void HistoryController::showHistory()
{
    if (!m_book || m_book->currentChapterId().isEmpty()) {
        g_App.showInfo(QStringLiteral("请先打开一个章节！"));
        return;
    }
    ChapterHistoryDialog *dialog = nullptr;
    try {
        dialog = new ChapterHistoryDialog(m_book->currentChapterId(), m_book->editor()->toPlainText());
    } catch (const Exception &e) {
        g_App.showError(e.message());
        return;
    }
    const int outcome = Frames::showFramed(dialog, Ink::foModal | Ink::foParentMain | Ink::foResizable);
    const qint64 id = dialog->restoreId();
    delete dialog;
    if (outcome == ChapterHistoryDialog::Restore && id != 0)
        restoreVersion(id);
}

bool HistoryController::restoreVersion(qint64 versionId)
{
    if (!m_book || m_book->currentChapterId().isEmpty())
        return false;
    MyTextEdit *editor = m_book->editor();
    try {
        const ChapterHistory::Text version = ChapterHistory::text(versionId);
        if (!version.found)
            throw Exception(QStringLiteral("这个历史版本已不存在！"), QStringLiteral("0"));
        // The text being replaced may exist nowhere else (not saved yet): it becomes a version.
        ChapterHistory::keep(m_book->currentChapterId(), editor->toHtml(), editor->toPlainText(),
                             QStringLiteral("恢复此版本"));
        QTextCursor cursor(editor->document());
        cursor.beginEditBlock();
        cursor.select(QTextCursor::Document);
        if (version.html.isEmpty())
            cursor.insertText(version.plainText);
        else
            cursor.insertFragment(QTextDocumentFragment::fromHtml(version.html, editor->document()));
        cursor.endEditBlock();
        cursor.movePosition(QTextCursor::Start);
        editor->setTextCursor(cursor);
    } catch (const Exception &e) {
        g_App.showError(e.message());
        return false;
    }
    return true;
}

void HistoryController::showFailureNotice()
{
    const QString notice = ChapterHistory::takeFailureNotice();
    if (!notice.isEmpty() && m_statusBar)
        m_statusBar->showMessage(notice, 30000);
}

void HistoryController::addMenuAction(QMenu *menu)
{
    setObjectName(QStringLiteral("chapterHistory"));
    QAction *action = menu->addAction(QStringLiteral("章节历史"), this, &HistoryController::showHistory);
    action->setObjectName(QStringLiteral("actionEditChapterHistory"));
    action->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+H")));
}
