#include "export/Writers.h"

using namespace Manuscript;
using BookFileExport::Options;

namespace {

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

std::unique_ptr<ManuscriptWriter> makeOdtWriter(const Options &o) { return std::make_unique<OdtWriter>(o); }
