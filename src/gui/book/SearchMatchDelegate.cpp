#include "book/SearchMatchDelegate.h"

#include "book/BookSearchController.h"

#include <QApplication>
#include <QLineEdit>
#include <QPainter>

void SearchMatchDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                const QModelIndex &index) const
{
    if (!index.data(BookSearchController::OffsetRole).isValid()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QString context = opt.text;
    opt.text.clear();
    QStyle *style = opt.widget ? opt.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);
    const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, opt.widget);

    // Drawn as three runs of text: a rich-text document per row costs a frame per screenful.
    const int at = index.data(BookSearchController::ContextOffsetRole).toInt();
    const int length = index.data(BookSearchController::LengthRole).toInt();
    const bool inTitle = index.data(BookSearchController::TitleRole).toBool();
    const QString replacement = m_replace ? m_replace->text() : QString();
    const bool preview = !replacement.isEmpty() && opt.checkState == Qt::Checked &&
                         (opt.features & QStyleOptionViewItem::HasCheckIndicator);
    const QColor text =
        opt.palette.color(opt.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text);
    painter->save();
    painter->setClipRect(textRect);
    const QFontMetrics fm(opt.font);
    const int baseline = textRect.top() + (textRect.height() - fm.height()) / 2 + fm.ascent();
    int x = textRect.left();
    auto run = [&](const QString &s, const QColor &background, bool bold, bool strikeOut) {
        if (s.isEmpty())
            return;
        QFont f = opt.font;
        f.setBold(bold);
        f.setStrikeOut(strikeOut);
        const int width = QFontMetrics(f).horizontalAdvance(s);
        if (background.isValid()) {
            painter->fillRect(QRect(x, textRect.top(), width, textRect.height()), background);
            painter->setPen(Qt::black);
        } else {
            painter->setPen(text);
        }
        painter->setFont(f);
        painter->drawText(x, baseline, s);
        x += width;
    };
    run(inTitle ? QStringLiteral("[标题] ") : QString(), QColor(), false, false);
    run(context.left(at), QColor(), false, false);
    if (preview) {
        run(context.mid(at, length), QColor(0xff, 0xe6, 0xe6), false, true);
        run(replacement, QColor(0xe6, 0xff, 0xe6), false, false);
    } else {
        run(context.mid(at, length), QColor(0xff, 0xe0, 0x8a), true, false);
    }
    run(context.mid(at + length), QColor(), false, false);
    painter->restore();
}
