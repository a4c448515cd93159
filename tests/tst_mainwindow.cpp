// The main window: its parts and actions, shortcuts, layout, timers, reminders, closing,
// shutdown of worker threads, the signal-driven quit and the single instance.
#include "BookRows.h"
#include "TestProfile.h"

#include "app/Constants.h"
#include "params/SysParams.h"
#include "mainwindow/MainWindow.h"

#include <QtTest>
#include <QtWidgets>

#include <atomic>
#include <csignal>
#include <memory>

namespace {

// A main window over the small library; questions are answered from a list (yes when empty).
struct Window : Prompts {
    std::unique_ptr<MainWindow> w = std::make_unique<MainWindow>();
    QStringList infos;

    Window()
    {
        w->setAskHook([this](const QString &text) { return ask(text); });
        w->setErrorHook([this](const QString &text) { errors << text; });
        w->setInfoHook([this](const QString &text) { infos << text; });
    }
    template <class T> T *get(const char *name) const
    {
        T *child = w->findChild<T *>(QLatin1String(name));
        if (!child)
            qFatal("missing %s", name);
        return child;
    }
    void firstShow()
    {
        w->windowFirstShow();
        QTest::qWait(20);
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
    }

    void hasEveryObject_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("text"); // of an action
        QTest::addColumn<QString>("shortcut");
        const QList<QPair<const char *, const char *>> parts = {
            {"splitterMain", "QSplitter"}, {"widgetBook", "QWidget"}, {"toolButtonBookNewBook", "QToolButton"},
            {"toolButtonBookNewVolume", "QToolButton"}, {"toolButtonBookNewSection", "QToolButton"},
            {"toolButtonBookNewSameLevelNode", "QToolButton"}, {"toolButtonBookDelNode", "QToolButton"},
            {"treeViewBook", "TreeView"}, {"widgetEditor", "QWidget"}, {"splitterMiddle", "QSplitter"},
            {"textEditor", "MyTextEdit"}, {"frameSearchMaterial", "QFrame"}, {"listViewSearchMaterial", "QListView"},
            {"toolButtonMaterialFirstPage", "QToolButton"}, {"toolButtonMaterialPreviousPage", "QToolButton"},
            {"toolButtonMaterialNextPage", "QToolButton"}, {"toolButtonTextInsertMaterialTitle", "QToolButton"},
            {"toolButtonTextInsertMaterialContent", "QToolButton"}, {"widgetMaterial", "QWidget"},
            {"widgetMaterialSearch", "QWidget"}, {"lineEditWord", "QLineEdit"}, {"toolButtonSearch", "QToolButton"},
            {"splitterMaterial", "QSplitter"}, {"tabWidgetMaterial", "QTabWidget"}, {"tabMaterial", "QWidget"},
            {"treeViewMaterial", "TreeView"}, {"tabUserMaterial", "QWidget"}, {"treeViewUserMaterial", "TreeView"},
            {"listViewMaterial", "QListView"}, {"plainTextEditMaterialContent", "QPlainTextEdit"},
            {"mnuSys", "QMenu"}, {"mnuEdit", "QMenu"}, {"mnuFormat", "QMenu"}, {"mnuAdv", "QMenu"}, {"mnuHelp", "QMenu"},
            {"mainToolBar", "QToolBar"}, {"styleToolBar", "QToolBar"}, {"advToolBar", "QToolBar"},
            {"viewToolBar", "QToolBar"}, {"comboSize", "QComboBox"}, {"timeTimer", "QTimer"},
            {"autoSaveTimer", "QTimer"}, {"tmpSaveTimer", "QTimer"}, {"smartCheckTimer", "QTimer"}};
        for (const auto &p : parts)
            QTest::newRow(p.first) << p.first << p.second << "" << "";

        const QList<std::array<const char *, 3>> actions = {
            {"actionSysUserRegister", "注册", ""}, {"actionSysUserLogin", "登录", ""},
            {"actionSysUserInfo", "用户信息", "Ctrl+Alt+U"}, {"actionSysChangeUser", "更换用户", ""},
            {"actionSysSave", "保存", "Ctrl+S"}, {"actionSysSync", "同步", "Ctrl+Alt+S"},
            {"actionSysOptions", "参数", ""}, {"actionSysExit", "退出", ""}, {"actionHelpHelp", "帮助", ""},
            {"actionHelpShowNoviceGuidance", "显示新手引导", ""}, {"actionHelpAbout", "关于...", ""},
            {"actionEditCut", "剪切", "Ctrl+X"}, {"actionEditCopy", "复制", "Ctrl+C"},
            {"actionEditPaste", "粘贴", "Ctrl+P"}, {"actionEditUndo", "撤销", "Ctrl+Z"},
            {"actionEditRedo", "恢复", "Ctrl+Shift+Z"}, {"actionEditFind", "查找", "Ctrl+F"},
            {"actionEditReplace", "替换", "Ctrl+R"}, {"actionTextSelectAll", "全选", "Ctrl+A"},
            {"actionTextBold", "粗体", "Ctrl+B"}, {"actionTextItalic", "斜体", "Ctrl+I"},
            {"actionTextUnderline", "底划线", "Ctrl+U"}, {"actionTextStrickout", "删除线", ""},
            {"actionTextColor", "颜色", ""}, {"actionTextBackColor", "背景颜色", ""},
            {"actionAlignLeft", "左对齐", ""}, {"actionAlignCenter", "居中", ""}, {"actionAlignRight", "右对齐", ""},
            {"actionAlignJustify", "两端对齐", ""}, {"actionAlignAuto", "自动排版", ""},
            {"actionBookNewBook", "新书", ""}, {"actionBookNewVolume", "新卷", ""},
            {"actionBookNewSection", "新章节", ""}, {"actionBookNewSameLevelNode", "新同层", ""},
            {"actionBookDelNode", "删除选择节点", "Del"}, {"actionBookImport", "导入", ""},
            {"actionBookExport", "导出", ""}, {"actionBookRenameNode", "重命名", "Backspace"},
            {"actionTextInsertDateTime", "日期时间", "Ctrl+D"}, {"actionTextInsertLine", "分隔线", "Ctrl+L"},
            {"actionTextAsNodeTitle", "作为章节标题", "Ctrl+T"}, {"actionTextCopyAll", "复制全部", ""},
            {"actionSensitiveWordsCheck", "敏感词检查", ""}, {"actionSensitiveWordsClear", "清除敏感词标志", ""},
            {"actionAdvanceSortByModifiedSwitch", "文章最近修改优先排序", ""},
            {"actionSmartSentenceWordSwitch", "启动智能搜索词句", "Ctrl+Alt+W"},
            {"actionTextInsertSelectMaterial", "插入选择素材文本", "Alt+S"},
            {"actionTextInsertAllMaterial", "插入整个素材文本", "Alt+A"},
            {"actionTextInsertMaterialTitle", "插入素材标题", ""}, {"actionTextInsertMaterialContent", "插入素材内容", ""},
            {"actionMaterialPreviousPage", "上一页", "Ctrl+Alt+Left"}, {"actionMaterialNextPage", "下一页", "Ctrl+Alt+Right"},
            {"actionMaterialFirstPage", "第一页", "Ctrl+Alt+Up"}, {"actionMaterialLastPage", "最后一页", "Ctrl+Alt+Down"},
            {"actionMaterialHide", "隐藏搜索素材", "Esc"}, {"actionUserMaterialAddSelection", "选择文本添加用户素材", ""},
            {"actionUserMaterialAddContent", "当前文档添加用户素材", ""}, {"actionSearchMaterial", "素材库搜索", "Ctrl+M"},
            {"actionSearchUserMaterial", "用户素材搜索", ""}, {"actionSearchBaidu", "百度搜索", "Ctrl+Alt+D"},
            {"actionSearchWordLib", "造词搜索", ""}, {"actionSearchWordManual", "手动搜索", ""},
            {"actionSearchSentenceAndWord", "智能搜索经典词句", "Ctrl+W"}, {"actionArticleWritingGuide", "写作指导", ""},
            {"actionAdvanceUserMaterialManage", "用户素材管理", ""}, {"actionViewMainMenu", "查看菜单", ""},
            {"actionViewMaterialPanel", "查看素材面板", ""}, {"actionViewBookPanel", "查看书目录面板", ""},
            {"actionViewFullScreen", "全屏", "F11"}};
        for (const auto &a : actions)
            QTest::newRow(a[0]) << a[0] << "QAction" << QString::fromUtf8(a[1]) << a[2];
    }

    void hasEveryObject()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QString, text);
        QFETCH(QString, shortcut);
        Window win;
        QObject *o = win.w->findChild<QObject *>(name);
        QVERIFY2(o && o->inherits(className.toLatin1()), qPrintable(name));
        if (auto *action = qobject_cast<QAction *>(o)) {
            QCOMPARE(action->text(), text);
            QCOMPARE(action->shortcut(), QKeySequence(shortcut));
            QCOMPARE(action->toolTip().endsWith(")"), !shortcut.isEmpty());
        }
    }

    void fullScreenHidesMenu()
    {
        Window win;
        QVERIFY(win.shown());
        for (const bool full : {true, false}) {
            win.get<QAction>("actionViewFullScreen")->trigger();
            QCOMPARE(win.w->isFullScreen(), full);
            QCOMPARE(win.get<QMenuBar>("menuBar")->isHidden(), full);
            QCOMPARE(win.get<QAction>("actionViewFullScreen")->isChecked(), full);
        }
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
        QVERIFY(win.asked.isEmpty());
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
        win.answers << Ink::maNo;
        QTest::keyClick(win.get<TreeView>("treeViewBook"), Qt::Key_Delete);
        QCOMPARE(win.asked, QStringList{"确定删除<章二>吗？"});
    }

    void unfinishedActionsSaySo_data()
    {
        QTest::addColumn<QString>("name");
        for (const QString &name : MainWindow::unfinishedActionNames())
            QTest::newRow(name.toLatin1()) << name;
    }

    void unfinishedActionsSaySo()
    {
        QFETCH(QString, name);
        Window win;
        QAction *action = win.w->findChild<QAction *>(name);
        QVERIFY(action);
        action->setEnabled(true);
        action->trigger();
        QCOMPARE(win.infos, QStringList{"该功能尚未完成"});
        QVERIFY(win.asked.isEmpty());
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
        QTest::qWait(30);
        win.w->windowFirstShow();
        QTest::qWait(30);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(win.w->book()->currentChapterId(), QString("B1"));
    }

    void reminders_data()
    {
        QTest::addColumn<QString>("backupPath"); // "<data>" = inside the data folder
        QTest::addColumn<bool>("allOff");        // automatic backup, cloud sync, user and logins
        QTest::addColumn<QString>("links");      // the reminders by their first words
        QTest::newRow("all fine elsewhere") << "/proc/inkboat-backup" << false << "";
        QTest::newRow("same file system") << "<data>backup/" << false << "盘符";
        QTest::newRow("no path") << "" << false << "没有设置";
        QTest::newRow("drive letter is not C") << "C:\\backup\\" << false << "盘符";
        QTest::newRow("everything off") << "/proc/x" << true << "未启动自动备份,云同步,没有注册,没有登录";
    }

    void reminders()
    {
        QFETCH(QString, backupPath);
        QFETCH(bool, allOff);
        QFETCH(QString, links);
        Window win;
        g_SysParams.autoBackupDbPath = backupPath.replace("<data>", g_App.appDataPath());
        g_SysParams.autoBackupDb = g_SysParams.cloudSyncParams.active = !allOff;
        g_SysParams.loginParams.userID = allOff ? "" : "u";
        g_SysParams.loginParams.saveLogin = g_SysParams.loginParams.autoLogin = !allOff;
        const QStringList texts = win.w->reminderTexts();
        const QStringList wanted = links.isEmpty() ? QStringList() : links.split(',');
        QCOMPARE(texts.size(), wanted.size());
        for (int i = 0; i < wanted.size(); ++i)
            QVERIFY2(texts[i].contains(wanted[i]), qPrintable(texts[i]));
        for (const QString &t : texts)
            QVERIFY(!t.contains("C盘"));
    }

    void materialCountCountedOnce()
    {
        Window win;
        win.w->refreshUserInfo();
        QVERIFY(win.w->userInfoText().contains("用户可用素材总数量：0"));
        execSql("INSERT INTO M.MaterialTree(ID,pID,NodeType,Level,Sort,Title,Category) VALUES('M1','',3,0,1,'m','Content')");
        win.w->refreshUserInfo();
        QVERIFY(win.w->userInfoText().contains("用户可用素材总数量：0"));
        QCOMPARE(win.w->userInfoText().split('\n').size(), 4);
        execSql("DELETE FROM M.MaterialTree");
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
        win.onAsk = [&win](const QString &text) {
            if (text == "文章已修改，保存吗？")
                win.w->close();
        };
        win.answers = answers;
        QCOMPARE(win.w->close(), closed);
        QCOMPARE(win.asked, QStringList({"确定退出吗？", "文章已修改，保存吗？"}).mid(0, answers.size()));
        QCOMPARE(plain("C1"), stored);
        QCOMPARE(win.errors.size(), failing ? 1 : 0);
        // A close that does not happen leaves the window working.
        QCOMPARE(win.w->isVisible(), !closed);
        QCOMPARE(win.w->isEnabled(), !closed);
        QCOMPARE(win.w->autoSaveTimer()->isActive(), !closed);
        if (!failing)
            return;
        QVERIFY(win.errors[0].contains("写不进"));
        QVERIFY(win.get<MyTextEdit>("textEditor")->document()->isModified());
        QVERIFY(!win.w->isClosing());
        execSql("DROP TRIGGER temp.fail_save");
        win.answers = {Ink::maYes, Ink::maYes};
        QVERIFY(win.w->close());
        QCOMPARE(plain("C1"), QString("章一改"));
    }

    void shutdownStopsWorkers()
    {
        std::atomic<int> started{0};
        auto worker = [&started](int deafMs) { // a long call that looks at the interruption after deafMs
            return std::unique_ptr<QThread>(QThread::create([&started, deafMs] {
                ++started;
                QThread::msleep(deafMs);
                while (!QThread::currentThread()->isInterruptionRequested())
                    QThread::msleep(5);
            }));
        };
        const auto quick = worker(0), slow = worker(600);
        quick->start();
        slow->start();
        QTRY_COMPARE(started.load(), 2);
        // Past the time limit a worker is reported and left running (never deleted while running).
        QVERIFY(!shutdownThreads({slow.get(), quick.get()}, 100));
        QVERIFY(quick->isFinished());
        QVERIFY(slow->isRunning());
        // Within the limit the wait goes on in slices until the worker ends.
        QVERIFY(shutdownThreads({slow.get()}, 5000));
        QVERIFY(slow->isFinished());
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
        QVERIFY(win.asked.isEmpty());
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
