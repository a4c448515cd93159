// Drag and drop in the book tree: a node moves among its siblings only.
#include "book/BookController.h"

#include "app/App.h"
#include "app/Exception.h"
#include "book/BookStore.h"
#include "log/Log.h"

#include <QDropEvent>
#include <QScopedValueRollback>
#include <QStandardItemModel>

bool BookController::canDrop(const QObject *source, const QModelIndex &index,
                             TreeView::DropIndicatorPosition position) const
{
    if (source != m_view)
        return false;
    const QModelIndex current = m_view->currentSourceIndex();
    if (!current.isValid() || !index.isValid() || current == index)
        return false;
    if (current.parent() != index.parent())
        return false;
    return position == TreeView::AboveItem || position == TreeView::BelowItem;
}

void BookController::treeViewBookDragMove(QDragMoveEvent *event, QModelIndex index,
                                          TreeView::DropIndicatorPosition position)
{
    if (isTraceLogEnabled()) {
        writeTraceLog(QStringLiteral("drag"), QStringLiteral("point:%1,%2").arg(event->pos().x()).arg(event->pos().y()));
        writeTraceLog(QStringLiteral("drag"), QStringLiteral("currentIndex:") + m_view->currentIndex().data().toString());
        writeTraceLog(QStringLiteral("drag"), QStringLiteral("index:") + index.data().toString());
    }
    if (canDrop(event->source(), index, position))
        event->accept();
    else
        event->ignore();
}

void BookController::treeViewBookDrop(QDropEvent *event, QModelIndex index, TreeView::DropIndicatorPosition position)
{
    // The view never moves the items itself: the order is written first, then the item is moved here.
    const bool allowed = canDrop(event->source(), index, position);
    event->setDropAction(Qt::IgnoreAction);
    event->ignore();
    if (allowed)
        dropCurrentOn(index, position);
}

void BookController::dropCurrentOn(const QModelIndex &index, TreeView::DropIndicatorPosition position)
{
    if (!canDrop(m_view, index, position))
        return;
    try {
        const QModelIndex current = m_view->currentSourceIndex();
        TreeNodeInfo *dragged = TreeNodeInfo::of(current);
        TreeNodeInfo *target = TreeNodeInfo::of(index);
        if (!dragged || !target)
            return;
        const bool above = position == TreeView::AboveItem;
        BookStore::moveNode(dragged->id, target->id, above);
        QStandardItem *parent = current.parent().isValid() ? m_model->itemFromIndex(current.parent())
                                                           : m_model->invisibleRootItem();
        const int from = current.row();
        int to = index.row() + (above ? 0 : 1);
        if (from < to)
            --to;
        QModelIndex moved;
        {
            QScopedValueRollback<bool> loading(m_treeLoading, true);
            const QList<QStandardItem *> row = parent->takeRow(from);
            parent->insertRow(to, row);
            moved = row.first()->index();
        }
        if (dragged->id == m_chapterId)
            m_chapterIndex = QPersistentModelIndex(moved);
        setCurrentQuietly(moved);
        if (dragged->id != m_chapterId)
            treeViewBookCurrentChanged(m_view->currentIndex(), QModelIndex());
        applyBookSort();
    } catch (const Exception &e) {
        g_App.showError(e.message());
    }
    emit bookActionsChanged();
}
