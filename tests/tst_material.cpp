// Material panel over real enciphered library files built in a temporary folder.
#include "TestProfile.h"

#include "app/App.h"
#include "app/Constants.h"
#include "book/TreeNodeInfo.h"
#include "libtool/LibraryFile.h"
#include "log/Log.h"
#include "material/ArticleViewDialog.h"
#include "material/MaterialBrowser.h"
#include "material/MaterialList.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"
#include "ui/MainWindow.h"
#include "ui/Toast.h"

#include <QAction>
#include <QFile>
#include <QFocusEvent>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <QTreeView>

namespace {

libtool::Folder folder(int order, const QStringList &path, const QVector<libtool::Entry> &entries = {})
{
    libtool::Folder f;
    f.order = order;
    f.path = path;
    f.entries = entries;
    return f;
}

// The widgets of the material panel and the editor, as the window lays them out.
struct Host {
    QWidget window;
    QTabWidget *tabs = new QTabWidget(&window);
    QTreeView *tree = new QTreeView;
    QTreeView *userTree = new QTreeView;
    QListView *list = new QListView(&window);
    QListView *searchList = new QListView(&window);
    QPlainTextEdit *pane = new QPlainTextEdit(&window);
    QTextEdit *editor = new QTextEdit(&window);
    QAction *insertSelect = new QAction(&window);
    QAction *insertAll = new QAction(&window);
    MaterialBrowser *browser;

    Host()
    {
        tabs->addTab(tree, QStringLiteral("素材库"));
        tabs->addTab(userTree, QStringLiteral("用户素材库"));
        MaterialBrowser::Widgets w;
        w.tabWidgetMaterial = tabs;
        w.treeViewMaterial = tree;
        w.treeViewUserMaterial = userTree;
        w.listViewMaterial = list;
        w.listViewSearchMaterial = searchList;
        w.plainTextEditMaterialContent = pane;
        w.textEditor = editor;
        w.actionTextInsertSelectMaterial = insertSelect;
        w.actionTextInsertAllMaterial = insertAll;
        browser = new MaterialBrowser(w, &window);
    }
    QStringList listTitles() const
    {
        QStringList t;
        for (int i = 0; i < browser->materialListModel()->rowCount(); ++i)
            t << browser->materialListModel()->item(i)->text();
        return t;
    }
    QModelIndex treeIndex(const QStringList &path) const
    {
        QModelIndex at;
        for (const QString &title : path) {
            const QModelIndexList hits = browser->materialTreeModel()->match(
                browser->materialTreeModel()->index(0, 0, at), Qt::DisplayRole, title, 1, Qt::MatchStartsWith);
            if (hits.isEmpty())
                return QModelIndex();
            at = hits.first();
        }
        return at;
    }
};

// Ranges of the pane's text with a red background.
QStringList markedTexts(QPlainTextEdit *pane)
{
    QStringList marked;
    for (QTextBlock b = pane->document()->begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            if (f.charFormat().background().color() == Qt::red && f.charFormat().background().style() == Qt::SolidPattern)
                marked << f.text();
        }
    }
    return marked;
}

QString errLog()
{
    QFile f(logFileName(QStringLiteral("err"), QDate::currentDate()));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace

class TestMaterial : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void treeShowsFoldersWithDirectCounts();
    void folderListsItsMaterials_data();
    void folderListsItsMaterials();
    void sentencesAreListedByTheirText_data();
    void sentencesAreListedByTheirText();
    void keywordIsMarkedEverywhere_data();
    void keywordIsMarkedEverywhere();
    void insertsIntoTheChapter_data();
    void insertsIntoTheChapter();
    void refillFreesRecordsAndContentRecord();
    void focusShowsCurrentMaterialAgain();
    void userMaterialsShowLiveRowsOnly();
    void failingQueryShowsNothingAndLogs();
    void emptyLibrariesShowNothing();
    void librariesStayReadOnly();
    void articleReaderShowsTree();
    void writingGuideIsGoneWhenClosed();
    void mainWindowBrowsesAndInserts();

private:
    void buildLibraries();
    QScopedPointer<TestProfile> m_profile;
    QScopedPointer<QTemporaryDir> m_sources;
    QScopedPointer<Host> m_host;
};

void TestMaterial::buildLibraries()
{
    const QString dir = m_sources->path() + QLatin1Char('/');
    libtool::Library material;
    material.folders << folder(1, {"自然"})
                     << folder(1, {"自然", "山川"},
                               {{"山一", "", "群山连绵，山风吹过。\n第二段山色。"}, {"山二", "", "山高水长"}, {"山三", "", "远山如黛"}})
                     << folder(2, {"自然", "河流"}, {{"河一", "", "River flows; the RIVER bends, a river ends."}})
                     << folder(2, {"城市"}, {{"街道", "", "车水马龙"}});
    libtool::BuildOptions o;
    o.table = "MaterialTree";
    libtool::writeLibraryFile(material, dir + "Inkboat_Material.sdb", o);

    libtool::Library sentence;
    sentence.folders << folder(1, {"名句"}, {{"标题甲", "", "海内存知己，天涯若比邻。"}});
    o.table = "SentenceTree";
    libtool::writeLibraryFile(sentence, dir + "Inkboat_Sentence.sdb", o);

    libtool::Library article;
    article.folders << folder(1, {"写作入门"}, {{"开头", "技巧", "好的开头是成功的一半。"}, {"结尾", "技巧", "结尾要有余味。"}});
    o.table = "ArticleTree";
    libtool::writeLibraryFile(article, dir + "Inkboat_Article.sdb", o);

    // Rows the builder never writes: an id with an apostrophe, NULL title and text.
    const QString conn = openSideConnection(dir + "Inkboat_Material.sdb", Ink::libraryKey());
    {
        QSqlQuery q(QSqlDatabase::database(conn));
        QVERIFY(q.exec("INSERT INTO MaterialTree(ID,pID,NodeType,Level,Sort,Title,Category) "
                       "VALUES('Q''1','',2,0,9,'引''号','Tree')"));
        QVERIFY(q.exec("INSERT INTO MaterialTree(ID,pID,NodeType,Level,Sort,Title,Category,PlainText) "
                       "VALUES('N1','Q''1',3,1,1,NULL,'Content',NULL)"));
    }
    closeSideConnection(conn);
}

void TestMaterial::init()
{
    m_profile.reset(new TestProfile);
    m_sources.reset(new QTemporaryDir);
    if (QByteArray(QTest::currentTestFunction()) != "emptyLibrariesShowNothing")
        buildLibraries();
    g_App.setLibrarySourcePath(m_sources->path() + QLatin1Char('/'));
    const StartResult r = startApp();
    QVERIFY2(r.ok, qPrintable(r.messages.join('\n') + r.exception));
    m_host.reset(new Host);
}

void TestMaterial::cleanup()
{
    m_host.reset();
    m_profile.reset(); // stops the application
    g_App.setLibrarySourcePath(QString());
}

void TestMaterial::treeShowsFoldersWithDirectCounts()
{
    m_host->browser->loadTree("M");
    QStandardItemModel *m = m_host->browser->materialTreeModel();
    QCOMPARE(m->rowCount(), 3);
    QCOMPARE(m->item(0)->text(), QString("自然"));  // only subfolders below: bare title
    QCOMPARE(m->item(1)->text(), QString("城市(1)"));
    QCOMPARE(m->item(2)->text(), QString("引'号(1)"));
    QCOMPARE(m->item(0)->rowCount(), 2);
    QCOMPARE(m->item(0)->child(0)->text(), QString("山川(3)"));
    QCOMPARE(m->item(0)->child(1)->text(), QString("河流(1)"));
    QCOMPARE(TreeNodeInfo::of(m->item(0)->child(0))->_type, QString("Material"));
}

void TestMaterial::folderListsItsMaterials_data()
{
    QTest::addColumn<QStringList>("path");
    QTest::addColumn<QStringList>("titles");
    QTest::addColumn<QString>("firstText");
    QTest::newRow("three") << QStringList{"自然", "山川"} << QStringList{"山一", "山二", "山三"}
                           << QString("群山连绵，山风吹过。\n第二段山色。");
    QTest::newRow("none directly") << QStringList{"自然"} << QStringList{} << QString();
    QTest::newRow("apostrophe in id") << QStringList{"引'号"} << QStringList{""} << QString();
}

void TestMaterial::folderListsItsMaterials()
{
    QFETCH(QStringList, path);
    QFETCH(QStringList, titles);
    QFETCH(QString, firstText);
    m_host->browser->loadTree("M");
    m_host->pane->setPlainText("stale");
    const QModelIndex at = m_host->treeIndex(path);
    QVERIFY(at.isValid());
    QSignalSpy refresh(m_host->browser, &MaterialBrowser::userMaterialToolButtonStateRefresh);
    m_host->tree->setCurrentIndex(at);
    QCOMPARE(m_host->listTitles(), titles);
    if (!titles.isEmpty())
        QVERIFY(refresh.wait(2000)); // the user-material buttons follow the new material
    QCOMPARE(m_host->pane->toPlainText(), firstText);
    QCOMPARE(m_host->list->currentIndex().row(), titles.isEmpty() ? -1 : 0);
    QCOMPARE(m_host->browser->currentContentRecord() != nullptr, !titles.isEmpty());
}

void TestMaterial::sentencesAreListedByTheirText_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("shown");
    QTest::newRow("sentence") << "Sentence" << "海内存知己，天涯若比邻。";
    QTest::newRow("material") << "Material" << "标题甲";
    QTest::newRow("lower-case sentence") << "sentence" << "标题甲";
}

void TestMaterial::sentencesAreListedByTheirText()
{
    QFETCH(QString, type);
    QFETCH(QString, shown);
    QueryPtr q = material::runLibraryQuery(
        QStringLiteral("SELECT id,pid,title,plainText,%1 _type FROM S.SentenceTree WHERE Category='Content'")
            .arg(quoteSql(type)));
    QCOMPARE(m_host->browser->fillMaterialList(*q, m_host->browser->materialListModel(),
                                               m_host->browser->materialListRecords(), true),
             1);
    q.reset();
    QCOMPARE(m_host->listTitles(), QStringList{shown});
    m_host->list->setCurrentIndex(m_host->browser->materialListModel()->index(0, 0));
    QCOMPARE(m_host->pane->toPlainText(), QString("海内存知己，天涯若比邻。"));
}

void TestMaterial::keywordIsMarkedEverywhere_data()
{
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QStringList>("marked");
    QTest::newRow("empty") << QString() << QStringList{};
    QTest::newRow("any case") << "river" << QStringList{"River", "RIVER", "river"};
    QTest::newRow("absent") << "山" << QStringList{};
}

void TestMaterial::keywordIsMarkedEverywhere()
{
    QFETCH(QString, keyword);
    QFETCH(QStringList, marked);
    m_host->browser->loadTree("M");
    m_host->browser->setManualKeyword(keyword);
    m_host->tree->setCurrentIndex(m_host->treeIndex({"自然", "河流"}));
    QCOMPARE(m_host->browser->highlightKeyword(), keyword);
    QCOMPARE(markedTexts(m_host->pane), marked);
    QCOMPARE(m_host->pane->textCursor().position(), 0);
    QVERIFY(!m_host->insertSelect->isEnabled());
}

void TestMaterial::insertsIntoTheChapter_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<QString>("expected");
    const QString all = "群山连绵，山风吹过。\n第二段山色。";
    QTest::newRow("all at cursor") << "all" << false << "前" + all + "后";
    QTest::newRow("selection across paragraphs") << "select" << false << "前吹过。\n第二段后";
    QTest::newRow("double click inserts title") << "double" << false << "前山一后";
    QTest::newRow("double click on empty area") << "doubleInvalid" << false << "前后";
    QTest::newRow("at end") << "end" << false << "前后" + all;
    QTest::newRow("no chapter open") << "all" << true << "前后";
}

void TestMaterial::insertsIntoTheChapter()
{
    QFETCH(QString, how);
    QFETCH(bool, readOnly);
    QFETCH(QString, expected);
    m_host->browser->loadTree("M");
    m_host->tree->setCurrentIndex(m_host->treeIndex({"自然", "山川"}));
    m_host->editor->setPlainText("前后");
    QTextCursor c = m_host->editor->textCursor();
    c.setPosition(1);
    m_host->editor->setTextCursor(c);
    m_host->editor->setReadOnly(readOnly);
    const int toasts = Toast::liveCount();
    if (how == "all") {
        m_host->insertAll->trigger();
        QCOMPARE(Toast::liveCount(), toasts + 1); // the advice is shown even when nothing is inserted
    } else if (how == "select") {
        QTextCursor s(m_host->pane->document());
        s.setPosition(7);
        s.setPosition(14, QTextCursor::KeepAnchor);
        m_host->pane->setTextCursor(s);
        QVERIFY(m_host->insertSelect->isEnabled());
        m_host->insertSelect->trigger();
    } else if (how == "double") {
        m_host->browser->listViewMaterialDoubleClicked(m_host->browser->materialListModel()->index(0, 0));
        QCOMPARE(Toast::liveCount(), toasts);
    } else if (how == "doubleInvalid") {
        m_host->browser->listViewMaterialDoubleClicked(QModelIndex());
    } else if (how == "end") {
        m_host->browser->insertEditorText(m_host->pane->toPlainText(), true);
    }
    QCOMPARE(m_host->editor->toPlainText(), expected);
}

void TestMaterial::refillFreesRecordsAndContentRecord()
{
    m_host->browser->loadTree("M");
    m_host->tree->setCurrentIndex(m_host->treeIndex({"自然", "山川"}));
    QCOMPARE(m_host->browser->materialListRecords().size(), 3);
    QVERIFY(m_host->browser->currentContentRecord());
    // A folder without materials: the old records are gone and nothing points at them.
    m_host->tree->setCurrentIndex(m_host->treeIndex({"自然"}));
    QCOMPARE(m_host->browser->materialListRecords().size(), 0);
    QCOMPARE(m_host->browser->materialListModel()->rowCount(), 0);
    QVERIFY(!m_host->browser->currentContentRecord());
    QVERIFY(m_host->pane->toPlainText().isEmpty());
    m_host->tree->setCurrentIndex(m_host->treeIndex({"城市"}));
    QCOMPARE(m_host->browser->materialListRecords().size(), 1);
    QCOMPARE(m_host->browser->currentContentRecord(), m_host->browser->materialListRecords().at(0));
}

void TestMaterial::focusShowsCurrentMaterialAgain()
{
    m_host->browser->loadTree("M");
    m_host->browser->setManualKeyword("山");
    m_host->tree->setCurrentIndex(m_host->treeIndex({"自然", "山川"}));
    m_host->list->setCurrentIndex(m_host->browser->materialListModel()->index(1, 0));
    m_host->browser->setHighlightKeyword("高");
    m_host->pane->setPlainText("其他");
    QFocusEvent in(QEvent::FocusIn, Qt::TabFocusReason);
    QApplication::sendEvent(m_host->list, &in);
    QCOMPARE(m_host->pane->toPlainText(), QString("山高水长"));
    QCOMPARE(markedTexts(m_host->pane), QStringList{"高"}); // keyword unchanged by the focus
}

void TestMaterial::userMaterialsShowLiveRowsOnly()
{
    execSql("INSERT INTO MemoTree(ID,pID,NodeType,Level,Sort,Title,Category,PlainText,Flag) VALUES"
            "('U1','',2,0,1,'我的素材','Tree','','A'),('U2','',2,0,2,'已删除','Tree','','D'),"
            "('C1','U1',3,1,1,'片段','Content','自己写的','A'),('C2','U1',3,1,2,'删掉的','Content','x','D')");
    m_host->browser->loadTree("U");
    QStandardItemModel *m = m_host->browser->userMaterialTreeModel();
    QCOMPARE(m->rowCount(), 1);
    QCOMPARE(m->item(0)->text(), QString("我的素材"));
    QVERIFY(m_host->userTree->editTriggers() != QAbstractItemView::NoEditTriggers);
    m_host->tabs->setCurrentIndex(1);
    m_host->browser->selectFirstNodes();
    QCOMPARE(m_host->listTitles(), QStringList{"片段"});
    QCOMPARE(m_host->browser->currentContentRecord()->_type, QString("UserMaterial"));
    QCOMPARE(m_host->pane->toPlainText(), QString("自己写的"));
}

void TestMaterial::failingQueryShowsNothingAndLogs()
{
    m_host->browser->loadTree("M");
    m_host->tree->setCurrentIndex(m_host->treeIndex({"城市"}));
    QCOMPARE(m_host->listTitles().size(), 1);
    execSql("DETACH DATABASE M");
    m_host->browser->loadTree("M");
    QCOMPARE(m_host->browser->materialTreeModel()->rowCount(), 0);
    QCOMPARE(m_host->browser->materialTreeRecords().size(), 0);
    TreeNodeInfo gone;
    gone.id = "X";
    gone._type = "Material";
    m_host->browser->loadMaterialList(&gone);
    QCOMPARE(m_host->listTitles().size(), 0);
    QVERIFY(!m_host->browser->currentContentRecord());
    const QString log = errLog();
    QCOMPARE(log.count("读取素材出错"), 2);
    QVERIFY2(log.contains("no such table"), qPrintable(log)); // the driver's own words
}

void TestMaterial::emptyLibrariesShowNothing()
{
    m_host->browser->loadTree("M");
    m_host->browser->loadTree("U");
    m_host->browser->selectFirstNodes();
    QCOMPARE(m_host->browser->materialTreeModel()->rowCount(), 0);
    QCOMPARE(m_host->browser->materialListModel()->rowCount(), 0);
    ArticleViewDialog d("WritingGuide", "写作指导");
    QCOMPARE(d.model()->rowCount(), 0);
    QVERIFY(d.textEditArticle()->toPlainText().isEmpty());
    QVERIFY(errLog().isEmpty());
}

void TestMaterial::librariesStayReadOnly()
{
    const QByteArray before = fileDigest(m_profile->file("Inkboat_Material.sdb"));
    for (QAbstractItemView *v : {static_cast<QAbstractItemView *>(m_host->tree),
                                 static_cast<QAbstractItemView *>(m_host->list),
                                 static_cast<QAbstractItemView *>(m_host->searchList)})
        QVERIFY(v->editTriggers() == QAbstractItemView::NoEditTriggers);
    m_host->window.resize(800, 600);
    m_host->window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_host->window));
    m_host->browser->loadTree("M");
    m_host->tree->setCurrentIndex(m_host->treeIndex({"自然", "山川"}));
    // The edit key and a double click start no editor on the library's folders or materials.
    for (QAbstractItemView *v : {static_cast<QAbstractItemView *>(m_host->tree),
                                 static_cast<QAbstractItemView *>(m_host->list)}) {
        QTest::keyClick(v, Qt::Key_F2);
        QTest::mouseDClick(v->viewport(), Qt::LeftButton, {}, v->visualRect(v->currentIndex()).center());
        QVERIFY(!v->findChild<QLineEdit *>());
    }
    stopApp();
    QCOMPARE(fileDigest(m_profile->file("Inkboat_Material.sdb")), before);
}

void TestMaterial::articleReaderShowsTree()
{
    ArticleViewDialog d("WritingGuide", "写作指导");
    QCOMPARE(d.objectName(), QString("ArticleViewDialog"));
    QCOMPARE(d.windowTitle(), QString("写作指导"));
    QCOMPARE(d.size(), QSize(657, 425));
    QStandardItemModel *m = d.model();
    QCOMPARE(m->rowCount(), 1);
    QCOMPARE(m->item(0)->text(), QString("写作入门"));
    QCOMPARE(m->item(0)->rowCount(), 2);
    QCOMPARE(d.treeViewArticle()->currentIndex(), m->index(0, 0));
    QVERIFY(d.textEditArticle()->toPlainText().isEmpty()); // a folder has no text
    d.treeViewArticle()->setCurrentIndex(m->index(1, 0, m->index(0, 0)));
    QCOMPARE(d.textEditArticle()->toPlainText(), QString("结尾要有余味。"));
    QCOMPARE(TreeNodeInfo::of(m->item(0)->child(1))->_type, QString("技巧"));
}

void TestMaterial::writingGuideIsGoneWhenClosed()
{
    QString title;
    int shown = 0;
    QTimer::singleShot(0, [&] {
        for (QWidget *w : QApplication::allWidgets()) {
            if (auto *d = qobject_cast<ArticleViewDialog *>(w)) {
                ++shown;
                title = d->windowTitle();
                QVERIFY(d->isVisible());
                d->close();
            }
        }
    });
    ArticleViewDialog::showWritingGuide(&m_host->window);
    QCOMPARE(shown, 1);
    QCOMPARE(title, QString("写作指导"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (QWidget *w : QApplication::allWidgets())
        QVERIFY(!qobject_cast<ArticleViewDialog *>(w));
}

void TestMaterial::mainWindowBrowsesAndInserts()
{
    execPrepared("INSERT INTO BookTree(ID,pID,NodeType,Level,Sort,Title,Category,HTML,PlainText,Flag) "
                 "VALUES(?,?,1,0,1,?,'Book',?,?,'A')",
                 {"B1", "", "书", "<p>正文</p>", "正文"});
    MainWindow w;
    QStringList infos;
    w.setInfoHook([&infos](const QString &text) { infos << text; });
    w.windowFirstShow();
    auto *treeViewMaterial = w.findChild<QTreeView *>("treeViewMaterial");
    auto *listViewMaterial = w.findChild<QListView *>("listViewMaterial");
    auto *pane = w.findChild<QPlainTextEdit *>("plainTextEditMaterialContent");
    auto *textEditor = w.findChild<QTextEdit *>("textEditor");
    QVERIFY(treeViewMaterial && listViewMaterial && pane && textEditor);
    QTRY_COMPARE(treeViewMaterial->model()->rowCount(), 3);
    QCOMPARE(treeViewMaterial->currentIndex().row(), 0);
    QTRY_VERIFY(!textEditor->isReadOnly());
    const QModelIndexList city = treeViewMaterial->model()->match(
        treeViewMaterial->model()->index(0, 0), Qt::DisplayRole, "城市", 1, Qt::MatchStartsWith);
    QCOMPARE(city.size(), 1);
    treeViewMaterial->setCurrentIndex(city.first());
    QCOMPARE(listViewMaterial->model()->rowCount(), 1);
    QCOMPARE(pane->toPlainText(), QString("车水马龙"));
    textEditor->moveCursor(QTextCursor::End);
    w.findChild<QAction *>("actionTextInsertAllMaterial")->trigger();
    QCOMPARE(textEditor->toPlainText(), QString("正文车水马龙"));
    QVERIFY(w.lastInputTime().isValid());
    int guides = 0;
    QTimer::singleShot(0, [&guides] {
        for (QWidget *widget : QApplication::allWidgets())
            if (auto *d = qobject_cast<ArticleViewDialog *>(widget)) {
                ++guides;
                d->close();
            }
    });
    w.findChild<QAction *>("actionArticleWritingGuide")->trigger();
    QCOMPARE(guides, 1);
    QVERIFY2(infos.isEmpty(), qPrintable(infos.join('|'))); // no "not yet available" left
}

QTEST_MAIN(TestMaterial)
#include "tst_material.moc"
