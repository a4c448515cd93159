// The material panel on a library of real size: a generated 150,000-entry library in 3,000
// folders, enciphered like the shipped file, browsed through the panel the window uses.
#include "BenchSupport.h"
#include "GeneratedLibrary.h"

#include "app/App.h"
#include "app/Constants.h"
#include "book/TreeNodeInfo.h"
#include "libtool/Generator.h"
#include "libtool/LibraryFile.h"
#include "material/MaterialBrowser.h"
#include "material/MaterialList.h"
#include "params/SysParams.h"

#include <QApplication>
#include <QDir>
#include <QHash>
#include <QListView>
#include <QPlainTextEdit>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextEdit>
#include <QTreeView>
#include <QVBoxLayout>

#include <functional>

namespace {

// Characters the pane shows marked (the red background the keyword gets).
int markedCharacters(QPlainTextEdit *pane)
{
    int marked = 0;
    for (QTextBlock block = pane->document()->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().background().color() == Qt::red)
                marked += it.fragment().length();
    return marked;
}

// Characters the keyword marks in text: its occurrences one after the other, within a line.
int expectedMarks(const QString &text, const QString &keyword)
{
    int n = 0;
    for (int at = text.indexOf(keyword); at >= 0; at = text.indexOf(keyword, at + keyword.size()))
        ++n;
    return n * keyword.size();
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
    useProfileRoot(home.path());
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    const QStringList names = {"material.folder_tree_load", "material.largest_folder_list",
                               "material.content_with_highlight", "material.long_content_with_highlight"};
    const QString missing = missingSqlDriver(QStringLiteral("SQLITECIPHER"));
    if (!missing.isEmpty())
        return benchFailAll(names, missing);

    const QString sources = home.path() + "/libraries/";
    QDir().mkpath(sources);
    libtool::GenerateOptions g; // 150,000 entries in 3,000 folders, the largest with 5,000
    libtool::BuildOptions o;
    o.table = "MaterialTree";
    const libtool::Library lib = libtool::generateLibrary(g);
    try {
        libtool::writeLibraryFile(lib, sources + "Inkboat_Material.sdb", o);
    } catch (const libtool::SourceError &e) {
        return benchFailAll(names, QStringLiteral("library not written: ") + e.message());
    }
    g_App.setLibrarySourcePath(sources);
    if (!g_App.init())
        return benchFailAll(names, QStringLiteral("App::init failed"));

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
    // Every timed run ends in a repaint of the view it filled.
    PaintCounter treePaints, listPaints, contentPaints;
    w.treeViewMaterial->viewport()->installEventFilter(&treePaints);
    w.listViewMaterial->viewport()->installEventFilter(&listPaints);
    w.plainTextEditMaterialContent->viewport()->installEventFilter(&contentPaints);
    int paintsBefore = 0;
    auto painted = [&paintsBefore](const PaintCounter &counter) {
        return counter.paints > paintsBefore ? QString() : QStringLiteral("no repaint");
    };

    const int folders = expectedFolderCount(lib);
    const Runs tree = timeRuns(
        5,
        [&] {
            browser.loadTree("M");
            QApplication::processEvents();
        },
        [&] {
            const int loaded = browser.materialTreeRecords().size();
            return loaded != folders ? QStringLiteral("%1 folders loaded, not %2").arg(loaded).arg(folders)
                                     : painted(treePaints);
        },
        [&] { paintsBefore = treePaints.paints; });
    benchReport(names.at(0), tree, "ms", below(300, "ms"));

    TreeNodeInfo *largest = largestFolder(browser.materialTreeModel());
    const int largestSize = lib.folders.first().entries.size();
    if (!largest) {
        benchFailAll(names.mid(1), QStringLiteral("no folders in the tree"));
        g_App.deinit();
        return benchExitCode();
    }
    // Another folder in between, so every run really refills the list.
    TreeNodeInfo *other = TreeNodeInfo::of(browser.materialTreeModel()->index(0, 0));
    // Measured: the query, the records, the items and a repaint.
    const Runs list = timeRuns(
        5,
        [&] {
            browser.loadMaterialList(other);
            browser.loadMaterialList(largest);
            QApplication::processEvents();
        },
        [&] {
            const int rows = browser.materialListModel()->rowCount();
            return rows != largestSize ? QStringLiteral("%1 entries listed, not %2").arg(rows).arg(largestSize)
                                       : painted(listPaints);
        },
        [&] { paintsBefore = listPaints.paints; });
    benchReport(names.at(1), list, "ms", below(100, "ms"));
    const int entries = browser.materialListModel()->rowCount();
    if (entries == 0) {
        benchFailAll(names.mid(2), QStringLiteral("no entries listed"));
        g_App.deinit();
        return benchExitCode();
    }

    // The text shown, with every occurrence of the keyword marked, and repainted.
    auto shown = [&](const QString &text, const QString &keyword) {
        QPlainTextEdit *pane = w.plainTextEditMaterialContent;
        if (pane->toPlainText() != text)
            return QStringLiteral("the pane does not show the material's text");
        const int marked = markedCharacters(pane), expected = expectedMarks(text, keyword);
        if (marked != expected)
            return QStringLiteral("%1 characters marked, not %2").arg(marked).arg(expected);
        return painted(contentPaints);
    };
    TreeNodeInfo *entry = browser.materialListRecords().at(entries / 2);
    const QString text = material::displayText(*entry);
    // Two characters of one line from the middle, so the keyword can be found.
    int from = text.size() / 3;
    while (from + 2 < text.size() && text.mid(from, 2).contains(QLatin1Char('\n')))
        ++from;
    const QString keyword = text.mid(from, 2);
    browser.setHighlightKeyword(keyword);
    const Runs content = timeRuns(
        21,
        [&] {
            browser.showMaterialContent(entry);
            QApplication::processEvents();
        },
        [&] { return shown(text, keyword); }, [&] { paintsBefore = contentPaints.paints; });

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
    const QString longText = material::displayText(longEntry);
    const Runs longContent = timeRuns(
        21,
        [&] {
            browser.showMaterialContent(&longEntry);
            QApplication::processEvents();
        },
        [&] { return shown(longText, QString(common)); }, [&] { paintsBefore = contentPaints.paints; });

    benchNote("material.folders", folders, "folders loaded");
    benchNote("material.largest_folder", entries, "entries");
    benchNote("material.content_length", text.size(), "characters", QStringLiteral("keyword \"%1\"").arg(keyword));
    benchReport(names.at(2), content, "ms", below(10, "ms"));
    benchNote("material.long_content", 10240, "characters",
              QStringLiteral("keyword \"%1\" found %2 times").arg(common).arg(counts.value(common)));
    benchReport(names.at(3), longContent, "ms", below(10, "ms"));
    g_App.deinit();
    return benchExitCode();
}
