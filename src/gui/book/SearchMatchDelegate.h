#pragma once

#include <QPointer>
#include <QStyledItemDelegate>

class QLineEdit;

// A match of the whole-book search: one line of context with the key marked; with a replacement
// the key is struck out and the new text follows, as the replace would leave it.
class SearchMatchDelegate final : public QStyledItemDelegate
{
public:
    SearchMatchDelegate(QLineEdit *replace, QObject *parent) : QStyledItemDelegate(parent), m_replace(replace)
    {
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;

private:
    QPointer<QLineEdit> m_replace;
};
