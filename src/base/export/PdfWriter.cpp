#include "export/Writers.h"

#include "app/Exception.h"
#include "params/SysParams.h"

#include <QFile>
#include <QFontMetricsF>
#include <QPainter>
#include <QPdfWriter>
#include <QTextLayout>

#include <memory>

using namespace Manuscript;
using BookFileExport::Options;

namespace {

// A print proof: title page, table of contents, then the text, numbered from its first page.
// The text is laid out twice with the same rules: the first pass only counts pages, so that the
// contents (which come first) can name the page of every chapter.
class PdfWriter : public ManuscriptWriter
{
public:
    explicit PdfWriter(const Options &o) : m_options(o) {}
    int passes() const override { return 2; }

    void begin(const QString &path, const Outline &outline, const Meta &meta) override
    {
        m_path = path;
        m_meta = meta;
        m_outline = &outline;
        m_file.setFileName(path);
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            throw Exception(QStringLiteral("写入文件%1失败：%2").arg(path, m_file.errorString()));
        m_writer = std::make_unique<QPdfWriter>(&m_file);
        m_writer->setResolution(300);
        m_writer->setPageSize(m_options.a4 ? QPageSize(QPageSize::A4) : QPageSize(QPageSize::A5));
        m_writer->setPageMargins(m_options.a4 ? QMarginsF(22, 22, 22, 22) : QMarginsF(16, 16, 16, 18),
                                 QPageLayout::Millimeter);
        m_writer->setTitle(meta.title);
        m_writer->setCreator(QStringLiteral("砚舟写作"));
        const QString family =
            m_options.fontFamily.isEmpty() ? g_SysParams.editorParams.defaultFontName : m_options.fontFamily;
        m_body = QFont(family);
        m_body.setPointSizeF(m_options.a4 ? 12 : 10.5);
        m_body.setStyleStrategy(QFont::PreferOutline);
        m_heading = m_body;
        m_heading.setPointSizeF(m_body.pointSizeF() * 1.5);
        m_heading.setBold(true);
        m_area = QRectF(QPointF(0, 0), QSizeF(m_writer->width(), m_writer->height()));
        m_footer = QFontMetricsF(m_body, m_writer.get()).height() * 2;
        m_area.setHeight(m_area.height() - m_footer);
        const int tocLines = qMax(1, int(m_area.height() / lineHeight(m_body)) - 3);
        m_tocPerPage = tocLines;
    }

    void startPass(int pass) override
    {
        m_drawing = pass == 1;
        m_page = 0; // content pages, 1-based once the first begins
        m_y = 0;
        if (!m_drawing)
            return;
        m_painter = std::make_unique<QPainter>();
        if (!m_painter->begin(m_writer.get()))
            throw Exception(QStringLiteral("写入文件%1失败：无法开始PDF文件").arg(m_path));
        drawTitlePage();
        drawContents();
    }

    void volume(const Node &node) override
    {
        newPage();
        if (!m_drawing)
            m_pages.insert(node.id, m_page);
        m_y = m_area.height() / 4;
        paragraph(node.title, m_heading, Qt::AlignHCenter, 0);
        m_y += lineHeight(m_body);
    }

    void chapter(const Node &node, const Chapter &text) override
    {
        newPage();
        if (!m_drawing)
            m_pages.insert(node.id, m_page);
        paragraph(node.title, m_heading, Qt::AlignHCenter, 0);
        m_y += lineHeight(m_body);
        for (const Paragraph &p : text.paragraphs) {
            const PdfParagraph laid = pdfParagraph(p, m_body.pointSizeF());
            if (!laid.text.isEmpty())
                paragraph(laid.text, m_body, laid.align, lineHeight(m_body) * 0.35, laid.formats);
        }
    }

    void finish() override
    {
        if (m_painter) {
            footer();
            if (!m_painter->end())
                throw Exception(QStringLiteral("写入文件%1失败：PDF未能写完").arg(m_path));
        }
        m_painter.reset();
        m_writer.reset();
        if (!m_file.flush() || m_file.error() != QFileDevice::NoError)
            throw Exception(QStringLiteral("写入文件%1失败：%2").arg(m_path, m_file.errorString()));
        m_file.close();
    }

private:
    qreal lineHeight(const QFont &font) const { return QFontMetricsF(font, m_writer.get()).lineSpacing() * 1.25; }

    void newPage()
    {
        if (m_drawing) {
            if (m_page > 0)
                footer();
            // The title page and the contents came before: every content page is a new one.
            if (!m_writer->newPage())
                throw Exception(QStringLiteral("写入文件%1失败：无法新建页面").arg(m_path));
        }
        ++m_page;
        m_y = 0;
    }

    void footer()
    {
        m_painter->setFont(m_body);
        m_painter->drawText(QRectF(0, m_area.bottom() + m_footer / 3, m_area.width(), m_footer), Qt::AlignHCenter,
                            QString::number(m_page));
    }

    // Lays a paragraph out, then places its lines, continuing on new pages; draws them in the
    // drawing pass.
    void paragraph(const QString &text, const QFont &font, Qt::Alignment align, qreal after,
                   const QVector<QTextLayout::FormatRange> &formats = {})
    {
        QTextLayout layout(text, font, m_writer.get());
        layout.setFormats(formats);
        QTextOption option(align);
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine())
            line.setLineWidth(m_area.width());
        layout.endLayout();
        const qreal step = lineHeight(font);
        for (int i = 0; i < layout.lineCount(); ++i) {
            if (m_y + step > m_area.height())
                newPage();
            if (m_drawing) {
                const QTextLine line = layout.lineAt(i);
                line.draw(m_painter.get(), QPointF(0, m_y - line.y()));
            }
            m_y += step;
        }
        m_y += after;
    }

    void drawTitlePage()
    {
        QFont big = m_heading;
        big.setPointSizeF(m_body.pointSizeF() * 2.4);
        m_painter->setFont(big);
        m_painter->drawText(QRectF(0, m_area.height() / 4, m_area.width(), m_area.height() / 3),
                            Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, m_meta.title);
        if (!m_meta.author.isEmpty()) {
            QFont author = m_body;
            author.setPointSizeF(m_body.pointSizeF() * 1.3);
            m_painter->setFont(author);
            m_painter->drawText(QRectF(0, m_area.height() * 0.62, m_area.width(), m_area.height() / 6),
                                Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, m_meta.author);
        }
    }

    void drawContents()
    {
        const qreal step = lineHeight(m_body);
        int onPage = 0;
        QFont bold = m_body;
        bold.setBold(true);
        QFontMetricsF metrics(m_body, m_writer.get());
        auto startPage = [&]() {
            if (!m_writer->newPage())
                throw Exception(QStringLiteral("写入文件%1失败：无法新建页面").arg(m_path));
            onPage = 0;
            m_painter->setFont(m_heading);
            m_painter->drawText(QRectF(0, 0, m_area.width(), step * 2), Qt::AlignHCenter | Qt::AlignVCenter,
                                QStringLiteral("目录"));
        };
        startPage();
        for (const Node &node : m_outline->nodes) {
            if (onPage >= m_tocPerPage)
                startPage();
            const qreal y = step * (3 + onPage);
            const QString number = QString::number(m_pages.value(node.id));
            const qreal numberWidth = metrics.horizontalAdvance(QStringLiteral("00000"));
            const qreal left = node.volume ? 0 : metrics.horizontalAdvance(QString(2, QChar(0x3000)));
            m_painter->setFont(node.volume ? bold : m_body);
            const QString title =
                metrics.elidedText(node.title, Qt::ElideRight, m_area.width() - left - numberWidth - step);
            m_painter->drawText(QRectF(left, y, m_area.width() - left - numberWidth, step), Qt::AlignLeft, title);
            m_painter->setFont(m_body);
            m_painter->drawText(QRectF(m_area.width() - numberWidth, y, numberWidth, step), Qt::AlignRight, number);
            ++onPage;
        }
    }

    Options m_options;
    Meta m_meta;
    const Outline *m_outline = nullptr;
    QString m_path;
    QFile m_file;
    std::unique_ptr<QPdfWriter> m_writer;
    std::unique_ptr<QPainter> m_painter;
    QFont m_body, m_heading;
    QRectF m_area;
    qreal m_footer = 0;
    int m_tocPerPage = 1;
    bool m_drawing = false;
    int m_page = 0;
    qreal m_y = 0;
    QHash<QString, int> m_pages;
};

} // namespace

PdfParagraph pdfParagraph(const Paragraph &paragraph, qreal pointSize)
{
    PdfParagraph out;
    QString raw;
    QVector<QTextLayout::FormatRange> formats;
    for (const Run &run : paragraph.runs) {
        const bool sized = !qFuzzyCompare(run.scale, 1);
        if (run.bold || run.italic || run.underline || sized) {
            QTextLayout::FormatRange range;
            range.start = raw.size();
            range.length = run.text.size();
            if (run.bold)
                range.format.setFontWeight(QFont::Bold);
            range.format.setFontItalic(run.italic);
            range.format.setFontUnderline(run.underline);
            if (sized)
                range.format.setFontPointSize(pointSize * run.scale);
            formats.append(range);
        }
        raw += run.text;
    }
    // A line break inside a paragraph stays one; the layout breaks only at this separator.
    raw.replace(QLatin1Char('\n'), QChar::LineSeparator);
    int from = 0, to = raw.size();
    while (from < to && raw.at(from).isSpace())
        ++from;
    while (to > from && raw.at(to - 1).isSpace())
        --to;
    if (from == to)
        return out;
    switch (paragraph.align) {
    case Align::Center:
        out.align = Qt::AlignHCenter;
        break;
    case Align::Right:
        out.align = Qt::AlignRight;
        break;
    case Align::Justify:
        out.align = Qt::AlignJustify;
        break;
    default:
        out.align = Qt::AlignLeft;
    }
    // Centred and right-set lines stand without the indent that would move them off their place.
    if (out.align == Qt::AlignLeft || out.align == Qt::AlignJustify)
        out.text = QString(2, QChar(0x3000));
    const int shift = out.text.size() - from;
    out.text += raw.midRef(from, to - from);
    for (QTextLayout::FormatRange range : formats) {
        const int start = qMax(range.start, from), end = qMin(range.start + range.length, to);
        if (end <= start)
            continue;
        range.start = start + shift;
        range.length = end - start;
        out.formats.append(range);
    }
    return out;
}

std::unique_ptr<ManuscriptWriter> makePdfWriter(const Options &o) { return std::make_unique<PdfWriter>(o); }
