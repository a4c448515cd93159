#include "book/BookController.h"

#include "app/App.h"
#include "app/Exception.h"
#include "book/BookTree.h"
#include "book/MyTextEdit.h"
#include "log/Log.h"
#include "params/SysParams.h"

#include <QDropEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QScopeGuard>
#include <QScopedValueRollback>
#include <QStandardItemModel>
#include <QTextDocument>

BookController::BookController(TreeView *view, MyTextEdit *editor, QObject *parent)
    : QObject(parent), m_view(view), m_editor(editor), m_model(new QStandardItemModel(this)),
      m_proxy(new BookSortFilterProxyModel(this))
{
    // Books, volumes and chapters (and the memo tree's folders and notes) by node type.
    setNodeDecorations({{QStringLiteral("1"), QIcon(QStringLiteral(":/res/icons/book03.png"))},
                        {QStringLiteral("2"), QIcon(QStringLiteral(":/res/icons/folder04.png"))},
                        {QStringLiteral("3"), QIcon(QStringLiteral(":/res/icons/file01.png"))}});
    m_model->setColumnCount(1);
    m_proxy->setSourceModel(m_model);
    m_view->setModel(m_proxy);
    m_view->setHeaderHidden(true);
    m_view->setFrameShape(QFrame::Box);
    m_view->setFrameShadow(QFrame::Plain);
    m_view->setDragDropMode(QAbstractItemView::DragDrop);
    m_view->setDefaultDropAction(Qt::MoveAction);
    m_view->setDragEnabled(true);
    m_view->setAcceptDrops(true);
    m_view->setDropIndicatorShown(true);

    connect(m_view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &BookController::treeViewBookSelectionChanged);
    connect(m_view->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &BookController::treeViewBookCurrentChanged);
    connect(m_view, &TreeView::signalDragMove, this, &BookController::treeViewBookDragMove);
    connect(m_view, &TreeView::signalDrop, this, &BookController::treeViewBookDrop);
    connect(m_model, &QStandardItemModel::itemChanged, this, &BookController::treeViewBookItemChanged);
    connect(m_editor, &MyTextEdit::signalKeyPressEvent, this, &BookController::textEditorKeyPressEvent);
    connect(m_view, &QAbstractItemView::clicked, this, &BookController::treeViewBookItemOpened);
    connect(m_view, &QAbstractItemView::activated, this, &BookController::treeViewBookItemOpened);
    connect(m_editor->document(), &QTextDocument::contentsChanged, this, [this]() { checkLength(true); });
    // Undo or redo back to the saved text, however it was asked for (action, tool bar, context
    // menu, the editor's own Ctrl+Z): the recovery copies are not needed any more.
    connect(m_editor->document(), &QTextDocument::modificationChanged, this, [this](bool modified) {
        if (!modified && !m_markingUnmodified && !m_loadingChapter && !m_chapterId.isEmpty())
            emit recoveryCopiesDiscarded(m_chapterId);
    });
}

BookController::~BookController()
{
    // Items go before their records.
    if (m_view)
        m_view->setModel(nullptr);
    m_model->clear();
    m_records.clear();
}

QString BookController::idOfViewIndex(const QModelIndex &viewIndex) const
{
    const TreeNodeInfo *info = TreeNodeInfo::of(viewIndex);
    return info ? info->id : QString();
}

QModelIndex BookController::findSourceIndex(const QString &id) const
{
    if (id.isEmpty())
        return QModelIndex();
    if (m_chapterIndex.isValid()) {
        const TreeNodeInfo *info = TreeNodeInfo::of(QModelIndex(m_chapterIndex));
        if (info && info->id == id)
            return m_chapterIndex;
    }
    QVector<QStandardItem *> stack{m_model->invisibleRootItem()};
    while (!stack.isEmpty()) {
        QStandardItem *parent = stack.takeLast();
        for (int r = 0; r < parent->rowCount(); ++r) {
            QStandardItem *child = parent->child(r);
            const TreeNodeInfo *info = TreeNodeInfo::of(child);
            if (info && info->id == id)
                return child->index();
            if (child->hasChildren())
                stack.append(child);
        }
    }
    return QModelIndex();
}

QModelIndex BookController::currentBookIndex() const { return findSourceIndex(m_chapterId); }

QString BookController::chapterTitle() const
{
    const TreeNodeInfo *info = TreeNodeInfo::of(currentBookIndex());
    return info ? info->title : QString();
}

void BookController::setCurrentQuietly(const QModelIndex &sourceIndex)
{
    QScopedValueRollback<bool> quiet(m_quiet, true);
    if (sourceIndex.isValid())
        m_view->proxySetCurrentIndex(sourceIndex);
    else
        m_view->setCurrentIndex(QModelIndex());
}

void BookController::selectNode(const QString &id)
{
    const QModelIndex index = findSourceIndex(id);
    if (index.isValid())
        m_view->proxySetCurrentIndex(index);
}

void BookController::loadTree(bool reopen)
{
    if (m_switching || m_openingDepth > 0) {
        // Rebuilding the tree under a chapter switch (its question or the recovery dialog is
        // open) would pull the items from under it.
        m_reloadDeferred = true;
        m_reloadDeferredReopen = m_reloadDeferredReopen || reopen;
        return;
    }
    PerformanceLogger perf(QStringLiteral("读取B"));
    const bool saved = settleModifiedChapter();
    const QString keepId = m_chapterId;
    m_editor->saveScrollInfo();
    {
        QScopedValueRollback<bool> loading(m_treeLoading, true);
        QScopedValueRollback<bool> quiet(m_quiet, true);
        m_chapterIndex = QPersistentModelIndex();
        try {
            loadTreeModel(bookTreeSql(), m_model, m_records);
        } catch (const Exception &e) {
            g_App.showError(e.message());
        }
    }
    applyBookSort();
    if (keepId.isEmpty()) {
        if (!m_view->currentIndex().isValid())
            clearEditor();
        emit bookActionsChanged();
        return;
    }
    const QModelIndex index = findSourceIndex(keepId);
    if (!index.isValid() && !saved) {
        // The chapter is gone but its text could not be saved: it stays in the editor until a
        // save succeeds or the author answers "否" on leaving it.
        setCurrentQuietly(QModelIndex());
        emit bookActionsChanged();
        return;
    }
    if (!index.isValid()) {
        // The chapter is gone: nothing of it may be written again.
        clearEditor();
        const QModelIndex first = m_proxy->index(0, 0);
        if (first.isValid())
            m_view->setCurrentIndex(first);
        emit bookActionsChanged();
        return;
    }
    m_chapterIndex = QPersistentModelIndex(index);
    setCurrentQuietly(index);
    if (reopen && saved) {
        try {
            openArticle(keepId, index);
            m_editor->restoreScrollInfo();
        } catch (const Exception &e) {
            g_App.showError(e.message());
        }
    }
    emit bookActionsChanged();
}

void BookController::runDeferredReload()
{
    if (!m_reloadDeferred || m_switching || m_openingDepth > 0)
        return;
    const bool reopen = m_reloadDeferredReopen;
    m_reloadDeferred = m_reloadDeferredReopen = false;
    loadTree(reopen);
}

void BookController::setSortByModified(bool on)
{
    m_proxy->setSortByModified(on);
    applyBookSort();
}

bool BookController::switchSortByModified()
{
    bool &on = g_SysParams.visibilityParams.bookSortByModified;
    on = !on;
    setSortByModified(on);
    try {
        saveSysParams();
    } catch (const Exception &e) {
        g_App.showError(e.message());
    }
    return on;
}

void BookController::applyBookSort()
{
    const bool on = m_proxy->sortByModified();
    m_view->setSortingEnabled(on);
    m_proxy->sort(-1, Qt::DescendingOrder);
    if (on)
        m_proxy->sort(0, Qt::DescendingOrder);
}

void BookController::treeViewBookItemOpened(const QModelIndex &viewIndex)
{
    const TreeNodeInfo *info = TreeNodeInfo::of(viewIndex);
    // The click may have been refused (the author stayed on a modified chapter).
    if (!info || info->nodeType != QLatin1String("3") || info->id != m_chapterId || m_editor->isReadOnly())
        return;
    m_editor->setFocus();
}

void BookController::treeViewBookCurrentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    Q_UNUSED(previous)
    if (m_treeLoading || m_quiet)
        return;
    // After the switch, whichever way it ends (the switching flag is restored first).
    const auto reloadAfterSwitch = qScopeGuard([this]() { runDeferredReload(); });
    try {
        // Ids first: the question below runs an event loop in which the indexes may change.
        const QString newId = idOfViewIndex(current);
        const QModelIndex newSource = m_view->toSource(current);
        if (!newId.isEmpty() && newId == m_chapterId) {
            emit bookActionsChanged();
            return;
        }
        {
            QScopedValueRollback<bool> switching(m_switching, true);
            if (!checkSaveArticle()) {
                // Stay on the chapter whose save failed.
                setCurrentQuietly(findSourceIndex(m_chapterId));
                emit bookActionsChanged();
                return;
            }
            if (newId.isEmpty())
                clearEditor();
            else
                openArticle(newId, newSource.isValid() ? newSource : findSourceIndex(newId));
        }
    } catch (const Exception &e) {
        g_App.showError(e.message());
    }
    emit bookActionsChanged();
}
