#include "material/MaterialTransfer.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "app/FolderExport.h"
#include "storage/DataAccess.h"
#include "storage/TextFiles.h"

#include <QDateTime>
#include <QCursor>
#include <QGuiApplication>

#include <memory>

namespace {

// At most this many live materials exist in all.
constexpr int kMaxUserMaterials = 5120;

QString now() { return QDateTime::currentDateTime().toString(Ink::dateTimeMsFormat()); }

// The import runs on the GUI thread: the author sees it is busy.
class WaitCursor
{
public:
    WaitCursor() : m_on(qobject_cast<QGuiApplication *>(QCoreApplication::instance()) != nullptr)
    {
        if (m_on)
            QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    }
    ~WaitCursor()
    {
        if (m_on)
            QGuiApplication::restoreOverrideCursor();
    }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;

private:
    bool m_on;
};

} // namespace

void MaterialExport::writeFiles()
{
    const QString sep = titleSeparator();
    // The instr() test stops at a row already on the path: a loop of parents ends.
    QueryPtr q = openQuery(
        QStringLiteral("WITH RECURSIVE cte(id,pId,title,plainText,idPath,titlePath,Category) AS( \n"
                       "    SELECT id,pId,title,plainText,id AS idPath,title AS titlePath,Category FROM MemoTree "
                       "WHERE id=%1 AND flag='A' \n"
                       "    UNION ALL \n"
                       "    SELECT a.id,a.pId,a.title,a.plainText,cte.idPath||'%2'||a.id,cte.titlePath||'%2'||a.title,"
                       "a.Category FROM MemoTree AS a \n"
                       "    INNER JOIN cte ON a.pId=cte.id \n"
                       "    WHERE flag='A' AND instr('%2'||cte.idPath||'%2','%2'||a.id||'%2')=0) \n"
                       "SELECT * FROM cte WHERE Category='Content';")
            .arg(quoteSql(startId()), sep));
    if (!q->isActive())
        throwError(QStringLiteral("读取用户素材失败"), QStringLiteral("ERR_QUERY"));
    while (q->next())
        writeNode({q->value(5).toString()}, q->value(3).toString());
}

void MaterialImport::importFiles()
{
    reset();
    const QStringList files = TextFiles::list(path());
    bool rootFound = false;
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT level FROM MemoTree WHERE id=%1").arg(quoteSql(startId())));
        if (q->next()) {
            rootFound = true;
            m_rootLevel = q->value(0).toInt();
        }
    }
    int live = 0;
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT COUNT(*) cnt FROM MemoTree WHERE Category='Content' AND flag='A'"));
        if (q->next())
            live = q->value(0).toInt();
    }
    m_added = 0;
    importBatched(files, [&](const QString &file) {
        if (!rootFound)
            return QStringLiteral("未选择节点！");
        // Only new materials count: a file that replaces a live one adds nothing. Files past the
        // limit are listed too: the author must learn they are not in.
        if (live + m_added >= kMaxUserMaterials && !replacesLiveMaterial(titlesOfFileName(file)))
            return QStringLiteral("用户素材可以支持最大字符数%1个").arg(kMaxUserMaterials);
        return QString();
    });
}

QString MaterialImport::findNode(const QString &category, const QString &title, const QString &parent, bool *live)
{
    // A live row before a deleted namesake.
    QueryPtr q = openQuery(QStringLiteral("SELECT ID,Flag='A' FROM MemoTree WHERE Category=%1 AND Title=%2 AND pID=%3 "
                                          "ORDER BY Flag='A' DESC,rowid LIMIT 1")
                               .arg(quoteSql(category), quoteSql(title), quoteSql(parent)));
    if (!q->next())
        return QString();
    if (live)
        *live = q->value(1).toBool();
    return q->value(0).toString();
}

bool MaterialImport::replacesLiveMaterial(const QStringList &titles)
{
    QString parent = startId();
    for (int i = 0; i + 1 < titles.size() && !parent.isEmpty(); ++i)
        parent = findNode(QStringLiteral("Tree"), titles.at(i), parent, nullptr);
    bool live = false;
    if (!parent.isEmpty() && !titles.isEmpty())
        findNode(QStringLiteral("Content"), titles.last(), parent, &live);
    return live;
}

bool MaterialImport::readFile(const QString &filePath, QStringList *titles, QString *text, QString *reason)
{
    *titles = titlesOfFileName(filePath);
    // "a＃＃b.txt", "＃a.txt", ".txt" would make nodes without a name.
    if (titles->contains(QString())) {
        *reason = QStringLiteral("文件名中有空标题");
        return false;
    }
    // The material goes one level below its last folder.
    if (m_rootLevel + titles->size() > Ink::maxTreeLevel) {
        *reason = QStringLiteral("层级超过%1层").arg(Ink::maxTreeLevel);
        return false;
    }
    if (!TextFiles::read(filePath, text, reason, Ink::maxUserMaterialLength))
        return false;
    if (!isUserMaterialLengthOk(*text)) {
        *reason = QStringLiteral("用户素材可以支持最大字符长度%1").arg(Ink::maxUserMaterialLength);
        return false;
    }
    return true;
}

void MaterialImport::writeFile(const QStringList &titles, const QString &text)
{
    QString parent = startId();
    const QString stamp = now();
    for (int i = 0; i < titles.size(); ++i) {
        const bool last = i == titles.size() - 1;
        const QString category = last ? QStringLiteral("Content") : QStringLiteral("Tree");
        bool live = false;
        QString id = findNode(category, titles.at(i), parent, &live);
        if (last && !live)
            ++m_added;
        if (!id.isEmpty()) {
            // Found rows come back live: a deleted folder on the path would hide what goes in it.
            if (last)
                execPrepared(QStringLiteral("UPDATE MemoTree SET PlainText=?,Updated=?,Flag='A',Usn=0,Synced=0 WHERE ID=?"),
                             {text, stamp, id});
            else
                execPrepared(QStringLiteral("UPDATE MemoTree SET Updated=?,Flag='A',Usn=0,Synced=0 WHERE ID=? AND "
                                            "Flag IS NOT 'A'"),
                             {stamp, id});
        } else {
            id = newGuid();
            int sort = 1;
            {
                QueryPtr q = openQuery(QStringLiteral("SELECT IFNULL(MAX(Sort),0)+1 sort FROM MemoTree WHERE "
                                                      "Category=%1 AND pID=%2")
                                           .arg(quoteSql(category), quoteSql(parent)));
                if (q->next())
                    sort = q->value(0).toInt();
            }
            execPrepared(QStringLiteral("INSERT INTO MemoTree(ID,pID,NodeType,Level,Sort,Title,Category,PlainText,"
                                        "Created,Updated,Flag,Usn,Synced) VALUES(?,?,?,?,?,?,?,?,?,?,'A',0,0)"),
                         {id, parent, last ? 3 : 2, m_rootLevel + 1 + i, sort, titles.at(i), category,
                          last ? text : QString(), stamp, stamp});
        }
        parent = id;
    }
}

namespace MaterialTransfer {

void exportFolder(const QString &rootId, QString &folder)
{
    MaterialExport exporter;
    exporter.setRootId(rootId);
    exportToChosenFolder(exporter, folder);
}

bool importFolder(const QString &rootId, QString &folder, const std::function<void()> &reload)
{
    if (!g_App.chooseDirectory(QStringLiteral("请选择导入文件路径："), folder, QStringLiteral("materialImport")))
        return false;
    if (rootId.isEmpty()) {
        g_App.showError(QStringLiteral("未选择节点！"));
        return false;
    }
    const int answer = g_App.ask(
        QStringLiteral("<html>请问是否从选择节点导入？<br><font color='red'><b>注意：<br>1.素材同名会被覆盖，如不覆盖，"
                       "请改名后再导入！<br>2.为了避免乱码的可能，请文本文件统一保存为UTF-8的格式导入！</b></font></html>"),
        Ink::mbYes | Ink::mbNo);
    if (answer != Ink::maYes)
        return false;
    MaterialImport importer;
    importer.setFolder(folder);
    importer.setRootId(rootId);
    try {
        WaitCursor busy;
        importer.run();
    } catch (const Exception &e) {
        if (reload)
            reload();
        g_App.showError(e.message());
        return true;
    }
    g_App.showInfo(QStringLiteral("已完成从%1导入，一共导入%2个文件，%3个文件导入失败，错误文件列表：\n%4\n注：\n"
                                  "1.素材不能直接导入根节点\n2.用户素材可以支持最大字符长度%5\n"
                                  "3.用户素材可以支持最大字符数%6个")
                       .arg(importer.path(), QString::number(importer.count()),
                            QString::number(importer.failedFiles().size()),
                            importer.failedFiles().join(QLatin1Char('\n')), QString::number(Ink::maxUserMaterialLength),
                            QString::number(kMaxUserMaterials)));
    if (reload)
        reload();
    return true;
}

} // namespace MaterialTransfer
