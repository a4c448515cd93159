// Recovery copies of the chapter in the editor, the recovery dialog and its diff, and a child
// process killed at random moments.
#include "BookHost.h"
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

void clearTmpFolder()
{
    QDir dir(tmpFolder());
    dir.removeRecursively();
    QDir().mkpath(tmpFolder());
}

// "-a|=b|+c" for a diff list.
QString encode(const DiffList &diffs)
{
    QStringList parts;
    for (const Diff &d : diffs)
        parts << QString(d.operation == Diff::Delete ? '-' : d.operation == Diff::Insert ? '+' : '=') + d.text;
    return parts.join('|');
}

// The diff as first written: the whole table of counts and markers, walked back from the corner.
DiffList referenceDiff(const QString &t1, const QString &t2, bool byLines)
{
    auto tokens = [byLines](const QString &t) {
        QStringList list;
        if (byLines)
            for (const QString &piece : t.split('\n'))
                list << piece + '\n';
        else
            for (QChar c : t)
                list << QString(c);
        return list;
    };
    const QStringList a = tokens(t1), b = tokens(t2);
    const int m = a.size(), n = b.size();
    QVector<QVector<int>> len(m + 1, QVector<int>(n + 1)), mark(m + 1, QVector<int>(n + 1));
    for (int i = 1; i <= m; ++i)
        for (int j = 1; j <= n; ++j) {
            if (a[i - 1] == b[j - 1]) {
                len[i][j] = len[i - 1][j - 1] + 1, mark[i][j] = 0;
            } else if (len[i - 1][j] <= len[i][j - 1]) {
                len[i][j] = len[i][j - 1], mark[i][j] = 1;
            } else {
                len[i][j] = len[i - 1][j], mark[i][j] = 2;
            }
        }
    DiffList rev;
    int i = m, j = n;
    for (; i > 0 && j > 0;) {
        const int k = mark[i][j];
        if (k == 0)
            rev << Diff{Diff::Equal, a[--i]}, --j;
        else if (k == 2)
            rev << Diff{Diff::Delete, a[--i]};
        else
            rev << Diff{Diff::Insert, b[--j]};
    }
    if (i > 0)
        rev << Diff{Diff::Delete, QStringList(a.mid(0, i)).join(QString())};
    if (j > 0)
        rev << Diff{Diff::Insert, QStringList(b.mid(0, j)).join(QString())};
    DiffList out;
    for (int k = rev.size() - 1; k >= 0; --k) {
        if (!out.isEmpty() && out.last().operation == rev[k].operation)
            out.last().text += rev[k].text;
        else
            out << rev[k];
    }
    return out;
}

// The dialog's widgets by name.
struct Form {
    explicit Form(QWidget *d)
        : listViewTmpSaveFile(d->findChild<QListView *>("listViewTmpSaveFile")),
          plainTextEditSaved(d->findChild<QPlainTextEdit *>("plainTextEditSaved")),
          textEditTmpSave(d->findChild<QTextEdit *>("textEditTmpSave")),
          checkBoxDiffs(d->findChild<QCheckBox *>("checkBoxDiffs")),
          checkBoxLineBased(d->findChild<QCheckBox *>("checkBoxLineBased")),
          pushButtonAdopt(d->findChild<QPushButton *>("pushButtonAdopt")),
          pushButtonDiscard(d->findChild<QPushButton *>("pushButtonDiscard")),
          pushButtonLater(d->findChild<QPushButton *>("pushButtonLater"))
    {
    }
    QListView *listViewTmpSaveFile;
    QPlainTextEdit *plainTextEditSaved;
    QTextEdit *textEditTmpSave;
    QCheckBox *checkBoxDiffs, *checkBoxLineBased;
    QPushButton *pushButtonAdopt, *pushButtonDiscard, *pushButtonLater;
};

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

void dropText(MyTextEdit *editor, const QString &text)
{
    QMimeData mime;
    mime.setText(text);
    const QPoint at = editor->cursorRect(editor->textCursor()).center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(editor->viewport(), &enter);
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(editor->viewport(), &drop);
}

void commitInput(MyTextEdit *editor, const QString &text)
{
    QInputMethodEvent event;
    event.setCommitString(text);
    QApplication::sendEvent(editor, &event);
}

void replaceAll(QTextDocument *doc, const QString &from, const QString &to)
{
    QTextCursor edit(doc);
    edit.beginEditBlock();
    for (QTextCursor c = doc->find(from); !c.isNull(); c = doc->find(from, c))
        c.insertText(to);
    edit.endEditBlock();
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
    auto say = [](const QByteArray &line) {
        std::fputs(line.constData(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };
    auto now = []() { return QByteArray::number(QDateTime::currentMSecsSinceEpoch()); };

    BookHost host;
    QTimer tmpSaveTimer;
    tmpSaveTimer.setInterval(1000);
    RecoveryController recovery(host.book, tmpFolder(), &tmpSaveTimer);
    host.window.resize(600, 400);
    host.window.show();
    host.select("C1");
    MyTextEdit *editor = host.editor;
    QObject::connect(&tmpSaveTimer, &QTimer::timeout, [&]() {
        say("W+");
        recovery.tmpSaveTimerUpdate();
        say("W-");
    });
    tmpSaveTimer.start();
    int edits = 0;
    say("E 0 " + now() + ' ' + md5(editor->toPlainText()));

    const QStringList phrases{"春风十里", "不如你", "山高水长", "月落乌啼", "abc", "Hello world"};
    QTimer editTimer;
    editTimer.setSingleShot(true);
    QObject::connect(&editTimer, &QTimer::timeout, [&]() {
        QTextCursor c = editor->textCursor();
        const int length = editor->document()->characterCount() - 1;
        c.setPosition(pick(length + 1));
        editor->setTextCursor(c);
        const QString phrase = phrases[pick(phrases.size())];
        if (length > 3000) {
            // Keep the chapter well within the length a save takes.
            c.setPosition(0);
            c.setPosition(1500, QTextCursor::KeepAnchor);
            editor->setTextCursor(c);
            editor->cut();
        } else {
            switch (pick(12)) {
            case 0: QTest::keyClicks(editor, "xyz"); break;
            case 1: commitInput(editor, phrase); break;
            case 2:
                QApplication::clipboard()->setText(phrase + phrase);
                editor->paste();
                break;
            case 3:
                c.setPosition(qMin(length, c.position() + 1 + pick(20)), QTextCursor::KeepAnchor);
                editor->setTextCursor(c);
                editor->cut();
                break;
            case 4: dropText(editor, phrase); break;
            case 5: editor->undo(); break;
            case 6: editor->redo(); break;
            case 7: replaceAll(editor->document(), "风", "雨"); break;
            case 8:
                c.setPosition(qMin(length, c.position() + 5), QTextCursor::KeepAnchor);
                editor->setTextCursor(c);
                editor->textSetBold(true);
                break;
            case 9: QTest::keyClick(editor, Qt::Key_Return); break;
            case 10: QTest::keyClick(editor, Qt::Key_Backspace); break;
            default: QTest::keyClick(editor, Qt::Key_Z, Qt::ControlModifier); break;
            }
        }
        say("E " + QByteArray::number(++edits) + ' ' + now() + ' ' + md5(editor->toPlainText()));
        editTimer.start(10 + pick(120));
    });
    editTimer.start(10);

    QTimer saveTimer;
    saveTimer.setSingleShot(true);
    QObject::connect(&saveTimer, &QTimer::timeout, [&]() {
        say("V+");
        host.book->autoSaveTimerUpdate();
        say("V-");
        saveTimer.start(150 + pick(900));
    });
    saveTimer.start(150 + pick(900));
    return QApplication::exec();
}

struct CrashTrial {
    qint64 lossMs = 0;
    bool duringSave = false;
    bool duringWrite = false;
    QString failure;
};

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

    void lcsDiffGolden_data()
    {
        QTest::addColumn<QString>("text1");
        QTest::addColumn<QString>("text2");
        QTest::addColumn<bool>("byLines");
        QTest::addColumn<QString>("expected");
        QTest::newRow("tie goes to insert") << "a" << "b" << false << "-a|+b";
        QTest::newRow("no common prefix stripped") << "aa" << "a" << false << "-a|=a";
        QTest::newRow("crossed") << "ab" << "ba" << false << "-a|=b|+a";
        QTest::newRow("neighbours merged") << "abc" << "abd" << false << "=ab|-c|+d";
        QTest::newRow("both empty") << "" << "" << false << "";
        QTest::newRow("stored empty") << "" << "新文" << false << "+新文";
        QTest::newRow("copy empty") << "旧文" << "" << false << "-旧文";
        QTest::newRow("equal") << "章一" << "章一" << false << "=章一";
        QTest::newRow("surrogate units") << QString::fromUtf8("😀a") << "a" << false
                                         << "-" + QString::fromUtf8("😀") + "|=a";
        QTest::newRow("lines without final feed") << "a\nb" << "a\nc" << true << "=a\n|-b\n|+c\n";
        QTest::newRow("lines with final feed") << "a\nb\n" << "a\n" << true << "=a\n|-b\n|=\n";
        QTest::newRow("lines, both empty") << "" << "" << true << "=\n";
        QTest::newRow("lines, copy empty") << "x" << "" << true << "-x\n|+\n";
    }

    void lcsDiffGolden()
    {
        QFETCH(QString, text1);
        QFETCH(QString, text2);
        QFETCH(bool, byLines);
        QFETCH(QString, expected);
        QCOMPARE(encode(lcsDiff(text1, text2, byLines)), expected);
    }

    void lcsDiffMatchesTheFullTable()
    {
        std::mt19937 rng(20240601);
        for (int round = 0; round < 240; ++round) {
            const QString alphabet = round % 2 ? "ab" : "abc";
            const bool byLines = round % 3 == 0;
            auto text = [&]() {
                QString t;
                const int size = int(rng() % 9);
                for (int k = 0; k < size; ++k) {
                    t += alphabet[int(rng() % alphabet.size())];
                    if (byLines && rng() % 2)
                        t += '\n';
                }
                return t;
            };
            const QString t1 = text(), t2 = text();
            QCOMPARE(encode(lcsDiff(t1, t2, byLines)), encode(referenceDiff(t1, t2, byLines)));
        }
    }

    void diffPrettyHtml_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("useInsDel");
        QTest::addColumn<QString>("html");
        QTest::newRow("escaping order") << 0 << "a&<b> c&nbsp;" << false
                                        << "<span>a&amp;&lt;b&gt;&nbsp;c&amp;nbsp;</span>";
        QTest::newRow("tab, ideographic space, line feed") << 0 << "\t\u3000x\n" << false
                                                           << "<span>&nbsp;&nbsp;&nbsp;x<br></span>";
        QTest::newRow("insert span") << 1 << "新" << false << "<span style='background:#e6ffe6;'>新</span>";
        QTest::newRow("delete span") << -1 << "旧" << false
                                     << "<span style='background:#ffe6e6;text-decoration: line-through;'>旧</span>";
        QTest::newRow("ins") << 1 << "新" << true << "<ins style='background:#e6ffe6;'>新</ins>";
        QTest::newRow("del") << -1 << "旧" << true << "<del style='background:#ffe6e6;'>旧</del>";
    }

    void diffPrettyHtml()
    {
        QFETCH(int, operation);
        QFETCH(QString, text);
        QFETCH(bool, useInsDel);
        QFETCH(QString, html);
        const DiffList diffs{Diff{Diff::Operation(operation), text}};
        QCOMPARE(::diffPrettyHtml(diffs, useInsDel, false), html);
        QCOMPARE(::diffPrettyHtml(diffs, useInsDel, true), "<!DOCTYPE html><body>" + html + "</body>");
    }

    void oversizedPairFallsBack()
    {
        const QString stored = "第一行\n第二行\n第三行", copy = "第一行\n第2行\n第三行";
        // Character cells 6 x 6 (the suffix costs none), line cells 2 x 2.
        QCOMPARE(lcsDiffCells(stored, copy, false), qint64(36));
        QCOMPARE(lcsDiffCells(stored, copy, true), qint64(4));
        DiffView view = compareForView(stored, copy, true, false, 36);
        QVERIFY(view.isHtml);
        QVERIFY(!view.text.contains("按行对比"));
        view = compareForView(stored, copy, true, false, 35);
        QVERIFY(view.isHtml);
        QVERIFY(view.text.contains("已改为按行对比差异"));
        QVERIFY(view.text.contains("<span style='background:#e6ffe6;'>第2行<br></span>"));
        view = compareForView(stored, copy, true, false, 3);
        QVERIFY(!view.isHtml);
        QVERIFY(view.text.startsWith("（文字太多，不能对比差异"));
        QVERIFY(view.text.endsWith("\n\n" + copy));
        view = compareForView(stored, copy, false, false, 3);
        QCOMPARE(view.text, copy);
        QVERIFY(!view.isHtml);
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
        QCOMPARE(texts("C1"), (QStringList{"c1", "C1"})); // newest first, the id's case ignored
        for (const char *id : {"C*", "C[1]", "a.b", "C1.5"}) // pattern characters taken literally
            QCOMPARE(texts(id), QStringList{id});
        QVERIFY(TmpSaveFile::removeAll(tmpFolder(), "c1").isEmpty());
        QCOMPARE(texts("C1"), QStringList());
        QVERIFY(!part.exists());
        QCOMPARE(QDir(tmpFolder()).entryList(QDir::Files).size(), ids.size() - 2);
    }

    // --- the writer ---

    void copyFollowsEveryTextChange_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("copies");
        QTest::addColumn<bool>("inputTime"); // named by the input event's time, else the change's
        QTest::newRow("typing") << "type" << true << true;
        QTest::newRow("input method") << "ime" << true << true;
        QTest::newRow("paste") << "paste" << true << false;
        QTest::newRow("cut") << "cut" << true << false;
        QTest::newRow("drop") << "drop" << true << false;
        QTest::newRow("cursor replace") << "replace" << true << false;
        QTest::newRow("undo") << "undo" << true << false;
        QTest::newRow("redo") << "redo" << true << false;
        QTest::newRow("format only") << "bold" << false << false;
        QTest::newRow("arrow key") << "arrow" << false << false;
        QTest::newRow("no change") << "none" << false << false;
    }

    void copyFollowsEveryTextChange()
    {
        QFETCH(QString, change);
        QFETCH(bool, copies);
        QFETCH(bool, inputTime);
        RecoveryHost host;
        host.select("C1");
        MyTextEdit *editor = host.editor;
        // Two undo steps (apart in the text), and their copy.
        host.type("一二三");
        editor->moveCursor(QTextCursor::Start);
        editor->insertPlainText("四");
        host.tick();
        QCOMPARE(host.files().size(), 1);
        QCOMPARE(fileText(host.files().first()), editor->toPlainText());
        if (change == "redo") {
            editor->undo();
            host.tick();
            QCOMPARE(host.files().size(), 2);
        }
        const QDateTime changed = host.clock.addMSecs(250);
        host.clock = changed;
        const QString before = editor->toPlainText();
        QTextCursor c = editor->textCursor();
        if (change == "type") {
            QTest::keyClicks(editor, "ab");
        } else if (change == "ime") {
            commitInput(editor, "春风");
        } else if (change == "paste") {
            QApplication::clipboard()->setText("贴");
            editor->paste();
        } else if (change == "cut") {
            c.setPosition(1);
            c.setPosition(3, QTextCursor::KeepAnchor);
            editor->setTextCursor(c);
            editor->cut();
        } else if (change == "drop") {
            dropText(editor, "拖");
        } else if (change == "replace") {
            replaceAll(editor->document(), "一", "壹");
        } else if (change == "undo") {
            editor->undo();
        } else if (change == "redo") {
            editor->redo();
        } else if (change == "bold") {
            c.select(QTextCursor::Document);
            editor->setTextCursor(c);
            editor->textSetBold(true);
        } else if (change == "arrow") {
            QTest::keyClick(editor, Qt::Key_Right);
        }
        QCOMPARE(editor->toPlainText() != before, copies);
        const int count = host.files().size();
        host.tick();
        host.tick();
        QCOMPARE(host.files().size(), count + (copies ? 1 : 0));
        const QString newest = host.files().first();
        QCOMPARE(fileText(newest), editor->toPlainText());
        if (copies)
            QCOMPARE(timeOf(newest), stamp(inputTime ? editor->lastInputTime() : changed));
        QVERIFY(host.recovery.writer()->lastTmpSaveTime().isValid());
        // UTF-8 without a byte-order mark, line feeds kept.
        QFile raw(newest);
        QVERIFY(raw.open(QIODevice::ReadOnly));
        QCOMPARE(raw.readAll(), editor->toPlainText().toUtf8());
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
        edit("B", 12);
        QCOMPARE(TmpSaveFile::list(tmpFolder(), "A1").size(), 3);
        const QStringList b7 = TmpSaveFile::list(tmpFolder(), "B7");
        QCOMPARE(b7.size(), TmpSaveWriter::kMaxCopiesPerChapter);
        QCOMPARE(timeOf(b7.last()), stamp(t.addSecs(-9))); // the two oldest went
        QCOMPARE(writer.tmpSaveFiles().size(), 13);
    }

    void copiesGoWhenTheTextIsSettled_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("kept");
        QTest::newRow("save") << "save" << false;
        QTest::newRow("answer no") << "no" << false;
        QTest::newRow("editor's own Ctrl+Z to the saved text") << "ctrl+z" << false;
        QTest::newRow("dismissed question") << "dismiss" << true;
    }

    void copiesGoWhenTheTextIsSettled()
    {
        QFETCH(QString, action);
        QFETCH(bool, kept);
        RecoveryHost host;
        host.select("C1");
        host.type("改");
        host.tick();
        QCOMPARE(host.files().size(), 1);
        host.type("再");
        // Before the question the newest text is copied without waiting for the timer.
        QString copiedWhenAsked;
        host.prompts.onMessage = [&](int, const QString &) { copiedWhenAsked = fileText(host.files().value(0)); };
        if (action == "save") {
            QVERIFY(host.book->trySaveArticle());
        } else if (action == "no" || action == "dismiss") {
            host.prompts.answers << (action == "no" ? int(Ink::maNo) : -1);
            host.select("C2");
            QCOMPARE(copiedWhenAsked, QString("章一改再"));
        } else {
            host.editor->moveCursor(QTextCursor::End);
            QTest::keyClick(host.editor, Qt::Key_Z, Qt::ControlModifier); // 再
            QTest::keyClick(host.editor, Qt::Key_Z, Qt::ControlModifier); // 改
            QVERIFY(!host.editor->document()->isModified());
        }
        QCOMPARE(host.files().size(), kept ? 2 : 0);
        // Nothing is written again for the text as it stands now.
        host.tick();
        QCOMPARE(host.files().size(), kept ? 2 : 0);
    }

    void unwritableFolderWarnsOnceAndRecovers()
    {
        RecoveryHost host;
        QSignalSpy warnings(&host.recovery, &RecoveryController::warning);
        host.select("C1");
        // A file where the folder should be: no write can succeed, whoever runs the test.
        QDir(tmpFolder()).removeRecursively();
        QString blocker = tmpFolder();
        blocker.chop(1);
        QFile block(blocker);
        QVERIFY(block.open(QIODevice::WriteOnly));
        block.close();
        host.type("改");
        host.tick();
        host.tick();
        host.type("再");
        host.tick();
        QCOMPARE(warnings.count(), 1);
        QCOMPARE(host.statusBar.currentMessage(), RecoveryController::writeFailedText());
        QCOMPARE(todaysLog().count("临时保存文件写不进（文章ID：C1）"), 1);
        QVERIFY(block.remove());
        QVERIFY(QDir().mkpath(tmpFolder()));
        host.tick();
        QCOMPARE(host.files().size(), 1);
        QCOMPARE(fileText(host.files().first()), QString("章一改再"));
        QCOMPARE(warnings.count(), 1);
    }

    // --- the dialog ---

    void dialogShowsCopiesNewestFirst()
    {
        const QDateTime t(QDate(2024, 3, 4), QTime(5, 6, 7, 8));
        TmpSaveFile::write(tmpFolder(), "C1", "章一甲", t);
        TmpSaveFile::write(tmpFolder(), "C1", "章一丙", t.addSecs(2));
        TmpSaveFile::write(tmpFolder(), "C1", "章一乙", t.addSecs(1));
        TmpSaveFile::write(tmpFolder(), "C10", "别的", t.addSecs(3));
        ScriptedPrompter prompter;
        TmpSaveProcDialog dialog("C1", tmpFolder());
        dialog.show();
        Form form(&dialog);
        QSignalSpy finished(&dialog, &QDialog::finished);
        QVERIFY(!form.checkBoxDiffs->isChecked() && !form.checkBoxLineBased->isChecked());
        QAbstractItemModel *model = form.listViewTmpSaveFile->model();
        QStringList items;
        for (int r = 0; r < model->rowCount(); ++r)
            items << model->index(r, 0).data().toString();
        QCOMPARE(items, (QStringList{"tmpSave." + stamp(t.addSecs(2)) + ".txt", "tmpSave." + stamp(t.addSecs(1)) + ".txt",
                                     "tmpSave." + stamp(t) + ".txt"}));
        QCOMPARE(form.listViewTmpSaveFile->currentIndex().row(), 0);
        QCOMPARE(form.plainTextEditSaved->toPlainText(), QString("章一"));
        QTRY_VERIFY(!dialog.isComparing());
        QCOMPARE(form.textEditTmpSave->toPlainText(), QString("章一丙"));

        QSignalSpy results(&dialog, &TmpSaveProcDialog::signalDiffFinish);
        form.checkBoxDiffs->setChecked(true);
        QVERIFY(dialog.isComparing());
        QVERIFY(!dialog.isEnabled());
        // Every way of closing is refused while the comparison runs.
        dialog.done(TmpSaveProcDialog::Adopted);
        dialog.close();
        QCOMPARE(prompter.infos(), (QStringList{"比较差异中，不能退出，请稍后！", "比较差异中，不能退出，请稍后！"}));
        QVERIFY(prompter.questions().isEmpty());
        QTRY_VERIFY(dialog.isEnabled());
        QCOMPARE(finished.count(), 0);
        QCOMPARE(results.last(), (QVariantList{"<!DOCTYPE html><body><span>章一</span><span style='background:#e6ffe6;'>丙</span></body>", true}));
        form.checkBoxLineBased->setChecked(true);
        QTRY_VERIFY(!dialog.isComparing());
        QCOMPARE(results.last().at(0).toString(),
                 QString("<!DOCTYPE html><body><span style='background:#ffe6e6;text-decoration: line-through;'>章一<br></span>"
                         "<span style='background:#e6ffe6;'>章一丙<br></span></body>"));
        form.listViewTmpSaveFile->setCurrentIndex(model->index(2, 0));
        QTRY_VERIFY(!dialog.isComparing());
        QCOMPARE(dialog.chosenText(), QString("章一甲"));
        form.checkBoxDiffs->setChecked(false);
        QTRY_VERIFY(!dialog.isComparing());
        QCOMPARE(form.textEditTmpSave->toPlainText(), QString("章一甲"));

        // A stored text that is NULL shows empty.
        execSql("UPDATE BookTree SET PlainText=NULL WHERE ID='C2'");
        TmpSaveFile::write(tmpFolder(), "C2", "二", t);
        TmpSaveProcDialog second("C2", tmpFolder());
        QCOMPARE(Form(&second).plainTextEditSaved->toPlainText(), QString());
        QTRY_VERIFY(!second.isComparing());
    }

    void dialogOutcomes_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<bool>("closes");
        QTest::addColumn<bool>("adopted");
        QTest::addColumn<QString>("message");
        const int yes = Ink::maYes, no = Ink::maNo;
        const QString failed = "以临时保存的文件为准操作失败，错误信息：\n";
        QTest::newRow("adopt") << "adopt" << "" << QList<int>{yes} << true << true << "";
        QTest::newRow("adopt declined") << "adopt" << "" << QList<int>{no} << false << false << "";
        QTest::newRow("adopt, the update fails") << "adopt" << "trigger" << QList<int>{yes} << false << false << failed;
        QTest::newRow("adopt into a deleted row") << "adopt" << "deleted" << QList<int>{yes} << false << false
                                                  << failed + "未找到对应的文章！";
        QTest::newRow("adopt into a vanished row") << "adopt" << "vanished" << QList<int>{yes} << false << false
                                                   << failed + "未找到对应的文章！";
        QTest::newRow("adopt without a choice") << "adopt" << "nochoice" << QList<int>{} << false << false
                                                << "没有选择临时保存的文件！";
        QTest::newRow("discard") << "discard" << "" << QList<int>{yes} << true << false << "";
        QTest::newRow("discard declined") << "discard" << "" << QList<int>{no} << false << false << "";
        QTest::newRow("later") << "later" << "" << QList<int>{yes} << true << false << "";
        QTest::newRow("later declined") << "later" << "" << QList<int>{no} << false << false << "";
        QTest::newRow("title-bar close") << "close" << "" << QList<int>{yes} << true << false << "";
    }

    void dialogOutcomes()
    {
        QFETCH(QString, button);
        QFETCH(QString, setup);
        QFETCH(QList<int>, answers);
        QFETCH(bool, closes);
        QFETCH(bool, adopted);
        QFETCH(QString, message);
        // Recovery never refuses text: past the chapter limit, markup kept as written.
        const QString copy = QString(Ink::maxArticleLength, QChar(0x5B57)) + "<b>尾</b>";
        TmpSaveFile::write(tmpFolder(), "C1", copy, QDateTime(QDate(2024, 1, 2), QTime(3, 4)));
        TmpSaveFile::write(tmpFolder(), "C1", "旧", QDateTime(QDate(2024, 1, 1), QTime(3, 4)));
        if (setup == "trigger")
            execSql("CREATE TEMP TRIGGER fail_adopt BEFORE UPDATE ON main.BookTree BEGIN SELECT RAISE(ABORT,'写不进'); END");
        else if (setup == "deleted")
            execSql("UPDATE BookTree SET Flag='D' WHERE ID='C1'");
        const QString before = row("C1", "HTML,PlainText,Flag,IFNULL(Attribute1,''),Synced");
        ScriptedPrompter prompter;
        prompter.answers = answers;
        TmpSaveProcDialog dialog("C1", tmpFolder());
        dialog.show();
        QSignalSpy finished(&dialog, &QDialog::finished);
        QTRY_VERIFY(!dialog.isComparing());
        if (setup == "vanished")
            execSql("DELETE FROM BookTree WHERE ID='C1'");
        if (setup == "nochoice")
            Form(&dialog).listViewTmpSaveFile->setCurrentIndex(QModelIndex());
        if (button == "adopt")
            Form(&dialog).pushButtonAdopt->click();
        else if (button == "discard")
            Form(&dialog).pushButtonDiscard->click();
        else if (button == "later")
            Form(&dialog).pushButtonLater->click();
        else
            dialog.close();
        const QStringList questions{
            button == "adopt" ? "<html>确定以此选择为准吗？<br><br><font color='red'><b>注意：确认以后，原格式会丢失，只保留文字内容，同时会删除临时保存的文件！</b></font></html>"
            : button == "discard" ? "确定不保留所有临时文件吗？"
                                  : "确定暂时不处理吗？"};
        QCOMPARE(prompter.questions(), setup == "nochoice" ? QStringList() : questions);
        QStringList shown = prompter.errors() + prompter.infos();
        QCOMPARE(shown.size(), message.isEmpty() ? 0 : 1);
        if (!message.isEmpty())
            QVERIFY2(shown.first().startsWith(message), qPrintable(shown.first()));
        QCOMPARE(finished.count(), closes ? 1 : 0);
        const bool filesGone = closes && button != "later" && button != "close";
        QCOMPARE(TmpSaveFile::list(tmpFolder(), "C1").size(), filesGone ? 0 : 2);
        if (adopted) {
            QCOMPARE(finished.first().first().toInt(), int(TmpSaveProcDialog::Adopted));
            QCOMPARE(row("C1", "HTML,PlainText,Flag,Attribute1,Synced"), copy + "|" + copy + "|A|NEWIMPORT|0");
        } else if (setup != "vanished") {
            QCOMPARE(row("C1", "HTML,PlainText,Flag,IFNULL(Attribute1,''),Synced"), before);
        }
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
            Form(dialog).pushButtonAdopt->click();
            return dialog->result();
        };
        host.select("C2"); // no copies: no dialog
        QCOMPARE(shown, 0);
        TmpSaveFile::write(tmpFolder(), "C1", "<b>粗</b>\n第二段", QDateTime::currentDateTime());
        host.select("C1");
        QCOMPARE(shown, 1);
        QVERIFY(!treeDuringDialog.contains("书三"));
        QVERIFY(shape(host.book->model()).contains("书三"));
        // Adopted: stored as plain text, opened as plain text, the copies gone.
        QCOMPARE(host.editor->toPlainText(), QString("<b>粗</b>\n第二段"));
        QCOMPARE(host.book->currentChapterId(), QString("C1"));
        QVERIFY(host.files().isEmpty());
        QVERIFY(!host.editor->document()->isModified());
    }

    // --- a crash at any moment ---

    // The copy is written every second, so at most the last second is lost: exactly, nothing the
    // last finished copy held may be lost, however the kill falls among the saves and copies.
    void killedAtAnyMomentLosesOnlyWhatCameAfterTheLastCopy()
    {
        const int trials = qEnvironmentVariableIsSet("INKBOAT_CRASH_TRIALS")
                               ? qEnvironmentVariableIntValue("INKBOAT_CRASH_TRIALS")
                               : 20;
        // INKBOAT_CRASH_SEED replays a failed run's edits and kill delays (the timing is the machine's).
        const quint32 seed = qEnvironmentVariableIsSet("INKBOAT_CRASH_SEED")
                                 ? qgetenv("INKBOAT_CRASH_SEED").toUInt()
                                 : quint32(QDateTime::currentMSecsSinceEpoch());
        std::mt19937 rng(seed);
        qint64 worst = 0;
        int duringSave = 0, duringWrite = 0;
        for (int trial = 0; trial < trials; ++trial) {
            const CrashTrial t = crashOnce(rng(), trial % 6, rng);
            QVERIFY2(t.failure.isEmpty(),
                     qPrintable(QString("INKBOAT_CRASH_SEED=%1, trial %2: %3").arg(seed).arg(trial).arg(t.failure)));
            worst = qMax(worst, t.lossMs);
            duringSave += t.duringSave;
            duringWrite += t.duringWrite;
        }
        qInfo("tmpsave crash: %d trials, worst loss %lld ms, killed during a save %d, during a copy %d", trials,
              worst, duringSave, duringWrite);
    }

private:
    CrashTrial crashOnce(quint32 seed, int mode, std::mt19937 &rng);

    TestProfile m_profile;
};

CrashTrial TestTmpSave::crashOnce(quint32 seed, int mode, std::mt19937 &rng)
{
    CrashTrial result;
    stopApp(); // the child holds the data folder now
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {"--crash-child", QString::number(seed)});
    QByteArray out;
    auto lines = [&out]() { return out.split('\n'); };
    QElapsedTimer waited;
    waited.start();
    while (!out.contains("E 0 ") && waited.elapsed() < 60000 && child.state() != QProcess::NotRunning) {
        child.waitForReadyRead(100);
        out += child.readAllStandardOutput();
    }
    if (!out.contains("E 0 ")) {
        child.kill();
        child.waitForFinished();
        startApp();
        result.failure = "the child did not start: " + QString::fromUtf8(out);
        return result;
    }
    // Most kills at a random moment; some as soon as a save or a copy begins.
    const qint64 delay = 150 + qint64(rng() % 2200);
    const QByteArray trigger = mode == 4 ? "V+" : mode == 5 ? "W+" : "";
    waited.restart();
    const int seen = out.size();
    while (waited.elapsed() < delay) {
        if (!trigger.isEmpty() && out.indexOf(trigger, seen) >= 0)
            break;
        child.waitForReadyRead(trigger.isEmpty() ? int(qMax<qint64>(1, delay - waited.elapsed())) : 1);
        out += child.readAllStandardOutput();
    }
    const qint64 killedAt = QDateTime::currentMSecsSinceEpoch();
    ::kill(pid_t(child.processId()), SIGKILL);
    child.waitForFinished(30000);
    out += child.readAllStandardOutput();

    struct State {
        int index;
        qint64 ms;
        QByteArray md5;
    };
    QVector<State> states;
    QByteArray lastMark;
    // The last edit before the start of the last copy that finished: the copy holds it.
    int copyStartsAt = 0, copied = 0;
    for (const QByteArray &line : lines()) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 4 && f[0] == "E" && f[3].size() == 32)
            states << State{f[1].toInt(), f[2].toLongLong(), f[3]};
        else if (line == "V+" || line == "V-" || line == "W+" || line == "W-")
            lastMark = line;
        if (line == "W+")
            copyStartsAt = states.isEmpty() ? 0 : states.last().index;
        else if (line == "W-")
            copied = copyStartsAt;
    }
    result.duringSave = lastMark == "V+";
    result.duringWrite = lastMark == "W+";

    if (!startApp().ok) {
        result.failure = "the program does not start after the kill";
        return result;
    }
    const QString integrity = scalar("PRAGMA main.integrity_check").toString();
    if (integrity != "ok") {
        result.failure = "integrity_check: " + integrity;
        return result;
    }
    auto indexesOf = [&states](const QByteArray &digest) {
        QVector<int> found;
        for (const State &s : states)
            if (s.md5 == digest)
                found << s.index;
        return found;
    };
    const QStringList copies = TmpSaveFile::list(tmpFolder(), "C1");
    for (const QString &path : copies) {
        if (indexesOf(md5(fileText(path))).isEmpty()) {
            result.failure = "a copy holds no announced text: " + path;
            return result;
        }
    }
    QVector<int> held = indexesOf(md5(plain("C1")));
    if (held.isEmpty()) {
        result.failure = "the stored chapter holds no announced text";
        return result;
    }
    if (!copies.isEmpty())
        held += indexesOf(md5(fileText(copies.first())));
    const int newest = *std::max_element(held.begin(), held.end());
    for (const State &s : states) {
        if (s.index == newest + 1)
            result.lossMs = killedAt - s.ms;
    }
    if (newest < copied) {
        result.failure = QString("edit %1 was copied, the newest kept is edit %2").arg(copied).arg(newest);
        return result;
    }

    // The next opening offers the copies, the newest chosen.
    if (!copies.isEmpty()) {
        RecoveryHost host;
        QStringList offered;
        QString chosen;
        host.prompts.framed = [&](QWidget *widget, int) {
            auto *dialog = qobject_cast<TmpSaveProcDialog *>(widget);
            offered = dialog->files();
            chosen = dialog->chosenText();
            waitCompared(dialog);
            return int(QDialog::Rejected);
        };
        host.select("C1");
        if (offered != copies || chosen != fileText(copies.first()))
            result.failure = "the copies were not offered, the newest first";
    }
    TmpSaveFile::removeAll(tmpFolder(), "C1");
    return result;
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--crash-child") == 0) {
        QApplication app(argc, argv);
        return runCrashChild(quint32(QByteArray(argv[2]).toUInt()));
    }
    QApplication app(argc, argv);
    TestTmpSave test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tmpsave.moc"
