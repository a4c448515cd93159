// Earlier texts of chapters: kept compactly, read back exactly, thinned with age, kept by saves.
#include "BookTestCase.h"
#include "Columns.h"
#include "Folders.h"

#include "book/BookStore.h"
#include "book/BookTransfer.h"
#include "book/ChapterHistory.h"
#include "book/TmpSaveFile.h"

namespace {

const QDateTime kNow(QDate(2026, 6, 10), QTime(12, 30)); // a Wednesday

// "2h5m", "8d3h", "100d" before now; a trailing '*' (a named version) is ignored.
QDateTime ago(const QString &age)
{
    qint64 secs = 0;
    for (auto it = QRegularExpression("(\\d+)([dhm])").globalMatch(age); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        secs += m.captured(1).toLongLong() * (m.captured(2) == "d" ? 86400 : m.captured(2) == "h" ? 3600 : 60);
    }
    return kNow.addSecs(-secs);
}

QStringList paragraphs(int from, int count)
{
    QStringList p;
    for (int i = from; i < from + count; ++i)
        p << QStringLiteral("第%1段，李逍遥走进余杭镇的客栈，要了一壶酒。").arg(i);
    return p;
}

} // namespace

class TestHistory : public BookTestCase
{
    Q_OBJECT
private slots:
    void init()
    {
        BookTestCase::init();
        ChapterHistory::setClock(nullptr);
    }

    void versionsReadBackExactly_data()
    {
        // texts: kept in this order, each as plain text and as html
        COLUMNS(QStringList, texts);
        const QStringList base = paragraphs(0, 40);
        QStringList edited = base;
        edited[3] = "改过的第三段。";
        edited.removeAt(20);
        edited.insert(30, "新加的一段");
        QStringList moved = base.mid(20) + base.mid(0, 20);
        QTest::newRow("appended, edited, rewritten, emptied")
            << QStringList{base.mid(0, 10).join('\n'), base.mid(0, 11).join('\n'), edited.join('\n'),
                           paragraphs(100, 40).join('\n'), "", base.join('\n') + "\n\n"};
        QTest::newRow("moved blocks and repeated lines")
            << QStringList{base.join('\n'), moved.join('\n'), (base + base).join('\n'), "\n\n\n", base.join('\n')};
        // Each encoded first, as a book-wide replace does.
        QTest::newRow("encoded beforehand")
            << QStringList{base.join('\n'), edited.join('\n'), moved.join('\n'), base.join('\n')};
        QTest::newRow("mixed scripts and a lone line")
            << QStringList{"Hello 世界", "Hello 世界\nline 2", "x", "x\nx\nx", "😀 emoji 🙂\r\nCRLF"};
    }
    void versionsReadBackExactly()
    {
        FETCH(QStringList, texts);
        QVector<qint64> ids;
        const bool beforehand = QByteArray(QTest::currentDataTag()) == "encoded beforehand";
        const auto html = [](const QString &t) { return "<p>" + QString(t).replace('\n', "</p>\n<p>") + "</p>"; };
        for (const QString &t : texts) {
            using namespace ChapterHistory;
            ids << (beforehand ? keep("C1", html(t), t, encode("C1", html(t), t), "保存", "B") : keep("C1", html(t), t, "保存"));
            QVERIFY(ids.last() > 0);
        }
        for (int i = 0; i < texts.size(); ++i) {
            const ChapterHistory::Text v = ChapterHistory::text(ids[i]);
            QCOMPARE(v.found ? v.plainText + '|' + v.html : "<lost>", texts[i] + '|' + html(texts[i]));
        }
        // Edits against an earlier whole version are stored as differences, not whole again.
        QVERIFY(scalar("SELECT COUNT(*) FROM ChapterHistory WHERE Base<>0").toInt() > 0);
    }

    void sameTextTwiceIsOneVersionUnlessABatchNeedsIt()
    {
        QVERIFY(ChapterHistory::keep("C1", "<p>a</p>", "a") > 0);
        QCOMPARE(ChapterHistory::keep("C1", "<p>a</p>", "a"), 0);
        const qint64 inBatch = ChapterHistory::keep("C1", "<p>a</p>", "a", "全书替换", "B-1");
        QVERIFY(inBatch > 0);
        QVERIFY(ChapterHistory::keep("C2", "<p>b</p>", "b", "全书替换", "B-1") > 0);
        const QVector<ChapterHistory::Version> batch = ChapterHistory::batch("B-1");
        QCOMPARE(batch.size(), 2);
        QCOMPARE(QString("%1 %2 %3").arg(batch[0].id == inBatch).arg(batch[1].chapterId, batch[1].origin),
                 QString("1 C2 全书替换"));
    }

    void thinningByAge_data()
    {
        // fresh: versions within the last minute, before the older ones
        // ages: older versions, newest first
        COLUMNS(int, fresh, QStringList, ages, QStringList, dropped);
        QTest::newRow("the newest 50 are all kept") << 0 << QStringList{"25m", "26m", "27m"} << QStringList{};
        QTest::newRow("past 50 only the last of an hour")
            << 50 << QStringList{"25m", "2h5m", "2h40m", "3h10m"} << QStringList{"25m", "3h10m"};
        QTest::newRow("past 7 days the last of a day")
            << 50 << QStringList{"6d23h", "8d", "8d3h", "9d"} << QStringList{"8d3h"};
        QTest::newRow("past 90 days the last of a week") // 100d is a Monday, 101d and 102d the week before
            << 50 << QStringList{"89d", "100d", "101d", "102d", "200d", "200d1h"} << QStringList{"102d", "200d1h"};
        QTest::newRow("named versions stay")
            << 50 << QStringList{"25m*", "3h10m", "3h20m", "3h30m*", "8d", "8d3h*"} << QStringList{"3h20m"};
    }
    void thinningByAge()
    {
        FETCH(int, fresh, QStringList, ages, QStringList, dropped);
        QVector<ChapterHistory::Version> versions;
        QHash<qint64, QString> ageOf;
        for (int i = 0; i < fresh + ages.size(); ++i) {
            const QString age = i < fresh ? QString() : ages[i - fresh];
            ChapterHistory::Version v;
            v.id = 1000 - i;
            v.time = i < fresh ? kNow.addMSecs(-i * 100) : ago(age);
            v.name = age.endsWith('*') ? "定稿" : "";
            ageOf[v.id] = i < fresh ? "fresh" : QString(age).remove('*');
            versions << v;
        }
        QStringList actual;
        for (qint64 d : ChapterHistory::thinned(versions, kNow))
            actual << ageOf.value(d);
        actual.sort();
        dropped.sort();
        QCOMPARE(actual, dropped);
    }

    // Weeks of writing on a moving clock: thinning removes versions that older ones are stored
    // against, and every version left must read back as it was kept.
    void thinnedHistoryReadsBackOverSimulatedWeeks()
    {
        QDateTime clock(QDate(2026, 1, 5), QTime(9, 0));
        ChapterHistory::setClock([&clock] { return clock; });
        QHash<qint64, QString> kept;
        QStringList text;
        qint64 named = 0;
        Transaction tx; // one commit: the disk is not what is tested
        for (int n = 0; n < 20 * 12; ++n) { // 20 days of 12 saves half an hour apart
            const int day = n / 12, save = n % 12;
            clock = QDateTime(QDate(2026, 1, 5).addDays(day), QTime(9, 0)).addSecs(save * 1800);
            if (save % 5 == 4 && !text.isEmpty())
                text[(day * 7 + save) % text.size()] = QStringLiteral("第%1天改写").arg(day);
            else
                text << paragraphs(day * 100 + save, 1);
            const QString plain = text.join('\n');
            const qint64 id = ChapterHistory::keep("C1", "<p>" + plain + "</p>", plain, "保存");
            kept[id] = plain;
            if (day == 2 && save == 7)
                QVERIFY(ChapterHistory::setName(named = id, "初稿"));
        }
        tx.commit();
        const QVector<ChapterHistory::Version> listed = ChapterHistory::versions("C1");
        QVERIFY(listed.size() >= 50);
        // Thinning runs once in a while: at most a few versions wait for it.
        QVERIFY2(ChapterHistory::thinned(listed, clock).size() <= 10, qPrintable(QString::number(listed.size())));
        QVERIFY(std::any_of(listed.begin(), listed.end(), [named](const auto &v) { return v.id == named && v.name == "初稿"; }));
        for (const ChapterHistory::Version &v : listed) {
            const ChapterHistory::Text t = ChapterHistory::text(v.id);
            QCOMPARE(t.found ? t.plainText : "<lost>", kept[v.id]);
        }
    }

    void deletedChapterKeepsHistoryUntilItsRowIsGone()
    {
        ChapterHistory::keep("C1", "<p>a</p>", "a");
        ChapterHistory::keep("C2", "<p>b</p>", "b");
        BookStore::deleteNode("C1");
        QCOMPARE(ChapterHistory::dropOrphans(), 0);
        execSql("DELETE FROM BookTree WHERE ID='C1'");
        QCOMPARE(QString("%1 %2 %3").arg(ChapterHistory::dropOrphans()).arg(ChapterHistory::versions("C1").size())
                     .arg(ChapterHistory::versions("C2").size()), QString("1 0 1"));
    }

    // Saves, imports and adopted recovery copies keep the text they replace; writing the same text
    // again keeps nothing. An imported chapter's HTML is stale: its version keeps only the plain text.
    void writesKeepTheReplacedText_data()
    {
        COLUMNS(QString, how, QString, origin, QString, html); // html: kept with the second version
        QTest::newRow("unchanged save keeps no version") << "save" << "保存" << "<p>第二稿</p>";
        QTest::newRow("import over a chapter") << "import" << "导入" << "";
        QTest::newRow("recovery copy adopted") << "adopt" << "临时文件" << "";
    }
    void writesKeepTheReplacedText()
    {
        FETCH(QString, how, QString, origin, QString, html);
        auto write = [&how](const QString &text) {
            if (how == "save")
                BookStore::saveChapter("C1", "<p>" + text + "</p>", text);
            if (how == "adopt")
                TmpSaveFile::adopt("C1", text);
            if (how != "import")
                return;
            QTemporaryDir dir;
            writeFiles(dir.path(), {{"书一＃卷一＃章一.txt", "\xEF\xBB\xBF" + text.toUtf8()}});
            BookImport import;
            import.setPath(dir.path());
            import.importFiles();
        };
        write("第二稿");
        write("第二稿"); // unchanged: no version
        write("第三稿");
        const QVector<ChapterHistory::Version> v = ChapterHistory::versions("C1");
        QCOMPARE(v.size(), 2);
        QCOMPARE(v[0].origin + v[1].origin, origin + origin);
        const ChapterHistory::Text first = ChapterHistory::text(v[1].id), second = ChapterHistory::text(v[0].id);
        QCOMPARE(first.plainText + "|" + first.html + "|" + second.plainText + "|" + second.html,
                 "章一|<p>章一</p>|第二稿|" + html);
    }

    void saveWinsWhenHistoryCannotBeWritten()
    {
        execSql("CREATE TEMP TRIGGER no_history BEFORE INSERT ON main.ChapterHistory "
                "BEGIN SELECT RAISE(ABORT, 'disk says no'); END");
        ChapterHistory::takeFailureNotice();
        BookStore::saveChapter("C1", "<p>一</p>", "一");
        BookStore::saveChapter("C1", "<p>二</p>", "二");
        QCOMPARE(plain("C1") + QString::number(ChapterHistory::versions("C1").size()), QString("二0"));
        QVERIFY(ChapterHistory::takeFailureNotice().contains("disk says no"));
        QVERIFY(ChapterHistory::takeFailureNotice().isEmpty()); // shown once
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
