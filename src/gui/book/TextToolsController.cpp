#include "book/TextToolsController.h"

#include "app/App.h"
#include "book/BookController.h"
#include "book/FindDialog.h"
#include "book/MyTextEdit.h"
#include "book/ReplaceDialog.h"
#include "book/TextTools.h"
#include "book/TreeView.h"
#include "frame/FramelessWindow.h"
#include "frame/Frames.h"
#include "frame/Toast.h"
#include "params/SysParams.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDebug>
#include <QLabel>
#include <QMimeData>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextDocumentFragment>

namespace {

constexpr int kAlertToastMs = 4000;
constexpr int kAlertStatusMs = 10000;

// Opens the dialog, or brings back the one already open with the new selection.
template <class D> void showSearchDialog(QPointer<D> &dialog, QWidget *owner, MyTextEdit *editor)
{
    if (!editor)
        return;
    const QString selected = TextTools::findTextFromSelection(editor->textCursor().selectedText());
    if (dialog && dialog->isVisible()) {
        dialog->setEditor(editor);
        if (!selected.isEmpty())
            dialog->setFindText(selected);
        dialog->window()->raise();
        dialog->window()->activateWindow();
        dialog->focusFindBox();
        return;
    }
    delete dialog.data(); // closed, or never shown in a frame
    dialog = new D(owner);
    dialog->setEditor(editor);
    dialog->setFindText(selected);
    Frames::showFramed(dialog, Ink::foParentMain | Ink::foResizable);
}

void closeSearchDialog(QWidget *dialog)
{
    if (!dialog)
        return;
    auto *frame = qobject_cast<FramelessWindow *>(dialog->window());
    if (frame && frame->content() == dialog)
        delete frame;
    else
        delete dialog;
}

} // namespace

TextToolsController::TextToolsController(const Widgets &widgets, QObject *parent)
    : QObject(parent), m_editor(widgets.editor), m_view(widgets.treeViewBook), m_book(widgets.book),
      m_labelStatistics(widgets.labelStatistics), m_window(widgets.window)
{
    // Yellow on a dark ground reads in the light and the dark style alike.
    m_alertLabel = new QLabel(widgets.statusBar);
    m_alertLabel->setObjectName(QStringLiteral("labelWordCountAlert"));
    m_alertLabel->setStyleSheet(
        QStringLiteral("QLabel { color: #ffd600; background-color: #303030; padding: 0px 6px; font-weight: bold; }"));
    m_alertLabel->hide();
    if (widgets.statusBar)
        widgets.statusBar->insertPermanentWidget(0, m_alertLabel);
    m_alertTimer.setSingleShot(true);
    m_alertTimer.setInterval(kAlertStatusMs);
    connect(&m_alertTimer, &QTimer::timeout, m_alertLabel.data(), &QLabel::hide);

    if (m_book) {
        connect(m_book, &BookController::chapterOpened, this, [this]() {
            if (g_SysParams.editorParams.checkSensitiveWordsOnRead)
                checkSensitiveWords(true);
        });
    }
}

TextToolsController::~TextToolsController()
{
    closeSearchDialog(m_findDialog);
    closeSearchDialog(m_replaceDialog);
    if (m_alertLabel && !m_alertLabel->parent())
        delete m_alertLabel.data();
}

FindDialog *TextToolsController::findDialog() const { return m_findDialog; }

ReplaceDialog *TextToolsController::replaceDialog() const { return m_replaceDialog; }

bool TextToolsController::chapterEditable() const { return m_editor && !m_editor->isReadOnly(); }

void TextToolsController::updateWordStatistics()
{
    if (!m_editor)
        return;
    const TextTools::WordStatistics s = TextTools::countWords(m_editor->toPlainText());
    if (m_labelStatistics)
        m_labelStatistics->setText(TextTools::statisticsText(s));
    qDebug().noquote().nospace() << "总字符个数：" << s.total;
    qDebug().noquote().nospace() << "中文字符个数：" << s.chinese;
    qDebug().noquote().nospace() << "英文数字字符个数：" << s.latin;
    qDebug().noquote().nospace() << "其他字符个数：" << s.other;

    // Loading a chapter, and the first-use page, only set the length the next edit starts from.
    const bool chapterOpen = m_book && !m_book->isLoadingChapter() && !m_book->currentChapterId().isEmpty() &&
                             !m_editor->isReadOnly();
    if (chapterOpen && g_SysParams.editorParams.alertOnWordCount) {
        const int threshold = TextTools::crossedThreshold(
            TextTools::alertThresholds(g_SysParams.editorParams.alertOnWordCountList), m_lastTextLength, s.total);
        if (threshold > 0)
            showWordCountAlert(threshold);
    }
    m_lastTextLength = s.total;
}

void TextToolsController::showWordCountAlert(int threshold)
{
    const QString text = QStringLiteral("您输入文字已超过%1了").arg(threshold);
    // Toasts never take the focus: typing goes on.
    Toast::showTip(text, m_window, kAlertToastMs, Qt::AlignTop);
    m_alertLabel->setText(text);
    m_alertLabel->show();
    m_alertTimer.start();
    emit wordCountAlert(threshold);
}

int TextToolsController::checkSensitiveWords(bool silent)
{
    if (!m_editor)
        return 0;
    const QStringList words = TextTools::sensitiveWordList(g_SysParams.editorParams.sensitiveWords);
    QTextDocument *doc = m_editor->document();
    if (silent) {
        // Marks put on while opening are part of the chapter as read: nothing to save or undo.
        const bool clean = !doc->isModified() && !doc->isUndoAvailable() && !doc->isRedoAvailable();
        const int count = TextTools::markSensitiveWords(doc, words);
        if (count > 0 && clean) {
            doc->clearUndoRedoStacks();
            doc->setModified(false);
        }
        return count;
    }
    if (!chapterEditable())
        return 0;
    const int count = TextTools::markSensitiveWords(doc, words);
    m_editor->moveCursor(QTextCursor::Start);
    if (count > 0)
        g_App.showInfo(QStringLiteral("一共发现%1个敏感词，请留意！").arg(count));
    return count;
}

void TextToolsController::clearSensitiveWords()
{
    if (!chapterEditable())
        return;
    TextTools::clearSensitiveWordMarks(m_editor->document());
    m_editor->moveCursor(QTextCursor::Start);
}

void TextToolsController::autoFormat()
{
    if (!chapterEditable())
        return;
    if (g_App.ask(QStringLiteral("自动排版后，设置的格式可能会丢失，确定继续吗？")) != Ink::maYes)
        return;
    // The question ran an event loop: the chapter may have gone meanwhile.
    if (!chapterEditable())
        return;
    TextTools::applyAutoFormat(m_editor->document());
    m_editor->moveCursor(QTextCursor::Start);
}

void TextToolsController::insertText(const QString &text)
{
    if (m_insert)
        m_insert(text, false);
    else if (chapterEditable())
        m_editor->insertPlainText(text);
}

void TextToolsController::insertDateTime() { insertText(QDateTime::currentDateTime().toString(Qt::TextDate)); }

void TextToolsController::insertLine()
{
    if (!m_editor)
        return;
    insertText(TextTools::separatorLine(m_editor->textCursor().block().length() <= 1));
}

void TextToolsController::selectionAsNodeTitle()
{
    if (!m_editor || !m_view || !m_book)
        return;
    const QString title = TextTools::titleFromSelection(m_editor->textCursor().selectedText());
    if (title.isEmpty())
        return;
    const QModelIndex index = m_view->currentSourceIndex();
    QStandardItem *item = index.isValid() ? m_book->model()->itemFromIndex(index) : nullptr;
    if (!item)
        return;
    // The in-place editor shows the new title; the item change stores it as a rename does.
    m_view->proxyEdit(index);
    item->setText(title);
}

void TextToolsController::copyAll()
{
    if (!m_editor)
        return;
    // A cursor of our own: the editor's cursor, selection and scroll position stay as they are.
    QTextCursor all(m_editor->document());
    all.select(QTextCursor::Document);
    const QTextDocumentFragment fragment(all);
    auto *data = new QMimeData;
    data->setText(fragment.toPlainText());
    data->setHtml(fragment.toHtml("utf-8"));
    QApplication::clipboard()->setMimeData(data);
}

void TextToolsController::showFindDialog() { showSearchDialog(m_findDialog, m_window, m_editor); }

void TextToolsController::showReplaceDialog() { showSearchDialog(m_replaceDialog, m_window, m_editor); }
