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

// Qt's rich-text writer, as the editor stores a chapter: <p [align]>, <span style>, <br />, a few
// entities, in a body whose style sets the base font. Anything else makes it give up (false), and
// the caller lets a QTextDocument read the text instead.
class EditorHtmlReader
{
public:
    explicit EditorHtmlReader(const QString &html) : m_s(html), m_n(html.size()) {}

    bool read(QVector<Paragraph> *out)
    {
        // The marker of Qt's writer, whose style sheet keeps white space as it stands.
        if (!m_s.contains(QLatin1String("<meta name=\"qrichtext\" content=\"1\" />")) ||
            !m_s.contains(QLatin1String("white-space: pre-wrap")))
            return false;
        m_i = m_s.indexOf(QLatin1String("<body"));
        if (m_i < 0)
            return false;
        Tag body;
        if (!readTag(&body) || body.closing || !styleOf(body, &m_base))
            return false;
        for (;;) {
            skipSpace();
            if (m_i >= m_n)
                return false;
            Tag tag;
            if (!readTag(&tag))
                return false;
            if (tag.closing && tag.name == QLatin1String("body"))
                return true;
            if (tag.closing || tag.name != QLatin1String("p"))
                return false;
            Paragraph p;
            if (!readParagraph(tag, &p))
                return false;
            if (!p.plainText().trimmed().isEmpty())
                out->append(p);
        }
    }

private:
    struct Tag {
        QStringRef name;
        bool closing = false;
        QVector<QPair<QStringRef, QStringRef>> attributes;
    };
    struct Format {
        bool bold = false, italic = false, underline = false;
        qreal size = 0; // points; 0: as inherited
    };

    void skipSpace()
    {
        while (m_i < m_n && m_s.at(m_i).isSpace())
            ++m_i;
    }

    // At '<': the tag, its attributes (double-quoted values), m_i after '>'.
    bool readTag(Tag *tag)
    {
        if (m_i >= m_n || m_s.at(m_i) != QLatin1Char('<'))
            return false;
        ++m_i;
        if (m_i < m_n && m_s.at(m_i) == QLatin1Char('/')) {
            tag->closing = true;
            ++m_i;
        }
        const int start = m_i;
        while (m_i < m_n && m_s.at(m_i).isLetterOrNumber())
            ++m_i;
        tag->name = m_s.midRef(start, m_i - start);
        for (;;) {
            skipSpace();
            if (m_i >= m_n)
                return false;
            const QChar c = m_s.at(m_i);
            if (c == QLatin1Char('>')) {
                ++m_i;
                return !tag->name.isEmpty();
            }
            if (c == QLatin1Char('/') && m_i + 1 < m_n && m_s.at(m_i + 1) == QLatin1Char('>')) {
                m_i += 2;
                return !tag->name.isEmpty() && !tag->closing;
            }
            const int nameStart = m_i;
            while (m_i < m_n && (m_s.at(m_i).isLetterOrNumber() || m_s.at(m_i) == QLatin1Char('-')))
                ++m_i;
            if (m_i == nameStart || m_i + 1 >= m_n || m_s.at(m_i) != QLatin1Char('=') ||
                m_s.at(m_i + 1) != QLatin1Char('"'))
                return false;
            const QStringRef name = m_s.midRef(nameStart, m_i - nameStart);
            const int valueStart = m_i + 2;
            const int end = m_s.indexOf(QLatin1Char('"'), valueStart);
            if (end < 0)
                return false;
            tag->attributes.append({name, m_s.midRef(valueStart, end - valueStart)});
            m_i = end + 1;
        }
    }

    // The font of an element's style over the inherited one; false for what this reader leaves
    // to QTextDocument.
    static bool styleOf(const Tag &tag, Format *format, Align *align = nullptr)
    {
        for (const auto &attribute : tag.attributes) {
            if (attribute.first == QLatin1String("align") && align) {
                const QStringRef v = attribute.second;
                if (v == QLatin1String("center"))
                    *align = Align::Center;
                else if (v == QLatin1String("right"))
                    *align = Align::Right;
                else if (v == QLatin1String("justify"))
                    *align = Align::Justify;
                else if (v == QLatin1String("left"))
                    *align = Align::Left;
                else
                    return false;
                continue;
            }
            if (attribute.first != QLatin1String("style"))
                return false;
            for (const QStringRef &declaration : attribute.second.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
                const int colon = declaration.indexOf(QLatin1Char(':'));
                if (colon < 0) {
                    if (declaration.trimmed().isEmpty())
                        continue;
                    return false;
                }
                const QStringRef property = declaration.left(colon).trimmed();
                const QStringRef value = declaration.mid(colon + 1).trimmed();
                if (property == QLatin1String("font-weight")) {
                    bool number = false;
                    const int weight = value.toInt(&number);
                    if (number)
                        format->bold = weight > 400;
                    else if (value == QLatin1String("bold") || value == QLatin1String("normal"))
                        format->bold = value == QLatin1String("bold");
                    else
                        return false;
                } else if (property == QLatin1String("font-style")) {
                    format->italic = value != QLatin1String("normal");
                } else if (property == QLatin1String("font-size")) {
                    bool number = false;
                    format->size =
                        value.endsWith(QLatin1String("pt")) ? value.chopped(2).toDouble(&number) : 0;
                    if (!number || format->size <= 0)
                        return false;
                } else if (property == QLatin1String("text-decoration")) {
                    format->underline = value.contains(QLatin1String("underline"));
                } else if (property == QLatin1String("text-align") ||
                           property == QLatin1String("white-space") || property == QLatin1String("display") ||
                           property == QLatin1String("float")) {
                    // They change the text or its place.
                    return false;
                }
                // Fonts, colours, margins and indents are not carried into the file.
            }
        }
        return true;
    }

    bool readParagraph(const Tag &tag, Paragraph *p)
    {
        Format base = m_base;
        if (!styleOf(tag, &base, &p->align))
            return false;
        Format format = base;
        bool inSpan = false;
        QString text;
        auto flush = [&]() {
            if (text.isEmpty())
                return;
            Run *last = p->runs.isEmpty() ? nullptr : &p->runs.last();
            const qreal scale = format.size > 0 && m_base.size > 0 ? format.size / m_base.size : 1;
            if (last && last->bold == format.bold && last->italic == format.italic &&
                last->underline == format.underline && qFuzzyCompare(last->scale, scale))
                last->text += text;
            else
                p->runs.append(Run{text, format.bold, format.italic, format.underline, scale});
            text.clear();
        };
        for (;;) {
            const int start = m_i;
            while (m_i < m_n) {
                const ushort u = m_s.at(m_i).unicode();
                if (u == '<' || u == '&' || u == '\n' || u == '\r')
                    break;
                ++m_i;
            }
            text += m_s.midRef(start, m_i - start);
            if (m_i >= m_n)
                return false;
            const ushort u = m_s.at(m_i).unicode();
            if (u == '\n' || u == '\r')
                return false;
            if (u == '&') {
                if (!readEntity(&text))
                    return false;
                continue;
            }
            Tag inner;
            if (!readTag(&inner))
                return false;
            if (inner.name == QLatin1String("br") && !inner.closing && inner.attributes.isEmpty()) {
                text += QLatin1Char('\n');
            } else if (inner.name == QLatin1String("span") && !inSpan) {
                if (inner.closing)
                    return false;
                flush();
                Format spanFormat = base;
                if (!styleOf(inner, &spanFormat))
                    return false;
                format = spanFormat;
                inSpan = true;
            } else if (inner.name == QLatin1String("span") && inner.closing) {
                flush();
                format = base;
                inSpan = false;
            } else if (inner.name == QLatin1String("p") && inner.closing && !inSpan) {
                flush();
                return true;
            } else {
                return false;
            }
        }
    }

    bool readEntity(QString *text)
    {
        const int end = m_s.indexOf(QLatin1Char(';'), m_i);
        if (end < 0 || end - m_i > 10)
            return false;
        const QStringRef name = m_s.midRef(m_i + 1, end - m_i - 1);
        m_i = end + 1;
        if (name == QLatin1String("lt"))
            *text += QLatin1Char('<');
        else if (name == QLatin1String("gt"))
            *text += QLatin1Char('>');
        else if (name == QLatin1String("amp"))
            *text += QLatin1Char('&');
        else if (name == QLatin1String("quot"))
            *text += QLatin1Char('"');
        else if (name == QLatin1String("apos"))
            *text += QLatin1Char('\'');
        else if (name == QLatin1String("nbsp"))
            *text += QChar(QChar::Nbsp);
        else if (name.startsWith(QLatin1Char('#'))) {
            bool ok = false;
            const uint code = name.startsWith(QLatin1String("#x")) || name.startsWith(QLatin1String("#X"))
                                  ? name.mid(2).toUInt(&ok, 16)
                                  : name.mid(1).toUInt(&ok, 10);
            if (!ok || code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
                return false;
            *text += QString::fromUcs4(&code, 1);
        } else {
            return false;
        }
        return true;
    }

    const QString &m_s;
    const int m_n;
    int m_i = 0;
    Format m_base;
};

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
        // The chapters of every volume in one statement, volume by volume on the parent index. Left
        // to itself the planner walks the flag index of the whole table once per chapter.
        QueryPtr q = openQuery(QStringLiteral("SELECT c.ID,c.Title,c.pID FROM BookTree v CROSS JOIN BookTree c "
                                              "ON c.pID=v.ID WHERE v.pID=%1 AND +v.Flag='A' AND c.Flag='A' AND "
                                              "c.Category='Book' ORDER BY c.Sort,c.rowid")
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

QVector<Chapter> readChapters(const QVector<const Node *> &chapters, Content content)
{
    QStringList ids;
    for (const Node *node : chapters)
        ids << quoteSql(node->id);
    const bool rich = content == Content::Rich;
    const bool utf8 = content == Content::Utf8;
    struct Stored {
        QVariant plainText;
        QString html;
        bool imported = false;
    };
    QHash<QString, Stored> byId;
    {
        // On the key: the flag index would walk every live row of the table once per batch. As a
        // blob the text comes as the file holds it, copied rather than decoded.
        QueryPtr q = openQuery(
            QStringLiteral("SELECT ID,%1,%2 FROM BookTree WHERE ID IN (%3) AND +Flag='A'")
                .arg(utf8 ? QStringLiteral("CAST(PlainText AS BLOB)") : QStringLiteral("PlainText"),
                     rich ? QStringLiteral("HTML,Attribute1") : QStringLiteral("'',''"), ids.join(',')));
        while (q->next())
            byId.insert(q->value(0).toString(),
                        {q->value(1), q->value(2).toString(),
                         q->value(3).toString().contains(QLatin1String("NEWIMPORT"))});
    }
    // The lock is given back before the texts are read into paragraphs.
    QVector<Chapter> texts;
    texts.reserve(chapters.size());
    for (const Node *node : chapters) {
        auto it = byId.find(node->id);
        if (it == byId.end())
            throw Exception(QStringLiteral("无法读取章节“%1”：它已被删除或移走。").arg(node->title));
        Chapter chapter;
        if (utf8) {
            chapter.utf8 = it->plainText.toByteArray();
            texts.append(chapter);
            continue;
        }
        chapter.plainText = it->plainText.toString();
        // Imported chapters open as their plain text until saved: that is their text.
        if (rich)
            chapter.paragraphs = it->html.isEmpty() || it->imported ? paragraphsOfPlainText(chapter.plainText)
                                                                    : paragraphsOfHtml(it->html, chapter.plainText);
        texts.append(chapter);
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
    // Most chapters carry no formatting at all: their stored plain text is the same text.
    const int body = html.indexOf(QLatin1String("<body"));
    const int bodyEnd = body < 0 ? -1 : html.indexOf(QLatin1Char('>'), body);
    const QStringRef content = bodyEnd < 0 ? QStringRef(&html) : html.midRef(bodyEnd + 1);
    bool formatted = false;
    for (const char *mark : {"font-weight:", "font-style:italic", "text-decoration:", "align=", "font-size:"})
        if (content.contains(QLatin1String(mark))) {
            formatted = true;
            break;
        }
    if (!formatted)
        return paragraphsOfPlainText(plainText);
    // The editor's own HTML is read directly; a document per chapter costs milliseconds.
    QVector<Paragraph> paragraphs;
    if (EditorHtmlReader(html).read(&paragraphs))
        return paragraphs;
    paragraphs.clear();

    QTextDocument doc;
    doc.setHtml(html);
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
    // Copied in stretches between the characters that need a change; most text has none.
    QString out;
    const int n = text.size();
    int from = 0;
    for (int i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        const ushort u = c.unicode();
        const char *entity = nullptr;
        bool drop = false;
        if (u < 0x40) {
            switch (u) {
            case '&': entity = "&amp;"; break;
            case '<': entity = "&lt;"; break;
            case '>': entity = "&gt;"; break;
            case '"': entity = "&quot;"; break;
            case '\'': entity = "&apos;"; break;
            default: drop = u < 0x20 && u != '\t' && u != '\n';
            }
        } else if (u >= 0xD800) {
            if (c.isHighSurrogate() && i + 1 < n && text.at(i + 1).isLowSurrogate()) {
                ++i;
                continue;
            }
            drop = c.isSurrogate() || u == 0xFFFE || u == 0xFFFF;
        }
        if (!entity && !drop)
            continue;
        if (out.isNull())
            out.reserve(n + n / 8);
        out += text.midRef(from, i - from);
        if (entity)
            out += QLatin1String(entity);
        from = i + 1;
    }
    if (from == 0)
        return text;
    out += text.midRef(from);
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
