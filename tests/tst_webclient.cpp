// The web client against the real service (a private instance on a free loopback port), and a
// canned loopback server only for what the service never sends.
#include "CannedServer.h"
#include "Columns.h"
#include "Folders.h"
#include "TestService.h"

#include "app/App.h"
#include "app/Exception.h"
#include "cloud/WebClient.h"
#include "log/Log.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QThread>
#include <QtTest>

namespace {

// Switches the locale's codec for its lifetime: the bytes sent must be UTF-8 whatever it says.
struct LocaleCodec {
    QTextCodec *old = QTextCodec::codecForLocale();
    explicit LocaleCodec(const char *name)
    {
        if (name)
            QTextCodec::setCodecForLocale(QTextCodec::codecForName(name));
    }
    ~LocaleCodec() { QTextCodec::setCodecForLocale(old); }
};

template <class T> T get(const QString &url) { return web::callApi<T>(url, QString(), "get", web::kTimeoutMs); }

CannedServer::Answer answer(const QByteArray &body)
{
    return {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close", body};
}

using Params = QMap<QString, QString>;

} // namespace

class TstWebClient : public QObject
{
    Q_OBJECT
    TestService m_service;

private slots:
    void initTestCase() { QVERIFY2(m_service.start(), "the web service did not start"); }
    void init() { m_service.setFaults(QString()); }

    // Register and sign in with awkward names, e-mails and passwords (the cipher's block edges at
    // 15 and 16 bytes), also under a Latin-1 locale: the values come back as they were sent.
    void valuesRoundTripThroughTheService_data()
    {
        COLUMNS(QString, name, QString, email, QString, password)
        QTest::newRow("plus") << "plus+name" << "a+b@example.com" << "secret1";
        QTest::newRow("per cent") << "per%cent" << "first.last@example.com" << "密码口令123";
        QTest::newRow("space") << "with space" << "a_b@example.com" << "123456789012345";
        QTest::newRow("tilde") << "tilde~x" << "x@example.com" << "1234567890123456";
        QTest::newRow("cjk") << "张三丰" << "张三@example.cn" << "p+%&= #x";
    }
    void valuesRoundTripThroughTheService()
    {
        FETCH(QString, name, QString, email, QString, password)
        for (const bool latin1 : {false, true}) {
            LocaleCodec locale(latin1 ? "ISO-8859-1" : nullptr);
            const QString user = name + (latin1 ? "L" : "");
            const QString enc = web::urlEncode(AccountService::encryptPassword(password));
            const ApiBaseResponse reg = get<ApiBaseResponse>(
                web::apiUrl() + QString::fromLatin1(web::kRegister).arg(web::urlEncode(user), enc, web::urlEncode(email)));
            QVERIFY2(!reg.head.isError, qPrintable(reg.head.errInfo));
            const ApiLoginResponse login = get<ApiLoginResponse>(
                web::apiUrl() + QString::fromLatin1(web::kLogin).arg(web::urlEncode(user), enc, "4.31", "aB3d"));
            QCOMPARE(login.head.errInfo + login.username, user);
            QVERIFY(web::isSafeToken(login.uid) && web::isSafeToken(login.sid));
        }
    }

    void checksumFailures_data();
    void checksumFailures()
    {
        FETCH(QString, faults, QByteArray, body)
        m_service.setFaults(faults);
        CannedServer raw;
        raw.handler = [body](const CannedServer::Request &) { return ::answer(body); };
        const ApiHead head = faults.isEmpty() ? get<ApiLoginResponse>(raw.url("/i.php?a=login")).head
                                              : get<ApiLinkResponse>(web::apiUrl() + web::kEshopLinks).head;
        QCOMPARE(QString("%1|%2|%3").arg(head.errCode).arg(head.isError).arg(head.errInfo),
                 QString("API_ERROR_CRC|1|调用远程服务校验失败！"));
    }

    void checksumTakesRepeatedKeysInOrder()
    {
        QCOMPARE(web::queryChecksum("http://h/i.php?g=Inkboat&m=WebApi&a=x&k=1&k=2"),
                 web::md5Hex("gInkboatmWebApiaxk1k2"));
        QCOMPARE(get<ApiLinkResponse>(web::apiUrl() + "&a=eshoplinks&k=1&k=%2B2").head.errInfo, QString());
    }

    void transport_data()
    {
        COLUMNS(QString, method, Params, params, QString, path, QString, requestLine, QByteArray, body,
              QString, answer, QString, contentType)
        const QString json = QStringLiteral("application/json; charset=utf-8");
        QTest::newRow("get") << "get" << Params() << "/a" << "GET /a HTTP/1.1" << QByteArray("ok") << "ok" << "";
        QTest::newRow("GET posts") << "GET" << Params() << "/a" << "POST /a HTTP/1.1" << QByteArray("ok") << "ok"
                                   << json;
        QTest::newRow("post") << "post" << Params() << "/a" << "POST /a HTTP/1.1" << QByteArray("ok") << "ok"
                              << json;
        QTest::newRow("params after ?") << "get" << Params{{"b", "x y"}, {"a", "+"}} << "/p"
                                        << "GET /p?a=%2B&b=x%20y HTTP/1.1" << QByteArray("") << "" << "";
        QTest::newRow("params after &") << "get" << Params{{"k", "1"}} << "/p?q=1" << "GET /p?q=1&k=1 HTTP/1.1"
                                        << QByteArray("") << "" << "";
        QTest::newRow("NUL cut") << "get" << Params() << "/n" << "GET /n HTTP/1.1" << QByteArray("abc\0def", 7)
                                 << "abc" << "";
    }
    void transport()
    {
        FETCH(QString, method, Params, params, QString, path, QString, requestLine, QByteArray, body,
              QString, answer, QString, contentType)
        CannedServer raw;
        raw.handler = [body](const CannedServer::Request &) { return ::answer(body); };
        const QString got = params.isEmpty()
                                ? web::webRequest(raw.url(path), "x", method, web::kTimeoutMs)
                                : web::webRequestWithParams(raw.url(path), params, QString(), method, web::kTimeoutMs);
        const CannedServer::Request r = raw.requests.value(0);
        QCOMPARE(QStringList({r.line, r.header("content-type"), got}), QStringList({requestLine, contentType, answer}));
    }

    // Calls of one thread share its kept-alive connection; a change of the trusted CAs drops it.
    void callsKeepTheirConnection_data()
    {
        COLUMNS(bool, changeTrust, int, connections)
        QTest::newRow("three calls") << false << 1;
        QTest::newRow("trust changed after the first") << true << 2;
    }
    void callsKeepTheirConnection()
    {
        FETCH(bool, changeTrust, int, connections)
        CannedServer raw;
        raw.keepAlive = true;
        raw.handler = [](const CannedServer::Request &) {
            return CannedServer::Answer{"HTTP/1.1 200 OK\r\nContent-Length: 0", ""};
        };
        for (int i = 0; i < 3; ++i) {
            web::webRequest(raw.url("/k"), QString(), "get", web::kTimeoutMs);
            if (changeTrust && i == 0)
                web::setExtraCaCertificates({});
        }
        QCOMPARE(QString("%1|%2").arg(raw.requests.size()).arg(raw.connections), QString("3|%1").arg(connections));
    }

    // A call that gets no usable answer ends with a message saying why, or silently when its
    // thread is asked to stop.
    void failedCallsSayWhy_data()
    {
        // head: empty: the server never answers
        COLUMNS(QByteArray, head, int, bodyMiB, int, timeoutMs, bool, interrupt, QString, outcome)
        QTest::newRow("time-out") << QByteArray() << 0 << 300 << false << "请求服务超时！/0";
        QTest::newRow("thread interrupted") << QByteArray() << 0 << web::kTimeoutMs << true << "abort";
        QTest::newRow("answer over 64 MiB") << QByteArray("HTTP/1.1 200 OK\r\nConnection: close") << 65
                                            << web::kTimeoutMs << false << "服务应答数据过大！/0";
        QTest::newRow("too many requests") << QByteArray("HTTP/1.1 429 Too Many Requests\r\nConnection: close") << 0
                                           << web::kTimeoutMs << false << "请求过于频繁，请稍后再试！/0";
    }
    void failedCallsSayWhy()
    {
        FETCH(QByteArray, head, int, bodyMiB, int, timeoutMs, bool, interrupt, QString, outcome)
        CannedServer raw;
        raw.handler = [head, bodyMiB](const CannedServer::Request &) {
            return CannedServer::Answer{head, QByteArray(bodyMiB * 1024 * 1024, 'x')};
        };
        QString got;
        std::unique_ptr<QThread> thread(QThread::create([&] {
            try {
                web::webRequest(raw.url("/x"), QString(), "get", timeoutMs);
                got = "answered";
            } catch (const EAbort &) {
                got = "abort";
            } catch (const Exception &e) {
                got = e.message() + "/" + e.code();
            }
        }));
        thread->start();
        if (interrupt) {
            QTRY_COMPARE(raw.requests.size(), 1);
            thread->requestInterruption();
        }
        QTRY_VERIFY_WITH_TIMEOUT(thread->isFinished(), 20000); // the server answers from this thread
        QCOMPARE(got, outcome);
    }

    // An HTTP error must not show, and the log never holds, the password cipher or the session id.
    void errorsAndLogsHideSecrets_data()
    {
        COLUMNS(QString, action, QString, query, QString, secret)
        const QString cipher = web::urlEncode(AccountService::encryptPassword("secret1"));
        const QString sid = "0123456789abcdef0123456789abcdef";
        QTest::newRow("login") << "login" << QString::fromLatin1(web::kLogin).arg("bob", cipher, "4.31", "abcd") << cipher;
        QTest::newRow("heartbeat") << "heartbeat"
                                   << QString::fromLatin1(web::kHeartbeat).arg("fedcba9876543210fedcba9876543210", "bob", sid, "4.31")
                                   << sid;
    }
    void errorsAndLogsHideSecrets()
    {
        FETCH(QString, action, QString, query, QString, secret)
        QTemporaryDir logs;
        setLogFolder(logs.path());
        setTraceLogEnabled(true);
        m_service.setFaults(action + "=drop_after");
        QString message;
        try {
            web::webRequest(web::apiUrl() + query, QString(), "get", web::kTimeoutMs);
        } catch (const Exception &e) {
            message = e.message();
        }
        setTraceLogEnabled(false);
        setLogFolder(QString());
        QVERIFY(!message.isEmpty());
        QVERIFY2(!message.contains(secret), qPrintable(message));
        QString logText;
        for (const QString &name : QDir(logs.path()).entryList(QDir::Files))
            logText += QString::fromUtf8(readBytes(logs.filePath(name)));
        QVERIFY2(logText.contains("Web访问：") && logText.contains("a=" + action), qPrintable(logText));
        QVERIFY2(!logText.contains(secret), qPrintable(logText));
    }

    void requestBodyForm()
    {
        ApiPushDetailRequest request;
        BookItem item;
        item.tid = "T1";
        item.create_time = QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9, 123));
        request.data << item;
        const QString body = web::requestBody(request);
        QVERIFY(body.contains("\"method\": \"\""));
        QVERIFY2(body.contains("\"create_time\": \"2024-05-06T07:08:09\""), qPrintable(body));
    }
};

void TstWebClient::checksumFailures_data()
{
    // faults: of the service; empty: the canned body answers
    COLUMNS(QString, faults, QByteArray, body)
    const QByteArray crc = web::queryChecksum("http://h/i.php?a=login").toLatin1();
    auto answer = [](const QByteArray &crc, const QByteArray &more) {
        return R"({"head":{"isError":false,"errCode":"0","errInfo":"","crc":")" + crc + "\"}" + more + "}";
    };
    QTest::newRow("service badcrc") << "eshoplinks=badcrc" << QByteArray();
    QTest::newRow("upper-case crc") << "" << answer(crc.toUpper(), "");
    QTest::newRow("empty answer") << "" << QByteArray();
    QTest::newRow("not json") << "" << QByteArray("<html>oops</html>");
    QTest::newRow("wrong types") << "" << QByteArray("{\"head\":[1,2]}");
    QTest::newRow("uid with &") << "" << answer(crc, R"(,"uid":"a&b=c")");
    QTest::newRow("sid with #") << "" << answer(crc, R"(,"sid":"ab#cd")");
}

QTEST_GUILESS_MAIN(TstWebClient)
#include "tst_webclient.moc"
