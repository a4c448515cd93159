// The main window: its parts and actions, shortcuts, layout, timers, closing, the signal-driven
// quit and the single instance.
#include "BookRows.h"
#include "ScriptedPrompter.h"
#include "TestProfile.h"
#include "TestService.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/WorkerHost.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "frame/Toast.h"
#include "mainwindow/MainWindow.h"

#include <QTcpServer>
#include <QtTest>
#include <QtWidgets>

#include <csignal>
#include <memory>

namespace {

// A main window over the small library; questions are answered from prompts.answers (yes when
// empty).
struct Window {
    ScriptedPrompter prompts;
    std::unique_ptr<MainWindow> w = std::make_unique<MainWindow>();

    Window() { prompts.defaultAnswer = Ink::maYes; }
    template <class T> T *get(const char *name) const
    {
        T *child = w->findChild<T *>(QLatin1String(name));
        if (!child)
            qFatal("missing %s", name);
        return child;
    }
    void firstShow()
    {
        // The first show runs from the event loop; under load it may take far longer than a tick.
        QSignalSpy done(w.get(), &MainWindow::startAppInit);
        w->windowFirstShow();
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 20000);
    }
    bool shown(int width = 0, int height = 0)
    {
        if (width)
            w->resize(width, height);
        w->show();
        return QTest::qWaitForWindowExposed(w.get());
    }
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(startApp().ok); }
    void init()
    {
        clearBookTables();
        smallLibrary();
        g_SysParams = SysParams();
        g_SysParams.autoBackupDbPath = g_App.defaultBackupPath();
        // A recovery copy left by an earlier case would open the recovery dialog.
        QDir(g_App.tmpPath()).removeRecursively();
    }

    // The window builds, and every on_<object>_<signal> slot has its object and signal: a renamed
    // object in the form would leave the slot silently unconnected.
    void namedSlotsHaveTheirSenders()
    {
        Window win;
        const QMetaObject *meta = win.w->metaObject();
        int checked = 0;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QMetaMethod slot = meta->method(i);
            const QString name = QString::fromLatin1(slot.name());
            if (slot.methodType() != QMetaMethod::Slot || !name.startsWith("on_"))
                continue;
            const int split = name.lastIndexOf('_');
            const QString objectName = name.mid(3, split - 3);
            const QByteArray signalName = name.mid(split + 1).toLatin1();
            QObject *sender = win.w->findChild<QObject *>(objectName);
            QVERIFY2(sender, qPrintable(name));
            bool found = false;
            for (int j = 0; j < sender->metaObject()->methodCount() && !found; ++j) {
                const QMetaMethod signal = sender->metaObject()->method(j);
                found = signal.methodType() == QMetaMethod::Signal && signal.name() == signalName &&
                        QMetaObject::checkConnectArgs(signal, slot);
            }
            QVERIFY2(found, qPrintable(name));
            ++checked;
        }
        QVERIFY(checked > 60);
        // A shortcut is named in the tool tip.
        QCOMPARE(win.get<QAction>("actionSysSave")->toolTip(),
                 QString("保存(%1)").arg(QKeySequence("Ctrl+S").toString(QKeySequence::NativeText)));
    }

    // Leaving full screen returns to the state before it; the stored layout keeps that state.
    void fullScreenHidesMenu_data()
    {
        QTest::addColumn<bool>("maximized");
        QTest::newRow("from a normal window") << false;
        QTest::newRow("from a maximized window") << true;
    }

    void fullScreenHidesMenu()
    {
        QFETCH(bool, maximized);
        Window win;
        QVERIFY(win.shown());
        if (maximized)
            win.w->showMaximized();
        for (const bool full : {true, false}) {
            win.get<QAction>("actionViewFullScreen")->trigger();
            QCOMPARE(win.w->isFullScreen(), full);
            QCOMPARE(win.get<QMenuBar>("menuBar")->isHidden(), full);
            QCOMPARE(win.get<QAction>("actionViewFullScreen")->isChecked(), full);
            win.w->saveLayout();
            QCOMPARE(g_SysParams.visibilityParams.layoutInfo.fullScreen, full);
            QCOMPARE(g_SysParams.visibilityParams.layoutInfo.maximized, maximized);
        }
        QCOMPARE(win.w->isMaximized(), maximized);
    }

    void shortcutsAreUnique()
    {
        Window win;
        QHash<QKeySequence, QString> seen;
        for (QAction *a : win.w->findChildren<QAction *>()) {
            for (const QKeySequence &k : a->shortcuts()) {
                QVERIFY2(!seen.contains(k), qPrintable(QString("%1 and %2 share %3").arg(seen.value(k), a->objectName(),
                                                                                          k.toString())));
                seen.insert(k, a->objectName());
            }
        }
        QCOMPARE(seen.value(QKeySequence("Ctrl+U")), QString("actionTextUnderline"));
        // The tree's Del and Backspace act only when the tree has the focus.
        for (QAction *a : {win.get<QAction>("actionBookDelNode"), win.get<QAction>("actionBookRenameNode")}) {
            QCOMPARE(a->shortcutContext(), Qt::WidgetWithChildrenShortcut);
            QVERIFY(win.get<TreeView>("treeViewBook")->actions().contains(a));
            QVERIFY(!win.w->actions().contains(a));
        }
    }

    void shortcutsWorkInEditor()
    {
        Window win;
        win.w->show();
        QVERIFY(QTest::qWaitForWindowActive(win.w.get()));
        win.firstShow();
        win.w->book()->selectNode("C1");
        MyTextEdit *editor = win.get<MyTextEdit>("textEditor");
        editor->setFocus();
        editor->moveCursor(QTextCursor::End);
        QTest::keyClicks(editor, "ab");
        QTest::keyClick(editor, Qt::Key_B, Qt::ControlModifier);
        QVERIFY(win.get<QAction>("actionTextBold")->isChecked());
        QTest::keyClicks(editor, "cd");
        QVERIFY(editor->currentCharFormat().font().bold());
        // Del inside the editor deletes text, not the chapter.
        editor->moveCursor(QTextCursor::Start);
        QTest::keyClick(editor, Qt::Key_Delete);
        QVERIFY(win.prompts.questions().isEmpty());
        QTest::keyClick(editor, Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(plain("C1"), QString("一abcd"));
        QVERIFY(!editor->document()->isModified());
        // With the menu bar hidden the shortcuts still work.
        win.get<QAction>("actionViewMainMenu")->trigger();
        QVERIFY(win.get<QMenuBar>("menuBar")->isHidden());
        QTest::keyClicks(editor, "x");
        QTest::keyClick(editor, Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(plain("C1"), QString("x一abcd"));
        // Del in the tree deletes the current node after the question.
        win.w->book()->selectNode("C2");
        win.get<TreeView>("treeViewBook")->setFocus();
        win.prompts.answers << Ink::maNo;
        QTest::keyClick(win.get<TreeView>("treeViewBook"), Qt::Key_Delete);
        QCOMPARE(win.prompts.questions(), QStringList{"确定删除<章二>吗？"});
    }

    // "帮助" opens the guide found beside the program once, brings it back when asked again,
    // and says so when there is none.
    void helpOpensTheGuide()
    {
        const QString dir = QCoreApplication::applicationDirPath() + "/guide";
        QVERIFY(QDir().mkpath(dir));
        const auto cleanup = qScopeGuard([dir]() { QDir(dir).removeRecursively(); });
        QFile guide(dir + "/guide.md");
        QVERIFY(guide.open(QIODevice::WriteOnly));
        guide.write("# 试用指南\n\n第一段。\n");
        guide.close();
        Window win;
        QAction *help = win.get<QAction>("actionHelpHelp");
        const auto guides = []() {
            QList<QWidget *> out;
            for (QWidget *w : QApplication::allWidgets())
                if (w->objectName() == "GuideWindow")
                    out << w;
            return out;
        };
        help->trigger();
        help->trigger();
        QCOMPARE(guides().size(), 1);
        QVERIFY(guides().first()->findChild<QTextBrowser *>()->toPlainText().contains("试用指南"));
        QVERIFY(win.prompts.errors().isEmpty());
        delete guides().first()->window();
        QVERIFY(QDir(dir).removeRecursively());
        help->trigger();
        QVERIFY(guides().isEmpty());
        QCOMPARE(win.prompts.errors(), QStringList{"找不到使用指南，请重新安装砚舟写作。"});
    }

    void layoutRoundTrip()
    {
        const QString ini = m_profile.root() + "/config/Inkboat/Inkboat.ini";
        QFile::remove(ini);
        {
            Window win;
            QVERIFY(win.shown(1100, 700));
            win.get<QSplitter>("splitterMain")->setSizes({150, 700, 250});
            win.get<QMenuBar>("menuBar")->hide();
            win.w->saveLayout();
        }
        QVERIFY(QFile::exists(ini));
        QSettings settings(ini, QSettings::IniFormat);
        QVERIFY(settings.value("mainWindow/saved").toBool());
        QVERIFY(!settings.value("mainWindow/geometry").toByteArray().isEmpty());
        QVERIFY(!settings.value("mainWindow/state").toByteArray().isEmpty());
        const QList<int> stored = g_SysParams.visibilityParams.layoutInfo.splitterMainSizes;
        QCOMPARE(stored.size(), 3);
        QVERIFY(!g_SysParams.visibilityParams.layoutInfo.mainMenu);
        {
            Window win;
            QVERIFY(win.shown());
            win.w->restoreLayout();
            QCOMPARE(win.get<QSplitter>("splitterMain")->sizes(), stored);
            QVERIFY(win.get<QMenuBar>("menuBar")->isHidden());
            QVERIFY(!win.get<QAction>("actionViewMainMenu")->isChecked());
        }
        // A list of another length is not applied.
        QFile::remove(ini);
        g_SysParams.visibilityParams.layoutInfo.splitterMainSizes = {10, 20};
        g_SysParams.visibilityParams.layoutInfo.mainMenu = true;
        {
            Window win;
            QVERIFY(win.shown());
            const QList<int> before = win.get<QSplitter>("splitterMain")->sizes();
            win.w->restoreLayout();
            QCOMPARE(win.get<QSplitter>("splitterMain")->sizes(), before);
        }
    }

    void panelToggles()
    {
        Window win;
        QVERIFY(win.shown(1200, 700));
        win.get<QAction>("actionViewBookPanel")->trigger();
        QCOMPARE(win.get<QSplitter>("splitterMain")->sizes().value(0), 0);
        QVERIFY(!win.get<QAction>("actionViewBookPanel")->isChecked());
        win.get<QAction>("actionViewBookPanel")->trigger();
        QVERIFY(win.get<QSplitter>("splitterMain")->sizes().value(0) >= win.get<QWidget>("widgetBook")->minimumWidth());
        QVERIFY(win.get<QAction>("actionViewBookPanel")->isChecked());
        win.get<QAction>("actionViewMaterialPanel")->trigger();
        QCOMPARE(win.get<QSplitter>("splitterMain")->sizes().value(2), 0);
    }

    void timerIntervalsFromParameters_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<bool>("autoSave");
        QTest::addColumn<int>("interval");
        QTest::addColumn<bool>("active");
        QTest::newRow("default") << 180 << true << 180000 << true;
        QTest::newRow("too short") << 2 << true << 10000 << true;
        QTest::newRow("negative") << -5 << true << 10000 << true;
        QTest::newRow("autosave off") << 60 << false << 60000 << false;
    }

    void timerIntervalsFromParameters()
    {
        QFETCH(int, seconds);
        QFETCH(bool, autoSave);
        QFETCH(int, interval);
        QFETCH(bool, active);
        Window win;
        g_SysParams.saveBookInterval = seconds;
        g_SysParams.autoSaveBook = autoSave;
        win.w->ApplySysOptions();
        QCOMPARE(win.w->autoSaveTimer()->interval(), interval);
        QCOMPARE(win.w->autoSaveTimer()->isActive(), active);
        QVERIFY(win.w->tmpSaveTimer()->isActive());
    }

    void firstShowRunsOnce()
    {
        Window win;
        QSignalSpy spy(win.w.get(), &MainWindow::startAppInit);
        win.w->windowFirstShow();
        win.w->windowFirstShow();
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 20000);
        win.w->windowFirstShow();
        QTest::qWait(30);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(win.w->book()->currentChapterId(), QString("B1"));
    }

    // The session's commit-data request saves the open chapter without a dialog; a failed save
    // goes to the log with the chapter id and the chapter stays modified.
    void sessionSaveAsksNothing_data()
    {
        QTest::addColumn<bool>("failing");
        QTest::newRow("saved") << false;
        QTest::newRow("save fails") << true;
    }

    void sessionSaveAsksNothing()
    {
        QFETCH(bool, failing);
        Window win;
        win.w->show();
        win.firstShow();
        win.w->book()->selectNode("C1");
        MyTextEdit *editor = win.get<MyTextEdit>("textEditor");
        editor->moveCursor(QTextCursor::End);
        editor->insertPlainText("改");
        if (failing)
            execSql("CREATE TEMP TRIGGER fail_save BEFORE UPDATE OF HTML ON main.BookTree "
                    "BEGIN SELECT RAISE(ABORT,'写不进'); END");
        QCOMPARE(win.w->saveChapterForSession(), !failing);
        QVERIFY(win.prompts.messages.isEmpty());
        QCOMPARE(plain("C1"), QString(failing ? "章一" : "章一改"));
        QCOMPARE(editor->document()->isModified(), failing);
        if (!failing)
            return;
        execSql("DROP TRIGGER temp.fail_save");
        QFile log(logFileName("err", QDate::currentDate()));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString logged = QString::fromUtf8(log.readAll());
        QVERIFY2(logged.contains("C1") && logged.contains("写不进"), qPrintable(logged));
    }

    void closingFlow_data()
    {
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<bool>("failing"); // the chapter cannot be written
        QTest::addColumn<bool>("closed");
        QTest::addColumn<QString>("stored");
        QTest::newRow("no to quit") << QList<int>{Ink::maNo} << false << false << "章一";
        QTest::newRow("dismissed quit") << QList<int>{-1} << false << false << "章一";
        QTest::newRow("yes, save") << QList<int>{Ink::maYes, Ink::maYes} << false << true << "章一改";
        QTest::newRow("yes, do not save") << QList<int>{Ink::maYes, Ink::maNo} << false << true << "章一";
        QTest::newRow("yes, save question dismissed") << QList<int>{Ink::maYes, -1} << false << false << "章一";
        QTest::newRow("yes, save fails") << QList<int>{Ink::maYes, Ink::maYes} << true << false << "章一";
    }

    void closingFlow()
    {
        QFETCH(QList<int>, answers);
        QFETCH(bool, failing);
        QFETCH(bool, closed);
        QFETCH(QString, stored);
        Window win;
        win.w->show();
        win.firstShow();
        win.w->book()->selectNode("C1");
        win.get<MyTextEdit>("textEditor")->moveCursor(QTextCursor::End);
        win.get<MyTextEdit>("textEditor")->insertPlainText("改");
        if (failing)
            execSql("CREATE TEMP TRIGGER fail_save BEFORE UPDATE OF HTML ON main.BookTree "
                    "BEGIN SELECT RAISE(ABORT,'写不进'); END");
        // A second close request while the first is running asks nothing and closes nothing.
        win.prompts.onMessage = [&win](int, const QString &text) {
            if (text == "文章已修改，保存吗？")
                win.w->close();
        };
        win.prompts.answers = answers;
        QCOMPARE(win.w->close(), closed);
        QCOMPARE(win.prompts.questions(), QStringList({"确定退出吗？", "文章已修改，保存吗？"}).mid(0, answers.size()));
        QCOMPARE(plain("C1"), stored);
        QCOMPARE(win.prompts.errors().size(), failing ? 1 : 0);
        // A close that does not happen leaves the window working.
        QCOMPARE(win.w->isVisible(), !closed);
        QCOMPARE(win.w->isEnabled(), !closed);
        QCOMPARE(win.w->autoSaveTimer()->isActive(), !closed);
        QCOMPARE(win.get<MyTextEdit>("textEditor")->document()->isModified(), !closed);
        if (!failing)
            return;
        QVERIFY(win.prompts.errors()[0].contains("写不进"));
        QVERIFY(win.get<MyTextEdit>("textEditor")->document()->isModified());
        QVERIFY(!win.w->isClosing());
        execSql("DROP TRIGGER temp.fail_save");
        win.prompts.answers = {Ink::maYes, Ink::maYes};
        QVERIFY(win.w->close());
        QCOMPARE(plain("C1"), QString("章一改"));
    }

    // A confirmed close while the service never answers (or refuses): the start-up job waits
    // in its call, and still every worker thread has ended when the window has closed.
    void closeWithServiceAway_data()
    {
        QTest::addColumn<bool>("blackHole");
        QTest::addColumn<bool>("edited");
        QTest::newRow("black hole") << true << false;
        QTest::newRow("black hole, chapter saved on the way out") << true << true;
        QTest::newRow("refused") << false << false;
    }
    void closeWithServiceAway()
    {
        QFETCH(bool, blackHole);
        QFETCH(bool, edited);
        QTcpServer hole;
        QVERIFY(hole.listen(QHostAddress::LocalHost));
        const quint16 port = blackHole ? hole.serverPort() : freeLoopbackPort();
        if (!blackHole)
            hole.close();
        const QByteArray oldUrl = qgetenv("INKBOAT_SERVICE_URL");
        qputenv("INKBOAT_SERVICE_URL", QString("http://127.0.0.1:%1/").arg(port).toUtf8());
        const auto restore = qScopeGuard([&oldUrl] { qputenv("INKBOAT_SERVICE_URL", oldUrl); });
        Window win;
        win.w->show();
        win.firstShow();
        QVERIFY(win.w->workers()->threads().size() >= 3);
        if (blackHole)
            QTRY_VERIFY_WITH_TIMEOUT(hole.hasPendingConnections(), 20000);
        if (edited) {
            win.w->book()->selectNode("C1");
            win.get<MyTextEdit>("textEditor")->moveCursor(QTextCursor::End);
            win.get<MyTextEdit>("textEditor")->insertPlainText("改");
        }
        win.prompts.answers = {Ink::maYes, Ink::maYes};
        QVERIFY(win.w->close());
        QCOMPARE(win.prompts.questions(), QStringList({"确定退出吗？", "文章已修改，保存吗？"}).mid(0, edited ? 2 : 1));
        QVERIFY(win.w->workers()->isStopped());
        for (QThread *thread : win.w->workers()->threads())
            QVERIFY2(thread->isFinished(), qPrintable(thread->objectName()));
        QCOMPARE(plain("C1"), edited ? QString("章一改") : QString("章一"));
        QVERIFY(win.prompts.errors().isEmpty());
    }

    void overLengthShownInStatusBar()
    {
        g_SysParams.editorParams.alertOnWordCount = false; // only the over-length notice is counted
        Window win;
        win.w->show();
        win.firstShow();
        win.w->book()->selectNode("C1");
        auto *editor = win.get<MyTextEdit>("textEditor");
        QLabel *label = win.w->saveStateLabel();
        QVERIFY(label->isHidden());
        const int toasts = Toast::currentSerial();
        editor->moveCursor(QTextCursor::End);
        editor->insertPlainText(QString(Ink::maxArticleLength, QChar('x')));
        const QString count = QString::number(Ink::maxArticleLength + 2);
        QVERIFY(!label->isHidden());
        QVERIFY2(label->text().contains(count), qPrintable(label->text()));
        QCOMPARE(Toast::currentSerial(), toasts + 1);
        // The timer opens no dialog; the text stays until the chapter is short enough to save.
        win.w->autoSaveTimerUpdate();
        QVERIFY(win.prompts.errors().isEmpty());
        QVERIFY(label->text().contains(count));
        editor->textCursor().deletePreviousChar();
        editor->textCursor().deletePreviousChar();
        win.w->autoSaveTimerUpdate();
        QVERIFY(label->isHidden());
        QCOMPARE(plain("C1").size(), Ink::maxArticleLength);
        QCOMPARE(Toast::currentSerial(), toasts + 1);
    }

    void quitAfterFailedSaveKeepsTextAndExitsOne()
    {
        Window win;
        win.w->show();
        win.firstShow();
        win.w->book()->selectNode("C1");
        auto *editor = win.get<MyTextEdit>("textEditor");
        editor->moveCursor(QTextCursor::End);
        editor->insertPlainText("退出前的字");
        execSql("CREATE TEMP TRIGGER fail_save BEFORE UPDATE OF HTML ON main.BookTree "
                "BEGIN SELECT RAISE(ABORT,'写不进'); END");
        QDir tmp(g_App.tmpPath());
        for (const QString &f : tmp.entryList(QDir::Files))
            tmp.remove(f);
        QTimer::singleShot(0, win.w.get(), &MainWindow::quitWithoutQuestions);
        QCOMPARE(QApplication::exec(), 1);
        // Nobody was asked or shown anything; the text is in a recovery copy, the log names the chapter.
        QVERIFY(win.prompts.questions().isEmpty());
        QVERIFY(win.prompts.errors().isEmpty());
        const QStringList files = tmp.entryList(QDir::Files);
        QCOMPARE(files.size(), 1);
        QVERIFY2(QRegularExpression("^tmpSave\\.C1\\.\\d{17}\\.txt$").match(files[0]).hasMatch(), qPrintable(files[0]));
        QFile copy(tmp.filePath(files[0]));
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(copy.readAll()), QString("章一退出前的字"));
        QFile log(logFileName("err", QDate::currentDate()));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(log.readAll()).contains("退出时保存文章失败（文章ID：C1）"));
        QCOMPARE(plain("C1"), QString("章一"));
    }

    void secondInstanceIsRefused()
    {
        QProcess child;
        qputenv("INKBOAT_TEST_SECOND_INSTANCE", "1");
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        qunsetenv("INKBOAT_TEST_SECOND_INSTANCE");
        QVERIFY(child.waitForFinished(30000));
        const QString out = QString::fromUtf8(child.readAllStandardOutput());
        QVERIFY2(out.contains("已经在运行"), qPrintable(out));
        QVERIFY(out.contains("init=0"));
        // The running instance's data is untouched.
        QCOMPARE(plain("C1"), QString("章一"));
    }

    // Last: the quit cannot be undone in this process.
    void sigtermWhileTypingSavesAndExitsZero()
    {
        App::installQuitSignalHandlers();
        Window win;
        win.w->show();
        win.firstShow();
        win.w->book()->selectNode("C2");
        QTest::keyClicks(win.get<MyTextEdit>("textEditor"), "abc");
        QInputMethodEvent ime;
        ime.setCommitString("驼铃");
        QApplication::sendEvent(win.get<MyTextEdit>("textEditor"), &ime);
        QTimer::singleShot(0, []() { ::raise(SIGTERM); });
        const int code = QApplication::exec();
        QCOMPARE(code, 0);
        QVERIFY(win.prompts.questions().isEmpty());
        QVERIFY(plain("C2").contains("驼铃"));
        QVERIFY(plain("C2").contains("abc"));
    }

private:
    TestProfile m_profile;
};

// The same executable plays the second instance for secondInstanceIsRefused.
int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("INKBOAT_TEST_SECOND_INSTANCE")) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setOrganizationName(Ink::organizationName());
        QCoreApplication::setApplicationName(Ink::applicationName());
        const StartResult r = startApp(); // in the profile of the running test
        std::printf("init=%d %s\n", r.ok ? 1 : 0, r.messages.join('|').toUtf8().constData());
        return 0;
    }
    QApplication app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
