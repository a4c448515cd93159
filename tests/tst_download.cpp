// Resumable downloads: a file is final only when complete; partial files stay for a resume,
// redirects are followed a few hops, and broken answers never count as finished.
#include "CannedServer.h"
#include "Columns.h"
#include "Folders.h"
#include "TestService.h"

#include "cloud/DownLoadManager.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray randomBytes(int n)
{
    QByteArray b(n, Qt::Uninitialized);
    for (char &c : b)
        c = char(QRandomGenerator::global()->bounded(256));
    return b;
}

// A manager that resumes into its own temporary folder.
struct Download {
    QTemporaryDir dir;
    DownLoadManager m;
    Download()
    {
        m.setDownInto(dir.path());
        m.setSupportBreakpoint(true);
    }
    QString file(const char *name = "setup.deb") const { return dir.filePath(QLatin1String(name)); }
    QString part() const { return file("setup.deb_tmp"); }
    bool run(const QString &url)
    {
        QSignalSpy done(&m, &DownLoadManager::signalReplyFinished);
        m.downloadFile(QUrl(url), "setup.deb");
        return done.wait(10000) && m.succeeded();
    }
};

} // namespace

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void answers_data()
    {
        COLUMNS(QString, scenario, bool, success, bool, partialKept)
        for (const char *row : {"plain", "200 on Range", "relative redirect", "five hops"})
            QTest::newRow(row) << row << true << false;
        for (const char *row : {"416", "404", "six hops", "ftp redirect", "refused"})
            QTest::newRow(row) << row << false << false;
        QTest::newRow("early close") << "early close" << false << true;
    }
    void answers()
    {
        FETCH(QString, scenario, bool, success, bool, partialKept)
        const QByteArray file = randomBytes(200000);
        CannedServer server;
        server.handler = [&](const CannedServer::Request &r) -> CannedServer::Answer {
            const QByteArray path = r.line.split(' ').value(1);
            auto moved = [](int code, const QByteArray &to) {
                return CannedServer::Answer{"HTTP/1.0 " + QByteArray::number(code) + " Moved\r\nLocation: " + to +
                                                "\r\nContent-Length: 0",
                                            {}};
            };
            if (path.startsWith("/hop")) {
                const int hop = path.mid(4).toInt();
                const int codes[] = {301, 302, 303, 307, 308, 302};
                return moved(codes[hop], hop + 1 < (scenario == "six hops" ? 6 : 5) ? "/hop" + QByteArray::number(hop + 1)
                                                                                    : "/file");
            }
            if (path == "/rel")
                return moved(302, "sub/../file");
            if (path == "/ftp")
                return moved(302, "ftp://127.0.0.1/file");
            if (scenario == "404")
                return {"HTTP/1.0 404 Not Found\r\nContent-Length: 9", "not found"};
            if (scenario == "416")
                return {"HTTP/1.0 416 Range Not Satisfiable\r\nContent-Range: bytes */10\r\nContent-Length: 0", {}};
            CannedServer::Answer a = CannedServer::ok(file, scenario == "200 on Range" ? -1 : r.rangeFrom());
            if (scenario == "early close")
                a.sendBytes = 1000;
            return a;
        };
        Download d;
        if (scenario == "200 on Range" || scenario == "416")
            QVERIFY(writeBytes(d.part(), QByteArray(5000, 'p')));
        const QMap<QString, QString> paths{{"relative redirect", "/rel"}, {"five hops", "/hop0"}, {"six hops", "/hop0"},
                                           {"ftp redirect", "/ftp"}};
        const QString url = scenario == "refused" ? QString("http://127.0.0.1:%1/file").arg(freeLoopbackPort())
                                                  : server.url(paths.value(scenario, "/file"));
        QCOMPARE(d.run(url), success);
        QCOMPARE(readBytes(d.file()), success ? file : QByteArray());
        QCOMPARE(QFileInfo::exists(d.part()), partialKept);
        if (scenario == "200 on Range")
            QCOMPARE(server.requests.value(0).rangeFrom(), qint64(5000));
    }

    void stopResumeAndClose()
    {
        const QByteArray file = randomBytes(300000);
        CannedServer server;
        bool stall = true;
        server.handler = [&](const CannedServer::Request &r) {
            CannedServer::Answer a = CannedServer::ok(file, r.rangeFrom());
            if (stall) {
                a.sendBytes = 100000;
                a.hang = true;
            }
            return a;
        };
        Download d;
        QSignalSpy progress(&d.m, &DownLoadManager::signalDownloadProcess);
        d.m.downloadFile(QUrl(server.url("/file")), "setup.deb");
        QTRY_COMPARE(QFileInfo(d.part()).size(), qint64(100000));
        d.m.stopWork(false); // Stop: the part stays for a resume
        QTRY_VERIFY(d.m.isIdle());
        QVERIFY(!d.m.succeeded());
        QCOMPARE(QFileInfo(d.part()).size(), qint64(100000));
        stall = false;
        progress.clear();
        QVERIFY(d.run(server.url("/file")));
        QCOMPARE(server.requests.last().rangeFrom(), qint64(100000));
        QCOMPARE(readBytes(d.file()), file);
        // The progress counts the part that was there already.
        QCOMPARE(progress.last(), QVariantList({qint64(file.size()), qint64(file.size())}));

        // Close: the part goes.
        QFile::remove(d.file());
        stall = true;
        d.m.downloadFile(QUrl(server.url("/file")), "setup.deb");
        QTRY_VERIFY(QFileInfo(d.part()).size() > 0);
        d.m.stopWork(true);
        QTRY_VERIFY(d.m.isIdle());
        QVERIFY(!QFileInfo::exists(d.part()) && !QFileInfo::exists(d.file()));
    }
};

QTEST_GUILESS_MAIN(TestDownload)
#include "tst_download.moc"
