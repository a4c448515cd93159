#include "book/BookReplace.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "book/BookSearch.h"
#include "book/BookStore.h"
#include "book/ChapterHistory.h"
#include "storage/DataAccess.h"

#include <QDateTime>
#include <QHash>
#include <QTextCursor>
#include <QTextDocument>
#include <QtConcurrent>

#include <algorithm>

namespace
{

struct Prepared {
    QString id;
    QString path;
    QString updated; // as read: a later write makes the chapter "changed since the search"
    QString oldHtml;
    QString oldPlain;
    QString newHtml;
    QString newPlain;
    QString attribute1;
    ChapterHistory::Encoded history; // the old text as its version, encoded before the transaction
    bool plainOnly = false;
    bool textWanted = false;
    int replaced = 0;
    QString oldTitle;
    QString newTitle;
    bool titleWanted = false;
    int titleReplaced = 0;
};

QString nameOf(const QString &id, const QString &title)
{
    const QString path = BookSearch::pathOf(id);
    return path.isEmpty() ? title : path;
}

[[noreturn]] void failAt(const QString &name, const QString &why)
{
    throw Exception(QStringLiteral("全书替换失败，没有修改任何章节。出错的章节：%1\n%2").arg(name, why),
                    QStringLiteral("0"));
}

QString changedSinceSearch()
{
    return QStringLiteral("该章节在搜索之后已被修改，请重新搜索。");
}

// The editor's HTML holds the chapter's characters as they are, between tags and entities. When
// the key and its replacement need no escaping and the key occurs in those runs of text exactly
// as often as in the plain text, the n-th match of one is the n-th of the other and the HTML is
// edited as text; otherwise (a key split by formatting, in an attribute…) false.
bool replaceInHtml(const QString &html, const QString &key, const QString &replacement,
                   Qt::CaseSensitivity cs, const QVector<int> &wanted, int plainCount, QString *out)
{
    for (const QChar c : key + replacement)
        if (c.isSpace() || c == QLatin1Char('&') || c == QLatin1Char('<') || c == QLatin1Char('>') ||
            c == QLatin1Char('"') || c == QLatin1Char('\''))
            return false;
    const int body = html.indexOf(QLatin1String("<body"));
    int i = body < 0 ? -1 : html.indexOf(QLatin1Char('>'), body) + 1;
    if (i <= 0)
        return false;
    QVector<int> positions;
    const QStringView view(html);
    while (i < html.size()) {
        int end = i;
        while (end < html.size() && html.at(end) != QLatin1Char('<') && html.at(end) != QLatin1Char('&'))
            ++end;
        const QStringView run = view.mid(i, end - i);
        for (qsizetype at = run.indexOf(key, 0, cs); at >= 0; at = run.indexOf(key, at + key.size(), cs))
            positions.append(i + int(at));
        if (end >= html.size())
            break;
        const int close =
            html.indexOf(html.at(end) == QLatin1Char('<') ? QLatin1Char('>') : QLatin1Char(';'), end);
        if (close < 0)
            return false;
        i = close + 1;
    }
    if (positions.size() != plainCount)
        return false;
    *out = html;
    for (int k = wanted.size() - 1; k >= 0; --k)
        out->replace(positions.at(wanted.at(k)), key.size(), replacement);
    return true;
}

QVector<int> sortedUnique(QVector<int> offsets)
{
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
    return offsets;
}

// Which of all the matches of the stored text are wanted (their ordinals); a listed one that is
// no longer a match means the node changed after the search.
QVector<int> wantedMatches(const QVector<int> &all, const QVector<int> &offsets, const QString &path)
{
    QVector<int> wanted;
    for (int at : offsets) {
        const int n = int(std::lower_bound(all.begin(), all.end(), at) - all.begin());
        if (n >= all.size() || all.at(n) != at)
            failAt(path, changedSinceSearch());
        wanted.append(n);
    }
    return wanted;
}

QString replacedAt(QString text, const QVector<int> &sortedOffsets, int keyLength, const QString &replacement)
{
    for (int k = sortedOffsets.size() - 1; k >= 0; --k)
        text.replace(sortedOffsets.at(k), keyLength, replacement);
    return text;
}

// A node as stored when the replace began.
struct Stored {
    QString title, html, plain, attribute1, updated, flag;
};

// Rows per statement: a few statements for the whole replace, each holding the lock briefly.
constexpr int kBatch = 250;

// The stored rows of the nodes, by id; a node that is not there is missing.
QHash<QString, Stored> readNodes(const QStringList &ids)
{
    QHash<QString, Stored> rows;
    for (int from = 0; from < ids.size(); from += kBatch) {
        QStringList quoted;
        for (const QString &id : ids.mid(from, kBatch))
            quoted << quoteSql(id);
        QueryPtr q =
            openQuery(QStringLiteral("SELECT ID,Title,HTML,PlainText,Attribute1,Updated,Flag FROM BookTree "
                                     "WHERE ID IN (%1)")
                          .arg(quoted.join(',')));
        while (q->next())
            rows.insert(q->value(0).toString(),
                        {q->value(1).toString(), q->value(2).toString(), q->value(3).toString(),
                         q->value(4).toString(), q->value(5).toString(), q->value(6).toString()});
    }
    return rows;
}

// Applies the replacements to a copy of the chapter as read (no lock held while editing).
Prepared prepare(const BookReplace::Plan &plan, const BookReplace::ChapterEdit &edit, const Stored *row)
{
    Prepared p;
    p.id = edit.chapterId;
    if (!row)
        failAt(edit.chapterId, QStringLiteral("未找到对应的文章！"));
    const QString &title = row->title;
    p.oldHtml = row->html;
    p.oldPlain = row->plain;
    p.attribute1 = row->attribute1;
    p.updated = row->updated;
    const QString &attribute1 = row->attribute1;
    const QString &flag = row->flag;
    p.path = nameOf(edit.chapterId, title);
    if (flag != QLatin1String("A"))
        failAt(p.path, QStringLiteral("文章已被删除！"));
    p.oldTitle = title;
    if (!edit.titleOffsets.isEmpty()) {
        const QVector<int> offsets = sortedUnique(edit.titleOffsets);
        wantedMatches(BookSearch::findAll(title, plan.key, plan.matchCase), offsets, p.path);
        p.newTitle = replacedAt(title, offsets, plan.key.size(), plan.replacement);
        p.titleWanted = true;
        p.titleReplaced = offsets.size();
    }
    if (edit.offsets.isEmpty())
        return p;
    p.textWanted = true;
    const QVector<int> offsets = sortedUnique(edit.offsets);
    const QVector<int> all = BookSearch::findAll(p.oldPlain, plan.key, plan.matchCase);
    const QVector<int> wanted = wantedMatches(all, offsets, p.path);
    p.newPlain = replacedAt(p.oldPlain, offsets, plan.key.size(), plan.replacement);
    // An imported chapter is shown from its plain text until it is saved from the editor.
    p.plainOnly = attribute1.contains(QLatin1String("NEWIMPORT"));
    const Qt::CaseSensitivity cs = BookSearch::caseSensitivity(plan.key, plan.matchCase);
    if (!p.plainOnly &&
        !replaceInHtml(p.oldHtml, plan.key, plan.replacement, cs, wanted, all.size(), &p.newHtml)) {
        QTextDocument doc;
        doc.setDefaultFont(plan.defaultFont);
        doc.setHtml(p.oldHtml);
        // HTML written elsewhere may not read as the stored plain text (an indent the HTML parser
        // drops): the n-th match of the one is the n-th of the other when both count alike.
        const QVector<int> shown = BookSearch::findAll(doc.toPlainText(), plan.key, plan.matchCase);
        if (shown.size() != all.size())
            failAt(p.path, changedSinceSearch());
        QTextCursor c(&doc);
        c.beginEditBlock();
        for (int k = wanted.size() - 1; k >= 0; --k) {
            const int at = shown.at(wanted.at(k));
            c.setPosition(at);
            c.setPosition(at + plan.key.size(), QTextCursor::KeepAnchor);
            c.insertText(plan.replacement);
        }
        c.endEditBlock();
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
        execPrepared(
            QStringLiteral("UPDATE BookTree SET rtf=?,PlainText=?,Updated=?,Usn=0,Synced=0 WHERE ID=?"),
            {plain, plain, nowStr, id});
    else
        execPrepared(QStringLiteral("UPDATE BookTree SET rtf=?,HTML=?,PlainText=?,Updated=?,Usn=0,Synced=0 "
                                    "WHERE ID=?"),
                     {plain, html, plain, nowStr, id});
    BookStore::logChapterLength(id, plain, now);
}

void writeTitle(const QString &id, const QString &title, const QDateTime &now)
{
    execPrepared(QStringLiteral("UPDATE BookTree SET Title=?,Updated=?,Usn=0,Synced=0 WHERE ID=?"),
                 {title, now.toString(Ink::dateTimeMsFormat()), id});
}

} // namespace

namespace BookReplace
{

Outcome apply(const Plan &plan, const Progress &progress)
{
    Outcome outcome;
    if (plan.key.isEmpty())
        return outcome;
    const int total = plan.chapters.size() * 2;
    QStringList ids;
    for (const ChapterEdit &edit : plan.chapters)
        if (!edit.offsets.isEmpty() || !edit.titleOffsets.isEmpty())
            ids << edit.chapterId;
    const QHash<QString, Stored> rows = readNodes(ids);
    QVector<Prepared> ready;
    int prepared = 0;
    for (const ChapterEdit &edit : plan.chapters) {
        if (edit.offsets.isEmpty() && edit.titleOffsets.isEmpty())
            continue;
        const auto row = rows.constFind(edit.chapterId);
        Prepared p = prepare(plan, edit, row == rows.constEnd() ? nullptr : &*row);
        if (p.textWanted && p.newPlain.size() > Ink::maxArticleLength) {
            outcome.overLength << p.path;
            p.textWanted = false;
        } else if (p.textWanted && p.newPlain == p.oldPlain && p.newHtml == p.oldHtml) {
            p.textWanted = false;
        }
        // A title the tree would refuse (too long, or nothing left of it) stays as it is.
        if (p.titleWanted &&
            (titleLength(p.newTitle) > Ink::maxTitleLength || p.newTitle.trimmed().isEmpty())) {
            outcome.titlesSkipped << p.path;
            p.titleWanted = false;
        } else if (p.titleWanted && p.newTitle == p.oldTitle) {
            p.titleWanted = false;
        }
        if (p.textWanted || p.titleWanted)
            ready.append(std::move(p));
        if (progress && ++prepared < plan.chapters.size())
            progress(prepared, total);
    }
    // Each old text's version is encoded now, on every processor: the transaction only stores them.
    QtConcurrent::blockingMap(ready, [](Prepared &p) {
        if (!p.textWanted)
            return;
        try {
            p.history =
                ChapterHistory::encode(p.id, ChapterHistory::htmlOfRow(p.oldHtml, p.attribute1), p.oldPlain);
        } catch (const Exception &) {
            // Left to keep(), which reports it with the chapter's name and undoes everything.
            p.history = ChapterHistory::Encoded();
        }
    });
    if (progress)
        progress(plan.chapters.size(), total);
    const QDateTime now = QDateTime::currentDateTime();
    const QString batchId = newGuid();
    QString current;
    try {
        Transaction tx;
        // Whatever wrote a node since it was read (a save, a sync, a delete) changed its time or
        // flag: checked for all of them before the first write, under the same lock.
        QHash<QString, QString> live;
        for (int from = 0; from < ready.size(); from += kBatch) {
            QStringList quoted;
            for (int k = from; k < qMin(from + kBatch, int(ready.size())); ++k)
                quoted << quoteSql(ready.at(k).id);
            QueryPtr q =
                openQuery(QStringLiteral("SELECT ID,Updated FROM BookTree WHERE ID IN (%1) AND Flag='A'")
                              .arg(quoted.join(',')));
            while (q->next())
                live.insert(q->value(0).toString(), q->value(1).toString());
        }
        for (const Prepared &p : ready) {
            const auto it = live.constFind(p.id);
            if (it == live.constEnd() || *it != p.updated)
                failAt(p.path, changedSinceSearch());
        }
        int done = 0;
        for (const Prepared &p : ready) {
            current = p.path;
            if (p.textWanted) {
                ChapterHistory::keep(p.id, ChapterHistory::htmlOfRow(p.oldHtml, p.attribute1), p.oldPlain,
                                     p.history, QStringLiteral("全书替换"), batchId);
                writeChapter(p.id, p.newHtml, p.newPlain, p.plainOnly, now);
            }
            if (p.titleWanted)
                writeTitle(p.id, p.newTitle, now);
            if (progress)
                progress(plan.chapters.size() + ++done, total);
        }
        tx.commit();
    } catch (const Exception &e) {
        if (e.message().startsWith(QStringLiteral("全书替换失败")))
            throw;
        failAt(current, e.message());
    }
    if (!ready.isEmpty())
        outcome.batchId = batchId;
    for (const Prepared &p : ready) {
        if (p.textWanted) {
            outcome.chapterIds << p.id;
            outcome.replaced += p.replaced;
        }
        if (p.titleWanted) {
            outcome.titles.append({p.id, p.oldTitle, p.newTitle});
            outcome.replaced += p.titleReplaced;
        }
    }
    return outcome;
}

UndoOutcome undo(const QString &batchId, const QVector<TitleChange> &titles)
{
    UndoOutcome outcome;
    const QDateTime now = QDateTime::currentDateTime();
    const QString undoBatch = newGuid();
    // Paths are looked up after the commit: the search's copy is never waited for under the lock.
    QVector<QPair<QString, QString>> skipped;
    Transaction tx;
    for (const ChapterHistory::Version &v : ChapterHistory::batch(batchId)) {
        QString flag, title;
        {
            QueryPtr q = openQuery(
                QStringLiteral("SELECT Flag,Title FROM BookTree WHERE ID=%1").arg(quoteSql(v.chapterId)));
            if (q->next()) {
                flag = q->value(0).toString();
                title = q->value(1).toString();
            }
        }
        // Anything that wrote the chapter since (a save, an import, a pull) kept a newer version:
        // the author's later work is never overwritten.
        const QVector<ChapterHistory::Version> versions = ChapterHistory::versions(v.chapterId);
        if (flag != QLatin1String("A") || versions.isEmpty() || versions.first().id != v.id) {
            skipped.append({v.chapterId, title});
            continue;
        }
        const ChapterHistory::Text text = ChapterHistory::text(v.id);
        if (!text.found) {
            skipped.append({v.chapterId, title});
            continue;
        }
        ChapterHistory::keepStored(v.chapterId, QStringLiteral("撤销全书替换"), undoBatch);
        if (text.html.isEmpty()) {
            // An imported chapter's text is its plain text until the editor saves it.
            execPrepared(QStringLiteral("UPDATE BookTree SET rtf=?,HTML=?,PlainText=?,Attribute1='NEWIMPORT',"
                                        "Updated=?,Usn=0,Synced=0 WHERE ID=?"),
                         {text.plainText, text.plainText, text.plainText,
                          now.toString(Ink::dateTimeMsFormat()), v.chapterId});
            BookStore::logChapterLength(v.chapterId, text.plainText, now);
        } else {
            writeChapter(v.chapterId, text.html, text.plainText, false, now);
        }
        outcome.restored << v.chapterId;
    }
    for (const TitleChange &t : titles) {
        QString flag, title;
        {
            QueryPtr q =
                openQuery(QStringLiteral("SELECT Flag,Title FROM BookTree WHERE ID=%1").arg(quoteSql(t.id)));
            if (q->next()) {
                flag = q->value(0).toString();
                title = q->value(1).toString();
            }
        }
        // Renamed since: the author's newer title stays.
        if (flag != QLatin1String("A") || title != t.after) {
            skipped.append({t.id, title});
            continue;
        }
        writeTitle(t.id, t.before, now);
        outcome.titlesRestored << t.id;
    }
    tx.commit();
    for (const auto &s : skipped)
        outcome.changedSince << nameOf(s.first, s.second);
    return outcome;
}

} // namespace BookReplace
