#include "book/BookTransfer.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "app/FolderExport.h"
#include "book/ChapterHistory.h"
#include "log/Log.h"
#include "storage/DataAccess.h"
#include "storage/TextFiles.h"

#include <QSet>
#include <QSqlField>
#include <QSqlRecord>
#include <QVector>

#include <memory>

namespace {

struct ExportNode {
    QString id;
    QStringList titles;
    QString text;
};

// Books have no parent; older rows say so with NULL, newer ones with ''.
QString parentFilter(const QString &parentId)
{
    return parentId.isEmpty() ? QStringLiteral("(pID IS NULL OR pID='')") : QStringLiteral("pID=") + quoteSql(parentId);
}

QSqlRecord recordOf(const QList<QPair<QString, QVariant>> &values)
{
    QSqlRecord record;
    for (const auto &value : values) {
        QSqlField field(value.first, value.second.type());
        field.setValue(value.second);
        record.append(field);
    }
    return record;
}

void insertRecord(const QSqlRecord &record)
{
    QStringList names, marks;
    QVariantList values;
    for (int i = 0; i < record.count(); ++i) {
        names << record.fieldName(i);
        marks << QStringLiteral("?");
        values << record.value(i);
    }
    execPrepared(QStringLiteral("INSERT INTO BookTree(%1) VALUES(%2)").arg(names.join(','), marks.join(',')), values);
}

void updateRecord(const QString &id, const QSqlRecord &record)
{
    QStringList sets;
    QVariantList values;
    for (int i = 0; i < record.count(); ++i) {
        sets << record.fieldName(i) + QStringLiteral("=?");
        values << record.value(i);
    }
    values << id;
    execPrepared(QStringLiteral("UPDATE BookTree SET %1 WHERE ID=?").arg(sets.join(',')), values);
}

} // namespace

void BookExport::writeFiles()
{
    QVector<ExportNode> stack;
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT ID,Title,PlainText FROM BookTree WHERE ID=%1 AND Flag='A'")
                                   .arg(quoteSql(startId())));
        if (q->next())
            stack.append({q->value(0).toString(), {q->value(1).toString()}, q->value(2).toString()});
    }
    // A walk by parent, on its index; a damaged parent chain that loops is walked once.
    QSet<QString> visited;
    while (!stack.isEmpty()) {
        const ExportNode node = stack.takeLast();
        if (visited.contains(node.id))
            continue;
        visited.insert(node.id);
        writeNode(node.titles, node.text);
        QVector<ExportNode> children;
        {
            QueryPtr q = openQuery(
                QStringLiteral("SELECT ID,Title,PlainText FROM BookTree WHERE pID=%1 AND Flag='A' ORDER BY Sort,rowid")
                    .arg(quoteSql(node.id)));
            while (q->next())
                children.append({q->value(0).toString(), node.titles + QStringList{q->value(1).toString()},
                                 q->value(2).toString()});
        }
        // Last pushed, first written: the first sibling takes the plain name.
        for (int i = children.size() - 1; i >= 0; --i)
            stack.append(children.at(i));
    }
}

BookImport::Siblings &BookImport::siblingsOf(const QString &parentId)
{
    auto it = m_siblings.find(parentId);
    if (it != m_siblings.end())
        return it.value();
    Siblings siblings;
    QueryPtr q = openQuery(QStringLiteral("SELECT ID,Title,Flag,Category,Sort FROM BookTree WHERE %1 "
                                          "ORDER BY Sort,rowid")
                               .arg(parentFilter(parentId)));
    bool anySort = false;
    while (q->next()) {
        if (q->value(3).toString() != QLatin1String("Book"))
            continue;
        // The next Sort counts deleted siblings too, as it always has.
        if (!q->value(4).isNull()) {
            siblings.maxSort = anySort ? qMax(siblings.maxSort, q->value(4).toDouble()) : q->value(4).toDouble();
            anySort = true;
        }
        // Only a live node takes the text: a deleted namesake stays deleted.
        const QString title = q->value(1).toString();
        if (q->value(2).toString() == QLatin1String("A") && !siblings.liveByTitle.contains(title))
            siblings.liveByTitle.insert(title, q->value(0).toString());
    }
    return m_siblings.insert(parentId, siblings).value();
}

void BookImport::importFiles()
{
    reset();
    m_siblings.clear();
    m_baseLevel = 0;
    m_rootId.clear();
    if (!startId().isEmpty()) {
        QueryPtr q = openQuery(QStringLiteral("SELECT level FROM BookTree WHERE id=%1").arg(quoteSql(startId())));
        if (q->next()) {
            m_baseLevel = 1 + q->value(0).toInt();
            m_rootId = startId();
        }
    }
    importBatched(TextFiles::list(path()));
}

bool BookImport::readFile(const QString &filePath, QStringList *titles, QString *text, QString *reason)
{
    *titles = titlesOfFileName(filePath);
    if (titles->contains(QString())) {
        *reason = QStringLiteral("文件名中有空标题");
        return false;
    }
    // Books hold volumes, volumes hold chapters.
    if (m_baseLevel + titles->size() > 3) {
        *reason = QStringLiteral("层级超过三层");
        return false;
    }
    if (!TextFiles::read(filePath, text, reason, Ink::maxArticleLength))
        return false;
    // The editor could never save a longer chapter.
    if (!isArticleLengthOk(*text)) {
        *reason = QStringLiteral("文章超过最大字符长度%1").arg(Ink::maxArticleLength);
        return false;
    }
    return true;
}

void BookImport::writeFile(const QStringList &titles, const QString &text)
{
    // A new book's parent is '' (never NULL): books found by either sort before it.
    QString parent = m_rootId.isEmpty() ? QStringLiteral("") : m_rootId;
    for (int i = 0; i < titles.size(); ++i) {
        const QString &title = titles.at(i);
        const bool last = i == titles.size() - 1;
        Siblings &siblings = siblingsOf(parent);
        QString id = siblings.liveByTitle.value(title);
        if (id.isEmpty()) {
            id = newGuid();
            const double sort = siblings.maxSort + 1;
            QList<QPair<QString, QVariant>> values{{QStringLiteral("ID"), id},
                                                   {QStringLiteral("pID"), parent},
                                                   {QStringLiteral("NodeType"), m_baseLevel + 1 + i},
                                                   {QStringLiteral("Level"), m_baseLevel + i},
                                                   {QStringLiteral("Sort"), sort},
                                                   {QStringLiteral("Title"), title},
                                                   {QStringLiteral("Category"), QStringLiteral("Book")}};
            if (last) {
                values.append({QStringLiteral("Attribute1"), QStringLiteral("NEWIMPORT")});
                values.append({QStringLiteral("PlainText"), text});
            }
            values.append({QStringLiteral("Created"), QString()});
            values.append({QStringLiteral("Updated"), QString()});
            values.append({QStringLiteral("Flag"), QString()});
            values.append({QStringLiteral("Usn"), 0});
            values.append({QStringLiteral("Synced"), 0});
            QSqlRecord record = recordOf(values);
            prepareRecord(record, QStringLiteral("A"));
            insertRecord(record);
            siblings.maxSort = sort;
            siblings.liveByTitle.insert(title, id);
            m_siblings.insert(id, Siblings());
        } else if (last) {
            {
                QueryPtr q = openQuery(QStringLiteral("SELECT HTML,PlainText,Attribute1 FROM BookTree WHERE ID=") + quoteSql(id));
                if (q->next() && q->value(1).toString() != text) {
                    const QString html = ChapterHistory::htmlOfRow(q->value(0).toString(), q->value(2).toString());
                    const QString plain = q->value(1).toString();
                    q.reset();
                    ChapterHistory::keepBesideSave(id, html, plain, QStringLiteral("导入"));
                }
            }
            QSqlRecord record = recordOf({{QStringLiteral("PlainText"), text},
                                          {QStringLiteral("Attribute1"), QStringLiteral("NEWIMPORT")},
                                          {QStringLiteral("Updated"), QString()},
                                          {QStringLiteral("Flag"), QString()},
                                          {QStringLiteral("Usn"), 0},
                                          {QStringLiteral("Synced"), 0}});
            prepareRecord(record, QStringLiteral("U"));
            updateRecord(id, record);
        }
        parent = id;
    }
}

namespace BookTransfer {

void exportNode(const QString &startId, QString &folder)
{
    BookExport exporter;
    exporter.setStartId(startId);
    exportToChosenFolder(exporter, folder);
}

bool importFolder(const QString &currentId, QString &folder, const ImportSteps &steps)
{
    if (!g_App.chooseDirectory(QStringLiteral("请选择导入文件路径："), folder, QStringLiteral("import")))
        return false;
    const int answer = g_App.ask(
        QStringLiteral("<html>请问是否从选择节点导入？<br><font color='red'><b>注意：<br>1.书同名会被覆盖，如不覆盖，"
                       "请改名后再导入！<br>2.为了避免乱码的可能，请文本文件统一保存为UTF-8的格式导入！</b></font></html>"),
        Ink::mbYes | Ink::mbNo | Ink::mbCancel);
    // Esc and the title-bar button end it like "取消".
    if (answer != Ink::maYes && answer != Ink::maNo)
        return false;
    if (steps.prepare && !steps.prepare())
        return false;
    BookImport importer;
    importer.setPath(folder);
    importer.setStartId(answer == Ink::maYes ? currentId : QString());
    try {
        importer.importFiles();
    } catch (const Exception &e) {
        // The files before the failing one are in: the tree shows them.
        if (steps.reload)
            steps.reload();
        g_App.showError(e.message());
        return true;
    }
    // The tree first: the editor must not go on showing a chapter the import rewrote.
    if (steps.reload)
        steps.reload();
    g_App.showInfo(QStringLiteral("已完成从%1导入，一共导入%2个文件，%3个文件导入失败，错误文件列表：\n%4")
                       .arg(importer.path(), QString::number(importer.count()),
                            QString::number(importer.failed().size()), importer.failed().join(QLatin1Char('\n'))));
    return true;
}

} // namespace BookTransfer
