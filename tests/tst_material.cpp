// Material panel over real enciphered library files built in a temporary folder.
#include "BookRows.h"
#include "Libraries.h"
#include "MaterialPanel.h"
#include "Rows.h"
#include "ScriptedPrompter.h"

#include "app/Constants.h"
#include "frame/Toast.h"
#include "mainwindow/MainWindow.h"
#include "material/ArticleViewDialog.h"
#include "material/DeletedMaterialsDialog.h"
#include "material/MaterialEditDialog.h"
#include "material/MaterialList.h"
#include "material/UserMaterialController.h"
#include "material/UserMaterialManageDialog.h"

namespace {

// The panel with a folder of the material library made current by its path of titles.
struct Host : MaterialPanel {
    void selectFolder(const QStringList &path)
    {
        QModelIndex at;
        for (const QString &title : path) {
            const QModelIndexList hits = browser->materialTreeModel()->match(
                browser->materialTreeModel()->index(0, 0, at), Qt::DisplayRole, title, 1, Qt::MatchStartsWith);
            QVERIFY2(!hits.isEmpty(), qPrintable(title));
            at = hits.first();
        }
        tree->setCurrentIndex(at);
    }
};

// Ranges of the pane's text with a red background.
QStringList markedTexts(QPlainTextEdit *pane)
{
    QStringList marked;
    for (QTextBlock b = pane->document()->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().background() == QBrush(Qt::red))
                marked << it.fragment().text();
    return marked;
}

} // namespace

class TestMaterial : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        const bool empty = QByteArray(QTest::currentTestFunction()) == "emptyLibrariesShowNothing";
        m_profile.reset(new LibraryProfile(empty ? nullptr : buildLibraries));
        QVERIFY2(m_profile->started.ok, qPrintable(m_profile->started.messages.join('\n') + m_profile->started.exception));
        m_host.reset(new Host);
        m_library = fileDigest(m_profile->file("Inkboat_Material.sdb"));
        // The author's materials: U3 and C2 deleted.
        if (!empty)
            execSql("INSERT INTO MemoTree(ID,pID,NodeType,Level,Sort,Title,Category,PlainText,Flag) VALUES"
                    "('U1','',2,0,1,'我的素材','Tree','','A'),('U2','',2,0,2,'其他','Tree','','A'),"
                    "('U3','',2,0,3,'已删除','Tree','','D'),('C1','U1',3,1,1,'片段','Content','自己写的','A'),"
                    "('C2','U1',3,1,2,'删掉的','Content','x','D'),('C3','U2',3,1,1,'另一','Content','别的','A')");
    }

    // Whatever a test did, the shipped library file is never written.
    void cleanup()
    {
        m_host.reset();
        stopApp();
        QCOMPARE(fileDigest(m_profile->file("Inkboat_Material.sdb")), m_library);
        m_profile.reset();
    }

    // Library folders count their own materials; the author's deleted rows stay out. The article
    // reader: a folder has no text, an article its text and kind.
    void treesShowLiveFoldersWithDirectCounts()
    {
        m_host->browser->loadTree("M");
        m_host->browser->loadTree("U");
        // A folder with only subfolders below shows its bare title.
        QCOMPARE(shape(m_host->browser->materialTreeModel()) + " " + shape(m_host->browser->userMaterialTreeModel()),
                 QString("自然(山川(3),河流(1)),城市(1),引'号(1) 我的素材,其他"));
        QCOMPARE(TreeNodeInfo::of(m_host->browser->materialTreeModel()->index(0, 0))->_type, QString("Material"));
        // the user information's counts
        QCOMPARE(QString("%1 %2").arg(material::libraryMaterialCount()).arg(material::userMaterialCount()), "6 2");
        m_host->tabs->setCurrentIndex(1);
        m_host->browser->selectFirstNodes();
        QCOMPARE(m_host->listTitles(), QStringList{"片段"});
        QCOMPARE(m_host->browser->currentContentRecord()->_type + m_host->pane->toPlainText(), QString("UserMaterial自己写的"));
        ArticleViewDialog d("WritingGuide", "写作指导");
        QStandardItemModel *m = d.model();
        QCOMPARE(shape(m), QString("写作入门(开头,结尾)"));
        QCOMPARE(d.treeViewArticle()->currentIndex(), m->index(0, 0));
        QVERIFY(d.textEditArticle()->toPlainText().isEmpty());
        d.treeViewArticle()->setCurrentIndex(m->index(1, 0, m->index(0, 0)));
        QCOMPARE(d.textEditArticle()->toPlainText() + TreeNodeInfo::of(m->item(0)->child(1))->_type, QString("结尾要有余味。技巧"));
    }

    // marked: ranges of the shown text marked for the keyword
    void folderListsItsMaterials_data()
    {
        COLUMNS(QStringList, path, QString, keyword, QStringList, titles, QString, firstText, QStringList, marked)
        const QString river = "River flows; the RIVER bends, a river ends.";
        QTest::newRow("three") << QStringList{"自然", "山川"} << "" << QStringList{"山一", "山二", "山三"}
                               << QString("群山连绵，山风吹过。\n第二段山色。") << QStringList{};
        QTest::newRow("none directly") << QStringList{"自然"} << "" << QStringList{} << QString() << QStringList{};
        QTest::newRow("apostrophe in id, NULL title and text") << QStringList{"引'号"} << "" << QStringList{""} << QString()
                                                               << QStringList{};
        QTest::newRow("keyword marked in any case") << QStringList{"自然", "河流"} << "river" << QStringList{"河一"} << river
                                                    << QStringList{"River", "RIVER", "river"};
        QTest::newRow("keyword absent") << QStringList{"自然", "河流"} << "山" << QStringList{"河一"} << river << QStringList{};
    }

    void folderListsItsMaterials()
    {
        FETCH(QStringList, path, QString, keyword, QStringList, titles, QString, firstText, QStringList, marked)
        m_host->browser->loadTree("M");
        QSignalSpy refresh(m_host->browser, &MaterialBrowser::userMaterialToolButtonStateRefresh);
        m_host->selectFolder({"城市"}); // a list and a shown material to be replaced
        m_host->browser->setManualKeyword(keyword);
        m_host->selectFolder(path);
        QCOMPARE(m_host->listTitles(), titles);
        // The old records are freed and nothing points at them.
        QCOMPARE(m_host->browser->materialListRecords().size(), titles.size());
        QCOMPARE(m_host->browser->currentContentRecord(),
                 titles.isEmpty() ? nullptr : m_host->browser->materialListRecords().at(0));
        QCOMPARE(m_host->pane->toPlainText(), firstText);
        QCOMPARE(m_host->list->currentIndex().row(), titles.isEmpty() ? -1 : 0);
        QCOMPARE(m_host->browser->highlightKeyword(), keyword);
        QCOMPARE(markedTexts(m_host->pane), marked);
        QCOMPARE(m_host->pane->textCursor().position(), 0);
        QVERIFY(!m_host->insertSelect->isEnabled());
        // The user-material buttons follow each material shown.
        QTRY_COMPARE(refresh.count(), titles.isEmpty() ? 1 : 2);
    }

    void insertsIntoTheChapter_data()
    {
        COLUMNS(QString, how, bool, readOnly, QString, expected)
        const QString all = "群山连绵，山风吹过。\n第二段山色。";
        QTest::newRow("all at cursor") << "all" << false << "前" + all + "后";
        QTest::newRow("selection across paragraphs") << "select" << false << "前吹过。\n第二段后";
        QTest::newRow("double click inserts title") << "double" << false << "前山一后";
        QTest::newRow("double click on empty area") << "doubleInvalid" << false << "前后";
        QTest::newRow("at end") << "end" << false << "前后" + all;
        QTest::newRow("no chapter open") << "all" << true << "前后";
    }

    void insertsIntoTheChapter()
    {
        FETCH(QString, how, bool, readOnly, QString, expected)
        m_host->browser->loadTree("M");
        m_host->selectFolder({"自然", "山川"});
        m_host->editor->setPlainText("前后");
        m_host->editor->moveCursor(QTextCursor::NextCharacter);
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

    // The edit dialog closes only when the edits are saved or the author gives them up.
    void editDialogKeepsTheEditsUntilSavedOrGivenUp_data()
    {
        // stored: Title||PlainText afterwards; empty: the dialog stays open
        COLUMNS(QString, how, QString, message, QString, stored)
        QTest::newRow("saved") << "save" << "" << "片段二新的文字";
        QTest::newRow("cancel, No keeps them") << "cancel no" << "确定取消吗？" << "";
        QTest::newRow("cancel, Yes gives them up") << "cancel yes" << "确定取消吗？" << "片段自己写的";
        QTest::newRow("blank title") << "blank" << "标题不能为空！" << "";
        QTest::newRow("refused save") << "refused" << "保存素材失败，错误信息：\n" << "";
    }

    void editDialogKeepsTheEditsUntilSavedOrGivenUp()
    {
        FETCH(QString, how, QString, message, QString, stored)
        if (how == "refused")
            execSql("CREATE TEMP TRIGGER refuse BEFORE UPDATE ON MemoTree BEGIN SELECT RAISE(ABORT,'refused'); END");
        ScriptedPrompter prompts;
        prompts.answers << (how == "cancel yes" ? Ink::maYes : Ink::maNo);
        {
            MaterialEditDialog dialog;
            dialog.setMaterialId("C1");
            auto *content = dialog.findChild<QPlainTextEdit *>("plainTextEditContent");
            QCOMPARE(content->toPlainText(), QString("自己写的"));
            dialog.findChild<QLineEdit *>("lineEditTitle")->setText(how == "blank" ? "  " : "片段二");
            content->setPlainText("新的文字");
            dialog.done(how.startsWith("cancel") ? QDialog::Rejected : QDialog::Accepted);
            QCOMPARE(dialog.canClose(), !stored.isEmpty());
            QVERIFY(message.isEmpty() ? prompts.messages.isEmpty() : prompts.messages.last().text.startsWith(message));
            QCOMPARE(content->toPlainText(), QString("新的文字"));
        }
        execSql("DROP TRIGGER IF EXISTS temp.refuse");
        QCOMPARE(scalar("SELECT Title||PlainText FROM MemoTree WHERE ID='C1'").toString(),
                 stored.isEmpty() ? QString("片段自己写的") : stored);
        // The next dialog starts from nothing: no edit of C1 by mistake.
        MaterialEditDialog fresh;
        QVERIFY(MaterialEditDialog::materialId().isEmpty() && MaterialEditDialog::parentId().isEmpty());
    }

    // The manage dialog: opening it writes nothing; a drop moves, a deletion asks with the
    // counts below and comes back whole from 最近删除; the window's tree shows the result.
    void manageDialogWorksOnTheTree()
    {
        execSql("DELETE FROM MemoTree");
        execSql("INSERT INTO MemoTree(ID,pID,NodeType,Level,Sort,Title,Category,PlainText,Flag,Updated) VALUES"
                "('U1','',2,0,1,'人物','Tree','','A','t'),('U2','U1',2,1,1,'外''貌','Tree','','A','t'),"
                "('U3','U2',2,2,1,'五官','Tree','','A','t'),('U4','',2,0,2,'景物','Tree','','A','t'),"
                "('C1','U1',3,1,1,'片段','Content','自己写的','A','t'),('C2','U1',3,1,2,'第二','Content','二','A','t')");
        const QString before = scalar("SELECT group_concat(ID||pID||Level||Sort||Title||Flag||Updated) FROM MemoTree").toString();
        UserMaterialController controller(m_host->browser);
        m_host->browser->loadTree("U");
        ScriptedPrompter prompts;
        prompts.framed = [&](QWidget *widget, int) {
            if (auto *trash = qobject_cast<DeletedMaterialsDialog *>(widget)) {
                trash->listWidget()->item(0)->setSelected(true);
                trash->findChild<QPushButton *>("pushButtonRestore")->click();
                return 0;
            }
            auto *d = qobject_cast<UserMaterialManageDialog *>(widget);
            if (!d)
                return 0;
            // Loading the tree wrote nothing (an apostrophe in a title too).
            [&] { QCOMPARE(scalar("SELECT group_concat(ID||pID||Level||Sort||Title||Flag||Updated) FROM MemoTree").toString(), before); }();
            d->treeView()->setCurrentIndex(d->treeModel()->index(1, 0)); // 景物 onto 外'貌
            d->dropCurrentOn(d->treeModel()->index(0, 0, d->treeModel()->index(0, 0)), TreeView::OnItem);
            d->treeView()->setCurrentIndex(d->treeModel()->index(0, 0));
            prompts.answers << Ink::maYes;
            d->action("actionUserMaterialDelTreeNode")->trigger();
            [&] { QCOMPARE(prompts.messages.last().text, QString("删除文件夹<人物>及其下 3 个文件夹、2 条素材？")); }();
            [&] { QCOMPARE(d->treeModel()->rowCount(), 0); }();
            d->action("actionUserMaterialRecentDeleted")->trigger();
            return 0;
        };
        controller.manage();
        QCOMPARE(material::userMaterialCount(), 2);
        QCOMPARE(scalar("SELECT COUNT(*) FROM MemoTree WHERE Flag='D'").toInt(), 0);
        QCOMPARE(shape(m_host->browser->userMaterialTreeModel()), QString("人物(外'貌(五官,景物))"));
    }

    void mainWindowAddsFromTheEditor()
    {
        UserMaterialController controller(m_host->browser);
        m_host->browser->loadTree("U");
        m_host->userTree->setCurrentIndex(m_host->browser->userMaterialTreeModel()->index(0, 0));
        m_host->editor->setPlainText("整章文字，选中部分");
        QTextCursor cursor = m_host->editor->textCursor();
        cursor.setPosition(5);
        cursor.setPosition(9, QTextCursor::KeepAnchor);
        m_host->editor->setTextCursor(cursor);
        ScriptedPrompter prompts;
        prompts.framed = [](QWidget *widget, int) {
            auto *d = qobject_cast<MaterialEditDialog *>(widget);
            d->findChild<QLineEdit *>("lineEditTitle")->setText("乙");
            d->done(QDialog::Accepted);
            return 1;
        };
        controller.addFromEditor(true);
        QCOMPARE(m_host->tabs->currentIndex(), 1);
        QStringList titles = m_host->listTitles();
        titles.sort(); // the list has no order of its own
        QCOMPARE(titles, QStringList({"乙", "片段"}));
        QCOMPARE(m_host->list->currentIndex().data().toString() + m_host->pane->toPlainText(), QString("乙选中部分"));
        // In-place rename of the window's tree.
        m_host->browser->userMaterialTreeModel()->item(0)->setText("改名");
        QCOMPARE(scalar("SELECT Title FROM MemoTree WHERE ID='U1'").toString(), QString("改名"));
    }

    void failingQueryShowsNothingAndLogs()
    {
        m_host->browser->loadTree("M");
        m_host->selectFolder({"城市"});
        execSql("DETACH DATABASE M");
        m_host->browser->loadTree("M");
        TreeNodeInfo gone;
        gone.id = "X";
        gone._type = "Material";
        m_host->browser->loadMaterialList(&gone);
        QCOMPARE(QString("%1|%2|%3|%4").arg(m_host->browser->materialTreeModel()->rowCount())
                     .arg(m_host->browser->materialTreeRecords().size()).arg(material::libraryMaterialCount())
                     .arg(m_host->listTitles().size()), QString("0|0|0|0"));
        QVERIFY(!m_host->browser->currentContentRecord());
        const QString log = todaysLog();
        QCOMPARE(log.count("读取素材出错"), 2);
        QVERIFY2(log.contains("no such table"), qPrintable(log)); // the driver's own words
    }

    void emptyLibrariesShowNothing()
    {
        m_host->browser->loadTree("M");
        m_host->browser->loadTree("U");
        m_host->browser->selectFirstNodes();
        ArticleViewDialog d("WritingGuide", "写作指导");
        QCOMPARE(m_host->browser->materialTreeModel()->rowCount() + m_host->browser->materialListModel()->rowCount()
                     + d.model()->rowCount(), 0);
        QVERIFY(d.textEditArticle()->toPlainText().isEmpty());
        QVERIFY(todaysLog().isEmpty());
    }

    // A sync's reload keeps the user-material folder current, so adding from the editor stays
    // possible; on the hidden tab it leaves the library's list alone.
    void syncReloadKeepsThePlaceInTheWindow()
    {
        ScriptedPrompter prompts;
        MainWindow w;
        w.windowFirstShow();
        auto *tree = w.findChild<QTreeView *>("treeViewMaterial");
        auto *userTree = w.findChild<QTreeView *>("treeViewUserMaterial");
        auto *list = w.findChild<QListView *>("listViewMaterial");
        QAction *addContent = w.findChild<QAction *>("actionUserMaterialAddContent");
        QTRY_COMPARE(tree->model()->rowCount(), 3);
        w.findChild<QTabWidget *>("tabWidgetMaterial")->setCurrentIndex(1);
        w.reloadTreesAfterSync();
        userTree->setCurrentIndex(userTree->model()->index(1, 0));
        w.reloadTreesAfterSync();
        QCOMPARE(userTree->currentIndex().data().toString() + list->currentIndex().data().toString(), QString("其他另一"));
        QVERIFY(addContent->isEnabled());
        w.findChild<QTabWidget *>("tabWidgetMaterial")->setCurrentIndex(0);
        tree->setCurrentIndex(tree->model()->index(0, 0));
        tree->setCurrentIndex(tree->model()->index(1, 0)); // 城市
        w.reloadTreesAfterSync();
        QCOMPARE(userTree->currentIndex().data().toString() + list->currentIndex().data().toString(), QString("其他街道"));
        QVERIFY(addContent->isEnabled());
    }

private:
    static void buildLibraries(const QString &dir)
    {
        writeLibrary(dir + "Inkboat_Material.sdb", "MaterialTree",
                     {{1, {"自然"}, {}, {}},
                      {1, {"自然", "山川"}, {}, {{"山一", "", "群山连绵，山风吹过。\n第二段山色。"}, {"山二", "", "山高水长"},
                                                {"山三", "", "远山如黛"}}},
                      {2, {"自然", "河流"}, {}, {{"河一", "", "River flows; the RIVER bends, a river ends."}}},
                      {2, {"城市"}, {}, {{"街道", "", "车水马龙"}}}});
        writeLibrary(dir + "Inkboat_Sentence.sdb", "SentenceTree",
                     {{1, {"名句"}, {}, {{"标题甲", "", "海内存知己，天涯若比邻。"}}}});
        writeLibrary(dir + "Inkboat_Article.sdb", "ArticleTree",
                     {{1, {"写作入门"}, {}, {{"开头", "技巧", "好的开头是成功的一半。"}, {"结尾", "技巧", "结尾要有余味。"}}}});
        // Rows the builder never writes: an id with an apostrophe, NULL title and text.
        QVERIFY(onSideConnection(dir + "Inkboat_Material.sdb", Ink::libraryKey(),
                                 {"INSERT INTO MaterialTree(ID,pID,NodeType,Level,Sort,Title,Category) "
                                  "VALUES('Q''1','',2,0,9,'引''号','Tree')",
                                  "INSERT INTO MaterialTree(ID,pID,NodeType,Level,Sort,Title,Category,PlainText) "
                                  "VALUES('N1','Q''1',3,1,1,NULL,'Content',NULL)"}));
    }

    QScopedPointer<LibraryProfile> m_profile;
    QScopedPointer<Host> m_host;
    QByteArray m_library;
};

QTEST_MAIN(TestMaterial)
#include "tst_material.moc"
