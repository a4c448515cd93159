#include "export/Writers.h"

#include "app/Exception.h"
#include "book/TextTools.h"

#include <QFile>
#include <QTextCodec>

#include <cstring>

using namespace Manuscript;
using BookFileExport::Options;

namespace {

[[noreturn]] void writeFailed(const QString &path, const QString &reason)
{
    throw Exception(QStringLiteral("写入文件%1失败：%2").arg(path, reason));
}

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

} // namespace

std::unique_ptr<ManuscriptWriter> makeTxtWriter(const Options &o) { return std::make_unique<TxtWriter>(o); }
