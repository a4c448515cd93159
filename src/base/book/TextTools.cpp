#include "book/TextTools.h"

#include "app/Constants.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVector>

namespace TextTools {

WordStatistics countWords(const QString &text)
{
    // One pass over the code units; a regular expression per class would cost far more on long
    // runs of one class, and PCRE2 reads "\x4e00" as U+004E followed by "00".
    WordStatistics s;
    s.total = text.size();
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u >= 0x4E00 && u <= 0x9FA5)
            ++s.chinese;
        else if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9'))
            ++s.latin;
    }
    s.other = s.total - s.chinese - s.latin;
    return s;
}

QString statisticsText(const WordStatistics &s)
{
    return QStringLiteral("总:%1,中:%2,英数:%3,其:%4").arg(s.total).arg(s.chinese).arg(s.latin).arg(s.other);
}

QList<int> alertThresholds(const QString &list)
{
    QList<int> thresholds;
    for (const QString &entry : list.split(QLatin1Char('\n'))) {
        bool ok = false;
        const int value = entry.trimmed().toInt(&ok);
        if (ok && value > 0)
            thresholds << value;
    }
    return thresholds;
}

int crossedThreshold(const QList<int> &thresholds, int last, int total)
{
    for (int threshold : thresholds)
        if (last < threshold && threshold <= total)
            return threshold;
    return 0;
}

QStringList sensitiveWordList(const QString &list)
{
    QStringList words;
    for (const QString &part : list.split(QRegExp(QStringLiteral("[\n/]")))) {
        const QString word = part.trimmed();
        if (!word.isEmpty())
            words << word;
    }
    return words;
}

int markSensitiveWords(QTextDocument *doc, const QStringList &words)
{
    // The plain text maps one to one onto document positions (separators and no-break spaces
    // are one unit each, as the document's own find sees them).
    const QString text = doc->toPlainText();
    QVector<QPair<int, int>> hits;
    for (const QString &word : words) {
        if (word.isEmpty())
            continue;
        for (int at = text.indexOf(word, 0, Qt::CaseInsensitive); at >= 0;
             at = text.indexOf(word, at + word.size(), Qt::CaseInsensitive))
            hits.append({at, at + word.size()});
    }
    if (hits.isEmpty())
        return 0;
    QTextCursor cursor(doc);
    QTextCharFormat mark;
    mark.setFontOverline(true);
    cursor.beginEditBlock();
    for (const auto &hit : hits) {
        cursor.setPosition(hit.first);
        cursor.setPosition(hit.second, QTextCursor::KeepAnchor);
        cursor.mergeCharFormat(mark);
    }
    cursor.endEditBlock();
    return hits.size();
}

bool clearSensitiveWordMarks(QTextDocument *doc)
{
    // Ranges first: changing formats splits and merges the fragments being walked.
    QVector<QPair<int, int>> marked;
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (fragment.isValid() && fragment.charFormat().fontOverline())
                marked.append({fragment.position(), fragment.position() + fragment.length()});
        }
    }
    if (marked.isEmpty())
        return false;
    QTextCursor cursor(doc);
    QTextCharFormat plain;
    plain.setFontOverline(false);
    cursor.beginEditBlock();
    for (const auto &range : marked) {
        cursor.setPosition(range.first);
        cursor.setPosition(range.second, QTextCursor::KeepAnchor);
        cursor.mergeCharFormat(plain);
    }
    cursor.endEditBlock();
    return true;
}

QString autoFormatText(const QString &plainText) { return autoFormatText(plainText, QString(2, Ink::paragraphIndentChar)); }

QString autoFormatText(const QString &plainText, const QString &indent)
{
    // One pass without a list of lines: a whole book goes through here on export.
    QString out;
    out.reserve(plainText.size() + plainText.size() / 16 + 16);
    const int n = plainText.size();
    for (int start = 0; start <= n;) {
        int end = plainText.indexOf(QLatin1Char('\n'), start);
        if (end < 0)
            end = n;
        const QStringRef line = plainText.midRef(start, end - start).trimmed();
        if (!line.isEmpty()) {
            // A blank line between paragraphs, a line end after the last.
            if (!out.isEmpty())
                out += QLatin1Char('\n');
            out += indent;
            out += line;
            out += QLatin1Char('\n');
        }
        start = end + 1;
    }
    return out;
}

void applyAutoFormat(QTextDocument *doc)
{
    const QString text = autoFormatText(doc->toPlainText());
    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    cursor.select(QTextCursor::Document);
    // A blank format: the text comes in plain, without the first character's bold or colour, and
    // so does typing in the first paragraph.
    cursor.insertText(text, QTextCharFormat());
    cursor.setPosition(0);
    cursor.setBlockCharFormat(QTextCharFormat());
    cursor.endEditBlock();
}

QString separatorLine(bool emptyParagraph)
{
    const QString line = QString(50, QLatin1Char('-')) + QLatin1Char('\n');
    return emptyParagraph ? line : QLatin1Char('\n') + line;
}

namespace {

bool isLineBreak(QChar c)
{
    return c == QChar::ParagraphSeparator || c == QChar::LineSeparator || c == QLatin1Char('\n') ||
           c == QLatin1Char('\r');
}

} // namespace

QString titleFromSelection(const QString &selectedText)
{
    QString title = selectedText;
    for (QChar &c : title)
        if (isLineBreak(c))
            c = QLatin1Char(' ');
    title = title.trimmed();
    if (title.size() > maxTitleLength) {
        int cut = maxTitleLength;
        // Never half of a surrogate pair.
        if (title.at(cut - 1).isHighSurrogate())
            --cut;
        title = title.left(cut).trimmed();
    }
    return title;
}

QString findTextFromSelection(const QString &selectedText)
{
    int end = 0;
    while (end < selectedText.size() && !isLineBreak(selectedText.at(end)))
        ++end;
    return selectedText.left(end);
}

} // namespace TextTools
