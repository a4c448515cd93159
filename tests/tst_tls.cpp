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
    // https is verified: with the system's trust store alone the call fails, naming the host; with
    // the CA of the test stack's certificate it goes through, and a new connection (another
    // thread's: each keeps its own) resumes the TLS session of an earlier one instead of a full
    // handshake. Runs under server/tests/with-service.sh on the stack, which gives the address,
    // the CA and nginx's log ("r" for a resumed session, "." for a full one).
    void httpsIsVerifiedAndSessionsResume()
    {
        const QString base = qEnvironmentVariable("INKBOAT_TEST_TLS_BASE");
        QFile log(qEnvironmentVariable("INKBOAT_TEST_STACK") + "/nginx/inkboat-access.log");
        if (base.isEmpty() || !log.exists())
            QFAIL("start it with server/tests/with-service.sh on the stack (the CTest does)");
        QStringList answers;
        const auto callOnAThread = [&] {
            std::unique_ptr<QThread> thread(QThread::create([&] {
                try {
                    const QString url = base + "/index.php?g=Inkboat&m=WebApi&a=eshoplinks";
                    answers << web::callApi<ApiLinkResponse>(url, {}, "get", web::kTimeoutMs).head.errCode;
                } catch (const Exception &e) {
                    answers << e.message();
                }
            }));
            thread->start();
            thread->wait();
        };
        web::setExtraCaCertificates({});
        callOnAThread();
        // (the trust was just changed: the first call has no session to resume)
        web::setExtraCaCertificates(QSslCertificate::fromPath(qEnvironmentVariable("INKBOAT_TEST_CA")));
        for (int call = 0; call < 3; ++call)
            callOnAThread();
        web::setExtraCaCertificates({});
        QCOMPARE(answers, QStringList({"无法验证服务器 localhost 的安全证书，连接已取消！", "0", "0", "0"}));
        // nginx writes its line just after the answer: wait for all three
        const auto sessions = [&log] {
            log.open(QIODevice::ReadOnly);
            const QStringList lines = QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
            log.close();
            QString marks;
            for (const QString &line : lines.mid(qMax(0, lines.size() - 3)))
                marks += line.section(' ', 10, 10);
            return marks;
        };
        QTRY_COMPARE(sessions(), QStringLiteral(".rr"));
    }
};

QTEST_GUILESS_MAIN(TstTls)
#include "tst_tls.moc"
