// The chapter editor and the saving of chapters against a real database.
#include "BookHost.h"
#include "BookTestCase.h"
#include "Columns.h"

#include "app/Constants.h"
#include "book/ChapterHistory.h"
#include "book/CursorBlink.h"
#include "book/HistoryController.h"
#include "storage/DbLock.h"

#include <QtTest>
#include <QtWidgets>

namespace {

// One input step: "ime:<commit>", "paste:<text>", "mouse" (a click) or a key sequence.
void feed(QTextEdit *editor, const QString &step)
{
    if (step.startsWith("ime:")) {
        QInputMethodEvent e;
        e.setCommitString(step.mid(4));
        QApplication::sendEvent(editor, &e);
    } else if (step.startsWith("paste:")) {
        QApplication::clipboard()->setText(step.mid(6));
        editor->paste();
        QApplication::clipboard()->clear();
    } else if (step == "mouse") {
        QTest::mouseClick(editor->viewport(), Qt::LeftButton);
    } else {
        QTest::keySequence(editor, QKeySequence(step));
    }
}

} // namespace

class TestEditor : public BookTestCase
{
    Q_OBJECT
private slots:

    // --- input tracking ---

    void inputStrings_data()
    {
        // steps: "ime:<commit>", "paste:<text>" or keys
        COLUMNS(bool, resetOnAscii, QStringList, steps, QString, last, QString, combo, int, changed, int, resets);
        QTest::newRow("two commits") << true << QStringList{"ime:春风", "ime:十里"} << "十里" << "春风十里" << 2 << 0;
        QTest::newRow("backspace after commit") << true << QStringList{"ime:春风", "Backspace"} << "春" << "春" << 2 << 0;
        QTest::newRow("ascii key resets") << true << QStringList{"ime:春风", "A"} << "" << "" << 1 << 1;
        QTest::newRow("ascii key recorded") << false << QStringList{"A", "B"} << "b" << "ab" << 2 << 0;
        QTest::newRow("modifier keeps") << true << QStringList{"ime:春风", "Ctrl+V"} << "春风" << "春风" << 1 << 0;
        QTest::newRow("arrow resets") << true << QStringList{"ime:春风", "Left"} << "" << "" << 1 << 1;
        QTest::newRow("empty commit") << true << QStringList{"ime:春风", "ime:"} << "春风" << "春风" << 1 << 0;
        // Middle-click paste and drops change the text without a key press: still input.
        QTest::newRow("paste") << true << QStringList{"paste:拖进来的字"} << "" << "" << 0 << 0;
    }

    void inputStrings()
    {
        FETCH(bool, resetOnAscii, QStringList, steps, QString, last, QString, combo, int, changed, int, resets);
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
        for (const QString &step : steps)
            feed(&editor, step);
        QVERIFY(!steps[0].startsWith("paste:") || editor.toPlainText().contains(steps[0].mid(6)));
        QCOMPARE(editor.lastInputString(), last);
        QCOMPARE(editor.lastComboInputString(), combo);
        QCOMPARE(changedCount, changed);
        if (changed && !resets)
            QCOMPARE(emittedCombo, combo);
        QCOMPARE(resetSpy.count(), resets);
        // Ctrl+V is two key presses (Ctrl, then V); every press counts as input.
        QCOMPARE(inputSpy.count(), steps.size() + steps.count("Ctrl+V"));
        QVERIFY(editor.lastInputTime().isValid());
        // Commits type their text; the input-method candidate window goes to the text cursor.
        QVERIFY(editor.toPlainText().contains(combo));
        QVERIFY(editor.document()->isModified());
        QCOMPARE(editor.inputMethodQuery(Qt::ImCursorRectangle).toRect(), editor.cursorRect());
    }

    void enterIndentsNewParagraph()
    {
        BookHost host;
        host.select("C1");
        host.editor->moveCursor(QTextCursor::End);
        QTest::keyClick(host.editor, Qt::Key_Return);
        QTest::keyClick(host.editor, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(host.editor->toPlainText(), "章一\n" + QString(2, Ink::paragraphIndentChar) + "\n");
        QCOMPARE(host.editor->cursorColumnLine(), QPoint(0, 2));
    }

    // "标准" takes the paragraph out of the list it is in, as stored.
    void standardStyleLeavesTheList()
    {
        BookHost host;
        host.select("C2");
        host.editor->textSetStyle(5);
        QVERIFY(host.editor->textCursor().currentList());
        host.editor->textSetStyle(0);
        QVERIFY(host.book->saveArticle());
        QVERIFY2(!row("C2", "HTML").contains(QRegularExpression("<[ou]l")), qPrintable(row("C2", "HTML")));
    }

    // --- opening and saving ---

    void noChapterIsReadOnly()
    {
        BookHost host;
        QVERIFY(host.editor->isReadOnly());
        host.select("C1");
        host.book->openArticle("NOPE"); // a row that vanished leaves no chapter
        QVERIFY(host.editor->isReadOnly() && host.book->currentChapterId().isEmpty() && !host.book->saveArticle());
        host.book->insertEditorText("不该进去", true);
        QVERIFY(!host.editor->toPlainText().contains("章一") && !host.editor->toPlainText().contains("不该进去"));
        QVERIFY(!host.editor->document()->isModified());
        host.book->autoSaveTimerUpdate();
        QCOMPARE(scalar("SELECT COUNT(*) FROM BookTree WHERE Synced=0").toInt(), 0);
    }

    // After the idle time the cursor stops blinking; any input restores the desktop's flash time.
    void cursorBlinkStopsWhenIdle_data()
    {
        COLUMNS(QString, input);
        QTest::newRow("key") << "A";
        QTest::newRow("mouse press") << "mouse";
        QTest::newRow("input method") << "ime:字";
    }
    void cursorBlinkStopsWhenIdle()
    {
        FETCH(QString, input);
        QTextEdit edit;
        const int flashTime = QApplication::cursorFlashTime();
        QVERIFY(flashTime > 0);
        {
            CursorBlink blink(nullptr, 20);
            QTRY_VERIFY(blink.steady());
            QCOMPARE(QApplication::cursorFlashTime(), 0);
            feed(&edit, input);
            QVERIFY(!blink.steady());
            QCOMPARE(QApplication::cursorFlashTime(), flashTime);
            QTRY_VERIFY(blink.steady()); // idle again: the timer was restarted by the input
        }
        QCOMPARE(QApplication::cursorFlashTime(), flashTime); // a steady cursor is not left behind
    }

    void savesRoundTrip_data()
    {
        COLUMNS(QString, text);
        QTest::newRow("quotes") << "他说：'走吧'，\"好\"";
        QTest::newRow("backslashes and placeholders") << "C:\\书\\%1 %2 %% \\n";
        QTest::newRow("emoji") << "🌙🐉 月亮 👨‍👩‍👧";
        QTest::newRow("longest chapter") << QString(Ink::maxArticleLength, QChar(0x5B57));
    }

    void savesRoundTrip()
    {
        FETCH(QString, text);
        BookHost host;
        host.select("C2");
        host.editor->selectAll();
        host.editor->insertPlainText(text);
        QVERIFY(host.book->saveArticle() && !host.editor->document()->isModified());
        QCOMPARE(row("C2", "PlainText,rtf,Usn,Synced,Flag,IFNULL(Attribute1,'')"), text + "|" + text + "|0|0|A|");
        QVERIFY(!host.editor->document()->isUndoAvailable());
        host.select("C1");
        host.select("C2");
        QVERIFY(host.editor->toPlainText() == text && host.editor->toHtml().contains(QStringLiteral("宋体")));
    }

    void logRowPerChapterAndDay()
    {
        BookHost host;
        host.select("C1");
        host.type("一二三，");
        QVERIFY(host.book->saveArticle());
        execSql("UPDATE L.BookLog SET Synced=1");
        host.type("四五");
        QVERIFY(host.book->saveArticle());
        host.select("C2");
        host.type("六！");
        QVERIFY(host.book->saveArticle());
        // id|length|words (Chinese characters, ASCII letters and digits)|synced|day
        const QString today = QDate::currentDate().toString("yyyy-MM-dd");
        QCOMPARE(scalar("SELECT group_concat(BookID||'|'||WordCount1||'|'||WordCount2||'|'||Synced||'|'||ADate, ',') "
                        "FROM (SELECT * FROM L.BookLog ORDER BY BookID)").toString(),
                 QString("C1|%1|7|0|%3,C2|%2|3|0|%3").arg(plain("C1").size()).arg(plain("C2").size()).arg(today));
    }

    void autosaveWhileSwitchingKeepsEachText()
    {
        BookHost host;
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
        QVERIFY(host.prompts.questions().isEmpty());
    }

    // A reload (after an import or a sync) saves the open chapter's edits first and stays on it;
    // edits that cannot be saved stay in the editor, modified, and the error is shown.
    void reloadKeepsUnsavedText_data()
    {
        COLUMNS(QString, obstacle, QString, removal); // removal: "" when the text can never be saved
        QTest::newRow("saved first") << "" << "";
        QTest::newRow("chapter deleted elsewhere") << "UPDATE BookTree SET Flag='D' WHERE ID='C2'" << "";
        // A temporary view hides the table from the save and from the reload alike.
        QTest::newRow("save and reload fail") << "CREATE TEMP VIEW BookTree AS SELECT 1 AS x"
                                              << "DROP VIEW temp.BookTree";
    }
    void reloadKeepsUnsavedText()
    {
        FETCH(QString, obstacle, QString, removal);
        BookHost host;
        host.select("C2");
        host.type("未存");
        if (!obstacle.isEmpty())
            execSql(obstacle);
        host.book->loadTree(!obstacle.isEmpty());
        QCOMPARE(host.book->currentChapterId() + host.editor->toPlainText(), "C2章二未存");
        QVERIFY(host.prompts.questions().isEmpty());
        if (obstacle.isEmpty()) {
            QCOMPARE(host.currentId() + plain("C2"), "C2章二未存");
            // After a sync the chapter is read again; deleted elsewhere, it leaves the editor.
            execSql("UPDATE BookTree SET HTML='<p>云端</p>',PlainText='云端' WHERE ID='C2'");
            host.book->loadTree(true);
            QCOMPARE(host.editor->toPlainText(), QString("云端"));
            execSql("UPDATE BookTree SET Flag='D' WHERE ID='C2'");
            host.book->loadTree(true);
            QVERIFY(host.book->currentChapterId() != "C2" && row("C2", "Flag,PlainText") == "D|云端");
            return;
        }
        QVERIFY(!host.prompts.errors().isEmpty() && host.editor->document()->isModified());
        QVERIFY(!host.editor->isReadOnly() && !host.book->clearEditor());
        if (!removal.isEmpty()) {
            execSql(removal);
            host.book->autoSaveTimerUpdate();
            QCOMPARE(plain("C2"), QString("章二未存"));
            return;
        }
        // "否" gives the text up and leaves the row as deleted.
        host.prompts.answers << int(Ink::maNo);
        host.select("C1");
        QCOMPARE(host.book->currentChapterId() + row("C2", "Flag,PlainText"), "C1D|章二");
    }

    // Leaving an edited chapter asks to save it; a timer firing while the question is open saves
    // nothing. A save that fails (the chapter or its log row) writes neither, and the tree stays on
    // the chapter with its edits, which save once the obstacle is gone.
    void leavingModifiedChapter_data()
    {
        COLUMNS(int, answer, QString, failing, QString, stored, bool, stays); // failing: a trigger's event
        QTest::newRow("yes saves") << int(Ink::maYes) << "" << "章一改" << false;
        QTest::newRow("no drops the edits") << int(Ink::maNo) << "" << "章一" << false;
        // Esc or the title-bar button: no decision, so nothing is saved or dropped.
        QTest::newRow("dismissed stays on the chapter") << -1 << "" << "章一" << true;
        QTest::newRow("log insert fails") << int(Ink::maYes) << "INSERT ON L.BookLog" << "章一" << true;
        QTest::newRow("chapter update fails") << int(Ink::maYes) << "UPDATE OF HTML ON main.BookTree" << "章一" << true;
    }
    void leavingModifiedChapter()
    {
        FETCH(int, answer, QString, failing, QString, stored, bool, stays);
        BookHost host;
        host.select("C1");
        host.type("改");
        QString message;
        if (!failing.isEmpty()) {
            execSql("CREATE TEMP TRIGGER fail BEFORE " + failing + " BEGIN SELECT RAISE(ABORT,'写不进'); END");
            // The timer opens no dialog: the failure is reported and logged with the chapter id.
            QSignalSpy failSpy(host.book, &BookController::autoSaveFailed);
            host.book->autoSaveTimerUpdate();
            QVERIFY(host.prompts.errors().isEmpty());
            QCOMPARE(failSpy.count(), 1);
            QCOMPARE(failSpy[0][0].toString(), QString("C1"));
            message = failSpy[0][1].toString();
            QVERIFY(message.startsWith("保存文章出错，错误信息：\n") && message.contains("写不进"));
            QVERIFY(todaysLog().contains("自动保存文章失败（文章ID：C1）"));
            QCOMPARE(row("C1", "PlainText,Synced") + scalar("SELECT COUNT(*) FROM L.BookLog").toString(), "章一|10");
            QCOMPARE(openTransactionCount(), 0);
        }
        host.prompts.answers << answer;
        host.prompts.onMessage = [&host](int, const QString &) { host.book->autoSaveTimerUpdate(); };
        host.select("C2");
        QCOMPARE(host.prompts.questions(), QStringList{"文章已修改，保存吗？"});
        QCOMPARE(host.prompts.errors(), message.isEmpty() ? QStringList() : QStringList{message});
        QCOMPARE(plain("C1"), stored);
        const QString open = stays ? "C1" : "C2";
        QCOMPARE(host.book->currentChapterId() + host.currentId(), open + open);
        QCOMPARE(host.editor->toPlainText() + (host.editor->document()->isModified() ? "*" : ""),
                 QString(stays ? "章一改*" : "章二"));
        if (!failing.isEmpty())
            execSql("DROP TRIGGER temp.fail");
        host.book->autoSaveTimerUpdate();
        QCOMPARE(plain("C1") + plain("C2"), QString(stays ? "章一改" : stored) + "章二");
        QCOMPARE(scalar("SELECT COUNT(*) FROM L.BookLog").toInt(), plain("C1") == "章一" ? 0 : 1);
    }

    void overLengthIsToldWhileTyping()
    {
        BookHost host;
        QSignalSpy lengthSpy(host.book, &BookController::overLengthChanged);
        QSignalSpy failSpy(host.book, &BookController::autoSaveFailed);
        host.select("C1");
        host.type(QString(Ink::maxArticleLength - 2, QChar(0x5B57))); // exactly the limit
        host.type("多");
        QCOMPARE(lengthSpy.count(), 1); // not at the limit, once past it
        // One over the limit: the timer fails quietly and tries again at every tick.
        host.book->autoSaveTimerUpdate();
        host.book->autoSaveTimerUpdate();
        QVERIFY(host.prompts.errors().isEmpty() && failSpy.count() == 2);
        const QString tooLong = QStringLiteral("文章可以支持最大字符长度10240，不能继续！");
        QCOMPARE(failSpy[1][1].toString(), tooLong);
        QVERIFY(plain("C1") == "章一" && host.editor->document()->isModified());
        // A save the author asks for still shows the message.
        QVERIFY(!host.book->trySaveArticle());
        QCOMPARE(host.prompts.errors(), QStringList{tooLong});
        host.type("再");
        QTextCursor cursor(host.editor->document());
        cursor.movePosition(QTextCursor::End);
        cursor.deletePreviousChar();
        cursor.deletePreviousChar();
        host.book->autoSaveTimerUpdate();
        QCOMPARE(plain("C1").size(), Ink::maxArticleLength);
        // length over the limit (0: within), and whether this edit crossed it
        const int max = Ink::maxArticleLength;
        QCOMPARE(QList<QVariantList>(lengthSpy),
                 (QList<QVariantList>{{max + 1, true}, {max + 2, false}, {max + 1, false}, {0, false}}));
    }

    void importedChapterOpensAsPlainText()
    {
        insertBookRows({"B||1|0|1|书", "I|B|2|1|1|导入"});
        execSql("UPDATE BookTree SET HTML='<b>标记</b>',PlainText='<b>标记</b>',Attribute1='NEWIMPORT' WHERE ID='I'");
        BookHost host;
        // The empty editor's red first-use format must not colour a plain-text chapter.
        QTextCharFormat red;
        red.setForeground(Qt::red);
        host.editor->setCurrentCharFormat(red);
        host.select("I");
        QVERIFY(host.editor->toPlainText() == "<b>标记</b>" &&
                host.editor->textCursor().charFormat().foreground().color() != QColor(Qt::red));
        host.type("!");
        QVERIFY(host.book->saveArticle());
        QCOMPARE(row("I", "IFNULL(Attribute1,'')"), QString());
    }

    // Restoring a version is one edit of the editor: undo brings back the text it replaced, which
    // was kept as a version first, unsaved as it was.
    void restoredVersionIsOneUndoableEdit()
    {
        BookHost host;
        HistoryController history(host.book, nullptr);
        host.select("C1");
        host.type("甲");
        QVERIFY(host.book->saveArticle());
        host.type("乙");
        const QVector<ChapterHistory::Version> before = ChapterHistory::versions("C1");
        QVERIFY(before.size() == 1 && history.restoreVersion(before[0].id));
        QVERIFY(host.editor->toPlainText() == "章一" && host.editor->document()->isModified());
        const QVector<ChapterHistory::Version> after = ChapterHistory::versions("C1");
        QVERIFY(after.size() == 2 && ChapterHistory::text(after[0].id).plainText == "章一甲乙");
        host.editor->undo();
        QCOMPARE(host.editor->toPlainText(), QString("章一甲乙"));
    }

};

QTEST_MAIN(TestEditor)
#include "tst_editor.moc"
