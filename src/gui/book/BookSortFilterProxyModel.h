#pragma once

#include <QSortFilterProxyModel>

// The proxy of the book tree. With sort-by-modified on, the most recently changed node comes
// first among its siblings whatever the requested order.
class BookSortFilterProxyModel final : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    bool sortByModified() const { return m_sortByModified; }
    void setSortByModified(bool on) { m_sortByModified = on; }

protected:
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;

private:
    bool m_sortByModified = false;
};
