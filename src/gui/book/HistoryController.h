#pragma once

#include <QObject>
#include <QPointer>

class BookController;
class QMenu;
class QStatusBar;

// The history of the editor's chapter: the history dialog, restoring a version as an ordinary
// edit of the editor, and the one status-bar notice when history could not be written.
class HistoryController final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HistoryController)
public:
    HistoryController(BookController *book, QStatusBar *statusBar, QObject *parent = nullptr);
    // 章节历史 (Ctrl+Shift+H) at the end of menu.
    void addMenuAction(QMenu *menu);

    // The history dialog of the editor's chapter (nothing without one).
    void showHistory();
    // Replaces the editor's text with the version in one undoable edit; the editor's present text
    // is kept as a version first. A failure is shown; false then.
    bool restoreVersion(qint64 versionId);

private:
    void showFailureNotice();

    QPointer<BookController> m_book;
    QPointer<QStatusBar> m_statusBar;
};
