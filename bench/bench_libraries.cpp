// Library files of real size: the folder-tree and folder-list queries the browser runs,
// on a generated 150,000-entry library in 3,000 folders, with and without the builder's index.
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

#include <algorithm>
#include <cstdio>

namespace {

const char *kTreeSql =
    "SELECT a.ID,a.pID,a.Title||IFNULL('('||b.cnt||')','') Title,a.NodeType,'Material' _type FROM M.MaterialTree a "
    "LEFT JOIN (SELECT pID,COUNT(*) cnt FROM M.MaterialTree WHERE Category='Content' GROUP BY pID) b ON a.ID=b.pID "
    "WHERE a.Category='Tree' ORDER BY a.level,a.pID,a.sort";

double median(QVector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.at(v.size() / 2);
}

struct Result {
    double treeMs;
    double listMs;
    int folders;
    int largest;
};

Result measure(const QString &file, const QString &conn)
{
    Result r{};
    QSqlDatabase db = QSqlDatabase::addDatabase("SQLITECIPHER", conn);
    db.setDatabaseName(":memory:");
    db.open();
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("ATTACH DATABASE 'file:%1?cipher=chacha20' AS M key '%2'").arg(file, Ink::libraryKey())))
        fprintf(stderr, "%s\n", qPrintable(q.lastError().text()));
    q.exec("PRAGMA M.cache_size=131072");
    q.exec("SELECT pID FROM M.MaterialTree WHERE Category='Content' GROUP BY pID ORDER BY COUNT(*) DESC LIMIT 1");
    q.next();
    const QString largest = q.value(0).toString();
    QVector<double> tree, list;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer t;
        t.start();
        QSqlQuery a(db);
        a.setForwardOnly(true);
        a.exec(QLatin1String(kTreeSql));
        int n = 0;
        while (a.next())
            ++n;
        tree << t.nsecsElapsed() / 1e6;
        r.folders = n;
        t.restart();
        QSqlQuery b(db);
        b.setForwardOnly(true);
        b.exec(QStringLiteral("SELECT id,pid,title,plainText,'Material' _type,Fee FROM M.MaterialTree WHERE "
                              "Category='Content' AND pid='%1'").arg(largest));
        int m = 0;
        while (b.next()) {
            b.value(2).toString();
            b.value(3).toString();
            ++m;
        }
        list << t.nsecsElapsed() / 1e6;
        r.largest = m;
    }
    r.treeMs = median(tree);
    r.listMs = median(list);
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(conn);
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    libtool::GenerateOptions g; // 150,000 entries, 3,000 folders, the largest with 5,000
    const libtool::Library lib = libtool::generateLibrary(g);
    libtool::BuildOptions o;
    o.table = "MaterialTree";
    const QString with = dir.filePath("with.sdb"), without = dir.filePath("without.sdb");
    QElapsedTimer t;
    t.start();
    libtool::writeLibraryFile(lib, with, o);
    printf("libraries.build_150k: %.0f ms\n", t.nsecsElapsed() / 1e6);
    o.withIndexes = false;
    libtool::writeLibraryFile(lib, without, o);

    const Result a = measure(with, "with");
    const Result b = measure(without, "without");
    printf("libraries.folder_tree_query.no_index: %.1f ms (%d folders)\n", b.treeMs, b.folders);
    printf("libraries.folder_list_query.no_index: %.1f ms (%d entries)\n", b.listMs, b.largest);
    int failed = 0;
    auto report = [&](const char *name, double v, double target) {
        const bool pass = v < target;
        failed += pass ? 0 : 1;
        printf("%s: %.1f ms (target: < %.0f ms) %s\n", name, v, target, pass ? "PASS" : "FAIL");
    };
    report("libraries.folder_tree_query", a.treeMs, 300);
    report("libraries.folder_list_query", a.listMs, 100);
    return failed ? 1 : 0;
}
