#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <functional>

class Exception;

// Appends one line to logPath + category + yyyyMMdd + ".log" (UTF-8, "\r\n"). Any thread.
// A folder or file that cannot be opened makes it write nothing.
void writeLog(const QString &category, const QString &text, bool withTime = true);
// The trace form of writeLog: discards its text unless trace logging is on
// (off by default; the environment variable INKBOAT_TRACE_LOG=1 or setTraceLogEnabled turn it on).
void writeTraceLog(const QString &category, const QString &text, bool withTime = true);
void setTraceLogEnabled(bool on);
// Debug lines (qDebug) reach stderr only when asked for: the switch "--debug" among the
// arguments or the environment variable INKBOAT_DEBUG=1. Warnings always do.
void configureDebugOutput(const QStringList &arguments);
bool isTraceLogEnabled();
// "发生异常：%1-%2" (code, message) into the "err" file.
void logException(const Exception &e);

// The folder log files go to; empty means AppPaths::current().logPath.
void setLogFolder(const QString &folder);
// Clock of the log (tests move it across midnight); null restores the real clock.
void setLogClock(std::function<QDateTime()> clock);
QString logFileName(const QString &category, const QDate &day);

class PerformanceCounter
{
public:
    PerformanceCounter();
    virtual ~PerformanceCounter();

    float seconds() const { return m_seconds; }
    QDateTime startTime() const { return m_startTime; }
    QDateTime endTime() const { return m_endTime; }

protected:
    // Stops the measurement once; subclasses record the result in stopped().
    void stop();
    virtual void stopped() {}

private:
    QElapsedTimer m_timer;
    QDateTime m_startTime;
    QDateTime m_endTime;
    float m_seconds = 0;
    bool m_stopped = false;
};

// Measures its own scope and writes "<name>，开始时间：…，结束时间：…，总消耗时间：…秒" as a trace line
// of category "per".
class PerformanceLogger final : public PerformanceCounter
{
public:
    explicit PerformanceLogger(const QString &name);
    ~PerformanceLogger() override;

    QString name() const { return m_name; }
    QString record() const;

protected:
    void stopped() override;

private:
    QString m_name;
};
