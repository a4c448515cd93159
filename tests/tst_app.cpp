// Start-up pieces of the application: screen scale, the event guard, the worker snapshot,
// the signal-driven quit, and the program itself on a clean profile.
#include "Folders.h"
#include "Rows.h"
#include "ScriptedPrompter.h"
#include "StartedProfile.h"

#include "app/App.h"
#include "app/Application.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "app/InstanceChannel.h"
#include "app/Scale.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"

#include <QLocalSocket>
#include <QTcpServer>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

namespace {

QStringList g_critical;
QtMessageHandler g_previousHandler = nullptr;

void captureMessages(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtCriticalMsg)
        g_critical << text;
    else if (g_previousHandler)
        g_previousHandler(type, context, text);
}

// Runs `action` on a user event.
struct Thrower : QObject {
    std::function<void()> action;
    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::User && action)
            action();
        return QObject::event(e);
    }
};

struct QtFailure : QException {
    const char *what() const noexcept override { return "qt failure"; }
};

} // namespace

class TestApp : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        g_critical.clear();
        m_boxes.clear();
        g_previousHandler = qInstallMessageHandler(captureMessages);
        Application::setMessageBoxHook([this](const QString &title, const QString &text) {
            m_boxes << title + "|" + text;
            m_boxThreads << QThread::currentThread();
            if (m_reenter) // once
                std::exchange(m_reenter, nullptr)();
        });
    }
    void cleanup()
    {
        qInstallMessageHandler(g_previousHandler);
        Application::setMessageBoxHook(nullptr);
        Application::clearPendingException();
        m_reenter = nullptr;
        m_boxThreads.clear();
    }

    // The folder chooser starts in the given folder, else in the one last chosen for the same
    // purpose, else at home; never in the working folder.
    void folderChooserStartsWhereTheAuthorLastChose()
    {
        TestProfile profile;
        ScriptedPrompter prompts;
        const QString a = profile.root() + "/a/", b = profile.root() + "/b/";
        QVERIFY(QDir().mkpath(a) && QDir().mkpath(b));
        const QString home = QDir::homePath(), gone = profile.root() + "/gone/";
        // purpose, folder given, folder chosen (empty: cancelled), where the chooser starts
        for (const QStringList &step : {QStringList{"export", "", a, home}, {"export", "", "", a}, {"import", "", b, home},
                                        {"export", b, "", b}, {"export", gone, "", a}, {"import", "", "", b}, {"backup", "", "", home}}) {
            prompts.directories = step[2].isEmpty() ? QStringList() : QStringList{step[2]};
            QString path = step[1];
            QCOMPARE(g_App.chooseDirectory("选择", path, step[0]), !step[2].isEmpty());
            QCOMPARE(prompts.startFolders.takeLast(), step[3]);
        }
    }

    // Logical DPI -> recommended factor; with a stored factor -> whether the notice is due, and
    // what the stored factor hands to Qt at the next start.
    void scaleFactorFollowsTheScreenAndTheStoredChoice_data()
    {
        // stored: 0: nothing stored, -1: automatic
        // env: QT_SCALE_FACTOR|QT_AUTO_SCREEN_SCALE_FACTOR as set at the next start
        COLUMNS(int, dpi, double, factor, double, stored, bool, notice, QByteArray, env)
        QTest::newRow("96") << 96 << 1.0 << 0.0 << false << QByteArray("|");
        QTest::newRow("100 (offscreen, Xvfb), 1 stored") << 100 << 1.0 << 1.0 << false << QByteArray("|");
        QTest::newRow("144, automatic") << 144 << 1.2 << -1.0 << true << QByteArray("|1");
        QTest::newRow("192, 1.2 stored") << 192 << 1.6 << 1.2 << true << QByteArray("1.20|");
        QTest::newRow("192, 1.6000001 stored") << 192 << 1.6 << 1.6000001 << false << QByteArray("1.60|");
    }

    void scaleFactorFollowsTheScreenAndTheStoredChoice()
    {
        FETCH(int, dpi, double, factor, double, stored, bool, notice, QByteArray, env)
        QVERIFY(qAbs(Ink::recommendedScaleFactor(dpi) - factor) < 1e-9);
        QCOMPARE(Ink::scaleNoticeNeeded(stored, Ink::recommendedScaleFactor(dpi)), notice);
        TestProfile profile;
        const auto clear = [] { qunsetenv("QT_SCALE_FACTOR"), qunsetenv("QT_AUTO_SCREEN_SCALE_FACTOR"); };
        clear();
        Ink::storeScaleFactor(stored);
        Ink::applyStoredScaleFactor(Ink::storedScaleFactor());
        QCOMPARE(qgetenv("QT_SCALE_FACTOR") + "|" + qgetenv("QT_AUTO_SCREEN_SCALE_FACTOR"), env);
        clear();
    }

    // how: "sent" on the GUI thread; "nested": a second failure while the first box is open;
    // "worker": posted to an object on a worker thread; "loop": posted inside the event loop.
    // logged: the start of the one line logged ("-": not looked at)
    void failureInAnEventIsShownAndLogged_data()
    {
        COLUMNS(int, kind, QString, how, QString, box, QString, logged)
        QTest::newRow("abort") << 0 << "sent" << QString() << QString();
        QTest::newRow("exception") << 1 << "sent" << "异常|读取失败 %2" << "Error 读取失败 %2, when sending event QEvent to object thrower (";
        QTest::newRow("QException") << 2 << "sent" << "异常|qt failure" << "Error qt failure, when sending event QEvent";
        QTest::newRow("std::exception") << 3 << "sent" << "异常|std failure" << "Error std failure, when sending event QEvent";
        QTest::newRow("int: kept for after the loop") << 4 << "sent" << QString() << "Error <unknown>, when sending event QEvent to object thrower (";
        QTest::newRow("int: rethrown after the loop") << 4 << "loop" << "rethrown 42" << "-";
        QTest::newRow("one box at a time") << 1 << "nested" << "异常|读取失败 %2" << "Error 读取失败 %2";
        QTest::newRow("worker: box on the GUI thread") << 1 << "worker" << "异常|读取失败 %2" << "-";
    }

    void failureInAnEventIsShownAndLogged()
    {
        FETCH(int, kind, QString, how, QString, box, QString, logged)
        TestProfile profile; // the failure line also goes to the log folder of this profile
        Thrower thrower, second;
        thrower.setObjectName("thrower");
        const std::function<void()> throwers[] = {[] { throw EAbort(); },
                                                  [] { throw Exception("读取失败 %2", "ERR_QUERY"); },
                                                  [] { throw QtFailure(); },
                                                  [] { throw std::runtime_error("std failure"); }, [] { throw 42; }};
        thrower.action = throwers[kind];
        second.action = [] { throw Exception("second"); };
        QEvent event(QEvent::User);
        QThread worker;
        if (how == "worker") {
            worker.start();
            thrower.moveToThread(&worker);
            QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
            QTRY_COMPARE(m_boxes.size(), 1);
            worker.quit(), worker.wait();
            QCOMPARE(m_boxThreads.first(), qApp->thread());
        } else if (how == "loop") {
            // The quit is posted after the failing event, so the loop ends only once it has run.
            QTimer::singleShot(0, &thrower, [&thrower] {
                QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
                QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
            });
            try {
                Application::exec();
            } catch (int value) {
                m_boxes << QString("rethrown %1").arg(value);
            }
        } else {
            if (how == "nested") // only logged
                m_reenter = [&] { QCoreApplication::sendEvent(&second, &event); };
            QCOMPARE(QCoreApplication::sendEvent(&thrower, &event), false);
        }
        QCOMPARE(m_boxes, box.isEmpty() ? QStringList() : QStringList{box});
        const bool loggedAsSaid = g_critical.size() == (logged.isEmpty() ? 0 : how == "nested" ? 2 : 1) &&
                                  (g_critical.isEmpty() || (g_critical[0].startsWith(logged) && g_critical[0].endsWith("Thrower)")));
        QVERIFY2(logged == "-" || loggedAsSaid, qPrintable(g_critical.join('|')));
        QCOMPARE(bool(Application::pendingException()), kind == 4 && how == "sent");
        if (how == "nested") { // once the box is closed, the next failure gets its own
            QCoreApplication::sendEvent(&second, &event);
            QCOMPARE(m_boxes.size(), 2);
        }
    }

    // Whether a worker may sync now, asked from a worker thread without the GUI thread; the
    // typing and idle cases in the sync loop itself: TestWorkers::loopChecks.
    void workerSyncsOnlyWhenIdleSavedAndSignedIn()
    {
        GuiSnapshot &s = g_App.guiSnapshot();
        QString got;
        // sync on, signed in, modified; idle ms (-1: no input this run): only an idle author's state
        for (const auto &[row, idle] : {std::pair{0b110, 31000}, {0b110, 29000}, {0b110, -1}, {0b010, 60000}, {0b100, 60000}, {0b111, 60000}}) {
            s.cloudSyncOn = row & 4, s.signedIn = row & 2, s.documentModified = row & 1;
            s.lastInputMsecs = idle < 0 ? 0 : QDateTime::currentMSecsSinceEpoch() - idle;
            QVariant fromWorker;
            std::unique_ptr<QThread> t(QThread::create([&] { fromWorker = g_App.syncOut("getCanThreadSync"); }));
            t->start();
            QVERIFY(t->wait(10000));
            got += fromWorker.toString() + " ";
        }
        QCOMPARE(got + g_App.syncOut("other").toString(), "true false false false false false 0");
        s.cloudSyncOn = s.signedIn = s.documentModified = false;
        s.lastInputMsecs = 0;
    }

    void quitSignalEndsTheProgramInOrder_data()
    {
        COLUMNS(int, signal, bool, windowTakesOver)
        QTest::newRow("SIGTERM: parameters saved, exit 0") << int(SIGTERM) << false;
        QTest::newRow("SIGINT: parameters saved, exit 0") << int(SIGINT) << false;
        QTest::newRow("SIGHUP: the window's quit instead") << int(SIGHUP) << true;
    }

    void quitSignalEndsTheProgramInOrder()
    {
        FETCH(int, signal, bool, windowTakesOver)
        StartedProfile profile;
        App::installQuitSignalHandlers();
        int handled = 0;
        QMetaObject::Connection c;
        if (windowTakesOver)
            c = connect(&g_App, &App::orderlyQuitRequested, qApp, [&handled] { ++handled, QCoreApplication::exit(5); });
        g_SysParams.saveBookInterval = 77;
        QTimer::singleShot(0, [signal] { ::raise(signal); });
        QObject guard; // ends the loop should the signal be lost
        QTimer::singleShot(20000, &guard, [] { QCoreApplication::exit(99); });
        QCOMPARE(Application::exec(), windowTakesOver ? 5 : 0);
        disconnect(c);
        QVERIFY(handled == int(windowTakesOver) && (windowTakesOver || g_App.isQuitting()));
        // When the window takes over, saving is its business.
        QCOMPARE(getSysParam("SysParams").contains("\"saveBookInterval\": 77"), !windowTakesOver);
    }

    // The session ends the program while a start-up error is on screen: the parameters were never
    // read in this run, so the stored ones stay as they are.
    void quitDuringStartUpErrorKeepsParameters()
    {
        StartedProfile profile;
        g_SysParams.saveBookInterval = 77;
        saveSysParams();
        stopApp();
        const auto setArticleVersion = [&](const char *version) {
            QVERIFY(onSideConnection(profile.file("Inkboat_Article.sdb"), Ink::libraryKey(),
                                     {"CREATE TABLE IF NOT EXISTS DbVersion(Version VARCHAR(64))", "DELETE FROM DbVersion",
                                      QStringLiteral("INSERT INTO DbVersion VALUES('%1')").arg(version)}));
        };
        setArticleVersion("1"); // too old: start-up stops with a message
        App::installQuitSignalHandlers();
        g_SysParams = SysParams();
        ScriptedPrompter prompts;
        prompts.onMessage = [](int, const QString &) {
            QEventLoop box;
            QTimer::singleShot(0, [] { ::raise(SIGTERM); });
            QTimer::singleShot(20000, &box, &QEventLoop::quit);
            box.exec();
        };
        QVERIFY(!g_App.init());
        stopApp();
        QVERIFY(prompts.messages.size() == 1 && g_App.isQuitting());
        setArticleVersion("4.0");
        QVERIFY(startApp().ok);
        QCOMPARE(g_SysParams.saveBookInterval, 77);
    }

    // A lock held by a running program is told apart from a data folder where no lock can be made
    // (a killed program's lock: programAsAProcess).
    void lockedOrBrokenDataFolderStopsStartUp_data()
    {
        // message: start of the one message shown; reason: in it, beside the data folder
        COLUMNS(QString, setup, QString, message, QString, reason)
        const QString cannot = "无法在数据文件夹";
        QTest::newRow("held by a running program") << "held" << "砚舟写作已经在运行，不能同时启动两个。" << "";
        QTest::newRow("data folder is a file") << "file" << cannot << QString::fromLocal8Bit(std::strerror(ENOTDIR));
        QTest::newRow("lock cannot be replaced") << "dir" << cannot << "无法读取或删除";
    }

    void lockedOrBrokenDataFolderStopsStartUp()
    {
        FETCH(QString, setup, QString, message, QString, reason)
        TestProfile profile;
        const QString folder = profile.dataPath().chopped(1);
        QVERIFY(QDir().mkpath(QFileInfo(folder).path()));
        const QString lockName = profile.file("Inkboat.lock");
        QLockFile held(lockName);
        QVERIFY(setup == "held" ? QDir().mkpath(folder) && held.tryLock(0)
                                : setup == "file" ? writeBytes(folder, QByteArray()) : QDir().mkpath(lockName));
        const StartResult r = startApp();
        stopApp();
        const QString shown = r.messages.join('|');
        QVERIFY2(!r.ok && r.messages.size() == 1 && shown.startsWith(message), qPrintable(shown + r.exception));
        QVERIFY2(reason.isEmpty() || (shown.contains(QDir::toNativeSeparators(folder)) && shown.contains(reason)), qPrintable(shown));
    }

    // Qt's own dialogs and buttons speak Chinese.
    void qtTranslationsAreLoaded()
    {
        QVERIFY(Application::loadQtTranslations());
        const QString basic = QCoreApplication::translate("QColorDialog", "&Basic colors");
        QVERIFY2(basic.contains("基本"), qPrintable(basic));
    }

    // The program as a process of its own. The session ends it while it waits (in the start-up
    // worker's call to a service that never answers, or under a start-up notice): it ends in order
    // with 0 instead of opening its window and ignoring the next signal. A second start on the
    // same data folder brings the running program forward and ends with 0; a killed program's lock
    // and socket do not count; a running program that does not answer gets "already running".
    void programAsAProcess_data()
    {
        // before: what holds the data folder when the program starts
        // until: what the program must reach before it is judged
        COLUMNS(QString, before, QString, until)
        QTest::newRow("quit while the worker waits for the service") << "" << "service";
        QTest::newRow("quit under a start-up notice") << "damaged log" << "set aside";
        QTest::newRow("second start, the running program answers") << "running" << "ended";
        QTest::newRow("second start, the running program hangs") << "running" << "logged";
        QTest::newRow("second start after a killed program") << "killed" << "ended";
    }

    void programAsAProcess()
    {
        FETCH(QString, before, QString, until)
        const QString program = QStringLiteral(INKBOAT_BUILD_DIR "/inkboat");
        QVERIFY2(QFileInfo::exists(program), qPrintable(program + " is missing: build the program first"));
        TestProfile profile;
        QTcpServer blackHole;
        QVERIFY(blackHole.listen(QHostAddress::LocalHost));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("INKBOAT_SERVICE_URL", QString("http://127.0.0.1:%1/").arg(blackHole.serverPort()));
        const auto startProgram = [&](QProcess &p) {
            p.setProcessEnvironment(env);
            p.setProcessChannelMode(QProcess::ForwardedChannels);
            p.start(program, QStringList());
            QVERIFY(p.waitForStarted(10000));
        };
        START_OK(); // the first-use tour counts as seen
        if (before != "running")
            stopApp();
        if (before == "damaged log")
            QVERIFY(writeBytes(profile.file("Inkboat_Log.sdb"), "junk"));
        if (before == "killed") {
            QProcess earlier;
            startProgram(earlier);
            // Listening, so both its lock and its socket file are there when it dies.
            QLocalSocket probe;
            QTRY_VERIFY_WITH_TIMEOUT((probe.connectToServer(InstanceChannel::socketName(profile.dataPath())),
                                      probe.waitForConnected(1000)), 60000);
            ::kill(pid_t(earlier.processId()), SIGKILL);
            QVERIFY(earlier.waitForFinished(30000) && QFileInfo::exists(profile.file("Inkboat.lock")));
            START_OK();
        }
        QSignalSpy activations(&g_App, &App::activationRequested);
        QProcess p;
        startProgram(p);
        if (until == "logged") {
            // This process serves the socket only from its event loop, which must not run here:
            // the message is logged before the box that waits for the author.
            QString text;
            for (int i = 0; i < 600 && !text.contains("已经在运行"); ++i) {
                QThread::msleep(100);
                text = QString::fromUtf8(readBytes(logFileName("err", QDate::currentDate())));
            }
            QVERIFY2(p.state() == QProcess::Running && text.contains("砚舟写作已经在运行，不能同时启动两个。"), qPrintable(text));
        } else if (until == "service") {
            QTRY_VERIFY_WITH_TIMEOUT(blackHole.hasPendingConnections(), 30000);
        } else if (until == "set aside") {
            QTRY_VERIFY_WITH_TIMEOUT(!QDir(profile.dataPath()).entryList({"Inkboat_Log.sdb.*.damaged"}).isEmpty(), 30000);
        }
        if (until != "ended")
            ::kill(pid_t(p.processId()), until == "logged" ? SIGKILL : SIGTERM);
        // Events processed while waiting: this process answers on the socket.
        QTRY_VERIFY_WITH_TIMEOUT(p.state() == QProcess::NotRunning, 60000);
        stopApp();
        if (until == "logged")
            return;
        QCOMPARE(QString("%1 %2 %3").arg(p.exitStatus()).arg(p.exitCode()).arg(activations.size()),
                 QString("%1 0 %2").arg(QProcess::NormalExit).arg(until == "ended"));
        QVERIFY(!QFileInfo::exists(profile.file("Inkboat.lock")));
    }

private:
    QStringList m_boxes;
    QList<QThread *> m_boxThreads;
    std::function<void()> m_reenter;
};

int main(int argc, char *argv[])
{
    Application app(argc, argv);
    TestApp test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app.moc"
