// The writing statistics window on five years of history: 2,000 chapters written over 1,800 days,
// ten chapter rows a day (the chapters being written and older ones revised).
#include "BenchSupport.h"

#include "app/App.h"
#include "app/Constants.h"
#include "book/WritingStats.h"
#include "params/SysParams.h"
#include "stats/WritingStatsWindow.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QApplication>
#include <QBarSet>
#include <QChart>
#include <QHash>
#include <QRandomGenerator>
#include <QSet>
#include <QStackedBarSeries>
#include <QTemporaryDir>

#include <memory>

namespace {

constexpr int kChapters = 2000;
constexpr int kDays = 1800;
constexpr int kRowsPerDay = 10;

struct Generated {
    qint64 total = 0;
    int today = 0;
};

Generated fillHistory()
{
    Transaction tx;
    QSqlQuery q(g_App.db());
    q.prepare("INSERT INTO BookTree(ID,pID,NodeType,Level,Sort,Title,Category,Flag,Usn,Synced) "
              "VALUES(?,?,?,?,?,?,'Book','A',0,0)");
    auto node = [&q](const QString &id, const QString &pid, int type, int sort, const QString &title) {
        q.addBindValue(id);
        q.addBindValue(pid);
        q.addBindValue(type);
        q.addBindValue(type - 1);
        q.addBindValue(sort);
        q.addBindValue(title);
        q.exec();
    };
    node("B", QString(), 1, 1, QStringLiteral("长篇"));
    for (int v = 0; v < kChapters / 100; ++v) {
        node(QStringLiteral("V%1").arg(v), "B", 2, v + 1, QStringLiteral("第%1卷").arg(v + 1));
        for (int c = 0; c < 100; ++c)
            node(QStringLiteral("C%1").arg(v * 100 + c), QStringLiteral("V%1").arg(v), 3, c + 1,
                 QStringLiteral("第%1章").arg(v * 100 + c + 1));
    }
    QSqlQuery log(g_App.db());
    log.prepare("INSERT INTO L.BookLog(ID,BookID,ADate,WordCount1,WordCount2,Synced) VALUES(?,?,?,?,?,1)");
    QVector<int> counts(kChapters, 0);
    QRandomGenerator random(26);
    Generated g;
    const QDate today = QDate::currentDate();
    for (int d = 0; d < kDays; ++d) {
        const QDate day = today.addDays(d - kDays + 1);
        const int current = qMin(kChapters - 1, d * kChapters / kDays);
        QSet<int> chapters{current, qMax(0, current - 1)};
        while (chapters.size() < kRowsPerDay)
            chapters.insert(int(random.bounded(current + kRowsPerDay)) % kChapters);
        int dayGrowth = 0;
        for (int c : chapters) {
            const int change = c >= current - 1 ? int(random.bounded(3000)) : int(random.bounded(400)) - 200;
            const int before = counts[c];
            counts[c] = qMax(0, counts[c] + change);
            dayGrowth += counts[c] - before;
            log.addBindValue(newGuid());
            log.addBindValue(QStringLiteral("C%1").arg(c));
            log.addBindValue(day.toString(Qt::ISODate));
            log.addBindValue(counts[c] + counts[c] / 8);
            log.addBindValue(counts[c]);
            log.exec();
        }
        if (d == kDays - 1)
            g.today = dayGrowth;
    }
    for (int c : counts)
        g.total += c;
    tx.commit();
    return g;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    QTemporaryDir dir;
    useProfileRoot(dir.path());
    g_SysParams.autoBackupDb = false;
    const QString name = QStringLiteral("writing stats: window opened on 5 years, %1 chapters, %2 rows (median)")
                             .arg(kChapters)
                             .arg(kDays * kRowsPerDay);
    const QString missing = missingSqlDriver(sqlDriverName());
    if (!missing.isEmpty())
        return benchFail(name, missing);
    if (!g_App.init())
        return benchFail(name, QStringLiteral("App::init failed"));
    g_SysParams.autoBackupDb = false;
    g_SysParams.dailyWordTarget = 3000;
    const Generated expected = fillHistory();

    std::unique_ptr<WritingStatsWindow> window;
    PaintCounter paints;
    const Runs runs = timeRuns(
        7,
        [&] {
            window.reset(new WritingStatsWindow);
            window->installEventFilter(&paints);
            window->reload();
            window->show();
            for (int i = 0; i < 100 && paints.paints == 0; ++i)
                QApplication::processEvents();
        },
        [&] {
            if (paints.paints == 0)
                return QStringLiteral("the window was not painted");
            auto *bars = qobject_cast<QtCharts::QStackedBarSeries *>(window->chart()->series().value(0));
            if (!bars || bars->barSets().size() != 2 || bars->barSets()[0]->count() != WritingStatsWindow::kChartDays)
                return QStringLiteral("the chart does not have %1 bars").arg(WritingStatsWindow::kChartDays);
            const int shown = int(bars->barSets()[0]->at(WritingStatsWindow::kChartDays - 1) +
                                  bars->barSets()[1]->at(WritingStatsWindow::kChartDays - 1));
            if (shown != expected.today)
                return QStringLiteral("today shows %1, written %2").arg(shown).arg(expected.today);
            const qint64 total = WritingStats::History::load().total();
            return total == expected.total ? QString()
                                           : QStringLiteral("total %1, written %2").arg(total).arg(expected.total);
        },
        [&] {
            window.reset();
            paints.paints = 0;
        });
    benchReport(name, runs, "ms", atMost(300, "ms"));
    window.reset();
    return benchExitCode();
}
