#include "book/TreeNodeInfo.h"

#include "app/Constants.h"

#include <QStandardItem>

QDateTime TreeNodeInfo::Updated() const
{
    QDateTime t = QDateTime::fromString(updatedText, Ink::dateTimeMsFormat());
    if (!t.isValid())
        t = QDateTime::fromString(updatedText, Ink::dateTimeFormat());
    return t;
}

void TreeNodeInfo::setUpdated(const QDateTime &time) { updatedText = time.toString(Ink::dateTimeMsFormat()); }

TreeNodeInfo *TreeNodeInfo::of(const QStandardItem *item)
{
    if (!item)
        return nullptr;
    return reinterpret_cast<TreeNodeInfo *>(item->data(Role).value<qulonglong>());
}

TreeNodeInfo *TreeNodeInfo::of(const QModelIndex &index)
{
    if (!index.isValid())
        return nullptr;
    return reinterpret_cast<TreeNodeInfo *>(index.data(Role).value<qulonglong>());
}

void TreeNodeInfo::attach(QStandardItem *item, TreeNodeInfo *info)
{
    item->setData(QVariant::fromValue(qulonglong(reinterpret_cast<quintptr>(info))), Role);
}

TreeNodeInfo *TreeNodeList::add()
{
    m_records.push_back(std::make_unique<TreeNodeInfo>());
    return m_records.back().get();
}
