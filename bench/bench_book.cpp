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

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QKeyEvent>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTextDocument>

namespace {

double msSince(const QElapsedTimer &t) { return t.nsecsElapsed() / 1e6; }

// books × volumes × chapters nodes, chapter text `html`/`plain`.
void fillBooks(int books, int volumes, int chapters, const QString &html, const QString &plain, int offset = 0)
{
    Transaction tx;
    QSqlQuery q(g_App.db);
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

double timeTreeLoad(QStandardItemModel &model, TreeNodeList &list)
{
    QVector<double> runs;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer t;
        t.start();
        loadTreeModel(bookTreeSql(), &model, list);
        runs << msSince(t);
    }
    return median(runs);
}

QString anyId(const QString &where)
{
    QueryPtr q = openQuery("SELECT ID FROM BookTree WHERE " + where + " LIMIT 1");
    return q->next() ? q->value(0).toString() : QString();
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
    if (!g_App.init())
        return 1;
    g_SysParams.autoBackupDb = false;
    // Diagnostic run without disk syncs: separates the program's own work from the disk's.
    if (qEnvironmentVariableIsSet("INKBOAT_BENCH_NOSYNC")) {
        for (const char *schema : {"main", "L"})
            execSql(QStringLiteral("PRAGMA %1.synchronous=OFF").arg(QLatin1String(schema)));
    }
    bool ok = true;

    // --- tree load, growth ---
    {
        QStandardItemModel model;
        TreeNodeList list;
        fillBooks(200, 10, 9, QString(), QString()); // 200 + 2,000 + 18,000 = 20,200 nodes
        const double t20 = timeTreeLoad(model, list);
        ok &= benchReport("book tree load, 20,200 nodes", t20, "ms", "< 300 ms", t20 < 300);
        fillBooks(800, 10, 9, QString(), QString(), 200); // 101,000 nodes
        const double t100 = timeTreeLoad(model, list);
        benchNote("book tree load, 101,000 nodes", t100, "ms");
        const double ratio = t100 / t20;
        // Linear growth gives about 5x (a little more as the items outgrow the caches); the
        // forward search it replaces grows with the square, 25x.
        ok &= benchReport("book tree load growth for 5x nodes", ratio, "x time", "< 10 (quadratic: 25)", ratio < 10);
        execSql("DELETE FROM BookTree");
    }

    // --- reload with re-selection at 20,000 nodes ---
    {
        fillBooks(200, 10, 9, QString(), QStringLiteral("短"));
        QWidget host;
        auto *view = new TreeView(&host);
        auto *editor = new MyTextEdit(&host);
        BookController book(view, editor);
        book.errorHook = [](const QString &text) { qWarning("%s", qPrintable(text)); };
        book.askHook = [](const QString &) { return int(Ink::maYes); };
        book.loadTree();
        book.selectNode(anyId("NodeType=3 AND Title='第5章' ORDER BY rowid DESC"));
        editor->insertPlainText(QStringLiteral("改"));
        QVector<double> runs;
        for (int i = 0; i < 5; ++i) {
            QElapsedTimer t;
            t.start();
            book.loadTree();
            runs << msSince(t);
        }
        ok &= benchReport("book tree reload with re-selection, 20,200 nodes", median(runs), "ms", "< 400 ms",
                          median(runs) < 400);
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

        QWidget host;
        auto *view = new TreeView(&host);
        auto *editor = new MyTextEdit(&host);
        editor->setResetOnAsciiKey(true);
        BookController book(view, editor);
        book.errorHook = [](const QString &text) { qWarning("%s", qPrintable(text)); };
        book.askHook = [](const QString &) { return int(Ink::maYes); };
        host.resize(1200, 800);
        host.show();
        book.loadTree();

        // Opening a chapter of the largest size.
        const QString longPlain = chapterText(Ink::maxArticleLength);
        const QString bigId = anyId("NodeType=3 ORDER BY rowid DESC");
        execPrepared("UPDATE BookTree SET HTML=?,PlainText=? WHERE ID=?", {htmlOf(longPlain), longPlain, bigId});
        QVector<double> runs;
        const QString otherId = anyId("NodeType=3");
        for (int i = 0; i < 7; ++i) {
            book.selectNode(otherId);
            QElapsedTimer t;
            t.start();
            book.selectNode(bigId);
            QApplication::processEvents();
            runs << msSince(t);
        }
        ok &= benchReport("open 10,240-character chapter", median(runs), "ms", "< 50 ms", median(runs) < 50);

        // Typing into it.
        runs.clear();
        editor->moveCursor(QTextCursor::End);
        for (int i = 0; i < 300; ++i) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QStringLiteral("字"));
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QStringLiteral("字"));
            QInputMethodEvent ime;
            ime.setCommitString(QStringLiteral("春风"));
            QElapsedTimer t;
            t.start();
            if (i % 2)
                QApplication::sendEvent(editor, &ime);
            else
                QApplication::sendEvent(editor, &press);
            runs << msSince(t);
            QApplication::sendEvent(editor, &release);
            if (i % 100 == 99)
                editor->document()->undo(); // stay within the chapter limit
        }
        ok &= benchReport("key press in 10,240-character chapter (median)", median(runs), "ms", "< 2 ms",
                          median(runs) < 2);
        book.openArticle(bigId); // the typing is not kept

        // Saving chapters with their log rows.
        runs.clear();
        QueryPtr ids = openQuery("SELECT ID FROM BookTree WHERE NodeType=3 ORDER BY rowid LIMIT 40 OFFSET 100");
        QStringList chapterIds;
        while (ids->next())
            chapterIds << ids->value(0).toString();
        ids.reset();
        for (const QString &id : chapterIds) {
            book.selectNode(id);
            editor->moveCursor(QTextCursor::End);
            editor->insertPlainText(QStringLiteral("又一句。"));
            QElapsedTimer t;
            t.start();
            book.saveArticle();
            runs << msSince(t);
        }
        ok &= benchReport("save chapter with log row, 200 MB file (median)", median(runs), "ms", "< 20 ms",
                          median(runs) < 20);

        {
            // What one commit costs on this disk: the floor of every write below.
            QVector<double> commits;
            for (int i = 0; i < 20; ++i) {
                QElapsedTimer t;
                t.start();
                setSysParam(QStringLiteral("Bench.Commit"), QString::number(i), true);
                commits << msSince(t);
            }
            benchNote("one small committed transaction (disk sync floor)", median(commits), "ms");
            QVector<double> html;
            for (int i = 0; i < 20; ++i) {
                QElapsedTimer t;
                t.start();
                const QString h = editor->toHtml();
                html << msSince(t);
            }
            benchNote("editor HTML of a 3,000-character chapter", median(html), "ms");
        }
        {
            const QString vid = anyId("NodeType=2 AND Title='第7卷'");
            auto note = [](const char *name, const std::function<void()> &act) {
                QVector<double> r;
                for (int i = 0; i < 7; ++i) {
                    QElapsedTimer t;
                    t.start();
                    act();
                    r << msSince(t);
                }
                benchNote(QString::fromUtf8(name), median(r), "ms");
            };
            note("store only: renumber a 100-chapter volume", [&]() { resortChildren("BookTree", vid); });
            note("store only: insert chapter", [&]() { BookStore::insertNode(vid, 3, 2, "x", 101, QString()); });
            note("store only: delete chapter",
                 [&]() { BookStore::deleteNode(anyId("pID=" + quoteSql(vid) + " AND Flag='A' AND Title='x'")); });
            note("store only: move chapter", [&]() {
                BookStore::moveNode(anyId("pID=" + quoteSql(vid) + " AND Sort=100"),
                                    anyId("pID=" + quoteSql(vid) + " AND Sort=1"), true);
            });
        }
        // New chapter in a 100-chapter volume, new book, delete, drop.
        auto measure = [&](const char *name, const std::function<void()> &prepare, const std::function<void()> &act) {
            QVector<double> r;
            for (int i = 0; i < 7; ++i) {
                prepare();
                QElapsedTimer t;
                t.start();
                act();
                r << msSince(t);
            }
            ok &= benchReport(QString::fromUtf8(name), median(r), "ms", "< 50 ms", median(r) < 50);
        };
        const QString volumeId = anyId("NodeType=2 AND Title='第3卷'");
        measure("new chapter in a 100-chapter volume", [&]() { book.selectNode(volumeId); },
                [&]() { book.addBookNode(false, false); });
        measure("new book", [&]() {}, [&]() { book.addBookNode(true, false); });
        measure("delete chapter",
                [&]() {
                    book.selectNode(volumeId);
                    book.addBookNode(false, false);
                    view->closePersistentEditor(view->currentIndex());
                },
                [&]() { book.deleteCurrentNode(); });
        measure("drop chapter among 100 siblings",
                [&]() {
                    const QModelIndex vol = book.findSourceIndex(volumeId);
                    view->proxySetCurrentIndex(book.model()->index(book.model()->rowCount(vol) - 1, 0, vol));
                },
                [&]() {
                    const QModelIndex vol = book.findSourceIndex(volumeId);
                    book.dropCurrentOn(book.model()->index(0, 0, vol), TreeView::AboveItem);
                });
    }
    g_App.deinit();
    return ok ? 0 : 1;
}
