// The web client against the real service (a private instance on a free loopback port), and a
// raw loopback socket only for what the service never sends.
#include "TestService.h"

#include "app/App.h"
#include "app/Exception.h"
#include "cloud/WebClient.h"
#include "log/Log.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QThread>
#include <QtTest>

namespace {

// Answers every request with a canned answer (or with silence) and remembers the request lines.
class RawServer : public QObject
{
public:
    QByteArray body;
    bool silent = false;
    QStringList requestLines;
    QStringList contentTypes; // each request's Content-Type, empty when it has none

    RawServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    if (m_pending.value(socket) == "done")
                        return;
                    m_pending[socket] += socket->readAll();
                    if (!m_pending[socket].contains("\r\n\r\n"))
                        return;
                    const QByteArray head = m_pending[socket].left(m_pending[socket].indexOf("\r\n\r\n"));
                    requestLines << QString::fromLatin1(head.left(head.indexOf("\r\n")));
                    static const QRegularExpression type(QStringLiteral("\r\ncontent-type: *([^\r]*)"),
                                                         QRegularExpression::CaseInsensitiveOption);
                    contentTypes << type.match(QString::fromLatin1(head)).captured(1);
                    m_pending[socket] = "done";
                    if (silent)
                        return;
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n");
                    socket->write(body);
                    socket->disconnectFromHost();
                });
            }
        });
    }
    QString url(const QString &pathAndQuery) const
    {
        return QStringLiteral("http://127.0.0.1:%1/%2").arg(m_server.serverPort()).arg(pathAndQuery);
    }

private:
    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_pending;
};

QByteArray answerFor(const QString &url, const QByteArray &own = QByteArray())
{
    return QStringLiteral("{\"head\":{\"isError\":false,\"errCode\":\"0\",\"errInfo\":\"\",\"crc\":\"%1\"}%2}")
        .arg(web::queryChecksum(url), QString::fromUtf8(own))
        .toUtf8();
}

} // namespace

class TstWebClient : public QObject
{
    Q_OBJECT
    TestService m_service;

private slots:
    void initTestCase() { QVERIFY2(m_service.start(), "the web service did not start"); }
    void init() { m_service.setFaults(QString()); }

    void passwordCipherKnownAnswers_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("hex");
        // printf '%s' "$p" | openssl enc -aes-128-ecb -K $(printf '__QUILL__INKPOT_' | xxd -p) | xxd -p -c 256
        QTest::newRow("ascii") << "secret1" << "ca8ac7087833a81f07bc331a2b344d4f";
        QTest::newRow("cjk") << "密码口令123" << "5ad33bc577994f1da3ad68e8a18a3b37";
        QTest::newRow("15 bytes") << "123456789012345" << "9117f6d8e132e8ac703a1a210923031d";
        QTest::newRow("16 bytes") << "1234567890123456"
                                  << "3464420d1f9aeefd4a2750fe34667252860d6fc9e8dcbbce14393c56b7d81ce8";
    }
    void passwordCipherKnownAnswers()
    {
        QFETCH(QString, password);
        QFETCH(QString, hex);
        QCOMPARE(App::encryptPassword(password), hex);
        // The same again under a Latin-1 locale: the bytes are UTF-8 whatever the locale says.
        QTextCodec *old = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
        const QString underLatin1 = App::encryptPassword(password);
        QTextCodec::setCodecForLocale(old);
        QCOMPARE(underLatin1, hex);
    }

    // Register and sign in with awkward names, e-mails and passwords: the values come back as
    // they were sent, and every answer passes its checksum.
    void valuesRoundTripThroughTheService_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("latin1Locale");
        const QList<QStringList> rows = {
            {"plus+name", "a+b@example.com", "secret1"},
            {"per%cent", "first.last@example.com", "密码口令123"},
            {"with space", "a_b@example.com", "123456789012345"},
            {"tilde~x", "x@example.com", "1234567890123456"},
            {"张三丰", "张三@example.cn", "p+%&= #x"},
        };
        for (bool latin1 : {false, true})
            for (const QStringList &r : rows)
                QTest::newRow(qPrintable(r[0] + (latin1 ? " latin1" : ""))) << r[0] + (latin1 ? "L" : "") << r[1]
                                                                          << r[2] << latin1;
    }
    void valuesRoundTripThroughTheService()
    {
        QFETCH(QString, name);
        QFETCH(QString, email);
        QFETCH(QString, password);
        QFETCH(bool, latin1Locale);
        QTextCodec *old = QTextCodec::codecForLocale();
        if (latin1Locale)
            QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
        const QString enc = web::urlEncode(App::encryptPassword(password));
        const ApiBaseResponse reg = web::callApi<ApiBaseResponse>(
            web::apiUrl() + QString::fromLatin1(web::kRegister).arg(web::urlEncode(name), enc, web::urlEncode(email)),
            QString(), "get", web::kTimeoutMs);
        const ApiLoginResponse login = web::callApi<ApiLoginResponse>(
            web::apiUrl() + QString::fromLatin1(web::kLogin).arg(web::urlEncode(name), enc, "4.31", "aB3d"), QString(),
            "get", web::kTimeoutMs);
        QTextCodec::setCodecForLocale(old);
        QVERIFY2(!reg.head.isError, qPrintable(reg.head.errInfo));
        QVERIFY2(!login.head.isError, qPrintable(login.head.errInfo));
        QCOMPARE(login.username, name);
        QVERIFY(web::isSafeToken(login.uid) && web::isSafeToken(login.sid));
    }

    void checksumFailures_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<QByteArray>("rawBody"); // empty: ask the service
        QTest::newRow("service badcrc") << "eshoplinks=badcrc" << QByteArray();
        QTest::newRow("upper-case crc") << "" << QByteArray("UPPER");
        QTest::newRow("empty answer") << "" << QByteArray("EMPTY");
        QTest::newRow("not json") << "" << QByteArray("<html>oops</html>");
        QTest::newRow("wrong types") << "" << QByteArray("{\"head\":[1,2]}");
        QTest::newRow("uid with &") << "" << QByteArray("\"uid\":\"a&b=c\"");
        QTest::newRow("sid with #") << "" << QByteArray("\"sid\":\"ab#cd\"");
    }
    void checksumFailures()
    {
        QFETCH(QString, faults);
        QFETCH(QByteArray, rawBody);
        ApiLoginResponse answer;
        if (rawBody.isEmpty()) {
            m_service.setFaults(faults);
            answer.head = web::callApi<ApiLinkResponse>(web::apiUrl() + web::kEshopLinks, QString(), "get",
                                                        web::kTimeoutMs)
                              .head;
        } else {
            RawServer raw;
            const QString url = raw.url("index.php?g=Inkboat&m=WebApi&a=login&x=1");
            if (rawBody == "UPPER")
                raw.body = answerFor(url).replace(web::queryChecksum(url).toLatin1(),
                                                  web::queryChecksum(url).toUpper().toLatin1());
            else if (rawBody == "EMPTY")
                raw.body.clear();
            else if (rawBody.startsWith("\"u") || rawBody.startsWith("\"s"))
                raw.body = answerFor(url, "," + rawBody);
            else
                raw.body = rawBody;
            answer = web::callApi<ApiLoginResponse>(url, QString(), "get", web::kTimeoutMs);
        }
        QCOMPARE(answer.head.errCode, QString("API_ERROR_CRC"));
        QVERIFY(answer.head.isError);
        QCOMPARE(answer.head.errInfo, QString("调用远程服务校验失败！"));
    }

    void checksumTakesRepeatedKeysInOrder()
    {
        QCOMPARE(web::queryChecksum("http://h/i.php?g=Inkboat&m=WebApi&a=x&k=1&k=2"),
                 web::md5Hex("gInkboatmWebApiaxk1k2"));
        const ApiLinkResponse links = web::callApi<ApiLinkResponse>(web::apiUrl() + "&a=eshoplinks&k=1&k=%2B2",
                                                                    QString(), "get", web::kTimeoutMs);
        QVERIFY2(!links.head.isError, qPrintable(links.head.errInfo));
    }

    void transport_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantMap>("params");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("requestLine");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("contentType");
        const QString json = QStringLiteral("application/json; charset=utf-8");
        QTest::newRow("get") << "get" << QVariantMap() << "a" << "GET /a HTTP/1.1" << QByteArray("ok") << "ok" << "";
        QTest::newRow("GET posts") << "GET" << QVariantMap() << "a" << "POST /a HTTP/1.1" << QByteArray("ok") << "ok"
                                   << json;
        QTest::newRow("post") << "post" << QVariantMap() << "a" << "POST /a HTTP/1.1" << QByteArray("ok") << "ok"
                              << json;
        QTest::newRow("params after ?") << "get" << QVariantMap{{"b", "x y"}, {"a", "+"}} << "p"
                                        << "GET /p?a=%2B&b=x%20y HTTP/1.1" << QByteArray("") << "" << "";
        QTest::newRow("params after &") << "get" << QVariantMap{{"k", "1"}} << "p?q=1" << "GET /p?q=1&k=1 HTTP/1.1"
                                        << QByteArray("") << "" << "";
        QTest::newRow("NUL cut") << "get" << QVariantMap() << "n" << "GET /n HTTP/1.1"
                                 << QByteArray("abc\0def", 7) << "abc" << "";
    }
    void transport()
    {
        QFETCH(QString, method);
        QFETCH(QVariantMap, params);
        QFETCH(QString, path);
        QFETCH(QString, requestLine);
        QFETCH(QByteArray, body);
        QFETCH(QString, answer);
        QFETCH(QString, contentType);
        RawServer raw;
        raw.body = body;
        QString got;
        if (params.isEmpty()) {
            got = web::webRequest(raw.url(path), "x", method, web::kTimeoutMs);
        } else {
            QMap<QString, QString> map;
            for (auto it = params.begin(); it != params.end(); ++it)
                map.insert(it.key(), it.value().toString());
            got = web::webRequestWithParams(raw.url(path), map, QString(), method, web::kTimeoutMs);
        }
        QVERIFY(!raw.requestLines.isEmpty());
        QCOMPARE(raw.requestLines.first(), requestLine);
        QCOMPARE(raw.contentTypes.first(), contentType);
        QCOMPARE(got, answer);
    }

    void timeoutSaysSo()
    {
        m_service.setFaults("eshoplinks=delay_ms=2000");
        try {
            web::webRequest(web::apiUrl() + web::kEshopLinks, QString(), "get", 300);
            QFAIL("no time-out");
        } catch (const EAbort &) {
            QFAIL("a time-out is no abort");
        } catch (const Exception &e) {
            QCOMPARE(e.message(), QString("请求服务超时！"));
            QCOMPARE(e.code(), QString("0"));
        }
    }

    void interruptionAbortsAWaitingCall()
    {
        RawServer raw;
        raw.silent = true;
        QString outcome;
        QThread *thread = QThread::create([&] {
            try {
                web::webRequest(raw.url("never"), QString(), "get", web::kTimeoutMs);
                outcome = "answered";
            } catch (const EAbort &) {
                outcome = "abort";
            } catch (const Exception &e) {
                outcome = e.message();
            }
        });
        thread->start();
        QTRY_COMPARE(raw.requestLines.size(), 1);
        thread->requestInterruption();
        QVERIFY(thread->wait(10000));
        delete thread;
        QCOMPARE(outcome, QString("abort"));
    }

    void hugeAnswerIsRefused()
    {
        RawServer raw;
        raw.body = QByteArray(65 * 1024 * 1024, 'x');
        try {
            web::webRequest(raw.url("big"), QString(), "get", web::kTimeoutMs);
            QFAIL("a 65 MiB answer was taken");
        } catch (const Exception &e) {
            QCOMPARE(e.message(), QString("服务应答数据过大！"));
        }
    }

    // An HTTP error of the login must not show or log the password cipher.
    void loginErrorHidesThePassword()
    {
        QTemporaryDir logs;
        setLogFolder(logs.path());
        setTraceLogEnabled(true);
        m_service.setFaults("login=drop_after");
        const QString cipher = web::urlEncode(App::encryptPassword("secret1"));
        QString message;
        try {
            web::webRequest(web::apiUrl() + QString::fromLatin1(web::kLogin).arg("bob", cipher, "4.31", "abcd"),
                            QString(), "get", web::kTimeoutMs);
        } catch (const Exception &e) {
            message = e.message();
        }
        setTraceLogEnabled(false);
        setLogFolder(QString());
        QVERIFY(!message.isEmpty());
        QVERIFY2(!message.contains("password=") && !message.contains(cipher), qPrintable(message));
        QString logText;
        for (const QString &name : QDir(logs.path()).entryList(QDir::Files)) {
            QFile f(logs.filePath(name));
            f.open(QIODevice::ReadOnly);
            logText += QString::fromUtf8(f.readAll());
        }
        QVERIFY2(logText.contains("Web访问：") && logText.contains("a=login"), qPrintable(logText));
        QVERIFY(!logText.contains(cipher) && !logText.contains("password="));
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
        QVERIFY(body.indexOf("\"datatype\"") < body.indexOf("\"tid\"") &&
                body.indexOf("\"usn\"") < body.indexOf("\"flag\""));
        // Nulls and unknown keys of an answer give defaults.
        ApiBeginPullResponse pull;
        JsonSerializer s;
        s.setAllowDefaultNull(true);
        registerApiRecords();
        QVERIFY(s.deserialize(R"({"head":null,"reqcode":null,"totalCount":3,"extra":1})", pull));
        QCOMPARE(pull.totalCount, 3);
        QVERIFY(pull.reqcode.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TstWebClient)
#include "tst_webclient.moc"
