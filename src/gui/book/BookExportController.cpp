#include "book/BookExportController.h"

#include "app/App.h"
#include "app/Exception.h"
#include "app/WorkerHost.h"
#include "book/BookController.h"
#include "book/BookExportDialog.h"
#include "book/TreeNodeInfo.h"
#include "book/TreeView.h"
#include "frame/Frames.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QStatusBar>
#include <QThread>
#include <QToolButton>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

BookExportController::BookExportController(BookController *book, QStatusBar *statusBar, WorkerHost *workers,
                                           QObject *parent)
    : QObject(parent), m_book(book), m_statusBar(statusBar), m_workers(workers)
{
}

BookExportController::~BookExportController()
{
    if (!m_thread)
        return;
    m_cancel = true;
    // The export gives the connection lock back after every batch and never waits for this thread.
    m_thread->wait();
    delete m_thread;
}

void BookExportController::exportCurrentBook()
{
    if (isRunning()) {
        g_App.showInfo(QStringLiteral("正在导出，请等它完成或先取消。"));
        return;
    }
    const TreeNodeInfo *info = TreeNodeInfo::of(m_book->view()->currentSourceIndex());
    const QString bookId = info ? BookFileExport::bookOf(info->id) : QString();
    if (bookId.isEmpty()) {
        g_App.showInfo(QStringLiteral("请先在左边选择要导出的书。"));
        return;
    }
    // What the editor shows is what goes out.
    if (!m_book->settleModifiedChapter())
        return;
    BookExportDialog dialog(bookId, info->id, BookFileExport::rememberedOptions(bookId), m_book->view()->window());
    if (Frames::showFramed(&dialog, Ink::foModal | Ink::foParentMain | Ink::foResizable) != QDialog::Accepted)
        return;
    const BookFileExport::Options options = dialog.options();
    try {
        BookFileExport::rememberOptions(options);
    } catch (const Exception &e) {
        // Only the choices are lost; the export itself goes on.
        g_App.showError(e.message());
    }
    start(options);
}

bool BookExportController::start(const BookFileExport::Options &options)
{
    if (isRunning()) {
        g_App.showInfo(QStringLiteral("正在导出，请等它完成或先取消。"));
        return false;
    }
    m_options = options;
    m_cancel = false;
    if (m_statusBar && !m_panel) {
        m_panel = new QWidget;
        auto *row = new QHBoxLayout(m_panel);
        row->setContentsMargins(0, 0, 0, 0);
        m_label = new QLabel;
        m_bar = new QProgressBar;
        m_bar->setMaximumWidth(160);
        auto *stop = new QToolButton;
        stop->setObjectName(QStringLiteral("buttonCancelExport"));
        stop->setText(QStringLiteral("取消导出"));
        connect(stop, &QToolButton::clicked, this, &BookExportController::cancel);
        row->addWidget(m_label);
        row->addWidget(m_bar);
        row->addWidget(stop);
        m_statusBar->addPermanentWidget(m_panel);
    }
    if (m_panel) {
        m_label->setText(QStringLiteral("正在导出%1…").arg(QFileInfo(options.output).fileName()));
        m_bar->setRange(0, 0);
        m_panel->show();
    }
    m_thread = QThread::create([this]() {
        // Below the GUI thread for real: Linux ignores QThread's priorities for ordinary threads,
        // but a thread's nice value counts, and the export's reading thread inherits it.
        setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), 10);
        BookFileExport::Control control;
        control.cancel = &m_cancel;
        control.progress = [this](int done, int total) {
            // The program's shutdown asks its threads to stop.
            if (QThread::currentThread()->isInterruptionRequested())
                m_cancel = true;
            QMetaObject::invokeMethod(this, [this, done, total]() { progress(done, total); }, Qt::QueuedConnection);
        };
        m_result = BookFileExport::exportBook(m_options, control);
    });
    m_thread->setObjectName(QStringLiteral("bookFileExport"));
    connect(m_thread, &QThread::finished, this, &BookExportController::threadFinished);
    if (m_workers)
        m_workers->registerThread(m_thread);
    m_thread->start(QThread::LowPriority);
    return true;
}

void BookExportController::progress(int done, int total)
{
    if (!m_bar)
        return;
    m_bar->setRange(0, total);
    m_bar->setValue(done);
}

void BookExportController::threadFinished()
{
    QThread *thread = m_thread;
    m_thread = nullptr;
    thread->wait();
    thread->deleteLater();
    if (m_panel)
        m_panel->hide();
    const BookFileExport::Result result = m_result;
    emit finished(result.ok, result.error);
    if (result.ok)
        g_App.showInfo(QStringLiteral("已导出到%1，共%2卷%3章。")
                           .arg(QDir::toNativeSeparators(m_options.output))
                           .arg(result.volumes)
                           .arg(result.chapters));
    else if (!result.cancelled)
        g_App.showError(QStringLiteral("导出失败，没有生成文件。\n%1").arg(result.error));
    else if (m_statusBar)
        m_statusBar->showMessage(QStringLiteral("已取消导出，没有生成文件。"), 5000);
}

void BookExportController::addMenuActions(QMenu *menu, QAction *before, QMenu *treeMenu, QAction *treeBefore)
{
    setObjectName(QStringLiteral("bookExport"));
    auto *action = new QAction(QStringLiteral("导出整本书…"), this);
    action->setObjectName(QStringLiteral("actionBookExportWhole"));
    connect(action, &QAction::triggered, this, &BookExportController::exportCurrentBook);
    treeMenu->insertAction(treeBefore, action);
    menu->insertAction(before, action);
}
