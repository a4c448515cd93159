// Start-up pieces of the application: screen scale, the event guard, the worker snapshot,
// the signal-driven quit, and the program itself on a clean profile.
#include "Folders.h"
#include "Rows.h"
#include "ScriptedPrompter.h"
#include "TestProfile.h"

#include "app/App.h"
#include "app/Application.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "app/InstanceChannel.h"
#include "app/Scale.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"

#include <QException>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QSysInfo>
#include <QThread>
#include <QTimer>
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

class Thrower : public QObject
{
public:
    std::function<void()> action;
    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::User && action)
            action();
        return QObject::event(e);
    }
};

class QtFailure : public QException
{
public:
    const char *what() const noexcept override { return "qt failure"; }
    void raise() const override { throw *this; }
    QtFailure *clone() const override { return new QtFailure(*this); }
};

} // namespace

// The window's state as published for workers, and whether a worker may sync now.
struct SnapshotCase {
    bool sync, signedIn, modified;
    qint64 idleMs; // -1: no input this run
    bool answer;
};
Q_DECLARE_METATYPE(SnapshotCase)

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
            if (m_reenter)
                m_reenter();
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
        struct Step {
            const char *purpose;
            QString given, chosen, start;
        };
        const QList<Step> steps = {
            {"export", "", a, QDir::homePath()},
            {"export", "", "", a},
            {"import", "", b, QDir::homePath()},
            {"export", b, "", b},
            {"export", profile.root() + "/gone/", "", a},
            {"import", "", "", b},
            {"backup", "", "", QDir::homePath()},
        };
        for (const Step &step : steps) {
            prompts.directories = step.chosen.isEmpty() ? QStringList() : QStringList{step.chosen};
            QString path = step.given;
            QCOMPARE(g_App.chooseDirectory("选择", path, step.purpose), !step.chosen.isEmpty());
            QCOMPARE(prompts.startFolders.takeLast(), step.start);
        }
    }

    // Logical DPI -> recommended factor; with a stored factor -> whether the notice is due, and
    // what the stored factor hands to Qt at the next start.
    void scaleFactorFollowsTheScreenAndTheStoredChoice_data()
    {
        // stored: 0: nothing stored, -1: automatic
        COLUMNS(int, dpi, double, factor, double, stored, bool, notice, QByteArray, scale,
                QByteArray, automatic)
        QTest::newRow("96") << 96 << 1.0 << 0.0 << false << QByteArray() << QByteArray();
        QTest::newRow("100 (offscreen, Xvfb), 1 stored") << 100 << 1.0 << 1.0 << false << QByteArray() << QByteArray();
        QTest::newRow("120, automatic") << 120 << 1.0 << -1.0 << false << QByteArray() << QByteArray("1");
        QTest::newRow("144, automatic") << 144 << 1.2 << -1.0 << true << QByteArray() << QByteArray("1");
        QTest::newRow("192, 1.2 stored") << 192 << 1.6 << 1.2 << true << QByteArray("1.20") << QByteArray();
        QTest::newRow("192") << 192 << 1.6 << 0.0 << true << QByteArray() << QByteArray();
        QTest::newRow("192, 1.6000001 stored") << 192 << 1.6 << 1.6000001 << false << QByteArray("1.60") << QByteArray();
    }

    void scaleFactorFollowsTheScreenAndTheStoredChoice()
    {
        FETCH(int, dpi, double, factor, double, stored, bool, notice, QByteArray, scale,
              QByteArray, automatic)
        QVERIFY(qAbs(Ink::recommendedScaleFactor(dpi) - factor) < 1e-9);
        QCOMPARE(Ink::scaleNoticeNeeded(stored, Ink::recommendedScaleFactor(dpi)), notice);
        TestProfile profile;
        qunsetenv("QT_SCALE_FACTOR");
        qunsetenv("QT_AUTO_SCREEN_SCALE_FACTOR");
        Ink::storeScaleFactor(stored);
        Ink::applyStoredScaleFactor(Ink::storedScaleFactor());
        QCOMPARE(qgetenv("QT_SCALE_FACTOR"), scale);
        QCOMPARE(qgetenv("QT_AUTO_SCREEN_SCALE_FACTOR"), automatic);
        qunsetenv("QT_SCALE_FACTOR");
        qunsetenv("QT_AUTO_SCREEN_SCALE_FACTOR");
    }

    void failureInAnEventIsShownAndLogged_data()
    {
        COLUMNS(int, kind, QString, box, QString, logged)
        QTest::newRow("abort") << 0 << QString() << QString();
        QTest::newRow("exception") << 1 << "异常|读取失败 %2" << "Error 读取失败 %2, when sending event QEvent to object thrower (";
        QTest::newRow("QException") << 2 << "异常|qt failure" << "Error qt failure, when sending event QEvent";
        QTest::newRow("std::exception") << 3 << "异常|std failure" << "Error std failure, when sending event QEvent";
        QTest::newRow("int") << 4 << QString() << "Error <unknown>, when sending event QEvent to object thrower (";
    }

    void failureInAnEventIsShownAndLogged()
    {
        FETCH(int, kind, QString, box, QString, logged)
        TestProfile profile; // the failure line also goes to the log folder of this profile
        Thrower thrower;
        thrower.setObjectName("thrower");
        const std::function<void()> throwers[] = {[] { throw EAbort(); },
                                                  [] { throw Exception("读取失败 %2", "ERR_QUERY"); },
                                                  [] { throw QtFailure(); },
                                                  [] { throw std::runtime_error("std failure"); }, [] { throw 42; }};
        thrower.action = throwers[kind];
        QEvent event(QEvent::User);
        QCOMPARE(QCoreApplication::sendEvent(&thrower, &event), false);
        QCOMPARE(m_boxes, box.isEmpty() ? QStringList() : QStringList{box});
        if (logged.isEmpty()) {
            QVERIFY(g_critical.isEmpty());
        } else {
            QCOMPARE(g_critical.size(), 1);
            QVERIFY2(g_critical.first().startsWith(logged), qPrintable(g_critical.first()));
            QVERIFY(g_critical.first().endsWith("Thrower)"));
        }
        QCOMPARE(bool(Application::pendingException()), kind == 4);
    }

    void unknownExceptionIsRethrownAfterTheLoop()
    {
        Thrower thrower;
        thrower.action = [] { throw 7; };
        // The quit is posted after the failing event, so the loop ends only once it has run.
        QTimer::singleShot(0, &thrower, [&thrower] {
            QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
            QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        });
        bool caught = false;
        try {
            Application::exec();
        } catch (int value) {
            caught = value == 7;
        }
        QVERIFY(caught);
        QVERIFY(m_boxes.isEmpty());
        QVERIFY(!Application::pendingException());
    }

    void oneFailureBoxAtATime()
    {
        Thrower thrower;
        thrower.action = [] { throw Exception("first"); };
        Thrower second;
        second.action = [] { throw Exception("second"); };
        // A failure while the first box is still open is only logged.
        m_reenter = [&second, this] {
            m_reenter = nullptr;
            QEvent e(QEvent::User);
            QCoreApplication::sendEvent(&second, &e);
        };
        QEvent e(QEvent::User);
        QCoreApplication::sendEvent(&thrower, &e);
        QCOMPARE(m_boxes, QStringList{"异常|first"});
        QCOMPARE(g_critical.size(), 2);
        // Once it is closed, the next failure gets its box.
        QCoreApplication::sendEvent(&second, &e);
        QCOMPARE(m_boxes.size(), 2);
    }

    void workerFailureIsShownOnTheGuiThread()
    {
        QThread worker;
        worker.start();
        Thrower thrower;
        thrower.action = [] { throw Exception("worker failed"); };
        thrower.moveToThread(&worker);
        QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
        QTRY_COMPARE(m_boxes, QStringList{"异常|worker failed"});
        QCOMPARE(m_boxThreads.first(), QCoreApplication::instance()->thread());
        worker.quit();
        QVERIFY(worker.wait(10000));
    }

    void workerSyncsOnlyWhenIdleSavedAndSignedIn_data()
    {
        QTest::addColumn<SnapshotCase>("c");
        QTest::newRow("idle") << SnapshotCase{true, true, false, 31000, true};
        QTest::newRow("typing") << SnapshotCase{true, true, false, 5000, false};
        QTest::newRow("never typed") << SnapshotCase{true, true, false, -1, false};
        QTest::newRow("unsaved") << SnapshotCase{true, true, true, 60000, false};
        QTest::newRow("signed out") << SnapshotCase{true, false, false, 60000, false};
        QTest::newRow("sync off") << SnapshotCase{false, true, false, 60000, false};
    }

    void workerSyncsOnlyWhenIdleSavedAndSignedIn()
    {
        QFETCH(SnapshotCase, c);
        const auto [sync, signedIn, modified, idleMs, answer] = c;
        GuiSnapshot &s = g_App.guiSnapshot();
        s.cloudSyncOn = sync;
        s.signedIn = signedIn;
        s.documentModified = modified;
        s.closing = false;
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        s.lastInputMsecs = idleMs < 0 ? 0 : now - idleMs;
        QCOMPARE(s.canThreadSync(now), answer);
        // Asked from another thread, answered without the GUI thread.
        QVariant fromWorker;
        std::unique_ptr<QThread> t(QThread::create([&] { fromWorker = g_App.syncOut("getCanThreadSync"); }));
        t->start();
        QVERIFY(t->wait(10000));
        QCOMPARE(fromWorker.toBool(), answer);
        QCOMPARE(g_App.syncOut("other").toInt(), 0);
        s.cloudSyncOn = false;
        s.signedIn = false;
        s.documentModified = false;
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
        TestProfile profile;
        QVERIFY(startApp().ok);
        App::installQuitSignalHandlers();
        int handled = 0;
        QMetaObject::Connection c;
        if (windowTakesOver)
            c = connect(&g_App, &App::orderlyQuitRequested, qApp, [&handled] {
                ++handled;
                QCoreApplication::exit(5);
            });
        g_SysParams.saveBookInterval = 77;
        QTimer::singleShot(0, [signal] { ::raise(signal); });
        QObject guard; // ends the loop should the signal be lost
        QTimer::singleShot(20000, &guard, [] { QCoreApplication::exit(99); });
        QCOMPARE(Application::exec(), windowTakesOver ? 5 : 0);
        disconnect(c);
        QCOMPARE(handled, windowTakesOver ? 1 : 0);
        QVERIFY(windowTakesOver || g_App.isQuitting());
        // When the window takes over, saving is its business.
        QCOMPARE(getSysParam("SysParams").contains("\"saveBookInterval\": 77"), !windowTakesOver);
    }

    // The session ends the program while a start-up error is on screen: the parameters were never
    // read in this run, so the stored ones stay as they are.
    void quitDuringStartUpErrorKeepsParameters()
    {
        TestProfile profile;
        QVERIFY(startApp().ok);
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
        QCOMPARE(prompts.messages.size(), 1);
        QVERIFY(g_App.isQuitting());
        setArticleVersion("4.0");
        QVERIFY(startApp().ok);
        QCOMPARE(g_SysParams.saveBookInterval, 77);
    }

    // A lock held by a running program is told apart from a data folder where no lock can be made.
    void lockedOrBrokenDataFolderStopsStartUp_data()
    {
        // message: start of the message; empty: start-up succeeds
        // reason: in the message, beside the data folder
        COLUMNS(QString, setup, QString, message, QString, reason)
        const QString cannot = "无法在数据文件夹";
        QTest::newRow("held by a running program") << "held" << "砚舟写作已经在运行，不能同时启动两个。" << "";
        QTest::newRow("left by an ended program") << "stale" << "" << "";
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
        if (setup == "held") {
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(held.tryLock(0));
        } else if (setup == "stale") {
            QProcess ended;
            ended.start("true", QStringList());
            QVERIFY(ended.waitForStarted(10000));
            const qint64 pid = ended.processId();
            QVERIFY(ended.waitForFinished(10000));
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(writeBytes(lockName, QByteArray::number(pid) + "\ninkboat\n" + QSysInfo::machineHostName().toUtf8() + "\n"));
        } else if (setup == "file") {
            QVERIFY(writeBytes(folder, QByteArray()));
        } else {
            QVERIFY(QDir().mkpath(lockName));
        }
        const StartResult r = startApp();
        stopApp();
        QVERIFY2(r.ok == message.isEmpty(), qPrintable(r.messages.join('|') + r.exception));
        QCOMPARE(r.messages.size(), message.isEmpty() ? 0 : 1);
        if (message.isEmpty())
            return;
        const QString shown = r.messages.first();
        QVERIFY2(shown.startsWith(message), qPrintable(shown));
        if (!reason.isEmpty()) {
            QVERIFY2(shown.contains(QDir::toNativeSeparators(folder)), qPrintable(shown));
            QVERIFY2(shown.contains(reason), qPrintable(shown));
        }
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
            QTRY_VERIFY_WITH_TIMEOUT(
                [&] {
                    QLocalSocket probe;
                    probe.connectToServer(InstanceChannel::socketName(profile.dataPath()));
                    return probe.waitForConnected(1000);
                }(),
                60000);
            ::kill(pid_t(earlier.processId()), SIGKILL);
            QVERIFY(earlier.waitForFinished(30000));
            QVERIFY(QFileInfo::exists(profile.file("Inkboat.lock")));
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
            const bool stillUp = p.state() == QProcess::Running;
            p.kill();
            p.waitForFinished(30000);
            stopApp();
            QVERIFY2(text.contains("砚舟写作已经在运行，不能同时启动两个。"), qPrintable(text));
            QVERIFY(stillUp);
            return;
        }
        if (until == "service")
            QTRY_VERIFY_WITH_TIMEOUT(blackHole.hasPendingConnections(), 30000);
        else if (until == "set aside")
            QTRY_VERIFY_WITH_TIMEOUT(!QDir(profile.dataPath()).entryList({"Inkboat_Log.sdb.*.damaged"}).isEmpty(), 30000);
        if (until != "ended")
            ::kill(pid_t(p.processId()), SIGTERM);
        // Events processed while waiting: this process answers on the socket.
        QTRY_VERIFY_WITH_TIMEOUT(p.state() == QProcess::NotRunning, 60000);
        stopApp();
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(activations.size(), until == "ended" ? 1 : 0);
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
