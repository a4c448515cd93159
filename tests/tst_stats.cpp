// Writing progress on screen: the statistics window over a crafted log, and the daily target in
// the status bar while the author types and saves.
#include "BookHost.h"
#include "BookTestCase.h"

#include "book/WritingStats.h"
#include "frame/Toast.h"
#include "params/SysParams.h"
#include "stats/WritingStatsController.h"
#include "stats/WritingStatsWindow.h"

#include <QBarSet>
#include <QChart>
#include <QLineSeries>
#include <QStackedBarSeries>
#include <QtWidgets>

using namespace QtCharts;

namespace {

void logRow(const QString &chapter, const QDate &day, int written)
{
    execPrepared("INSERT INTO L.BookLog(ID,BookID,ADate,WordCount1,WordCount2) VALUES(?,?,?,?,?)",
                 {newGuid(), chapter, day.toString(Qt::ISODate), written, written});
}

// Counts the widgets born under an object (the toasts shown over it), however long they live.
class ChildCounter : public QObject
{
public:
    int count = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::ChildAdded && static_cast<QChildEvent *>(event)->child()->isWidgetType())
            ++count;
        return false;
    }
};

} // namespace

class TestStats : public BookTestCase
{
    Q_OBJECT
private slots:
    void init()
    {
        BookTestCase::init();
        g_SysParams.dailyWordTarget = 0;
    }

    // Per day the growth of all chapters, a shortened day below the axis; the day's chapters and
    // the books' totals beside it.
    void windowShowsTheLastThirtyDays()
    {
        const QDate today = QDate::currentDate();
        // Day -40 is before the chart (in the heat map); day -1 shortens 章一.
        for (const auto &r : std::initializer_list<std::tuple<const char *, int, int>>{
                 {"C1", -40, 500}, {"C1", -29, 800}, {"C2", -29, 100}, {"C1", -3, 1200}, {"C1", -1, 1000}, {"C3", 0, 2500}})
            logRow(std::get<0>(r), today.addDays(std::get<1>(r)), std::get<2>(r));
        ScriptedPrompter prompts;
        WritingStatsWindow w;
        w.showHistory(WritingStats::History::load(), today, 2000);

        auto *bars = qobject_cast<QStackedBarSeries *>(w.chart()->series().value(0));
        QVERIFY(bars);
        QList<int> values;
        for (int i = 0; i < bars->barSets()[0]->count(); ++i)
            values << int(bars->barSets()[0]->at(i) + bars->barSets()[1]->at(i));
        QList<int> expected; // chart day (29 = today) -> growth, zero on every other day
        for (int i = 0; i < WritingStatsWindow::kChartDays; ++i)
            expected << QMap<int, int>{{0, 800 - 500 + 100}, {26, 1200 - 800}, {28, -200}, {29, 2500}}.value(i);
        QCOMPARE(values, expected);
        QCOMPARE(bars->barSets()[1]->at(28), -200.0); // a shortened day is drawn below the axis
        auto *line = qobject_cast<QLineSeries *>(w.chart()->series().value(1));
        QVERIFY(line && line->isVisible() && line->at(0).y() == 2000.0);

        auto *day = w.findChild<QTableWidget *>("tableDay");
        auto *books = w.findChild<QTableWidget *>("tableBooks");
        QCOMPARE(w.selectedDay(), today);
        QCOMPARE(QString("%1|%2|%3|%4").arg(day->rowCount()).arg(day->item(0, 0)->text(), day->item(0, 2)->text(),
                                                                  books->item(books->rowCount() - 1, 1)->text()),
                 QString("1|章三|2,500|3,600"));
        QVERIFY(w.findChild<QLabel *>("labelSummary")->text().contains("今日目标 2,000 字已达成"));

        clearBookTables();
        w.reload();
        QCOMPARE(w.findChild<QStackedWidget *>()->currentIndex(), 0); // the "no history" page
    }

    // Today's count follows typing within a second, saving does not count twice, the target's
    // notice comes once a day.
    void statusBarFollowsTypingAndSaving()
    {
        logRow("C1", QDate::currentDate().addDays(-1), WritingStats::writtenCount("章一"));
        g_SysParams.dailyWordTarget = 10;
        BookHost host;
        QLabel label;
        WritingStatsController stats(host.book, host.editor, &label, &host.window);
        host.select("C1");
        QCOMPARE(label.text(), QString("今日：0 / 10 字"));
        host.type("一二三，abc");
        // Counting waits for the next second: typing is never slowed by it.
        QCOMPARE(label.text(), QString("今日：0 / 10 字"));
        QTRY_COMPARE(label.text(), QString("今日：6 / 10 字"));
        QVERIFY(host.book->saveArticle());
        QCOMPARE(label.text(), QString("今日：6 / 10 字"));
        ChildCounter toasts;
        host.window.installEventFilter(&toasts);
        host.type("四五六七");
        QTRY_COMPARE(label.text(), QString("今日：10 / 10 字"));
        QCOMPARE(toasts.count, 1);
        QVERIFY(host.window.findChild<Toast *>()->text().contains("今日目标达成"));
        QVERIFY(host.book->saveArticle());
        host.type("八");
        QTRY_COMPARE(label.text(), QString("今日：11 / 10 字"));
        QCOMPARE(toasts.count, 1); // once a day
        // Started again with the target met: the count shows, the toast does not come back.
        QLabel again;
        WritingStatsController restarted(host.book, host.editor, &again, &host.window);
        restarted.refresh();
        QCOMPARE(again.text(), QString("今日：10 / 10 字"));
        QCOMPARE(toasts.count, 1);
        g_SysParams.dailyWordTarget = 0;
        stats.followTarget();
        QVERIFY(label.isHidden());
    }

};

QTEST_MAIN(TestStats)
#include "tst_stats.moc"
