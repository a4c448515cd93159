#include "material/SmartLibrary.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "book/TreeNodeInfo.h"
#include "log/Log.h"
#include "material/MaterialList.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"
#include "storage/DbLock.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <nettle/chacha.h>
#include <nettle/sha2.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <zlib.h>

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

namespace {

constexpr char kCacheMagic[8] = {'I', 'N', 'K', 'S', 'R', 'C', 'H', '\0'};
constexpr quint32 kCacheFormat = 1;
constexpr int kBlock = CHACHA_BLOCK_SIZE;

qint64 padded(qint64 bytes) { return (bytes + kBlock - 1) / kBlock * kBlock; }

// The fixed part of a cache file after the magic, the identity and the nonce.
struct CacheCounts {
    quint32 searchedFields = 0;
    quint32 rows = 0;
    quint32 searchChars = 0;
    quint32 charCounts = 0;
    quint32 crc = 0;
};

// The same program key as the libraries, turned into a stream key of its own.
void cacheKey(chacha_ctx *ctx, const uchar *nonce)
{
    static const QByteArray key = [] {
        const QByteArray text = Ink::libraryKey().toUtf8() + QByteArrayLiteral("/search cache");
        sha256_ctx sha;
        sha256_init(&sha);
        sha256_update(&sha, size_t(text.size()), reinterpret_cast<const uint8_t *>(text.constData()));
        QByteArray digest(SHA256_DIGEST_SIZE, '\0');
        sha256_digest(&sha, SHA256_DIGEST_SIZE, reinterpret_cast<uint8_t *>(digest.data()));
        return digest;
    }();
    chacha_set_key(ctx, reinterpret_cast<const uint8_t *>(key.constData()));
    chacha_set_nonce(ctx, nonce);
}

// The sections of a table in file order: every one starts on a key-stream block, so each is
// read straight into its place and deciphered there.
struct Section {
    char *data;
    qint64 bytes;
};

// Reads one section into data and deciphers it; the padding after it is read into a scrap block.
bool readSection(QFile &file, chacha_ctx *ctx, const Section &s, uLong *crc)
{
    const qint64 whole = s.bytes / kBlock * kBlock, tail = s.bytes - whole;
    if (whole > 0) {
        if (file.read(s.data, whole) != whole)
            return false;
        chacha_crypt(ctx, size_t(whole), reinterpret_cast<uint8_t *>(s.data), reinterpret_cast<const uint8_t *>(s.data));
    }
    if (tail > 0) {
        uint8_t block[kBlock];
        if (file.read(reinterpret_cast<char *>(block), kBlock) != kBlock)
            return false;
        chacha_crypt(ctx, kBlock, block, block);
        std::memcpy(s.data + whole, block, size_t(tail));
    }
    *crc = crc32_z(*crc, reinterpret_cast<const Bytef *>(s.data), size_t(s.bytes));
    return true;
}

bool writeSection(QSaveFile &file, chacha_ctx *ctx, const char *data, qint64 bytes)
{
    QByteArray out(int(padded(bytes)), '\0');
    std::memcpy(out.data(), data, size_t(bytes));
    chacha_crypt(ctx, size_t(out.size()), reinterpret_cast<uint8_t *>(out.data()),
                 reinterpret_cast<const uint8_t *>(out.constData()));
    return file.write(out) == out.size();
}

} // namespace

bool LibraryTable::writeCache(const QString &path, const QByteArray &identity) const
{
    if (!m_kept.isEmpty() || m_searchedFields == 0 || m_charCounts.size() != 65536)
        return false;
    CacheCounts counts;
    counts.searchedFields = quint32(m_searchedFields);
    counts.rows = quint32(size());
    counts.searchChars = quint32(m_search.size());
    counts.charCounts = quint32(m_charCounts.size());
    const Section sections[] = {
        {const_cast<char *>(reinterpret_cast<const char *>(m_keys.constData())), 8 * qint64(m_keys.size())},
        {const_cast<char *>(reinterpret_cast<const char *>(m_searchStarts.constData())), 4 * qint64(m_searchStarts.size())},
        {const_cast<char *>(reinterpret_cast<const char *>(m_search.constData())), 2 * qint64(m_search.size())},
        {const_cast<char *>(reinterpret_cast<const char *>(m_charCounts.constData())), 4 * qint64(m_charCounts.size())}};
    uLong crc = crc32_z(0, nullptr, 0);
    for (const Section &sec : sections)
        crc = crc32_z(crc, reinterpret_cast<const Bytef *>(sec.data), size_t(sec.bytes));
    counts.crc = quint32(crc);
    uchar nonce[CHACHA_NONCE_SIZE];
    for (uchar &b : nonce)
        b = uchar(QRandomGenerator::global()->bounded(256));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return false;
    const quint32 idSize = quint32(identity.size());
    bool ok = file.write(kCacheMagic, sizeof kCacheMagic) == qint64(sizeof kCacheMagic) &&
              file.write(reinterpret_cast<const char *>(&kCacheFormat), 4) == 4 &&
              file.write(reinterpret_cast<const char *>(&idSize), 4) == 4 && file.write(identity) == identity.size() &&
              file.write(reinterpret_cast<const char *>(nonce), sizeof nonce) == qint64(sizeof nonce);
    chacha_ctx ctx;
    cacheKey(&ctx, nonce);
    ok = ok && writeSection(file, &ctx, reinterpret_cast<const char *>(&counts), sizeof counts);
    for (const Section &sec : sections)
        ok = ok && writeSection(file, &ctx, sec.data, sec.bytes);
    return ok && file.commit();
}

bool LibraryTable::readCache(const QString &path, const QByteArray &identity)
{
    *this = LibraryTable();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    char magic[sizeof kCacheMagic];
    quint32 format = 0, idSize = 0;
    if (file.read(magic, sizeof magic) != qint64(sizeof magic) || std::memcmp(magic, kCacheMagic, sizeof magic) != 0 ||
        file.read(reinterpret_cast<char *>(&format), 4) != 4 || format != kCacheFormat ||
        file.read(reinterpret_cast<char *>(&idSize), 4) != 4 || idSize != quint32(identity.size()) ||
        file.read(int(idSize)) != identity)
        return false;
    uchar nonce[CHACHA_NONCE_SIZE];
    if (file.read(reinterpret_cast<char *>(nonce), sizeof nonce) != qint64(sizeof nonce))
        return false;
    chacha_ctx ctx;
    cacheKey(&ctx, nonce);
    CacheCounts counts;
    uLong ignored = 0;
    if (!readSection(file, &ctx, {reinterpret_cast<char *>(&counts), qint64(sizeof counts)}, &ignored))
        return false;
    // The sizes must account for the whole file before anything is allocated by them.
    const qint64 expected = file.pos() + padded(8 * qint64(counts.rows)) + padded(4 * (qint64(counts.rows) + 1)) +
                            padded(2 * qint64(counts.searchChars)) + padded(4 * qint64(counts.charCounts));
    if (counts.searchedFields == 0 || counts.charCounts != 65536 || counts.searchChars > quint32(INT_MAX) ||
        counts.rows >= (1u << 28) || expected != file.size())
        return false;
    m_keys.resize(int(counts.rows));
    m_searchStarts.resize(int(counts.rows) + 1);
    m_search.resize(int(counts.searchChars));
    m_charCounts.resize(int(counts.charCounts));
    uLong crc = crc32_z(0, nullptr, 0);
    const Section sections[] = {{reinterpret_cast<char *>(m_keys.data()), 8 * qint64(m_keys.size())},
                                {reinterpret_cast<char *>(m_searchStarts.data()), 4 * qint64(m_searchStarts.size())},
                                {reinterpret_cast<char *>(m_search.data()), 2 * qint64(m_search.size())},
                                {reinterpret_cast<char *>(m_charCounts.data()), 4 * qint64(m_charCounts.size())}};
    bool ok = true;
    for (const Section &sec : sections)
        ok = ok && readSection(file, &ctx, sec, &crc);
    // Row starts ascending within the buffer, each row ending in its separator: find() and
    // field() rely on both.
    ok = ok && quint32(crc) == counts.crc && m_searchStarts.first() == 0 &&
         m_searchStarts.last() == m_search.size();
    for (int row = 0; ok && row < int(counts.rows); ++row)
        ok = m_searchStarts.at(row) < m_searchStarts.at(row + 1) &&
             m_search.at(m_searchStarts.at(row + 1) - 1) == kSeparator;
    if (!ok) {
        *this = LibraryTable();
        return false;
    }
    m_searchedFields = int(counts.searchedFields);
    return true;
}

namespace {

struct Source {
    SmartLibraries::Kind kind;
    const char *sql; // %1: the last rowid read, %2: the most rows of a chunk
};

// The same rows and order as one statement per library, read a chunk at a time so that the
// connection lock is never held for long. Column 1 tells whether the row is a live content row.
// Every row is read in rowid order and the wanted ones kept here: a condition on Category
// would let the planner walk the (Category, pID) index and sort each chunk. Of the library
// files only the searched fields are read: keys and material texts were most of the bytes
// decoded and held, and a page fetches its few rows by rowid.
const Source kSources[] = {
    {SmartLibraries::Sentence,
     "SELECT rowid,Category='Content',title,plainText FROM S.SentenceTree WHERE rowid>%1 ORDER BY rowid LIMIT %2"},
    {SmartLibraries::Material,
     "SELECT rowid,Category='Content',title FROM M.MaterialTree WHERE rowid>%1 ORDER BY rowid LIMIT %2"},
    {SmartLibraries::UserMaterial,
     "SELECT rowid,Category='Content' AND flag='A',title,id,pid,plainText FROM MemoTree WHERE rowid>%1 ORDER BY "
     "rowid LIMIT %2"},
};

} // namespace

namespace {

// The SQLite handle behind db; the caller holds the connection lock.
sqlite3 *handleOf(const QSqlDatabase &db)
{
    if (!db.isValid() || !db.isOpen() || !db.driver())
        return nullptr;
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}

// A text column as the file holds it, valid until the next step: decoded once, into the
// library's buffer, with no QString or QVariant per field. NULL reads as empty.
LibraryTable::Utf8 text(sqlite3_stmt *st, int col)
{
    LibraryTable::Utf8 f;
    f.data = reinterpret_cast<const char *>(sqlite3_column_text(st, col));
    f.size = f.data ? sqlite3_column_bytes(st, col) : 0;
    return f;
}

Exception readError(const QString &why)
{
    return Exception(QStringLiteral("读取智能搜索词库出错：%1").arg(why), QStringLiteral("ERR_QUERY"));
}

} // namespace

namespace {

// What a cache must have been written for: the library's version, size and time.
QByteArray libraryIdentity(const QSqlDatabase &db, SmartLibraries::Kind kind, const QString &file)
{
    struct stat st {};
    if (::stat(QFile::encodeName(file).constData(), &st) != 0)
        return QByteArray();
    QString version;
    {
        LockedQuery q(db);
        q.setForwardOnly(true);
        if (q.exec(highestVersionQuery(QLatin1String(kind == SmartLibraries::Sentence ? "S" : "M") +
                                       QStringLiteral(".DbVersion"))) &&
            q.next())
            version = q.value(0).toString();
    }
    return QStringLiteral("%1|%2|%3")
        .arg(version)
        .arg(qint64(st.st_size))
        .arg(qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec)
        .toUtf8();
}

} // namespace

namespace {

// Steps sql (%1 the last rowid read, %2 the most rows; column 0 the rowid) a chunk at a time,
// taking the connection lock for one chunk only, and hands each row to take. False when
// interrupted said so; throws Exception on a failing statement.
bool readChunked(const QSqlDatabase &db, const char *sqlTemplate, const std::function<bool()> &interrupted,
                 const std::function<void(sqlite3_stmt *, qint64)> &take)
{
    qint64 last = -1;
    for (;;) {
        if (interrupted && interrupted())
            return false;
        bool more = false;
        {
            // The rows are stepped on SQLite's own statement: the driver's result would build
            // a row of QVariants and a QString per field, most of the load's time.
            DbLocker lock;
            QElapsedTimer held;
            held.start();
            sqlite3 *handle = handleOf(db);
            if (!handle)
                throw readError(QStringLiteral("数据库连接不可用"));
            const QByteArray sql =
                QString::fromLatin1(sqlTemplate).arg(last).arg(SmartLibraries::kChunkRows).toLatin1();
            sqlite3_stmt *raw = nullptr;
            if (sqlite3_prepare_v2(handle, sql.constData(), sql.size(), &raw, nullptr) != SQLITE_OK) {
                sqlite3_finalize(raw);
                throw readError(QString::fromUtf8(sqlite3_errmsg(handle)));
            }
            const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> st(raw, sqlite3_finalize);
            int rows = 0, rc;
            while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
                last = sqlite3_column_int64(raw, 0);
                take(raw, last);
                if (++rows == SmartLibraries::kChunkRows ||
                    (rows % 16 == 0 && held.elapsed() >= SmartLibraries::kChunkMs)) {
                    more = true;
                    break;
                }
            }
            if (!more && rc != SQLITE_DONE)
                throw readError(QString::fromUtf8(sqlite3_errmsg(handle)));
        }
        // Asked again before the pause: a thread told to stop does not sleep first.
        if (interrupted && interrupted())
            return false;
        if (!more)
            return true;
        // The lock is not fair: without a pause this thread would take it straight back and
        // a statement of the GUI thread would wait for the whole read.
        QThread::usleep(500);
    }
}

} // namespace

std::shared_ptr<const SmartLibraries> SmartLibraries::load(const QSqlDatabase &db,
                                                            const std::function<bool()> &interrupted,
                                                            bool useCaches)
{
    auto libraries = std::make_shared<SmartLibraries>();
    for (const Source &source : kSources) {
        LibraryTable &table = libraries->m_tables[source.kind];
        QString cacheFile;
        QByteArray identity;
        if (useCaches && source.kind != UserMaterial) {
            const QString library = dbFileName(source.kind == Sentence ? Ink::ttSentence : Ink::ttMaterial);
            identity = libraryIdentity(db, source.kind, library);
            cacheFile = cachePath(library);
            if (!identity.isEmpty() && table.readCache(cacheFile, identity))
                continue;
        }
        std::unique_ptr<SmallMaterialCache> cache;
        if (source.kind == Material)
            cache = std::make_unique<SmallMaterialCache>(db);
        const bool read = readChunked(db, source.sql, interrupted, [&](sqlite3_stmt *raw, qint64 rowid) {
            if (sqlite3_column_int(raw, 1) != 1)
                return;
            const LibraryTable::Utf8 title = text(raw, 2);
            if (source.kind == Sentence)
                table.append({title, text(raw, 3)}, {}, rowid);
            else if (source.kind == Material)
                table.append({title}, {}, rowid);
            else
                table.append({title}, {text(raw, 3), text(raw, 4), text(raw, 5)}, rowid);
        });
        if (!read)
            return nullptr;
        // Outside the chunks: the counting pass over a whole library would lengthen one of them.
        table.squeeze();
        // A cache that cannot be written costs the next start the read above, nothing more.
        if (!identity.isEmpty() && !table.writeCache(cacheFile, identity))
            writeLog(QStringLiteral("err"), QStringLiteral("智能搜索缓存写入失败：%1").arg(cacheFile));
    }
    return libraries;
}

std::shared_ptr<const LibraryTable> SmartLibraries::loadMaterialTexts(const QSqlDatabase &db,
                                                                      const std::function<bool()> &interrupted)
{
    auto table = std::make_shared<LibraryTable>();
    const SmallMaterialCache cache(db);
    const bool read = readChunked(
        db, "SELECT rowid,Category='Content',title,plainText FROM M.MaterialTree WHERE rowid>%1 ORDER BY rowid LIMIT %2",
        interrupted, [&table](sqlite3_stmt *raw, qint64 rowid) {
            if (sqlite3_column_int(raw, 1) == 1)
                table->append({text(raw, 2), text(raw, 3)}, {}, rowid);
        });
    if (!read)
        return nullptr;
    table->squeeze(true);
    return table;
}

qint64 SmartLibraries::bytes() const
{
    return m_tables[0].bytes() + m_tables[1].bytes() + m_tables[2].bytes();
}

QVector<quint32> SmartLibraries::filter(const QString &key, bool includeMaterial, bool includeUserMaterial) const
{
    QVector<quint32> result;
    QVector<int> rows;
    auto collect = [&](Kind kind) {
        rows.clear();
        m_tables[kind].find(key, rows);
        for (int row : qAsConst(rows))
            result.append(ref(kind, row));
    };
    collect(Sentence);
    if (includeMaterial)
        collect(Material);
    if (includeUserMaterial)
        collect(UserMaterial);
    return result;
}

void SmartLibraries::readRecord(quint32 r, TreeNodeInfo &info) const
{
    const Kind kind = kindOf(r);
    const LibraryTable &t = m_tables[kind];
    const int row = rowOf(r);
    static const char *const types[] = {"Sentence", "Material", "UserMaterial"};
    info._type = QLatin1String(types[kind]);
    info.title = t.field(row, 0);
    info.id.clear();
    info.pID.clear();
    info.plainText.clear();
    if (kind == Sentence) {
        info.plainText = t.field(row, 1);
    } else if (kind == UserMaterial) {
        info.id = t.field(row, 1);
        info.pID = t.field(row, 2);
        info.plainText = t.field(row, 3);
    }
}

void SmartLibraries::readRecords(const QSqlDatabase &db, const quint32 *refs,
                                 const QVector<TreeNodeInfo *> &records) const
{
    QHash<qint64, TreeNodeInfo *> fetched[2]; // by rowid: sentences, materials
    for (int i = 0; i < records.size(); ++i) {
        readRecord(refs[i], *records.at(i));
        const Kind kind = kindOf(refs[i]);
        if (kind != UserMaterial)
            fetched[kind].insert(m_tables[kind].key(rowOf(refs[i])), records.at(i));
    }
    static const char *const sql[] = {"SELECT rowid,id,pid FROM S.SentenceTree WHERE rowid IN (%1)",
                                      "SELECT rowid,id,pid,plainText FROM M.MaterialTree WHERE rowid IN (%1)"};
    for (int kind = Sentence; kind <= Material; ++kind) {
        if (fetched[kind].isEmpty())
            continue;
        QStringList keys;
        for (auto it = fetched[kind].cbegin(); it != fetched[kind].cend(); ++it)
            keys << QString::number(it.key());
        LockedQuery q(db);
        q.setForwardOnly(true);
        if (!q.exec(QString::fromLatin1(sql[kind]).arg(keys.join(QLatin1Char(','))))) {
            writeLog(QStringLiteral("err"), QStringLiteral("读取素材出错：%1").arg(q.lastError().text()));
            continue;
        }
        while (q.next()) {
            TreeNodeInfo *info = fetched[kind].value(q.value(0).toLongLong());
            if (!info)
                continue;
            info->id = q.value(1).toString();
            info->pID = q.value(2).toString();
            if (kind == Material)
                info->plainText = q.value(3).toString();
        }
    }
}

} // namespace material
