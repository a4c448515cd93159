#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QSqlDatabase>
#include <QString>
#include <QStringView>
#include <QVector>

#include <functional>
#include <initializer_list>
#include <memory>

class TreeNodeInfo;

namespace material {

// One library held in memory for the suggestions. The searched fields of all rows lie in one
// sequence, each field followed by a separator no key contains, so one scan tests every row.
// Each character is held as its rank in the table's own alphabet (commonest first): the low
// byte in one array, which a byte scan searches, the bits above it packed in a second one. A
// library of a few thousand distinct characters so takes 13 bits a character instead of
// UTF-16's 16. The other fields live in a UTF-16 buffer and are only split out for the rows a
// page shows.
class LibraryTable
{
public:
    static constexpr QChar kSeparator = QChar(0xFFFF); // a noncharacter: never typed

    // A field as the library file holds it: UTF-8, not terminated.
    struct Utf8 {
        const char *data = nullptr;
        int size = 0;
    };

    // Appends a row: `searched` go into the search buffer, `kept` beside it; key finds the row
    // in its file again.
    void append(std::initializer_list<QStringView> searched, std::initializer_list<QStringView> kept, qint64 key = 0);
    // The same from UTF-8, decoded straight into the buffers (invalid bytes become U+FFFD).
    void append(std::initializer_list<Utf8> searched, std::initializer_list<Utf8> kept, qint64 key);
    // Ends the appending: encodes the searched fields as ranks and frees the spare room; find()
    // and field() need it. foldAsciiCase lowercases the ASCII letters first, for a search that
    // ignores their case as SQL's LIKE does (keys then go through foldAscii).
    void squeeze(bool foldAsciiCase = false);
    int size() const { return m_searchStarts.size() - 1; }
    // Rows whose searched fields contain key (case-sensitive), in row order, each once.
    void find(const QString &key, QVector<int> &rows) const;
    // Field k of a row: searched fields first, then kept ones.
    QString field(int row, int k) const;
    qint64 key(int row) const { return m_keys.at(row); }
    qint64 bytes() const;

    // The table as a cache file beside its library: enciphered like the library, stamped with
    // identity (the library's version, size and time) and a checksum. Only tables without kept
    // fields are cached. writeCache replaces the file whole; readCache fills the table straight
    // from the file in one pass and is false, leaving the table empty, for a missing, stale or
    // damaged cache.
    bool writeCache(const QString &path, const QByteArray &identity) const;
    bool readCache(const QString &path, const QByteArray &identity);

private:
    // The rank of a character, -1 when the table does not hold it.
    int codeOf(ushort unit) const;
    int codeAt(int at) const
    {
        if (m_highBits == 0)
            return uchar(m_low.at(at));
        const qint64 bit = qint64(at) * m_highBits;
        const auto *high = reinterpret_cast<const uchar *>(m_high.constData()) + (bit >> 3);
        const uint above = ((uint(high[0]) | uint(high[1]) << 8) >> (bit & 7)) & ((1u << m_highBits) - 1);
        return int(above << 8 | uchar(m_low.at(at)));
    }
    // Checks what a cache brought: the alphabet, the ranks' width and the row starts.
    bool indexAlphabet();
    // The one body of both append()s; add puts a field onto the end of a buffer.
    template <typename Field, typename Add>
    void appendRow(std::initializer_list<Field> searched, std::initializer_list<Field> kept, qint64 key, Add add);

    QString m_building; // the searched fields in UTF-16 until squeeze()
    QByteArray m_low;   // per character: the rank's low byte; 0 (the separator's rank) ends a field
    QByteArray m_high;  // per character: the rank's bits above the low byte, m_highBits wide, packed
    int m_highBits = 0;
    QVector<ushort> m_alphabet{kSeparator.unicode()}; // by rank
    QVector<quint32> m_ranks;  // unit << 16 | rank, ascending: a key's ranks found by bisection
    QVector<int> m_rankCounts; // occurrences of each rank, for the key's rarest character
    QString m_kept;
    QVector<int> m_searchStarts{0};
    QVector<int> m_keptStarts{0};
    QVector<qint64> m_keys;
    int m_searchedFields = 0;
};

// text with the ASCII letters lowercased, the rest unchanged.
QString foldAscii(QString text);

// The three libraries the suggestions filter, read once and never changed afterwards: a
// finished result set refers to them by row. Of the sentences and materials only the searched
// fields and the rowid are held: a page fetches the keys of the rows it shows, and the texts of
// materials, from the library files (which the program never writes). User materials are held
// whole.
class SmartLibraries
{
public:
    enum Kind { Sentence = 0, Material = 1, UserMaterial = 2 };
    static constexpr int kChunkRows = 2000;
    // A chunk also ends after this long, so that slow rows never hold the lock for long.
    static constexpr int kChunkMs = 8;

    // Reads the three libraries through db in rowid chunks, taking the connection lock for one
    // chunk at a time. `interrupted` is asked before and after every chunk; a true answer ends
    // the read with null. Throws Exception on a failing statement.
    // The sentences and materials come from their caches beside the library files when those
    // match the libraries (useCaches); a missing, stale or damaged cache is read from the
    // library instead and written anew, and a cache that cannot be written is only logged.
    static std::shared_ptr<const SmartLibraries> load(const QSqlDatabase &db,
                                                       const std::function<bool()> &interrupted,
                                                       bool useCaches = true);
    // The titles and texts of the library's materials (two searched fields, ASCII folded, keyed
    // by rowid) for the keyword search, read like load; null when interrupted.
    static std::shared_ptr<const LibraryTable> loadMaterialTexts(const QSqlDatabase &db,
                                                                 const std::function<bool()> &interrupted);
    // The cache file of a library file.
    static QString cachePath(const QString &libraryFile) { return libraryFile + QStringLiteral(".search"); }

    const LibraryTable &table(Kind kind) const { return m_tables[kind]; }
    LibraryTable &table(Kind kind) { return m_tables[kind]; }
    qint64 bytes() const;

    // Row references: the kind in the top bits, the row below.
    static quint32 ref(Kind kind, int row) { return (quint32(kind) << 28) | quint32(row); }
    static Kind kindOf(quint32 ref) { return Kind(ref >> 28); }
    static int rowOf(quint32 ref) { return int(ref & 0x0FFFFFFF); }

    // Sentences by title or text, then materials and user materials by title under their
    // switches, each in database order.
    QVector<quint32> filter(const QString &key, bool includeMaterial, bool includeUserMaterial) const;
    // The record of a row as far as memory holds it: a sentence's or material's id and pID and a
    // material's text left empty.
    void readRecord(quint32 ref, TreeNodeInfo &info) const;
    // The records of rows, what memory does not hold fetched from db by rowid, one statement per
    // library. A failing fetch (or a row gone) leaves those fields empty; failures go to "err".
    void readRecords(const QSqlDatabase &db, const quint32 *refs, const QVector<TreeNodeInfo *> &records) const;

private:
    LibraryTable m_tables[3];
};

using LibrariesPtr = std::shared_ptr<const SmartLibraries>;

// A finished search, handed to the GUI thread by value: the rows refer into libraries that
// nobody rewrites.
struct SmartResult {
    LibrariesPtr libraries;
    QVector<quint32> rows;
    int size() const { return rows.size(); }
};

} // namespace material

Q_DECLARE_METATYPE(material::SmartResult)
