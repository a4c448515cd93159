#include "material/SmartLibrary.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace material {

template <typename Field, typename Add>
void LibraryTable::appendRow(std::initializer_list<Field> searched, std::initializer_list<Field> kept, qint64 key,
                             Add add)
{
    m_keys.append(key);
    m_searchedFields = int(searched.size());
    for (const Field &f : searched) {
        add(m_building, f);
        m_building += kSeparator;
    }
    for (const Field &f : kept) {
        add(m_kept, f);
        m_kept += kSeparator;
    }
    m_searchStarts.append(m_building.size());
    // A table without kept fields needs no starts for them.
    if (kept.size() > 0)
        m_keptStarts.append(m_kept.size());
}

void LibraryTable::append(std::initializer_list<QStringView> searched, std::initializer_list<QStringView> kept,
                          qint64 key)
{
    appendRow(searched, kept, key, [](QString &to, QStringView f) { to.append(f.data(), int(f.size())); });
}

namespace {

bool continuation(uchar b) { return (b & 0xC0) == 0x80; }

// Decodes UTF-8 onto the end of to, without a QString per field: the load decodes every title
// and sentence of the libraries, and a QString and QVariant per field were most of its time.
void appendDecoded(QString &to, const LibraryTable::Utf8 &from)
{
    const int at = to.size();
    to.resize(at + from.size); // never more units than bytes
    ushort *const begin = reinterpret_cast<ushort *>(to.data());
    ushort *out = begin + at;
    const auto *in = reinterpret_cast<const uchar *>(from.data);
    const uchar *const end = in + from.size;
    while (in < end) {
        const uchar b = *in;
        if (b < 0x80) {
            *out++ = b;
            ++in;
            continue;
        }
        const std::ptrdiff_t left = end - in;
        if (b >= 0xE0 && b < 0xF0) {
            if (left >= 3 && continuation(in[1]) && continuation(in[2])) {
                const uint c = uint(b & 0x0F) << 12 | uint(in[1] & 0x3F) << 6 | uint(in[2] & 0x3F);
                if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
                    *out++ = ushort(c);
                    in += 3;
                    continue;
                }
            }
        } else if (b >= 0xC2 && b < 0xE0) {
            if (left >= 2 && continuation(in[1])) {
                *out++ = ushort(uint(b & 0x1F) << 6 | uint(in[1] & 0x3F));
                in += 2;
                continue;
            }
        } else if (b >= 0xF0 && b < 0xF5) {
            if (left >= 4 && continuation(in[1]) && continuation(in[2]) && continuation(in[3])) {
                const uint c = uint(b & 0x07) << 18 | uint(in[1] & 0x3F) << 12 | uint(in[2] & 0x3F) << 6 |
                               uint(in[3] & 0x3F);
                if (c >= 0x10000 && c <= 0x10FFFF) {
                    *out++ = QChar::highSurrogate(c);
                    *out++ = QChar::lowSurrogate(c);
                    in += 4;
                    continue;
                }
            }
        }
        *out++ = QChar::ReplacementCharacter;
        ++in;
    }
    to.resize(int(out - begin));
}

void foldAsciiInPlace(QString &text)
{
    for (QChar &c : text)
        if (c.unicode() >= 'A' && c.unicode() <= 'Z')
            c = QChar(c.unicode() + ('a' - 'A'));
}

// The bits a rank needs above its low byte, for an alphabet of that many characters.
int highBitsFor(int alphabetSize)
{
    int bits = 0;
    while ((alphabetSize - 1) >> (8 + bits))
        ++bits;
    return bits;
}

} // namespace

void LibraryTable::append(std::initializer_list<Utf8> searched, std::initializer_list<Utf8> kept, qint64 key)
{
    appendRow(searched, kept, key, appendDecoded);
}

void LibraryTable::squeeze(bool foldAsciiCase)
{
    if (foldAsciiCase) // in place: the buffer may be tens of megabytes
        foldAsciiInPlace(m_building);
    QVector<int> unitCounts(65536, 0);
    for (const QChar c : qAsConst(m_building))
        ++unitCounts[c.unicode()];
    // Ranks by frequency: the common characters then share their low byte only with rare ones,
    // and a scan for a low byte stops at few characters of another rank.
    m_alphabet = {kSeparator.unicode()};
    for (int unit = 0; unit < 65536; ++unit)
        if (unitCounts.at(unit) > 0 && unit != kSeparator.unicode())
            m_alphabet.append(ushort(unit));
    std::stable_sort(m_alphabet.begin() + 1, m_alphabet.end(),
                     [&unitCounts](ushort a, ushort b) { return unitCounts.at(a) > unitCounts.at(b); });
    QVector<int> rankOf(65536, 0);
    for (int rank = 0; rank < m_alphabet.size(); ++rank)
        rankOf[m_alphabet.at(rank)] = rank;
    m_highBits = highBitsFor(m_alphabet.size());
    const int size = m_building.size();
    m_low = QByteArray(size, Qt::Uninitialized);
    // One spare byte: codeAt reads two bytes of the high bits.
    m_high = QByteArray(int((qint64(size) * m_highBits + 7) / 8 + 1), '\0');
    auto *high = reinterpret_cast<uchar *>(m_high.data());
    for (int i = 0; i < size; ++i) {
        const int rank = rankOf.at(m_building.at(i).unicode());
        m_low[i] = char(rank & 0xFF);
        if (m_highBits > 0) {
            const qint64 bit = qint64(i) * m_highBits;
            const uint above = uint(rank >> 8) << (bit & 7);
            high[bit >> 3] |= uchar(above);
            high[(bit >> 3) + 1] |= uchar(above >> 8);
        }
    }
    m_rankCounts.resize(m_alphabet.size());
    for (int rank = 0; rank < m_alphabet.size(); ++rank)
        m_rankCounts[rank] = unitCounts.at(m_alphabet.at(rank));
    m_building = QString();
    indexAlphabet();
    m_kept.squeeze();
    m_searchStarts.squeeze();
    m_keptStarts.squeeze();
    m_keys.squeeze();
}

bool LibraryTable::indexAlphabet()
{
    m_ranks.resize(m_alphabet.size());
    for (int rank = 0; rank < m_alphabet.size(); ++rank)
        m_ranks[rank] = quint32(m_alphabet.at(rank)) << 16 | quint32(rank);
    std::sort(m_ranks.begin(), m_ranks.end());
    for (int i = 1; i < m_ranks.size(); ++i)
        if (m_ranks.at(i) >> 16 == m_ranks.at(i - 1) >> 16)
            return false;
    return !m_alphabet.isEmpty() && m_alphabet.first() == kSeparator.unicode() &&
           highBitsFor(m_alphabet.size()) == m_highBits &&
           m_rankCounts.size() == m_alphabet.size();
}

int LibraryTable::codeOf(ushort unit) const
{
    const auto it = std::lower_bound(m_ranks.cbegin(), m_ranks.cend(), quint32(unit) << 16);
    return it != m_ranks.cend() && *it >> 16 == unit ? int(*it & 0xFFFF) : -1;
}

QString foldAscii(QString text)
{
    foldAsciiInPlace(text);
    return text;
}

void LibraryTable::find(const QString &key, QVector<int> &rows) const
{
    if (key.isEmpty())
        return;
    std::vector<int> ranks(size_t(key.size()));
    for (int i = 0; i < key.size(); ++i) {
        ranks[size_t(i)] = codeOf(key.at(i).unicode());
        if (ranks[size_t(i)] <= 0) // not in the table, or the separator
            return;
    }
    // Look for the low byte of the key's rarest character with the vectorised byte search, then
    // compare the whole key around it.
    int anchor = 0;
    for (int i = 1; i < key.size(); ++i)
        if (m_rankCounts.at(ranks[size_t(i)]) < m_rankCounts.at(ranks[size_t(anchor)]))
            anchor = i;
    const int anchorRank = ranks[size_t(anchor)];
    const auto *low = reinterpret_cast<const uchar *>(m_low.constData());
    const int size = m_low.size(), keySize = key.size();
    int from = anchor;
    while (from < size) {
        const auto *hit = static_cast<const uchar *>(std::memchr(low + from, anchorRank & 0xFF, size_t(size - from)));
        if (!hit)
            return;
        const int at = int(hit - low);
        const int start = at - anchor;
        if (start + keySize > size)
            return;
        int i = 0;
        while (i < keySize && codeAt(start + i) == ranks[size_t(i)])
            ++i;
        if (i < keySize) {
            from = at + 1;
            continue;
        }
        const auto next = std::upper_bound(m_searchStarts.cbegin(), m_searchStarts.cend(), start);
        rows.append(int(next - m_searchStarts.cbegin()) - 1);
        from = *next + anchor; // the rest of the row would only list it again
    }
}

QString LibraryTable::field(int row, int k) const
{
    if (k >= m_searchedFields) {
        int at = m_keptStarts.at(row);
        for (int skip = k - m_searchedFields; skip > 0; --skip)
            at = m_kept.indexOf(kSeparator, at) + 1;
        return m_kept.mid(at, m_kept.indexOf(kSeparator, at) - at);
    }
    int at = m_searchStarts.at(row);
    const int end = m_searchStarts.at(row + 1);
    for (int skip = k; skip > 0 && at < end; ++at)
        if (codeAt(at) == 0)
            --skip;
    QString text(end - at, Qt::Uninitialized);
    int n = 0;
    for (int rank; at < end && (rank = codeAt(at)) != 0; ++at)
        text[n++] = QChar(m_alphabet.value(rank, ushort(QChar::ReplacementCharacter)));
    text.truncate(n);
    return text;
}

qint64 LibraryTable::bytes() const
{
    return qint64(m_low.capacity() + m_high.capacity()) + 2 * qint64(m_building.capacity() + m_kept.capacity()) +
           2 * qint64(m_alphabet.capacity()) + 4 * qint64(m_ranks.capacity() + m_rankCounts.capacity()) +
           4 * qint64(m_searchStarts.capacity() + m_keptStarts.capacity()) + 8 * qint64(m_keys.capacity());
}

} // namespace material
