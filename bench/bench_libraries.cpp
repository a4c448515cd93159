// Library files of real size: the folder-tree and folder-list queries the browser runs,
// on a generated 150,000-entry library in 3,000 folders, with and without the builder's index.
#include "BenchSupport.h"
#include "GeneratedLibrary.h"

#include "app/Constants.h"
#include "libtool/Generator.h"
#include "libtool/LibraryFile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

namespace {

const char *kTreeSql =
    "SELECT a.ID,a.pID,a.Title||IFNULL('('||b.cnt||')','') Title,a.NodeType,'Material' _type FROM M.MaterialTree a "
    "LEFT JOIN (SELECT pID,COUNT(*) cnt FROM M.MaterialTree WHERE Category='Content' GROUP BY pID) b ON a.ID=b.pID "
    "WHERE a.Category='Tree' ORDER BY a.level,a.pID,a.sort";

struct Result {
    Runs tree;
    Runs list;
};

// Both queries, each run checked against the library's folder count and largest folder.
Result measure(const QString &file, const QString &conn, int folders, int largestSize)
{
    Result r;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("SQLITECIPHER", conn);
        db.setDatabaseName(":memory:");
        QSqlQuery q(db);
        QString why;
        if (!db.open())
            why = QStringLiteral("open failed: ") + db.lastError().text();
        else if (!q.exec(QStringLiteral("ATTACH DATABASE 'file:%1?cipher=chacha20' AS M key '%2'")
                             .arg(file, Ink::libraryKey())))
            why = QStringLiteral("ATTACH failed: ") + q.lastError().text();
        else if (!q.exec("PRAGMA M.cache_size=131072") ||
                 !q.exec("SELECT pID FROM M.MaterialTree WHERE Category='Content' GROUP BY pID ORDER BY COUNT(*) "
                         "DESC LIMIT 1") ||
                 !q.next())
            why = QStringLiteral("no largest folder: ") + q.lastError().text();
        if (!why.isEmpty()) {
            r.tree.fail(why);
            r.list.fail(why);
        } else {
            const QString largest = q.value(0).toString();
            q.finish();
            auto count = [](QSqlQuery &query, bool readText) {
                int n = 0;
                while (query.next()) {
                    if (readText) {
                        query.value(2).toString();
                        query.value(3).toString();
                    }
                    ++n;
                }
                return n;
            };
            int n = 0;
            auto rowsRead = [&n](int expected) {
                return n == expected ? QString() : QStringLiteral("%1 rows, not %2").arg(n).arg(expected);
            };
            r.tree = timeRuns(
                5,
                [&] {
                    QSqlQuery a(db);
                    a.setForwardOnly(true);
                    a.exec(QLatin1String(kTreeSql));
                    n = count(a, false);
                },
                [&] { return rowsRead(folders); });
            r.list = timeRuns(
                5,
                [&] {
                    QSqlQuery b(db);
                    b.setForwardOnly(true);
                    b.exec(QStringLiteral("SELECT id,pid,title,plainText,'Material' _type,Fee FROM M.MaterialTree "
                                          "WHERE Category='Content' AND pid='%1'")
                               .arg(largest));
                    n = count(b, true);
                },
                [&] { return rowsRead(largestSize); });
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(conn);
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList names = {"libraries.folder_tree_query", "libraries.folder_list_query"};
    const QString missing = missingSqlDriver(QStringLiteral("SQLITECIPHER"));
    if (!missing.isEmpty())
        return benchFailAll(names, missing);
    QTemporaryDir dir;
    libtool::GenerateOptions g; // 150,000 entries, 3,000 folders, the largest with 5,000
    const libtool::Library lib = libtool::generateLibrary(g);
    libtool::BuildOptions o;
    o.table = "MaterialTree";
    const QString with = dir.filePath("with.sdb"), without = dir.filePath("without.sdb");
    try {
        QElapsedTimer t;
        t.start();
        libtool::writeLibraryFile(lib, with, o);
        benchNote("libraries.build_150k", t.nsecsElapsed() / 1e6, "ms");
        o.withIndexes = false;
        libtool::writeLibraryFile(lib, without, o);
    } catch (const libtool::SourceError &e) {
        return benchFailAll(names, QStringLiteral("library not written: ") + e.message());
    }

    const int folders = expectedFolderCount(lib);
    const int largest = lib.folders.first().entries.size();
    const Result a = measure(with, "with", folders, largest);
    const Result b = measure(without, "without", folders, largest);
    benchNote("libraries.folder_tree_query.no_index", b.tree, "ms", QStringLiteral("(%1 folders)").arg(folders));
    benchNote("libraries.folder_list_query.no_index", b.list, "ms", QStringLiteral("(%1 entries)").arg(largest));
    benchReport(names.at(0), a.tree, "ms", below(300, "ms"));
    benchReport(names.at(1), a.list, "ms", below(100, "ms"));
    return benchExitCode();
}
