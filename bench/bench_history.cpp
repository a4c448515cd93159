// Chapter history: its size after a simulated year of writing, the cost of a save with it,
// opening a history of 500 versions, and a version's diff at 10,000 x 10,000 characters.
#include "BenchSupport.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "book/BookStore.h"
#include "book/ChapterHistory.h"
#include "book/ChapterHistoryDialog.h"
#include "book/LcsDiff.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtConcurrent>

#include <memory>
#include <random>

namespace {

// Text of a web serial: sentences of two-character words with Chinese punctuation.
class Writer
{
public:
    explicit Writer(quint32 seed) : m_rng(seed)
    {
        for (int i = 0; i < 3000; ++i)
            m_words << QString(QChar(ushort(0x4E00 + m_rng() % 3000))) + QChar(ushort(0x4E00 + m_rng() % 3000));
    }
    QString words(int count)
    {
        QString s;
        for (int i = 0; i < count; ++i) {
            s += m_words.at(int(m_rng() % quint32(m_words.size())));
            if (m_rng() % 6 == 0)
                s += (m_rng() % 4 == 0) ? QStringLiteral("。") : QStringLiteral("，");
        }
        return s;
    }
    quint32 next(quint32 n) { return m_rng() % n; }

private:
    std::mt19937 m_rng;
    QStringList m_words;
};

// The editor's HTML of paragraphs, as the rich-text editor writes it: one paragraph a line.
QString htmlOf(const QStringList &paragraphs)
{
    QString h = QStringLiteral(
        "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\" \"http://www.w3.org/TR/REC-html40/strict.dtd\">\n"
        "<html><head><meta name=\"qrichtext\" content=\"1\" /><style type=\"text/css\">\n"
        "p, li { white-space: pre-wrap; }\n</style></head><body style=\" font-family:'宋体'; font-size:12pt; "
        "font-weight:400; font-style:normal;\">\n");
    for (int i = 0; i < paragraphs.size(); ++i) {
        h += QStringLiteral("<p style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; margin-right:0px; "
                            "-qt-block-indent:0; text-indent:0px;\">") +
             paragraphs.at(i) + QStringLiteral("</p>");
        h += i + 1 < paragraphs.size() ? QStringLiteral("\n") : QStringLiteral("</body></html>");
    }
    return h;
}

qint64 scalarInt(const QString &sql) { return execQuery(sql).value(0).value(0).toLongLong(); }

// Bytes of the table and its indexes in the file, or -1 when SQLite cannot say.
qint64 tableBytes()
{
    try {
        return scalarInt(QStringLiteral("SELECT SUM(pgsize) FROM dbstat WHERE name LIKE '%ChapterHistory%'"));
    } catch (const Exception &) {
        return -1;
    }
}

void simulatedYear()
{
    const QString sizeName = QStringLiteral("chapter history: a simulated year (a save every 2 min, 6 h a day), "
                                            "history / book text");
    constexpr int kDays = 365;
    constexpr int kSavesPerDay = 180;
    constexpr int kChapterLength = 3600;
    Writer writer(11);
    QDateTime clock;
    ChapterHistory::setClock([&clock] { return clock; });
    QHash<QString, QStringList> chapters;
    QString current;
    int chapterNo = 0;
    qint64 saves = 0;
    QString why;
    for (int day = 0; day < kDays && why.isEmpty(); ++day) {
        // A day a transaction: 65,700 commits would time the disk, and history never commits alone.
        Transaction tx;
        for (int s = 0; s < kSavesPerDay && why.isEmpty(); ++s) {
            clock = QDateTime(QDate(2025, 1, 1).addDays(day), QTime(9, 0)).addSecs(s * 120);
            QString id = current;
            if (current.isEmpty() || chapters[current].join(QString()).size() >= kChapterLength) {
                current = QStringLiteral("C%1").arg(++chapterNo);
                chapters[current] = QStringList{QStringLiteral("　　") + writer.words(4)};
                id = current;
            } else if (s % 30 == 29 && chapterNo > 1) {
                // Now and then an older chapter is revised.
                id = QStringLiteral("C%1").arg(1 + writer.next(quint32(chapterNo - 1)));
                QStringList &old = chapters[id];
                old[int(writer.next(quint32(old.size())))] = QStringLiteral("　　") + writer.words(40);
            }
            // The text before this save's change is what the save keeps.
            const QStringList &p = chapters[id];
            try {
                ChapterHistory::keep(id, htmlOf(p), p.join(QLatin1Char('\n')), QStringLiteral("保存"));
            } catch (const Exception &e) {
                why = e.message();
            }
            ++saves;
            if (id != current)
                continue;
            if (s % 10 == 9) {
                QStringList &text = chapters[current];
                text[int(writer.next(quint32(text.size())))] += writer.words(3);
            } else if (writer.next(4) == 0) {
                chapters[current] << QStringLiteral("　　") + writer.words(8);
            } else {
                chapters[current].last() += writer.words(9);
            }
        }
        tx.commit();
    }
    ChapterHistory::setClock(nullptr);
    qint64 text = 0, withHtml = 0;
    for (const QStringList &p : qAsConst(chapters)) {
        text += p.join(QLatin1Char('\n')).toUtf8().size();
        withHtml += p.join(QLatin1Char('\n')).toUtf8().size() + htmlOf(p).toUtf8().size();
    }
    const qint64 data = ChapterHistory::storedBytes();
    const qint64 pages = tableBytes();
    const qint64 history = pages > 0 ? pages : data;
    const qint64 versions = scalarInt(QStringLiteral("SELECT COUNT(*) FROM ChapterHistory"));
    // Every chapter's versions must still read back: the oldest of a few chapters is decoded.
    for (int c = 1; c <= chapterNo && why.isEmpty(); c += chapterNo / 7 + 1) {
        const QString id = QStringLiteral("C%1").arg(c);
        const QVector<ChapterHistory::Version> v = ChapterHistory::versions(id);
        if (v.isEmpty() || !ChapterHistory::text(v.last().id).found)
            why = QStringLiteral("the history of %1 does not read back").arg(id);
    }
    if (saves != qint64(kDays) * kSavesPerDay)
        why = QStringLiteral("only %1 saves ran").arg(saves);
    benchReport(sizeName, double(history) / double(text), "x", atMost(3), why);
    benchNote(QStringLiteral("chapter history: the simulated year in figures"), double(versions), "versions",
              QStringLiteral("%1 chapters, %2 saves, plain text %3 KB (with HTML %4 KB), history %5 KB in the "
                             "file with its index (data %6 KB)")
                  .arg(chapterNo)
                  .arg(saves)
                  .arg(text / 1024)
                  .arg(withHtml / 1024)
                  .arg(history / 1024)
                  .arg(data / 1024));
}

// What history adds to the save of a 3,600-character chapter (on the GUI thread in the program):
// the version's work inside the save's transaction, a few words more at each save.
void saveCost()
{
    const QString name = QStringLiteral("chapter history: added to a save of a 3,600-character chapter (median)");
    Writer writer(3);
    QStringList p{writer.words(20)};
    while (p.join(QString()).size() < 3600)
        p << QStringLiteral("　　") + writer.words(60);
    std::unique_ptr<Transaction> tx;
    qint64 id = 0;
    Runs runs = timeRuns(
        60, [&] { id = ChapterHistory::keep(QStringLiteral("S1"), htmlOf(p), p.join(QLatin1Char('\n')), "保存"); },
        [&] {
            tx->commit();
            return id > 0 && ChapterHistory::text(id).plainText == p.join(QLatin1Char('\n'))
                       ? QString()
                       : QStringLiteral("the version does not read back");
        },
        [&] {
            p.last() += writer.words(9);
            tx = std::make_unique<Transaction>();
        });
    benchReport(name, runs, "ms", below(5, "ms", "the version written in the save's transaction"));
}

void openLongHistory()
{
    const QString name = QStringLiteral("chapter history: open a chapter's history of 500 versions (list shown)");
    Writer writer(5);
    execSql(QStringLiteral("INSERT INTO BookTree(ID,pID,NodeType,Level,Sort,Title,Category,Flag) "
                           "VALUES('L500','V',3,2,999,'长章','Book','A')"));
    QStringList p{writer.words(20)};
    QDateTime clock(QDate(2026, 1, 1), QTime(8, 0));
    ChapterHistory::setClock([&clock] { return clock; });
    for (int i = 0; i < 500; ++i) {
        clock = clock.addSecs(3600);
        p.last() += writer.words(4);
        if (i % 5 == 4)
            p << writer.words(4);
        const QString plain = p.join(QLatin1Char('\n'));
        // Named, so that thinning keeps every one of them.
        ChapterHistory::setName(ChapterHistory::keep(QStringLiteral("L500"), htmlOf(p), plain), QStringLiteral("第%1稿").arg(i + 1));
    }
    ChapterHistory::setClock(nullptr);
    const QString current = p.join(QLatin1Char('\n')) + writer.words(10);
    std::unique_ptr<ChapterHistoryDialog> dialog;
    PaintCounter paints;
    const Runs runs = timeRuns(
        7,
        [&] {
            dialog.reset(new ChapterHistoryDialog(QStringLiteral("L500"), current));
            dialog->table()->viewport()->installEventFilter(&paints);
            dialog->show();
            for (int i = 0; i < 100 && paints.paints == 0; ++i)
                QApplication::processEvents();
        },
        [&] {
            const int rows = dialog->table()->model()->rowCount();
            if (paints.paints == 0)
                return QStringLiteral("the list was not painted");
            if (rows != 500)
                return QStringLiteral("the list shows %1 versions, not 500").arg(rows);
            return QString();
        },
        [&] {
            dialog.reset();
            paints.paints = 0;
        });
    benchReport(name, runs, "ms", atMost(150, "ms"));
    dialog.reset();
}

void diffOfLongVersion()
{
    const QString name = QStringLiteral("chapter history: a version's diff at 10,000 x 10,000 characters");
    Writer writer(9);
    execSql(QStringLiteral("INSERT INTO BookTree(ID,pID,NodeType,Level,Sort,Title,Category,Flag) "
                           "VALUES('L10K','V',3,2,1000,'万字章','Book','A')"));
    QStringList p;
    while (p.join(QString()).size() < 10000)
        p << writer.words(60);
    QString old = p.join(QLatin1Char('\n')).left(10000);
    const qint64 id = ChapterHistory::keep(QStringLiteral("L10K"), htmlOf(old.split('\n')), old);
    // Later versions on top, so the one compared is read through differences.
    QStringList later = old.split('\n');
    for (int i = 0; i < 20; ++i) {
        later[int(writer.next(quint32(later.size())))] = writer.words(50);
        ChapterHistory::keep(QStringLiteral("L10K"), htmlOf(later), later.join('\n'));
    }
    const QString current = later.join(QLatin1Char('\n')).left(10000).leftJustified(10000, QChar(0x3002));
    DiffView view;
    const QString version = ChapterHistory::text(id).plainText;
    Runs history, plain;
    for (int i = 0; i < 5; ++i) {
        // The history dialog's work (read the version, then compare) against the recovery
        // dialog's (compare two texts at hand), alternately in the same run.
        history.add(timeRuns(
                        1,
                        [&] {
                            view = QtConcurrent::run([&] {
                                       return compareForView(current, ChapterHistory::text(id).plainText, true, false);
                                   }).result();
                        },
                        [&] {
                            return view.isHtml && view.text.contains(QStringLiteral("background"))
                                       ? QString()
                                       : QStringLiteral("no marked differences came back");
                        })
                        .median());
        plain.add(timeRuns(1, [&] {
                      view = QtConcurrent::run([&] { return compareForView(current, version, true, false); }).result();
                  }).median());
    }
    benchReport(name, history.scaled(1e-3), "s", below(1.5, "s", "as the recovery dialog's, on a pool thread"));
    benchReport(name + QStringLiteral(" / the recovery dialog's diff of the same texts"), pairRatios(history, plain),
                "x", below(1.2, "x"));
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
    const QStringList names{QStringLiteral("chapter history")};
    const QString missing = missingSqlDriver(sqlDriverName());
    if (!missing.isEmpty())
        return benchFailAll(names, missing);
    if (!g_App.init())
        return benchFailAll(names, QStringLiteral("App::init failed"));
    g_SysParams.autoBackupDb = false;
    BenchPrompter prompter;
    simulatedYear();
    saveCost();
    openLongHistory();
    diffOfLongVersion();
    g_App.deinit();
    return benchExitCode();
}
