// The chapter editor and the saving of chapters against a real database.
#include "TestProfile.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "book/BookController.h"
#include "book/BookStore.h"
#include "book/MyTextEdit.h"
#include "book/TreeView.h"
#include "storage/DataAccess.h"

#include <QClipboard>
#include <QDate>
#include <QMimeData>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTextBlock>
#include <QtTest>

#include <memory>

namespace {

void insertRow(const QString &id, const QString &pid, int nodeType, int level, double sort, const QString &title,
               const QString &html = QString(), const QString &attribute1 = QString())
{
    execPrepared(QStringLiteral("INSERT INTO BookTree(ID,pID,NodeType,Level,Sort,Title,Category,HTML,PlainText,"
                                "Attribute1,Flag,Usn,Synced,Updated) "
                                "VALUES(?,?,?,?,?,?,'Book',?,?,?,'A',9,1,'2020-01-01 00:00:00.000')"),
                 {id, pid, nodeType, level, sort, title, html, html, attribute1});
}

QString plain(const QString &id)
{
    QueryPtr q = openQuery("SELECT PlainText FROM BookTree WHERE ID=" + quoteSql(id));
    return q->next() ? q->value(0).toString() : QStringLiteral("<none>");
}

QVariant scalar(const QString &sql)
{
    QueryPtr q = openQuery(sql);
    return q->next() ? q->value(0) : QVariant();
}

struct Host {
    QWidget window;
    TreeView *view;
    MyTextEdit *editor;
    BookController *book;
    QStringList asked;
    QList<int> answers;
    QStringList errors;
    std::function<void()> duringQuestion;

    Host()
    {
        view = new TreeView(&window);
        editor = new MyTextEdit(&window);
        editor->setResetOnAsciiKey(true);
        book = new BookController(view, editor, &window);
        book->askHook = [this](const QString &text) {
            asked << text;
            if (duringQuestion)
                duringQuestion();
            return answers.isEmpty() ? int(Ink::maYes) : answers.takeFirst();
        };
        book->errorHook = [this](const QString &text) { errors << text; };
        book->loadTree();
    }
    void select(const QString &id) { book->selectNode(id); }
    void type(const QString &text)
    {
        editor->moveCursor(QTextCursor::End);
        editor->insertPlainText(text);
    }
};

// One book, one volume, three chapters with their own texts.
void library()
{
    insertRow("B", "", 1, 0, 1, "书");
    insertRow("V", "B", 2, 1, 1, "卷");
    insertRow("C1", "V", 3, 2, 1, "章一", "<p>章一</p>");
    insertRow("C2", "V", 3, 2, 2, "章二", "<p>章二</p>");
    insertRow("C3", "V", 3, 2, 3, "章三", "<p>章三</p>");
    execSql("UPDATE BookTree SET PlainText=Title");
}

QInputMethodEvent commitEvent(const QString &text)
{
    QInputMethodEvent e;
    e.setCommitString(text);
    return e;
}

} // namespace

class TestEditor : public QObject
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
        execSql("DROP TRIGGER IF EXISTS temp.fail_log");
        execSql("DROP TRIGGER IF EXISTS temp.fail_chapter");
    }

    // --- input tracking ---

    void inputStrings_data()
    {
        QTest::addColumn<bool>("resetOnAscii");
        QTest::addColumn<QStringList>("steps"); // "ime:<text>", "key:<char>", "bs", "ctrl+v", "left"
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("combo");
        QTest::addColumn<int>("changed");
        QTest::addColumn<int>("resets");
        QTest::newRow("two commits") << true << QStringList{"ime:春风", "ime:十里"} << "十里" << "春风十里" << 2 << 0;
        QTest::newRow("backspace after commit") << true << QStringList{"ime:春风", "bs"} << "春" << "春" << 2 << 0;
        QTest::newRow("ascii key resets") << true << QStringList{"ime:春风", "key:a"} << "" << "" << 1 << 1;
        QTest::newRow("ascii key recorded") << false << QStringList{"key:a", "key:b"} << "b" << "ab" << 2 << 0;
        QTest::newRow("modifier keeps") << true << QStringList{"ime:春风", "ctrl+v"} << "春风" << "春风" << 1 << 0;
        QTest::newRow("arrow resets") << true << QStringList{"ime:春风", "left"} << "" << "" << 1 << 1;
        QTest::newRow("empty commit") << true << QStringList{"ime:春风", "ime:"} << "春风" << "春风" << 1 << 0;
    }

    void inputStrings()
    {
        QFETCH(bool, resetOnAscii);
        QFETCH(QStringList, steps);
        QFETCH(QString, last);
        QFETCH(QString, combo);
        QFETCH(int, changed);
        QFETCH(int, resets);
        MyTextEdit editor;
        editor.setResetOnAsciiKey(resetOnAscii);
        int changedCount = 0;
        QString emittedCombo;
        connect(&editor, &MyTextEdit::signalLastInputStringChanged, this, [&](QString &, QString &comboText) {
            ++changedCount;
            emittedCombo = comboText;
        });
        QSignalSpy resetSpy(&editor, &MyTextEdit::signalLastInputStringReseted);
        QSignalSpy inputSpy(&editor, &MyTextEdit::signalLastInput);
        for (const QString &step : steps) {
            if (step.startsWith("ime:")) {
                QInputMethodEvent e = commitEvent(step.mid(4));
                QApplication::sendEvent(&editor, &e);
            } else if (step.startsWith("key:")) {
                QTest::keyClick(&editor, step.at(4).toLatin1());
            } else if (step == "bs") {
                QTest::keyClick(&editor, Qt::Key_Backspace);
            } else if (step == "ctrl+v") {
                QTest::keyClick(&editor, Qt::Key_V, Qt::ControlModifier);
            } else if (step == "left") {
                QTest::keyClick(&editor, Qt::Key_Left);
            }
        }
        QCOMPARE(editor.lastInputString(), last);
        QCOMPARE(editor.lastComboInputString(), combo);
        QCOMPARE(changedCount, changed);
        if (changed && !resets)
            QCOMPARE(emittedCombo, combo);
        QCOMPARE(resetSpy.count(), resets);
        // Ctrl+V is two key presses (Ctrl, then V); every press counts as input.
        QCOMPARE(inputSpy.count(), steps.size() + steps.count("ctrl+v"));
        QVERIFY(editor.lastInputTime().isValid());
    }

    void imeCommitTypesText()
    {
        MyTextEdit editor;
        QInputMethodEvent e = commitEvent("写作");
        QApplication::sendEvent(&editor, &e);
        QCOMPARE(editor.toPlainText(), QString("写作"));
        QVERIFY(editor.document()->isModified());
        // The candidate window goes to the text cursor.
        const QRect rect = editor.inputMethodQuery(Qt::ImCursorRectangle).toRect();
        QCOMPARE(rect, editor.cursorRect());
    }

    void pastedTextMarksModified()
    {
        Host host;
        library();
        host.book->loadTree();
        host.select("C1");
        QVERIFY(!host.editor->document()->isModified());
        QSignalSpy inputSpy(host.editor, &MyTextEdit::signalLastInput);
        // Paste without a key press (middle click and drops arrive the same way).
        QApplication::clipboard()->setText("拖进来的字");
        host.editor->paste();
        QCOMPARE(inputSpy.count(), 1);
        QVERIFY(host.editor->toPlainText().contains("拖进来的字"));
        QVERIFY(host.editor->document()->isModified());
    }

    void enterIndentsNewParagraph()
    {
        Host host;
        library();
        host.book->loadTree();
        host.select("C1");
        host.editor->moveCursor(QTextCursor::End);
        QTest::keyClick(host.editor, Qt::Key_Return);
        QTest::keyClick(host.editor, Qt::Key_Enter, Qt::KeypadModifier);
        const QTextDocument *doc = host.editor->document();
        QCOMPARE(doc->blockCount(), 3);
        QCOMPARE(doc->findBlockByNumber(1).text(), QString(2, Ink::paragraphIndentChar));
        QCOMPARE(doc->findBlockByNumber(2).text(), QString());
        QCOMPARE(host.editor->cursorColumnLine(), QPoint(0, 2));
    }

    // --- opening and saving ---

    void noChapterIsReadOnly()
    {
        Host host;
        QVERIFY(host.editor->isReadOnly());
        QVERIFY(host.book->currentChapterId().isEmpty());
        QVERIFY(!host.book->saveArticle());
        host.book->insertEditorText("不该进去", true);
        QVERIFY(!host.editor->toPlainText().contains("不该进去"));
        QVERIFY(!host.editor->document()->isModified());
    }

    void savesRoundTrip_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("quotes") << "他说：'走吧'，\"好\"";
        QTest::newRow("backslashes and placeholders") << "C:\\书\\%1 %2 %% \\n";
        QTest::newRow("emoji") << "🌙🐉 月亮 👨‍👩‍👧";
        QTest::newRow("longest chapter") << QString(Ink::maxArticleLength, QChar(0x5B57));
    }

    void savesRoundTrip()
    {
        QFETCH(QString, text);
        library();
        Host host;
        host.select("C2");
        host.editor->setPlainText(text);
        QVERIFY(host.book->saveArticle());
        QCOMPARE(plain("C2"), text);
        QCOMPARE(scalar("SELECT rtf FROM BookTree WHERE ID='C2'").toString(), text);
        QCOMPARE(scalar("SELECT Usn||'|'||Synced||'|'||Flag||'|'||IFNULL(Attribute1,'') FROM BookTree WHERE ID='C2'")
                     .toString(),
                 QString("0|0|A|"));
        QVERIFY(!host.editor->document()->isModified());
        QVERIFY(!host.editor->document()->isUndoAvailable());
        // Reading it back gives the same text.
        host.select("C1");
        host.select("C2");
        QCOMPARE(host.editor->toPlainText(), text);
        QVERIFY(host.editor->toHtml().contains(QStringLiteral("宋体")));
    }

    void refusesTooLongChapter()
    {
        library();
        Host host;
        host.select("C2");
        host.editor->setPlainText(QString(Ink::maxArticleLength, QChar('x')));
        host.type("y");
        try {
            host.book->saveArticle();
            QFAIL("saved a chapter over the limit");
        } catch (const Exception &e) {
            QCOMPARE(e.message(), QString("文章可以支持最大字符长度10240，不能继续！"));
        }
        QCOMPARE(plain("C2"), QString("章二"));
        QVERIFY(host.editor->document()->isModified());
    }

    void logRowPerChapterAndDay()
    {
        library();
        Host host;
        host.select("C1");
        host.type("一二三");
        QVERIFY(host.book->saveArticle());
        execSql("UPDATE L.BookLog SET Synced=1");
        host.type("四五");
        QVERIFY(host.book->saveArticle());
        host.select("C2");
        host.type("六");
        QVERIFY(host.book->saveArticle());
        const QString today = QDate::currentDate().toString("yyyy-MM-dd");
        QCOMPARE(scalar("SELECT COUNT(*) FROM L.BookLog").toInt(), 2);
        QCOMPARE(scalar("SELECT WordCount1||'|'||Synced||'|'||ADate FROM L.BookLog WHERE BookID='C1'").toString(),
                 QString("%1|0|%2").arg(plain("C1").size()).arg(today));
        QCOMPARE(scalar("SELECT WordCount1 FROM L.BookLog WHERE BookID='C2'").toInt(), plain("C2").size());
    }

    void autosaveWhileSwitchingKeepsEachText()
    {
        library();
        Host host;
        host.book->setSortByModified(true);
        for (const QString id : {"C1", "C2", "C3", "C1", "C2"}) {
            host.select(id);
            QCOMPARE(host.book->currentChapterId(), id);
            host.type("+" + id);
            host.book->autoSaveTimerUpdate(); // re-sorts: the chapter moves to the top of its volume
            host.type("+" + id);
            host.book->autoSaveTimerUpdate();
        }
        QCOMPARE(plain("C1"), QString("章一+C1+C1+C1+C1"));
        QCOMPARE(plain("C2"), QString("章二+C2+C2+C2+C2"));
        QCOMPARE(plain("C3"), QString("章三+C3+C3"));
        QVERIFY(host.asked.isEmpty());
    }

    void reloadKeepsModifiedText()
    {
        library();
        Host host;
        host.select("C2");
        host.type("未保存");
        host.book->loadTree();
        QCOMPARE(plain("C2"), QString("章二未保存"));
        QCOMPARE(host.book->currentChapterId(), QString("C2"));
        QCOMPARE(TreeNodeInfo::of(host.view->currentIndex())->id, QString("C2"));
        QVERIFY(host.asked.isEmpty());
        // After a sync the chapter is read again.
        execSql("UPDATE BookTree SET HTML='<p>云端</p>',PlainText='云端' WHERE ID='C2'");
        host.book->loadTree(true);
        QCOMPARE(host.editor->toPlainText(), QString("云端"));
        // A chapter deleted elsewhere leaves the editor.
        execSql("UPDATE BookTree SET Flag='D' WHERE ID='C2'");
        host.type("x");
        host.book->loadTree(true);
        QVERIFY(host.book->currentChapterId() != "C2");
        QCOMPARE(scalar("SELECT Flag FROM BookTree WHERE ID='C2'").toString(), QString("D"));
    }

    void failedSaveRollsBackBoth_data()
    {
        QTest::addColumn<QString>("trigger");
        QTest::newRow("log insert fails") << "CREATE TEMP TRIGGER fail_log BEFORE INSERT ON L.BookLog BEGIN "
                                             "SELECT RAISE(ABORT,'日志写不进'); END";
        QTest::newRow("chapter update fails") << "CREATE TEMP TRIGGER fail_chapter BEFORE UPDATE OF HTML ON main.BookTree "
                                                 "BEGIN SELECT RAISE(ABORT,'日志写不进'); END";
    }

    void failedSaveRollsBackBoth()
    {
        QFETCH(QString, trigger);
        library();
        Host host;
        host.select("C1");
        host.type("新的字");
        execSql(trigger);
        host.book->autoSaveTimerUpdate();
        QCOMPARE(host.errors.size(), 1);
        QVERIFY(host.errors[0].startsWith("保存文章出错，错误信息：\n"));
        QVERIFY(host.errors[0].contains("日志写不进"));
        QCOMPARE(plain("C1"), QString("章一"));
        QCOMPARE(scalar("SELECT Synced FROM BookTree WHERE ID='C1'").toInt(), 1);
        QCOMPARE(scalar("SELECT COUNT(*) FROM L.BookLog").toInt(), 0);
        QCOMPARE(openTransactionCount(), 0);
        QVERIFY(host.editor->document()->isModified());
        QCOMPARE(host.editor->toPlainText(), QString("章一新的字"));

        // Leaving the chapter: the save fails again, so the tree stays on it.
        host.select("C2");
        QCOMPARE(host.asked, QStringList{"文章已修改，保存吗？"});
        QCOMPARE(host.book->currentChapterId(), QString("C1"));
        QCOMPARE(TreeNodeInfo::of(host.view->currentIndex())->id, QString("C1"));
        QCOMPARE(host.editor->toPlainText(), QString("章一新的字"));

        execSql("DROP TRIGGER IF EXISTS temp.fail_log");
        execSql("DROP TRIGGER IF EXISTS temp.fail_chapter");
        host.book->autoSaveTimerUpdate();
        QCOMPARE(plain("C1"), QString("章一新的字"));
        QCOMPARE(scalar("SELECT COUNT(*) FROM L.BookLog").toInt(), 1);
    }

    void leavingModifiedChapter_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("discarded");
        QTest::newRow("yes saves") << int(Ink::maYes) << "章一改" << 0;
        QTest::newRow("no drops the edits and the copies") << int(Ink::maNo) << "章一" << 1;
        QTest::newRow("dismissed keeps the copies") << -1 << "章一" << 0;
    }

    void leavingModifiedChapter()
    {
        QFETCH(int, answer);
        QFETCH(QString, stored);
        QFETCH(int, discarded);
        library();
        Host host;
        QSignalSpy discardSpy(host.book, &BookController::recoveryCopiesDiscarded);
        host.select("C1");
        host.type("改");
        host.answers << answer;
        // A timer firing while the question is open must not save the edits.
        host.duringQuestion = [&host]() { host.book->autoSaveTimerUpdate(); };
        host.select("C2");
        QCOMPARE(host.asked, QStringList{"文章已修改，保存吗？"});
        QCOMPARE(plain("C1"), stored);
        QCOMPARE(discardSpy.count(), discarded);
        QCOMPARE(host.book->currentChapterId(), QString("C2"));
        QCOMPARE(host.editor->toPlainText(), QString("章二"));
        QVERIFY(!host.editor->document()->isModified());
        host.book->autoSaveTimerUpdate();
        QCOMPARE(plain("C1"), stored);
        QCOMPARE(plain("C2"), QString("章二"));
    }

    void undoToSavedTextReleasesRecoveryCopies()
    {
        library();
        Host host;
        QSignalSpy discardSpy(host.book, &BookController::recoveryCopiesDiscarded);
        host.select("C1");
        host.type("存");
        QVERIFY(host.book->saveArticle());
        QVERIFY(!host.editor->document()->isUndoAvailable());
        host.type("未存");
        host.book->discardRecoveryCopiesIfSaved();
        QCOMPARE(discardSpy.count(), 0);
        host.editor->undo();
        QVERIFY(!host.editor->document()->isModified());
        host.book->discardRecoveryCopiesIfSaved();
        QCOMPARE(discardSpy.count(), 1);
        QCOMPARE(discardSpy.at(0).at(0).toString(), QString("C1"));
    }

    void openVanishedChapterClearsEditor()
    {
        library();
        Host host;
        host.select("C1");
        host.book->openArticle("NOPE");
        QVERIFY(host.editor->isReadOnly());
        QVERIFY(host.book->currentChapterId().isEmpty());
        QVERIFY(!host.editor->toPlainText().contains("章一"));
        host.book->autoSaveTimerUpdate();
        QCOMPARE(plain("C1"), QString("章一"));
    }

    void importedChapterOpensAsPlainText()
    {
        insertRow("B", "", 1, 0, 1, "书");
        insertRow("I", "B", 2, 1, 1, "导入", "<b>标记</b>", "NEWIMPORT");
        Host host;
        host.select("I");
        QCOMPARE(host.editor->toPlainText(), QString("<b>标记</b>"));
        host.type("!");
        QVERIFY(host.book->saveArticle());
        QCOMPARE(scalar("SELECT IFNULL(Attribute1,'') FROM BookTree WHERE ID='I'").toString(), QString());
    }

private:
    std::unique_ptr<TestProfile> m_profile;
};

QTEST_MAIN(TestEditor)
#include "tst_editor.moc"
