#include "book/RecoveryController.h"

#include "app/App.h"
#include "app/Exception.h"
#include "book/BookController.h"
#include "book/MyTextEdit.h"
#include "book/TmpSaveFile.h"
#include "book/TmpSaveProcDialog.h"
#include "book/TmpSaveWriter.h"
#include "frame/Frames.h"
#include "log/Log.h"

#include <QEvent>
#include <QStatusBar>
#include <QTextDocument>
#include <QTimer>

RecoveryController::RecoveryController(BookController *book, const QString &folder, QTimer *tmpSaveTimer,
                                       QStatusBar *statusBar, QObject *parent)
    : QObject(parent), m_book(book), m_folder(folder), m_statusBar(statusBar),
      m_writer(new TmpSaveWriter(folder, book->editor()->document(), this)), m_timer(tmpSaveTimer)
{
    // A coarse timer may stretch the second by 5 %.
    if (tmpSaveTimer)
        tmpSaveTimer->setTimerType(Qt::PreciseTimer);
    MyTextEdit *editor = book->editor();
    editor->installEventFilter(this);
    connect(editor->document(), &QTextDocument::contentsChange, this, [this]() {
        ++m_changes;
        if (m_ticking && m_timer && !m_timer->isActive())
            m_timer->start();
    });
    // The last of the editor's input signals in a key event is the one after its input time.
    connect(editor, &MyTextEdit::signalLastInput, this, [this, editor]() {
        if (m_inInputEvent && m_changes != m_changesAtInput)
            m_writer->setChangeTime(editor->lastInputTime());
    });
    connect(book, &BookController::chapterOpening, this, &RecoveryController::checkTmpSaves);
    connect(book, &BookController::chapterOpened, m_writer, &TmpSaveWriter::setChapter);
    connect(book, &BookController::chapterSaved, m_writer, &TmpSaveWriter::removeTmpSaveFiles);
    connect(book, &BookController::recoveryCopiesDiscarded, m_writer, &TmpSaveWriter::removeTmpSaveFiles);
    connect(book, &BookController::recoveryCopyWanted, this, &RecoveryController::writeTmpSaveNow);
    connect(m_writer, &TmpSaveWriter::writeFailed, this, [this](const QString &error) {
        reportFailure(QStringLiteral("临时保存文件写不进（文章ID：%1）：%2").arg(m_writer->chapterId(), error));
    });
    connect(m_writer, &TmpSaveWriter::removeFailed, this,
            [this](const QString &path) { reportFailure(QStringLiteral("临时保存文件删不掉：%1").arg(path)); });
}

bool RecoveryController::eventFilter(QObject *watched, QEvent *event)
{
    // The editor sets its input time after handling the event: note where the event began.
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::InputMethod) {
        m_inInputEvent = true;
        m_changesAtInput = m_changes;
        // The event is over once the loop runs again.
        QMetaObject::invokeMethod(this, [this]() { m_inInputEvent = false; }, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void RecoveryController::syncChapter()
{
    // The editor lost its chapter (cleared, deleted) without an opening to tell.
    if (m_writer->chapterId() != m_book->currentChapterId())
        m_writer->setChapter(m_book->currentChapterId());
}

void RecoveryController::tmpSaveTimerUpdate()
{
    if (!m_book || m_book->isSwitching() || m_book->isLoadingChapter() || m_book->isTreeLoading())
        return;
    syncChapter();
    if (m_writer->writeTmpSave())
        m_failing = false;
    // Idle: nothing wakes the program until the author types again. A failed copy stays pending
    // and is retried at the next tick.
    if (m_timer && !m_writer->hasPendingChange())
        m_timer->stop();
}

void RecoveryController::setTicking(bool on)
{
    m_ticking = on;
    if (m_timer && !on)
        m_timer->stop();
    else if (m_timer && on)
        m_timer->start();
}

void RecoveryController::writeTmpSaveNow(const QString &chapterId)
{
    if (!m_book || chapterId != m_book->currentChapterId())
        return;
    syncChapter();
    if (m_writer->writeTmpSave())
        m_failing = false;
}

void RecoveryController::reportFailure(const QString &logText)
{
    // One log line for a run of failures (the tick retries every second), one notice per run.
    if (!m_failing)
        writeLog(QStringLiteral("err"), logText);
    m_failing = true;
    if (m_warned)
        return;
    m_warned = true;
    if (m_statusBar)
        m_statusBar->showMessage(writeFailedText());
    emit warning(writeFailedText());
}

int RecoveryController::checkTmpSaves(const QString &chapterId)
{
    if (chapterId.isEmpty() || TmpSaveFile::list(m_folder, chapterId).isEmpty())
        return -1;
    TmpSaveProcDialog *dialog = nullptr;
    try {
        dialog = new TmpSaveProcDialog(chapterId, m_folder);
    } catch (const Exception &e) {
        g_App.showError(e.message());
        return -1;
    }
    const int outcome =
        Frames::showFramed(dialog, Ink::foModal | Ink::foParentMain | Ink::foResizable);
    delete dialog;
    return outcome;
}
