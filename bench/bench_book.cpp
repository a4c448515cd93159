// Book tree and chapter costs the author feels: loading the tree, opening, typing, saving,
// adding, deleting and moving nodes, on large profiles.
#include "BenchSupport.h"

#include "app/App.h"
#include "app/Constants.h"
#include "book/BookController.h"
#include "book/BookStore.h"
#include "book/BookTree.h"
#include "book/MyTextEdit.h"
#include "book/TreeView.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTextDocument>

#include <stdexcept>

namespace {

// books × volumes × chapters nodes, chapter text `html`/`plain`.
void fillBooks(int books, int volumes, int chapters, const QString &html, const QString &plain, int offset = 0)
{
    Transaction tx;
    QSqlQuery q(g_App.db());
    q.prepare("INSERT INTO BookTree(ID,pID,NodeType,Level,Sort,Title,Category,rtf,HTML,PlainText,Flag,Usn,Synced,"
              "Created,Updated) VALUES(?,?,?,?,?,?,'Book',?,?,?,'A',0,0,'2024-01-01 00:00:00.000',?)");
    auto add = [&q](const QString &id, const QString &pid, int type, int level, int sort, const QString &title,
                    const QString &h, const QString &p) {
        q.addBindValue(id);
        q.addBindValue(pid);
        q.addBindValue(type);
        q.addBindValue(level);
        q.addBindValue(sort);
        q.addBindValue(title);
        q.addBindValue(p);
        q.addBindValue(h);
        q.addBindValue(p);
        q.addBindValue(QStringLiteral("2024-01-01 00:00:%1.000").arg(sort % 60, 2, 10, QChar('0')));
        q.exec();
    };
    for (int b = 0; b < books; ++b) {
        const QString bid = newGuid();
        add(bid, QString(), 1, 0, offset + b + 1, QStringLiteral("书%1").arg(offset + b + 1), QString(), QString());
        for (int v = 0; v < volumes; ++v) {
            const QString vid = newGuid();
            add(vid, bid, 2, 1, v + 1, QStringLiteral("第%1卷").arg(v + 1), QString(), QString());
            for (int c = 0; c < chapters; ++c)
                add(newGuid(), vid, 3, 2, c + 1, QStringLiteral("第%1章").arg(c + 1), html, plain);
        }
    }
    tx.commit();
}

QString chapterText(int length)
{
    static const QString sentence = QStringLiteral("大漠孤烟直，长河落日圆。他勒住缰绳回望来路，只见黄沙漫漫驼铃声声。");
    QString text;
    while (text.size() < length) {
        text += QString(2, Ink::paragraphIndentChar) + sentence + sentence + sentence;
        text += QLatin1Char('\n');
    }
    text.truncate(length);
    return text;
}

QString htmlOf(const QString &plain)
{
    QTextDocument doc;
    doc.setDefaultFont(QFont(QStringLiteral("宋体"), 12));
    doc.setPlainText(plain);
    return doc.toHtml();
}

// Loads the whole tree; every run must bring all `nodes` nodes.
Runs timeTreeLoad(QStandardItemModel &model, TreeNodeList &list, int nodes)
{
    return timeRuns(
        5, [&] { loadTreeModel(bookTreeSql(), &model, list); },
        [&] {
            return list.size() == nodes ? QString()
                                        : QStringLiteral("%1 nodes loaded, not %2").arg(list.size()).arg(nodes);
        });
}

QString anyId(const QString &where)
{
    QueryPtr q = openQuery("SELECT ID FROM BookTree WHERE " + where + " LIMIT 1");
    return q->next() ? q->value(0).toString() : QString();
}

int countRows(const QString &where)
{
    QueryPtr q = openQuery("SELECT COUNT(*) FROM BookTree WHERE " + where);
    return q->next() ? q->value(0).toInt() : -1;
}

int liveChildren(const QString &parentId) { return countRows("pID=" + quoteSql(parentId) + " AND Flag<>'D'"); }

// Why the chapter's stored text differs from the editor's after a save; empty when equal.
QString savedAsShown(const QString &id, const MyTextEdit *editor)
{
    const BookStore::Chapter c = BookStore::readChapter(id);
    if (!c.found)
        return QStringLiteral("the chapter is gone");
    if (c.plainText != editor->toPlainText())
        return QStringLiteral("the stored text differs from the editor's");
    return editor->document()->isModified() ? QStringLiteral("the editor is still modified") : QString();
}

QString idAt(const QModelIndex &index)
{
    const TreeNodeInfo *info = TreeNodeInfo::of(index);
    return info ? info->id : QString();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    QTemporaryDir dir;
    useProfileRoot(dir.path());
    g_SysParams.autoBackupDb = false;
    const QString missing = missingSqlDriver(sqlDriverName());
    if (!missing.isEmpty())
        return benchFail("book benchmarks", missing);
    if (!g_App.init())
        return benchFail("book benchmarks", QStringLiteral("App::init failed"));
    g_SysParams.autoBackupDb = false;
    // Diagnostic run without disk syncs: separates the program's own work from the disk's.
    if (qEnvironmentVariableIsSet("INKBOAT_BENCH_NOSYNC")) {
        for (const char *schema : {"main", "L"})
            execSql(QStringLiteral("PRAGMA %1.synchronous=OFF").arg(QLatin1String(schema)));
    }

    // --- tree load, growth ---
    {
        QStandardItemModel model;
        TreeNodeList list;
        fillBooks(200, 10, 9, QString(), QString()); // 200 + 2,000 + 18,000 = 20,200 nodes
        const Runs t20 = timeTreeLoad(model, list, 20200);
        benchReport("book tree load, 20,200 nodes", t20, "ms", below(300, "ms"));
        fillBooks(800, 10, 9, QString(), QString(), 200); // 101,000 nodes
        const Runs t100 = timeTreeLoad(model, list, 101000);
        benchNote("book tree load, 101,000 nodes", t100, "ms");
        // Linear growth gives about 5x (a little more as the items outgrow the caches); the
        // forward search it replaces grows with the square, 25x.
        const double ratio = t100.median() / t20.median();
        benchReport("book tree load growth for 5x nodes", ratio, "x time", {"< 10 (quadratic: 25)", [](double v) {
                        return v < 10;
                    }},
                    t20.ok() && t100.ok() ? QString() : QStringLiteral("a tree load failed"));
        execSql("DELETE FROM BookTree");
    }

    // --- reload with re-selection at 20,000 nodes ---
    {
        fillBooks(200, 10, 9, QString(), QStringLiteral("短"));
        BenchPrompter prompter;
        QWidget host;
        auto *view = new TreeView(&host);
        auto *editor = new MyTextEdit(&host);
        BookController book(view, editor);
        book.loadTree();
        const QString chapterId = anyId("NodeType=3 AND Title='第5章' ORDER BY rowid DESC");
        book.selectNode(chapterId);
        editor->insertPlainText(QStringLiteral("改"));
        const QString typed = editor->toPlainText();
        // The modified chapter is saved, stays in the editor and is current again.
        const Runs runs = timeRuns(
            5, [&] { book.loadTree(); },
            [&] {
                if (book.currentChapterId() != chapterId || idAt(view->currentSourceIndex()) != chapterId)
                    return QStringLiteral("the chapter is not selected again");
                if (editor->toPlainText() != typed)
                    return QStringLiteral("the editor lost the typed text");
                if (book.records().size() != 20200)
                    return QStringLiteral("%1 nodes loaded, not 20200").arg(book.records().size());
                return savedAsShown(chapterId, editor);
            });
        benchReport("book tree reload with re-selection, 20,200 nodes", runs, "ms", below(400, "ms"));
        execSql("DELETE FROM BookTree");
    }

    // --- a 200 MB profile: 5 books × 10 volumes × 100 chapters of 3,000 characters ---
    {
        const QString plain = chapterText(3000);
        QString html = htmlOf(plain);
        fillBooks(5, 10, 100, html, plain);
        // One more book of the same chapters brings the file to about 200 MB.
        fillBooks(1, 14, 100, html, plain, 5);
        execSql("DELETE FROM L.BookLog");
        const double mb = QFileInfo(g_App.appDataPath() + "Inkboat.sdb").size() / 1048576.0;
        benchNote("main file size", mb, "MB");

        BenchPrompter prompter;
        QWidget host;
        auto *view = new TreeView(&host);
        auto *editor = new MyTextEdit(&host);
        editor->setResetOnAsciiKey(true);
        BookController book(view, editor);
        host.resize(1200, 800);
        host.show();
        book.loadTree();

        // Opening a chapter of the largest size.
        const QString longPlain = chapterText(Ink::maxArticleLength);
        const QString bigId = anyId("NodeType=3 ORDER BY rowid DESC");
        execPrepared("UPDATE BookTree SET HTML=?,PlainText=? WHERE ID=?", {htmlOf(longPlain), longPlain, bigId});
        const QString otherId = anyId("NodeType=3");
        Runs runs = timeRuns(
            7,
            [&] {
                book.selectNode(bigId);
                QApplication::processEvents();
            },
            [&] {
                if (book.currentChapterId() != bigId)
                    return QStringLiteral("the chapter is not open");
                return editor->toPlainText() == longPlain ? QString() : QStringLiteral("the editor shows other text");
            },
            [&] { book.selectNode(otherId); });
        benchReport("open 10,240-character chapter", runs, "ms", below(50, "ms"));

        // Typing up to the limit (from 450 characters below it), each key with its repaint.
        {
            QTextCursor cut(editor->document());
            cut.movePosition(QTextCursor::End);
            cut.movePosition(QTextCursor::PreviousCharacter, QTextCursor::KeepAnchor, 450);
            cut.removeSelectedText();
        }
        editor->moveCursor(QTextCursor::End);
        PaintCounter paints;
        editor->viewport()->installEventFilter(&paints);
        int i = 0, length = 0, paintsBefore = 0;
        runs = timeRuns(
            300,
            [&] { typeOneStep(editor, i); },
            [&] {
                QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QStringLiteral("字"));
                QApplication::sendEvent(editor, &release);
                const int added = i++ % 2 ? 2 : 1;
                if (editor->document()->characterCount() != length + added)
                    return QStringLiteral("the key did not reach the text");
                return paints.paints > paintsBefore ? QString() : QStringLiteral("no repaint after the key");
            },
            [&] {
                length = editor->document()->characterCount();
                paintsBefore = paints.paints;
            });
        editor->viewport()->removeEventFilter(&paints);
        benchReport("key press with repaint, 9,790 to 10,240 characters (median)", runs, "ms", below(2, "ms"));
        book.openArticle(bigId); // the typing is not kept

        // Saving chapters with their log rows.
        QueryPtr ids = openQuery("SELECT ID FROM BookTree WHERE NodeType=3 ORDER BY rowid LIMIT 40 OFFSET 100");
        QStringList chapterIds;
        while (ids->next())
            chapterIds << ids->value(0).toString();
        ids.reset();
        i = 0;
        runs = timeRuns(
            chapterIds.size(), [&] { book.saveArticle(); }, [&] { return savedAsShown(chapterIds.at(i++), editor); },
            [&] {
                book.selectNode(chapterIds.at(i));
                editor->moveCursor(QTextCursor::End);
                editor->insertPlainText(QStringLiteral("又一句。"));
            });
        benchReport("save chapter with log row, 200 MB file (median)", runs, "ms", below(20, "ms"));

        {
            // What one commit costs on this disk: the floor of every write below.
            int n = 0;
            benchNote("one small committed transaction (disk sync floor)",
                      timeRuns(
                          20, [&] { setSysParam(QStringLiteral("Bench.Commit"), QString::number(++n), true); },
                          [&] {
                              return getSysParam(QStringLiteral("Bench.Commit")) == QString::number(n)
                                         ? QString()
                                         : QStringLiteral("the parameter was not stored");
                          }),
                      "ms");
            QString html;
            benchNote("editor HTML of a 3,000-character chapter", timeRuns(20, [&] { html = editor->toHtml(); }, [&] {
                          return html.contains(QStringLiteral("又一句。")) ? QString()
                                                                           : QStringLiteral("the chapter is not in it");
                      }),
                      "ms");
        }
        {
            const QString vid = anyId("NodeType=2 AND Title='第7卷'");
            const int chapters = liveChildren(vid);
            auto kept = [&](int expected) {
                const int n = liveChildren(vid);
                if (n != expected)
                    return QStringLiteral("%1 chapters in the volume, not %2").arg(n).arg(expected);
                const int numbered =
                    countRows("pID=" + quoteSql(vid) + " AND Flag<>'D' AND Sort BETWEEN 1 AND " + QString::number(n));
                return numbered == n ? QString() : QStringLiteral("the chapters are not numbered 1 to %1").arg(n);
            };
            benchNote("store only: renumber a 100-chapter volume",
                      timeRuns(7, [&] { resortChildren("BookTree", vid); }, [&] { return kept(chapters); }), "ms");
            QStringList added;
            benchNote("store only: insert chapter",
                      timeRuns(
                          7, [&] { added << BookStore::insertNode(vid, 3, 2, "x", 101, QString()).id; },
                          [&] { return kept(chapters + added.size()); }),
                      "ms");
            QString gone;
            benchNote("store only: delete chapter",
                      timeRuns(
                          7, [&] { BookStore::deleteNode(gone); },
                          [&] {
                              return BookStore::readChapter(gone).found ? QStringLiteral("the chapter is still there")
                                                                        : kept(chapters + added.size());
                          },
                          [&] { gone = added.takeLast(); }),
                      "ms");
            QString moved;
            benchNote("store only: move chapter",
                      timeRuns(
                          7,
                          [&] {
                              BookStore::moveNode(moved, anyId("pID=" + quoteSql(vid) + " AND Flag<>'D' AND Sort=1"),
                                                  true);
                          },
                          [&] {
                              return anyId("pID=" + quoteSql(vid) + " AND Flag<>'D' AND Sort=1") == moved
                                         ? kept(chapters)
                                         : QStringLiteral("the chapter is not first");
                          },
                          [&] {
                              moved = anyId("pID=" + quoteSql(vid) + " AND Flag<>'D' AND Sort=" +
                                            QString::number(chapters));
                          }),
                      "ms");
        }
        // New chapter in a 100-chapter volume, new book, delete, drop: each through the panel,
        // each seen in the file and in the tree.
        const QString volumeId = anyId("NodeType=2 AND Title='第3卷'");
        int before = 0;
        bool done = false;
        auto measure = [&](const char *name, const std::function<void()> &prepare, const std::function<void()> &act,
                           const std::function<QString()> &check) {
            benchReport(QString::fromUtf8(name), timeRuns(7, act, check, prepare), "ms", below(50, "ms"));
        };
        auto added = [&](const QString &where, const QModelIndex &parent) {
            if (!done)
                return QStringLiteral("the panel refused the new node");
            const int n = countRows(where);
            if (n != before + 1)
                return QStringLiteral("%1 nodes in the file, not %2").arg(n).arg(before + 1);
            return book.model()->rowCount(parent) == n ? QString() : QStringLiteral("the tree does not show it");
        };
        const QString inVolume = "pID=" + quoteSql(volumeId) + " AND Flag<>'D'";
        measure(
            "new chapter in a 100-chapter volume",
            [&] {
                book.selectNode(volumeId);
                before = countRows(inVolume);
            },
            [&] { done = book.addBookNode(false, false); },
            [&] { return added(inVolume, book.findSourceIndex(volumeId)); });
        const QString books = QStringLiteral("NodeType=1 AND Flag<>'D'");
        measure(
            "new book", [&] { before = countRows(books); }, [&] { done = book.addBookNode(true, false); },
            [&] { return added(books, QModelIndex()); });
        QString node;
        measure(
            "delete chapter",
            [&] {
                book.selectNode(volumeId);
                if (!book.addBookNode(false, false))
                    throw std::runtime_error("no chapter to delete");
                view->closePersistentEditor(view->currentIndex());
                node = idAt(view->currentSourceIndex());
            },
            [&] { book.deleteCurrentNode(); },
            [&] {
                if (BookStore::readChapter(node).found)
                    return QStringLiteral("the chapter is still in the file");
                return book.findSourceIndex(node).isValid() ? QStringLiteral("the tree still shows the chapter")
                                                            : QString();
            });
        measure(
            "drop chapter among 100 siblings",
            [&] {
                const QModelIndex vol = book.findSourceIndex(volumeId);
                const QModelIndex last = book.model()->index(book.model()->rowCount(vol) - 1, 0, vol);
                view->proxySetCurrentIndex(last);
                node = idAt(last);
            },
            [&] {
                const QModelIndex vol = book.findSourceIndex(volumeId);
                book.dropCurrentOn(book.model()->index(0, 0, vol), TreeView::AboveItem);
            },
            [&] {
                if (anyId(inVolume + " AND Sort=1") != node)
                    return QStringLiteral("the chapter is not first in the file");
                const QModelIndex vol = book.findSourceIndex(volumeId);
                if (idAt(book.model()->index(0, 0, vol)) != node)
                    return QStringLiteral("the chapter is not first in the tree");
                return QString();
            });
    }
    g_App.deinit();
    return benchExitCode();
}
