#include "book/LcsDiff.h"

#include <QHash>
#include <QStringList>

#include <algorithm>
#include <vector>

namespace {

// The tokens of both texts as integers (equal tokens, equal numbers) with the text each one
// covers in `source`.
struct Side {
    QString source;
    std::vector<int> ids;
    std::vector<int> offsets; // by lines: token k is source[offsets[k], offsets[k + 1])

    QString text(bool byLines, int from, int count) const
    {
        if (!byLines)
            return source.mid(from, count);
        return source.mid(offsets[from], offsets[from + count] - offsets[from]);
    }
};

void tokenize(const QString &text1, const QString &text2, bool byLines, Side &a, Side &b)
{
    if (!byLines) {
        for (auto pair : {std::make_pair(&text1, &a), std::make_pair(&text2, &b)}) {
            Side &side = *pair.second;
            side.source = *pair.first;
            side.ids.reserve(side.source.size());
            for (const QChar c : side.source)
                side.ids.push_back(c.unicode());
        }
        return;
    }
    QHash<QStringRef, int> numbers;
    for (auto pair : {std::make_pair(&text1, &a), std::make_pair(&text2, &b)}) {
        Side &side = *pair.second;
        // Every piece gets its line feed back, the last one too.
        side.source = *pair.first + QLatin1Char('\n');
        side.offsets.push_back(0);
        int start = 0;
        const int size = side.source.size();
        while (start < size) {
            const int end = side.source.indexOf(QLatin1Char('\n'), start) + 1;
            const QStringRef piece = side.source.midRef(start, end - start);
            auto it = numbers.constFind(piece);
            if (it == numbers.constEnd())
                it = numbers.insert(piece, numbers.size());
            side.ids.push_back(it.value());
            side.offsets.push_back(end);
            start = end;
        }
    }
}

// Tokens at the end that both sides share. Equal tokens always take the diagonal, so the walk
// goes straight through them: stripping them changes nothing. (A common prefix would change the
// tie-break and stays.)
int commonSuffix(const Side &a, const Side &b)
{
    const int m = int(a.ids.size());
    const int n = int(b.ids.size());
    int s = 0;
    while (s < m && s < n && a.ids[m - 1 - s] == b.ids[n - 1 - s])
        ++s;
    return s;
}

enum Direction : quint64 { Diagonal = 0, Left = 1, Up = 2 };

// Fills the direction of every cell (i, j), 1 <= i <= m, 1 <= j <= n, 32 cells a word, rows
// `stride` words apart; the counts live in two rolling rows.
template <typename Count>
void fillDirections(const int *a, int m, const int *b, int n, std::vector<quint64> &dirs, size_t stride)
{
    std::vector<Count> rowA(size_t(n) + 1, 0), rowB(size_t(n) + 1, 0);
    Count *prev = rowA.data();
    Count *cur = rowB.data();
    for (int i = 1; i <= m; ++i) {
        const int ai = a[i - 1];
        quint64 *out = dirs.data() + size_t(i - 1) * stride;
        cur[0] = 0;
        quint64 word = 0;
        int shift = 0;
        for (int j = 1; j <= n; ++j) {
            quint64 d;
            if (ai == b[j - 1]) {
                cur[j] = Count(prev[j - 1] + 1);
                d = Diagonal;
            } else if (prev[j] <= cur[j - 1]) {
                cur[j] = cur[j - 1];
                d = Left;
            } else {
                cur[j] = prev[j];
                d = Up;
            }
            word |= d << shift;
            shift += 2;
            if (shift == 64) {
                *out++ = word;
                word = 0;
                shift = 0;
            }
        }
        if (shift)
            *out = word;
        std::swap(prev, cur);
    }
}

struct Piece {
    Diff::Operation operation;
    int start; // in text1 for EQUAL and DELETE, in text2 for INSERT
    int count;
};

// Adds a piece that comes before the pieces so far (the walk runs backwards).
void prepend(std::vector<Piece> &reversed, Diff::Operation op, int start, int count)
{
    if (!reversed.empty()) {
        Piece &last = reversed.back();
        if (last.operation == op && start + count == last.start) {
            last.start = start;
            last.count += count;
            return;
        }
    }
    reversed.push_back(Piece{op, start, count});
}

DiffList compute(const QString &text1, const QString &text2, bool byLines, qint64 maxCells, bool *tooLarge)
{
    Side a, b;
    tokenize(text1, text2, byLines, a, b);
    const int suffix = commonSuffix(a, b);
    const int m = int(a.ids.size()) - suffix;
    const int n = int(b.ids.size()) - suffix;
    if (tooLarge)
        *tooLarge = qint64(m) * qint64(n) > maxCells;
    if (tooLarge && *tooLarge)
        return DiffList();

    std::vector<Piece> reversed;
    if (suffix > 0)
        reversed.push_back(Piece{Diff::Equal, m, suffix});
    int i = m;
    int j = n;
    if (m > 0 && n > 0) {
        const size_t stride = (size_t(n) + 31) / 32;
        std::vector<quint64> dirs(stride * size_t(m));
        if (std::min(m, n) < 65536)
            fillDirections<quint16>(a.ids.data(), m, b.ids.data(), n, dirs, stride);
        else
            fillDirections<quint32>(a.ids.data(), m, b.ids.data(), n, dirs, stride);
        while (i > 0 && j > 0) {
            const quint64 word = dirs[size_t(i - 1) * stride + size_t(j - 1) / 32];
            const quint64 d = (word >> (2 * ((j - 1) % 32))) & 3;
            if (d == Diagonal) {
                --i;
                --j;
                prepend(reversed, Diff::Equal, i, 1);
            } else if (d == Up) {
                --i;
                prepend(reversed, Diff::Delete, i, 1);
            } else {
                --j;
                prepend(reversed, Diff::Insert, j, 1);
            }
        }
    }
    if (i > 0)
        prepend(reversed, Diff::Delete, 0, i);
    if (j > 0)
        prepend(reversed, Diff::Insert, 0, j);

    DiffList diffs;
    diffs.reserve(int(reversed.size()));
    for (auto it = reversed.rbegin(); it != reversed.rend(); ++it) {
        const Side &side = it->operation == Diff::Insert ? b : a;
        diffs.append(Diff{it->operation, side.text(byLines, it->start, it->count)});
    }
    return diffs;
}

} // namespace

DiffList lcsDiff(const QString &text1, const QString &text2, bool byLines)
{
    return compute(text1, text2, byLines, 0, nullptr);
}

qint64 lcsDiffCells(const QString &text1, const QString &text2, bool byLines)
{
    Side a, b;
    tokenize(text1, text2, byLines, a, b);
    const int suffix = commonSuffix(a, b);
    return qint64(a.ids.size() - suffix) * qint64(b.ids.size() - suffix);
}

QString diffPrettyHtml(const DiffList &diffs, bool useInsDel, bool wrap)
{
    QString html;
    if (wrap)
        html += QStringLiteral("<!DOCTYPE html><body>");
    for (const Diff &d : diffs) {
        QString text = d.text;
        text.replace(QLatin1Char('&'), QLatin1String("&amp;"))
            .replace(QLatin1Char('<'), QLatin1String("&lt;"))
            .replace(QLatin1Char('>'), QLatin1String("&gt;"))
            .replace(QLatin1Char('\n'), QLatin1String("<br>"))
            .replace(QLatin1Char(' '), QLatin1String("&nbsp;"))
            .replace(QChar(0x3000), QLatin1String("&nbsp;"))
            .replace(QLatin1Char('\t'), QLatin1String("&nbsp;&nbsp;"));
        switch (d.operation) {
        case Diff::Equal:
            html += QLatin1String("<span>") + text + QLatin1String("</span>");
            break;
        case Diff::Insert:
            html += useInsDel ? QLatin1String("<ins style='background:#e6ffe6;'>") + text + QLatin1String("</ins>")
                              : QLatin1String("<span style='background:#e6ffe6;'>") + text + QLatin1String("</span>");
            break;
        case Diff::Delete:
            html += useInsDel ? QLatin1String("<del style='background:#ffe6e6;'>") + text + QLatin1String("</del>")
                              : QLatin1String("<span style='background:#ffe6e6;text-decoration: line-through;'>") +
                                    text + QLatin1String("</span>");
            break;
        }
    }
    if (wrap)
        html += QStringLiteral("</body>");
    return html;
}

DiffView compareForView(const QString &stored, const QString &copy, bool showDiffs, bool byLines, qint64 maxCells)
{
    if (!showDiffs)
        return DiffView{copy, false};
    bool tooLarge = false;
    DiffList diffs = compute(stored, copy, byLines, maxCells, &tooLarge);
    QString note;
    if (tooLarge && !byLines) {
        diffs = compute(stored, copy, true, maxCells, &tooLarge);
        note = QStringLiteral("<p style='color:#b00000;'>文字太多，不能逐字对比，已改为按行对比差异。</p>");
    }
    if (tooLarge) {
        return DiffView{QStringLiteral("（文字太多，不能对比差异，下面是临时保存文件的内容。）\n\n") + copy, false};
    }
    if (note.isEmpty())
        return DiffView{diffPrettyHtml(diffs, false, true), true};
    return DiffView{QStringLiteral("<!DOCTYPE html><body>") + note + diffPrettyHtml(diffs, false, false) +
                        QStringLiteral("</body>"),
                    true};
}
