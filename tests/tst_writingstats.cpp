// Words written per day from the chapters' day rows: growth, streaks and totals over a real log.
#include "BookTestCase.h"
#include "Columns.h"

#include "book/WritingStats.h"

#include <numeric>

using namespace WritingStats;

namespace {

const QDate kFirst(2026, 3, 1);

// "chapter|day|WordCount1|WordCount2", day counted from kFirst; an empty WordCount2 stays NULL
// like the rows written before the written count was stored.
void logRows(const QStringList &rows)
{
    for (const QString &r : rows) {
        const QStringList f = r.split('|');
        execPrepared("INSERT INTO L.BookLog(ID,BookID,ADate,WordCount1,WordCount2) VALUES(?,?,?,?,?)",
                     {newGuid(), f[0], kFirst.addDays(f[1].toInt()).toString(Qt::ISODate), f[2].toInt(),
                      f[3].isEmpty() ? QVariant(QVariant::Int) : QVariant(f[3].toInt())});
    }
}

} // namespace

class TestWritingStats : public BookTestCase
{
    Q_OBJECT
private slots:

    void growthPerDay_data()
    {
        // firstDay: from kFirst
        // growth: every day from the first to the last row
        COLUMNS(QStringList, rows, int, firstDay, QVector<int>, growth);
        using G = QVector<int>;
        QTest::newRow("new chapter counts from zero") << QStringList{"C1|0|130|100"} << 0 << G{100};
        QTest::newRow("growing") << QStringList{"C1|0|130|100", "C1|1|300|250"} << 0 << G{100, 150};
        QTest::newRow("shrinking is negative") << QStringList{"C1|0|130|100", "C1|1|70|60"} << 0 << G{100, -40};
        QTest::newRow("two chapters on one day") << QStringList{"C1|2|9|5", "C2|2|99|80", "C1|3|9|7"} << 2 << G{85, 2};
        QTest::newRow("gap of days") << QStringList{"C1|0|130|100", "C1|4|150|130"} << 0 << G{100, 0, 0, 0, 30};
        // Saved at 23:59 and again at 00:01: one row each day, the second counts only the two minutes.
        QTest::newRow("day crossing midnight") << QStringList{"C4|5|600|500", "C4|6|630|520"} << 5 << G{500, 20};
        QTest::newRow("deleted chapter keeps its history") << QStringList{"C3|0|50|40", "DEL|0|30|30", "DEL|1|10|10"}
                                                           << 0 << G{70, -20};
        // Between rows without the written count the growth is counted in characters.
        QTest::newRow("older rows") << QStringList{"C2|0|60|", "C2|1|90|80", "C2|2|100|85", "C3|1|40|"} << 0 << G{60, 70, 5};
    }

    void growthPerDay()
    {
        FETCH(QStringList, rows, int, firstDay, QVector<int>, growth);
        execSql("UPDATE BookTree SET Flag='D' WHERE ID='C3'");
        logRows(rows);
        const History h = History::load();
        QCOMPARE(h.firstDay(), kFirst.addDays(firstDay));
        QCOMPARE(h.growthPerDay(h.firstDay(), h.lastDay()), growth);
        // Today's count in the status bar reads only the rows it needs.
        QVector<int> oneDay;
        for (QDate day = h.firstDay(); day <= h.lastDay(); day = day.addDays(1))
            oneDay << History::loadDay(day).growthOn(day);
        QCOMPARE(oneDay, growth);
        QCOMPARE(h.total(), std::accumulate(growth.begin(), growth.end(), qint64(0)));
    }

    void chaptersAndTotals()
    {
        execSql("UPDATE BookTree SET Flag='D' WHERE ID='C3'");
        logRows({"C1|0|130|100", "C2|0|20|20", "C3|0|50|40", "GONE|0|9|9", "C1|1|300|250", "C4|1|80|80",
                 "C1|2|200|90"});
        const History h = History::load();
        QStringList day0;
        for (const ChapterGrowth &c : h.chaptersOn(kFirst))
            day0 << QString("%1/%2/%3/%4/%5").arg(c.title, c.bookTitle).arg(c.growth).arg(c.count).arg(c.deleted);
        QCOMPARE(day0.join(' '), QString("章一/书一/100/100/0 章三/书一/40/40/1 章二/书一/20/20/0 //9/9/1"));
        QCOMPARE(h.chaptersOn(kFirst.addDays(2)).first().growth, -160);
        QVERIFY(h.chaptersOn(kFirst.addDays(3)).isEmpty() && !h.isEmpty());
        QStringList books;
        for (const BookTotal &t : h.bookTotals())
            books << QString("%1=%2/%3").arg(t.bookId).arg(t.growth).arg(t.days);
        QCOMPARE(books.join(' ') + QString(" total %1").arg(h.total()), QString("B1=230/3 =9/1 total 239"));
        clearBookTables();
        QVERIFY(History::load().isEmpty());
    }

    void streaks_data()
    {
        // growth: per day from kFirst; "-" = no row that day
        // today: from kFirst
        COLUMNS(QString, growth, int, target, int, today, QString, streak); // streak: current/longest
        const QString week = "100,-,300,300,50,300,300";
        QTest::newRow("no target: any writing") << week << 0 << 6 << "5/5";
        QTest::newRow("target met") << week << 300 << 6 << "2/2";
        QTest::newRow("today not written yet") << week << 300 << 7 << "2/2";
        QTest::newRow("yesterday missed") << week << 300 << 8 << "0/2";
        QTest::newRow("today below target so far") << week << 300 << 4 << "2/2";
        QTest::newRow("a shortening day breaks it") << "100,-30,100" << 0 << 2 << "1/1";
        QTest::newRow("no history") << "" << 0 << 0 << "0/0";
    }

    void streaks()
    {
        FETCH(QString, growth, int, target, int, today, QString, streak);
        int count = 0;
        QStringList rows;
        const QStringList days = growth.split(',', Qt::SkipEmptyParts);
        for (int i = 0; i < days.size(); ++i) {
            if (days[i] == "-")
                continue;
            count += days[i].toInt();
            rows << QString("C1|%1|%2|%2").arg(i).arg(count);
        }
        logRows(rows);
        const Streaks s = History::load().streaks(target, kFirst.addDays(today));
        QCOMPARE(QString("%1/%2").arg(s.current).arg(s.longest), streak);
    }

};

QTEST_GUILESS_MAIN(TestWritingStats)
#include "tst_writingstats.moc"
