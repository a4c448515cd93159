#include "export/Writers.h"

#include "app/Exception.h"

#include <QFile>
#include <QFileInfo>
#include <QUuid>

using namespace Manuscript;
using BookFileExport::Options;

namespace {

QString orUntitled(const QString &title) { return title.trimmed().isEmpty() ? QStringLiteral("（无标题）") : title; }

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

} // namespace

std::unique_ptr<ManuscriptWriter> makeEpubWriter(const Options &o) { return std::make_unique<EpubWriter>(o); }
