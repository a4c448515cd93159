#include "material/SmartLibrary.h"

#include "app/Constants.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>

#include <climits>
#include <cstring>
#include <nettle/chacha.h>
#include <nettle/sha2.h>
#include <zlib.h>

namespace material {

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
} // namespace material
