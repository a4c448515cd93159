#include "book/BookSortFilterProxyModel.h"

#include "book/TreeNodeInfo.h"

bool BookSortFilterProxyModel::lessThan(const QModelIndex &left, const QModelIndex &right) const
{
    if (m_sortByModified) {
        const TreeNodeInfo *l = TreeNodeInfo::of(left);
        const TreeNodeInfo *r = TreeNodeInfo::of(right);
        if (l && r) {
            if (sortOrder() == Qt::AscendingOrder)
                return r->updatedText < l->updatedText;
            return l->updatedText < r->updatedText;
        }
    }
    return QSortFilterProxyModel::lessThan(left, right);
}
