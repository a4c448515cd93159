#include "log/Log.h"

#include "core/AppPaths.h"
#include "core/Constants.h"
#include "core/Exception.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QStringList>
#include <QMutex>
#include <QMutexLocker>

#include <atomic>

namespace {

QMutex &logMutex()
{
    static QMutex mutex;
    return mutex;
}

std::atomic<int> &traceState()
{
    // -1: not decided yet; read from the environment on first use.
    static std::atomic<int> state{-1};
    return state;
}

struct LogConfig {
    QString folder;
    std::function<QDateTime()> clock;
};

LogConfig &config()
{
    static LogConfig c;
    return c;
}

QDateTime logNow()
{
    QMutexLocker lock(&logMutex());
    return config().clock ? config().clock() : QDateTime::currentDateTime();
}

QString logFolder()
{
    QString folder;
    {
        QMutexLocker lock(&logMutex());
        folder = config().folder;
    }
    if (folder.isEmpty())
        folder = AppPaths::current().logPath;
    if (!folder.isEmpty() && !folder.endsWith(QLatin1Char('/')) && !folder.endsWith(QDir::separator()))
        folder += QLatin1Char('/');
    return folder;
}

} // namespace

void setLogFolder(const QString &folder)
{
    QMutexLocker lock(&logMutex());
    config().folder = folder;
}

void setLogClock(std::function<QDateTime()> clock)
{
    QMutexLocker lock(&logMutex());
    config().clock = std::move(clock);
}

QString logFileName(const QString &category, const QDate &day)
{
    return logFolder() + category + day.toString(QStringLiteral("yyyyMMdd")) + QStringLiteral(".log");
}

void writeLog(const QString &category, const QString &text, bool withTime)
{
    const QDateTime now = logNow();
    const QString folder = logFolder();
    if (folder.isEmpty())
        return;
    const QString fileName = logFileName(category, now.date());
    QByteArray line;
    if (withTime)
        line = (now.toString(Ink::dateTimeMsFormat()) + QLatin1Char(':')).toUtf8();
    line += text.toUtf8();
    line += "\r\n";

    QMutexLocker lock(&logMutex());
    QFile file(fileName);
    const bool created = !file.exists();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    // Log lines name books and chapters: private whatever the umask.
    if (created)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(line);
    file.flush();
    file.close();
}

void configureDebugOutput(const QStringList &arguments)
{
    const bool wanted = qEnvironmentVariableIntValue("INKBOAT_DEBUG") || arguments.contains(QStringLiteral("--debug"));
    // QT_LOGGING_RULES, read after these rules, still wins for whoever sets it.
    QLoggingCategory::setFilterRules(wanted ? QStringLiteral("default.debug=true") : QStringLiteral("default.debug=false"));
}

void setTraceLogEnabled(bool on) { traceState().store(on ? 1 : 0); }

bool isTraceLogEnabled()
{
    int state = traceState().load();
    if (state < 0) {
        state = qEnvironmentVariableIntValue("INKBOAT_TRACE_LOG") ? 1 : 0;
        traceState().store(state);
    }
    return state == 1;
}

void writeTraceLog(const QString &category, const QString &text, bool withTime)
{
    if (isTraceLogEnabled())
        writeLog(category, text, withTime);
}

void logException(const Exception &e)
{
    writeLog(QStringLiteral("err"), QStringLiteral("发生异常：%1-%2").arg(e.code(), e.message()), true);
}

PerformanceCounter::PerformanceCounter() : m_startTime(QDateTime::currentDateTime()) { m_timer.start(); }

PerformanceCounter::~PerformanceCounter() = default;

void PerformanceCounter::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_seconds = float(m_timer.nsecsElapsed() / 1e9);
    m_endTime = QDateTime::currentDateTime();
    stopped();
}

PerformanceLogger::PerformanceLogger(const QString &name) : m_name(name) {}

PerformanceLogger::~PerformanceLogger() { stop(); }

QString PerformanceLogger::record() const
{
    return QStringLiteral("<%1>，开始时间：%2，结束时间：%3，总消耗时间：%4秒")
        .arg(m_name, startTime().toString(Ink::dateTimeMsFormat()), endTime().toString(Ink::dateTimeMsFormat()),
             QString::number(double(seconds()), 'g', 6));
}

void PerformanceLogger::stopped() { writeTraceLog(QStringLiteral("per"), record(), true); }
