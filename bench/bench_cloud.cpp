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

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
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
    g_App.registerUser(user, QStringLiteral("secret1"), QStringLiteral("bench@example.com"), true);
    {
        if (!g_App.login(user, QStringLiteral("secret1"), true))
            return benchFail(QStringLiteral("20 threads heartbeating"), QStringLiteral("sign-in failed"));
        const Session s = g_App.session();
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
            10, [&] { g_App.login(user, QStringLiteral("secret1"), true); },
            [] { return g_App.session().isLogined ? QString() : QStringLiteral("not signed in"); },
            [] { g_App.clearSession(); });
        benchNote(QStringLiteral("sign-in, median"), signIns, QStringLiteral("ms"));
    }
    g_App.deinit();
    return benchExitCode();
}
