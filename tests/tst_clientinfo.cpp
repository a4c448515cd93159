// Client information, the machine id, news, and the window's side of the workers: reactions,
// prompts in line, the news dialog and the download dialog (offscreen).
#include "ScriptedPrompter.h"
#include "TestProfile.h"
#include "TestService.h"

#include "app/App.h"
#include "cloud/ClientInfo.h"
#include "cloud/CloudLocks.h"
#include "cloud/MyHttpDownload.h"
#include "cloud/NewsViewDialog.h"
#include "cloud/WorkerController.h"
#include "cloud/WebClient.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtConcurrent>
#include <QtTest>
#include <QtWidgets>

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

namespace {

// Records the first request line it receives and answers 200 with an empty body.
struct Recorder : QTcpServer {
    QByteArray target;
    Recorder()
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *s = nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, s, [this, s] {
                const QByteArray request = s->readAll();
                if (target.isEmpty())
                    target = request.split(' ').value(1);
                s->write("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n{}");
                s->disconnectFromHost();
            });
        });
    }
};

void adminCommand(const TestService &service, const QStringList &args)
{
    QProcess admin;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("INKBOAT_SERVER_DATA", service.dataPath());
    admin.setProcessEnvironment(env);
    admin.start("php", QStringList{INKBOAT_SOURCE_DIR "/server/admin.php"} + args);
    admin.waitForFinished(10000);
}

} // namespace

class TstClientInfo : public QObject
{
    Q_OBJECT
    TestProfile m_profile;
    TestService m_service;

private slots:
    void initTestCase()
    {
        QVERIFY(startApp().ok);
        QVERIFY(m_service.start());
    }
    void cleanupTestCase() { stopApp(); }
    void init()
    {
        g_App.clearSession();
        g_App.guiSnapshot.closing = false;
    }

    void clientInfoQuery()
    {
        Recorder recorder;
        const QByteArray old = qgetenv("INKBOAT_SERVICE_URL");
        qputenv("INKBOAT_SERVICE_URL", QString("http://127.0.0.1:%1/").arg(recorder.serverPort()).toUtf8());
        auto future = QtConcurrent::run([] { clientinfo::postClientInfo(true); });
        QTRY_VERIFY(!recorder.target.isEmpty());
        future.waitForFinished();
        qputenv("INKBOAT_SERVICE_URL", old);
        const QUrlQuery query(QUrl::fromEncoded(recorder.target));
        QStringList keys;
        for (const auto &item : query.queryItems())
            keys << item.first;
        QCOMPARE(keys, (QStringList{"a", "app_name", "app_ver", "attr0", "attr1", "attr2", "attr3", "g", "m", "os", "sid"}));
        QCOMPARE(query.queryItemValue("attr0", QUrl::FullyDecoded), QStringLiteral("StartUp"));
        QCOMPARE(query.queryItemValue("os"), QStringLiteral("linux"));
        QCOMPARE(query.queryItemValue("app_name", QUrl::FullyDecoded), QStringLiteral("砚舟写作"));
        const QString os = query.queryItemValue("attr1", QUrl::FullyDecoded);
        QVERIFY(os.startsWith("{\"osProductType\":") && os.contains("\"osVerion\":"));
        const QString hw = query.queryItemValue("attr2", QUrl::FullyDecoded);
        QVERIFY(QJsonDocument::fromJson(hw.toUtf8()).isObject());
        QVERIFY(hw.startsWith("{\"cpuArchitecture\":") && hw.endsWith("\"machineHostName\":\"" + QSysInfo::machineHostName() + "\"}"));
        QCOMPARE(query.queryItemValue("attr3"), getSysParam("Sys.MachineUniqueId"));
        // The service takes it as it is sent.
        clientinfo::postClientInfo(false);
        QVERIFY(!m_service.log().contains("BAD_PARAM"));
    }

    void machineId_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("computed");
        QTest::addColumn<QString>("expected");
        QTest::newRow("unreadable keeps") << "GOOD" << "" << "GOOD";
        QTest::newRow("changed replaces") << "OLD" << "NEW" << "NEW";
        QTest::newRow("same") << "SAME" << "SAME" << "SAME";
        QTest::newRow("first start without id") << "" << "" << "*";
    }
    void machineId()
    {
        QFETCH(QString, stored);
        QFETCH(QString, computed);
        QFETCH(QString, expected);
        const QString id = App::resolveMachineId(stored, computed);
        if (expected == "*")
            QVERIFY(QRegularExpression("^[0-9A-F]{32}$").match(id).hasMatch());
        else
            QCOMPARE(id, expected);
    }

    void oddUserNamesReachTheService_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *name : {"a&b", "c#d", "e+f", "g%h", "作者 甲"})
            QTest::newRow(name) << QString::fromUtf8(name);
    }
    void oddUserNamesReachTheService()
    {
        QFETCH(QString, name);
        adminCommand(m_service, {"news-add", "标题", "摘要"});
        g_App.startSession(QString(), QString(), name, "0");
        clientinfo::setNews({});
        clientinfo::fetchNews(); // a cut query or a wrong checksum leaves the list empty
        QVERIFY(!clientinfo::news().isEmpty());
        const QString sent = QUrlQuery(QUrl(clientinfo::lastNewsUrl())).queryItemValue("username", QUrl::FullyDecoded);
        QCOMPARE(sent, name);
    }

    void newsDialog()
    {
        ApiNews item;
        item.tid = "7&x";
        item.post_title = "<b>标题</b>";
        item.post_excerpt = "摘要";
        {
            NewsViewDialog signedOut({item}, false);
            QVERIFY(!signedOut.ignoreButton());
            QCOMPARE(signedOut.windowTitle(), QStringLiteral("最新资讯"));
            QCOMPARE(signedOut.size(), QSize(627, 344));
            QCOMPARE(signedOut.table()->item(0, 1)->text(), item.post_title);
        }
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("http", &catcher, "open");
        ScriptedPrompter prompts;
        NewsViewDialog d({item}, true);
        QVERIFY(!d.ignoreButton()->isEnabled());
        emit d.table()->cellDoubleClicked(0, 1);
        QDesktopServices::unsetUrlHandler("http");
        QCOMPARE(catcher.urls.size(), 1);
        QCOMPARE(QUrlQuery(catcher.urls.first()).queryItemValue("id", QUrl::FullyDecoded), item.tid);
        QVERIFY(d.ignoreButton()->isEnabled());
        // Not signed in at the service: the error is shown and the dialog stays.
        d.show();
        d.ignoreButton()->click();
        QCOMPARE(prompts.errors().size(), 1);
        QVERIFY(prompts.errors().first().startsWith("忽略失败，错误信息：\n"));
        QVERIFY(d.isVisible());
    }

    void reactions()
    {
        QMainWindow window;
        QObject starts;
        WorkerController c(&starts, nullptr, window.statusBar(), {});
        ScriptedPrompter prompts;
        ApiLink bold;
        bold.link_name = "<b>x</b>";
        bold.link_url = "http://shop.example/";
        ApiLink local;
        local.link_name = "local";
        local.link_url = "file:///etc/passwd";
        clientinfo::setLinks({bold, local});
        c.commomThreadWorkerSignal("appInitWorker", "links", true, QString());
        const auto labels = window.statusBar()->findChildren<QLabel *>("labelLink");
        QCOMPARE(labels.size(), 1);
        QVERIFY(labels.first()->text().contains("&lt;b&gt;x&lt;/b&gt;"));
        c.commomThreadWorkerSignal("appInitWorker", "logined", false, QString());
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("自动登录失败！"));
        c.commomThreadWorkerSignal("loopProcWorker", "sync", false, "自动云同步失败！错误信息：x");
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("自动云同步失败！错误信息：x"));

        // The start-up sync waits for nobody: while another cloud operation runs it does nothing.
        g_SysParams.cloudSyncParams.active = true;
        g_SysParams.cloudSyncParams.syncAtStartUp = true;
        publishSysParams();
        g_App.startSession("u1", "s1", "someone", "0");
        QVERIFY(cloudop::begin());
        c.commomThreadWorkerSignal("appInitWorker", "appInited", true, QString());
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("自动云同步失败！错误信息：x"));
        cloudop::end();
        c.commomThreadWorkerSignal("appInitWorker", "appInited", true, QString());
        QVERIFY(window.statusBar()->currentMessage().startsWith("启动时，自动云同步失败！错误信息："));
        QTRY_COMPARE(prompts.errors().size(), 1);
        g_App.clearSession();
        g_SysParams.cloudSyncParams.active = false;
        publishSysParams();

        // Prompts open one after the other, in order, even when one arrives while another is open.
        QStringList order;
        c.enqueuePrompt([&] {
            order << "1";
            c.enqueuePrompt([&] { order << "3"; });
            QTest::qWait(50);
            order << "1 closed";
        });
        c.enqueuePrompt([&] { order << "2"; });
        QTRY_COMPARE(order, (QStringList{"1", "1 closed", "2", "3"}));
        // Closing: statuses only.
        g_App.guiSnapshot.closing = true;
        c.enqueuePrompt([&] { order << "late"; });
        c.commomThreadWorkerSignal("loopProcWorker", "syncStart", true, "自动云同步中，建议暂停写作！");
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("自动云同步中，建议暂停写作！"));
        QTest::qWait(20);
        QCOMPARE(order.size(), 4);
    }

    void downloadDialog_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("status");
        QTest::newRow("complete") << "pkg.deb" << "下载完成";
        QTest::newRow("missing") << "gone.deb" << "下载异常";
    }
    void downloadDialog()
    {
        QFETCH(QString, file);
        QFETCH(QString, status);
        QDir().mkpath(m_service.dataPath() + "/app");
        QFile f(m_service.dataPath() + "/app/pkg.deb");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(70000, 'p'));
        f.close();
        QTemporaryDir dir;
        MyHttpDownload d(web::appUpdateDir() + file, file, dir.path(), "APP", "<i>news</i>", "4.31", "4.5",
                         "检测到新的版本，建议您马上升级！", 1);
        QCOMPARE(d.status(), QStringLiteral("就绪"));
        QCOMPARE(d.findChild<QLabel *>("labelNews")->textFormat(), Qt::PlainText);
        QSignalSpy finished(&d, &MyHttpDownload::signalFinished);
        d.show();
        d.findChild<QPushButton *>("pushButtonStart")->click();
        QCOMPARE(d.status(), QStringLiteral("正在下载"));
        QTRY_COMPARE(d.status(), status);
        QCOMPARE(finished.size(), status == "下载完成" ? 1 : 0);
        if (!finished.isEmpty())
            QCOMPARE(finished.first().at(0).toString(), QDir(dir.path()).filePath(file));
        QCOMPARE(d.isVisible(), status != "下载完成");
        // The frame's close button is "暂时不升级": the partial file goes.
        if (d.isVisible()) {
            d.close();
            QCOMPARE(d.status(), QStringLiteral("关闭下载"));
            QVERIFY(!QFileInfo::exists(QDir(dir.path()).filePath(file + "_tmp")));
        }
    }
};

QTEST_MAIN(TstClientInfo)
#include "tst_clientinfo.moc"
