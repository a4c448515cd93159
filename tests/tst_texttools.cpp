// Text tools of the chapter editor (statistics, length alerts, sensitive words, auto-format,
// inserts) and the find and replace dialogs.
#include "BookHost.h"
#include "BookTestCase.h"
#include "Columns.h"

#include "app/Constants.h"
#include "book/ReplaceDialog.h"
#include "book/TextTools.h"
#include "book/TextToolsController.h"
#include "frame/Toast.h"
#include "params/SysParams.h"

#include <QRandomGenerator>
#include <QtWidgets>

namespace {

using TextTools::WordStatistics;

// The characters of the document with an overline, as a string of '^' and '.'.
QString overlines(const QTextDocument *doc)
{
    QString mask;
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it)
            mask += QString(it.fragment().length(), it.fragment().charFormat().fontOverline() ? '^' : '.');
        if (block.next().isValid())
            mask += '.';
    }
    return mask;
}

// Undoes everything; the number of steps it took.
int undoAll(QTextDocument *doc)
{
    int steps = 0;
    while (doc->isUndoAvailable() && steps < 100) {
        doc->undo();
        ++steps;
    }
    return steps;
}

// The statistics as the classic definition counts them: every start of a match, overlapping.
int classicCount(const QString &pattern, const QString &text)
{
    QRegExp rx(pattern, Qt::CaseSensitive, QRegExp::RegExp);
    int count = 0;
    for (int pos = rx.indexIn(text, 0); pos != -1; pos = rx.indexIn(text, pos + 1))
        ++count;
    return count;
}

// An editor with the text tools and nothing else (no chapter logic).
struct Tools {
    QWidget window;
    MyTextEdit *editor = new MyTextEdit(&window);
    QLabel *label = new QLabel(&window);
    TextToolsController tools{{editor, nullptr, nullptr, nullptr, label, &window}};

    explicit Tools(const QString &text = QString())
    {
        editor->setPlainText(text);
        editor->document()->clearUndoRedoStacks();
        editor->document()->setModified(false);
    }
};

// The book tree and the editor with the text tools over the real database.
struct BookTools : BookHost {
    QStatusBar *statusBar = new QStatusBar(&window);
    QLabel *label = new QLabel(&window);
    TextToolsController tools{{editor, view, book, statusBar, label, &window}};
    QStringList alerts;

    BookTools()
    {
        QObject::connect(editor, &QTextEdit::textChanged, &tools, &TextToolsController::updateWordStatistics);
        QObject::connect(&tools, &TextToolsController::wordCountAlert, [this](int t) { alerts << QString::number(t); });
    }
};

} // namespace

class TestTextTools : public BookTestCase
{
    Q_OBJECT
private slots:
    void init()
    {
        BookTestCase::init();
        g_SysParams = SysParams();
    }

    // Seeded texts over the edges of every class, against the classic definition's expressions.
    void statisticsMatchClassicDefinition()
    {
        const QString pool = QString::fromUtf16(u"aAzZ059 \n_/:@[`{\u4E00\u9FA5\u9FA6\u4DFF\u3400\u3002\uFF11\u6587\u3000")
                             + QChar(0xD83D) + QChar(0xDE00);
        QRandomGenerator rng(20240611);
        for (int i = 0; i < 500; ++i) {
            QString text;
            for (int j = rng.bounded(60); j > 0; --j)
                text += pool.at(rng.bounded(pool.size()));
            const WordStatistics s = TextTools::countWords(text);
            const QList<int> classic{text.size(), classicCount("[\\x4e00-\\x9fa5]+", text),
                                     classicCount("[a-zA-Z0-9]+", text),
                                     classicCount("[^a-zA-Z0-9\\x4e00-\\x9fa5]+", text)};
            QVERIFY2((QList<int>{s.total, s.chinese, s.latin, s.other}) == classic, qPrintable(text));
        }
    }

    // Steps: "+n" types n letters, "-n" cuts n characters at the end, "page" leaves the chapter for
    // the first-use page and puts text on it with a threshold just ahead. Loading the first-use page
    // and chapters raises nothing, however long they are.
    void lengthAlertToldOncePerThreshold_data()
    {
        COLUMNS(bool, enabled, QString, steps, QString, alerts, QString, label);
        QTest::newRow("past two thresholds: the first told") << true << "+23 +3" << "10" << "总:28,中:2,英数:26,其:0";
        QTest::newRow("below and past again: told again") << true << "+23 +3 -20 +2" << "10,10" << "";
        QTest::newRow("switched off") << false << "+23" << "" << "";
        QTest::newRow("first-use page") << true << "page" << "" << "";
    }
    void lengthAlertToldOncePerThreshold()
    {
        FETCH(bool, enabled, QString, steps, QString, alerts, QString, label);
        g_SysParams.editorParams.alertOnWordCountList = "10\r\n20\r\nabc\r\n-3\r\n 0 \r\n";
        g_SysParams.editorParams.alertOnWordCount = enabled;
        execSql("UPDATE BookTree SET HTML='<p>" + QString(30, 'x') + "</p>' WHERE ID='C2'");
        BookTools host;
        for (const char *id : {"C1", "C2", "C1"})
            host.select(id);
        QCOMPARE(host.tools.lastTextLength(), 2);
        const int toasts = Toast::currentSerial();
        for (const QString &step : steps.split(' ')) {
            if (step == "page") {
                host.editor->document()->setModified(false);
                QVERIFY(host.book->clearEditor());
                g_SysParams.editorParams.alertOnWordCountList = QString::number(host.tools.lastTextLength() + 10);
                QTextCursor(host.editor->document()).insertText(QString(30, 'e'));
            } else if (step.startsWith('+')) {
                host.type(QString(step.mid(1).toInt(), 'a'));
            } else {
                QTextCursor cut(host.editor->document());
                cut.movePosition(QTextCursor::End);
                cut.movePosition(QTextCursor::PreviousCharacter, QTextCursor::KeepAnchor, step.mid(1).toInt());
                cut.removeSelectedText();
            }
        }
        QCOMPARE(host.alerts.join(','), alerts);
        QCOMPARE(Toast::currentSerial(), toasts + host.alerts.size());
        if (!alerts.isEmpty())
            QCOMPARE(host.tools.alertLabel()->text(), "您输入文字已超过" + host.alerts.last() + "了");
        if (!label.isEmpty())
            QCOMPARE(host.label->text(), label);
    }

    void sensitiveWordsMarkedInOneUndoableStep_data()
    {
        COLUMNS(QString, list, QString, text, QString, marks, int, count);
        QTest::newRow("three times") << "赌博" << "赌博，又赌博。赌博" << "^^..^^.^^" << 3;
        QTest::newRow("Latin case, not whole words") << "porn" << "Porn xPORNx" << "^^^^..^^^^." << 2;
        QTest::newRow("slash, line feed, blanks") << " 甲乙 /丙\n\n丁/" << "甲乙丙\n丁戊" << "^^^.^." << 3;
        QTest::newRow("CRLF list") << "甲\r\n乙\r\n" << "甲乙丙" << "^^." << 2;
        QTest::newRow("never overlapping") << "aa" << "aaa" << "^^." << 1;
        QTest::newRow("two words on one place") << "网络赌博/赌博" << "网络赌博" << "^^^^" << 2;
        QTest::newRow("empty list") << " / \n" << "甲乙" << ".." << 0;
    }

    void sensitiveWordsMarkedInOneUndoableStep()
    {
        FETCH(QString, list, QString, text, QString, marks, int, count);
        g_SysParams.editorParams.sensitiveWords = list;
        ScriptedPrompter prompter;
        Tools t(text);
        t.editor->moveCursor(QTextCursor::End);
        QCOMPARE(t.tools.checkSensitiveWords(false), count);
        QCOMPARE(overlines(t.editor->document()), marks);
        if (count == 0) {
            QVERIFY(prompter.messages.isEmpty());
            QVERIFY(!t.editor->document()->isModified());
            return;
        }
        QCOMPARE(prompter.infos(), QStringList{QString("一共发现%1个敏感词，请留意！").arg(count)});
        // One step the author can undo, from the top; the chapter is modified (save enabled).
        QTextDocument *doc = t.editor->document();
        QCOMPARE(QString("%1|%2|%3").arg(t.editor->textCursor().position()).arg(doc->isModified()).arg(undoAll(doc)),
                 QString("0|1|1"));
        QCOMPARE(overlines(doc), QString(text.size(), '.'));
        // Clearing takes every overline, one set by hand too, but leaves a read-only editor alone.
        t.tools.checkSensitiveWords(false);
        t.editor->moveCursor(QTextCursor::End);
        t.editor->moveCursor(QTextCursor::PreviousCharacter, QTextCursor::KeepAnchor);
        t.editor->textSetSensitiveWord(true);
        const QString marked = marks.chopped(1) + '^';
        t.editor->setReadOnly(true);
        t.tools.clearSensitiveWords();
        QCOMPARE(t.tools.checkSensitiveWords(false), 0);
        QCOMPARE(overlines(doc), marked);
        t.editor->setReadOnly(false);
        t.tools.clearSensitiveWords();
        QCOMPARE(overlines(doc) + QString::number(t.editor->textCursor().position()), QString(text.size(), '.') + "0");
    }

    // Marks put on while a chapter opens are not an edit: nothing to save, undo or sync.
    void silentCheckOnOpening()
    {
        g_SysParams.editorParams.sensitiveWords = "赌博/毒品";
        g_SysParams.editorParams.checkSensitiveWordsOnRead = true;
        execSql("UPDATE BookTree SET HTML='<p>赌博和毒品</p>', PlainText='赌博和毒品' WHERE ID='C1'");
        const QString before = row("C1", "Updated,Synced,Usn,HTML");
        BookTools host;
        host.select("C1");
        QTextDocument *doc = host.editor->document();
        QCOMPARE(overlines(doc), QString("^^.^^"));
        QVERIFY(!doc->isModified() && !doc->isUndoAvailable() && !doc->isRedoAvailable());
        host.book->autoSaveTimerUpdate();
        host.select("C2");
        QVERIFY(host.prompts.messages.isEmpty());
        QCOMPARE(row("C1", "Updated,Synced,Usn,HTML"), before);
    }

    void formatAndLineAreOneUndoStepAndSpareReadOnly_data()
    {
        COLUMNS(QString, command, QString, text, QString, expected);
        const QString in = QString(2, Ink::paragraphIndentChar), line(50, '-');
        QTest::newRow("format: blanks and an empty line") << "format" << "  a\n\n b \t" << in + "a\n\n" + in + "b\n";
        QTest::newRow("format: old indents, trailing line feed") << "format" << in + "甲。\n" << in + "甲。\n";
        QTest::newRow("format: blank lines only") << "format" << " \n\t\n" << QString();
        QTest::newRow("line after an empty paragraph") << "line" << "ab\n" << "ab\n" + line + "\n";
        QTest::newRow("line after text in the paragraph") << "line" << "ab" << "ab\n" + line + "\n";
        QTest::newRow("line in an empty chapter") << "line" << QString() << line + "\n";
    }

    // One undo step each; nothing happens and nothing is asked while the editor is read-only.
    void formatAndLineAreOneUndoStepAndSpareReadOnly()
    {
        FETCH(QString, command, QString, text, QString, expected);
        const bool format = command == "format";
        if (format)
            QCOMPARE(TextTools::autoFormatText(text), expected);
        ScriptedPrompter prompter;
        Tools t(text);
        t.editor->selectAll();
        t.editor->setFontWeight(QFont::Bold);
        t.editor->document()->clearUndoRedoStacks();
        t.editor->moveCursor(QTextCursor::End);
        const auto run = [&] { format ? t.tools.autoFormat() : t.tools.insertLine(); };
        t.editor->setReadOnly(true);
        run();
        QCOMPARE(t.editor->toPlainText() + QString::number(prompter.messages.size()), text + "0");
        t.editor->setReadOnly(false);
        prompter.answers = {Ink::maNo, Ink::maYes};
        if (format) {
            run();
            QCOMPARE(prompter.questions(), QStringList{"自动排版后，设置的格式可能会丢失，确定继续吗？"});
            QCOMPARE(t.editor->toPlainText(), text);
        }
        run();
        QCOMPARE(t.editor->toPlainText(), expected);
        if (format) {
            QCOMPARE(t.editor->textCursor().position(), 0);
            QTextCursor probe(t.editor->document());
            probe.movePosition(QTextCursor::End);
            QVERIFY(!probe.charFormat().font().bold() && !t.editor->currentCharFormat().font().bold());
        }
        QCOMPARE(undoAll(t.editor->document()), 1);
        QCOMPARE(t.editor->toPlainText(), text);
        if (!format) {
            run();
            t.tools.insertDateTime();
            QVERIFY(t.editor->toPlainText().size() > expected.size() && t.editor->toPlainText().startsWith(expected));
        }
    }

    void selectionBecomesTheNodeTitle_data()
    {
        // title: empty: the title stays
        COLUMNS(QString, text, QString, title);
        QTest::newRow("paragraphs") << " 第一章\n开端 " << "第一章 开端";
        QTest::newRow("line separator") << QString::fromUtf16(u"甲\u2028乙") << "甲 乙";
        QTest::newRow("capped") << QString(250, QChar(0x5B57)) << QString(200, QChar(0x5B57));
        QTest::newRow("only breaks") << " \n \n" << QString();
    }

    void selectionBecomesTheNodeTitle()
    {
        FETCH(QString, text, QString, title);
        BookTools host;
        host.select("C1");
        host.editor->setPlainText(text);
        host.editor->selectAll();
        host.tools.selectionAsNodeTitle();
        const QString expected = title.isEmpty() ? QString("章一") : title;
        QCOMPARE(row("C1", "Title") + '|' + host.sourceOf("C1").data().toString(), expected + '|' + expected);
        QCOMPARE(TextTools::titleFromSelection(text), title);
    }

    void copyAllKeepsTheView()
    {
        const QString text = QString("一行字\n").repeated(60);
        Tools t(text);
        t.editor->setGeometry(0, 0, 300, 120);
        t.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&t.window));
        QTextCursor c = t.editor->textCursor();
        c.setPosition(30);
        c.setPosition(25, QTextCursor::KeepAnchor);
        t.editor->setTextCursor(c);
        t.editor->verticalScrollBar()->setValue(t.editor->verticalScrollBar()->maximum() / 2);
        const int scroll = t.editor->verticalScrollBar()->value();
        QVERIFY(scroll > 0);
        t.tools.copyAll();
        QCOMPARE(QApplication::clipboard()->text(), text);
        QCOMPARE(QString("%1,%2,%3").arg(t.editor->textCursor().anchor()).arg(t.editor->textCursor().position())
                     .arg(t.editor->verticalScrollBar()->value()), QString("30,25,%1").arg(scroll));
    }

    void findAndReplaceChangeOnlyWhatTheyFind_data()
    {
        // selection: anchor, position before
        // options: b = backward, c = case sensitive, w = whole words
        // clicks: f = find, r = replace, a = replace all
        COLUMNS(QString, text, QPoint, selection, QString, find, QString, replace, QString, options, QString, clicks, QString, result, QPoint, after, int, undoSteps);
        QTest::newRow("all forward") << "a b a" << QPoint(0, 0) << "a" << "x" << "" << "a" << "x b x" << QPoint(5, 5) << 1;
        QTest::newRow("all forward, containing") << "a b a" << QPoint(0, 0) << "a" << "aa" << "" << "a" << "aa b aa" << QPoint(7, 7) << 1;
        QTest::newRow("all backward") << "a b a" << QPoint(5, 5) << "a" << "x" << "b" << "a" << "x b x" << QPoint(0, 0) << 1;
        QTest::newRow("all backward, containing") << "a b a" << QPoint(5, 5) << "a" << "aa" << "b" << "a" << "aa b aa" << QPoint(0, 0) << 1;
        QTest::newRow("all backward, overlapping") << "aaa" << QPoint(3, 3) << "aa" << "a" << "b" << "a" << "aa" << QPoint(1, 1) << 1;
        QTest::newRow("all from the selection") << "a a a" << QPoint(2, 3) << "a" << "x" << "" << "a" << "a x x" << QPoint(5, 5) << 1;
        QTest::newRow("all backward from the selection") << "a a a" << QPoint(2, 3) << "a" << "x" << "b" << "a" << "x x a" << QPoint(0, 0) << 1;
        QTest::newRow("all, other case found not replaced") << "a A" << QPoint(0, 0) << "a" << "x" << "" << "a" << "x A" << QPoint(2, 3) << 1;
        QTest::newRow("all, case sensitive") << "A a" << QPoint(0, 0) << "a" << "x" << "c" << "a" << "A x" << QPoint(3, 3) << 1;
        QTest::newRow("all, whole words") << "aab ab" << QPoint(0, 0) << "ab" << "x" << "w" << "a" << "aab x" << QPoint(5, 5) << 1;
        QTest::newRow("all, nothing found") << "abc" << QPoint(1, 2) << "z" << "x" << "" << "a" << "abc" << QPoint(1, 2) << 0;
        QTest::newRow("all, twice") << "a a" << QPoint(0, 0) << "a" << "ab" << "" << "aa" << "ab ab" << QPoint(5, 5) << 1;
        QTest::newRow("find past the last") << "a b" << QPoint(0, 1) << "a" << "" << "" << "f" << "a b" << QPoint(0, 1) << 0;
        QTest::newRow("find backward") << "ab ab" << QPoint(5, 5) << "AB" << "" << "b" << "ff" << "ab ab" << QPoint(0, 2) << 0;
        QTest::newRow("replace without selection selects") << "a b a" << QPoint(0, 0) << "a" << "x" << "" << "r" << "a b a" << QPoint(0, 1) << 0;
        QTest::newRow("replace, replace") << "a b a" << QPoint(0, 0) << "a" << "x" << "" << "rr" << "x b a" << QPoint(4, 5) << 1;
        QTest::newRow("replace other case") << "A" << QPoint(0, 0) << "a" << "x" << "" << "rr" << "A" << QPoint(0, 1) << 0;
        QTest::newRow("replace backward, containing") << "a a" << QPoint(3, 3) << "a" << "aa" << "b" << "rrrr" << "aa aa" << QPoint(0, 0) << 2;
        QTest::newRow("replace backward, then all") << "aaa" << QPoint(3, 3) << "aa" << "a" << "b" << "rra" << "aa" << QPoint(1, 1) << 1;
        QTest::newRow("empty find text") << "a b" << QPoint(0, 1) << "" << "x" << "" << "fra" << "a b" << QPoint(0, 1) << 0;
        const QString nbsp = QStringLiteral("a\u00A0b");
        QTest::newRow("all, no-break space in the text") << nbsp + " a" << QPoint(0, 0) << "a b" << "x" << "" << "a" << "x a" << QPoint(1, 1) << 1;
        QTest::newRow("replace, no-break space in the text") << nbsp << QPoint(0, 0) << "a b" << "x" << "" << "rr" << "x" << QPoint(1, 1) << 1;
        QTest::newRow("all, no-break space in the find text") << "a b" << QPoint(0, 0) << nbsp << "x" << "" << "a" << "x" << QPoint(1, 1) << 1;
    }

    void findAndReplaceChangeOnlyWhatTheyFind()
    {
        FETCH(QString, text, QPoint, selection, QString, find, QString, replace, QString, options, QString, clicks, QString, result, QPoint, after, int, undoSteps);
        for (const bool readOnly : {false, true}) {
            Tools t(text);
            QTextCursor c = t.editor->textCursor();
            c.setPosition(selection.x());
            c.setPosition(selection.y(), QTextCursor::KeepAnchor);
            t.editor->setTextCursor(c);
            t.editor->setReadOnly(readOnly);
            ReplaceDialog dialog;
            dialog.setEditor(t.editor);
            dialog.setFindText(find);
            dialog.setReplaceText(replace);
            dialog.findChild<QCheckBox *>("checkBoxBackward")->setChecked(options.contains('b'));
            dialog.findChild<QCheckBox *>("checkBoxCaseSensitive")->setChecked(options.contains('c'));
            dialog.findChild<QCheckBox *>("checkBoxWholeWords")->setChecked(options.contains('w'));
            // A replace loop that never ends fails on the test's time limit.
            for (const QChar click : clicks)
                dialog.findChild<QPushButton *>(click == 'f' ? "pushButtonFind" : click == 'r' ? "pushButtonReplace" : "pushButtonReplaceAll")->click();
            QTextDocument *doc = t.editor->document();
            const QPoint at(t.editor->textCursor().anchor(), t.editor->textCursor().position());
            if (readOnly) { // never changed; finding still moves the selection
                QVERIFY(doc->toRawText() == text && !doc->isModified());
                QVERIFY(!clicks.contains('f') || undoSteps != 0 || at == after);
                continue;
            }
            QCOMPARE(doc->toRawText() + '|' + QString::number(doc->isModified()), result + '|' + QString::number(undoSteps > 0));
            QCOMPARE(at, after);
            QCOMPARE(undoAll(doc), undoSteps);
            QCOMPARE(doc->toRawText(), text);
        }
    }

};

QTEST_MAIN(TestTextTools)
#include "tst_texttools.moc"
