// Book export and import on a 200 MB profile: a 1,000-chapter book out to a folder, and 1,000
// chapter files in, with the tree shown again.
#include "BenchSupport.h"

#include "app/App.h"
#include "app/Constants.h"
#include "book/BookController.h"
#include "book/BookTransfer.h"
#include "book/MyTextEdit.h"
#include "book/TreeView.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTextDocument>

namespace {

QString chapterText(int length, int seed)
{
    static const QString sentence = QStringLiteral("大漠孤烟直，长河落日圆。他勒住缰绳回望来路，只见黄沙漫漫驼铃声声。");
    QString text = QStringLiteral("第%1段\n").arg(seed);
    while (text.size() < length)
        text += QString(2, Ink::paragraphIndentChar) + sentence + sentence + QLatin1Char('\n');
    text.truncate(length);
    return text;
}

// books × volumes × chapters, every chapter with its text and HTML.
void fillBooks(int books, int volumes, int chapters, int offset)
{
    const QString plain = chapterText(3000, 0);
    QTextDocument doc;
    doc.setPlainText(plain);
    const QString html = doc.toHtml();
    Transaction tx;
    QSqlQuery q(g_App.db());
    q.prepare("INSERT INTO BookTree(ID,pID,NodeType,Level,Sort,Title,Category,rtf,HTML,PlainText,Flag,Usn,Synced,"
              "Created,Updated) VALUES(?,?,?,?,?,?,'Book','',?,?,'A',0,0,'2024-01-01 00:00:00.000',"
              "'2024-01-01 00:00:00.000')");
    auto add = [&q](const QString &id, const QString &pid, int type, int level, int sort, const QString &title,
                    const QString &h, const QString &p) {
        for (const QVariant &v : {QVariant(id), QVariant(pid), QVariant(type), QVariant(level), QVariant(sort),
                                  QVariant(title), QVariant(h), QVariant(p)})
            q.addBindValue(v);
        q.exec();
    };
    for (int b = 0; b < books; ++b) {
        const QString bid = QStringLiteral("B%1").arg(offset + b);
        add(bid, QString(), 1, 0, offset + b + 1, QStringLiteral("书%1").arg(offset + b + 1), QString(), QString());
        for (int v = 0; v < volumes; ++v) {
            const QString vid = newGuid();
            add(vid, bid, 2, 1, v + 1, QStringLiteral("第%1卷").arg(v + 1), QString(), QString());
            for (int c = 0; c < chapters; ++c)
                add(newGuid(), vid, 3, 2, c + 1, QStringLiteral("第%1章").arg(v * chapters + c + 1), html, plain);
        }
    }
    tx.commit();
}

int countRows(const QString &where)
{
    QueryPtr q = openQuery("SELECT COUNT(*) FROM BookTree WHERE " + where);
    return q->next() ? q->value(0).toInt() : -1;
}

void emptyFolder(const QString &folder)
{
    QDir dir(folder);
    dir.removeRecursively();
    QDir().mkpath(folder);
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
    const QStringList names{"book export, 1,000-chapter book of a 200 MB profile",
                            "book import, 1,000 three-level files into a 200 MB profile, tree reload included"};
    const QString missing = missingSqlDriver(sqlDriverName());
    if (!missing.isEmpty())
        return benchFailAll(names, missing);
    if (!g_App.init())
        return benchFailAll(names, QStringLiteral("App::init failed"));
    g_SysParams.autoBackupDb = false;

    // 5 books × 10 volumes × 100 chapters, and one more book that brings the file to about 200 MB.
    fillBooks(5, 10, 100, 0);
    fillBooks(1, 34, 100, 5);
    benchNote("main file size", QFileInfo(g_App.appDataPath() + "Inkboat.sdb").size() / 1048576.0, "MB");

    {
        // Each run into a folder of its own: refilling a folder just emptied times the file
        // system's reuse of freshly freed inodes, which no author's export meets.
        QString outFolder;
        int run = 0;
        BookExport exporter;
        exporter.setStartId("B2");
        const QString sample = chapterText(3000, 0);
        const Runs runs = timeRuns(
            5, [&] { exporter.exportFiles(); },
            [&]() -> QString {
                const int files = QDir(outFolder).entryList(QDir::Files).size();
                if (exporter.count() != 1011 || files != 1011)
                    return QStringLiteral("%1 files counted, %2 in the folder, not 1011").arg(exporter.count()).arg(files);
                QFile f(outFolder + QStringLiteral("书3＃第7卷＃第650章.txt"));
                if (!f.open(QIODevice::ReadOnly) || f.readAll() != sample.toUtf8())
                    return QStringLiteral("a chapter's file does not hold its text");
                return QString();
            },
            [&] {
                outFolder = dir.path() + QStringLiteral("/export-%1/").arg(++run);
                emptyFolder(outFolder);
                exporter.setPath(outFolder);
            });
        benchReport(names[0], runs, "ms", below(2000, "ms"));
    }

    {
        // 10 volumes × 100 chapters of a new book, each file with its own text.
        const QString inFolder = dir.path() + "/import/";
        emptyFolder(inFolder);
        for (int v = 0; v < 10; ++v) {
            for (int c = 0; c < 100; ++c) {
                QFile f(inFolder + QStringLiteral("导入书＃第%1卷＃第%2章.txt").arg(v + 1).arg(v * 100 + c + 1));
                f.open(QIODevice::WriteOnly);
                f.write(chapterText(3000, v * 100 + c + 1).toUtf8());
            }
        }
        QWidget host;
        auto *view = new TreeView(&host);
        auto *editor = new MyTextEdit(&host);
        BookController book(view, editor);
        BenchPrompter prompter; // errors become warnings; questions are answered yes
        book.loadTree();
        BookImport importer;
        importer.setPath(inFolder);
        const Runs runs = timeRuns(
            3,
            [&] {
                importer.importFiles();
                book.loadTree(true);
            },
            [&]() -> QString {
                if (importer.count() != 1000 || !importer.failed().isEmpty())
                    return QStringLiteral("%1 imported, %2 failed").arg(importer.count()).arg(importer.failed().size());
                const QString bookId = [] {
                    QueryPtr q = openQuery("SELECT ID FROM BookTree WHERE Title='导入书' AND Level=0 AND Flag='A'");
                    return q->next() ? q->value(0).toString() : QString();
                }();
                const int chapters =
                    countRows("Attribute1='NEWIMPORT' AND NodeType=3 AND pID IN (SELECT ID FROM BookTree WHERE pID=" +
                              quoteSql(bookId) + ")");
                if (chapters != 1000)
                    return QStringLiteral("%1 chapters in the file, not 1000").arg(chapters);
                QueryPtr q = openQuery("SELECT PlainText FROM BookTree WHERE Title='第777章' AND Attribute1='NEWIMPORT'");
                if (!q->next() || q->value(0).toString() != chapterText(3000, 777))
                    return QStringLiteral("a chapter does not hold its file's text");
                const QModelIndex last = book.model()->index(book.model()->rowCount() - 1, 0);
                if (last.data().toString() != QStringLiteral("导入书") || book.model()->rowCount(last) != 10 ||
                    book.model()->rowCount(book.model()->index(9, 0, last)) != 100)
                    return QStringLiteral("the tree does not show the new book at the end");
                return QString();
            },
            [&] {
                // Each run makes the book anew.
                execSql("DELETE FROM BookTree WHERE pID IN (SELECT ID FROM BookTree WHERE pID IN "
                        "(SELECT ID FROM BookTree WHERE Title='导入书' AND Level=0))");
                execSql("DELETE FROM BookTree WHERE pID IN (SELECT ID FROM BookTree WHERE Title='导入书' AND Level=0)");
                execSql("DELETE FROM BookTree WHERE Title='导入书' AND Level=0");
            });
        benchReport(names[1], runs, "ms", below(5000, "ms"));
    }
    g_App.deinit();
    return benchExitCode();
}
