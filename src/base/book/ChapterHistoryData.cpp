// How a version's text is stored: whole, or as line differences against the next newer version,
// compressed either way.
#include "book/ChapterHistoryData.h"

#include "app/Exception.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QHash>
#include <QStringList>

#include <cstring>

namespace {

constexpr quint8 kFormat = 1;

// An older text as the lines of the next newer one: copied, edited in place (a common beginning
// and end kept) or inserted. Chapters change by paragraphs, and the editor's HTML keeps one
// paragraph a line, so a version costs about what was typed between it and the next.
struct Lines {
    QStringList lines;
    QHash<QString, int> index; // first occurrence of each line, when asked for
    explicit Lines(const QString &text, bool indexed) : lines(text.split(QLatin1Char('\n')))
    {
        if (!indexed)
            return;
        index.reserve(lines.size());
        for (int i = lines.size() - 1; i >= 0; --i)
            index.insert(lines.at(i), i);
    }
};

enum Op : qint32 { Copy = 0, Insert = 1, Edit = 2 };

struct Delta {
    QVector<qint32> ops;  // Copy start count | Insert count | Edit line prefix suffix
    QStringList pieces;   // inserted lines and the middles of edited ones, in order
    qint64 newChars = 0;
};

int commonPrefix(const QString &a, const QString &b)
{
    const int n = qMin(a.size(), b.size());
    int i = 0;
    while (i < n && a.at(i) == b.at(i))
        ++i;
    return i;
}

int commonSuffix(const QString &a, const QString &b, int limit)
{
    int i = 0;
    while (i < limit && a.at(a.size() - 1 - i) == b.at(b.size() - 1 - i))
        ++i;
    return i;
}

Delta makeDelta(const Lines &base, const QString &text)
{
    Delta d;
    int expected = 0; // the base line that would follow the last one used
    int copyAt = -1;  // index in ops of the open Copy, or -1
    int insertAt = -1;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        int from = -1;
        if (expected < base.lines.size() && base.lines.at(expected) == line)
            from = expected;
        else if (const auto it = base.index.constFind(line); it != base.index.constEnd())
            from = *it;
        if (from >= 0) {
            insertAt = -1;
            if (copyAt >= 0 && d.ops.at(copyAt + 1) + d.ops.at(copyAt + 2) == from) {
                ++d.ops[copyAt + 2];
            } else {
                copyAt = d.ops.size();
                d.ops << Copy << from << 1;
            }
            expected = from + 1;
            continue;
        }
        copyAt = -1;
        if (expected < base.lines.size()) {
            const QString &old = base.lines.at(expected);
            const int prefix = commonPrefix(old, line);
            const int suffix = commonSuffix(old, line, qMin(old.size(), line.size()) - prefix);
            if ((prefix + suffix) * 2 >= line.size() && prefix + suffix > 0) {
                insertAt = -1;
                d.ops << Edit << expected << prefix << suffix;
                d.pieces << line.mid(prefix, line.size() - prefix - suffix);
                d.newChars += line.size() - prefix - suffix;
                ++expected;
                continue;
            }
        }
        if (insertAt >= 0) {
            ++d.ops[insertAt + 1];
        } else {
            insertAt = d.ops.size();
            d.ops << Insert << 1;
        }
        d.pieces << line;
        d.newChars += line.size() + 1;
    }
    return d;
}

bool applyDelta(const Lines &base, const QVector<qint32> &ops, const QStringList &pieces, QString *out)
{
    QStringList lines;
    int next = 0;
    const int n = base.lines.size();
    for (int i = 0; i < ops.size();) {
        const qint32 op = ops.at(i);
        if (op == Copy && i + 2 < ops.size()) {
            const qint32 start = ops.at(i + 1), count = ops.at(i + 2);
            if (start < 0 || count < 0 || start + count > n)
                return false;
            for (int k = start; k < start + count; ++k)
                lines << base.lines.at(k);
            i += 3;
        } else if (op == Insert && i + 1 < ops.size()) {
            const qint32 count = ops.at(i + 1);
            if (count < 0 || next + count > pieces.size())
                return false;
            for (int k = 0; k < count; ++k)
                lines << pieces.at(next++);
            i += 2;
        } else if (op == Edit && i + 3 < ops.size()) {
            const qint32 at = ops.at(i + 1), prefix = ops.at(i + 2), suffix = ops.at(i + 3);
            if (at < 0 || at >= n || prefix < 0 || suffix < 0 || prefix + suffix > base.lines.at(at).size() ||
                next >= pieces.size())
                return false;
            const QString &old = base.lines.at(at);
            lines << old.left(prefix) + pieces.at(next++) + old.right(suffix);
            i += 4;
        } else {
            return false;
        }
    }
    *out = lines.join(QLatin1Char('\n'));
    return true;
}

} // namespace

namespace ChapterHistoryData {

// Eight bytes of MD5 over both texts: equal texts are told apart from changed ones cheaply.
qint64 digestOf(const QString &html, const QString &plainText)
{
    QCryptographicHash h(QCryptographicHash::Md5);
    h.addData(html.toUtf8());
    h.addData("\x1f", 1);
    h.addData(plainText.toUtf8());
    qint64 d = 0;
    memcpy(&d, h.result().constData(), sizeof d);
    return d;
}

// Data of a version: kFormat, then 0 with the whole plain text and html, or 1 with the
// differences of both from the next newer version (its Base).
QByteArray encodeWhole(const ChapterHistory::Text &t)
{
    QByteArray raw;
    QDataStream s(&raw, QIODevice::WriteOnly);
    s << kFormat << quint8(0) << t.plainText << t.html;
    // The fastest level: a chapter's whole text is compressed at every save.
    return qCompress(raw, 1);
}

[[noreturn]] void damaged(qint64 id)
{
    throw Exception(QStringLiteral("章节历史版本已损坏（%1）。").arg(id), QStringLiteral("ERR_HISTORY"));
}

// The text of one version from its data and, for a difference, the text of its base.
ChapterHistory::Text decode(qint64 id, const QByteArray &data, const ChapterHistory::Text *base)
{
    const QByteArray raw = qUncompress(data);
    QDataStream s(raw);
    quint8 format = 0, kind = 0;
    s >> format >> kind;
    ChapterHistory::Text t;
    if (raw.isEmpty() || format != kFormat)
        damaged(id);
    if (kind == 0) {
        s >> t.plainText >> t.html;
    } else {
        QVector<qint32> plainOps, htmlOps;
        QStringList plainPieces, htmlPieces;
        s >> plainOps >> plainPieces >> htmlOps >> htmlPieces;
        if (!base || s.status() != QDataStream::Ok ||
            !applyDelta(Lines(base->plainText, false), plainOps, plainPieces, &t.plainText) ||
            !applyDelta(Lines(base->html, false), htmlOps, htmlPieces, &t.html))
            damaged(id);
    }
    if (s.status() != QDataStream::Ok)
        damaged(id);
    t.found = true;
    return t;
}

// Data of `t` stored against `base` (the next newer version), or whole when most of it is new.
QByteArray encodeAgainst(const ChapterHistory::Text &t, const ChapterHistory::Text &base, bool *isDelta)
{
    const Delta p = makeDelta(Lines(base.plainText, true), t.plainText);
    const Delta h = makeDelta(Lines(base.html, true), t.html);
    *isDelta = (p.newChars + h.newChars) * 2 < t.plainText.size() + t.html.size();
    if (!*isDelta)
        return encodeWhole(t);
    QByteArray raw;
    QDataStream s(&raw, QIODevice::WriteOnly);
    s << kFormat << quint8(1) << p.ops << p.pieces << h.ops << h.pieces;
    return qCompress(raw);
}

} // namespace ChapterHistoryData
