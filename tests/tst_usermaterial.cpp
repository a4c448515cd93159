// The author's own materials over a real database: every store write, the export to a flat
// folder of text files and the import back, row by row and byte by byte.
#include "Folders.h"
#include "Rows.h"
#include "ScriptedPrompter.h"
#include "TestProfile.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "material/MaterialTransfer.h"
#include "material/UserMaterialStore.h"
#include "storage/DataAccess.h"

#include <QTemporaryDir>
#include <QTextCodec>


namespace {

const QString kSep = QString(QChar(0xFF03));
// The fixture's live rows.
const QString kTree = "人物 人物/外貌 人物/外貌/五官 人物/外貌/五官/鼻子:高挺 人物/外貌/眼睛:明亮 景物 景物/山:巍峨";

void addMemo(const QString &id, const QString &pid, const QString &category, int level, double sort,
             const QString &title, const QString &flag = QStringLiteral("A"), const QString &text = QString())
{
    execPrepared(QStringLiteral("INSERT INTO MemoTree(ID,pID,NodeType,Level,Sort,Title,Category,PlainText,Created,"
                                "Updated,Flag,Usn,Synced) VALUES(?,?,?,?,?,?,?,?,'2020-01-01 00:00:00.000',"
                                "'2020-01-01 00:00:00.000',?,7,1)"),
                 {id, pid, category == "Tree" ? 2 : 3, level, sort, title, category, text, flag});
}

// 人物 (T1) > 外貌 (T2) > 五官 (T3); 景物 (T4); materials 眼睛 (T2), 鼻子 (T3), 山 (T4).
void fixture()
{
    addMemo("T1", "", "Tree", 0, 1, "人物");
    addMemo("T4", "", "Tree", 0, 2, "景物");
    addMemo("T2", "T1", "Tree", 1, 1, "外貌");
    addMemo("T3", "T2", "Tree", 2, 1, "五官");
    addMemo("C1", "T2", "Content", 2, 1, "眼睛", "A", "明亮");
    addMemo("C2", "T3", "Content", 3, 1, "鼻子", "A", "高挺");
    addMemo("C3", "T4", "Content", 1, 1, "山", "A", "巍峨");
}

// Every row as "ID pID level,sort title Flag Usn Synced text", sorted.
QStringList dump()
{
    QStringList rows;
    for (QueryPtr q = openQuery("SELECT ID||' '||pID||' '||Level||','||Sort||' '||Title||' '||Flag||Usn||Synced||' '||"
                                "ifnull(PlainText,'')||Updated FROM MemoTree ORDER BY ID");
         q->next();)
        rows << q->value(0).toString();
    return rows;
}

QString cell(const QString &id, const QString &column)
{
    QueryPtr q = openQuery(QString("SELECT %1 FROM MemoTree WHERE ID=%2").arg(column, quoteSql(id)));
    return q->next() ? q->value(0).toString() : QStringLiteral("<none>");
}

// Live rows as "path/of/titles:text" (":text" only when there is one), sorted; a row whose
// Level is not its depth is marked "!".
QStringList liveRows()
{
    QStringList rows;
    for (QueryPtr q = openQuery(
             "WITH RECURSIVE up(id,anc,path,depth) AS (SELECT ID,pID,Title,0 FROM MemoTree WHERE Flag='A' UNION ALL "
             "SELECT up.id,m.pID,m.Title||'/'||up.path,depth+1 FROM up JOIN MemoTree m ON m.ID=up.anc AND m.Flag='A' "
             "WHERE depth<10) SELECT path||iif(ifnull(PlainText,'')='','',':'||PlainText)||iif(Level=depth,'','!') "
             "FROM up JOIN MemoTree t ON t.ID=up.id WHERE NOT EXISTS(SELECT 1 FROM MemoTree WHERE ID=anc AND Flag='A')");
         q->next();)
        rows << q->value(0).toString();
    rows.sort();
    return rows;
}
QString liveShape() { return liveRows().join(' '); }

// An export or import of `dir` from or into the folder `root`, run.
template <class Transfer> std::unique_ptr<Transfer> transfer(const QString &dir, const QString &root)
{
    auto t = std::make_unique<Transfer>();
    t->setFolder(dir);
    t->setRootId(root);
    t->run();
    return t;
}

} // namespace

class TestUserMaterial : public QObject
{
    Q_OBJECT
    TestProfile m_profile;

private slots:
    void initTestCase() { QVERIFY(startApp().ok); }
    void init() { execSql("DELETE FROM MemoTree"); }

    // Every write checked against the limits no device or the service can hold: texts over 10240
    // characters, empty or 401-character titles, folders below Level 15 (materials one below), a
    // material saved after it was deleted elsewhere. A refusal gives the reason and writes nothing;
    // a write leaves the row as `stored` says: "pID|Level|Sort|Title|first character and length|
    // NodeType Category Flag Usn Synced, Created well-formed, Created kept from 2020".
    void writesOrRefusesWithTheReason_data()
    {
        COLUMNS(QString, op, QString, title, int, length, QString, message, QString, stored)
        const QString deep = "用户素材目录层级不能超过16层！", longTitle(401, QChar(0x9898));
        const QString tooLong = QString("用户素材可以支持最大字符长度%1，不能继续！").arg(Ink::maxUserMaterialLength);
        const QString folder = QString("|%1|0|2TreeA0010").arg(UserMaterialStore::newFolderTitle);
        QTest::newRow("text of 10241 characters") << "save  T2" << "t" << 10241 << tooLong << "";
        // Deleted materials still hold their Sort: the new one goes after them.
        QTest::newRow("text of 10240 characters, title as typed")
            << "save  T2" << "  新素材 " << 10240 << "" << "T2|2|8|  新素材 |字10240|3ContentA0010";
        QTest::newRow("material without a folder") << "save  T4x" << "无目录" << 1 << "" << "T4x|0|1|无目录|字1|3ContentA0010";
        QTest::newRow("edit keeps Created") << "save C1 T2" << "眼 睛" << 1 << "" << "T2|2|1|眼 睛|字1|3ContentA0011";
        QTest::newRow("spaces only") << "save  T2" << "   " << 3 << "标题不能为空！" << "";
        QTest::newRow("title of 401 characters") << "save  T2" << longTitle << 3 << "标题不能超过400个字符！" << "";
        QTest::newRow("vanished row") << "save GONE T2" << "t" << 3 << "保存素材失败，错误信息：\n素材已不存在（可能已被删除）"
                                      << "";
        QTest::newRow("material below an older level-16 folder") << "save  D16" << "t" << 1 << deep << "";
        // Deleted folders take no place.
        QTest::newRow("top folder") << "add " << "" << 0 << "" << "|0|4" + folder;
        QTest::newRow("child folder") << "add T2" << "" << 0 << "" << "T2|2|2" + folder;
        QTest::newRow("child of a deepest folder") << "add T3" << "" << 0 << "" << "T3|3|1" + folder;
        QTest::newRow("folder at level 15") << "add D14" << "" << 0 << "" << "D14|15|2" + folder;
        QTest::newRow("folder at level 16") << "add D15" << "" << 0 << deep << "";
        QTest::newRow("rename to 401 characters") << "rename T2" << longTitle << 0 << "标题不能超过400个字符！" << "";
        QTest::newRow("rename to spaces") << "rename T2" << " " << 0 << "标题不能为空！" << "";
        QTest::newRow("rename with an apostrophe") << "rename T2" << "外 貌'" << 0 << "" << "T1|1|1|外 貌'||2TreeA0011";
        QTest::newRow("move that just fits") << "move T3 D13" << "" << 0 << "" << "D13|14|2|五官||2TreeA0011";
        QTest::newRow("move taking a material to level 17") << "move T1 D13" << "" << 0 << deep << "";
    }
    void writesOrRefusesWithTheReason()
    {
        FETCH(QString, op, QString, title, int, length, QString, message, QString, stored)
        fixture();
        for (int i = 0; i < 16; ++i)
            addMemo(QString("D%1").arg(i), i ? QString("D%1").arg(i - 1) : "", "Tree", i, 1, "深");
        addMemo("D16", "D15", "Tree", 16, 1, "旧");
        addMemo("TD", "", "Tree", 0, 3, "已删", "D");
        addMemo("CX", "T2", "Content", 2, 7, "旧的", "D");
        const QStringList before = dump();
        const QStringList a = op.split(' ');
        QString thrown, id = a[1], returned;
        try {
            if (a[0] == "save") {
                id = UserMaterialStore::saveMaterial(a[1], a[2], title, QString(length, QChar(0x5B57)));
            } else if (a[0] == "add") {
                const UserMaterialStore::Folder f = UserMaterialStore::addFolder(a[1]);
                id = f.id, returned = QString("%1|%2|%3|").arg(f.pID).arg(f.level).arg(f.sort);
            } else if (a[0] == "rename") {
                QVERIFY(UserMaterialStore::renameFolder(a[1], title) && !UserMaterialStore::renameFolder("GONE", title));
            } else {
                QVERIFY(UserMaterialStore::moveFolder(a[1], a[2], UserMaterialStore::Drop::OnItem));
            }
        } catch (const Exception &e) {
            thrown = e.message();
        }
        QCOMPARE(thrown, message);
        QCOMPARE(dump() == before, !message.isEmpty());
        QVERIFY(!message.isEmpty() || a[1] != "" || QRegularExpression("^[0-9A-F]{32}$").match(id).hasMatch());
        QCOMPARE(stored.isEmpty() ? "" : cell(id, "pID||'|'||Level||'|'||CAST(Sort AS INT)||'|'||Title||'|'||ifnull("
                                                  "substr(PlainText,1,1)||length(PlainText),'')||'|'||NodeType||Category||Flag||"
                                                  "Usn||Synced||(Created GLOB '????-??-?? ??:??:??.???')||(Created LIKE '2020%')"),
                 stored);
        QVERIFY(stored.startsWith(returned));
    }

    // Deletions, restores and moves as steps ("op args;…"): each step's result, the probed rows as
    // "ID=Flag Synced Usn@Sort" (the fixture's untouched rows read A17) and the live tree after.
    void deletesRestoresAndMovesKeepTheTreeWhole_data()
    {
        COLUMNS(QString, steps, QString, results, QString, probe, QString, shape)
        const QString tree = "人物 人物/外貌 人物/外貌/五官 人物/外貌/眼睛:明亮 景物 景物/山:巍峨";
        const QString quoted = "top a'1 3;top a'2 4;top a'3 5;move a'3 a'1 above";
        QTest::newRow("folder deleted with all below, siblings renumbered") << "top T5 3;del T1;del GONE" << "-,5,0"
            << "T1=D00@1 T3=D00@1 C1=D00@1 C2=D00@1 T4=A00@1 T5=A00@2" << "T5 景物 景物/山:巍峨";
        QTest::newRow("checked materials only") << "mat C4 T2 2;mat C5 T2 3;delm C1,C5" << "-,-,-"
            << "C1=D00@1 C5=D00@3 C4=A00@1 C2=A17@1 T2=A17@1"
            << "人物 人物/外貌 人物/外貌/五官 人物/外貌/五官/鼻子:高挺 人物/外貌/耳朵 景物 景物/山:巍峨";
        QTest::newRow("folder restored whole, an older deletion inside stays")
            << "delm C2;uploaded C2;live T1;del T1;recent;restore T1" << "-,-,2/1,4,T1 2/1|C2,4" << "T2=A00@1 C2=D19@1"
            << tree;
        QTest::newRow("material restored brings its folders back bare") << "delm C2;del T1;restore C2;recent;restore T1"
            << "-,4,4,C1,0" << "T1=A00@1 C2=A00@1" << "人物 人物/外貌 人物/外貌/五官 人物/外貌/五官/鼻子:高挺 景物 景物/山:巍峨";
        QTest::newRow("on a folder across parents") << "move T2 T4 on" << "1" << "T2=A00@1 T4=A17@2"
            << "人物 景物 景物/外貌 景物/外貌/五官 景物/外貌/五官/鼻子:高挺 景物/外貌/眼睛:明亮 景物/山:巍峨";
        QTest::newRow("above a top folder") << "move T3 T1 above" << "1" << "T3=A00@1 T1=A00@2 T4=A00@3"
            << "五官 五官/鼻子:高挺 人物 人物/外貌 人物/外貌/眼睛:明亮 景物 景物/山:巍峨";
        QTest::newRow("onto itself") << "move T2 T2 on" << "0" << "T2=A17@1" << kTree;
        QTest::newRow("onto its child") << "move T2 T3 on" << "0" << "T2=A17@1" << kTree;
        QTest::newRow("below its grandchild's sibling") << "move T1 T3 below" << "0" << "T1=A17@1" << kTree;
        // An apostrophe in an ID must not break the statements.
        QTest::newRow("above, quoted ids") << quoted << "-,-,-,1" << "a'3=A00@3 a'1=A00@4 a'2=A00@5"
                                           << kTree + " a'1 a'2 a'3";
        QTest::newRow("below, quoted ids") << quoted + ";move a'3 a'2 below" << "-,-,-,1,1"
                                           << "a'1=A00@3 a'2=A00@4 a'3=A00@5" << kTree + " a'1 a'2 a'3";
    }
    void deletesRestoresAndMovesKeepTheTreeWhole()
    {
        FETCH(QString, steps, QString, results, QString, probe, QString, shape)
        fixture();
        const QStringList before = dump();
        QStringList out;
        for (const QString &step : steps.split(';')) {
            const QStringList a = step.split(' ');
            QString r = "-";
            if (a[0] == "top" || a[0] == "mat")
                addMemo(a[1], a[0] == "top" ? "" : a[2], a[0] == "top" ? "Tree" : "Content", a[0] == "top" ? 0 : 2,
                        a.last().toInt(), a[0] == "top" ? a[1] : "耳朵");
            else if (a[0] == "del")
                r = QString::number(UserMaterialStore::deleteFolder(a[1]));
            else if (a[0] == "delm")
                UserMaterialStore::deleteMaterials(a[1].split(','));
            else if (a[0] == "uploaded")
                execSql("UPDATE MemoTree SET Updated='2020-02-02 00:00:00.000',Synced=1,Usn=9 WHERE ID=" + quoteSql(a[1]));
            else if (a[0] == "restore")
                r = QString::number(UserMaterialStore::restoreDeleted(a[1]));
            else if (a[0] == "move")
                r = QString::number(UserMaterialStore::moveFolder(a[1], a[2], a[3] == "on" ? UserMaterialStore::Drop::OnItem
                                                                  : a[3] == "above" ? UserMaterialStore::Drop::Above
                                                                                    : UserMaterialStore::Drop::Below));
            else if (a[0] == "live")
                r = QString("%1/%2").arg(UserMaterialStore::liveContents(a[1]).folders).arg(UserMaterialStore::liveContents(a[1]).materials);
            else if (a[0] == "recent") {
                QStringList e;
                for (const UserMaterialStore::Deleted &d : UserMaterialStore::recentlyDeleted())
                    e << d.id + (d.folder ? QString(" %1/%2").arg(d.contents.folders).arg(d.contents.materials) : "");
                r = e.join('|');
            }
            out << r;
        }
        QCOMPARE(out.join(','), results);
        QStringList probed;
        for (const QString &id : probe.split(' '))
            probed << id.section('=', 0, 0) + '=' + cell(id.section('=', 0, 0), "Flag||Synced||Usn||'@'||CAST(Sort AS INT)");
        QCOMPARE(probed.join(' '), probe);
        QStringList expected = shape.split(' ');
        expected.sort();
        QCOMPARE(liveShape(), expected.join(' '));
        if (results == "0") // a refused move writes nothing
            QCOMPARE(dump(), before);
    }

    void parentLoopsEndEveryWalk()
    {
        // A loop of parents (a sync can pull one in): every walk ends.
        fixture();
        addMemo("X1", "X2", "Tree", 1, 1, "环一");
        addMemo("X2", "X1", "Tree", 1, 1, "环二");
        addMemo("CX", "X2", "Content", 2, 1, "环中", "A", "文");
        QTemporaryDir dir;
        QCOMPARE(transfer<MaterialExport>(dir.path(), "X1")->count(), 1);
        QVERIFY(readFolder(dir.path()).contains("环一＃环二＃环中.txt"));
        resortChildren("MemoTree", "X1", "Tree");
        QVERIFY(!UserMaterialStore::moveFolder("X1", "X2", UserMaterialStore::Drop::OnItem));
        QCOMPARE(UserMaterialStore::deleteFolder("X1"), 3);
    }

    void exportWritesLiveMaterialsAndRenamesNamesakes()
    {
        fixture();
        addMemo("C6", "T2", "Content", 2, 2, "a/b?", "A", "x\r\ny");
        addMemo("C7", "T2", "Content", 2, 3, "a／b？", "A", "second");
        addMemo("C8", "T2", "Content", 2, 4, "眼睛", "D", "deleted");
        addMemo("T9", "T1", "Tree", 1, 2, "删除的目录", "D");
        addMemo("C9", "T9", "Content", 2, 1, "藏", "A", "hidden");
        addMemo("CL", "T1", "Content", 1, 1, QString(90, QChar(0x957F)), "A", "long");
        QTemporaryDir dir;
        QVERIFY(writeBytes(dir.path() + "/人物＃外貌＃眼睛.txt", "old contents, replaced"));
        const auto exporter = transfer<MaterialExport>(dir.path(), "T1");
        const Files files = readFolder(dir.path());
        QCOMPARE(files.value("人物＃外貌＃眼睛.txt") + '|' + files.value("人物＃外貌＃五官＃鼻子.txt"), QByteArray("明亮|高挺"));
        // Equal once sanitised: one keeps the name, the other gets " (2)". Bytes exactly as stored.
        QStringList collided{files.value("人物＃外貌＃a／b？.txt"), files.value("人物＃外貌＃a／b？ (2).txt")};
        collided.sort();
        QCOMPARE(collided, QStringList({"second", "x\r\ny"}));
        QCOMPARE(QString("%1 %2 %3").arg(files.size()).arg(exporter->count()).arg(exporter->renamed().size()), QString("4 4 1"));
        QCOMPARE(exporter->failed(), QStringList({"人物" + kSep + QString(90, QChar(0x957F))}));
    }

    // added, removed: live rows the import adds and changes, sorted, space-separated; failed: file names.
    void importFillsTheTreeAndNamesFailedFiles_data()
    {
        COLUMNS(Files, files, QString, added, QString, removed, QStringList, failed)
        const QString gbkText = QStringLiteral("他走进了房间，看见窗外的雨。"), deep = QString("d＃").repeated(16) + "d.txt";
        QTest::newRow("path created, dotted name, hidden file") << Files{{"新＃目录＃第1.5章.txt", "文"}, {".隐.TXT", "h"}}
            << "人物/.隐:h 人物/新 人物/新/目录 人物/新/目录/第1.5章:文" << "" << QStringList();
        QTest::newRow("overwrite") << Files{{"外貌＃眼睛.txt", "新的"}} << "人物/外貌/眼睛:新的" << "人物/外貌/眼睛:明亮"
                                   << QStringList();
        QTest::newRow("encodings")
            << Files{{"gbk.txt", QTextCodec::codecForName("GB18030")->fromUnicode(gbkText)},
                     {"bom.txt", "\xEF\xBB\xBF" "a\r\nb\rc"}, {"u16.txt", QByteArray("\xFF\xFE\x2D\x4E", 4)},
                     {"bad.txt", "\x80\xFF"}, {"big5.txt", QTextCodec::codecForName("Big5")->fromUnicode("繁體中文")}}
            << "人物/bom:a\nb\nc 人物/gbk:" + gbkText + " 人物/u16:中" << "" << QStringList{"bad.txt", "big5.txt"};
        QTest::newRow("empty parts, too long")
            << Files{{"a＃＃b.txt", "x"}, {"＃a.txt", "x"}, {".txt", "x"},
                     {"长.txt", QString(10241, QChar(0x5B57)).toUtf8()}, {deep, "x"}}
            << "" << "" << QStringList{".txt", "a＃＃b.txt", deep, "长.txt", "＃a.txt"};
        QTest::newRow("deleted folder and material revived") << Files{{"旧目录＃旧素材.txt", "回来"}}
            << "人物/旧目录 人物/旧目录/旧素材:回来" << "" << QStringList();
        QTest::newRow("live namesake preferred") << Files{{"同名.txt", "新"}} << "人物/同名:新" << "人物/同名:活"
                                                 << QStringList();
        // A row the database refuses: nothing of the file's path is left behind.
        QTest::newRow("refused write") << Files{{"新目录＃坏.txt", "x"}} << "" << "" << QStringList{"新目录＃坏.txt"};
    }
    void importFillsTheTreeAndNamesFailedFiles()
    {
        FETCH(Files, files, QString, added, QString, removed, QStringList, failed)
        fixture();
        addMemo("TO", "T1", "Tree", 1, 5, "旧目录", "D");
        addMemo("CO", "TO", "Content", 2, 1, "旧素材", "D", "旧");
        addMemo("CS", "T1", "Content", 1, 1, "同名", "D", "死");
        addMemo("CT", "T1", "Content", 1, 2, "同名", "A", "活");
        QTemporaryDir dir;
        writeFiles(dir.path(), files);
        const QStringList before = liveRows(), rowsBefore = dump();
        execSql("CREATE TEMP TRIGGER refuse BEFORE INSERT ON MemoTree WHEN NEW.Title='坏' "
                "BEGIN SELECT RAISE(ABORT,'refused'); END");
        MaterialImport importer;
        importer.setFolder(dir.path());
        importer.setRootId("T1");
        try {
            importer.run();
        } catch (const Exception &) {
        }
        execSql("DROP TRIGGER refuse");
        QStringList failedNames;
        for (const QString &f : importer.failedFiles())
            failedNames << QFileInfo(f).fileName();
        QCOMPARE(failedNames, failed);
        QCOMPARE(importer.count(), files.size() - failed.size());
        const QStringList now = liveRows();
        const auto minus = [](QStringList a, const QStringList &b) {
            for (const QString &r : b)
                a.removeAll(r);
            return a.join(' ');
        };
        QCOMPARE(minus(now, before), added);
        QCOMPARE(minus(before, now), removed);
        QCOMPARE(cell("CS", "Flag||PlainText"), QString("D死"));
        if (added.isEmpty())
            QCOMPARE(dump(), rowsBefore);
    }

    // Through the folder dialogs: an export to a folder that cannot be written (below a plain file,
    // so also for root) counts nothing; an import needs a folder and stops at the material limit.
    void transfersThroughTheDialogs()
    {
        fixture();
        QTemporaryDir dir;
        QVERIFY(writeBytes(dir.path() + "/file", ""));
        ScriptedPrompter prompter;
        prompter.directories << dir.path() + "/file/ro";
        QString folder;
        MaterialTransfer::exportFolder("T1", folder);
        QCOMPARE(prompter.messages.size(), 2);
        QCOMPARE(prompter.messages.at(0).text, QString("已完成导出到%1/file/ro/，一共导出0个文件。").arg(dir.path()));
        QVERIFY(prompter.messages.at(1).text.contains("人物＃外貌＃眼睛"));
        // 5120 live materials in all: room for two more; a replaced one takes no room.
        execSql("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i<5114) INSERT INTO MemoTree"
                "(ID,pID,NodeType,Level,Sort,Title,Category,Flag) SELECT 'F'||i,'T4',3,1,i,i,'Content','A' FROM n");
        QVERIFY(QFile::remove(dir.path() + "/file"));
        writeFiles(dir.path(), {{"a.txt", "1"}, {"b.txt", "2"}, {"c.txt", "3"}, {"d.txt", "4"}, {"外貌＃眼睛.txt", "5"}});
        prompter.directories << dir.path() << dir.path();
        prompter.answers << Ink::maYes;
        QVERIFY(!MaterialTransfer::importFolder(QString(), folder, nullptr));
        QCOMPARE(prompter.errors().last(), "未选择节点！");
        int reloads = 0;
        QVERIFY(MaterialTransfer::importFolder("T1", folder, [&]() { ++reloads; }));
        QCOMPARE(reloads, 1);
        QCOMPARE(prompter.messages.size(), 5);
        QVERIFY(prompter.messages.last().text.contains(
            QString("一共导入3个文件，2个文件导入失败，错误文件列表：\n%1/c.txt\n%1/d.txt\n").arg(dir.path())));
    }
};

QTEST_GUILESS_MAIN(TestUserMaterial)
#include "tst_usermaterial.moc"
