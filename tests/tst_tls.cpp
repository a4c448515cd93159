// The client over https against the shipped stack (nginx with a throwaway certificate and CA).
#include "app/Exception.h"
#include "cloud/WebClient.h"

#include <QFile>
#include <QThread>
#include <QtTest>

class TstTls : public QObject
{
    Q_OBJECT

private slots:
    // https is verified: with the CA of the test stack's certificate the call goes through; with the
    // system's trust store alone it fails, naming the host. Runs under server/tests/with-service.sh
    // on the stack, which gives the address and the CA.
    void httpsIsVerified_data()
    {
        QTest::addColumn<bool>("trustTestCa");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("test CA") << true << "0";
        QTest::newRow("system store only") << false << "无法验证服务器 localhost 的安全证书，连接已取消！";
    }
    void httpsIsVerified()
    {
        QFETCH(bool, trustTestCa);
        QFETCH(QString, outcome);
        const QString base = qEnvironmentVariable("INKBOAT_TEST_TLS_BASE");
        if (base.isEmpty())
            QFAIL("start it with server/tests/with-service.sh on the stack (the CTest does)");
        web::setExtraCaCertificates(trustTestCa ? QSslCertificate::fromPath(qEnvironmentVariable("INKBOAT_TEST_CA"))
                                                : QList<QSslCertificate>());
        const QString url = base + "/index.php?g=Inkboat&m=WebApi&a=eshoplinks";
        QString got;
        try {
            got = web::callApi<ApiLinkResponse>(url, QString(), "get", web::kTimeoutMs).head.errCode;
        } catch (const Exception &e) {
            got = e.message();
        }
        web::setExtraCaCertificates({});
        QCOMPARE(got, outcome);
    }

    // A new connection (another thread's: each keeps its own) resumes the TLS session of an earlier
    // one instead of a full handshake. nginx logs "r" for a resumed session, "." for a full one.
    void newConnectionResumesTlsSession()
    {
        const QString base = qEnvironmentVariable("INKBOAT_TEST_TLS_BASE");
        QFile log(qEnvironmentVariable("INKBOAT_TEST_STACK") + "/nginx/inkboat-access.log");
        if (base.isEmpty() || !log.exists())
            QFAIL("start it with server/tests/with-service.sh on the stack (the CTest does)");
        web::setExtraCaCertificates(QSslCertificate::fromPath(qEnvironmentVariable("INKBOAT_TEST_CA")));
        const QString url = base + "/index.php?g=Inkboat&m=WebApi&a=eshoplinks";
        QStringList answers;
        for (int call = 0; call < 3; ++call) {
            // (the trust was just changed: the first call has no session to resume)
            QThread *thread = QThread::create([&] {
                try {
                    answers << web::callApi<ApiLinkResponse>(url, {}, "get", web::kTimeoutMs).head.errCode;
                } catch (const Exception &e) {
                    answers << e.message();
                }
            });
            thread->start();
            thread->wait();
            delete thread;
        }
        web::setExtraCaCertificates({});
        QCOMPARE(answers, QStringList({"0", "0", "0"}));
        // nginx writes its line just after the answer: wait for all three
        const auto sessions = [&log] {
            log.open(QIODevice::ReadOnly);
            QStringList lines = QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
            lines = lines.mid(qMax(0, lines.size() - 3));
            log.close();
            QString marks;
            for (const QString &line : lines)
                marks += line.section(' ', 10, 10);
            return marks;
        };
        QTRY_COMPARE(sessions(), QStringLiteral(".rr"));
    }
};

QTEST_GUILESS_MAIN(TstTls)
#include "tst_tls.moc"
