#pragma once

#include <QTreeView>

class QMenu;

// Tree view of the book and material panels: a context menu of its own and the drag events
// passed on as signals, with the index under the cursor given in the source model.
class TreeView final : public QTreeView
{
    Q_OBJECT
public:
    using QTreeView::DropIndicatorPosition;
    using QTreeView::OnItem;
    using QTreeView::AboveItem;
    using QTreeView::BelowItem;
    using QTreeView::OnViewport;

    explicit TreeView(QWidget *parent = nullptr);

    QMenu *contextMenu() const { return m_contextMenu; }
    // Maps a view index to the source model when the view shows a proxy.
    QModelIndex toSource(const QModelIndex &viewIndex) const;
    QModelIndex fromSource(const QModelIndex &sourceIndex) const;
    QModelIndex currentSourceIndex() const { return toSource(currentIndex()); }
    DropIndicatorPosition dropPosition() const { return dropIndicatorPosition(); }

signals:
    void signalDragEnter(QDragEnterEvent *event, QModelIndex index, TreeView::DropIndicatorPosition dropIndicatorPosition);
    void signalDragMove(QDragMoveEvent *event, QModelIndex index, TreeView::DropIndicatorPosition dropIndicatorPosition);
    void signalDragLeave(QDragLeaveEvent *event, QModelIndex index, TreeView::DropIndicatorPosition dropIndicatorPosition);
    void signalDrop(QDropEvent *event, QModelIndex index, TreeView::DropIndicatorPosition dropIndicatorPosition);

public slots:
    // Both take a source-model index; an invalid one does nothing.
    void proxySetCurrentIndex(const QModelIndex &index);
    void proxyEdit(const QModelIndex &index);

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    QMenu *m_contextMenu;
};

Q_DECLARE_METATYPE(TreeView::DropIndicatorPosition)
