#pragma once

#include "export/BookFileExport.h"

#include <QObject>
#include <QPointer>

#include <atomic>

class BookController;
class QLabel;
class QProgressBar;
class QAction;
class QMenu;
class QStatusBar;
class QThread;
class QWidget;
class WorkerHost;

// 导出整本书: the dialog for the current node's book, then the export on a thread of its own
// with its progress and a cancel button in the status bar, so the editor stays usable.
class BookExportController final : public QObject
{
    Q_OBJECT
public:
    BookExportController(BookController *book, QStatusBar *statusBar, WorkerHost *workers, QObject *parent = nullptr);
    // A running export is cancelled and waited for (it stops at the next chapter).
    ~BookExportController() override;
    // 导出整本书… in menu before `before`, and in the book tree's context menu before treeBefore.
    void addMenuActions(QMenu *menu, QAction *before, QMenu *treeMenu, QAction *treeBefore);

    // The dialog for the book of the current node; the modified chapter is saved first.
    void exportCurrentBook();
    // Starts an export; false (and a message) while another one runs.
    bool start(const BookFileExport::Options &options);
    bool isRunning() const { return m_thread != nullptr; }
    void cancel() { m_cancel = true; }

signals:
    // After the file is in place (ok), or nothing was left behind: error empty when cancelled.
    void finished(bool ok, const QString &error);

private:
    void progress(int done, int total);
    void threadFinished();

    BookController *m_book;
    QPointer<QStatusBar> m_statusBar;
    WorkerHost *m_workers;
    QWidget *m_panel = nullptr;
    QLabel *m_label = nullptr;
    QProgressBar *m_bar = nullptr;
    QThread *m_thread = nullptr;
    std::atomic<bool> m_cancel{false};
    BookFileExport::Options m_options;
    BookFileExport::Result m_result; // written by the thread, read after it finished
};
