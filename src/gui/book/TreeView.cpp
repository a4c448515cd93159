#include "book/TreeView.h"

#include <QContextMenuEvent>
#include <QCursor>
#include <QMenu>
#include <QSortFilterProxyModel>

TreeView::TreeView(QWidget *parent) : QTreeView(parent), m_contextMenu(new QMenu(this))
{
    qRegisterMetaType<TreeView::DropIndicatorPosition>("TreeView::DropIndicatorPosition");
    m_contextMenu->setContextMenuPolicy(Qt::ActionsContextMenu);
}

QModelIndex TreeView::toSource(const QModelIndex &viewIndex) const
{
    if (auto *proxy = qobject_cast<QSortFilterProxyModel *>(model()))
        return proxy->mapToSource(viewIndex);
    return viewIndex;
}

QModelIndex TreeView::fromSource(const QModelIndex &sourceIndex) const
{
    if (auto *proxy = qobject_cast<QSortFilterProxyModel *>(model()))
        return proxy->mapFromSource(sourceIndex);
    return sourceIndex;
}

void TreeView::proxySetCurrentIndex(const QModelIndex &index)
{
    if (!index.isValid())
        return;
    const QModelIndex viewIndex = fromSource(index);
    if (viewIndex.isValid())
        setCurrentIndex(viewIndex);
}

void TreeView::proxyEdit(const QModelIndex &index)
{
    if (!index.isValid())
        return;
    const QModelIndex viewIndex = fromSource(index);
    if (viewIndex.isValid())
        edit(viewIndex);
}

void TreeView::contextMenuEvent(QContextMenuEvent *event)
{
    if (!m_contextMenu->actions().isEmpty())
        m_contextMenu->exec(event->globalPos());
    event->accept();
}

void TreeView::dragEnterEvent(QDragEnterEvent *event)
{
    QTreeView::dragEnterEvent(event);
    emit signalDragEnter(event, toSource(indexAt(event->pos())), dropIndicatorPosition());
}

void TreeView::dragMoveEvent(QDragMoveEvent *event)
{
    QTreeView::dragMoveEvent(event);
    emit signalDragMove(event, toSource(indexAt(event->pos())), dropIndicatorPosition());
}

void TreeView::dragLeaveEvent(QDragLeaveEvent *event)
{
    QTreeView::dragLeaveEvent(event);
    const QPoint pos = viewport()->mapFromGlobal(QCursor::pos());
    emit signalDragLeave(event, toSource(indexAt(pos)), dropIndicatorPosition());
}

void TreeView::dropEvent(QDropEvent *event)
{
    emit signalDrop(event, toSource(indexAt(event->pos())), dropIndicatorPosition());
    // The handler may have refused the drop (or reloaded the tree): then the items stay.
    if (event->isAccepted())
        QTreeView::dropEvent(event);
}
