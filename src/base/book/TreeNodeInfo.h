#pragma once

#include <QDateTime>
#include <QModelIndex>
#include <QString>

#include <memory>
#include <vector>

class QStandardItem;

// The record behind every item of the book, material and user-material trees. The item keeps
// the record's address under TreeNodeInfo::Role; the owning TreeNodeList outlives the items.
class TreeNodeInfo
{
public:
    static constexpr int Role = Qt::UserRole + 1;

    QString id;
    QString pID;
    QString title;
    QString _type;     // "Book", "Material" or "UserMaterial"
    QString plainText; // material trees only
    QString nodeType;
    QString category;
    QString level;
    QString sort;
    QString attribute1;
    QString attribute2;
    QString attribute3;
    QString created;
    QString origId;
    QString flag;
    QString extra1; // free for other node kinds
    // Last change as stored ("yyyy-MM-dd hh:mm:ss.zzz"); the text form orders like the time and
    // costs nothing to load, so it is what the sort-by-change compares.
    QString updatedText;

    QDateTime Updated() const;
    void setUpdated(const QDateTime &time);

    // The record of an item (null for an item without one).
    static TreeNodeInfo *of(const QStandardItem *item);
    static TreeNodeInfo *of(const QModelIndex &index);
    static void attach(QStandardItem *item, TreeNodeInfo *info);
};

// Owns the records of one tree. clear() frees them; the caller clears the item model first.
class TreeNodeList
{
public:
    TreeNodeInfo *add();
    void clear() { m_records.clear(); }
    int size() const { return int(m_records.size()); }
    TreeNodeInfo *at(int i) const { return m_records[size_t(i)].get(); }

private:
    std::vector<std::unique_ptr<TreeNodeInfo>> m_records;
};
