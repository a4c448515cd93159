#include "book/BookPlace.h"

#include "app/Exception.h"
#include "book/BookController.h"
#include "log/Log.h"
#include "storage/DataAccess.h"

#include <QAbstractTextDocumentLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScrollBar>
#include <QSet>

namespace {

const QString kParamKey = QStringLiteral("BookPlace");

QString idOf(const QModelIndex &index)
{
    const TreeNodeInfo *info = TreeNodeInfo::of(index);
    return info ? info->id : QString();
}

// Depth first over the nodes that have children, going down into those for which open(node)
// says true.
template <typename Open>
void walkOpen(const QAbstractItemModel *model, Open open)
{
    QList<QModelIndex> stack{QModelIndex()};
    while (!stack.isEmpty()) {
        const QModelIndex parent = stack.takeLast();
        for (int r = 0; r < model->rowCount(parent); ++r) {
            const QModelIndex child = model->index(r, 0, parent);
            if (model->hasChildren(child) && open(child))
                stack << child;
        }
    }
}

QJsonArray toArray(const QStringList &list)
{
    QJsonArray a;
    for (const QString &s : list)
        a.append(s);
    return a;
}

QStringList toList(const QJsonValue &v)
{
    QStringList list;
    for (const QJsonValue &e : v.toArray())
        list << e.toString();
    return list;
}

} // namespace

QString BookPlace::toJson() const
{
    const QJsonObject o{{QStringLiteral("expanded"), toArray(expanded)},
                        {QStringLiteral("current"), toArray(currentPath)},
                        {QStringLiteral("cursor"), cursor},
                        {QStringLiteral("scroll"), scroll}};
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

BookPlace BookPlace::fromJson(const QString &json)
{
    const QJsonObject o = QJsonDocument::fromJson(json.toUtf8()).object();
    BookPlace p;
    p.expanded = toList(o.value(QStringLiteral("expanded")));
    p.currentPath = toList(o.value(QStringLiteral("current")));
    p.cursor = o.value(QStringLiteral("cursor")).toInt(-1);
    p.scroll = o.value(QStringLiteral("scroll")).toInt(0);
    return p;
}

BookPlace BookPlace::capture(const BookController *book)
{
    BookPlace p;
    const TreeView *view = book->view();
    // Only open nodes are walked: a collapsed book's volumes cannot be seen open.
    walkOpen(view->model(), [&](const QModelIndex &node) {
        if (!view->isExpanded(node))
            return false;
        p.expanded << idOf(node);
        return true;
    });
    for (QModelIndex i = view->currentIndex(); i.isValid(); i = i.parent())
        p.currentPath.prepend(idOf(i));
    if (!p.currentPath.isEmpty() && p.currentPath.constLast() == book->currentChapterId()) {
        p.cursor = book->editor()->textCursor().position();
        p.scroll = book->editor()->verticalScrollBar()->value();
    }
    return p;
}

bool BookPlace::restore(BookController *book) const
{
    TreeView *view = book->view();
    const QSet<QString> open(expanded.begin(), expanded.end());
    if (!open.isEmpty()) {
        walkOpen(view->model(), [&](const QModelIndex &node) {
            if (!open.contains(idOf(node)))
                return false;
            view->expand(node);
            return true;
        });
    }
    for (int i = currentPath.size() - 1; i >= 0; --i) {
        const QString &id = currentPath.at(i);
        if (!book->findSourceIndex(id).isValid())
            continue;
        book->selectNode(id);
        const bool same = i == currentPath.size() - 1 && book->currentChapterId() == id;
        if (same && cursor >= 0) {
            MyTextEdit *editor = book->editor();
            QTextCursor c = editor->textCursor();
            c.setPosition(qBound(0, cursor, qMax(0, editor->document()->characterCount() - 1)));
            editor->setTextCursor(c);
            // The scroll range exists only once the whole text is laid out.
            editor->document()->documentLayout()->documentSize();
            editor->verticalScrollBar()->setValue(scroll);
        }
        return true;
    }
    return false;
}

BookPlace BookPlace::load()
{
    try {
        return fromJson(getSysParam(kParamKey));
    } catch (const Exception &e) {
        logException(e);
    }
    return BookPlace();
}

void BookPlace::save() const
{
    try {
        setSysParam(kParamKey, toJson());
    } catch (const Exception &e) {
        logException(e);
    }
}
