// The main window: shortcuts in the editor, the save timers, reminders, closing with its
// questions, the session's save and the signal-driven quit.
#include "BookTestCase.h"
#include "Columns.h"
#include "Folders.h"
#include "ScriptedPrompter.h"
#include "TestService.h"

#include "app/App.h"
#include "app/WorkerHost.h"
#include "params/SysParams.h"
#include "frame/Toast.h"
#include "mainwindow/MainWindow.h"
#include "mainwindow/ReminderQueue.h"
#include "params/Reminders.h"

#include <QTcpServer>
#include <QtTest>
#include <QtWidgets>

#include <csignal>

namespace {

// A main window over the small library; questions are answered from prompts.answers (yes when
// empty).
struct Window {
    ScriptedPrompter prompts;
    std::unique_ptr<MainWindow> w = std::make_unique<MainWindow>();

    Window() { prompts.defaultAnswer = Ink::maYes; }
    template <class T> T *get(const char *name) const { return w->findChild<T *>(QLatin1String(name)); }
    // Shown with its trees loaded. The first show runs from the event loop; under load it may take
    // far longer than a tick.
    void firstShow()
    {
        w->show();
        QSignalSpy done(w.get(), &MainWindow::startAppInit);
        w->windowFirstShow();
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 20000);
    }
    // Opens chapter `id` and types text at its end.
    MyTextEdit *edit(const QString &id, const QString &text)
    {
        w->book()->selectNode(id);
        auto *editor = get<MyTextEdit>("textEditor");
        editor->moveCursor(QTextCursor::End);
        editor->insertPlainText(text);
        return editor;
    }
};

void failChapterSaves()
{
    execSql("CREATE TEMP TRIGGER fail_save BEFORE UPDATE OF HTML ON main.BookTree BEGIN SELECT RAISE(ABORT,'写不进'); END");
}

} // namespace

class TestMainWindow : public BookTestCase
{
    Q_OBJECT
private slots:
    void init()
    {
        BookTestCase::init();
        g_SysParams = SysParams();
        g_SysParams.autoBackupDbPath = g_App.defaultBackupPath();
        // A recovery copy left by an earlier case would open the recovery dialog.
        QDir(g_App.tmpPath()).removeRecursively();
        execSql("DROP TRIGGER IF EXISTS temp.fail_save");
        execSql("DELETE FROM SysParam WHERE key IN ('BookPlace','Reminders')");
    }

    void shortcutsWorkInEditor()
    {
        Window win;
        win.firstShow();
        QVERIFY(QTest::qWaitForWindowActive(win.w.get()));
        MyTextEdit *editor = win.edit("C1", "ab");
        editor->setFocus();
        QTest::keyClicks(editor, "cd");
        // Del inside the editor deletes text, not the chapter.
        editor->moveCursor(QTextCursor::Start);
        QTest::keyClick(editor, Qt::Key_Delete);
        QVERIFY(win.prompts.questions().isEmpty());
        QTest::keyClick(editor, Qt::Key_S, Qt::ControlModifier);
        QVERIFY(plain("C1") == "一abcd" && !editor->document()->isModified());
        // With the menu bar hidden the shortcuts still work.
        win.get<QAction>("actionViewMainMenu")->trigger();
        QVERIFY(win.get<QMenuBar>("menuBar")->isHidden());
        QTest::keyClicks(editor, "x");
        QTest::keyClick(editor, Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(plain("C1"), QString("x一abcd"));
        // Del elsewhere (the material tree) deletes no chapter.
        win.get<QWidget>("treeViewMaterial")->setFocus();
        QTest::keyClick(win.get<QWidget>("treeViewMaterial"), Qt::Key_Delete);
        QVERIFY(win.prompts.questions().isEmpty());
        // Del in the tree deletes the current node after the question.
        win.w->book()->selectNode("C2");
        win.get<TreeView>("treeViewBook")->setFocus();
        win.prompts.answers << Ink::maNo;
        QTest::keyClick(win.get<TreeView>("treeViewBook"), Qt::Key_Delete);
        QCOMPARE(win.prompts.questions(), QStringList{"确定删除<章二>吗？"});
    }

    void timerIntervalsFromParameters_data()
    {
        // Edits: x types, s saves. Autosave ticks only while there is unsaved text.
        COLUMNS(int, seconds, bool, autoSave, QString, edits, int, interval, bool, active);
        QTest::newRow("default, nothing typed") << 180 << true << "" << 180000 << false;
        QTest::newRow("default, typed") << 180 << true << "x" << 180000 << true;
        QTest::newRow("typed, saved") << 180 << true << "xs" << 180000 << false;
        QTest::newRow("too short") << 2 << true << "x" << 10000 << true;
        QTest::newRow("autosave off") << 60 << false << "x" << 60000 << false;
    }

    void timerIntervalsFromParameters()
    {
        FETCH(int, seconds, bool, autoSave, QString, edits, int, interval, bool, active);
        Window win;
        win.firstShow();
        g_SysParams.saveBookInterval = seconds;
        g_SysParams.autoSaveBook = autoSave;
        win.w->ApplySysOptions();
        win.w->book()->selectNode("C1");
        for (QChar edit : edits) {
            if (edit == 'x')
                win.edit("C1", "x");
            else
                win.w->book()->saveArticle();
        }
        QCOMPARE(QPair(win.w->autoSaveTimer()->interval(), win.w->autoSaveTimer()->isActive()), QPair(interval, active));
        QVERIFY(win.w->tmpSaveTimer()->isActive());
    }

    // Started from every paint of the frame: the trees load and the workers start once.
    void firstShowRunsOnce()
    {
        Window win;
        QSignalSpy spy(win.w.get(), &MainWindow::startAppInit);
        win.w->windowFirstShow();
        win.firstShow();
        win.w->windowFirstShow();
        // A second run would be a 1 ms timer started before this one: it would fire first.
        QEventLoop after;
        QTimer::singleShot(1, &after, &QEventLoop::quit);
        after.exec();
        QVERIFY(spy.count() == 1 && win.w->book()->currentChapterId() == "B1");
        // The clock shows the time from the first paint, not an empty box for its first second.
        QVERIFY(!win.w->findChild<QLabel *>("labelClock")->text().isEmpty());
    }

    // Reminders come one at a time, each once per run; 不再提醒 is kept and ends its notice, and
    // the next one follows; a settings link still reaches the window.
    void remindersOneAtATime()
    {
        g_SysParams.autoBackupDb = false; // due: backupOff and register
        Window win;
        ReminderQueue *queue = win.w->reminders();
        // None over a modal dialog: the reminders wait for it to close, and one on screen when
        // another opens goes back to the head of the queue.
        QDialog modal;
        modal.setModal(true);
        modal.show();
        win.w->smartCheckTimeUpdate();
        QVERIFY(!queue->current());
        modal.hide();
        QTRY_VERIFY(queue->current());
        modal.show();
        QTRY_VERIFY(!queue->current() && queue->waiting() == 2);
        modal.hide();
        QTRY_VERIFY(queue->current() && queue->current()->text().contains("未启动自动备份") &&
                    queue->current()->text().contains("silence:backupOff"));
        QCOMPARE(QString("%1 %2").arg(Toast::liveCount()).arg(queue->waiting()), "1 1");
        win.w->smartCheckTimeUpdate(); // the hourly run adds nothing already shown or queued
        QCOMPARE(queue->waiting(), 1);
        queue->current()->labelLinkActivated("silence:backupOff");
        QTRY_VERIFY(queue->current() && queue->current()->text().contains("没有注册"));
        QCOMPARE(Toast::liveCount(), 1);
        QVERIFY(ReminderMemory::load().silenced.contains("backupOff") && ReminderMemory::load().lastShown.contains("register"));
        int dialogs = 0;
        win.prompts.framed = [&dialogs](QWidget *, int) { ++dialogs; return 0; };
        queue->current()->labelLinkActivated("SysUserRegister");
        QCOMPARE(dialogs, 1);
        queue->current()->close();
        QTRY_COMPARE(Toast::liveCount() + queue->waiting(), 0);
        win.w->smartCheckTimeUpdate();
        QVERIFY(!queue->current()); // once per run
    }

    // Closing asks to quit, then to save the edited chapter; any answer but yes-and-saved keeps
    // the window working with the edit. A confirmed close ends every worker thread, also while the
    // service never answers (the start-up job waits in its call) or refuses.
    void closingAsksAndKeepsTheEdit_data()
    {
        // failing: the chapter cannot be written; service: "hole" never answers, "refused"
        COLUMNS(QList<int>, answers, bool, failing, QString, service, bool, closed, QString, stored);
        const QList<int> yesYes{Ink::maYes, Ink::maYes};
        QTest::newRow("no to quit") << QList<int>{Ink::maNo} << false << "" << false << "章一";
        QTest::newRow("dismissed quit") << QList<int>{-1} << false << "" << false << "章一";
        QTest::newRow("yes, save") << yesYes << false << "" << true << "章一改";
        QTest::newRow("yes, do not save") << QList<int>{Ink::maYes, Ink::maNo} << false << "" << true << "章一";
        QTest::newRow("yes, save question dismissed") << QList<int>{Ink::maYes, -1} << false << "" << false << "章一";
        QTest::newRow("yes, save fails") << yesYes << true << "" << false << "章一";
        QTest::newRow("service a black hole") << yesYes << false << "hole" << true << "章一改";
        QTest::newRow("service refuses") << yesYes << false << "refused" << true << "章一改";
    }

    void closingAsksAndKeepsTheEdit()
    {
        FETCH(QList<int>, answers, bool, failing, QString, service, bool, closed, QString, stored);
        QTcpServer hole;
        const QByteArray oldUrl = qgetenv("INKBOAT_SERVICE_URL");
        const auto restore = qScopeGuard([&oldUrl] { qputenv("INKBOAT_SERVICE_URL", oldUrl); });
        if (!service.isEmpty()) {
            const quint16 port = service == "hole" && hole.listen(QHostAddress::LocalHost) ? hole.serverPort()
                                                                                          : freeLoopbackPort();
            qputenv("INKBOAT_SERVICE_URL", QString("http://127.0.0.1:%1/").arg(port).toUtf8());
        }
        Window win;
        win.firstShow();
        QVERIFY(win.w->workers()->threads().size() >= 3);
        if (service == "hole")
            QTRY_VERIFY_WITH_TIMEOUT(hole.hasPendingConnections(), 20000);
        MyTextEdit *editor = win.edit("C1", "改");
        if (failing)
            failChapterSaves();
        // A second close request while the first is running asks nothing and closes nothing.
        win.prompts.onMessage = [&win](int, const QString &text) {
            if (text == "文章已修改，保存吗？")
                win.w->close();
        };
        win.prompts.answers = answers;
        QCOMPARE(win.w->close(), closed);
        QCOMPARE(win.prompts.questions(), QStringList({"确定退出吗？", "文章已修改，保存吗？"}).mid(0, answers.size()));
        QVERIFY(plain("C1") == stored && win.prompts.errors().size() == (failing ? 1 : 0));
        // A close that does not happen leaves the window working.
        // visible, enabled, autosaving, edited, workers stopped
        QCOMPARE(QString("%1%2%3%4%5").arg(win.w->isVisible()).arg(win.w->isEnabled()).arg(win.w->autoSaveTimer()->isActive())
                     .arg(editor->document()->isModified()).arg(win.w->workers()->isStopped()),
                 closed ? "00001" : "11110");
        for (QThread *thread : win.w->workers()->threads())
            QVERIFY2(!closed || thread->isFinished(), qPrintable(thread->objectName()));
        if (!failing)
            return;
        QVERIFY(win.prompts.errors()[0].contains("写不进") && !win.w->isClosing());
        execSql("DROP TRIGGER temp.fail_save");
        win.prompts.answers = {Ink::maYes, Ink::maYes};
        QVERIFY(win.w->close());
        QCOMPARE(plain("C1"), QString("章一改"));
    }

    // The session ends, a quit is requested or SIGTERM comes, with the chapter edited (an input
    // method's text included): nobody is asked; the text is saved or, when it cannot be, kept in a
    // recovery copy with the chapter named in the log (exit 1). Last: the signal's quit cannot be
    // undone in this process.
    void savesWithoutQuestions_data()
    {
        COLUMNS(QString, how, bool, failing);
        QTest::newRow("session ends: saved") << "session" << false;
        QTest::newRow("session ends, save fails: recovery copy") << "session" << true;
        QTest::newRow("quit, save fails: recovery copy, exit 1") << "quit" << true;
        QTest::newRow("SIGTERM while typing: saved, exit 0") << "signal" << false;
    }
    void savesWithoutQuestions()
    {
        FETCH(QString, how, bool, failing);
        Window win;
        win.firstShow();
        MyTextEdit *editor = win.edit("C2", "abc");
        QInputMethodEvent ime;
        ime.setCommitString("驼铃");
        QApplication::sendEvent(editor, &ime);
        QDir tmp(g_App.tmpPath());
        for (const QString &f : tmp.entryList(QDir::Files))
            tmp.remove(f);
        const QString logLine = QStringLiteral("退出时保存文章失败（文章ID：C2）");
        const int logged = todaysLog().count(logLine);
        if (failing)
            failChapterSaves();
        if (how == "session") {
            QCOMPARE(win.w->saveChapterForSession(), !failing);
            QCOMPARE(editor->document()->isModified(), failing);
        } else {
            if (how == "quit") {
                QTimer::singleShot(0, win.w.get(), &MainWindow::quitWithoutQuestions);
            } else {
                App::installQuitSignalHandlers();
                QTimer::singleShot(0, []() { ::raise(SIGTERM); });
            }
            QCOMPARE(QApplication::exec(), failing ? 1 : 0);
        }
        QVERIFY(win.prompts.messages.isEmpty());
        QCOMPARE(plain("C2"), QString(failing ? "章二" : "章二abc驼铃"));
        QCOMPARE(todaysLog().count(logLine), logged + (failing ? 1 : 0));
        const QStringList files = tmp.entryList(QDir::Files);
        QCOMPARE(files.size(), failing ? 1 : 0);
        if (failing) // the recovery copy, named after the chapter and the time
            QVERIFY2(QRegularExpression("^tmpSave\\.C2\\.\\d{17}\\.txt$").match(files[0]).hasMatch() &&
                         readBytes(tmp.filePath(files[0])) == QString("章二abc驼铃").toUtf8(),
                     qPrintable(files[0]));
    }

};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
