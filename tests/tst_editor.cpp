// The chapter editor and the saving of chapters against a real database.
#include "BookSteps.h"
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

    // The strings the suggestions search for follow the input; ASCII keys and arrows end a word.
    void inputStrings_data()
    {
        // seen: last input|combined input|change signals|reset signals
        COLUMNS(bool, resetOnAscii, QStringList, steps, QString, seen);
        QTest::newRow("two commits") << true << QStringList{"ime:春风", "ime:十里"} << "十里|春风十里|2|0";
        QTest::newRow("backspace after commit") << true << QStringList{"ime:春风", "Backspace"} << "春|春|2|0";
        QTest::newRow("ascii key resets") << true << QStringList{"ime:春风", "A"} << "||1|1";
        QTest::newRow("ascii key recorded") << false << QStringList{"A", "B"} << "b|ab|2|0";
        QTest::newRow("modifier keeps") << true << QStringList{"ime:春风", "Ctrl+V"} << "春风|春风|1|0";
        QTest::newRow("arrow resets") << true << QStringList{"ime:春风", "Left"} << "||1|1";
        QTest::newRow("empty commit") << true << QStringList{"ime:春风", "ime:"} << "春风|春风|1|0";
        // Middle-click paste and drops change the text without a key press: still input.
        QTest::newRow("paste") << true << QStringList{"paste:拖进来的字"} << "||0|0";
    }

    void inputStrings()
    {
        FETCH(bool, resetOnAscii, QStringList, steps, QString, seen);
        MyTextEdit editor;
        editor.setResetOnAsciiKey(resetOnAscii);
        int changed = 0;
        QString emitted; // the combined string the last change signal carried
        connect(&editor, &MyTextEdit::signalLastInputStringChanged, this, [&](QString &, QString &combo) {
            ++changed;
            emitted = combo;
        });
        QSignalSpy resets(&editor, &MyTextEdit::signalLastInputStringReseted);
        QSignalSpy inputs(&editor, &MyTextEdit::signalLastInput);
        for (const QString &step : steps)
            feed(&editor, step);
        QVERIFY(!steps[0].startsWith("paste:") || editor.toPlainText().contains(steps[0].mid(6)));
        QCOMPARE(QString("%1|%2|%3|%4").arg(editor.lastInputString(), editor.lastComboInputString()).arg(changed)
                     .arg(resets.count()), seen);
        QVERIFY(!changed || resets.count() || emitted == editor.lastComboInputString());
        // Ctrl+V is two key presses (Ctrl, then V); every press counts as input.
        QCOMPARE(inputs.count(), steps.size() + steps.count("Ctrl+V"));
        QVERIFY(editor.lastInputTime().isValid());
        // Commits type their text; the input-method candidate window goes to the text cursor.
        QVERIFY(editor.toPlainText().contains(editor.lastComboInputString()) && editor.document()->isModified());
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
        QTest::newRow("quotes, backslashes, placeholders, emoji") << "他说：'走吧'，\"好\" C:\\书\\%1 %2 %% \\n 🌙🐉 👨‍👩‍👧";
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

    // Scenarios: steps played on a host; see BookSteps.h for the verbs.
    void scenarios_data()
    {
        COLUMNS(QString, steps, QString, seen);
        // Without a chapter the editor takes nothing and the timer saves nothing.
        QTest::newRow("no chapter") << "=ro; select C1; openid NOPE; =ro; =open; save; =has 章一; insert 不该进去; =has 不该进去; tick; "
                                       "=sql SELECT COUNT(*) FROM BookTree WHERE Synced=0" << "ro; ro; /C1; unsaved; lacks 章一; lacks 不该进去; 0";
        // One log row per chapter and day: id|length|words (Chinese, ASCII letters, digits)|synced|today
        QTest::newRow("day log") << "select C1; type 一二三，; save; sql UPDATE L.BookLog SET Synced=1; type 四五; save; "
                                    "select C2; type 六！; save; =sql SELECT group_concat(BookID||'|'||WordCount1||'|'||"
                                    "WordCount2||'|'||Synced||'|'||(ADate=date('now','localtime')), ',') FROM "
                                    "(SELECT * FROM L.BookLog ORDER BY BookID)" << "saved; saved; saved; C1|8|7|0|1,C2|4|3|0|1";
        // Each save re-sorts, moving the chapter to the top of its volume: the text stays with its chapter.
        QTest::newRow("autosave while switching")
            << "sortmod; select C1; type +C1; tick; type +C1; tick; select C2; type +C2; tick; type +C2; tick; "
               "select C3; type +C3; tick; type +C3; tick; select C1; type +C1; tick; type +C1; tick; select C2; "
               "type +C2; tick; type +C2; tick; =plain C1; =plain C2; =plain C3; =asked" << "章一+C1+C1+C1+C1; 章二+C2+C2+C2+C2; 章三+C3+C3; ";
        // A reload saves the open chapter's edits first and stays on it; after a sync the chapter is
        // read again, and deleted elsewhere it leaves the editor.
        QTest::newRow("reload saves first") << "select C2; type 未存; reload; =open; =text; =plain C2; "
                                               "sql UPDATE BookTree SET HTML='<p>云端</p>',PlainText='云端' WHERE ID='C2'; "
                                               "sync; =text; sql UPDATE BookTree SET Flag='D' WHERE ID='C2'; sync; =open; "
                                               "=row C2 Flag,PlainText; =asked" << "C2; 章二未存; 章二未存; 云端; B1; D|云端; ";
        // Edits that cannot be saved stay in the editor, modified, and the error is shown; "no" gives
        // them up, or they save once the obstacle is gone.
        QTest::newRow("reload: deleted elsewhere") << "select C2; type 未存; sql UPDATE BookTree SET Flag='D' WHERE ID='C2'; "
                                                      "sync; =open; =text; =ro; =errors; =asked; clear; no; select C1; =open; "
                                                      "=row C2 Flag,PlainText" << "C2/; 章二未存*; rw; 文章已被删除，不能保存！; ; kept; C1; D|章二";
        // A temporary view hides the table from the save and from the reload alike.
        QTest::newRow("reload: save and reload fail") << "select C2; type 未存; sql CREATE TEMP VIEW BookTree AS SELECT 1 AS x; "
                                                         "sync; =open; =text; =ro; =errors; clear; sql DROP VIEW temp.BookTree; "
                                                         "tick; =plain C2; =asked" << "C2; 章二未存*; rw; no such column: Flag Unable to prepare statement/no such column: ID Unable to prepare statement; kept; 章二未存; ";
        // An imported chapter opens as plain text, not coloured by the empty editor's red first-use
        // format; the first save clears the import mark.
        QTest::newRow("imported chapter") << "sql UPDATE BookTree SET HTML='<b>标记</b>',PlainText='<b>标记</b>',Attribute1="
                                             "'NEWIMPORT' WHERE ID='C4'; reload; red; select C4; =text; =red; type !; save; "
                                             "=row C4 IFNULL(Attribute1,'')" << "<b>标记</b>; plain; saved; ";
        // Leaving an edited chapter asks to save it; a timer firing while the question is open saves
        // nothing. A save that fails (the chapter or its log row) writes neither, and the tree stays on
        // the chapter with its edits, which save once the obstacle is gone.
        const QString leave = "tickOnAsk; select C2; =asked; =errors; =plain C1; =open; =text; ";
        const QString after = "tick; =plain C1; =plain C2; =sql SELECT COUNT(*) FROM L.BookLog";
        QTest::newRow("leave: yes") << "select C1; type 改; yes; " + leave + after << "文章已修改，保存吗？; ; 章一改; C2; 章二; 章一改; 章二; 1";
        QTest::newRow("leave: no") << "select C1; type 改; no; " + leave + after << "文章已修改，保存吗？; ; 章一; C2; 章二; 章一; 章二; 0";
        // Esc or the title-bar button: no decision, so nothing is saved or dropped.
        QTest::newRow("leave: dismissed") << "select C1; type 改; dismiss; " + leave + after << "文章已修改，保存吗？; ; 章一; C1; 章一改*; 章一改; 章二; 1";
        // The timer opens no dialog: the failure is reported and logged with the chapter id.
        const QString failing = "; tick; =errors; =failed; =logged 自动保存文章失败（文章ID：C1）; =row C1 PlainText,Synced; "
                                "=sql SELECT COUNT(*) FROM L.BookLog; =tx; yes; " + leave + "unfail; " + after;
        QTest::newRow("leave: log insert fails") << "select C1; type 改; fail INSERT ON L.BookLog" + failing << "; C1:保存文章出错，错误信息：/写不进 Unable to execute statement; logged; 章一|1; 0; 0; 文章已修改，保存吗？; 保存文章出错，错误信息：/写不进 Unable to execute statement; 章一; C1; 章一改*; 章一改; 章二; 1";
        QTest::newRow("leave: chapter update fails") << "select C1; type 改; fail UPDATE OF HTML ON main.BookTree" + failing << "; C1:保存文章出错，错误信息：/写不进 Unable to execute statement; logged; 章一|1; 0; 0; 文章已修改，保存吗？; 保存文章出错，错误信息：/写不进 Unable to execute statement; 章一; C1; 章一改*; 章一改; 章二; 1";
    }
    void scenarios()
    {
        FETCH(QString, steps, QString, seen);
        BookHost host;
        QCOMPARE(play(host, steps), seen);
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
