#pragma once

#include "book/BookReplace.h"
#include "book/BookSearch.h"

#include <QFuture>
#include <QObject>
#include <QPointer>

#include <atomic>

class BookController;
class QAction;
class QMenu;
class QCheckBox;
class QComboBox;
class QDockWidget;
class QLabel;
class QLineEdit;
class QMainWindow;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

// Search and replace in whole books: a dock beside the material panel with the key, the scope,
// the options and the matches grouped by chapter. Searches run on the thread pool while the
// author types (a new key cancels the running search); a replace changes every checked match in
// one transaction and can be taken back as a whole.
class BookSearchController final : public QObject
{
    Q_OBJECT
public:
    // Item data of the result list.
    enum Role { ChapterRole = Qt::UserRole + 1, OffsetRole, LengthRole, TitleRole, ContextOffsetRole };
    static constexpr int kDebounceMs = 150;

    BookSearchController(QMainWindow *window, BookController *book, QObject *parent = nullptr);
    ~BookSearchController() override;

    QDockWidget *dock() const { return m_dock; }
    QAction *showAction() const { return m_showAction; }
    // Its three commands, after a separator, at the end of menu.
    void addMenuActions(QMenu *menu);
    QAction *nextAction() const { return m_nextAction; }
    QAction *previousAction() const { return m_previousAction; }
    QLineEdit *keyEdit() const { return m_key; }
    QLineEdit *replaceEdit() const { return m_replace; }
    QComboBox *scopeBox() const { return m_scope; }
    QCheckBox *matchCaseBox() const { return m_matchCase; }
    QCheckBox *titlesBox() const { return m_titles; }
    QTreeWidget *results() const { return m_results; }
    QLabel *statusLabel() const { return m_status; }
    QPushButton *undoButton() const { return m_undo; }
    // True while a search is under way (its last results not in yet).
    bool isSearching() const { return m_searching; }

    // Ctrl+Shift+F: the dock shown, the key box focused (with the editor's selection as key);
    // pressed again in the dock, the dock hidden.
    void showPanel();
    // Starts the search for the current key and options now (typing starts it after a pause).
    void searchNow();
    // Opens the chapter of a match item with the match selected.
    void openMatch(QTreeWidgetItem *item);
    void nextMatch();
    void previousMatch();
    // Replaces the checked matches; returns when done. False when refused or failed (said why).
    bool replaceSelected();
    // 撤销全书替换: the chapters of the last replace back as they were.
    bool undoLastReplace();
    // Fills the copy of the chapters ahead of the first search (start-up, off the GUI thread).
    void warmUp();
    // Cancels the running work and waits for it: the shutdown routine.
    void stop();

signals:
    void searchFinished();

private:
    BookSearch::Query currentQuery(QString *whyNot) const;
    void showPartial(int generation, const BookSearch::Result &delta, bool done);
    void addChapters(const QVector<BookSearch::ChapterHits> &chapters);
    void refreshPreview();
    void updateButtons();
    void step(int direction);
    bool prepareEditor();
    // True when the listed text matches of the open chapter are all of its matches now.
    bool openChapterMatchesListed(const QString &key, bool matchCase) const;
    void reopenTouched(const QStringList &ids);
    template <typename Fn> bool runBlocking(const QString &label, Fn work);
    void pruneTasks();

    QPointer<BookController> m_book;
    QDockWidget *m_dock = nullptr;
    QAction *m_showAction = nullptr;
    QAction *m_nextAction = nullptr;
    QAction *m_previousAction = nullptr;
    QLineEdit *m_key = nullptr;
    QLineEdit *m_replace = nullptr;
    QComboBox *m_scope = nullptr;
    QCheckBox *m_matchCase = nullptr;
    QCheckBox *m_titles = nullptr;
    QTreeWidget *m_results = nullptr;
    QLabel *m_status = nullptr;
    QPushButton *m_replaceButton = nullptr;
    QPushButton *m_undo = nullptr;
    QTimer *m_debounce = nullptr;
    std::atomic<int> m_generation{0};
    bool m_searching = false;
    QString m_shownKey;
    bool m_shownMatchCase = false;
    int m_matchCount = 0;
    QList<QFuture<void>> m_tasks;
    QString m_lastBatch; // history versions of the last replace
    QVector<BookReplace::TitleChange> m_lastTitles;
    int m_lastBatchSize = 0;
};
