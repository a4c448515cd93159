// The material panel on a library of real size: a generated 150,000-entry library in 3,000
// folders, enciphered like the shipped file, browsed through the panel the window uses.
#include "app/App.h"
#include "book/TreeNodeInfo.h"
#include "libtool/Generator.h"
#include "libtool/LibraryFile.h"
#include "material/MaterialBrowser.h"
#include "material/MaterialList.h"
#include "params/SysParams.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QListView>
#include <QPlainTextEdit>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

double medianMs(int runs, const std::function<void()> &work)
{
    QVector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        work();
        ms << t.nsecsElapsed() / 1e6;
    }
    std::sort(ms.begin(), ms.end());
    return ms.at(ms.size() / 2);
}

int failed = 0;

void report(const char *name, double value, double target)
{
    const bool pass = value < target;
    failed += pass ? 0 : 1;
    printf("%s: %.2f ms (target: < %.0f ms) %s\n", name, value, target, pass ? "PASS" : "FAIL");
}

// The folder with the most materials directly under it.
TreeNodeInfo *largestFolder(QStandardItemModel *model)
{
    TreeNodeInfo *best = nullptr;
    int bestCount = -1;
    std::function<void(const QModelIndex &)> walk = [&](const QModelIndex &parent) {
        for (int r = 0; r < model->rowCount(parent); ++r) {
            const QModelIndex at = model->index(r, 0, parent);
            const QString title = at.data().toString();
            const int open = title.lastIndexOf(QLatin1Char('('));
            const int count = open < 0 ? 0 : title.mid(open + 1, title.size() - open - 2).toInt();
            if (count > bestCount) {
                bestCount = count;
                best = TreeNodeInfo::of(at);
            }
            walk(at);
        }
    };
    walk(QModelIndex());
    return best;
}

} // namespace

int main(int argc, char **argv)
{
    // A throw-away profile: the real data folder is never touched.
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path() + "/data"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + "/config"));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.path() + "/cache"));
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("inkboathq");
    QCoreApplication::setApplicationName("Inkboat");
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath() + "/..");

    const QString sources = home.path() + "/libraries/";
    QDir().mkpath(sources);
    libtool::GenerateOptions g; // 150,000 entries in 3,000 folders, the largest with 5,000
    libtool::BuildOptions o;
    o.table = "MaterialTree";
    libtool::writeLibraryFile(libtool::generateLibrary(g), sources + "Inkboat_Material.sdb", o);
    g_App.setLibrarySourcePath(sources);
    if (!g_App.init()) {
        fprintf(stderr, "start-up failed\n");
        return 2;
    }

    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    MaterialBrowser::Widgets w;
    w.treeViewMaterial = new QTreeView;
    w.treeViewUserMaterial = new QTreeView;
    w.listViewMaterial = new QListView;
    w.plainTextEditMaterialContent = new QPlainTextEdit;
    w.textEditor = new QTextEdit;
    for (QWidget *widget : {static_cast<QWidget *>(w.treeViewMaterial), static_cast<QWidget *>(w.listViewMaterial),
                            static_cast<QWidget *>(w.plainTextEditMaterialContent)})
        layout->addWidget(widget);
    window.resize(900, 700);
    window.show();
    MaterialBrowser browser(w);

    const double treeMs = medianMs(5, [&] {
        browser.loadTree("M");
        QApplication::processEvents();
    });
    const int folders = browser.materialTreeRecords().size();
    TreeNodeInfo *largest = largestFolder(browser.materialTreeModel());
    if (!largest) {
        fprintf(stderr, "no folders\n");
        return 2;
    }
    // Another folder in between, so every run really refills the list.
    TreeNodeInfo *other = TreeNodeInfo::of(browser.materialTreeModel()->index(0, 0));
    const double listMs = medianMs(5, [&] {
        browser.loadMaterialList(other);
        browser.loadMaterialList(largest);
        QApplication::processEvents();
    });
    // Measured: the query, the records, the items, the first material's text and a repaint.
    const int entries = browser.materialListModel()->rowCount();

    TreeNodeInfo *entry = browser.materialListRecords().at(entries / 2);
    const QString text = material::displayText(*entry);
    const QString keyword = text.mid(text.size() / 3, 2);
    browser.setHighlightKeyword(keyword);
    const double contentMs = medianMs(21, [&] {
        browser.showMaterialContent(entry);
        QApplication::processEvents();
    });

    // The longest text a material may have, with a one-character keyword that occurs often.
    TreeNodeInfo longEntry;
    for (int i = 0; longEntry.plainText.size() < 10240; ++i)
        longEntry.plainText += browser.materialListRecords().at(i)->plainText + QLatin1Char('\n');
    longEntry.plainText.truncate(10240);
    QHash<QChar, int> counts;
    for (QChar c : longEntry.plainText)
        ++counts[c];
    QChar common = longEntry.plainText.at(0);
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.key() != QLatin1Char('\n') && it.value() > counts.value(common))
            common = it.key();
    browser.setHighlightKeyword(QString(common));
    const double longMs = medianMs(21, [&] {
        browser.showMaterialContent(&longEntry);
        QApplication::processEvents();
    });

    printf("material.folders: %d folders loaded\n", folders);
    printf("material.largest_folder: %d entries\n", entries);
    printf("material.content_length: %d characters, keyword \"%s\"\n", int(text.size()), qPrintable(keyword));
    report("material.folder_tree_load", treeMs, 300);
    report("material.largest_folder_list", listMs, 100);
    report("material.content_with_highlight", contentMs, 10);
    printf("material.long_content: 10240 characters, keyword \"%s\" found %d times\n", qPrintable(QString(common)),
           counts.value(common));
    report("material.long_content_with_highlight", longMs, 10);
    g_App.deinit();
    return failed ? 1 : 0;
}
