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

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <unistd.h>

namespace {

const QString kSep = QString(QChar(0xFF03));

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

// Live rows as "level|title path|text", sorted.
QStringList liveShape()
{
    QHash<QString, QPair<QString, QString>> nodes;
    QList<QStringList> raw;
    QueryPtr q = openQuery("SELECT ID,pID,Title,Level,PlainText FROM MemoTree WHERE Flag='A'");
    while (q->next()) {
        nodes.insert(q->value(0).toString(), {q->value(1).toString(), q->value(2).toString()});
        raw << QStringList{q->value(0).toString(), q->value(3).toString(), q->value(4).toString()};
    }
    QStringList rows;
    for (const QStringList &r : raw) {
        QStringList path;
        for (QString id = r[0]; nodes.contains(id) && path.size() < 10; id = nodes.value(id).first)
            path.prepend(nodes.value(id).second);
        rows << r[1] + '|' + path.join('/') + '|' + r[2];
    }
    rows.sort();
    return rows;
}

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

    void addsFolders_data()
    {
        COLUMNS(QString, parent, QString, pid, int, level, double, sort)
        QTest::newRow("top level") << "" << "" << 0 << 3.0;
        QTest::newRow("child") << "T2" << "T2" << 2 << 2.0;
        QTest::newRow("child of a deepest folder") << "T3" << "T3" << 3 << 1.0;
    }
    void addsFolders()
    {
        QFETCH(QString, parent);
        fixture();
        addMemo("TD", "", "Tree", 0, 3, "已删", "D"); // deleted folders take no place
        const UserMaterialStore::Folder folder = UserMaterialStore::addFolder(parent);
        QVERIFY(QRegularExpression("^[0-9A-F]{32}$").match(folder.id).hasMatch());
        FETCH(QString, pid, int, level, double, sort)
        QCOMPARE(folder.pID, pid);
        QCOMPARE(folder.level, level);
        QCOMPARE(folder.sort, sort);
        QCOMPARE(cell(folder.id, "NodeType||Category||Flag||Usn||Synced||Level"),
                 QString("2TreeA00%1").arg(level));
        QVERIFY(QRegularExpression(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}$)")
                    .match(cell(folder.id, "Created")).hasMatch());
    }

    void savesMaterials()
    {
        fixture();
        addMemo("CX", "T2", "Content", 2, 7, "旧的", "D");
        const QString id = UserMaterialStore::saveMaterial("", "T2", "  新素材 ", "文字");
        // Deleted materials still hold their Sort: the new one goes after them.
        QCOMPARE(cell(id, "CAST(Sort AS INT)||'|'||Level||'|'||Title||'|'||NodeType||Category||Flag||Synced"),
                 QString("8|2|  新素材 |3ContentA0"));
        const QString inEmpty = UserMaterialStore::saveMaterial("", "T4x", "无目录", "x");
        QCOMPARE(cell(inEmpty, "CAST(Sort AS INT)||'|'||Level"), QString("1|0"));
        // An edit keeps Created and takes the title as typed.
        UserMaterialStore::saveMaterial("C1", "T2", "眼 睛", "改");
        QCOMPARE(cell("C1", "Created||'|'||Title||'|'||PlainText||Flag||Synced||Usn"),
                 QString("2020-01-01 00:00:00.000|眼 睛|改A00"));
    }

    // What no device or the service can hold is refused with the reason and writes nothing: texts
    // over 10240 characters, empty or 401-character titles, folders below Level 15 (materials one
    // below), a material saved after it was deleted elsewhere.
    void refusesRowsOverTheLimits_data()
    {
        COLUMNS(QString, op, QString, title, int, length, QString, message)
        const QString deep = "用户素材目录层级不能超过16层！", longTitle(401, QChar(0x9898));
        const QString tooLong = QString("用户素材可以支持最大字符长度%1，不能继续！").arg(Ink::maxUserMaterialLength);
        QTest::newRow("text of 10241 characters") << "save  T2" << "t" << 10241 << tooLong;
        QTest::newRow("text of 10240 characters") << "save  T2" << "t" << 10240 << "";
        QTest::newRow("spaces only") << "save  T2" << "   " << 3 << "标题不能为空！";
        QTest::newRow("title of 401 characters") << "save  T2" << longTitle << 3 << "标题不能超过400个字符！";
        QTest::newRow("vanished row") << "save GONE T2" << "t" << 3 << "保存素材失败，错误信息：\n素材已不存在（可能已被删除）";
        QTest::newRow("material below an older level-16 folder") << "save  D16" << "t" << 1 << deep;
        QTest::newRow("folder at level 15") << "add D14" << "" << 0 << "";
        QTest::newRow("folder at level 16") << "add D15" << "" << 0 << deep;
        QTest::newRow("rename to 401 characters") << "rename T2" << longTitle << 0 << "标题不能超过400个字符！";
        QTest::newRow("rename to spaces") << "rename T2" << " " << 0 << "标题不能为空！";
        QTest::newRow("rename with an apostrophe") << "rename T2" << "外 貌'" << 0 << "";
        QTest::newRow("move that just fits") << "move T3 D13" << "" << 0 << "";
        QTest::newRow("move taking a material to level 17") << "move T1 D13" << "" << 0 << deep;
    }
    void refusesRowsOverTheLimits()
    {
        FETCH(QString, op, QString, title, int, length, QString, message)
        fixture();
        for (int i = 0; i < 16; ++i)
            addMemo(QString("D%1").arg(i), i ? QString("D%1").arg(i - 1) : "", "Tree", i, 1, "深");
        addMemo("D16", "D15", "Tree", 16, 1, "旧");
        const QStringList before = dump();
        const QStringList a = op.split(' ');
        QString thrown;
        try {
            if (a[0] == "save")
                UserMaterialStore::saveMaterial(a[1], a[2], title, QString(length, QChar(0x5B57)));
            else if (a[0] == "add")
                UserMaterialStore::addFolder(a[1]);
            else if (a[0] == "rename")
                QVERIFY(UserMaterialStore::renameFolder(a[1], title) && !UserMaterialStore::renameFolder("GONE", title));
            else
                QVERIFY(UserMaterialStore::moveFolder(a[1], a[2], UserMaterialStore::Drop::OnItem));
        } catch (const Exception &e) {
            thrown = e.message();
        }
        QCOMPARE(thrown, message);
        QCOMPARE(dump() == before, !message.isEmpty());
        if (a[0] == "rename" && message.isEmpty())
            QCOMPARE(cell(a[1], "Title||Flag||Synced"), title + "A0");
    }

    void deletesFolderWithEverythingBelow()
    {
        fixture();
        addMemo("T5", "", "Tree", 0, 3, "其他");
        QCOMPARE(UserMaterialStore::deleteFolder("T1"), 5);
        for (const char *id : {"T1", "T2", "T3", "C1", "C2"})
            QCOMPARE(cell(id, "Flag||Synced||Usn"), QString("D00"));
        QCOMPARE(liveShape(), QStringList({"0|其他|", "0|景物|", "1|景物/山|巍峨"}));
        // The former siblings are renumbered.
        QCOMPARE(cell("T4", "Sort") + cell("T5", "Sort"), QString("12"));
        QCOMPARE(UserMaterialStore::deleteFolder("GONE"), 0);
    }

    // A deletion comes back whole and waiting for upload, without an older deletion inside it; a
    // material whose folders went later brings them back, bare.
    void restoresDeletions()
    {
        fixture();
        UserMaterialStore::deleteMaterials({"C2"});
        execSql("UPDATE MemoTree SET Updated='2020-02-02 00:00:00.000',Synced=1,Usn=9 WHERE ID='C2'");
        const UserMaterialStore::Contents below = UserMaterialStore::liveContents("T1");
        QCOMPARE(QString("%1,%2").arg(below.folders).arg(below.materials), QString("2,1"));
        QCOMPARE(UserMaterialStore::deleteFolder("T1"), 4);
        auto entries = UserMaterialStore::recentlyDeleted();
        QCOMPARE(entries.size(), 2);
        QCOMPARE(QString("%1 %2,%3 %4")
                     .arg(entries[0].id)
                     .arg(entries[0].contents.folders)
                     .arg(entries[0].contents.materials)
                     .arg(entries[1].id),
                 QString("T1 2,1 C2"));
        QCOMPARE(UserMaterialStore::restoreDeleted("T1"), 4);
        QCOMPARE(cell("T2", "Flag||Synced||Usn") + cell("C2", "Flag"), QString("A00D"));
        QCOMPARE(liveShape(), QStringList({"0|人物|", "0|景物|", "1|人物/外貌|", "1|景物/山|巍峨", "2|人物/外貌/五官|",
                                           "2|人物/外貌/眼睛|明亮"}));
        UserMaterialStore::deleteFolder("T1");
        QCOMPARE(UserMaterialStore::restoreDeleted("C2"), 4);
        QCOMPARE(liveShape(), QStringList({"0|人物|", "0|景物|", "1|人物/外貌|", "1|景物/山|巍峨", "2|人物/外貌/五官|",
                                           "3|人物/外貌/五官/鼻子|高挺"}));
        entries = UserMaterialStore::recentlyDeleted();
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries[0].id, QString("C1"));
        QCOMPARE(UserMaterialStore::restoreDeleted("T1"), 0);
    }

    void deletesCheckedMaterialsOnly()
    {
        fixture();
        addMemo("C4", "T2", "Content", 2, 2, "耳朵");
        addMemo("C5", "T2", "Content", 2, 3, "嘴");
        UserMaterialStore::deleteMaterials({"C1", "C5"});
        QCOMPARE(cell("C1", "Flag") + cell("C5", "Flag") + cell("C4", "Flag") + cell("C2", "Flag"), QString("DDAA"));
        QCOMPARE(cell("C4", "Sort"), QString("1"));
        QCOMPARE(cell("T2", "Flag"), QString("A"));
    }

    void movesFolders_data()
    {
        COLUMNS(QString, moved, QString, target, int, drop, QStringList, shape)
        const QStringList unchanged = {"0|人物|", "0|景物|", "1|人物/外貌|", "1|景物/山|巍峨", "2|人物/外貌/五官|",
                                       "2|人物/外貌/眼睛|明亮", "3|人物/外貌/五官/鼻子|高挺"};
        QTest::newRow("on a folder across parents")
            << "T2" << "T4" << int(UserMaterialStore::Drop::OnItem)
            << QStringList{"0|人物|", "0|景物|", "1|景物/外貌|", "1|景物/山|巍峨", "2|景物/外貌/五官|",
                           "2|景物/外貌/眼睛|明亮", "3|景物/外貌/五官/鼻子|高挺"};
        QTest::newRow("above a top folder")
            << "T3" << "T1" << int(UserMaterialStore::Drop::Above)
            << QStringList{"0|五官|", "0|人物|", "0|景物|", "1|五官/鼻子|高挺", "1|人物/外貌|", "1|景物/山|巍峨",
                           "2|人物/外貌/眼睛|明亮"};
        QTest::newRow("onto itself") << "T2" << "T2" << int(UserMaterialStore::Drop::OnItem) << unchanged;
        QTest::newRow("onto its child") << "T2" << "T3" << int(UserMaterialStore::Drop::OnItem) << unchanged;
        QTest::newRow("below its grandchild's sibling")
            << "T1" << "T3" << int(UserMaterialStore::Drop::Below) << unchanged;
    }
    void movesFolders()
    {
        FETCH(QString, moved, QString, target, int, drop, QStringList, shape)
        fixture();
        const QStringList before = dump();
        const bool done = UserMaterialStore::moveFolder(moved, target, UserMaterialStore::Drop(drop));
        QCOMPARE(liveShape(), shape);
        if (!done)
            QCOMPARE(dump(), before);
        else
            QCOMPARE(cell(moved, "Flag||Synced"), QString("A0"));
    }

    void movesAboveAndBelowSiblings()
    {
        // An apostrophe in an ID must not break the statements.
        addMemo("a'1", "", "Tree", 0, 1, "一");
        addMemo("a'2", "", "Tree", 0, 2, "二");
        addMemo("a'3", "", "Tree", 0, 3, "三");
        QVERIFY(UserMaterialStore::moveFolder("a'3", "a'1", UserMaterialStore::Drop::Above));
        QCOMPARE(cell("a'3", "Sort") + cell("a'1", "Sort") + cell("a'2", "Sort"), QString("123"));
        QVERIFY(UserMaterialStore::moveFolder("a'3", "a'2", UserMaterialStore::Drop::Below));
        QCOMPARE(cell("a'1", "Sort") + cell("a'2", "Sort") + cell("a'3", "Sort"), QString("123"));
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

    void exportsFiles()
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
        QCOMPARE(files.value("人物＃外貌＃眼睛.txt"), QByteArray("明亮"));
        QCOMPARE(files.value("人物＃外貌＃五官＃鼻子.txt"), QByteArray("高挺"));
        // Equal once sanitised: one keeps the name, the other gets " (2)". Bytes exactly as stored.
        QStringList collided{files.value("人物＃外貌＃a／b？.txt"), files.value("人物＃外貌＃a／b？ (2).txt")};
        collided.sort();
        QCOMPARE(collided, QStringList({"second", "x\r\ny"}));
        QCOMPARE(files.size(), 4);
        QCOMPARE(exporter->count(), 4);
        QCOMPARE(exporter->failed(), QStringList({"人物" + kSep + QString(90, QChar(0x957F))}));
        QCOMPARE(exporter->renamed().size(), 1);
    }

    void exportToReadOnlyFolderCountsNothing()
    {
        fixture();
        QTemporaryDir parent;
        QString target = parent.path() + "/ro";
        QDir().mkpath(target);
        QFile::setPermissions(target, QFile::ReadOwner | QFile::ExeOwner);
        if (geteuid() == 0) {
            // root writes into read-only folders: a path below a plain file fails for everyone.
            QFile blocker(parent.path() + "/file");
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            target = blocker.fileName() + "/ro";
        }
        ScriptedPrompter prompter;
        prompter.directories << target;
        QString folder;
        MaterialTransfer::exportFolder("T1", folder);
        QFile::setPermissions(parent.path() + "/ro", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(prompter.messages.size(), 2);
        QCOMPARE(prompter.messages.at(0).text, QString("已完成导出到%1/，一共导出0个文件。").arg(target));
        QVERIFY(prompter.messages.at(1).text.contains("人物＃外貌＃眼睛"));
    }

    void importsFiles_data()
    {
        // added: live shape rows the import adds
        // removed: live shape rows it changes
        // failed: file names
        COLUMNS(Files, files, QStringList, added, QStringList, removed, QStringList, failed)
        QTextCodec *gbk = QTextCodec::codecForName("GB18030");
        QTest::newRow("path created, dotted name, hidden file")
            << Files{{"新＃目录＃第1.5章.txt", "文"}, {".隐.TXT", "h"}}
            << QStringList{"1|人物/新|", "2|人物/新/目录|", "3|人物/新/目录/第1.5章|文", "1|人物/.隐|h"}
            << QStringList() << QStringList();
        QTest::newRow("overwrite")
            << Files{{"外貌＃眼睛.txt", "新的"}} << QStringList{"2|人物/外貌/眼睛|新的"}
            << QStringList{"2|人物/外貌/眼睛|明亮"} << QStringList();
        const QString gbkText = QStringLiteral("他走进了房间，看见窗外的雨。");
        QTest::newRow("encodings")
            << Files{{"gbk.txt", gbk->fromUnicode(gbkText)},
                     {"bom.txt", "\xEF\xBB\xBF" "a\r\nb\rc"},
                     {"u16.txt", QByteArray("\xFF\xFE", 2) + QByteArray("\x2D\x4E", 2)},
                     {"bad.txt", "\x80\xFF"},
                     {"big5.txt", QTextCodec::codecForName("Big5")->fromUnicode("繁體中文")}}
            << QStringList{"1|人物/gbk|" + gbkText, "1|人物/bom|a\nb\nc", "1|人物/u16|中"} << QStringList()
            << QStringList{"bad.txt", "big5.txt"};
        QTest::newRow("empty parts, too long")
            << Files{{"a＃＃b.txt", "x"}, {"＃a.txt", "x"}, {".txt", "x"},
                     {"长.txt", QString(10241, QChar(0x5B57)).toUtf8()}, {QString("d＃").repeated(16) + "d.txt", "x"}}
            << QStringList() << QStringList()
            << QStringList{".txt", "a＃＃b.txt", QString("d＃").repeated(16) + "d.txt", "长.txt", "＃a.txt"};
        QTest::newRow("deleted folder and material revived")
            << Files{{"旧目录＃旧素材.txt", "回来"}}
            << QStringList{"1|人物/旧目录|", "2|人物/旧目录/旧素材|回来"} << QStringList() << QStringList();
        QTest::newRow("live namesake preferred")
            << Files{{"同名.txt", "新"}} << QStringList{"1|人物/同名|新"} << QStringList{"1|人物/同名|活"}
            << QStringList();
    }
    void importsFiles()
    {
        FETCH(Files, files, QStringList, added, QStringList, removed, QStringList, failed)
        fixture();
        addMemo("TO", "T1", "Tree", 1, 5, "旧目录", "D");
        addMemo("CO", "TO", "Content", 2, 1, "旧素材", "D", "旧");
        addMemo("CS", "T1", "Content", 1, 1, "同名", "D", "死");
        addMemo("CT", "T1", "Content", 1, 2, "同名", "A", "活");
        QTemporaryDir dir;
        writeFiles(dir.path(), files);
        const QStringList before = liveShape();
        const QStringList rowsBefore = dump();
        const auto importer = transfer<MaterialImport>(dir.path(), "T1");
        QStringList failedNames;
        for (const QString &f : importer->failedFiles())
            failedNames << QFileInfo(f).fileName();
        QCOMPARE(failedNames, failed);
        QCOMPARE(importer->count(), files.size() - failed.size());
        const QStringList now = liveShape();
        auto minus = [](QStringList a, const QStringList &b) {
            a.erase(std::remove_if(a.begin(), a.end(), [&b](const QString &r) { return b.contains(r); }), a.end());
            return a;
        };
        added.sort();
        QCOMPARE(minus(now, before), added);
        QCOMPARE(minus(before, now), removed);
        QCOMPARE(cell("CS", "Flag||PlainText"), QString("D死"));
        if (added.isEmpty())
            QCOMPARE(dump(), rowsBefore);
    }

    void importStopsAtTheLimit()
    {
        fixture();
        // 5120 live materials in all: room for two more; a replaced one takes no room.
        {
            Transaction tx;
            for (int i = 0; i < 5115; ++i)
                addMemo(QString("F%1").arg(i), "T4", "Content", 1, i, QString::number(i));
            tx.commit();
        }
        QTemporaryDir dir;
        writeFiles(dir.path(), {{"a.txt", "1"}, {"b.txt", "2"}, {"c.txt", "3"}, {"d.txt", "4"}, {"外貌＃眼睛.txt", "5"}});
        ScriptedPrompter prompter;
        prompter.directories << dir.path();
        prompter.answers << Ink::maYes;
        QString folder;
        int reloads = 0;
        QVERIFY(MaterialTransfer::importFolder("T1", folder, [&]() { ++reloads; }));
        QCOMPARE(reloads, 1);
        QCOMPARE(prompter.messages.size(), 2);
        QVERIFY(prompter.messages.last().text.contains(
            QString("一共导入3个文件，2个文件导入失败，错误文件列表：\n%1/c.txt\n%1/d.txt\n").arg(dir.path())));
    }

    void importNeedsAFolder()
    {
        ScriptedPrompter prompter;
        prompter.directories << QDir::tempPath();
        QString folder;
        QVERIFY(!MaterialTransfer::importFolder(QString(), folder, nullptr));
        QCOMPARE(prompter.messages.size(), 1);
        QCOMPARE(prompter.messages.first().text, QString("未选择节点！"));
    }

    void failingFileLeavesNothing()
    {
        fixture();
        QTemporaryDir dir;
        writeFiles(dir.path(), {{"新目录＃坏.txt", "x"}});
        execSql("CREATE TEMP TRIGGER refuse BEFORE INSERT ON MemoTree WHEN NEW.Title='坏' "
                "BEGIN SELECT RAISE(ABORT,'refused'); END");
        const QStringList before = dump();
        MaterialImport importer;
        importer.setFolder(dir.path());
        importer.setRootId("T1");
        QVERIFY_EXCEPTION_THROWN(importer.run(), Exception);
        execSql("DROP TRIGGER refuse");
        QCOMPARE(dump(), before);
        QCOMPARE(importer.failedFiles().size(), 1);
    }

    void exportThenImportGivesTheSameRows()
    {
        fixture();
        addMemo("C6", "T3", "Content", 3, 2, "a/b", "A", "斜\n线");
        QTemporaryDir dir;
        QCOMPARE(transfer<MaterialExport>(dir.path(), "T1")->count(), 3);
        execSql("UPDATE MemoTree SET Title='a／b' WHERE ID='C6'"); // the name it comes back with
        const QStringList before = liveShape();
        const int rows = dump().size();
        // Into the parent of the exported folder: the same rows take the same texts.
        addMemo("R", "", "Tree", 0, 9, "上层");
        execSql("UPDATE MemoTree SET pID='R',Level=1 WHERE ID='T1'");
        resortChildren("MemoTree", "R");
        QCOMPARE(transfer<MaterialImport>(dir.path(), "R")->count(), 3);
        QCOMPARE(dump().size(), rows + 1);
        QStringList after = liveShape();
        after.removeAll("0|上层|");
        QStringList expected;
        for (QString s : before) {
            const int bar = s.indexOf('|');
            expected << (s.mid(bar + 1).startsWith("人物") ? QString::number(s.left(bar).toInt() + 1) + "|上层/" + s.mid(bar + 1)
                                                          : s);
        }
        expected.sort();
        QCOMPARE(after, expected);
    }
};

QTEST_GUILESS_MAIN(TestUserMaterial)
#include "tst_usermaterial.moc"
