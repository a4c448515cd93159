// Upgrades: a 100 MB download from the local service (with the longest stall of the event loop
// meanwhile), a 100 MB material archive staged, checked and renamed, and a check against a port
// nobody listens on.
#include "BenchSupport.h"
#include "TestService.h"
#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "cloud/DownLoadManager.h"
#include "cloud/QZipFile.h"
#include "cloud/Upgrade.h"
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
#include <QTemporaryDir>
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
                            "check against a refused port"};
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
    g_App.deinit();
    return benchExitCode();
}
