// New, renamed and deleted nodes of the book tree, and which of those commands apply now.
#include "book/BookController.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "book/BookStore.h"
#include "book/BookTree.h"

#include <QScopedValueRollback>
#include <QStandardItemModel>
#include <QTextDocument>

bool BookController::addBookNode(bool asBook, bool sameLevel)
{
    QModelIndex index = m_view->currentSourceIndex();
    if (asBook)
        index = QModelIndex();
    else if (sameLevel && index.isValid())
        index = index.parent();
    const int depth = nodeDepth(index);
    // Books hold volumes, volumes hold chapters; nothing lies below a chapter.
    if (depth >= 3)
        return false;
    static const char *const titles[] = {"新书", "新卷", "新章节"};
    const QString title = QString::fromUtf8(titles[depth]);
    const TreeNodeInfo *parentInfo = TreeNodeInfo::of(index);
    const QString parentId = parentInfo ? parentInfo->id : QString();
    QStandardItem *parentItem = index.isValid() ? m_model->itemFromIndex(index) : nullptr;
    const int position = (parentItem ? parentItem->rowCount() : m_model->rowCount()) + 1;

    QTextDocument doc;
    doc.setDefaultFont(defaultEditorFont());
    BookStore::NewNode node;
    try {
        node = BookStore::insertNode(parentId, depth + 1, depth, title, position, doc.toHtml());
    } catch (const Exception &e) {
        // Nothing was added: the tree stays as it was.
        g_App.showError(e.message());
        return false;
    }

    TreeRows rows;
    rows.hasType = rows.hasUpdated = true;
    rows.rows.append(TreeRow{node.id, parentId, title, QString::number(depth + 1), QStringLiteral("Book"),
                             QString(), node.updated});
    QStandardItem *item = createTreeItem(rows, 0, m_records);
    if (parentItem)
        parentItem->appendRow(item);
    else
        m_model->appendRow(item);
    m_view->proxySetCurrentIndex(item->index());
    m_view->proxyEdit(item->index());
    emit bookActionsChanged();
    return true;
}

void BookController::renameCurrentNode() { m_view->proxyEdit(m_view->currentSourceIndex()); }

void BookController::deleteCurrentNode()
{
    if (!m_view->selectionModel() || !m_view->selectionModel()->hasSelection())
        return;
    // Persistent: the question runs an event loop in which the model may change.
    const QPersistentModelIndex index(m_view->currentSourceIndex());
    const TreeNodeInfo *info = TreeNodeInfo::of(index);
    if (!info || m_model->hasChildren(index))
        return;
    const QString id = info->id;
    if (g_App.ask(QStringLiteral("确定删除<%1>吗？").arg(index.data().toString())) != Ink::maYes ||
        !index.isValid())
        return;
    try {
        BookStore::deleteNode(id);
    } catch (const Exception &e) {
        // Nothing was deleted: an open chapter stays open with its edits.
        g_App.showError(e.message());
        return;
    }
    if (id == m_chapterId) {
        // Its text must not come back through a save of the open chapter.
        markUnmodified();
        m_chapterId.clear();
        m_chapterIndex = QPersistentModelIndex();
        emit recoveryCopiesDiscarded(id);
    }
    m_model->removeRow(index.row(), index.parent());
    if (!m_view->currentIndex().isValid() && m_chapterId.isEmpty())
        clearEditor();
    emit bookActionsChanged();
}

void BookController::treeViewBookItemChanged(QStandardItem *item)
{
    if (m_treeLoading || m_settingText)
        return;
    TreeNodeInfo *info = TreeNodeInfo::of(item);
    if (!info || item->text() == info->title)
        return;
    auto restore = [this, item, info]() {
        QScopedValueRollback<bool> guard(m_settingText, true);
        item->setText(info->title);
    };
    const QString title = item->text();
    if (title.trimmed().isEmpty()) {
        restore();
        return;
    }
    try {
        QString updated;
        if (!BookStore::renameNode(info->id, title, &updated)) {
            restore();
            return;
        }
        info->title = title;
        info->updatedText = updated;
    } catch (const Exception &e) {
        restore();
        g_App.showError(e.message());
        return;
    }
    applyBookSort();
    m_view->setFocus();
}
BookController::ActionState BookController::actionState() const
{
    ActionState s;
    const bool hasSelection = m_view->selectionModel() && m_view->selectionModel()->hasSelection();
    const QModelIndex current = m_view->currentSourceIndex();
    const int depth = nodeDepth(current);
    s.newBook = true;
    s.newVolume = depth == 1;
    s.newSection = depth == 2;
    s.newSameLevel = hasSelection;
    s.del = hasSelection && current.isValid() && !m_model->hasChildren(current);
    s.rename = hasSelection && m_view->isActiveWindow();
    return s;
}
