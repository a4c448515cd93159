#include "book/BookReplace.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "book/BookSearch.h"
#include "book/BookStore.h"
#include "storage/DataAccess.h"

#include <QDateTime>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

namespace {

BookReplace::VersionKeeper &keeper()
{
    static BookReplace::VersionKeeper k;
    return k;
}

struct Prepared {
    QString id;
    QString path;
    QString updated; // as read: a later write makes the chapter "changed since the search"
    QString oldHtml;
    QString oldPlain;
    QString newHtml;
    QString newPlain;
    bool plainOnly = false;
    int replaced = 0;
};

QString nameOf(const QString &id, const QString &title)
{
    const QString path = BookSearch::pathOf(id);
    return path.isEmpty() ? title : path;
}

[[noreturn]] void failAt(const QString &name, const QString &why)
{
    throw Exception(QStringLiteral("全书替换失败，没有修改任何章节。出错的章节：%1\n%2").arg(name, why), QStringLiteral("0"));
}

QString changedSinceSearch() { return QStringLiteral("该章节在搜索之后已被修改，请重新搜索。"); }

// Reads the chapter and applies the replacements to a copy of it (no lock held while editing).
Prepared prepare(const BookReplace::Plan &plan, const BookReplace::ChapterEdit &edit)
{
    Prepared p;
    p.id = edit.chapterId;
    QString title, attribute1, flag;
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT Title,HTML,PlainText,Attribute1,Updated,Flag FROM BookTree "
                                              "WHERE ID=%1")
                                   .arg(quoteSql(edit.chapterId)));
        if (!q->next())
            failAt(edit.chapterId, QStringLiteral("未找到对应的文章！"));
        title = q->value(0).toString();
        p.oldHtml = q->value(1).toString();
        p.oldPlain = q->value(2).toString();
        attribute1 = q->value(3).toString();
        p.updated = q->value(4).toString();
        flag = q->value(5).toString();
    }
    p.path = nameOf(edit.chapterId, title);
    if (flag != QLatin1String("A"))
        failAt(p.path, QStringLiteral("文章已被删除！"));
    QVector<int> offsets = edit.offsets;
    std::sort(offsets.begin(), offsets.end(), std::greater<int>());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
    // An imported chapter is shown from its plain text until it is saved from the editor.
    p.plainOnly = attribute1.contains(QLatin1String("NEWIMPORT"));
    if (p.plainOnly) {
        p.newPlain = p.oldPlain;
        for (int at : offsets) {
            if (!BookSearch::matchesAt(p.newPlain, at, plan.key, plan.matchCase))
                failAt(p.path, changedSinceSearch());
            p.newPlain.replace(at, plan.key.size(), plan.replacement);
        }
    } else {
        QTextDocument doc;
        doc.setHtml(p.oldHtml);
        const QString shown = doc.toPlainText();
        QTextCursor c(&doc);
        c.beginEditBlock();
        for (int at : offsets) {
            if (!BookSearch::matchesAt(shown, at, plan.key, plan.matchCase) ||
                !BookSearch::matchesAt(p.oldPlain, at, plan.key, plan.matchCase))
                failAt(p.path, changedSinceSearch());
            c.setPosition(at);
            c.setPosition(at + plan.key.size(), QTextCursor::KeepAnchor);
            c.insertText(plan.replacement);
        }
        c.endEditBlock();
        p.newPlain = doc.toPlainText();
        p.newHtml = doc.toHtml();
    }
    p.replaced = offsets.size();
    return p;
}

void writeChapter(const QString &id, const QString &html, const QString &plain, bool plainOnly,
                  const QDateTime &now)
{
    const QString nowStr = now.toString(Ink::dateTimeMsFormat());
    if (plainOnly)
        execPrepared(QStringLiteral("UPDATE BookTree SET rtf=?,PlainText=?,Updated=?,Usn=0,Synced=0 WHERE ID=?"),
                     {plain, plain, nowStr, id});
    else
        execPrepared(QStringLiteral("UPDATE BookTree SET rtf=?,HTML=?,PlainText=?,Updated=?,Usn=0,Synced=0 "
                                    "WHERE ID=?"),
                     {plain, html, plain, nowStr, id});
    BookStore::logChapterLength(id, plain, now);
}

} // namespace

namespace BookReplace {

void setVersionKeeper(VersionKeeper k) { keeper() = std::move(k); }

Outcome apply(const Plan &plan, const Progress &progress)
{
    Outcome outcome;
    if (plan.key.isEmpty())
        return outcome;
    const int total = plan.chapters.size() * 2;
    QVector<Prepared> ready;
    for (const ChapterEdit &edit : plan.chapters) {
        if (edit.offsets.isEmpty())
            continue;
        Prepared p = prepare(plan, edit);
        if (p.newPlain.size() > Ink::maxArticleLength)
            outcome.overLength << p.path;
        else if (p.newPlain != p.oldPlain || p.newHtml != p.oldHtml)
            ready.append(std::move(p));
        if (progress)
            progress(ready.size() + outcome.overLength.size(), total);
    }
    const QDateTime now = QDateTime::currentDateTime();
    QString current;
    try {
        Transaction tx;
        int done = 0;
        for (const Prepared &p : ready) {
            current = p.path;
            {
                QueryPtr q = openQuery(QStringLiteral("SELECT Updated,Flag FROM BookTree WHERE ID=%1").arg(quoteSql(p.id)));
                if (!q->next() || q->value(0).toString() != p.updated || q->value(1).toString() != QLatin1String("A"))
                    failAt(p.path, changedSinceSearch());
            }
            if (keeper())
                keeper()(p.id, p.oldHtml, p.oldPlain);
            writeChapter(p.id, p.newHtml, p.newPlain, p.plainOnly, now);
            if (progress)
                progress(plan.chapters.size() + ++done, total);
        }
        tx.commit();
    } catch (const Exception &e) {
        if (e.message().startsWith(QStringLiteral("全书替换失败")))
            throw;
        failAt(current, e.message());
    }
    for (const Prepared &p : ready) {
        outcome.changes.append({p.id, p.path, p.plainOnly ? QString() : p.oldHtml, p.oldPlain, p.newPlain});
        outcome.replaced += p.replaced;
    }
    return outcome;
}

UndoOutcome undo(const QVector<Change> &changes)
{
    UndoOutcome outcome;
    const QDateTime now = QDateTime::currentDateTime();
    Transaction tx;
    for (const Change &c : changes) {
        QString plain, html, flag, attribute1;
        {
            QueryPtr q = openQuery(QStringLiteral("SELECT PlainText,HTML,Flag,Attribute1 FROM BookTree WHERE ID=%1")
                                       .arg(quoteSql(c.chapterId)));
            if (q->next()) {
                plain = q->value(0).toString();
                html = q->value(1).toString();
                flag = q->value(2).toString();
                attribute1 = q->value(3).toString();
            }
        }
        // Edited after the replace (or deleted): the author's later work is never overwritten.
        if (flag != QLatin1String("A") || plain != c.newPlain) {
            outcome.changedSince << c.path;
            continue;
        }
        if (keeper())
            keeper()(c.chapterId, html, plain);
        const bool plainOnly = attribute1.contains(QLatin1String("NEWIMPORT"));
        writeChapter(c.chapterId, c.oldHtml, c.oldPlain, plainOnly, now);
        outcome.restored << c.chapterId;
    }
    tx.commit();
    return outcome;
}

} // namespace BookReplace
