// Search and replace in whole books: what a key matches, scope and grouping, the copy of the
// chapters following every write, the replace as one transaction (also under kill -9) and its undo.
#include "BookHost.h"
#include "BookTestCase.h"
#include "Columns.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "book/BookReplace.h"
#include "book/BookSearch.h"
#include "book/BookSearchController.h"
#include "book/BookStore.h"
#include "log/Log.h"

#include <QtWidgets>

#include <csignal>
#include <cstdio>

namespace {

void setText(const QString &id, const QString &plain, const QString &html = QString())
{
    QString h = html;
    if (h.isEmpty())
        for (const QString &line : plain.split('\n'))
            h += "<p>" + line.toHtmlEscaped() + "</p>";
    execPrepared("UPDATE BookTree SET rtf=?,HTML=?,PlainText=? WHERE ID=?", {plain, h, plain, id});
}

BookSearch::Result find(const QString &key, BookSearch::Scope scope = BookSearch::Scope::AllBooks,
                        const QString &scopeId = QString(), bool titles = false, bool matchCase = false)
{
    return BookSearch::search({key, matchCase, titles, scope, scopeId, {}, {}});
}

// "chapter:count;…" in the order found.
QString grouping(const BookSearch::Result &r)
{
    QStringList parts;
    for (const BookSearch::ChapterHits &h : r.chapters)
        parts << QString("%1:%2").arg(h.chapterId).arg(h.matches.size());
    return parts.join(';');
}

BookReplace::Plan planFor(const QString &key, const QString &replacement)
{
    BookReplace::Plan plan{key, replacement, false, {}, {}};
    for (const BookSearch::ChapterHits &h : find(key).chapters) {
        BookReplace::ChapterEdit e{h.chapterId, {}, {}};
        for (const BookSearch::Match &m : h.matches)
            e.offsets << m.offset;
        plan.chapters << e;
    }
    return plan;
}

// The tree, the editor and the search window over all books.
struct SearchHost : BookHost {
    QMainWindow main;
    BookSearchController search{&main, book};

    SearchHost() { search.scopeBox()->setCurrentIndex(1); }
    // Searches for key and waits for the list.
    bool find(const QString &key)
    {
        QSignalSpy done(&search, &BookSearchController::searchFinished);
        search.keyEdit()->setText(key);
        return done.wait();
    }
};

constexpr int kChildChapters = 300;

// Replaces a name in every chapter and stops inside the transaction, half way through the writes,
// until it is killed.
int runReplaceChild()
{
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    setLogFolder(QString());
    if (!startApp().ok)
        return 2;
    clearBookTables();
    insertBookRow("B1", "", 1, 0, 1, "书一");
    insertBookRow("V1", "B1", 2, 1, 1, "卷一");
    for (int i = 0; i < kChildChapters; ++i) {
        const QString id = QString("C%1").arg(i);
        insertBookRow(id, "V1", 3, 2, i + 1, id);
        setText(id, "林舟上山。" + QString(200, QChar(0x6C34)) + "林舟下山。");
    }
    const BookReplace::Plan plan = planFor("林舟", "顾川");
    BookReplace::apply(plan, [](int done, int total) {
        if (done == total / 2 + kChildChapters / 2) {
            std::printf("HALF\n");
            std::fflush(stdout);
            std::getchar(); // the parent kills us here
        }
    });
    std::printf("DONE\n");
    return 0;
}

} // namespace

class TestBookSearch : public BookTestCase
{
    Q_OBJECT
private slots:

    void keyMatchesWithinParagraphsWithoutOverlap_data()
    {
        COLUMNS(QString, text, QString, key, bool, matchCase, QString, offsets);
        QTest::newRow("one character") << "春风又绿江南岸，春来" << "春" << false << "0,8";
        QTest::newRow("a two-character name") << "张三说：张三丰不是张三" << "张三" << false << "0,4,9";
        QTest::newRow("three characters") << "江南岸，江南" << "江南岸" << false << "0";
        QTest::newRow("four characters in mixed text") << "他叫Tom张三李四abc张三李四" << "张三李四" << false << "5,12";
        QTest::newRow("matches do not overlap") << "哈哈哈哈哈" << "哈哈" << false << "0,2";
        QTest::newRow("Latin ignores case") << "Tom tom TOM" << "tom" << false << "0,4,8";
        QTest::newRow("match case") << "Tom tom TOM" << "tom" << true << "4";
        QTest::newRow("mixed key, case ignored") << "见到Li雷和li雷" << "LI雷" << false << "2,6";
        QTest::newRow("no-break space in the text") << QString("张\u00a0三 张 三") << "张 三" << false << "0,4";
        QTest::newRow("no-break space in the key") << "a b" << QString("a\u00a0b") << false << "0";
        QTest::newRow("never across paragraphs") << "江南\n岸" << "南岸" << false << "";
    }
    void keyMatchesWithinParagraphsWithoutOverlap()
    {
        FETCH(QString, text, QString, key, bool, matchCase, QString, offsets);
        setText("C1", text);
        QStringList found;
        for (const BookSearch::ChapterHits &h : find(key, BookSearch::Scope::AllBooks, {}, false, matchCase).chapters)
            if (h.chapterId == "C1")
                for (const BookSearch::Match &m : h.matches)
                    found << QString::number(m.offset);
        QCOMPARE(found.join(','), offsets);
    }

    // A list of every match in a long book would stall the window: it stops at the limit, and the
    // count still counts them all.
    void listStopsAtTheLimitButCountsAll()
    {
        setText("C1", QString(BookSearch::kMaxListedMatches + 1, QChar(0x6625)));
        const BookSearch::Result r = find("春");
        QCOMPARE(QString("%1 %2 %3").arg(r.matchCount).arg(r.chapters.value(0).matches.size()).arg(r.truncated),
                 QString("%1 %2 1").arg(BookSearch::kMaxListedMatches + 1).arg(BookSearch::kMaxListedMatches));
    }

    // Scope and tree order; whatever writes a row, the next search sees it.
    void scopeOrderAndWrites_data()
    {
        COLUMNS(QString, write, int, scope, QString, scopeId, QString, key, bool, titles, QString, expected);
        const int all = int(BookSearch::Scope::AllBooks), book = int(BookSearch::Scope::Book),
                  volume = int(BookSearch::Scope::Volume);
        QTest::newRow("all books, tree order") << "" << all << "" << "林舟" << false << "C3:1;C1:2;C4:1;C5:1";
        QTest::newRow("this book") << "" << book << "B1" << "林舟" << false << "C3:1;C1:2;C4:1";
        QTest::newRow("the selected volume") << "" << volume << "V1" << "林舟" << false << "C3:1;C1:2";
        QTest::newRow("titles not searched") << "" << volume << "V2" << "章" << false << "";
        QTest::newRow("titles too") << "" << volume << "V2" << "章" << true << "C4:1";
        QTest::newRow("save") << "save" << all << "" << "林舟" << false << "C3:1;C1:2;C2:1;C4:1;C5:1";
        QTest::newRow("delete") << "delete" << all << "" << "林舟" << false << "C1:2;C4:1;C5:1";
        QTest::newRow("reordered in its volume") << "move" << all << "" << "林舟" << false << "C1:2;C3:1;C4:1;C5:1";
        QTest::newRow("any statement (import, sync pull)") << "statement" << all << "" << "林舟" << false
                                                           << "C3:1;C2:1;C4:1;C5:1";
        QTest::newRow("emptied and filled again") << "truncate" << all << "" << "林舟" << false << "C4:1";
    }
    void scopeOrderAndWrites()
    {
        FETCH(QString, write, int, scope, QString, scopeId, QString, key, bool, titles, QString, expected);
        setText("C1", "林舟来了。\n林舟走了。");
        setText("C2", "无人");
        setText("C3", "林舟");
        setText("C4", "林舟");
        execSql("UPDATE BookTree SET Sort=0 WHERE ID='C3'"); // shown before C1
        insertBookRow("V3", "B2", 2, 1, 1, "卷三");
        insertBookRow("C5", "V3", 3, 2, 1, "章五");
        setText("C5", "林舟");
        // Neither a deleted chapter nor one below a deleted volume is in the tree.
        insertBookRow("C6", "V1", 3, 2, 9, "章六", "D");
        setText("C6", "林舟");
        insertBookRow("V4", "B2", 2, 1, 2, "卷四", "D");
        insertBookRow("C7", "V4", 3, 2, 1, "章七");
        setText("C7", "林舟");
        QCOMPARE(find("林舟").chapters.value(0).path, QString("书一 / 卷一 / 章三"));
        if (write == "save") {
            BookStore::saveChapter("C2", "<p>又见林舟</p>", "又见林舟");
        } else if (write == "delete") {
            BookStore::deleteNode("C3");
        } else if (write == "move") {
            BookStore::moveNode("C3", "C1", false);
        } else if (write == "statement") {
            execSql("UPDATE BookTree SET PlainText='林舟' WHERE ID='C2'");
            execSql("UPDATE BookTree SET PlainText='无' WHERE ID='C1'");
        } else if (write == "truncate") {
            clearBookTables();
            smallLibrary();
            setText("C4", "林舟");
        }
        QCOMPARE(grouping(find(key, BookSearch::Scope(scope), scopeId, titles)), expected);
    }

    void replaceRefusedWhenChangedSinceSearch_data()
    {
        QTest::addColumn<bool>("whileReplacing"); // saved after the replace read the chapters
        QTest::newRow("saved after the search") << false;
        QTest::newRow("saved after the replace read it") << true;
    }
    void replaceRefusedWhenChangedSinceSearch()
    {
        QFETCH(bool, whileReplacing);
        setText("C1", "林舟来了。");
        setText("C3", "又是林舟。");
        const BookReplace::Plan plan = planFor("林舟", "顾川");
        auto save = [] { BookStore::saveChapter("C3", "<p>林舟又是。</p>", "林舟又是。"); };
        if (!whileReplacing)
            save();
        try {
            BookReplace::apply(plan, [&](int done, int total) {
                if (whileReplacing && done == total / 2)
                    save();
            });
            QFAIL("the replace went ahead over a changed chapter");
        } catch (const Exception &e) {
            QVERIFY2(e.message().contains("书一 / 卷一 / 章三"), qPrintable(e.message()));
        }
        QCOMPARE(plain("C1") + plain("C3"), QString("林舟来了。林舟又是。"));
    }

    void replaceIsAllOrNothingUnderKill()
    {
        stopApp(); // the child holds the data folder now
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {"--replace-child"});
        QByteArray out;
        while (!out.contains("HALF") && child.state() != QProcess::NotRunning && child.waitForReadyRead(60000))
            out += child.readAllStandardOutput();
        const bool half = out.contains("HALF") && child.processId() > 0;
        if (half)
            ::kill(pid_t(child.processId()), SIGKILL);
        child.waitForFinished(30000);
        QVERIFY(startApp().ok);
        QVERIFY2(half, out.constData());
        // Nothing of the replace is left: every name, no version kept, a sound file.
        QCOMPARE(scalar("SELECT (SELECT COUNT(*) FROM BookTree WHERE PlainText LIKE '%林舟%林舟%')||' '||"
                        "(SELECT COUNT(*) FROM BookTree WHERE PlainText LIKE '%顾川%')||' '||"
                        "(SELECT COUNT(*) FROM ChapterHistory)").toString(), QString("%1 0 0").arg(kChildChapters));
        QCOMPARE(scalar("PRAGMA integrity_check").toString(), QString("ok"));
    }

    // The list steps through the chapters, the open one as it stands in the editor, unsaved.
    void stepsThroughMatches_data()
    {
        COLUMNS(QString, typed, QString, steps, QString, seen); // typed at the end of the open 章一
        QTest::newRow("across chapters and back") << "" << "nnnp" << "C1@1:林舟 C1@4:林舟 C3@1:林舟 C1@4:林舟";
        QTest::newRow("unsaved words of the open chapter") << "林舟" << "nnn" << "C1@1:林舟 C1@4:林舟 C1@6:林舟";
    }
    void stepsThroughMatches()
    {
        FETCH(QString, typed, QString, steps, QString, seen);
        setText("C1", "甲林舟乙林舟");
        setText("C3", "丙林舟");
        SearchHost host;
        host.select("C1");
        host.type(typed);
        QVERIFY(host.find("林舟"));
        QStringList at;
        for (const QChar step : steps) {
            step == 'n' ? host.search.nextMatch() : host.search.previousMatch();
            const QTextCursor c = host.editor->textCursor();
            at << QString("%1@%2:%3").arg(host.book->currentChapterId()).arg(c.selectionStart()).arg(c.selectedText());
        }
        QCOMPARE(at.join(' '), seen);
        QCOMPARE(plain("C1"), QString("甲林舟乙林舟"));
    }

    // Only the listed, ticked matches are replaced, never past a length limit; the undo brings
    // back every chapter not edited since. A match typed into the open chapter after the search is
    // not in the list: the replace is refused until the author has seen the new list.
    void replaceAndUndo_data()
    {
        // replaced, undone: 章一 | 章三 | the title of 卷二
        COLUMNS(QString, typedAfterSearch, bool, untickFirst, bool, editedAfter, QString, replaced, QString,
                undone);
        QTest::newRow("unticked match and a later edit kept")
            << "" << true << true << "林舟来了。顾大川走了。|顾大川啊|顾大川外传" << "改过了|林舟啊|林舟外传";
        QTest::newRow("match typed after the search")
            << "林舟" << false << false << "顾大川来了。顾大川走了。|顾大川啊顾大川|顾大川外传"
            << "林舟来了。林舟走了。|林舟啊林舟|林舟外传";
    }
    void replaceAndUndo()
    {
        FETCH(QString, typedAfterSearch, bool, untickFirst, bool, editedAfter, QString, replaced, QString, undone);
        QTextDocument rich; // the editor's own HTML
        rich.setHtml("<p>林舟<b>来了</b>。<b>林舟</b>走了。</p>");
        setText("C1", rich.toPlainText(), rich.toHtml());
        setText("C3", "林舟", "<p>林<b>舟</b></p>"); // the key split by formatting
        setText("C4", "林舟" + QString(Ink::maxArticleLength - 2, QChar(0x6C34)));
        setText("C2", "　　林舟", "<p>　　林舟</p>"); // HTML that drops the indent the plain text has
        // Titles: one replaced, one that would pass the title limit left alone.
        execSql("UPDATE BookTree SET Title='林舟外传' WHERE ID='V2'");
        execPrepared("UPDATE BookTree SET Title=? WHERE ID='C2'", {"林舟" + QString(Ink::maxTitleLength - 2, QChar(0x6C34))});
        SearchHost host;
        host.search.titlesBox()->setChecked(true);
        host.select("C3");
        host.type("啊"); // unsaved: saved before the replace
        QVERIFY(host.find("林舟"));
        QTreeWidgetItem *c1 = host.search.results()->topLevelItem(0);
        QCOMPARE(c1->data(0, BookSearchController::ChapterRole).toString(), QString("C1"));
        if (untickFirst)
            c1->child(0)->setCheckState(0, Qt::Unchecked);
        host.search.replaceEdit()->setText("顾大川");
        auto texts = [] { return plain("C1") + "|" + plain("C3") + "|" + row("V2", "Title"); };
        if (!typedAfterSearch.isEmpty()) {
            host.type(typedAfterSearch);
            QVERIFY(!host.search.replaceSelected());
            QCOMPARE(texts(), "林舟来了。林舟走了。|林舟啊" + typedAfterSearch + "|林舟外传"); // saved, not replaced
            QTRY_VERIFY(!host.search.isSearching());
        }
        QVERIFY(host.search.replaceSelected());
        QCOMPARE(texts(), replaced);
        QVERIFY(host.editor->toPlainText() == plain("C3") && !host.editor->document()->isModified());
        // C4 would pass the length limit: left alone.
        QCOMPARE(QString::number(plain("C4").size()) + plain("C2"), QString::number(Ink::maxArticleLength) + "　　顾大川");
        const QString told = host.prompts.infos().join('\n');
        QVERIFY2(told.contains("书一 / 林舟外传 / 章四") && told.contains("书一 / 卷一 / 林舟水"), qPrintable(told));
        QCOMPARE(row("V2", "Synced,Usn") + row("C1", "Synced,Usn") + row("C4", "Synced,Usn") + row("C2", "substr(Title,1,3)"),
                 QString("0|00|01|7林舟水"));
        QTextDocument doc;
        doc.setHtml(row("C1", "HTML"));
        QCOMPARE(doc.toPlainText(), plain("C1"));
        QTextCursor bold(&doc);
        bold.setPosition(plain("C1").indexOf("来") + 1);
        QVERIFY(bold.charFormat().fontWeight() > QFont::Normal);
        QCOMPARE(scalar("SELECT WordCount1 FROM L.BookLog WHERE BookID='C1'").toInt(), plain("C1").size());

        if (editedAfter)
            BookStore::saveChapter("C1", "<p>改过了</p>", "改过了");
        host.prompts.clear();
        QVERIFY(host.search.undoLastReplace());
        QCOMPARE(texts(), undone);
        QCOMPARE(host.editor->toPlainText(), plain("C3"));
        QCOMPARE(host.prompts.infos().join('\n').contains("书一 / 卷一 / 章一"), editedAfter);
        QVERIFY(!host.search.undoButton()->isEnabled());
    }

};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc == 2 && qstrcmp(argv[1], "--replace-child") == 0)
        return runReplaceChild();
    TestBookSearch test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_booksearch.moc"
