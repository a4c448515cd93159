// Recovery copies of the chapter in the editor, the recovery dialog and its diff, and a child
// process killed at random moments.
#include "BookHost.h"
#include "Folders.h"
#include "Rows.h"
#include "TestProfile.h"

#include "app/App.h"
#include "app/Constants.h"
#include "book/LcsDiff.h"
#include "book/RecoveryController.h"
#include "book/TmpSaveFile.h"
#include "book/TmpSaveProcDialog.h"
#include "book/TmpSaveWriter.h"
#include "log/Log.h"

#include <QtTest>
#include <QtWidgets>

#include <csignal>
#include <cstdio>
#include <random>

#include <sys/types.h>
#include <unistd.h>

namespace {

QString tmpFolder() { return g_App.tmpPath(); }

QString fileText(const QString &path) { return TmpSaveFile::read(path); }

QString timeOf(const QString &path)
{
    QString time;
    TmpSaveFile::parseName(QFileInfo(path).fileName(), nullptr, &time);
    return time;
}

QString stamp(const QDateTime &t) { return t.toString("yyyyMMddhhmmsszzz"); }

void clearTmpFolder() { QDir(tmpFolder()).removeRecursively(), QDir().mkpath(tmpFolder()); }

// "-a|=b|+c" for a diff list.
QString encode(const DiffList &diffs)
{
    QStringList parts;
    for (const Diff &d : diffs)
        parts << QString(d.operation == Diff::Delete ? '-' : d.operation == Diff::Insert ? '+' : '=') + d.text;
    return parts.join('|');
}

void click(QWidget *dialog, const char *name) { dialog->findChild<QAbstractButton *>(name)->click(); }
QListView *copyList(QWidget *dialog) { return dialog->findChild<QListView *>("listViewTmpSaveFile"); }

bool waitCompared(TmpSaveProcDialog *dialog)
{
    return QTest::qWaitFor([dialog]() { return !dialog->isComparing(); }, 30000);
}

// The book panel with recovery copies; the copies' clock is the test's.
struct RecoveryHost : BookHost {
    QStatusBar statusBar;
    RecoveryController recovery{book, tmpFolder(), nullptr, &statusBar};
    QDateTime clock = QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6, 7));

    RecoveryHost() { recovery.writer()->setClock([this]() { return clock; }); }
    QStringList files(const QString &id = "C1") const { return TmpSaveFile::list(tmpFolder(), id); }
    void tick()
    {
        clock = clock.addSecs(1);
        recovery.tmpSaveTimerUpdate();
    }
};

// One change of the given kind at the cursor (and its selection); "key" takes a key sequence,
// "replace" replaces every first character of text by the rest in one edit block.
void change(MyTextEdit *editor, const QString &kind, const QString &text)
{
    if (kind == "type") {
        QTest::keyClicks(editor, text);
    } else if (kind == "ime") {
        QInputMethodEvent event;
        event.setCommitString(text);
        QApplication::sendEvent(editor, &event);
    } else if (kind == "paste") {
        QApplication::clipboard()->setText(text);
        editor->paste();
    } else if (kind == "replace") {
        QTextDocument *doc = editor->document();
        QTextCursor edit(doc);
        edit.beginEditBlock();
        for (QTextCursor c = doc->find(text.left(1)); !c.isNull(); c = doc->find(text.left(1), c))
            c.insertText(text.mid(1));
        edit.endEditBlock();
    } else if (const auto slot = QHash<QString, void (QTextEdit::*)()>{
                   {"cut", &QTextEdit::cut}, {"undo", &QTextEdit::undo}, {"redo", &QTextEdit::redo}}.value(kind)) {
        (editor->*slot)();
    } else if (kind == "bold") {
        editor->textSetBold(true);
    } else if (kind == "key") {
        QTest::keySequence(editor, QKeySequence(text));
    }
}

QByteArray md5(const QString &text) { return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex(); }

// --- the crash child: edits of every kind, saves at random moments, copies every second ---

int runCrashChild(quint32 seed)
{
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    setLogFolder(QString());
    if (!startApp().ok)
        return 2;
    clearBookTables();
    smallLibrary();
    std::mt19937 rng(seed);
    auto pick = [&rng](int n) { return int(rng() % quint32(n)); };
    auto say = [](const QByteArray &line) { std::printf("%s\n", line.constData()), std::fflush(stdout); };

    BookHost host;
    QTimer tmpSaveTimer, editTimer, saveTimer; // the last two restarted at random intervals
    RecoveryController recovery(host.book, tmpFolder(), &tmpSaveTimer);
    host.window.resize(600, 400);
    host.window.show();
    host.select("C1");
    MyTextEdit *editor = host.editor;
    QObject::connect(&tmpSaveTimer, &QTimer::timeout, [&]() { say("W+"), recovery.tmpSaveTimerUpdate(), say("W-"); });
    tmpSaveTimer.start(1000);
    int edits = 0;
    say("E 0 " + md5(editor->toPlainText()));

    const QStringList phrases{"春风十里", "不如你", "abc"}, keys{"Return", "Backspace", "Ctrl+Z"};
    const QStringList kinds{"type", "ime", "paste", "cut", "undo", "redo", "replace", "bold", "key"};
    QObject::connect(&editTimer, &QTimer::timeout, [&]() {
        // Past 3000 characters the first half is cut: the chapter stays well within the length a save takes.
        const int length = editor->document()->characterCount() - 1, from = length > 3000 ? 0 : pick(length + 1);
        QTextCursor c = editor->textCursor();
        c.setPosition(from);
        c.setPosition(length > 3000 ? 1500 : qMin(length, from + pick(20)), QTextCursor::KeepAnchor);
        editor->setTextCursor(c);
        const QString kind = length > 3000 ? "cut" : kinds[pick(kinds.size())];
        change(editor, kind, kind == "replace" ? "风雨" : kind == "key" ? keys[pick(3)] : phrases[pick(3)]);
        say("E " + QByteArray::number(++edits) + ' ' + md5(editor->toPlainText()));
        editTimer.start(10 + pick(120));
    });
    QObject::connect(&saveTimer, &QTimer::timeout, [&]() {
        say("V+"), host.book->autoSaveTimerUpdate(), say("V-");
        saveTimer.start(150 + pick(900));
    });
    saveTimer.start(150 + pick(900));
    return QApplication::exec();
}

} // namespace

class TestTmpSave : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(startApp().ok); }
    void init()
    {
        clearBookTables();
        smallLibrary();
        clearTmpFolder();
    }

    // --- the diff ---

    // The diff by characters or lines, and the author's text shown as HTML (markup characters
    // escaped before spaces are made hard).
    void lcsDiffGolden_data()
    {
        COLUMNS(QString, mode, QString, text1, QString, text2, QString, expected)
        QTest::newRow("tie goes to insert") << "chars" << "a" << "b" << "-a|+b";
        QTest::newRow("no common prefix stripped") << "chars" << "aa" << "a" << "-a|=a";
        QTest::newRow("crossed") << "chars" << "ab" << "ba" << "-a|=b|+a";
        QTest::newRow("neighbours merged") << "chars" << "abc" << "abd" << "=ab|-c|+d";
        QTest::newRow("surrogate units") << "chars" << "😀a" << "a" << "-😀|=a";
        QTest::newRow("lines without final feed") << "lines" << "a\nb" << "a\nc" << "=a\n|-b\n|+c\n";
        QTest::newRow("lines with final feed") << "lines" << "a\nb\n" << "a\n" << "=a\n|-b\n|=\n";
        QTest::newRow("lines, both empty") << "lines" << "" << "" << "=\n";
        QTest::newRow("lines, copy empty") << "lines" << "x" << "" << "-x\n|+\n";
        QTest::newRow("html escaping order") << "html" << "a&<b> c&nbsp;" << "" << "<span>a&amp;&lt;b&gt;&nbsp;c&amp;nbsp;</span>";
        QTest::newRow("html tab, ideographic space, line feed") << "html" << "\t\u3000x\n" << "" << "<span>&nbsp;&nbsp;&nbsp;x<br></span>";
    }

    void lcsDiffGolden()
    {
        FETCH(QString, mode, QString, text1, QString, text2, QString, expected)
        if (mode == "html")
            QCOMPARE(::diffPrettyHtml({Diff{Diff::Equal, text1}}, false, true), "<!DOCTYPE html><body>" + expected + "</body>");
        else
            QCOMPARE(encode(lcsDiff(text1, text2, mode == "lines")), expected);
    }

    // Random pairs, empty and equal ones among them: the diff rebuilds both texts and keeps a
    // longest common run of tokens.
    void lcsDiffIsALongestCommonSubsequence()
    {
        std::mt19937 rng(20240601);
        for (int round = 0; round < 240; ++round) {
            const bool byLines = round % 3 == 0;
            auto text = [&]() {
                QString t;
                for (int k = int(rng() % (round % 4 ? 9 : 90)); k > 0; --k) // some past one word of directions
                    t += QString(QChar('a' + int(rng() % (2 + round % 2)))) + (byLines && rng() % 2 ? "\n" : "");
                return t;
            };
            const QString t1 = text(), t2 = text();
            auto tokens = [byLines](const QString &t) { // lines each with its feed, or characters
                QStringList list = t.split(byLines ? "\n" : "", byLines ? Qt::KeepEmptyParts : Qt::SkipEmptyParts);
                return byLines ? list.replaceInStrings(QRegularExpression("$"), "\n") : list;
            };
            const QStringList a = tokens(t1), b = tokens(t2);
            QVector<QVector<int>> len(a.size() + 1, QVector<int>(b.size() + 1));
            for (int i = 1; i <= a.size(); ++i)
                for (int j = 1; j <= b.size(); ++j)
                    len[i][j] = a[i - 1] == b[j - 1] ? len[i - 1][j - 1] + 1 : qMax(len[i - 1][j], len[i][j - 1]);
            QString before, after;
            int common = 0;
            for (const Diff &d : lcsDiff(t1, t2, byLines)) {
                before += d.operation == Diff::Insert ? QString() : d.text;
                after += d.operation == Diff::Delete ? QString() : d.text;
                common += d.operation == Diff::Equal ? (byLines ? d.text.count('\n') : d.text.size()) : 0;
            }
            QVERIFY2(before == a.join(QString()) && after == b.join(QString()) && common == len[a.size()][b.size()],
                     qPrintable(t1 + " / " + t2));
        }
    }

    // Past the cell limit the diff goes by lines, past that again the copy is shown as text.
    void oversizedPairFallsBack()
    {
        const QString stored = "第一行\n第二行\n第三行", copy = "第一行\n第2行\n第三行";
        // Character cells 6 x 6 (the suffix costs none), line cells 2 x 2.
        QCOMPARE(QString("%1 %2").arg(lcsDiffCells(stored, copy, false)).arg(lcsDiffCells(stored, copy, true)), "36 4");
        const QList<std::tuple<bool, int, bool, QString>> cases = { // by lines allowed, limit, HTML, the text
            {true, 36, true, "^(?![\\s\\S]*按行对比)"},
            {true, 35, true, "已改为按行对比差异[\\s\\S]*<span style='[^']+'>第2行<br></span>"},
            {true, 3, false, "^（文字太多，不能对比差异[\\s\\S]*\n\n" + QRegularExpression::escape(copy) + "$"},
            {false, 3, false, "^" + QRegularExpression::escape(copy) + "$"}};
        for (const auto &[lines, limit, html, pattern] : cases) {
            const DiffView view = compareForView(stored, copy, lines, false, limit);
            QVERIFY2(view.isHtml == html && QRegularExpression(pattern).match(view.text).hasMatch(), qPrintable(view.text));
        }
    }

    // --- names and listing ---

    void listingMatchesTheIdField()
    {
        const QDateTime t(QDate(2024, 5, 6), QTime(7, 8, 9, 10));
        const QStringList ids{"C1", "C10", "XC1", "c1", "C*", "C[1]", "C1.5", "a.b"};
        for (int i = 0; i < ids.size(); ++i)
            QVERIFY(!TmpSaveFile::write(tmpFolder(), ids[i], ids[i], t.addSecs(i)).isEmpty());
        QFile part(tmpFolder() + TmpSaveFile::fileName("C1", t.addDays(1)) + ".part");
        QVERIFY(part.open(QIODevice::WriteOnly)); // a write cut short
        part.close();
        auto texts = [](const QString &id) {
            QStringList list;
            for (const QString &path : TmpSaveFile::list(tmpFolder(), id))
                list << fileText(path);
            return list;
        };
        // Newest first, the id's case ignored, pattern characters taken literally.
        QCOMPARE(texts("C1") + texts("C*") + texts("C[1]") + texts("a.b") + texts("C1.5"),
                 (QStringList{"c1", "C1", "C*", "C[1]", "a.b", "C1.5"}));
        QVERIFY(TmpSaveFile::removeAll(tmpFolder(), "c1").isEmpty() && texts("C1").isEmpty() && !part.exists());
        QCOMPARE(QDir(tmpFolder()).entryList(QDir::Files).size(), ids.size() - 2);
    }

    // --- the writer ---

    void copyFollowsEveryTextChange_data()
    {
        // inputTime: named by the input event's time, else the change's
        COLUMNS(QString, kind, QString, text, bool, copies, bool, inputTime)
        QTest::newRow("typing") << "type" << "ab" << true << true;
        QTest::newRow("input method") << "ime" << "春风" << true << true;
        QTest::newRow("paste") << "paste" << "贴" << true << false;
        QTest::newRow("cut") << "cut" << "" << true << false;
        QTest::newRow("cursor replace") << "replace" << "一壹" << true << false;
        QTest::newRow("undo") << "undo" << "" << true << false;
        QTest::newRow("format only") << "bold" << "" << false << false;
        QTest::newRow("arrow key") << "key" << "Right" << false << false;
        QTest::newRow("no change") << "none" << "" << false << false;
    }

    // The tick runs only while a copy is due: idle, nothing wakes the program every second.
    void timerRunsOnlyWhileACopyIsDue()
    {
        BookHost host;
        QTimer timer;
        RecoveryController recovery(host.book, tmpFolder(), &timer);
        host.select("C1");
        timer.start();
        QString running;
        for (const QString step : {"tick", "type", "tick", "closing", "type", "open"}) {
            if (step == "tick")
                recovery.tmpSaveTimerUpdate();
            else if (step == "type")
                host.editor->insertPlainText("字");
            else
                recovery.setTicking(step == "open");
            running += timer.isActive() ? '1' : '0';
        }
        QCOMPARE(running, "010001");
    }

    void copyFollowsEveryTextChange()
    {
        FETCH(QString, kind, QString, text, bool, copies, bool, inputTime)
        RecoveryHost host;
        host.select("C1");
        MyTextEdit *editor = host.editor;
        // Two undo steps (apart in the text), and their copy.
        host.type("一二三");
        editor->moveCursor(QTextCursor::Start);
        editor->insertPlainText("四");
        host.tick();
        QCOMPARE(host.files().size(), 1);
        const QDateTime changed = host.clock = host.clock.addMSecs(250);
        const QString before = editor->toPlainText();
        QTextCursor c = editor->textCursor();
        c.setPosition(1);
        c.setPosition(3, QTextCursor::KeepAnchor);
        editor->setTextCursor(c);
        change(editor, kind, text);
        const int count = host.files().size();
        host.tick();
        host.tick();
        const QString newest = host.files().first();
        QCOMPARE(QString("%1 %2").arg(editor->toPlainText() != before).arg(host.files().size() - count), QString("%1 %1").arg(copies));
        QCOMPARE(copies ? timeOf(newest) : "", copies ? stamp(inputTime ? editor->lastInputTime() : changed) : "");
        // UTF-8 without a byte-order mark, line feeds kept.
        QCOMPARE(readBytes(newest), editor->toPlainText().toUtf8());
    }

    void capCountsPerChapter()
    {
        // "A1" sorts before "B7": a cap over all paths would take A1's copies first.
        QTextDocument doc;
        TmpSaveWriter writer(tmpFolder(), &doc);
        QDateTime t(QDate(2024, 1, 1), QTime(8, 0));
        writer.setClock([&t]() { return t; });
        auto edit = [&](const QString &chapter, int times) {
            for (int i = 0; i < times; ++i) {
                t = t.addSecs(1);
                QTextCursor(&doc).insertText(chapter);
                doc.setModified(true);
                QVERIFY(writer.writeTmpSave());
            }
        };
        writer.setChapter("A1");
        edit("A", 3);
        writer.setChapter("B7");
        edit("B", 11); // the eleventh copy must not stay even until the next one
        const QStringList b7 = TmpSaveFile::list(tmpFolder(), "B7");
        QCOMPARE(QString("%1 %2 %3").arg(TmpSaveFile::list(tmpFolder(), "A1").size()).arg(b7.size()).arg(writer.tmpSaveFiles().size()),
                 QString("3 %1 13").arg(TmpSaveWriter::kMaxCopiesPerChapter));
        QCOMPARE(timeOf(b7.last()), stamp(t.addSecs(-9))); // the oldest went
    }

    // left: the copies after the next tick, the newest's text and the warnings given.
    void copiesGoWhenTheTextIsSettled_data()
    {
        COLUMNS(QString, action, QString, left)
        QTest::newRow("save") << "save" << "0  0";
        QTest::newRow("answer no") << "no" << "0  0";
        QTest::newRow("editor's own Ctrl+Z to the saved text") << "ctrl+z" << "0  0";
        QTest::newRow("dismissed question") << "dismiss" << "2 章一改再 0";
        QTest::newRow("failed save") << "fail" << "2 章一改再 0";
        // A file where the folder should be: no write can succeed, whoever runs the test. One
        // warning for all failures, and the copy is written once the folder can be made.
        QTest::newRow("unwritable folder") << "block" << "1 章一改再 1";
    }

    void copiesGoWhenTheTextIsSettled()
    {
        FETCH(QString, action, QString, left)
        RecoveryHost host;
        QSignalSpy warnings(&host.recovery, &RecoveryController::warning);
        host.select("C1");
        QFile block(tmpFolder().chopped(1));
        if (action == "block")
            QVERIFY(QDir(tmpFolder()).removeRecursively() && writeBytes(block.fileName(), QByteArray()));
        host.type("改");
        host.tick();
        host.type("再");
        // Before the question the newest text is copied without waiting for the timer.
        QString copiedWhenAsked;
        host.prompts.onMessage = [&](int, const QString &) { copiedWhenAsked = fileText(host.files().value(0)); };
        if (action == "save") {
            QVERIFY(host.book->trySaveArticle());
        } else if (action == "fail") {
            execSql("CREATE TEMP TRIGGER fail_save BEFORE UPDATE OF HTML ON main.BookTree BEGIN SELECT RAISE(ABORT,'写不进'); END");
            QVERIFY(!host.book->trySaveArticle());
            execSql("DROP TRIGGER temp.fail_save");
        } else if (action == "no" || action == "dismiss") {
            host.prompts.answers << (action == "no" ? int(Ink::maNo) : -1);
            host.select("C2");
            QCOMPARE(copiedWhenAsked + QString::number(host.files().size()), QString("章一改再%1").arg(left.left(1)));
        } else if (action == "block") {
            host.tick();
            host.tick();
            QCOMPARE(host.statusBar.currentMessage(), RecoveryController::writeFailedText());
            QCOMPARE(todaysLog().count("临时保存文件写不进（文章ID：C1）"), 1);
            QVERIFY(block.remove() && QDir().mkpath(tmpFolder()));
        } else {
            host.editor->moveCursor(QTextCursor::End);
            QTest::keyClick(host.editor, Qt::Key_Z, Qt::ControlModifier); // 再
            QTest::keyClick(host.editor, Qt::Key_Z, Qt::ControlModifier); // 改
            QVERIFY(!host.editor->document()->isModified());
        }
        if (action == "save" || action == "ctrl+z")
            QCOMPARE(host.files().size(), 0);
        // The tick copies nothing again, except the text a failed save left (its copies stay).
        host.tick();
        const QStringList files = host.files();
        QCOMPARE(QString("%1 %2 %3").arg(files.size()).arg(fileText(files.value(0))).arg(warnings.count()), left);
    }

    // --- the dialog ---

    void dialogShowsCopiesNewestFirst()
    {
        const QDateTime t(QDate(2024, 3, 4), QTime(5, 6, 7, 8));
        for (const auto &[id, text, secs] : {std::tuple{"C1", "章一甲", 0}, {"C1", "章一丙", 2}, {"C1", "章一乙", 1}, {"C10", "别的", 3}})
            TmpSaveFile::write(tmpFolder(), id, text, t.addSecs(secs));
        ScriptedPrompter prompter;
        TmpSaveProcDialog dialog("C1", tmpFolder());
        dialog.show();
        QSignalSpy finished(&dialog, &QDialog::finished);
        QAbstractItemModel *model = copyList(&dialog)->model();
        QTRY_VERIFY(!dialog.isComparing());
        QCOMPARE(QString("%1 %2 %3 %4").arg(model->rowCount()).arg(model->index(0, 0).data().toString(),
                 dialog.findChild<QPlainTextEdit *>("plainTextEditSaved")->toPlainText(), dialog.findChild<QTextEdit *>("textEditTmpSave")->toPlainText()),
                 "3 tmpSave." + stamp(t.addSecs(2)) + ".txt 章一 章一丙");

        QSignalSpy results(&dialog, &TmpSaveProcDialog::signalDiffFinish);
        click(&dialog, "checkBoxDiffs");
        QVERIFY(dialog.isComparing() && !dialog.isEnabled());
        // Every way of closing is refused while the comparison runs.
        dialog.done(TmpSaveProcDialog::Adopted);
        dialog.close();
        QTRY_VERIFY(dialog.isEnabled());
        QVERIFY(prompter.infos().size() == 2 && finished.count() == 0 && results.last().at(1).toBool());
        QVERIFY(results.last().at(0).toString().contains(QRegularExpression("<body><span>章一</span><span style='[^']+'>丙</span></body>")));
        click(&dialog, "checkBoxLineBased");
        QTRY_VERIFY(!dialog.isComparing());
        QVERIFY(results.last().at(0).toString().contains(QRegularExpression("'>章一<br></span><span style='[^']+'>章一丙<br>")));
        copyList(&dialog)->setCurrentIndex(model->index(2, 0));
        QTRY_VERIFY(!dialog.isComparing());
        QCOMPARE(dialog.chosenText(), QString("章一甲"));
    }

    // outcome: questions asked, "open"/"adopted"/"closed", copies left, the chapter's row
    void dialogOutcomes_data()
    {
        COLUMNS(QString, button, QString, setup, int, answer, QString, outcome, QString, message)
        const int yes = Ink::maYes, no = Ink::maNo;
        const QString failed = "以临时保存的文件为准操作失败，错误信息：\n", kept = "1 open 2 kept";
        QTest::newRow("adopt") << "Adopt" << "" << yes << "1 adopted 0 copy" << "";
        QTest::newRow("adopt declined") << "Adopt" << "" << no << kept << "";
        QTest::newRow("adopt, the update fails") << "Adopt" << "trigger" << yes << kept << failed;
        QTest::newRow("adopt into a deleted row") << "Adopt" << "deleted" << yes << kept << failed + "未找到对应的文章！";
        QTest::newRow("adopt into a vanished row") << "Adopt" << "vanished" << yes << "1 open 2 <none>" << failed + "未找到对应的文章！";
        QTest::newRow("adopt without a choice") << "Adopt" << "nochoice" << -1 << "0 open 2 kept" << "没有选择临时保存的文件！";
        QTest::newRow("discard") << "Discard" << "" << yes << "1 closed 0 kept" << "";
        QTest::newRow("discard declined") << "Discard" << "" << no << kept << "";
        QTest::newRow("later") << "Later" << "" << yes << "1 closed 2 kept" << "";
        QTest::newRow("later declined") << "Later" << "" << no << kept << "";
        QTest::newRow("title-bar close") << "close" << "" << yes << "1 closed 2 kept" << "";
    }

    void dialogOutcomes()
    {
        FETCH(QString, button, QString, setup, int, answer, QString, outcome, QString, message)
        // Recovery never refuses text: past the chapter limit, markup kept as written.
        const QString copy = QString(Ink::maxArticleLength, QChar(0x5B57)) + "<b>尾</b>";
        TmpSaveFile::write(tmpFolder(), "C1", copy, QDateTime(QDate(2024, 1, 2), QTime(3, 4)));
        TmpSaveFile::write(tmpFolder(), "C1", "旧", QDateTime(QDate(2024, 1, 1), QTime(3, 4)));
        if (setup == "trigger")
            execSql("CREATE TEMP TRIGGER fail_adopt BEFORE UPDATE ON main.BookTree BEGIN SELECT RAISE(ABORT,'写不进'); END");
        else if (setup == "deleted")
            execSql("UPDATE BookTree SET Flag='D' WHERE ID='C1'");
        const char *const columns = "HTML,PlainText,Flag,IFNULL(Attribute1,''),Synced";
        const QString before = row("C1", columns);
        ScriptedPrompter prompter;
        if (answer >= 0)
            prompter.answers << answer;
        TmpSaveProcDialog dialog("C1", tmpFolder());
        dialog.show();
        QSignalSpy finished(&dialog, &QDialog::finished);
        QTRY_VERIFY(!dialog.isComparing());
        if (setup == "vanished")
            execSql("DELETE FROM BookTree WHERE ID='C1'");
        if (setup == "nochoice")
            copyList(&dialog)->setCurrentIndex(QModelIndex());
        button == "close" ? void(dialog.close()) : click(&dialog, qPrintable("pushButton" + button));
        const QStringList shown = prompter.errors() + prompter.infos();
        QVERIFY2(shown.size() == int(!message.isEmpty()) && (message.isEmpty() || shown.first().startsWith(message)),
                 qPrintable(shown.join('|')));
        const QString now = row("C1", columns);
        const QString result = finished.isEmpty() ? "open" : finished.first().first().toInt() == TmpSaveProcDialog::Adopted ? "adopted" : "closed";
        QCOMPARE(QString("%1 %2 %3 ").arg(prompter.questions().size()).arg(result).arg(TmpSaveFile::list(tmpFolder(), "C1").size()) +
                     (now == before ? "kept" : now == copy + "|" + copy + "|A|NEWIMPORT|0" ? "copy" : now),
                 outcome);
    }

    void openingOffersCopiesBeforeTheTextLoads()
    {
        RecoveryHost host;
        ScriptedPrompter prompter;
        prompter.answers << Ink::maYes;
        int shown = 0;
        QString treeDuringDialog;
        prompter.framed = [&](QWidget *widget, int) {
            ++shown;
            auto *dialog = qobject_cast<TmpSaveProcDialog *>(widget);
            // A reload asked for by a sync waits until the switch is over.
            insertBookRow("B3", "", 1, 0, 3, "书三");
            host.book->loadTree(true);
            treeDuringDialog = shape(host.book->model());
            waitCompared(dialog);
            click(dialog, "pushButtonAdopt");
            return dialog->result();
        };
        host.select("C2"); // no copies: no dialog
        QCOMPARE(shown, 0);
        TmpSaveFile::write(tmpFolder(), "C1", "<b>粗</b>\n第二段", QDateTime::currentDateTime());
        host.select("C1");
        QVERIFY(shown == 1 && !treeDuringDialog.contains("书三") && shape(host.book->model()).contains("书三"));
        // Adopted: stored as plain text, opened as plain text, the copies gone.
        QCOMPARE(host.book->currentChapterId() + host.editor->toPlainText(), QString("C1<b>粗</b>\n第二段"));
        QVERIFY(host.files().isEmpty() && !host.editor->document()->isModified());
    }

    // --- a crash at any moment ---

    // The copy is written every second, so at most the last second is lost: exactly, nothing the
    // last finished copy held may be lost, however the kill falls among the saves and copies.
    void killedAtAnyMomentLosesOnlyWhatCameAfterTheLastCopy()
    {
        const int trials = qEnvironmentVariableIsSet("INKBOAT_CRASH_TRIALS") ? qEnvironmentVariableIntValue("INKBOAT_CRASH_TRIALS") : 20;
        // INKBOAT_CRASH_SEED replays a failed run's edits and kill delays (the timing is the machine's).
        const quint32 seed = qEnvironmentVariableIsSet("INKBOAT_CRASH_SEED") ? qgetenv("INKBOAT_CRASH_SEED").toUInt()
                                                                             : quint32(QDateTime::currentMSecsSinceEpoch());
        qInfo("INKBOAT_CRASH_SEED=%u", seed); // printed before the kills, so that a hung run can be replayed too
        std::mt19937 rng(seed);
        for (int trial = 0; trial < trials; ++trial) {
            const QString failure = crashOnce(rng(), trial % 6, rng);
            QVERIFY2(failure.isEmpty(), qPrintable(QString("INKBOAT_CRASH_SEED=%1, trial %2: %3").arg(seed).arg(trial).arg(failure)));
        }
    }

private:
    QString crashOnce(quint32 seed, int mode, std::mt19937 &rng);

    TestProfile m_profile;
};

// One child killed; what is wrong after the restart, empty when nothing is.
QString TestTmpSave::crashOnce(quint32 seed, int mode, std::mt19937 &rng)
{
    stopApp(); // the child holds the data folder now
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {"--crash-child", QString::number(seed), "-platform", "offscreen"});
    QByteArray out;
    // Reads the child's lines until `done` holds, the child ends or `ms` have passed.
    const auto readUntil = [&](qint64 ms, const std::function<bool()> &done) {
        QElapsedTimer waited;
        for (waited.start(); !done() && waited.elapsed() < ms && child.state() != QProcess::NotRunning;)
            child.waitForReadyRead(int(qBound<qint64>(1, ms - waited.elapsed(), 100))), out += child.readAllStandardOutput();
    };
    readUntil(60000, [&] { return out.contains("E 0 "); });
    // Most kills at a random moment; some as soon as a save or a copy begins.
    const QByteArray trigger = mode == 4 ? "V+" : mode == 5 ? "W+" : "";
    const int seen = out.size();
    readUntil(150 + qint64(rng() % 2200), [&] { return !trigger.isEmpty() && out.indexOf(trigger, seen) >= 0; });
    if (!out.contains("E 0 ") || child.processId() <= 0) { // kill(0) would end the whole process group
        child.kill(), child.waitForFinished(), startApp();
        return "the child did not start or ended by itself: " + QString::fromUtf8(out.right(300));
    }
    ::kill(pid_t(child.processId()), SIGKILL);
    child.waitForFinished(30000);
    out += child.readAllStandardOutput();

    QHash<QByteArray, int> edits; // the text's digest -> the last edit that left it
    // The last edit before the start of the last copy that finished: the copy holds it.
    int lastEdit = 0, copyStartsAt = 0, copied = 0;
    for (const QByteArray &line : out.split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 3 && f[0] == "E" && f[2].size() == 32)
            edits[f[2]] = lastEdit = f[1].toInt();
        copyStartsAt = line == "W+" ? lastEdit : copyStartsAt;
        copied = line == "W-" ? copyStartsAt : copied;
    }
    if (!startApp().ok || scalar("PRAGMA main.integrity_check").toString() != "ok")
        return "the program does not start after the kill, or its file is damaged";
    QStringList texts{plain("C1")}; // the stored chapter, then the copies newest first
    for (const QString &path : TmpSaveFile::list(tmpFolder(), "C1"))
        texts << fileText(path);
    for (const QString &text : texts)
        if (!edits.contains(md5(text)))
            return "the stored chapter or a copy holds no announced text: " + text.left(50);
    const int newest = qMax(edits[md5(texts[0])], texts.size() > 1 ? edits[md5(texts[1])] : 0);
    TmpSaveFile::removeAll(tmpFolder(), "C1");
    return newest < copied ? QString("edit %1 was copied, the newest kept is edit %2").arg(copied).arg(newest) : QString();
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--crash-child") == 0)
        return runCrashChild(quint32(QByteArray(argv[2]).toUInt()));
    TestTmpSave test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tmpsave.moc"
