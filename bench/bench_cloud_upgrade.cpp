// Upgrades: a 100 MB download from the local service (with the longest stall of the event loop
// meanwhile), a 100 MB material archive staged, checked and renamed, and a check against a port
// nobody listens on; the close of the worker threads while one waits for a service that never
// answers, and the "Quit" client information sent to it.
#include "BenchSupport.h"
#include "TestService.h"
#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "app/WorkerHost.h"
#include "cloud/ClientInfo.h"
#include "cloud/CommonThreadWorker.h"
#include "cloud/DownLoadManager.h"
#include "cloud/QZipFile.h"
#include "cloud/Upgrade.h"
#include "params/SysParams.h"
#include "storage/Database.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

namespace {

constexpr qint64 kSize = 100LL * 1024 * 1024;

QByteArray digest(const QString &path)
{
    QFile f(path);
    QCryptographicHash h(QCryptographicHash::Sha256);
    return f.open(QIODevice::ReadOnly) && h.addData(&f) ? h.result() : QByteArray();
}

QByteArray randomBlock(int n)
{
    QByteArray b(n, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(b.data()), n / 4);
    return b;
}

// An enciphered library of about 100 MB with version 9.0.
bool makeLibrary(const QString &path)
{
    QFile::remove(path);
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(sqlDriverName(), "bench-lib");
        db.setDatabaseName(path);
        db.setPassword(Ink::libraryKey());
        db.setConnectOptions("QSQLITE_USE_CIPHER=chacha20");
        if (db.open()) {
            QSqlQuery q(db);
            ok = q.exec("CREATE TABLE DbVersion(Version VARCHAR(64))") && q.exec("INSERT INTO DbVersion VALUES('9.0')") &&
                 q.exec("CREATE TABLE Blob(B BLOB)") && db.transaction();
            q.prepare("INSERT INTO Blob VALUES(?)");
            for (int i = 0; ok && i < 100; ++i) {
                q.addBindValue(randomBlock(1024 * 1024));
                ok = q.exec();
            }
            ok = ok && db.commit();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("bench-lib");
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    QTemporaryDir dir;
    useProfileRoot(dir.path());
    const QStringList names{"100 MB download", "longest event-loop stall during it", "100 MB material archive installed",
                            "check against a refused port", "close: all workers joined, the start-up one stuck on a silent service",
                            "\"Quit\" client information to a silent service"};
    const QString missing = missingSqlDriver(sqlDriverName());
    if (!missing.isEmpty())
        return benchFailAll(names, missing);
    TestService service;
    if (!service.start())
        return benchFailAll(names, QStringLiteral("the web service did not start"));
    if (!g_App.init())
        return benchFailAll(names, QStringLiteral("App::init failed"));
    BenchPrompter prompter;

    // --- download ---
    {
        const QString published = service.dataPath() + "/app/big.bin";
        QDir().mkpath(service.dataPath() + "/app");
        QFile f(published);
        if (f.open(QIODevice::WriteOnly))
            for (int i = 0; i < 100; ++i)
                f.write(randomBlock(1024 * 1024));
        f.close();
        const QByteArray expected = digest(published);
        QTemporaryDir into;
        Runs times, stalls;
        for (int run = 0; run < 3; ++run) {
            QFile::remove(into.filePath("big.bin"));
            DownLoadManager m;
            m.setDownInto(into.path());
            QEventLoop loop;
            QObject::connect(&m, &DownLoadManager::signalReplyFinished, &loop, &QEventLoop::quit);
            QElapsedTimer gap, clock;
            qint64 longest = 0;
            QTimer tick;
            tick.setInterval(5);
            QObject::connect(&tick, &QTimer::timeout, [&] {
                longest = qMax(longest, gap.restart());
            });
            clock.start();
            gap.start();
            tick.start();
            m.downloadFile(QUrl(service.baseUrl() + "app/big.bin"), QString());
            loop.exec();
            const double ms = clock.nsecsElapsed() / 1e6;
            tick.stop();
            const QString why = !m.succeeded() ? m.lastError()
                                : digest(into.filePath("big.bin")) != expected ? QStringLiteral("file differs")
                                                                              : QString();
            times.add(ms, why);
            stalls.add(double(longest), why);
        }
        benchReport(names[0], times, QStringLiteral("ms"), atMost(2000, QStringLiteral("ms")));
        benchReport(names[1], stalls, QStringLiteral("ms"), atMost(50, QStringLiteral("ms")));
    }

    // --- material archive ---
    {
        QTemporaryDir work;
        const QString lib = work.filePath("lib.sdb");
        const QString zipPath = work.filePath("m.zip");
        bool made = makeLibrary(lib);
        if (made) {
            qompress::QZipFile zip(zipPath);
            QFile in(lib);
            made = zip.open(qompress::QZipFile::WriteOnly) && in.open(QIODevice::ReadOnly) &&
                   zip.addFile("Inkboat_Material.sdb", &in);
            zip.close();
        }
        const QByteArray expected = digest(lib);
        Runs runs;
        for (int run = 0; run < 2 && made; ++run) {
            QElapsedTimer clock;
            clock.start();
            QString why;
            try {
                installMaterialUpgrade(zipPath, g_App.appDataPath());
            } catch (const Exception &e) {
                why = e.message();
            }
            const double ms = clock.nsecsElapsed() / 1e6;
            if (why.isEmpty() && digest(g_App.appDataPath() + "Inkboat_Material.sdb") != expected)
                why = QStringLiteral("installed file differs");
            runs.add(ms, why);
        }
        if (!made)
            runs.fail(QStringLiteral("the archive could not be made"));
        benchReport(names[2], runs, QStringLiteral("ms"), atMost(2000, QStringLiteral("ms")));
    }

    // --- refused port ---
    {
        qputenv("INKBOAT_SERVICE_URL", "http://127.0.0.1:1/");
        Runs runs;
        for (int run = 0; run < 10; ++run) {
            QElapsedTimer clock;
            clock.start();
            const int level = upgrade::check(upgrade::App).level;
            runs.add(clock.nsecsElapsed() / 1e6, level == -1 ? QString() : QStringLiteral("level %1").arg(level));
        }
        benchReport(names[3], runs, QStringLiteral("ms"), atMost(100, QStringLiteral("ms")));
    }
    // --- close with a service that accepts and never answers ---
    {
        const auto waitFor = [](const std::function<bool()> &seen) {
            QElapsedTimer clock;
            clock.start();
            while (!seen() && clock.elapsed() < 10000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            return seen();
        };
        g_SysParams.autoUpgrade = true;
        publishSysParams();
        Runs joins, quits;
        for (int run = 0; run < 3; ++run) {
            QTcpServer blackHole;
            blackHole.listen(QHostAddress::LocalHost);
            qputenv("INKBOAT_SERVICE_URL", QStringLiteral("http://127.0.0.1:%1/").arg(blackHole.serverPort()).toUtf8());
            QList<QThread *> threads;
            for (const auto job : {&CommonThreadWorker::appInitWorker, &CommonThreadWorker::heartbeatWorker,
                                   &CommonThreadWorker::loopProcWorker}) {
                auto *thread = new QThread;
                auto *worker = new CommonThreadWorker;
                worker->timing.startPauseMs = 0;
                worker->moveToThread(thread);
                QObject::connect(thread, &QThread::finished, worker, &QObject::deleteLater);
                thread->start();
                QMetaObject::invokeMethod(worker, job);
                threads << thread;
            }
            // Timed only once the start-up job waits in its call.
            const bool stuck = waitFor([&] { return blackHole.hasPendingConnections(); });
            QElapsedTimer clock;
            clock.start();
            const bool joined = WorkerHost::stopThreads(threads, 5000);
            const double ms = clock.nsecsElapsed() / 1e6;
            joins.add(ms, !stuck    ? QStringLiteral("no worker reached the service")
                          : !joined ? QStringLiteral("a thread was still running after 5 s")
                                    : QString());
            if (joined)
                qDeleteAll(threads);
            while (blackHole.hasPendingConnections())
                delete blackHole.nextPendingConnection();

            clock.start();
            clientinfo::postClientInfo(false, 3000);
            const double quitMs = clock.nsecsElapsed() / 1e6;
            const bool sent = waitFor([&] { return blackHole.hasPendingConnections(); });
            quits.add(quitMs, sent ? QString() : QStringLiteral("the call never reached the service"));
        }
        benchReport(names[4], joins, QStringLiteral("ms"), atMost(1000, QStringLiteral("ms")));
        benchReport(names[5], quits, QStringLiteral("ms"), atMost(3500, QStringLiteral("ms")));
    }
    g_App.deinit();
    return benchExitCode();
}
