#include "material/SmartLibrary.h"

#include <algorithm>

namespace material {

void LibraryTable::append(std::initializer_list<QStringView> searched, std::initializer_list<QStringView> kept,
                          qint64 key)
{
    m_keys.append(key);
    m_searchedFields = int(searched.size());
    for (const QStringView f : searched) {
        m_search.append(f.data(), int(f.size()));
        m_search += kSeparator;
    }
    for (const QStringView f : kept) {
        m_kept.append(f.data(), int(f.size()));
        m_kept += kSeparator;
    }
    m_searchStarts.append(m_search.size());
    if (kept.size() > 0)
        m_keptStarts.append(m_kept.size());
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

} // namespace

void LibraryTable::append(std::initializer_list<Utf8> searched, std::initializer_list<Utf8> kept, qint64 key)
{
    m_keys.append(key);
    m_searchedFields = int(searched.size());
    for (const Utf8 &f : searched) {
        appendDecoded(m_search, f);
        m_search += kSeparator;
    }
    for (const Utf8 &f : kept) {
        appendDecoded(m_kept, f);
        m_kept += kSeparator;
    }
    m_searchStarts.append(m_search.size());
    // A table without kept fields needs no starts for them.
    if (kept.size() > 0)
        m_keptStarts.append(m_kept.size());
}

void LibraryTable::squeeze(bool foldAsciiCase)
{
    if (foldAsciiCase) // in place: the buffer may be tens of megabytes
        for (QChar &c : m_search)
            if (c.unicode() >= 'A' && c.unicode() <= 'Z')
                c = QChar(c.unicode() + ('a' - 'A'));
    m_charCounts.fill(0, 65536);
    for (const QChar c : qAsConst(m_search))
        ++m_charCounts[c.unicode()];
    m_search.squeeze();
    m_kept.squeeze();
    m_searchStarts.squeeze();
    m_keptStarts.squeeze();
    m_keys.squeeze();
}

QString foldAscii(QString text)
{
    for (QChar &c : text)
        if (c.unicode() >= 'A' && c.unicode() <= 'Z')
            c = QChar(c.unicode() + ('a' - 'A'));
    return text;
}

void LibraryTable::find(const QString &key, QVector<int> &rows) const
{
    if (key.isEmpty() || key.contains(kSeparator))
        return;
    // Look for the key's rarest character with the vectorised single-character search, then
    // compare the whole key around it.
    int anchor = 0;
    for (int i = 1; i < key.size(); ++i)
        if (m_charCounts.value(key.at(i).unicode()) < m_charCounts.value(key.at(anchor).unicode()))
            anchor = i;
    if (!m_charCounts.isEmpty() && m_charCounts.at(key.at(anchor).unicode()) == 0)
        return;
    const QStringView buffer(m_search);
    const QChar anchorChar = key.at(anchor);
    const int size = buffer.size(), keySize = key.size();
    int from = anchor;
    while (from < size) {
        const int at = int(buffer.indexOf(anchorChar, from));
        if (at < 0)
            return;
        const int start = at - anchor;
        if (start + keySize > size)
            return;
        if (buffer.mid(start, keySize) != key) {
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
    const bool searched = k < m_searchedFields;
    const QString &buffer = searched ? m_search : m_kept;
    int at = (searched ? m_searchStarts : m_keptStarts).at(row);
    for (int skip = searched ? k : k - m_searchedFields; skip > 0; --skip)
        at = buffer.indexOf(kSeparator, at) + 1;
    return buffer.mid(at, buffer.indexOf(kSeparator, at) - at);
}

qint64 LibraryTable::bytes() const
{
    return 2 * qint64(m_search.capacity() + m_kept.capacity()) + 4 * qint64(m_charCounts.capacity()) +
           4 * qint64(m_searchStarts.capacity() + m_keptStarts.capacity()) + 8 * qint64(m_keys.capacity());
}

} // namespace material
