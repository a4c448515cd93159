#include "material/SmartLibrary.h"

#include "app/Constants.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>

#include <climits>
#include <cstddef>
#include <cstring>
#include <nettle/chacha.h>
#include <nettle/sha2.h>
#include <zlib.h>

namespace material {

namespace {

constexpr char kCacheMagic[8] = {'I', 'N', 'K', 'S', 'R', 'C', 'H', '\0'};
constexpr quint32 kCacheFormat = 3;
constexpr int kBlock = CHACHA_BLOCK_SIZE;

qint64 padded(qint64 bytes) { return (bytes + kBlock - 1) / kBlock * kBlock; }

// The fixed part of a cache file after the magic, the identity and the nonce.
struct CacheCounts {
    quint32 searchedFields = 0;
    quint32 rows = 0;
    quint32 searchChars = 0;
    quint32 alphabet = 0; // distinct characters, the separator included
    quint32 highBits = 0;
    quint32 crc = 0;
};

// The check sum starts with the counts before it: a changed count must not pass either.
uLong countsCrc(const CacheCounts &c)
{
    return crc32_z(crc32_z(0, nullptr, 0), reinterpret_cast<const Bytef *>(&c), offsetof(CacheCounts, crc));
}

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

// Reads one section into data and deciphers it; the padding after it is read into a scrap block
// and must be the zeros written, so that no changed byte of the file goes unnoticed.
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
        for (qint64 i = tail; i < kBlock; ++i)
            if (block[i] != 0)
                return false;
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
    if (!m_kept.isEmpty() || m_searchedFields == 0 || !m_building.isEmpty())
        return false;
    CacheCounts counts;
    counts.searchedFields = quint32(m_searchedFields);
    counts.rows = quint32(size());
    counts.searchChars = quint32(m_low.size());
    counts.alphabet = quint32(m_alphabet.size());
    counts.highBits = quint32(m_highBits);
    const auto bytes = [](const void *data) { return const_cast<char *>(static_cast<const char *>(data)); };
    const Section sections[] = {{bytes(m_keys.constData()), 8 * qint64(m_keys.size())},
                                {bytes(m_searchStarts.constData()), 4 * qint64(m_searchStarts.size())},
                                {bytes(m_low.constData()), qint64(m_low.size())},
                                {bytes(m_high.constData()), qint64(m_high.size())},
                                {bytes(m_alphabet.constData()), 2 * qint64(m_alphabet.size())},
                                {bytes(m_rankCounts.constData()), 4 * qint64(m_rankCounts.size())}};
    uLong crc = countsCrc(counts);
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
    const qint64 highBytes = (qint64(counts.searchChars) * counts.highBits + 7) / 8 + 1;
    const qint64 expected = file.pos() + padded(8 * qint64(counts.rows)) + padded(4 * (qint64(counts.rows) + 1)) +
                            padded(qint64(counts.searchChars)) + padded(highBytes) +
                            padded(2 * qint64(counts.alphabet)) + padded(4 * qint64(counts.alphabet));
    if (counts.searchedFields == 0 || counts.alphabet == 0 || counts.alphabet > 65536 || counts.highBits > 8 ||
        counts.searchChars >= quint32(INT_MAX) || counts.rows >= (1u << 28) || expected != file.size())
        return false;
    m_keys.resize(int(counts.rows));
    m_searchStarts.resize(int(counts.rows) + 1);
    m_low.resize(int(counts.searchChars));
    m_high.resize(int(highBytes));
    m_alphabet.resize(int(counts.alphabet));
    m_rankCounts.resize(int(counts.alphabet));
    m_highBits = int(counts.highBits);
    uLong crc = countsCrc(counts);
    const Section sections[] = {{reinterpret_cast<char *>(m_keys.data()), 8 * qint64(m_keys.size())},
                                {reinterpret_cast<char *>(m_searchStarts.data()), 4 * qint64(m_searchStarts.size())},
                                {m_low.data(), qint64(m_low.size())},
                                {m_high.data(), qint64(m_high.size())},
                                {reinterpret_cast<char *>(m_alphabet.data()), 2 * qint64(m_alphabet.size())},
                                {reinterpret_cast<char *>(m_rankCounts.data()), 4 * qint64(m_rankCounts.size())}};
    bool ok = true;
    for (const Section &sec : sections)
        ok = ok && readSection(file, &ctx, sec, &crc);
    // A unique alphabet of the ranks' width, row starts ascending within the buffer, each row
    // ending in its separator: find() and field() rely on all three.
    ok = ok && quint32(crc) == counts.crc && indexAlphabet() && m_searchStarts.first() == 0 &&
         m_searchStarts.last() == m_low.size();
    for (int row = 0; ok && row < int(counts.rows); ++row)
        ok = m_searchStarts.at(row) < m_searchStarts.at(row + 1) && codeAt(m_searchStarts.at(row + 1) - 1) == 0;
    if (!ok) {
        *this = LibraryTable();
        return false;
    }
    m_searchedFields = int(counts.searchedFields);
    return true;
}
} // namespace material
