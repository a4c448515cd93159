// The web client against a private instance of the service: round trip, stop latency, parallel
// heartbeats and sign-in.
#include "BenchSupport.h"
#include "TestService.h"
#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "cloud/WebClient.h"
#include "params/SysParams.h"
#include "storage/Database.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(p * (v.size() - 1) + 0.5))];
}

const QStringList kTlsNames{"new https connection, full handshake", "new https connection, resumed session",
                            "new https connection, resumed against full", "new https connections resuming a session"};

// Under server/tests/with-service.sh on the stack (nginx + TLS): calls on new connections, by turns
// with a full handshake and resuming the session of the call before. Each call runs in a thread of
// its own (each keeps its own connection); nginx's log must show each session as full or resumed.
int tlsHandshakes()
{
    const QString base = qEnvironmentVariable("INKBOAT_TEST_TLS_BASE");
    QFile log(qEnvironmentVariable("INKBOAT_TEST_STACK") + QStringLiteral("/nginx/inkboat-access.log"));
    if (base.isEmpty() || !log.open(QIODevice::ReadOnly))
        return benchFailAll(kTlsNames, QStringLiteral("no TLS stack"));
    const QList<QSslCertificate> ca = QSslCertificate::fromPath(qEnvironmentVariable("INKBOAT_TEST_CA"));
    const QString url = base + QStringLiteral("/index.php?g=Inkboat&m=WebApi&a=eshoplinks");
    const QString plain = qEnvironmentVariable("INKBOAT_TEST_BASE") + QStringLiteral("/index.php?g=Inkboat&m=WebApi&a=eshoplinks");
    const auto loggedLines = [&log] { return QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts); };
    loggedLines();
    const int pairs = 20;
    QVector<double> ms;
    QStringList whys;
    for (int i = 0; i < 2 * pairs; ++i) {
        if (i % 2 == 0)
            web::setExtraCaCertificates(ca); // a change of trust drops the kept session
        double elapsed = 0;
        QString why;
        QThread *thread = QThread::create([&] {
            QElapsedTimer t;
            try {
                // the thread's manager set up first, over plain http: only the new connection is timed
                web::webRequest(plain, QString(), "get", web::kTimeoutMs);
                t.start();
                const ApiLinkResponse r = web::callApi<ApiLinkResponse>(url, QString(), "get", web::kTimeoutMs);
                if (r.head.errCode != QLatin1String("0"))
                    why = r.head.errInfo;
            } catch (const Exception &e) {
                why = e.message();
            }
            elapsed = t.isValid() ? t.nsecsElapsed() / 1e6 : 0;
        });
        thread->start();
        thread->wait();
        delete thread;
        ms << elapsed;
        whys << why;
    }
    // nginx writes its line just after the answer
    QStringList lines;
    QElapsedTimer waited;
    waited.start();
    while ((lines += loggedLines()).size() < 4 * pairs && waited.elapsed() < 5000)
        QThread::msleep(10);
    QStringList marks; // of the https calls (a plain http one logs "-")
    for (const QString &line : lines)
        if (line.section(' ', 10, 10) != QLatin1String("-"))
            marks << line.section(' ', 10, 10);
    Runs full, resumed;
    for (int i = 0; i < 2 * pairs; ++i) {
        const QString mark = i < marks.size() ? marks.at(i) : QStringLiteral("no log line");
        const QString expected = i % 2 ? QStringLiteral("r") : QStringLiteral(".");
        const QString why = !whys.at(i).isEmpty() ? whys.at(i)
                            : mark != expected     ? QStringLiteral("nginx logged session \"%1\", not \"%2\"").arg(mark, expected)
                                                   : QString();
        (i % 2 ? resumed : full).add(ms.at(i), why);
    }
    // The saving is a millisecond or so of a call's time on loopback, lost in the noise of a busy
    // machine: the times are figures to compare, the verdict is that every session was resumed.
    benchNote(kTlsNames.at(0), full, QStringLiteral("ms"));
    benchNote(kTlsNames.at(1), resumed, QStringLiteral("ms"));
    benchNote(kTlsNames.at(2), pairRatios(resumed, full), QStringLiteral("x"));
    benchReport(kTlsNames.at(3), resumed.counted(), QStringLiteral("of %1").arg(pairs),
                Target{QStringLiteral("all %1").arg(pairs), [pairs](double n) { return n == pairs; }});
    return benchExitCode();
}

// Runs tlsHandshakes() in this program again under the test stack, its lines passed on; whether
// it passed.
bool tlsHandshakesOnStack(const QString &program)
{
    QProcess stack;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("INKBOAT_TEST_BACKEND"), QStringLiteral("stack"));
    stack.setProcessEnvironment(env);
    stack.setProcessChannelMode(QProcess::MergedChannels);
    stack.start(QStringLiteral(INKBOAT_SOURCE_DIR "/server/tests/with-service.sh"),
                {program, QStringLiteral("--tls-handshakes")});
    const bool ended = stack.waitForFinished(300000);
    const QByteArray out = stack.readAll();
    fputs(out.constData(), stdout);
    fflush(stdout);
    for (const QString &name : kTlsNames)
        if (!out.contains((name + ':').toUtf8()))
            benchFail(name, ended ? QStringLiteral("the run on the stack ended without it")
                                  : QStringLiteral("the run on the stack did not end"));
    return ended && stack.exitStatus() == QProcess::NormalExit && stack.exitCode() == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (app.arguments().contains(QStringLiteral("--tls-handshakes")))
        return tlsHandshakes();
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    QTemporaryDir dir;
    useProfileRoot(dir.path());
    const QStringList names{"webRequest round trip", "stop of a waiting call", "20 threads heartbeating",
                            "sign-in"};
    const QString missing = missingSqlDriver(sqlDriverName());
    if (!missing.isEmpty())
        return benchFailAll(names, missing);
    TestService service;
    if (!service.start())
        return benchFailAll(names, QStringLiteral("the web service did not start"));
    if (!g_App.init())
        return benchFailAll(names, QStringLiteral("App::init failed"));
    BenchPrompter prompter;

    // --- round trip ---
    {
        const QString url = web::apiUrl() + web::kEshopLinks;
        std::vector<double> times;
        Runs trips;
        for (int i = 0; i < 300; ++i) {
            QElapsedTimer t;
            t.start();
            QString why;
            try {
                const ApiLinkResponse r = web::callApi<ApiLinkResponse>(url, QString(), "get", web::kTimeoutMs);
                if (r.head.isError)
                    why = r.head.errInfo;
            } catch (const Exception &e) {
                why = e.message();
            }
            const double ms = t.nsecsElapsed() / 1e6;
            if (trips.add(ms, why))
                times.push_back(ms);
        }
        benchReport(QStringLiteral("webRequest round trip, median"), trips, QStringLiteral("ms"),
                    below(10, QStringLiteral("ms")));
        benchReport(QStringLiteral("webRequest round trip, p95"), percentile(times, 0.95), QStringLiteral("ms"),
                    below(25, QStringLiteral("ms")), trips.ok() ? QString() : trips.failure());
    }

    // --- a call to a socket that never answers, stopped ---
    {
        QTcpServer silent;
        silent.listen(QHostAddress::LocalHost, 0);
        const QString url = QStringLiteral("http://127.0.0.1:%1/never").arg(silent.serverPort());
        Runs stops;
        for (int i = 0; i < 5; ++i) {
            std::atomic<bool> aborted{false};
            QThread *thread = QThread::create([&] {
                try {
                    web::webRequest(url, QString(), QStringLiteral("get"), web::kTimeoutMs);
                } catch (const EAbort &) {
                    aborted = true;
                } catch (...) {
                }
            });
            thread->start();
            QThread::msleep(300);
            QElapsedTimer t;
            t.start();
            thread->requestInterruption();
            const bool ended = thread->wait(10000);
            stops.add(t.nsecsElapsed() / 1e9, !ended          ? QStringLiteral("the call did not end")
                                              : !aborted.load() ? QStringLiteral("no EAbort")
                                                                : QString());
            if (ended)
                delete thread;
        }
        benchReport(QStringLiteral("stop of a waiting call"), stops, QStringLiteral("s"), below(0.5, QStringLiteral("s")));
    }

    // --- 20 threads heartbeating for 30 s ---
    const QString user = QStringLiteral("bench%1").arg(QDateTime::currentMSecsSinceEpoch());
    g_App.account().registerUser(user, QStringLiteral("secret1"), QStringLiteral("bench@example.com"), true);
    {
        if (!g_App.account().login(user, QStringLiteral("secret1"), true))
            return benchFail(QStringLiteral("20 threads heartbeating"), QStringLiteral("sign-in failed"));
        const Session s = g_App.account().session();
        const QString url = web::apiUrl() + QString::fromLatin1(web::kHeartbeat)
                                                .arg(s.uid, web::urlEncode(s.username), s.sid, Ink::appVersion());
        std::atomic<int> calls{0}, failures{0};
        QElapsedTimer clock;
        clock.start();
        std::vector<std::thread> threads;
        for (int i = 0; i < 20; ++i)
            threads.emplace_back([&] {
                while (clock.elapsed() < 30000) {
                    try {
                        const ApiHeartbeatResponse r =
                            web::callApi<ApiHeartbeatResponse>(url, QString(), QStringLiteral("get"), web::kTimeoutMs);
                        if (r.head.errCode != QLatin1String("0"))
                            ++failures;
                    } catch (...) {
                        ++failures;
                    }
                    ++calls;
                }
            });
        for (auto &t : threads)
            t.join();
        const double seconds = clock.elapsed() / 1000.0;
        benchReport(QStringLiteral("20 threads heartbeating for 30 s, failures"), failures.load(), QString(),
                    atMost(0), calls.load() == 0 ? QStringLiteral("no calls") : QString());
        benchNote(QStringLiteral("20 threads heartbeating, calls per second"), calls.load() / seconds,
                  QStringLiteral("calls/s"));
    }

    // --- sign-in ---
    {
        const Runs signIns = timeRuns(
            10, [&] { g_App.account().login(user, QStringLiteral("secret1"), true); },
            [] { return g_App.account().session().isLogined ? QString() : QStringLiteral("not signed in"); },
            [] { g_App.account().clearSession(); });
        benchNote(QStringLiteral("sign-in, median"), signIns, QStringLiteral("ms"));
    }
    g_App.deinit();
    const bool tlsPassed = tlsHandshakesOnStack(app.applicationFilePath());
    return tlsPassed ? benchExitCode() : 1;
}
