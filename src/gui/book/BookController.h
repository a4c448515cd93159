#pragma once

#include "book/BookSortFilterProxyModel.h"
#include "book/MyTextEdit.h"
#include "book/TreeNodeInfo.h"
#include "book/TreeView.h"

#include <QObject>
#include <QPersistentModelIndex>
#include <QPointer>

class MyTextEdit;
class QStandardItem;
class QStandardItemModel;

// The book panel's logic: the tree of books, volumes and chapters in BookTree, and the chapter
// in the editor. The editor's chapter is held by id (the tree may be re-sorted or rebuilt at any
// time); every save writes the text into that id's row.
class BookController final : public QObject
{
    Q_OBJECT
public:
    BookController(TreeView *view, MyTextEdit *editor, QObject *parent = nullptr);
    ~BookController() override;

    QStandardItemModel *model() const { return m_model; }
    BookSortFilterProxyModel *proxy() const { return m_proxy; }
    TreeNodeList &records() { return m_records; }
    TreeView *view() const { return m_view; }
    MyTextEdit *editor() const { return m_editor; }

    // Rebuilds the tree. A modified chapter is saved first (no question) and stays in the editor;
    // its node is made current again. With reopen the chapter is read again (after a sync).
    void loadTree(bool reopen = false);
    // New node: a book (asBook), a sibling of the current node (sameLevel) or a child of it.
    // Returns false when refused (a chapter cannot have children) or when it failed (error shown).
    // Like every operation behind a user command, it reports failures instead of throwing.
    bool addBookNode(bool asBook, bool sameLevel);
    void renameCurrentNode();
    void deleteCurrentNode();
    void setSortByModified(bool on);
    // The author's switch of the sort order: turns it over, stores it in the parameters (a failed
    // save is shown) and returns the new state.
    bool switchSortByModified();
    bool sortByModified() const { return m_proxy->sortByModified(); }
    void applyBookSort();

    // Saves the editor into its chapter's row and the day's log row; throws Exception.
    // Without a chapter it does nothing and returns false.
    bool saveArticle();
    // saveArticle with the error shown; true when nothing was left unsaved.
    bool trySaveArticle();
    // Before leaving the chapter: asks "文章已修改，保存吗？" when modified. False when a wanted
    // save failed or the question was dismissed: the caller stays on the chapter, still modified.
    bool checkSaveArticle();
    // Saves a modified chapter without asking (reload); a failure is shown.
    bool settleModifiedChapter();
    // Saves a modified chapter without any dialog, for a session that is ending. When the save
    // fails, the error goes to the "err" log and the text to a recovery copy (recoveryCopyWanted,
    // or in tmpFolder when nobody writes copies); returns false then.
    bool saveBeforeQuit(const QString &tmpFolder);
    // Timer save: never a dialog; a failure is logged and reported by autoSaveFailed, and the
    // next tick tries again (the chapter stays modified).
    void autoSaveTimerUpdate();

    void openArticle(const QString &id, const QModelIndex &sourceIndex = QModelIndex());
    // No chapter: empty, read-only editor with the first-use page. A modified chapter (its save
    // failed and the author did not answer "否") is never cleared: false then.
    bool clearEditor();
    // Length of the editor's plain text when it is over the chapter limit, else 0.
    int overLength() const { return m_overLength; }

    QString currentChapterId() const { return m_chapterId; }
    // Source index of the editor's chapter (invalid without one).
    QModelIndex currentBookIndex() const;
    QString chapterTitle() const;
    bool isSwitching() const { return m_switching; }
    bool isTreeLoading() const { return m_treeLoading; }
    bool isLoadingChapter() const { return m_loadingChapter; }

    QModelIndex findSourceIndex(const QString &id) const;
    // Makes the node current (which opens it when it is not the editor's chapter).
    void selectNode(const QString &id);

    struct ActionState {
        bool newBook = true;
        bool newVolume = false;
        bool newSection = false;
        bool newSameLevel = false;
        bool del = false;
        bool rename = false;
    };
    ActionState actionState() const;

    // Drops move a node among its siblings only: from this view, onto a different node with the
    // same parent, above or below it. index is a source index.
    bool canDrop(const QObject *source, const QModelIndex &index, TreeView::DropIndicatorPosition position) const;
    // Moves the current node above or below index (a sibling) and writes the new order.
    void dropCurrentOn(const QModelIndex &index, TreeView::DropIndicatorPosition position);

    // Plain text at the cursor (or the end); nothing when read-only.
    void insertEditorText(const QString &text, bool atEnd);

public slots:
    void treeViewBookSelectionChanged() {}
    void treeViewBookCurrentChanged(const QModelIndex &current, const QModelIndex &previous);
    void treeViewBookDragMove(QDragMoveEvent *event, QModelIndex index, TreeView::DropIndicatorPosition position);
    void treeViewBookDrop(QDropEvent *event, QModelIndex index, TreeView::DropIndicatorPosition position);
    void treeViewBookItemChanged(QStandardItem *item);
    // Enter (the main key) starts the new paragraph with two ideographic spaces.
    void textEditorKeyPressEvent(QKeyEvent *event);
    // A chapter opened by a click or by Enter in the tree takes the author to the editor; books
    // and volumes keep the focus in the tree so the arrow keys can walk on.
    void treeViewBookItemOpened(const QModelIndex &viewIndex);

signals:
    void bookActionsChanged();
    // Before a chapter that is not in the editor yet is read: its recovery copies are offered
    // here (a direct connection; the row may change before it is read).
    void chapterOpening(const QString &id);
    void chapterOpened(const QString &id);
    void chapterSaved(const QString &id);
    // The chapter's recovery copies may go: after an explicit "否", when the chapter is deleted,
    // or when an undo or redo brings it back to the saved text (whichever way it came). Never
    // when a question is dismissed.
    void recoveryCopiesDiscarded(const QString &id);
    // The chapter's text should be in a recovery copy now: before the save question, and when a
    // save for an ending session failed.
    void recoveryCopyWanted(const QString &id);
    void autoSaveFailed(const QString &id, const QString &message);
    // The chapter's text went over the limit or changed length while over it (length > limit),
    // or came back within it (length 0). byEdit: an edit has just taken it past the limit.
    void overLengthChanged(int length, bool byEdit);
private:
    // The editor's font from the parameters: new chapters and opened ones start from it.
    static QFont defaultEditorFont();
    QString idOfViewIndex(const QModelIndex &viewIndex) const;
    void setCurrentQuietly(const QModelIndex &sourceIndex);
    void checkLength(bool byEdit);
    // setModified(false) by the controller itself, which says what became of the copies.
    void markUnmodified();
    void openArticleText(const QString &id, const QModelIndex &sourceIndex);
    void runDeferredReload();

    QPointer<TreeView> m_view;
    QPointer<MyTextEdit> m_editor;
    QStandardItemModel *m_model;
    BookSortFilterProxyModel *m_proxy;
    TreeNodeList m_records;
    QString m_chapterId;
    QPersistentModelIndex m_chapterIndex;
    bool m_treeLoading = false;
    bool m_loadingChapter = false;
    bool m_switching = false;
    bool m_quiet = false;
    bool m_settingText = false;
    bool m_markingUnmodified = false;
    // A reload asked for during a chapter switch (its question, the recovery dialog) waits for it.
    bool m_reloadDeferred = false;
    bool m_reloadDeferredReopen = false;
    int m_openingDepth = 0;
    int m_overLength = 0;
};
