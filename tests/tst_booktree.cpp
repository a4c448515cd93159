// The book tree against a real database: building, adding, renaming, deleting, dragging, sorting.
#include "BookSteps.h"
#include "BookTestCase.h"
#include "Columns.h"
#include "Folders.h"

#include "book/BookPlace.h"
#include "book/BookTree.h"
#include "book/BookTransferController.h"
#include "storage/Database.h"
#include "storage/DbLock.h"

#include <QtTest>
#include <QtWidgets>

namespace {
const QString smallShape = QStringLiteral("书一(卷一(章一,章二,章三),卷二(章四)),书二");
const QString noInsert = QStringLiteral(
    "CREATE TEMP TRIGGER no_insert BEFORE INSERT ON main.BookTree BEGIN SELECT RAISE(ABORT,'满了'); END");
const QString noRename = QStringLiteral("CREATE TEMP TRIGGER no_rename BEFORE UPDATE OF Title ON main.BookTree "
                                        "BEGIN SELECT RAISE(ABORT,'磁盘已满'); END");
int unsyncedRows() { return scalar("SELECT COUNT(*) FROM BookTree WHERE Synced=0").toInt(); }
} // namespace

class TestBookTree : public BookTestCase
{
    Q_OBJECT
private slots:

    void buildsShapeFromScrambledRows()
    {
        // Rows in an order unrelated to the tree; deleted rows and their subtrees stay out, and so do
        // rows whose parents point at each other.
        clearBookTables();
        insertBookRows({"C3|V1|3|2|3|章三", "V2|B1|2|1|2|卷二", "B2||1|0|2|书二", "C1|V1|3|2|1|章一", "GONE||1|0|3|删掉的书|D",
                        "ORPHAN|GONE|2|1|1|孤卷", "C4|V2|3|2|1|章四", "X|Y|2|1|1|环", "V1|B1|2|1|1|卷一",
                        "C2|V1|3|2|2|章二", "B1||1|0|1|书一", "DEL|V2|3|2|0.5|删掉的章|D", "Y|X|2|1|1|环"});

        BookHost host;
        QCOMPARE(shape(host.book->model()), smallShape);
        QCOMPARE(host.book->records().size(), 8);
        const QModelIndex c2 = host.sourceOf("C2");
        QVERIFY(c2.isValid());
        QCOMPARE(TreeNodeInfo::of(c2)->pID + TreeNodeInfo::of(c2)->_type + QString::number(nodeDepth(c2)), "V1Book3");
        // A reload gives the same tree, frees the old records and keeps the model consistent.
        QAbstractItemModelTester tester(host.book->proxy(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        host.book->loadTree();
        QCOMPARE(shape(host.book->model()), smallShape);
        QCOMPARE(host.book->records().size(), 8);
    }

    void addsNodes_data()
    {
        // failure: a statement making the insert fail
        // expected: pID|NodeType|Level|Sort|Title|Flag|Usn|Synced|Category; "" = none
        COLUMNS(QString, current, bool, asBook, bool, sameLevel, QString, failure, QString, expected);
        QTest::newRow("book without selection") << "" << true << false << "" << "|1|0|3|新书|A|0|0|Book";
        QTest::newRow("book while a chapter is current") << "C2" << true << false << "" << "|1|0|3|新书|A|0|0|Book";
        QTest::newRow("volume under a book") << "B1" << false << false << "" << "B1|2|1|3|新卷|A|0|0|Book";
        QTest::newRow("chapter under a volume") << "V1" << false << false << "" << "V1|3|2|4|新章节|A|0|0|Book";
        QTest::newRow("same level as a book") << "B2" << false << true << "" << "|1|0|3|新书|A|0|0|Book";
        QTest::newRow("same level as a chapter") << "C4" << false << true << "" << "V2|3|2|2|新章节|A|0|0|Book";
        QTest::newRow("child of a chapter") << "C1" << false << false << "" << "";
        QTest::newRow("insert fails") << "V2" << false << false << noInsert << "";
    }

    void addsNodes()
    {
        FETCH(QString, current, bool, asBook, bool, sameLevel, QString, failure, QString, expected);
        BookHost host;
        if (!current.isEmpty())
            host.select(current);
        if (!failure.isEmpty())
            execSql(failure);
        QCOMPARE(host.book->addBookNode(asBook, sameLevel), !expected.isEmpty());
        QCOMPARE(host.prompts.errors().size(), failure.isEmpty() ? 0 : 1);
        if (expected.isEmpty()) {
            // Refused or failed: table, tree and current node as they were, no transaction left open.
            QVERIFY(failure.isEmpty() || host.prompts.errors()[0].startsWith("新增文章出错，错误信息：\n"));
            QCOMPARE(QString("%1 %2 %3 %4").arg(scalar("SELECT COUNT(*) FROM BookTree").toInt())
                         .arg(shape(host.book->model()), host.currentId()).arg(openTransactionCount()),
                     QString("8 %1 %2 0").arg(smallShape, current));
            return;
        }
        const QString id = host.currentId();
        QCOMPARE(id.size(), 32);
        QCOMPARE(row(id, "pID,NodeType,Level,Sort,Title,Flag,Usn,Synced,Category"), expected);
        QVERIFY(!startupChangesPending()); // a NULL parent would copy and repair at the next start
        // The new node is the editor's chapter, opens for renaming, and is stored in the chapter font;
        // a new book or volume has no text to write in.
        QCOMPARE(host.book->currentChapterId(), id);
        QCOMPARE(host.editor->isReadOnly(), expected.section('|', 1, 1) != "3");
        QVERIFY(host.view->viewport()->findChild<QLineEdit *>() && row(id, "HTML").contains(QStringLiteral("宋体")));
        QCOMPARE(unsyncedRows(), 1); // the siblings kept their numbers
    }

    void renames_data()
    {
        // error: a part of the message shown, empty for none
        COLUMNS(QString, typed, QString, stored, QString, error);
        QTest::newRow("plain") << "第一章 风起" << "第一章 风起" << "";
        const QString awkward = "他说'走'\"吧\"\\n 🌙 %1 %2 %%";
        QTest::newRow("quotes, backslash, emoji, placeholders") << awkward << awkward << "";
        QTest::newRow("empty keeps the old title") << "" << "章二" << "";
        QTest::newRow("blank keeps the old title") << "   " << "章二" << "";
        QTest::newRow("failed write restores the old title") << "新名字" << "章二" << "磁盘已满";
        QTest::newRow("400 characters fit") << QString(400, QChar(0x5B57)) << QString(400, QChar(0x5B57)) << "";
        QTest::newRow("401 characters refused") << QString(401, QChar(0x5B57)) << "章二" << "标题不能超过400个字符";
    }

    void renames()
    {
        FETCH(QString, typed, QString, stored, QString, error);
        BookHost host;
        if (error == "磁盘已满")
            execSql(noRename);
        const QModelIndex c2 = host.sourceOf("C2");
        host.book->model()->itemFromIndex(c2)->setText(typed);
        // Stored, shown and kept in the node alike; only a changed title is marked for the sync.
        QCOMPARE(row("C2", "Title,Usn,Synced") + "|" + c2.data().toString() + "|" + TreeNodeInfo::of(c2)->title,
                 stored + (stored == "章二" ? "|7|1|" : "|0|0|") + stored + "|" + stored);
        QCOMPARE(host.prompts.errors().size(), error.isEmpty() ? 0 : 1);
        QVERIFY2(host.prompts.errors().join("").contains(error), qPrintable(host.prompts.errors().join("")));
    }

    // The open node holds unsaved edits: only the delete is asked. Deleted, its text cannot come
    // back through a save and the siblings are renumbered from 1; not deleted (refused, failed), it
    // stays open with the edits, which save. A node without text opens read-only.
    void scenarios_data()
    {
        COLUMNS(QString, steps, QString, seen);
        const QString del = "; delete; =asked; =errors; =row %1 Flag,Usn,Synced; =open; =text; "
                            "=sql SELECT COUNT(*) FROM BookTree WHERE Synced=0; tick; =row %1 Flag,PlainText; "
                            "=row C2 Sort; =row C3 Sort; store %1; =shape; reload; =shape";
        QTest::newRow("delete: yes") << "select C1; type 未保存的字; yes" + del.arg("C1") << "确定删除<章一>吗？; ; D|0|0; C2; 章二; 3; D|章一; 1; 2; refused; 书一(卷一(章二,章三),卷二(章四)),书二; 书一(卷一(章二,章三),卷二(章四)),书二";
        QTest::newRow("delete: no") << "select C1; type 未保存的字; no" + del.arg("C1") << "确定删除<章一>吗？; ; A|7|1; C1; 章一未保存的字*; 0; A|章一未保存的字; 2; 3; stored; 书一(卷一(章一,章二,章三),卷二(章四)),书二; 书一(卷一(章一,章二,章三),卷二(章四)),书二";
        QTest::newRow("delete: dismissed") << "select C1; type 未保存的字; dismiss" + del.arg("C1") << "确定删除<章一>吗？; ; A|7|1; C1; 章一未保存的字*; 0; A|章一未保存的字; 2; 3; stored; 书一(卷一(章一,章二,章三),卷二(章四)),书二; 书一(卷一(章一,章二,章三),卷二(章四)),书二";
        QTest::newRow("delete: volume with chapters") << "select V1; type 未保存的字; yes" + del.arg("V1") << "; ; A|7|1; V1; 卷一未保存的字*; 0; A|卷一未保存的字; 2; 3; stored; 书一(卷一(章一,章二,章三),卷二(章四)),书二; 书一(卷一(章一,章二,章三),卷二(章四)),书二";
        QTest::newRow("delete fails") << "select C1; type 未保存的字; fail UPDATE OF Flag ON main.BookTree WHEN NEW.Flag='D'; "
                                         "yes" + del.arg("C1") << "确定删除<章一>吗？; 写不进 Unable to execute statement; A|7|1; C1; 章一未保存的字*; 0; A|章一未保存的字; 2; 3; stored; 书一(卷一(章一,章二,章三),卷二(章四)),书二; 书一(卷一(章一,章二,章三),卷二(章四)),书二";
        const QString ro = "sql UPDATE BookTree SET HTML='%2', PlainText='' WHERE ID='%1'; reload; select %1; =ro; select C1; =ro";
        QTest::newRow("empty book") << ro.arg("B2", "") << "ro; rw";
        QTest::newRow("volume with blank lines") << ro.arg("V2", "<p> </p><p></p>") << "ro; rw";
        QTest::newRow("book holding text") << ro.arg("B1", "<p>旧版本写在书里的字</p>") << "rw; rw";
        // Sorted by modification, newest first; a rename makes the node the newest.
        QTest::newRow("sort by modified") << "sql UPDATE BookTree SET Updated='2021-05-01' WHERE ID='C2'; sql UPDATE BookTree SET "
                                             "Updated='2022-05-01' WHERE ID='C3'; reload; sortmod; =shown V1; rename C1 章一改; "
                                             "=shown V1; sortplain; =shown V1" << "章三,章二,章一; 章一改,章三,章二; 章一改,章二,章三";
        QTest::newRow("empty chapter") << ro.arg("C4", "") << "rw; rw";
    }
    void scenarios()
    {
        FETCH(QString, steps, QString, seen);
        BookHost host;
        QCOMPARE(play(host, steps), seen);
    }

    void drops_data()
    {
        // order: of the dragged node's siblings afterwards
        COLUMNS(QString, dragged, QString, target, int, position, bool, fromView, bool, accepted, QString, order);
        const QString same = "章一,章二,章三";
        QTest::newRow("last above first") << "C3" << "C1" << int(TreeView::AboveItem) << true << true << "章三,章一,章二";
        QTest::newRow("first below last") << "C1" << "C3" << int(TreeView::BelowItem) << true << true << "章二,章三,章一";
        QTest::newRow("first below second") << "C1" << "C2" << int(TreeView::BelowItem) << true << true << "章二,章一,章三";
        QTest::newRow("last above second") << "C3" << "C2" << int(TreeView::AboveItem) << true << true << "章一,章三,章二";
        QTest::newRow("books") << "B2" << "B1" << int(TreeView::AboveItem) << true << true << "书二,书一";
        QTest::newRow("onto a sibling") << "C1" << "C2" << int(TreeView::OnItem) << true << false << same;
        QTest::newRow("onto the viewport") << "C1" << "C2" << int(TreeView::OnViewport) << true << false << same;
        QTest::newRow("other volume") << "C1" << "C4" << int(TreeView::AboveItem) << true << false << same;
        QTest::newRow("onto itself") << "C1" << "C1" << int(TreeView::BelowItem) << true << false << same;
        QTest::newRow("from elsewhere") << "C3" << "C1" << int(TreeView::AboveItem) << false << false << same;
    }

    void drops()
    {
        FETCH(QString, dragged, QString, target, int, position, bool, fromView, bool, accepted, QString, order);
        BookHost host;
        host.select(dragged);
        const auto pos = TreeView::DropIndicatorPosition(position);
        QObject other;
        QCOMPARE(host.book->canDrop(fromView ? static_cast<QObject *>(host.view) : &other, host.sourceOf(target), pos),
                 accepted);
        if (!fromView)
            return;
        host.book->dropCurrentOn(host.sourceOf(target), pos);
        const QString parent = row(dragged, "pID");
        const int level = row(dragged, "Level").toInt();
        auto shown = [&]() { // the titles of the parent's children
            QStringList titles;
            for (int r = 0; r < host.book->model()->rowCount(host.sourceOf(parent)); ++r)
                titles << host.book->model()->index(r, 0, host.sourceOf(parent)).data().toString();
            return titles.join(',');
        };
        // The stored order equals the shown one, numbered 1..n at the same level.
        QStringList stored;
        for (const QString &title : order.split(','))
            stored << QStringLiteral("%1:%2:%3").arg(title).arg(stored.size() + 1).arg(level);
        QCOMPARE(scalar("SELECT group_concat(Title||':'||printf('%g',Sort)||':'||Level) FROM (SELECT * FROM BookTree "
                        "WHERE pID=" + quoteSql(parent) + " ORDER BY Sort)").toString(),
                 stored.join(','));
        QCOMPARE(shown(), order);
        if (!accepted) {
            QCOMPARE(unsyncedRows(), 0);
            return;
        }
        QCOMPARE(host.currentId(), dragged);
        host.book->loadTree();
        QCOMPARE(shown(), order);
    }

    // An import that rewrites the chapter in the editor: the edits are saved first, then the
    // editor shows the imported text, and the next autosave leaves it alone.
    void importRewritesOpenChapter()
    {
        BookHost host;
        host.select("C1");
        host.type("改");
        QTemporaryDir dir;
        writeFiles(dir.path(), {{"书一＃卷一＃章一.txt", "导入的\r\n文字"}, {"新书＃新卷.txt", "卷"}});
        ScriptedPrompter &prompter = host.prompts;
        prompter.directories << dir.path() << dir.path() + "/out";
        prompter.answers << Ink::maNo;
        BookTransferController transfer(host.book);
        transfer.importFolder();
        QCOMPARE(scalar("SELECT COUNT(*) FROM L.BookLog WHERE BookID='C1'").toInt(), 1); // the edits were saved
        QCOMPARE(host.book->currentChapterId() + host.currentId() + host.editor->toPlainText(), "C1C1导入的\n文字");
        host.book->autoSaveTimerUpdate();
        QCOMPARE(row("C1", "PlainText,Attribute1"), QString("导入的\n文字|NEWIMPORT"));
        QCOMPARE(shape(host.book->model()), smallShape + ",新书(新卷)");
        // A book the import made has no HTML: it opens empty, without an error.
        host.select(scalar("SELECT ID FROM BookTree WHERE Title='新书'").toString());
        QCOMPARE(host.editor->toPlainText(), QString());
        QVERIFY(prompter.errors().isEmpty());
        QCOMPARE(prompter.infos().size(), 1);
        // The export starts at the current node and writes the editor's unsaved text.
        host.select("C1");
        host.type("！");
        QVERIFY(QDir(dir.path()).mkdir("out"));
        transfer.exportCurrent();
        QCOMPARE(readBytes(dir.path() + "/out/章一.txt"), QString("导入的\n文字！").toUtf8());
    }

    // The place comes back in a new panel: open nodes, the current node, cursor and scroll; a
    // node deleted meanwhile gives way to the nearest ancestor still there.
    void placeComesBack_data()
    {
        COLUMNS(QString, deleted, QString, current);
        QTest::newRow("the chapter as left") << "" << "C3";
        QTest::newRow("chapter deleted: its volume") << "C3" << "V1";
        QTest::newRow("volume deleted: its book") << "V1" << "B1";
    }
    void placeComesBack()
    {
        FETCH(QString, deleted, QString, current);
        QStringList paragraphs;
        for (int i = 0; i < 400; ++i)
            paragraphs << QStringLiteral("第%1段，风沙吹过城头。").arg(i);
        execPrepared("UPDATE BookTree SET HTML=?, PlainText=? WHERE ID='C3'",
                     {"<p>" + paragraphs.join("</p><p>") + "</p>", paragraphs.join('\n')});
        auto shown = [](BookHost &host) {
            host.editor->setGeometry(100, 0, 400, 400);
            host.window.show();
            return QTest::qWaitForWindowExposed(&host.window);
        };
        BookPlace stored;
        {
            BookHost host;
            QVERIFY(shown(host));
            host.select("C3");
            QTextCursor c = host.editor->textCursor();
            c.setPosition(3000);
            host.editor->setTextCursor(c);
            host.editor->verticalScrollBar()->setValue(host.editor->verticalScrollBar()->maximum() / 2);
            host.view->collapseAll();
            host.view->expand(host.view->fromSource(host.sourceOf("B1")));
            host.view->expand(host.view->fromSource(host.sourceOf("V1")));
            BookPlace::capture(host.book).save();
            stored = BookPlace::load();
            QVERIFY(stored.currentPath == QStringList({"B1", "V1", "C3"}) && stored.scroll > 0);
        }
        if (!deleted.isEmpty())
            execSql(QStringLiteral("UPDATE BookTree SET Flag='D' WHERE ID='%1' OR pID='%1'").arg(deleted));
        BookHost host;
        QVERIFY(shown(host));
        host.view->collapseAll();
        QVERIFY(BookPlace::load().restore(host.book));
        QCOMPARE(host.currentId(), current);
        auto expanded = [&](const char *id) { return host.view->isExpanded(host.view->fromSource(host.sourceOf(id))); };
        QVERIFY(expanded("B1") && !expanded("V2"));
        if (current == "C3") // cursor and scroll
            QCOMPARE(QPoint(host.editor->textCursor().position(), host.editor->verticalScrollBar()->value()),
                     QPoint(3000, stored.scroll));
    }

};

QTEST_MAIN(TestBookTree)
#include "tst_booktree.moc"
