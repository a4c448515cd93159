#include "export/Manuscript.h"

#include "app/Exception.h"
#include "storage/DataAccess.h"

#include <QFile>
#include <QHash>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>

#include <minizip/zip.h>

namespace Manuscript {

namespace {

bool isVolumeType(const QVariant &nodeType) { return nodeType.toInt() == 2; }

} // namespace

Outline readOutline(const QString &bookId, const QSet<QString> &selection)
{
    Outline outline;
    {
        QueryPtr q = openQuery(
            QStringLiteral("SELECT Title FROM BookTree WHERE ID=%1 AND Flag='A' AND Category='Book'").arg(quoteSql(bookId)));
        if (!q->next())
            throw Exception(QStringLiteral("找不到要导出的书（%1），它可能已被删除。").arg(bookId));
        outline.bookTitle = q->value(0).toString();
    }
    struct Row {
        QString id, title;
        bool volume;
    };
    QVector<Row> top;
    QHash<QString, QVector<Row>> children;
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT ID,Title,NodeType FROM BookTree WHERE pID=%1 AND Flag='A' AND "
                                              "Category='Book' ORDER BY Sort,rowid")
                                   .arg(quoteSql(bookId)));
        while (q->next())
            top.append({q->value(0).toString(), q->value(1).toString(), isVolumeType(q->value(2))});
    }
    {
        // The chapters of every volume in one statement, on the parent index.
        QueryPtr q = openQuery(QStringLiteral("SELECT c.ID,c.Title,c.pID FROM BookTree c JOIN BookTree v ON c.pID=v.ID "
                                              "WHERE v.pID=%1 AND v.Flag='A' AND c.Flag='A' AND c.Category='Book' "
                                              "ORDER BY c.Sort,c.rowid")
                                   .arg(quoteSql(bookId)));
        while (q->next())
            children[q->value(2).toString()].append({q->value(0).toString(), q->value(1).toString(), false});
    }
    const bool all = selection.isEmpty();
    for (const Row &row : top) {
        if (!row.volume) {
            if (all || selection.contains(row.id))
                outline.nodes.append({row.id, row.title, false, ++outline.chapterCount, true});
            continue;
        }
        const QVector<Row> chapters = children.value(row.id);
        QVector<Row> chosen;
        for (const Row &c : chapters)
            if (all || selection.contains(c.id))
                chosen.append(c);
        if (!all && chosen.isEmpty() && !selection.contains(row.id))
            continue;
        outline.nodes.append({row.id, row.title, true, ++outline.volumeCount});
        for (const Row &c : chosen)
            outline.nodes.append({c.id, c.title, false, ++outline.chapterCount});
    }
    return outline;
}

QString Paragraph::plainText() const
{
    QString text;
    for (const Run &run : runs)
        text += run.text;
    return text;
}

QVector<Chapter> readChapters(const QVector<const Node *> &chapters, bool rich)
{
    QStringList ids;
    for (const Node *node : chapters)
        ids << quoteSql(node->id);
    QHash<QString, Chapter> byId;
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT ID,PlainText,%1 FROM BookTree WHERE ID IN (%2) AND Flag='A'")
                                   .arg(rich ? QStringLiteral("HTML,Attribute1") : QStringLiteral("''"), ids.join(',')));
        while (q->next()) {
            Chapter chapter;
            chapter.plainText = q->value(1).toString();
            // Imported chapters open as their plain text until saved: that is their text.
            if (rich) {
                const QString html = q->value(2).toString();
                chapter.paragraphs = html.isEmpty() || q->value(3).toString().contains(QLatin1String("NEWIMPORT"))
                                         ? paragraphsOfPlainText(chapter.plainText)
                                         : paragraphsOfHtml(html, chapter.plainText);
            }
            byId.insert(q->value(0).toString(), chapter);
        }
    }
    QVector<Chapter> texts;
    texts.reserve(chapters.size());
    for (const Node *node : chapters) {
        auto it = byId.find(node->id);
        if (it == byId.end())
            throw Exception(QStringLiteral("无法读取章节“%1”：它已被删除或移走。").arg(node->title));
        texts.append(it.value());
    }
    return texts;
}

QVector<Paragraph> paragraphsOfPlainText(const QString &plainText)
{
    QVector<Paragraph> paragraphs;
    for (const QString &line : plainText.split(QLatin1Char('\n'))) {
        QString text = line;
        if (text.endsWith(QLatin1Char('\r')))
            text.chop(1);
        if (text.trimmed().isEmpty())
            continue;
        Paragraph p;
        p.runs.append({text});
        paragraphs.append(p);
    }
    return paragraphs;
}

QVector<Paragraph> paragraphsOfHtml(const QString &html, const QString &plainText)
{
    // Most chapters carry no formatting at all: their stored plain text is the same text, and a
    // document per chapter would cost more than the rest of the export.
    const int body = html.indexOf(QLatin1String("<body"));
    const int bodyEnd = body < 0 ? -1 : html.indexOf(QLatin1Char('>'), body);
    const QStringRef content = bodyEnd < 0 ? QStringRef(&html) : html.midRef(bodyEnd + 1);
    bool formatted = false;
    for (const char *mark : {"font-weight:", "font-style:italic", "text-decoration:", "align="})
        if (content.contains(QLatin1String(mark))) {
            formatted = true;
            break;
        }
    if (!formatted)
        return paragraphsOfPlainText(plainText);

    QTextDocument doc;
    doc.setHtml(html);
    QVector<Paragraph> paragraphs;
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        if (block.text().trimmed().isEmpty())
            continue;
        Paragraph p;
        const Qt::Alignment a = block.blockFormat().alignment() & Qt::AlignHorizontal_Mask;
        if (block.blockFormat().hasProperty(QTextFormat::BlockAlignment))
            p.align = a & Qt::AlignHCenter   ? Align::Center
                      : a & Qt::AlignRight   ? Align::Right
                      : a & Qt::AlignJustify ? Align::Justify
                                             : Align::Left;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            if (!f.isValid())
                continue;
            const QTextCharFormat cf = f.charFormat();
            Run run{f.text(), cf.fontWeight() > QFont::Normal, cf.fontItalic(), cf.fontUnderline()};
            // Soft line breaks inside a paragraph stay line breaks.
            run.text.replace(QChar::LineSeparator, QLatin1Char('\n'));
            if (!p.runs.isEmpty() && p.runs.last().bold == run.bold && p.runs.last().italic == run.italic &&
                p.runs.last().underline == run.underline)
                p.runs.last().text += run.text;
            else
                p.runs.append(run);
        }
        paragraphs.append(p);
    }
    return paragraphs;
}

QString xmlEscaped(const QString &text)
{
    QString out;
    out.reserve(text.size() + text.size() / 8);
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const ushort u = c.unicode();
        switch (u) {
        case '&': out += QLatin1String("&amp;"); continue;
        case '<': out += QLatin1String("&lt;"); continue;
        case '>': out += QLatin1String("&gt;"); continue;
        case '"': out += QLatin1String("&quot;"); continue;
        case '\'': out += QLatin1String("&apos;"); continue;
        default: break;
        }
        if (u < 0x20 && u != '\t' && u != '\n')
            continue;
        if (u == 0xFFFE || u == 0xFFFF)
            continue;
        if (c.isHighSurrogate()) {
            if (i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
                out += c;
                out += text.at(++i);
            }
            continue;
        }
        if (c.isLowSurrogate())
            continue;
        out += c;
    }
    return out;
}

} // namespace Manuscript

ManuscriptWriter::~ManuscriptWriter() = default;

ZipWriter::ZipWriter(const QString &path) : m_path(path)
{
    m_zip = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    if (!m_zip)
        throw Exception(QStringLiteral("无法写入文件%1").arg(path));
}

ZipWriter::~ZipWriter()
{
    if (m_zip)
        zipClose(static_cast<zipFile>(m_zip), nullptr);
}

void ZipWriter::fail() const
{
    throw Exception(QStringLiteral("写入文件%1失败（磁盘已满或没有写入权限？）").arg(m_path));
}

void ZipWriter::add(const QString &name, const QByteArray &data, bool stored)
{
    beginEntry(name, stored);
    write(data);
    endEntry();
}

void ZipWriter::beginEntry(const QString &name, bool stored)
{
    zip_fileinfo info{};
    // A fixed time: the same book gives the same bytes. The fastest compression: a long book is
    // 180 MB of text, and level 1 packs CJK text nearly as tight.
    info.tmz_date.tm_year = 2020;
    info.tmz_date.tm_mday = 1;
    const QByteArray entry = name.toUtf8();
    if (zipOpenNewFileInZip64(static_cast<zipFile>(m_zip), entry.constData(), &info, nullptr, 0, nullptr, 0, nullptr,
                              stored ? 0 : Z_DEFLATED, stored ? 0 : Z_BEST_SPEED, 0) != ZIP_OK)
        fail();
}

void ZipWriter::write(const QByteArray &data)
{
    if (!data.isEmpty() && zipWriteInFileInZip(static_cast<zipFile>(m_zip), data.constData(), unsigned(data.size())) != ZIP_OK)
        fail();
}

void ZipWriter::endEntry()
{
    if (zipCloseFileInZip(static_cast<zipFile>(m_zip)) != ZIP_OK)
        fail();
}

void ZipWriter::close()
{
    const int rc = zipClose(static_cast<zipFile>(m_zip), nullptr);
    m_zip = nullptr;
    if (rc != ZIP_OK)
        fail();
}
