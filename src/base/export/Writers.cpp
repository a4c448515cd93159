#include "export/Writers.h"

#include "app/Exception.h"
#include "book/TextTools.h"

#include <QFile>
#include <QFileInfo>
#include <QTextCodec>
#include <QUuid>

#include <cstring>

using namespace Manuscript;
using BookFileExport::Options;

namespace {

[[noreturn]] void writeFailed(const QString &path, const QString &reason)
{
    throw Exception(QStringLiteral("写入文件%1失败：%2").arg(path, reason));
}

QString orUntitled(const QString &title) { return title.trimmed().isEmpty() ? QStringLiteral("（无标题）") : title; }

// ------------------------------------------------------------------------------------------- TXT

// The code point that starts at p (before end), or at the end before p; -1 when the bytes are not
// UTF-8 there.
int codePointAt(const char *p, const char *end)
{
    const auto b = [&](int i) { return uchar(p[i]); };
    const int n = b(0) < 0x80 ? 1 : b(0) >= 0xF0 ? 4 : b(0) >= 0xE0 ? 3 : b(0) >= 0xC0 ? 2 : 0;
    if (n == 0 || end - p < n)
        return -1;
    int c = n == 1 ? b(0) : b(0) & (0x7F >> n);
    for (int i = 1; i < n; ++i) {
        if ((b(i) & 0xC0) != 0x80)
            return -1;
        c = (c << 6) | (b(i) & 0x3F);
    }
    return c;
}

int codePointBefore(const char *p, const char *begin)
{
    const char *start = p - 1;
    while (start > begin && (uchar(*start) & 0xC0) == 0x80 && p - start < 4)
        --start;
    return start < begin ? -1 : codePointAt(start, p);
}

int utf8Length(int c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

// [from, to) of the line without the white space at either end that QString::trimmed() removes.
void trimUtf8(const char **from, const char **to)
{
    for (int c; *from < *to && (c = codePointAt(*from, *to)) >= 0 && QChar::isSpace(uint(c));)
        *from += utf8Length(c);
    for (int c; *to > *from && (c = codePointBefore(*to, *from)) >= 0 && QChar::isSpace(uint(c));)
        *to -= utf8Length(c);
}

class TxtWriter : public ManuscriptWriter
{
public:
    explicit TxtWriter(const Options &o) : m_options(o) {}
    // Plain UTF-8 can take the stored bytes as they are.
    Content content() const override
    {
        return m_options.gb18030 || m_options.crlf ? Content::Plain : Content::Utf8;
    }

    void begin(const QString &path, const Outline &, const Meta &) override
    {
        m_file.setFileName(path);
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            writeFailed(path, m_file.errorString());
        m_codec = QTextCodec::codecForName(m_options.gb18030 ? "GB18030" : "UTF-8");
        m_indent = m_options.indent ? QString(2, QChar(0x3000)) : QString();
        m_indentUtf8 = m_indent.toUtf8();
        // Kept across flushes: the buffer is not grown again from nothing for every megabyte.
        m_buffer.reserve(2 << 20);
    }
    void volume(const Node &node) override
    {
        put(BookFileExport::heading(m_options.volumePattern, node.title, node.number));
        put(QStringLiteral("\n\n"));
    }
    void chapter(const Node &node, const Chapter &text) override
    {
        // The editor's auto-format: lines trimmed, indented, a blank line after each; one more
        // blank line ends the chapter.
        put(BookFileExport::heading(m_options.chapterPattern, node.title, node.number));
        put(QStringLiteral("\n\n"));
        if (content() == Content::Utf8)
            appendFormatted(text.utf8);
        else
            put(TextTools::autoFormatText(text.plainText, m_indent));
        put(QStringLiteral("\n"));
    }
    void finish() override
    {
        flush();
        if (!m_file.flush())
            writeFailed(m_file.fileName(), m_file.errorString());
        m_file.close();
    }

private:
    void put(QString text)
    {
        if (m_options.crlf)
            text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
        // QString's own UTF-8 conversion is several times faster than the codec's.
        append(m_options.gb18030 ? m_codec->fromUnicode(text) : text.toUtf8());
    }
    // TextTools::autoFormatText on the stored bytes, which are copied line by line rather than
    // decoded and encoded again: trimmed as QString trims, blank lines dropped, the indent before
    // each paragraph, a blank line between them, a line end after the last.
    void appendFormatted(const QByteArray &utf8)
    {
        const char *p = utf8.constData();
        const char *const end = p + utf8.size();
        bool first = true;
        while (p < end) {
            const char *lineEnd = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
            if (!lineEnd)
                lineEnd = end;
            const char *from = p, *to = lineEnd;
            trimUtf8(&from, &to);
            if (from < to) {
                if (!first)
                    m_buffer += '\n';
                first = false;
                m_buffer += m_indentUtf8;
                m_buffer.append(from, int(to - from));
                m_buffer += '\n';
            }
            p = lineEnd + 1;
        }
        flushWhenFull();
    }
    void append(const QByteArray &bytes)
    {
        m_buffer += bytes;
        flushWhenFull();
    }
    void flushWhenFull()
    {
        // Written a megabyte at a time: a long book is a few hundred megabytes.
        if (m_buffer.size() >= (1 << 20))
            flush();
    }
    void flush()
    {
        if (m_file.write(m_buffer) != m_buffer.size())
            writeFailed(m_file.fileName(), m_file.errorString());
        m_buffer.resize(0);
    }

    Options m_options;
    QFile m_file;
    QTextCodec *m_codec = nullptr;
    QString m_indent;
    QByteArray m_indentUtf8;
    QByteArray m_buffer;
};

// ---------------------------------------------------------------------------------- XHTML, EPUB

const char *alignClass(Align a)
{
    switch (a) {
    case Align::Center: return "c";
    case Align::Right: return "r";
    case Align::Justify: return "j";
    case Align::Left: return "l";
    default: return nullptr;
    }
}

QString xhtmlRuns(const Paragraph &p)
{
    QString out;
    for (const Run &run : p.runs) {
        QString text = xmlEscaped(run.text);
        text.replace(QLatin1Char('\n'), QLatin1String("<br/>"));
        if (run.underline)
            text = QStringLiteral("<u>%1</u>").arg(text);
        if (run.italic)
            text = QStringLiteral("<i>%1</i>").arg(text);
        if (run.bold)
            text = QStringLiteral("<b>%1</b>").arg(text);
        out += text;
    }
    return out;
}

QString xhtmlPage(const QString &title, const QString &body)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE html>\n"
                          "<html xmlns=\"http://www.w3.org/1999/xhtml\" xmlns:epub=\"http://www.idpf.org/2007/ops\" "
                          "xml:lang=\"zh-CN\" lang=\"zh-CN\">\n<head>\n<meta charset=\"UTF-8\"/>\n<title>%1</title>\n"
                          "<link rel=\"stylesheet\" type=\"text/css\" href=\"style.css\"/>\n</head>\n<body>\n%2</body>\n</html>\n")
        .arg(xmlEscaped(orUntitled(title)), body);
}

class EpubWriter : public ManuscriptWriter
{
public:
    explicit EpubWriter(const Options &o) : m_options(o) {}

    void begin(const QString &path, const Outline &outline, const Meta &meta) override
    {
        m_meta = meta;
        m_bookId = outline.bookTitle + m_options.bookId;
        m_zip.reset(new ZipWriter(path));
        m_zip->add(QStringLiteral("mimetype"), "application/epub+zip", true);
        m_zip->add(QStringLiteral("META-INF/container.xml"),
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<container version=\"1.0\" xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">\n"
                   "<rootfiles><rootfile full-path=\"EPUB/package.opf\" media-type=\"application/oebps-package+xml\"/>"
                   "</rootfiles>\n</container>\n");
        QByteArray css = "body { margin: 0 5%; }\nh1, h2 { text-align: center; }\nh1.book { margin-top: 30%; }\n"
                         "p { margin: 0.3em 0; line-height: 1.6; }\np.c { text-align: center; }\n"
                         "p.r { text-align: right; }\np.j { text-align: justify; }\np.l { text-align: left; }\n"
                         "p.author { text-align: center; }\nimg.cover { max-width: 100%; max-height: 100%; }\n";
        if (m_options.vertical)
            css += "html { writing-mode: vertical-rl; -epub-writing-mode: vertical-rl; }\n";
        m_zip->add(QStringLiteral("EPUB/style.css"), css);
        QString titlePage = QStringLiteral("<section epub:type=\"titlepage\">\n<h1 class=\"book\">%1</h1>\n")
                                .arg(xmlEscaped(orUntitled(meta.title)));
        if (!meta.author.isEmpty())
            titlePage += QStringLiteral("<p class=\"author\">%1</p>\n").arg(xmlEscaped(meta.author));
        m_zip->add(QStringLiteral("EPUB/title.xhtml"), xhtmlPage(meta.title, titlePage + "</section>\n").toUtf8());
        m_spine << QStringLiteral("title");
        m_manifest << QStringLiteral("<item id=\"title\" href=\"title.xhtml\" media-type=\"application/xhtml+xml\"/>");
        if (!m_options.coverImage.isEmpty())
            addCover();
    }

    void volume(const Node &node) override
    {
        closeVolume();
        const QString file = QStringLiteral("v%1.xhtml").arg(node.number, 4, 10, QLatin1Char('0'));
        const QString body = QStringLiteral("<section epub:type=\"part\">\n<h1>%1</h1>\n</section>\n")
                                 .arg(xmlEscaped(node.title));
        addPage(QStringLiteral("v%1").arg(node.number), file, xhtmlPage(node.title, body));
        m_nav += QStringLiteral("<li><a href=\"%1\">%2</a>").arg(file, xmlEscaped(orUntitled(node.title)));
        m_inVolume = true;
        m_volumeHasChapters = false;
    }

    void chapter(const Node &node, const Chapter &text) override
    {
        const QString file = QStringLiteral("c%1.xhtml").arg(node.number, 5, 10, QLatin1Char('0'));
        QString body = QStringLiteral("<section epub:type=\"chapter\">\n<h2>%1</h2>\n").arg(xmlEscaped(node.title));
        for (const Paragraph &p : text.paragraphs) {
            const char *cls = alignClass(p.align);
            body += cls ? QStringLiteral("<p class=\"%1\">").arg(QLatin1String(cls)) : QStringLiteral("<p>");
            body += xhtmlRuns(p);
            body += QLatin1String("</p>\n");
        }
        body += QLatin1String("</section>\n");
        addPage(QStringLiteral("c%1").arg(node.number), file, xhtmlPage(node.title, body));
        if (node.topLevel)
            closeVolume();
        if (m_inVolume && !m_volumeHasChapters)
            m_nav += QLatin1String("\n<ol>\n");
        m_volumeHasChapters = m_volumeHasChapters || m_inVolume;
        m_nav += QStringLiteral("<li><a href=\"%1\">%2</a></li>\n").arg(file, xmlEscaped(orUntitled(node.title)));
    }

    void finish() override
    {
        closeVolume();
        const QString title = xmlEscaped(orUntitled(m_meta.title));
        QString nav = QStringLiteral("<nav epub:type=\"toc\" id=\"toc\">\n<h1>目录</h1>\n<ol>\n"
                                     "<li><a href=\"title.xhtml\">%1</a></li>\n%2</ol>\n</nav>\n")
                          .arg(title, m_nav);
        m_zip->add(QStringLiteral("EPUB/nav.xhtml"), xhtmlPage(QStringLiteral("目录"), nav).toUtf8());

        const QString uuid = QUuid::createUuidV5(QUuid(), m_bookId).toString(QUuid::WithoutBraces);
        QString opf = QStringLiteral(
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<package xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\" unique-identifier=\"bookid\" "
                          "xml:lang=\"zh-CN\">\n<metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n"
                          "<dc:identifier id=\"bookid\">urn:uuid:%1</dc:identifier>\n<dc:title>%2</dc:title>\n"
                          "<dc:language>zh-CN</dc:language>\n")
                          .arg(uuid, title);
        if (!m_meta.author.isEmpty())
            opf += QStringLiteral("<dc:creator>%1</dc:creator>\n").arg(xmlEscaped(m_meta.author));
        if (m_hasCover)
            opf += QLatin1String("<meta name=\"cover\" content=\"cover-image\"/>\n");
        opf += QStringLiteral("<meta property=\"dcterms:modified\">%1</meta>\n</metadata>\n<manifest>\n"
                              "<item id=\"nav\" href=\"nav.xhtml\" media-type=\"application/xhtml+xml\" "
                              "properties=\"nav\"/>\n<item id=\"css\" href=\"style.css\" media-type=\"text/css\"/>\n")
                   .arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddThh:mm:ssZ")));
        opf += m_manifest.join(QLatin1Char('\n'));
        opf += m_options.vertical ? QStringLiteral("\n</manifest>\n<spine page-progression-direction=\"rtl\">\n")
                                  : QStringLiteral("\n</manifest>\n<spine>\n");
        if (m_hasCover)
            opf += QLatin1String("<itemref idref=\"cover\"/>\n");
        for (const QString &id : qAsConst(m_spine))
            opf += QStringLiteral("<itemref idref=\"%1\"/>\n").arg(id);
        opf += QLatin1String("</spine>\n</package>\n");
        m_zip->add(QStringLiteral("EPUB/package.opf"), opf.toUtf8());
        m_zip->close();
    }

private:
    void addPage(const QString &id, const QString &file, const QString &page)
    {
        m_zip->add(QStringLiteral("EPUB/") + file, page.toUtf8());
        m_manifest << QStringLiteral("<item id=\"%1\" href=\"%2\" media-type=\"application/xhtml+xml\"/>").arg(id, file);
        m_spine << id;
    }
    void closeVolume()
    {
        if (!m_inVolume)
            return;
        m_nav += m_volumeHasChapters ? QStringLiteral("</ol>\n</li>\n") : QStringLiteral("</li>\n");
        m_inVolume = false;
    }
    void addCover()
    {
        const QString suffix = QFileInfo(m_options.coverImage).suffix().toLower();
        const char *type = suffix == QLatin1String("png")                                  ? "image/png"
                           : suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg") ? "image/jpeg"
                                                                                           : nullptr;
        if (!type)
            throw Exception(QStringLiteral("封面图片%1不是JPEG或PNG文件。").arg(m_options.coverImage));
        QFile image(m_options.coverImage);
        if (!image.open(QIODevice::ReadOnly))
            throw Exception(QStringLiteral("无法读取封面图片%1：%2").arg(m_options.coverImage, image.errorString()));
        const QString file = QStringLiteral("cover.") + (suffix == QLatin1String("png") ? "png" : "jpg");
        m_zip->add(QStringLiteral("EPUB/") + file, image.readAll());
        m_manifest << QStringLiteral("<item id=\"cover-image\" href=\"%1\" media-type=\"%2\" properties=\"cover-image\"/>")
                          .arg(file, QLatin1String(type));
        const QString body = QStringLiteral("<section epub:type=\"cover\">\n<img class=\"cover\" src=\"%1\" alt=\"%2\"/>\n"
                                            "</section>\n")
                                 .arg(file, xmlEscaped(orUntitled(m_meta.title)));
        m_zip->add(QStringLiteral("EPUB/cover.xhtml"), xhtmlPage(m_meta.title, body).toUtf8());
        m_manifest << QStringLiteral("<item id=\"cover\" href=\"cover.xhtml\" media-type=\"application/xhtml+xml\"/>");
        m_hasCover = true;
    }

    Options m_options;
    Meta m_meta;
    QString m_bookId;
    std::unique_ptr<ZipWriter> m_zip;
    QStringList m_manifest;
    QStringList m_spine;
    QString m_nav;
    bool m_inVolume = false;
    bool m_volumeHasChapters = false;
    bool m_hasCover = false;
};

// ------------------------------------------------------------------------------------------ DOCX

const char *kDocxStyles =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<w:styles xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">\n"
    "<w:docDefaults><w:rPrDefault><w:rPr><w:rFonts w:eastAsia=\"%1\"/><w:sz w:val=\"24\"/><w:lang w:val=\"en-US\" "
    "w:eastAsia=\"zh-CN\"/></w:rPr></w:rPrDefault><w:pPrDefault><w:pPr><w:spacing w:after=\"120\" w:line=\"360\" "
    "w:lineRule=\"auto\"/></w:pPr></w:pPrDefault></w:docDefaults>\n"
    "<w:style w:type=\"paragraph\" w:default=\"1\" w:styleId=\"Normal\"><w:name w:val=\"Normal\"/><w:qFormat/></w:style>\n"
    "<w:style w:type=\"paragraph\" w:styleId=\"Title\"><w:name w:val=\"Title\"/><w:basedOn w:val=\"Normal\"/>"
    "<w:next w:val=\"Normal\"/><w:qFormat/><w:pPr><w:jc w:val=\"center\"/><w:spacing w:before=\"2400\" "
    "w:after=\"600\"/></w:pPr><w:rPr><w:b/><w:sz w:val=\"52\"/></w:rPr></w:style>\n"
    "<w:style w:type=\"paragraph\" w:styleId=\"Heading1\"><w:name w:val=\"heading 1\"/><w:basedOn w:val=\"Normal\"/>"
    "<w:next w:val=\"Normal\"/><w:qFormat/><w:pPr><w:keepNext/><w:pageBreakBefore/><w:jc w:val=\"center\"/>"
    "<w:spacing w:before=\"600\" w:after=\"600\"/><w:outlineLvl w:val=\"0\"/></w:pPr><w:rPr><w:b/><w:sz w:val=\"40\"/>"
    "</w:rPr></w:style>\n"
    "<w:style w:type=\"paragraph\" w:styleId=\"Heading2\"><w:name w:val=\"heading 2\"/><w:basedOn w:val=\"Normal\"/>"
    "<w:next w:val=\"Normal\"/><w:qFormat/><w:pPr><w:keepNext/><w:jc w:val=\"center\"/><w:spacing w:before=\"480\" "
    "w:after=\"360\"/><w:outlineLvl w:val=\"1\"/></w:pPr><w:rPr><w:b/><w:sz w:val=\"32\"/></w:rPr></w:style>\n"
    "</w:styles>\n";

class DocxWriter : public ManuscriptWriter
{
public:
    explicit DocxWriter(const Options &o) : m_options(o) {}

    void begin(const QString &path, const Outline &, const Meta &meta) override
    {
        m_zip.reset(new ZipWriter(path));
        m_zip->add(
            QStringLiteral("[Content_Types].xml"),
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
            "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
            "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
            "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
            "<Override PartName=\"/word/document.xml\" "
            "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/>"
            "<Override PartName=\"/word/styles.xml\" "
            "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.styles+xml\"/>"
            "<Override PartName=\"/docProps/core.xml\" "
            "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/></Types>\n");
        m_zip->add(QStringLiteral("_rels/.rels"),
                   "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                   "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                   "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
                   "relationships/officeDocument\" Target=\"word/document.xml\"/>"
                   "<Relationship Id=\"rId2\" Type=\"http://schemas.openxmlformats.org/package/2006/relationships/"
                   "metadata/core-properties\" Target=\"docProps/core.xml\"/></Relationships>\n");
        m_zip->add(QStringLiteral("word/_rels/document.xml.rels"),
                   "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                   "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                   "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
                   "relationships/styles\" Target=\"styles.xml\"/></Relationships>\n");
        const QString font = m_options.fontFamily.isEmpty() ? QStringLiteral("宋体") : m_options.fontFamily;
        m_zip->add(QStringLiteral("word/styles.xml"), QString::fromUtf8(kDocxStyles).arg(xmlEscaped(font)).toUtf8());
        QString core = QStringLiteral(
                           "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                           "<cp:coreProperties xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/"
                           "core-properties\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title>%1</dc:title>"
                           "<dc:creator>%2</dc:creator><dc:language>zh-CN</dc:language></cp:coreProperties>\n")
                           .arg(xmlEscaped(meta.title), xmlEscaped(meta.author));
        m_zip->add(QStringLiteral("docProps/core.xml"), core.toUtf8());
        m_zip->beginEntry(QStringLiteral("word/document.xml"));
        m_zip->write("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                     "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"><w:body>\n");
        m_zip->write(styled("Title", meta.title));
    }
    void volume(const Node &node) override { m_zip->write(styled("Heading1", node.title)); }
    void chapter(const Node &node, const Chapter &text) override
    {
        QString xml = QString::fromUtf8(styled("Heading2", node.title));
        for (const Paragraph &p : text.paragraphs) {
            xml += QLatin1String("<w:p>");
            if (const char *jc = p.align == Align::Center    ? "center"
                                 : p.align == Align::Right   ? "right"
                                 : p.align == Align::Justify ? "both"
                                 : p.align == Align::Left    ? "left"
                                                             : nullptr)
                xml += QStringLiteral("<w:pPr><w:jc w:val=\"%1\"/></w:pPr>").arg(QLatin1String(jc));
            for (const Run &run : p.runs)
                xml += runXml(run);
            xml += QLatin1String("</w:p>\n");
        }
        m_zip->write(xml.toUtf8());
    }
    void finish() override
    {
        const char *size = m_options.a4 ? "<w:pgSz w:w=\"11906\" w:h=\"16838\"/>" : "<w:pgSz w:w=\"8392\" w:h=\"11907\"/>";
        m_zip->write(QByteArray("<w:sectPr>") + size +
                     "<w:pgMar w:top=\"1134\" w:right=\"1020\" w:bottom=\"1134\" w:left=\"1020\" w:header=\"567\" "
                     "w:footer=\"567\" w:gutter=\"0\"/></w:sectPr>\n</w:body></w:document>\n");
        m_zip->endEntry();
        m_zip->close();
    }

private:
    static QString runXml(const Run &run)
    {
        QString props;
        if (run.bold)
            props += QLatin1String("<w:b/>");
        if (run.italic)
            props += QLatin1String("<w:i/>");
        if (run.underline)
            props += QLatin1String("<w:u w:val=\"single\"/>");
        QString xml;
        const QStringList lines = run.text.split(QLatin1Char('\n'));
        for (int i = 0; i < lines.size(); ++i) {
            if (i > 0)
                xml += QLatin1String("<w:br/>");
            xml += QStringLiteral("<w:t xml:space=\"preserve\">%1</w:t>").arg(xmlEscaped(lines.at(i)));
        }
        return QStringLiteral("<w:r>%1%2</w:r>").arg(props.isEmpty() ? QString() : "<w:rPr>" + props + "</w:rPr>", xml);
    }
    static QByteArray styled(const char *style, const QString &text)
    {
        return QStringLiteral("<w:p><w:pPr><w:pStyle w:val=\"%1\"/></w:pPr>%2</w:p>\n")
            .arg(QLatin1String(style), runXml({text}))
            .toUtf8();
    }

    Options m_options;
    std::unique_ptr<ZipWriter> m_zip;
};

// ------------------------------------------------------------------------------------------- ODT

// Spaces in ODF text collapse: every space after the first of a run, and one that begins a
// paragraph, is written as <text:s/>; a tab as <text:tab/>, a line break as <text:line-break/>.
QString odfText(const QString &text, bool *afterSpace)
{
    const QString escaped = xmlEscaped(text);
    QString out;
    out.reserve(escaped.size() + 16);
    int from = 0;
    for (int i = 0; i < escaped.size(); ++i) {
        const ushort u = escaped.at(i).unicode();
        if (u != ' ' && u != '\t' && u != '\n') {
            *afterSpace = false;
            continue;
        }
        out += escaped.midRef(from, i - from);
        from = i + 1;
        if (u == ' ') {
            out += *afterSpace ? QLatin1String("<text:s/>") : QLatin1String(" ");
            *afterSpace = true;
            continue;
        }
        *afterSpace = false;
        out += u == '\t' ? QLatin1String("<text:tab/>") : QLatin1String("<text:line-break/>");
    }
    out += escaped.midRef(from);
    return out;
}

class OdtWriter : public ManuscriptWriter
{
public:
    explicit OdtWriter(const Options &o) : m_options(o) {}

    void begin(const QString &path, const Outline &, const Meta &meta) override
    {
        m_zip.reset(new ZipWriter(path));
        m_zip->add(QStringLiteral("mimetype"), "application/vnd.oasis.opendocument.text", true);
        m_zip->add(QStringLiteral("META-INF/manifest.xml"),
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<manifest:manifest xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\" "
                   "manifest:version=\"1.2\">\n"
                   "<manifest:file-entry manifest:full-path=\"/\" manifest:version=\"1.2\" "
                   "manifest:media-type=\"application/vnd.oasis.opendocument.text\"/>\n"
                   "<manifest:file-entry manifest:full-path=\"content.xml\" manifest:media-type=\"text/xml\"/>\n"
                   "<manifest:file-entry manifest:full-path=\"styles.xml\" manifest:media-type=\"text/xml\"/>\n"
                   "<manifest:file-entry manifest:full-path=\"meta.xml\" manifest:media-type=\"text/xml\"/>\n"
                   "</manifest:manifest>\n");
        m_zip->add(QStringLiteral("meta.xml"),
                   QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                  "<office:document-meta xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
                                  "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" office:version=\"1.2\"><office:meta>"
                                  "<dc:title>%1</dc:title><dc:creator>%2</dc:creator><dc:language>zh-CN</dc:language>"
                                  "</office:meta></office:document-meta>\n")
                       .arg(xmlEscaped(meta.title), xmlEscaped(meta.author))
                       .toUtf8());
        const QString font = xmlEscaped(m_options.fontFamily.isEmpty() ? QStringLiteral("宋体") : m_options.fontFamily);
        const bool a4 = m_options.a4;
        m_zip->add(
            QStringLiteral("styles.xml"),
            QStringLiteral(
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                "<office:document-styles xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
                "xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\" "
                "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
                "xmlns:fo=\"urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0\" office:version=\"1.2\">\n"
                "<office:styles>\n"
                "<style:default-style style:family=\"paragraph\"><style:paragraph-properties fo:line-height=\"150%\"/>"
                "<style:text-properties style:font-name-asian=\"%1\" style:font-family-asian=\"%1\" "
                "fo:font-size=\"12pt\" style:font-size-asian=\"12pt\" fo:language=\"zh\" fo:country=\"CN\" "
                "style:language-asian=\"zh\" style:country-asian=\"CN\"/></style:default-style>\n"
                "<style:style style:name=\"Standard\" style:family=\"paragraph\" style:class=\"text\"/>\n"
                "<style:style style:name=\"Title\" style:family=\"paragraph\" style:parent-style-name=\"Standard\" "
                "style:class=\"chapter\"><style:paragraph-properties fo:text-align=\"center\" fo:margin-top=\"5cm\" "
                "fo:margin-bottom=\"2cm\"/><style:text-properties fo:font-size=\"26pt\" style:font-size-asian=\"26pt\" "
                "fo:font-weight=\"bold\" style:font-weight-asian=\"bold\"/></style:style>\n"
                "<style:style style:name=\"Heading\" style:family=\"paragraph\" style:parent-style-name=\"Standard\" "
                "style:class=\"text\"><style:paragraph-properties fo:text-align=\"center\" fo:keep-with-next=\"always\"/>"
                "<style:text-properties fo:font-weight=\"bold\" style:font-weight-asian=\"bold\"/></style:style>\n"
                "<style:style style:name=\"Heading_20_1\" style:display-name=\"Heading 1\" style:family=\"paragraph\" "
                "style:parent-style-name=\"Heading\" style:default-outline-level=\"1\" style:class=\"text\">"
                "<style:paragraph-properties fo:break-before=\"page\" fo:margin-top=\"1cm\" fo:margin-bottom=\"1cm\"/>"
                "<style:text-properties fo:font-size=\"20pt\" style:font-size-asian=\"20pt\"/></style:style>\n"
                "<style:style style:name=\"Heading_20_2\" style:display-name=\"Heading 2\" style:family=\"paragraph\" "
                "style:parent-style-name=\"Heading\" style:default-outline-level=\"2\" style:class=\"text\">"
                "<style:paragraph-properties fo:margin-top=\"0.8cm\" fo:margin-bottom=\"0.6cm\"/>"
                "<style:text-properties fo:font-size=\"16pt\" style:font-size-asian=\"16pt\"/></style:style>\n"
                "</office:styles>\n<office:automatic-styles><style:page-layout style:name=\"pm1\">"
                "<style:page-layout-properties fo:page-width=\"%2\" fo:page-height=\"%3\" fo:margin-top=\"2cm\" "
                "fo:margin-bottom=\"2cm\" fo:margin-left=\"1.8cm\" fo:margin-right=\"1.8cm\"/></style:page-layout>"
                "</office:automatic-styles>\n<office:master-styles><style:master-page style:name=\"Standard\" "
                "style:page-layout-name=\"pm1\"/></office:master-styles>\n</office:document-styles>\n")
                .arg(font, a4 ? QStringLiteral("21cm") : QStringLiteral("14.8cm"),
                     a4 ? QStringLiteral("29.7cm") : QStringLiteral("21cm"))
                .toUtf8());
        m_zip->beginEntry(QStringLiteral("content.xml"));
        QString head = QStringLiteral(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<office:document-content xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
            "xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\" "
            "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
            "xmlns:fo=\"urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0\" office:version=\"1.2\">\n"
            "<office:automatic-styles>\n");
        for (const char *align : {"start", "center", "end", "justify"})
            head += QStringLiteral("<style:style style:name=\"P_%1\" style:family=\"paragraph\" "
                                   "style:parent-style-name=\"Standard\"><style:paragraph-properties "
                                   "fo:text-align=\"%1\"/></style:style>\n")
                        .arg(QLatin1String(align));
        // One text style per mix of bold (1), italic (2) and underline (4).
        for (int mix = 1; mix < 8; ++mix) {
            QString props;
            if (mix & 1)
                props += QLatin1String(" fo:font-weight=\"bold\" style:font-weight-asian=\"bold\"");
            if (mix & 2)
                props += QLatin1String(" fo:font-style=\"italic\" style:font-style-asian=\"italic\"");
            if (mix & 4)
                props += QLatin1String(" style:text-underline-style=\"solid\" style:text-underline-width=\"auto\" "
                                       "style:text-underline-color=\"font-color\"");
            head += QStringLiteral("<style:style style:name=\"T%1\" style:family=\"text\"><style:text-properties%2/>"
                                   "</style:style>\n")
                        .arg(mix)
                        .arg(props);
        }
        head += QStringLiteral("</office:automatic-styles>\n<office:body>\n<office:text>\n"
                               "<text:p text:style-name=\"Title\">%1</text:p>\n")
                    .arg(odfLine(meta.title));
        m_zip->write(head.toUtf8());
    }
    void volume(const Node &node) override
    {
        m_zip->write(QStringLiteral("<text:h text:style-name=\"Heading_20_1\" text:outline-level=\"1\">%1</text:h>\n")
                         .arg(odfLine(node.title))
                         .toUtf8());
    }
    void chapter(const Node &node, const Chapter &text) override
    {
        QString xml = QStringLiteral("<text:h text:style-name=\"Heading_20_2\" text:outline-level=\"2\">%1</text:h>\n")
                          .arg(odfLine(node.title));
        for (const Paragraph &p : text.paragraphs) {
            const char *align = p.align == Align::Center    ? "P_center"
                                : p.align == Align::Right   ? "P_end"
                                : p.align == Align::Justify ? "P_justify"
                                : p.align == Align::Left    ? "P_start"
                                                            : "Standard";
            xml += QStringLiteral("<text:p text:style-name=\"%1\">").arg(QLatin1String(align));
            bool afterSpace = true;
            for (const Run &run : p.runs) {
                const int mix = (run.bold ? 1 : 0) | (run.italic ? 2 : 0) | (run.underline ? 4 : 0);
                const QString t = odfText(run.text, &afterSpace);
                xml += mix ? QStringLiteral("<text:span text:style-name=\"T%1\">%2</text:span>").arg(mix).arg(t) : t;
            }
            xml += QLatin1String("</text:p>\n");
        }
        m_zip->write(xml.toUtf8());
    }
    void finish() override
    {
        m_zip->write("</office:text>\n</office:body>\n</office:document-content>\n");
        m_zip->endEntry();
        m_zip->close();
    }

private:
    static QString odfLine(const QString &text)
    {
        bool afterSpace = true;
        return odfText(text, &afterSpace);
    }

    Options m_options;
    std::unique_ptr<ZipWriter> m_zip;
};

} // namespace

std::unique_ptr<ManuscriptWriter> makeTxtWriter(const Options &o) { return std::make_unique<TxtWriter>(o); }
std::unique_ptr<ManuscriptWriter> makeEpubWriter(const Options &o) { return std::make_unique<EpubWriter>(o); }
std::unique_ptr<ManuscriptWriter> makeDocxWriter(const Options &o) { return std::make_unique<DocxWriter>(o); }
std::unique_ptr<ManuscriptWriter> makeOdtWriter(const Options &o) { return std::make_unique<OdtWriter>(o); }
