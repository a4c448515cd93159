#include "export/Writers.h"

using namespace Manuscript;
using BookFileExport::Options;

namespace {

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

} // namespace

std::unique_ptr<ManuscriptWriter> makeDocxWriter(const Options &o) { return std::make_unique<DocxWriter>(o); }
