// Daily log files, trace output and timing records.
#include "Folders.h"
#include "Rows.h"
#include "TestProfile.h"

#include "app/App.h"
#include "app/Exception.h"
#include "log/Log.h"

#include <QtTest>

static QString readAll(const QString &file) { return QString::fromUtf8(readBytes(file)); }

class TestLog : public QObject
{
    Q_OBJECT
private slots:
    void init() { setLogFolder(m_dir.path()); }
    void cleanup()
    {
        setLogClock(nullptr);
        setLogFolder(QString());
        setTraceLogEnabled(false);
        for (const QString &f : QDir(m_dir.path()).entryList(QDir::Files))
            QFile::remove(m_dir.filePath(f));
    }

    // One file per day; code without a window never waits for a click: a request is logged and
    // answered "cancel".
    void oneFilePerDayRequestsWithoutInterfaceCancelled()
    {
        QDateTime now(QDate(2024, 1, 31), QTime(23, 58, 0, 5));
        setLogClock([&] { return now; });
        logException(Exception("第一个", "ERR_QUERY"));
        now = QDateTime(QDate(2024, 1, 31), QTime(23, 59, 59, 999));
        logException(Exception("第二个 %2", "0"));
        writeLog("err", "plain", false);
        now = QDateTime(QDate(2024, 2, 1), QTime(0, 0, 0, 1));
        writeLog("err", "after");
        const QString file = m_dir.path() + "/err20240131.log";
        QCOMPARE(logFileName("err", QDate(2024, 1, 31)), file);
        QCOMPARE(readAll(file), QString("2024-01-31 23:58:00.005:发生异常：ERR_QUERY-第一个\r\n"
                                        "2024-01-31 23:59:59.999:发生异常：0-第二个 %2\r\n"
                                        "plain\r\n"));
        QVERIFY(!g_App.prompter());
        QCOMPARE(g_App.ask("确定删除<新书>吗？"), int(Ink::maCancel));
        g_App.showError("未选择节点！");
        QString dir = m_dir.path();
        QVERIFY(!g_App.chooseDirectory("备份位置", dir) && dir == m_dir.path());
        const QString log = readAll(m_dir.path() + "/err20240201.log");
        QVERIFY2(log.startsWith("2024-02-01 00:00:00.001:after\r\n") && log.contains("确定删除<新书>吗？") && log.contains("未选择节点！"),
                 qPrintable(log));
    }

    void traceAndTimingOnlyWhenSwitchedOnAndNothingWithoutTheFolder()
    {
        writeTraceLog("trace", "hidden");
        { PerformanceLogger hidden("app.init"); }
        QVERIFY(QDir(m_dir.path()).entryList(QDir::Files).isEmpty());
        setTraceLogEnabled(true);
        writeTraceLog("trace", "shown", false);
        QCOMPARE(readAll(logFileName("trace", QDate::currentDate())), QString("shown\r\n"));
        { PerformanceLogger perf("app.init"); }
        const QString time = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}";
        const QString text = readAll(logFileName("per", QDate::currentDate()));
        QVERIFY2(QRegularExpression("^" + time + ":<app\\.init>，开始时间：" + time + "，结束时间：" + time +
                                    "，总消耗时间：[0-9.e-]+秒\r\n$").match(text).hasMatch(),
                 qPrintable(text));
        setLogFolder(m_dir.path() + "/gone");
        writeLog("err", "lost");
        QVERIFY(!QDir(m_dir.path() + "/gone").exists());
    }

    void concurrentWritersKeepLinesWhole()
    {
        std::unique_ptr<QThread> threads[4];
        for (int t = 0; t < 4; ++t) {
            threads[t].reset(QThread::create([t] {
                for (int i = 0; i < 200; ++i)
                    writeLog("mt", QString("thread%1-line%2-%3").arg(t).arg(i).arg(QString(50, 'x')), false);
            }));
            threads[t]->start();
        }
        for (auto &th : threads)
            QVERIFY(th->wait(30000));
        const QString text = readAll(logFileName("mt", QDate::currentDate()));
        QCOMPARE(text.count(QRegularExpression("thread\\d-line\\d+-x{50}\r\n")), 800);
        QCOMPARE(text.count("\r\n"), 800);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
