// The book tree against a real database: building, adding, renaming, deleting, dragging, sorting.
#include "TestProfile.h"

#include "app/App.h"
#include "app/Exception.h"
#include "book/BookController.h"
#include "book/BookStore.h"
#include "book/BookTree.h"
#include "book/MyTextEdit.h"
#include "book/TreeView.h"
#include "storage/DataAccess.h"

#include <QAbstractItemModelTester>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QStandardItemModel>
#include <QtTest>

#include <memory>

namespace {

void insertRow(const QString &id, const QString &pid, int nodeType, int level, double sort, const QString &title,
               const QString &flag = QStringLiteral("A"), const QString &updated = QStringLiteral("2020-01-01 00:00:00.000"))
{
    execPrepared(QStringLiteral("INSERT INTO BookTree(ID,pID,NodeType,Level,Sort,Title,Category,HTML,PlainText,"
                                "Flag,Usn,Synced,Updated) VALUES(?,?,?,?,?,?,'Book','','',?,7,1,?)"),
                 {id, pid, nodeType, level, sort, title, flag, updated});
}

QVariant scalar(const QString &sql)
{
    QueryPtr q = openQuery(sql);
    return q->next() ? q->value(0) : QVariant();
}

QString row(const QString &id, const QString &columns)
{
    QueryPtr q = openQuery(QStringLiteral("SELECT %1 FROM BookTree WHERE ID=%2").arg(columns, quoteSql(id)));
    if (!q->next())
        return QStringLiteral("<none>");
    QStringList parts;
    for (int i = 0; i < q->record().count(); ++i)
        parts << q->value(i).toString();
    return parts.join(QLatin1Char('|'));
}

// "title(child,child)" of a model level, in the order shown.
QString shape(const QAbstractItemModel *model, const QModelIndex &parent = QModelIndex())
{
    QStringList parts;
    for (int r = 0; r < model->rowCount(parent); ++r) {
        const QModelIndex index = model->index(r, 0, parent);
        QString s = index.data().toString();
        if (model->rowCount(index) > 0)
            s += QLatin1Char('(') + shape(model, index) + QLatin1Char(')');
        parts << s;
    }
    return parts.join(QLatin1Char(','));
}

struct Host {
    QWidget window;
    TreeView *view;
    MyTextEdit *editor;
    BookController *book;
    QStringList asked;
    QList<int> answers;
    QStringList errors;

    Host()
    {
        view = new TreeView(&window);
        editor = new MyTextEdit(&window);
        book = new BookController(view, editor, &window);
        book->askHook = [this](const QString &text) {
            asked << text;
            return answers.isEmpty() ? int(Ink::maYes) : answers.takeFirst();
        };
        book->errorHook = [this](const QString &text) { errors << text; };
    }
    QModelIndex sourceOf(const QString &id) const { return book->findSourceIndex(id); }
    void select(const QString &id) { book->selectNode(id); }
    QString currentId() const
    {
        const TreeNodeInfo *info = TreeNodeInfo::of(view->currentIndex());
        return info ? info->id : QString();
    }
};

// B1(V1(C1,C2,C3),V2(C4)), B2
void smallLibrary()
{
    insertRow("B1", "", 1, 0, 1, "书一");
    insertRow("B2", "", 1, 0, 2, "书二");
    insertRow("V1", "B1", 2, 1, 1, "卷一");
    insertRow("V2", "B1", 2, 1, 2, "卷二");
    insertRow("C1", "V1", 3, 2, 1, "章一");
    insertRow("C2", "V1", 3, 2, 2, "章二");
    insertRow("C3", "V1", 3, 2, 3, "章三");
    insertRow("C4", "V2", 3, 2, 1, "章四");
}

} // namespace

class TestBookTree : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_profile = std::make_unique<TestProfile>();
        QVERIFY(startApp().ok);
    }
    void cleanupTestCase()
    {
        stopApp();
        m_profile.reset();
    }
    void init()
    {
        execSql("DELETE FROM BookTree");
        execSql("DELETE FROM L.BookLog");
        QueryPtr q = openQuery("SELECT name FROM temp.sqlite_master WHERE type='trigger'");
        QStringList triggers;
        while (q->next())
            triggers << q->value(0).toString();
        q.reset();
        for (const QString &t : triggers)
            execSql("DROP TRIGGER temp." + t);
    }

    void buildsShapeFromScrambledRows()
    {
        // Inserted in an order unrelated to the tree; the query orders by level, parent and sort.
        insertRow("C3", "V1", 3, 2, 3, "章三");
        insertRow("V2", "B1", 2, 1, 2, "卷二");
        insertRow("B2", "", 1, 0, 2, "书二");
        insertRow("C1", "V1", 3, 2, 1, "章一");
        insertRow("GONE", "", 1, 0, 3, "删掉的书", "D");
        insertRow("ORPHAN", "GONE", 2, 1, 1, "孤卷");
        insertRow("C4", "V2", 3, 2, 1, "章四");
        insertRow("V1", "B1", 2, 1, 1, "卷一");
        insertRow("C2", "V1", 3, 2, 2, "章二");
        insertRow("B1", "", 1, 0, 1, "书一");
        insertRow("DEL", "V2", 3, 2, 0.5, "删掉的章", "D");

        Host host;
        QAbstractItemModelTester tester(host.book->proxy(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        host.book->loadTree();
        QCOMPARE(shape(host.book->model()), QString("书一(卷一(章一,章二,章三),卷二(章四)),书二"));
        QCOMPARE(host.book->records().size(), 8);
        // Every item carries its own record.
        const QModelIndex c2 = host.sourceOf("C2");
        QVERIFY(c2.isValid());
        QCOMPARE(TreeNodeInfo::of(c2)->pID, QString("V1"));
        QCOMPARE(TreeNodeInfo::of(c2)->_type, QString("Book"));
        QVERIFY(!c2.data(Qt::DecorationRole).value<QIcon>().isNull());
        QCOMPARE(nodeDepth(c2), 3);

        // A reload gives the same tree and frees the old records.
        host.book->loadTree();
        QCOMPARE(shape(host.book->model()), QString("书一(卷一(章一,章二,章三),卷二(章四)),书二"));
        QCOMPARE(host.book->records().size(), 8);
    }

    void buildIgnoresParentCycles()
    {
        TreeRows rows;
        rows.rows = {{"A", "", "a", "1", {}, {}, {}}, {"X", "Y", "x", "2", {}, {}, {}}, {"Y", "X", "y", "2", {}, {}, {}},
                     {"B", "A", "b", "2", {}, {}, {}}};
        QStandardItemModel model;
        TreeNodeList list;
        buildTreeLevel(rows, &model, nullptr, QString(), list);
        QCOMPARE(shape(&model), QString("a(b)"));
        QCOMPARE(list.size(), 2);
    }

    void addsNodes_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<bool>("asBook");
        QTest::addColumn<bool>("sameLevel");
        QTest::addColumn<QString>("expected"); // pID|NodeType|Level|Sort|Title|Flag|Usn|Synced|Category
        QTest::newRow("book without selection") << "" << true << false << "|1|0|3|新书|A|0|0|Book";
        QTest::newRow("book while a chapter is current") << "C2" << true << false << "|1|0|3|新书|A|0|0|Book";
        QTest::newRow("volume under a book") << "B1" << false << false << "B1|2|1|3|新卷|A|0|0|Book";
        QTest::newRow("chapter under a volume") << "V1" << false << false << "V1|3|2|4|新章节|A|0|0|Book";
        QTest::newRow("same level as a book") << "B2" << false << true << "|1|0|3|新书|A|0|0|Book";
        QTest::newRow("same level as a chapter") << "C4" << false << true << "V2|3|2|2|新章节|A|0|0|Book";
    }

    void addsNodes()
    {
        QFETCH(QString, current);
        QFETCH(bool, asBook);
        QFETCH(bool, sameLevel);
        QFETCH(QString, expected);
        smallLibrary();
        Host host;
        host.book->loadTree();
        if (!current.isEmpty())
            host.select(current);
        QVERIFY(host.book->addBookNode(asBook, sameLevel));
        const QString id = host.currentId();
        QCOMPARE(id.size(), 32);
        QCOMPARE(row(id, "pID,NodeType,Level,Sort,Title,Flag,Usn,Synced,Category"), expected);
        // The new node is the editor's chapter and opens for renaming.
        QCOMPARE(host.book->currentChapterId(), id);
        QVERIFY(!host.editor->isReadOnly());
        QVERIFY(host.view->viewport()->findChild<QLineEdit *>());
        // The stored text is an empty document in the default chapter font.
        QVERIFY(row(id, "HTML").contains(QStringLiteral("宋体")));
        // Its siblings kept their numbers.
        QCOMPARE(row("C1", "Sort,Usn,Synced"), QString("1|7|1"));
    }

    void refusesChildOfChapter()
    {
        smallLibrary();
        Host host;
        host.book->loadTree();
        host.select("C1");
        const QVariant before = scalar("SELECT COUNT(*) FROM BookTree");
        QVERIFY(!host.book->addBookNode(false, false));
        QCOMPARE(scalar("SELECT COUNT(*) FROM BookTree"), before);
        QVERIFY(!host.book->actionState().newSection);
        QVERIFY(!host.book->actionState().newVolume);
    }

    void failedAddLeavesTreeAsItWas()
    {
        smallLibrary();
        Host host;
        host.book->loadTree();
        host.select("V2");
        execSql("CREATE TEMP TRIGGER no_insert BEFORE INSERT ON main.BookTree BEGIN SELECT RAISE(ABORT,'满了'); END");
        QVERIFY(!host.book->addBookNode(false, false));
        QCOMPARE(host.errors.size(), 1);
        QVERIFY(host.errors[0].startsWith("新增文章出错，错误信息：\n"));
        QCOMPARE(shape(host.book->model()), QString("书一(卷一(章一,章二,章三),卷二(章四)),书二"));
        QCOMPARE(host.currentId(), QString("V2"));
        QCOMPARE(openTransactionCount(), 0);
    }

    void actionStates()
    {
        smallLibrary();
        Host host;
        host.book->loadTree();
        BookController::ActionState s = host.book->actionState();
        QVERIFY(s.newBook && !s.newVolume && !s.newSection && !s.newSameLevel && !s.del);
        host.select("B1");
        s = host.book->actionState();
        QVERIFY(s.newVolume && !s.newSection && s.newSameLevel && !s.del); // a book with volumes stays
        host.select("V2");
        s = host.book->actionState();
        QVERIFY(!s.newVolume && s.newSection && !s.del);
        host.select("B2");
        QVERIFY(host.book->actionState().del);
    }

    void renames_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored");
        QTest::newRow("plain") << "第一章 风起" << "第一章 风起";
        QTest::newRow("quotes and backslash") << "他说'走'\"吧\"\\n" << "他说'走'\"吧\"\\n";
        QTest::newRow("emoji and placeholders") << "🌙 %1 %2 %%" << "🌙 %1 %2 %%";
        QTest::newRow("empty keeps the old title") << "" << "章二";
        QTest::newRow("blank keeps the old title") << "   " << "章二";
    }

    void renames()
    {
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        smallLibrary();
        Host host;
        host.book->loadTree();
        const QModelIndex c2 = host.sourceOf("C2");
        host.book->model()->itemFromIndex(c2)->setText(typed);
        QCOMPARE(row("C2", "Title"), stored);
        QCOMPARE(c2.data().toString(), stored);
        QCOMPARE(TreeNodeInfo::of(c2)->title, stored);
        QCOMPARE(row("C2", "Usn,Synced"), stored == "章二" ? QString("7|1") : QString("0|0"));
        QVERIFY(host.errors.isEmpty());
    }

    void failedRenameRestoresTitle()
    {
        smallLibrary();
        Host host;
        host.book->loadTree();
        execSql("CREATE TEMP TRIGGER no_rename BEFORE UPDATE OF Title ON main.BookTree "
                "BEGIN SELECT RAISE(ABORT,'磁盘已满'); END");
        const QModelIndex c2 = host.sourceOf("C2");
        host.book->model()->itemFromIndex(c2)->setText("新名字");
        QCOMPARE(c2.data().toString(), QString("章二"));
        QCOMPARE(row("C2", "Title"), QString("章二"));
        QCOMPARE(host.errors.size(), 1);
        QVERIFY(host.errors[0].startsWith("更改书节点名称出错，错误信息：\n"));
        QVERIFY(host.errors[0].contains("磁盘已满"));
    }

    void deletes_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("flag");
        QTest::newRow("yes") << int(Ink::maYes) << "D";
        QTest::newRow("no") << int(Ink::maNo) << "A";
        QTest::newRow("dismissed") << -1 << "A";
    }

    void deletes()
    {
        QFETCH(int, answer);
        QFETCH(QString, flag);
        smallLibrary();
        Host host;
        host.book->loadTree();
        host.select("C1");
        host.answers << answer;
        host.book->deleteCurrentNode();
        QCOMPARE(host.asked, QStringList{"确定删除<章一>吗？"});
        QCOMPARE(row("C1", "Flag"), flag);
        if (flag == "D") {
            QCOMPARE(row("C1", "Usn,Synced"), QString("0|0"));
            QVERIFY(!host.sourceOf("C1").isValid());
            // The remaining siblings are renumbered from 1.
            QCOMPARE(row("C2", "Sort"), QString("1"));
            QCOMPARE(row("C3", "Sort"), QString("2"));
            host.book->loadTree();
            QCOMPARE(shape(host.book->model()), QString("书一(卷一(章二,章三),卷二(章四)),书二"));
        } else {
            QCOMPARE(row("C2", "Sort,Usn"), QString("2|7"));
        }
    }

    void deleteRefusedForNodeWithChildren()
    {
        smallLibrary();
        Host host;
        host.book->loadTree();
        host.select("V1");
        host.book->deleteCurrentNode();
        QVERIFY(host.asked.isEmpty());
        QCOMPARE(row("V1", "Flag"), QString("A"));
    }

    void deletingOpenModifiedChapterDoesNotBringItBack()
    {
        smallLibrary();
        Host host;
        host.book->loadTree();
        host.select("C2");
        QCOMPARE(host.book->currentChapterId(), QString("C2"));
        host.editor->insertPlainText("未保存的字");
        QVERIFY(host.editor->document()->isModified());
        host.answers << Ink::maYes;
        host.book->deleteCurrentNode();
        // No save question: the deleted chapter is settled first; the next one opens.
        QCOMPARE(host.asked.size(), 1);
        QCOMPARE(row("C2", "Flag"), QString("D"));
        QVERIFY(host.book->currentChapterId() != "C2");
        host.book->autoSaveTimerUpdate();
        host.book->loadTree();
        QCOMPARE(row("C2", "Flag"), QString("D"));
        // The store refuses a deleted row outright.
        QVERIFY_EXCEPTION_THROWN(BookStore::saveChapter("C2", "<p>x</p>", "x"), Exception);
        QCOMPARE(row("C2", "Flag,PlainText"), QString("D|"));
    }

    void dropRules_data()
    {
        QTest::addColumn<QString>("dragged");
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("position");
        QTest::addColumn<bool>("fromView");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("above a sibling") << "C3" << "C1" << int(TreeView::AboveItem) << true << true;
        QTest::newRow("below a sibling") << "C1" << "C3" << int(TreeView::BelowItem) << true << true;
        QTest::newRow("onto a sibling") << "C1" << "C2" << int(TreeView::OnItem) << true << false;
        QTest::newRow("onto the viewport") << "C1" << "C2" << int(TreeView::OnViewport) << true << false;
        QTest::newRow("other volume") << "C1" << "C4" << int(TreeView::AboveItem) << true << false;
        QTest::newRow("onto itself") << "C1" << "C1" << int(TreeView::BelowItem) << true << false;
        QTest::newRow("from elsewhere") << "C3" << "C1" << int(TreeView::AboveItem) << false << false;
        QTest::newRow("books") << "B2" << "B1" << int(TreeView::AboveItem) << true << true;
    }

    void dropRules()
    {
        QFETCH(QString, dragged);
        QFETCH(QString, target);
        QFETCH(int, position);
        QFETCH(bool, fromView);
        QFETCH(bool, accepted);
        smallLibrary();
        Host host;
        host.book->loadTree();
        host.select(dragged);
        const auto pos = TreeView::DropIndicatorPosition(position);
        QObject other;
        QCOMPARE(host.book->canDrop(fromView ? static_cast<QObject *>(host.view) : &other, host.sourceOf(target), pos),
                 accepted);
        const QString before = row("C1", "Sort") + row("C3", "Sort") + row("B2", "Sort");
        if (!host.book->canDrop(host.view, host.sourceOf(target), pos)) {
            host.book->dropCurrentOn(host.sourceOf(target), pos);
            QCOMPARE(row("C1", "Sort") + row("C3", "Sort") + row("B2", "Sort"), before);
            QCOMPARE(scalar("SELECT COUNT(*) FROM BookTree WHERE Synced=0"), QVariant(0));
        }
    }

    void dropWritesOrder_data()
    {
        QTest::addColumn<QString>("dragged");
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("order");
        QTest::newRow("last above first") << "C3" << "C1" << int(TreeView::AboveItem) << "章三,章一,章二";
        QTest::newRow("first below last") << "C1" << "C3" << int(TreeView::BelowItem) << "章二,章三,章一";
        QTest::newRow("first below second") << "C1" << "C2" << int(TreeView::BelowItem) << "章二,章一,章三";
        QTest::newRow("last above second") << "C3" << "C2" << int(TreeView::AboveItem) << "章一,章三,章二";
    }

    void dropWritesOrder()
    {
        QFETCH(QString, dragged);
        QFETCH(QString, target);
        QFETCH(int, position);
        QFETCH(QString, order);
        smallLibrary();
        Host host;
        host.book->loadTree();
        host.select(dragged);
        host.book->dropCurrentOn(host.sourceOf(target), TreeView::DropIndicatorPosition(position));
        const QModelIndex v1 = host.sourceOf("V1");
        QCOMPARE(shape(host.book->model(), v1), order);
        // The stored order equals the shown one, numbered 1..n, and survives a reload.
        QueryPtr q = openQuery("SELECT Title,Sort,Level FROM BookTree WHERE pID='V1' ORDER BY Sort");
        QStringList titles;
        int n = 0;
        while (q->next()) {
            titles << q->value(0).toString();
            QCOMPARE(q->value(1).toDouble(), double(++n));
            QCOMPARE(q->value(2).toInt(), 2);
        }
        QCOMPARE(titles.join(','), order);
        QCOMPARE(host.currentId(), dragged);
        host.book->loadTree();
        QCOMPARE(shape(host.book->model(), host.sourceOf("V1")), order);
    }

    void sortByModified()
    {
        smallLibrary();
        execSql("UPDATE BookTree SET Updated='2021-05-01 10:00:00.000' WHERE ID='C2'");
        execSql("UPDATE BookTree SET Updated='2022-05-01 10:00:00.000' WHERE ID='C3'");
        Host host;
        host.book->loadTree();
        host.book->setSortByModified(true);
        QCOMPARE(shape(host.book->proxy(), host.view->fromSource(host.sourceOf("V1"))), QString("章三,章二,章一"));
        // A rename makes the node the newest.
        host.book->model()->itemFromIndex(host.sourceOf("C1"))->setText("章一改");
        QCOMPARE(shape(host.book->proxy(), host.view->fromSource(host.sourceOf("V1"))), QString("章一改,章三,章二"));
        host.book->setSortByModified(false);
        QCOMPARE(shape(host.book->proxy(), host.view->fromSource(host.sourceOf("V1"))), QString("章一改,章二,章三"));
    }

    void renumbersLargeVolume()
    {
        // More children than a table model fetches at once, in reverse insert order.
        insertRow("B", "", 1, 0, 1, "书");
        insertRow("V", "B", 2, 1, 1, "卷");
        {
            Transaction tx;
            for (int i = 600; i >= 1; --i)
                insertRow(QString("C%1").arg(i, 4, 10, QChar('0')), "V", 3, 5, i * 2.0, QString::number(i));
            tx.commit();
        }
        resortChildren("BookTree", "B");
        QueryPtr q = openQuery("SELECT ID,Sort,Level FROM BookTree WHERE pID='V' ORDER BY Sort");
        int n = 0;
        while (q->next()) {
            ++n;
            QCOMPARE(q->value(0).toString(), QString("C%1").arg(n, 4, 10, QChar('0')));
            QCOMPARE(q->value(1).toInt(), n);
            QCOMPARE(q->value(2).toInt(), 2);
        }
        QCOMPARE(n, 600);
        QCOMPARE(openTransactionCount(), 0);
    }

    void indexesExist()
    {
        QCOMPARE(scalar("SELECT COUNT(*) FROM sqlite_master WHERE type='index' AND name='BookTree_pID_Flag_Sort'"),
                 QVariant(1));
        QueryPtr q = openQuery("EXPLAIN QUERY PLAN " + bookTreeSql());
        QString plan;
        while (q->next())
            plan += q->value(3).toString() + ';';
        QVERIFY2(plan.contains("COVERING INDEX"), qPrintable(plan));
    }

private:
    std::unique_ptr<TestProfile> m_profile;
};

QTEST_MAIN(TestBookTree)
#include "tst_booktree.moc"
