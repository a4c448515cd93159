// Resumable downloads: a file is final only when complete; partial files stay for a resume,
// redirects are followed a few hops, and broken answers never count as finished.
#include "TestService.h"

#include "cloud/DownLoadManager.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

struct Answer {
    QByteArray head; // status line and headers, without the blank line
    QByteArray body;
    int sendBytes = -1; // -1: all of body, else that many and then...
    bool hang = false;  // ...keep the connection open without sending more (else close it)
};

// An HTTP/1.0 server for the answers the PHP service never gives.
class TinyServer : public QTcpServer
{
public:
    std::function<Answer(const QByteArray &path, qint64 rangeFrom)> handler;
    QList<qint64> ranges; // Range start of each request, -1 without one

    TinyServer()
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *s = nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, s, [this, s] {
                const QByteArray request = s->peek(65536);
                if (!request.contains("\r\n\r\n"))
                    return;
                s->readAll();
                const QByteArray path = request.split(' ').value(1);
                qint64 from = -1;
                for (const QByteArray &line : request.split('\n'))
                    if (line.toLower().startsWith("range: bytes="))
                        from = line.mid(13).split('-').value(0).trimmed().toLongLong();
                ranges << from;
                const Answer a = handler(path, from);
                s->write(a.head + "\r\n\r\n");
                s->write(a.sendBytes < 0 ? a.body : a.body.left(a.sendBytes));
                if (!a.hang)
                    s->disconnectFromHost();
            });
        });
    }
    QString url(const QString &path) const { return QString("http://127.0.0.1:%1%2").arg(serverPort()).arg(path); }
};

Answer ok(const QByteArray &body, qint64 from)
{
    if (from > 0)
        return {"HTTP/1.0 206 Partial Content\r\nContent-Length: " + QByteArray::number(body.size() - from) +
                    "\r\nContent-Range: bytes " + QByteArray::number(from) + "-" + QByteArray::number(body.size() - 1) +
                    "/" + QByteArray::number(body.size()),
                body.mid(int(from))};
    return {"HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(body.size()), body};
}

QByteArray randomBytes(int n)
{
    QByteArray b(n, Qt::Uninitialized);
    for (char &c : b)
        c = char(QRandomGenerator::global()->bounded(256));
    return b;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool runDownload(DownLoadManager &m, const QString &url)
{
    QSignalSpy done(&m, &DownLoadManager::signalReplyFinished);
    m.downloadFile(QUrl(url), "setup.deb");
    if (!done.wait(10000))
        return false;
    return m.succeeded();
}

} // namespace

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void answers_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<bool>("success");
        QTest::addColumn<bool>("partialKept");
        for (const char *row : {"plain", "200 on Range", "relative redirect", "five hops"})
            QTest::newRow(row) << row << true << false;
        QTest::newRow("416") << "416" << false << false;
        QTest::newRow("404") << "404" << false << false;
        QTest::newRow("early close") << "early close" << false << true;
        QTest::newRow("six hops") << "six hops" << false << false;
        QTest::newRow("ftp redirect") << "ftp redirect" << false << false;
        QTest::newRow("refused") << "refused" << false << false;
    }
    void answers()
    {
        QFETCH(QString, scenario);
        QFETCH(bool, success);
        QFETCH(bool, partialKept);
        const QByteArray file = randomBytes(200000);
        TinyServer server;
        server.handler = [&](const QByteArray &path, qint64 from) -> Answer {
            if (path.startsWith("/hop")) {
                const int hop = path.mid(4).toInt();
                const int codes[] = {301, 302, 303, 307, 308, 302};
                const int last = scenario == "six hops" ? 6 : 5;
                const QByteArray next = hop + 1 < last ? "/hop" + QByteArray::number(hop + 1) : "/file";
                return {"HTTP/1.0 " + QByteArray::number(codes[hop]) + " Moved\r\nLocation: " + next + "\r\nContent-Length: 0",
                        {}};
            }
            if (path == "/rel")
                return {"HTTP/1.0 302 Found\r\nLocation: sub/../file\r\nContent-Length: 0", {}};
            if (path == "/ftp")
                return {"HTTP/1.0 302 Found\r\nLocation: ftp://127.0.0.1/file\r\nContent-Length: 0", {}};
            if (scenario == "404")
                return {"HTTP/1.0 404 Not Found\r\nContent-Length: 9", "not found"};
            if (scenario == "416")
                return {"HTTP/1.0 416 Range Not Satisfiable\r\nContent-Range: bytes */10\r\nContent-Length: 0", {}};
            if (scenario == "200 on Range")
                return ok(file, -1);
            Answer a = ok(file, from);
            if (scenario == "early close")
                a.sendBytes = 1000;
            return a;
        };
        QTemporaryDir dir;
        DownLoadManager m;
        m.setDownInto(dir.path());
        m.setSupportBreakpoint(true);
        if (scenario == "200 on Range" || scenario == "416")
            QVERIFY(QFile(dir.filePath("setup.deb_tmp")).open(QIODevice::WriteOnly) &&
                    QFile(dir.filePath("setup.deb_tmp")).resize(5000));
        QString url = server.url("/file");
        if (scenario == "relative redirect")
            url = server.url("/rel");
        else if (scenario.endsWith("hops"))
            url = server.url("/hop0");
        else if (scenario == "ftp redirect")
            url = server.url("/ftp");
        else if (scenario == "refused")
            url = QString("http://127.0.0.1:%1/file").arg(freeLoopbackPort());
        QCOMPARE(runDownload(m, url), success);
        QCOMPARE(QFileInfo::exists(dir.filePath("setup.deb")), success);
        if (success)
            QCOMPARE(readAll(dir.filePath("setup.deb")), file);
        QCOMPARE(QFileInfo::exists(dir.filePath("setup.deb_tmp")), partialKept);
        if (scenario == "200 on Range")
            QCOMPARE(server.ranges, QList<qint64>{5000});
    }

    void stopResumeAndClose()
    {
        const QByteArray file = randomBytes(300000);
        TinyServer server;
        bool stall = true;
        server.handler = [&](const QByteArray &, qint64 from) {
            Answer a = ok(file, from);
            if (stall) {
                a.sendBytes = 100000;
                a.hang = true;
            }
            return a;
        };
        QTemporaryDir dir;
        const QString partial = dir.filePath("setup.deb_tmp");
        DownLoadManager m;
        m.setDownInto(dir.path());
        m.setSupportBreakpoint(true);
        QSignalSpy progress(&m, &DownLoadManager::signalDownloadProcess);
        QSignalSpy done(&m, &DownLoadManager::signalReplyFinished);
        m.downloadFile(QUrl(server.url("/file")), "setup.deb");
        QTRY_COMPARE(QFileInfo(partial).size(), qint64(100000));
        m.stopWork(false); // Stop: the part stays for a resume
        QTRY_VERIFY(m.isIdle());
        QVERIFY(!m.succeeded());
        QCOMPARE(QFileInfo(partial).size(), qint64(100000));
        stall = false;
        progress.clear();
        QVERIFY(runDownload(m, server.url("/file")));
        QCOMPARE(server.ranges.last(), qint64(100000));
        QCOMPARE(readAll(dir.filePath("setup.deb")), file);
        // The progress counts the part that was there already.
        QCOMPARE(progress.last().at(0).toLongLong(), qint64(file.size()));
        QCOMPARE(progress.last().at(1).toLongLong(), qint64(file.size()));

        // Close: the part goes.
        QFile::remove(dir.filePath("setup.deb"));
        stall = true;
        m.downloadFile(QUrl(server.url("/file")), "setup.deb");
        QTRY_VERIFY(QFileInfo(partial).size() > 0);
        m.stopWork(true);
        QTRY_VERIFY(m.isIdle());
        QVERIFY(!QFileInfo::exists(partial) && !QFileInfo::exists(dir.filePath("setup.deb")));
    }

    void fromTheService()
    {
        TestService service;
        QVERIFY(service.start());
        const QByteArray file = randomBytes(150000);
        QDir().mkpath(service.dataPath() + "/app");
        QFile f(service.dataPath() + "/app/inkboat_4.5.deb");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(file);
        f.close();
        QTemporaryDir dir;
        DownLoadManager m;
        m.setDownInto(dir.path());
        m.setSupportBreakpoint(true);
        // A part from an earlier run is continued with a Range request.
        QFile part(dir.filePath("setup.deb_tmp"));
        QVERIFY(part.open(QIODevice::WriteOnly));
        part.write(file.left(40000));
        part.close();
        QVERIFY(runDownload(m, service.baseUrl() + "app/inkboat_4.5.deb"));
        QCOMPARE(readAll(dir.filePath("setup.deb")), file);
    }
};

QTEST_GUILESS_MAIN(TestDownload)
#include "tst_download.moc"
