#include "CipherVfs.h"

#include <nettle/pbkdf2.h>
#include <sodium.h>
#include <sqlite3.h>

#include <sys/random.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace inkcipher {
namespace {

// On-disk format of an enciphered database: the first 16 bytes (the SQLite magic
// text in a plain file) hold a random salt; every other byte is XORed with a
// ChaCha20 key stream whose position is the byte's file offset. Journals and WAL
// files use the database's key with their own nonce; temporary files get a random
// key of their own, since nobody ever reopens them.
constexpr int kSaltSize = 16;
constexpr int kKeySize = crypto_stream_chacha20_KEYBYTES;
constexpr int kNonceSize = crypto_stream_chacha20_NONCEBYTES;
constexpr int kBlockSize = 64;
constexpr unsigned kKdfIterations = 64000;
const char kSqliteMagic[kSaltSize] = "SQLite format 3";

const uint8_t kNonceDb[kNonceSize] = {'i', 'n', 'k', 'D', 'B', 0, 0, 1};
const uint8_t kNonceJournal[kNonceSize] = {'i', 'n', 'k', 'J', 'R', 0, 0, 1};
const uint8_t kNonceWal[kNonceSize] = {'i', 'n', 'k', 'W', 'A', 0, 0, 1};
const uint8_t kNonceTemp[kNonceSize] = {'i', 'n', 'k', 'T', 'M', 0, 0, 1};

enum class Kind { Plain, Database, Journal, Wal, Temp };

struct CipherFile {
    sqlite3_file base; // must come first: SQLite sees this
    sqlite3_file *real;
    Kind kind;
    uint8_t key[kKeySize];
    const uint8_t *nonce;
    uint8_t salt[kSaltSize];
    char *registeredPath; // database files: key registry entry for their journals
};

thread_local std::string t_lastOpenError;

std::mutex g_mutex;
std::map<int, std::string> g_keysById;
std::map<std::string, int> g_idsByKey;
struct DbEntry {
    uint8_t key[kKeySize];
    int refs;
};
std::map<std::string, DbEntry> g_openDatabases;
std::map<std::string, std::vector<uint8_t>> g_derivedKeys; // key text + salt -> derived key

sqlite3_vfs g_vfs;
sqlite3_vfs *g_base = nullptr;
sqlite3_io_methods g_methods;

void fillRandom(uint8_t *out, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t r = getrandom(out + done, n - done, 0);
        if (r <= 0)
            break;
        done += size_t(r);
    }
    if (done < n) {
        int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            while (done < n) {
                ssize_t r = ::read(fd, out + done, n - done);
                if (r <= 0)
                    break;
                done += size_t(r);
            }
            ::close(fd);
        }
    }
}

void deriveKey(const std::string &text, const uint8_t *salt, uint8_t *out)
{
    std::string cacheKey = text;
    cacheKey.append(reinterpret_cast<const char *>(salt), kSaltSize);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_derivedKeys.find(cacheKey);
        if (it != g_derivedKeys.end()) {
            std::memcpy(out, it->second.data(), kKeySize);
            return;
        }
    }
    pbkdf2_hmac_sha256(text.size(), reinterpret_cast<const uint8_t *>(text.data()), kKdfIterations,
                       kSaltSize, salt, kKeySize, out);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_derivedKeys[cacheKey] = std::vector<uint8_t>(out, out + kKeySize);
}

// XORs buf with the ChaCha20 key stream (64-bit block counter, 8-byte nonce) from stream
// position `offset` on. libsodium's vectorised code keeps enciphered files close to plain speed.
void applyStream(const uint8_t *key, const uint8_t *nonce, sqlite3_int64 offset, uint8_t *buf, size_t n)
{
    if (n == 0)
        return;
    uint64_t block = uint64_t(offset) / kBlockSize;
    const size_t skip = size_t(uint64_t(offset) % kBlockSize);
    if (skip) {
        uint8_t ks[kBlockSize] = {};
        crypto_stream_chacha20_xor_ic(ks, ks, kBlockSize, nonce, block, key);
        const size_t k = std::min(n, size_t(kBlockSize) - skip);
        for (size_t i = 0; i < k; ++i)
            buf[i] ^= ks[skip + i];
        buf += k;
        n -= k;
        ++block;
    }
    if (n)
        crypto_stream_chacha20_xor_ic(buf, buf, n, nonce, block, key);
}

// Turns bytes as stored on disk into the bytes SQLite expects (and back: XOR is its own inverse,
// only the salt area differs).
void decipher(CipherFile *f, uint8_t *buf, size_t n, sqlite3_int64 off)
{
    if (f->kind == Kind::Database && off < kSaltSize) {
        size_t head = std::min(n, size_t(kSaltSize - off));
        std::memcpy(buf, kSqliteMagic + off, head);
        applyStream(f->key, f->nonce, off + sqlite3_int64(head), buf + head, n - head);
    } else {
        applyStream(f->key, f->nonce, off, buf, n);
    }
}

void encipher(CipherFile *f, uint8_t *buf, size_t n, sqlite3_int64 off)
{
    if (f->kind == Kind::Database && off < kSaltSize) {
        size_t head = std::min(n, size_t(kSaltSize - off));
        std::memcpy(buf, f->salt + off, head);
        applyStream(f->key, f->nonce, off + sqlite3_int64(head), buf + head, n - head);
    } else {
        applyStream(f->key, f->nonce, off, buf, n);
    }
}

CipherFile *cf(sqlite3_file *p) { return reinterpret_cast<CipherFile *>(p); }

int xClose(sqlite3_file *p)
{
    CipherFile *f = cf(p);
    if (f->registeredPath) {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_openDatabases.find(f->registeredPath);
        if (it != g_openDatabases.end() && --it->second.refs <= 0)
            g_openDatabases.erase(it);
        sqlite3_free(f->registeredPath);
        f->registeredPath = nullptr;
    }
    std::memset(f->key, 0, sizeof f->key);
    int rc = f->real->pMethods ? f->real->pMethods->xClose(f->real) : SQLITE_OK;
    return rc;
}

int xRead(sqlite3_file *p, void *buf, int amt, sqlite3_int64 off)
{
    CipherFile *f = cf(p);
    int rc = f->real->pMethods->xRead(f->real, buf, amt, off);
    if (f->kind == Kind::Plain)
        return rc;
    if (rc == SQLITE_OK) {
        decipher(f, static_cast<uint8_t *>(buf), size_t(amt), off);
    } else if (rc == SQLITE_IOERR_SHORT_READ) {
        // Only the bytes that were really there are deciphered; the rest stays zero as SQLite expects.
        sqlite3_int64 size = 0;
        if (f->real->pMethods->xFileSize(f->real, &size) == SQLITE_OK && size > off)
            decipher(f, static_cast<uint8_t *>(buf), size_t(std::min<sqlite3_int64>(amt, size - off)), off);
    }
    return rc;
}

int xWrite(sqlite3_file *p, const void *buf, int amt, sqlite3_int64 off)
{
    CipherFile *f = cf(p);
    if (f->kind == Kind::Plain)
        return f->real->pMethods->xWrite(f->real, buf, amt, off);
    thread_local std::vector<uint8_t> scratch;
    scratch.assign(static_cast<const uint8_t *>(buf), static_cast<const uint8_t *>(buf) + amt);
    encipher(f, scratch.data(), scratch.size(), off);
    return f->real->pMethods->xWrite(f->real, scratch.data(), amt, off);
}

int xTruncate(sqlite3_file *p, sqlite3_int64 size) { return cf(p)->real->pMethods->xTruncate(cf(p)->real, size); }
int xSync(sqlite3_file *p, int flags) { return cf(p)->real->pMethods->xSync(cf(p)->real, flags); }
int xFileSize(sqlite3_file *p, sqlite3_int64 *size)
{
    return cf(p)->real->pMethods->xFileSize(cf(p)->real, size);
}
int xLock(sqlite3_file *p, int l) { return cf(p)->real->pMethods->xLock(cf(p)->real, l); }
int xUnlock(sqlite3_file *p, int l) { return cf(p)->real->pMethods->xUnlock(cf(p)->real, l); }
int xCheckReservedLock(sqlite3_file *p, int *out)
{
    return cf(p)->real->pMethods->xCheckReservedLock(cf(p)->real, out);
}
int xFileControl(sqlite3_file *p, int op, void *arg)
{
    return cf(p)->real->pMethods->xFileControl(cf(p)->real, op, arg);
}
int xSectorSize(sqlite3_file *p) { return cf(p)->real->pMethods->xSectorSize(cf(p)->real); }
int xDeviceCharacteristics(sqlite3_file *p)
{
    return cf(p)->real->pMethods->xDeviceCharacteristics(cf(p)->real);
}
int xShmMap(sqlite3_file *p, int page, int size, int extend, void volatile **out)
{
    const sqlite3_io_methods *m = cf(p)->real->pMethods;
    return m->iVersion >= 2 && m->xShmMap ? m->xShmMap(cf(p)->real, page, size, extend, out) : SQLITE_IOERR;
}
int xShmLock(sqlite3_file *p, int offset, int n, int flags)
{
    const sqlite3_io_methods *m = cf(p)->real->pMethods;
    return m->iVersion >= 2 && m->xShmLock ? m->xShmLock(cf(p)->real, offset, n, flags) : SQLITE_IOERR;
}
void xShmBarrier(sqlite3_file *p)
{
    const sqlite3_io_methods *m = cf(p)->real->pMethods;
    if (m->iVersion >= 2 && m->xShmBarrier)
        m->xShmBarrier(cf(p)->real);
}
int xShmUnmap(sqlite3_file *p, int del)
{
    const sqlite3_io_methods *m = cf(p)->real->pMethods;
    return m->iVersion >= 2 && m->xShmUnmap ? m->xShmUnmap(cf(p)->real, del) : SQLITE_OK;
}
int xFetch(sqlite3_file *p, sqlite3_int64 off, int amt, void **pp)
{
    CipherFile *f = cf(p);
    const sqlite3_io_methods *m = f->real->pMethods;
    // Memory-mapped pages would bypass deciphering: enciphered files always read through xRead.
    if (f->kind != Kind::Plain || m->iVersion < 3 || !m->xFetch) {
        *pp = nullptr;
        return SQLITE_OK;
    }
    return m->xFetch(f->real, off, amt, pp);
}
int xUnfetch(sqlite3_file *p, sqlite3_int64 off, void *ptr)
{
    CipherFile *f = cf(p);
    const sqlite3_io_methods *m = f->real->pMethods;
    if (f->kind != Kind::Plain || m->iVersion < 3 || !m->xUnfetch)
        return SQLITE_OK;
    return m->xUnfetch(f->real, off, ptr);
}

std::string keyFromUri(const char *zName)
{
    if (const char *k = sqlite3_uri_parameter(zName, "key"))
        return k;
    if (const char *id = sqlite3_uri_parameter(zName, "inkkey")) {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_keysById.find(std::atoi(id));
        if (it != g_keysById.end())
            return it->second;
    }
    return std::string();
}

void refuse(CipherFile *f, const char *why)
{
    t_lastOpenError = why;
    f->real->pMethods->xClose(f->real);
    f->base.pMethods = nullptr;
}

// Reads the salt of an existing enciphered database and checks that the key opens it.
int openDatabase(CipherFile *f, const char *zName, const std::string &keyText)
{
    sqlite3_int64 size = 0;
    int rc = f->real->pMethods->xFileSize(f->real, &size);
    if (rc != SQLITE_OK) {
        refuse(f, "cannot read the file size");
        return rc;
    }
    f->kind = Kind::Database;
    f->nonce = kNonceDb;
    if (size == 0) {
        do {
            fillRandom(f->salt, kSaltSize);
        } while (std::memcmp(f->salt, kSqliteMagic, kSaltSize) == 0);
        deriveKey(keyText, f->salt, f->key);
    } else {
        uint8_t header[100] = {};
        if (size < 100 || f->real->pMethods->xRead(f->real, header, 100, 0) != SQLITE_OK) {
            refuse(f, "file is not a database (too short for an enciphered database)");
            return SQLITE_NOTADB;
        }
        if (std::memcmp(header, kSqliteMagic, kSaltSize) == 0) {
            refuse(f, "file is not an enciphered database (a plain file was opened with a key)");
            return SQLITE_NOTADB;
        }
        std::memcpy(f->salt, header, kSaltSize);
        deriveKey(keyText, f->salt, f->key);
        decipher(f, header, 100, 0);
        const unsigned pageSize = (unsigned(header[16]) << 8 | header[17]) == 1 ? 65536u
                                                                                : (unsigned(header[16]) << 8 | header[17]);
        const bool powerOfTwo = pageSize >= 512 && pageSize <= 65536 && (pageSize & (pageSize - 1)) == 0;
        if (!powerOfTwo || header[21] != 64 || header[22] != 32 || header[23] != 32) {
            refuse(f, "file is not a database or the key is wrong");
            return SQLITE_NOTADB;
        }
    }
    // Journals and WAL files of this database find its key through its path.
    f->registeredPath = sqlite3_mprintf("%s", zName);
    std::lock_guard<std::mutex> lock(g_mutex);
    DbEntry &e = g_openDatabases[f->registeredPath];
    std::memcpy(e.key, f->key, kKeySize);
    ++e.refs;
    return SQLITE_OK;
}

int xOpen(sqlite3_vfs *, sqlite3_filename zName, sqlite3_file *file, int flags, int *outFlags)
{
    CipherFile *f = cf(file);
    std::memset(f, 0, sizeof(CipherFile));
    f->real = reinterpret_cast<sqlite3_file *>(reinterpret_cast<char *>(f) + ((sizeof(CipherFile) + 7) & ~size_t(7)));
    f->kind = Kind::Plain;
    int rc = g_base->xOpen(g_base, zName, f->real, flags, outFlags);
    if (rc != SQLITE_OK) {
        f->base.pMethods = nullptr;
        return rc;
    }
    f->base.pMethods = &g_methods;

    if ((flags & SQLITE_OPEN_MAIN_DB) && zName) {
        const char *cipher = sqlite3_uri_parameter(zName, "cipher");
        if (cipher && std::strcmp(cipher, "chacha20") != 0 && std::strcmp(cipher, "") != 0) {
            refuse(f, "unsupported cipher");
            return SQLITE_CANTOPEN;
        }
        const std::string keyText = keyFromUri(zName);
        if (!keyText.empty())
            return openDatabase(f, zName, keyText);
    } else if ((flags & (SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_WAL)) && zName) {
        const char *db = sqlite3_filename_database(zName);
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = db ? g_openDatabases.find(db) : g_openDatabases.end();
        if (it != g_openDatabases.end()) {
            f->kind = (flags & SQLITE_OPEN_WAL) ? Kind::Wal : Kind::Journal;
            f->nonce = (flags & SQLITE_OPEN_WAL) ? kNonceWal : kNonceJournal;
            std::memcpy(f->key, it->second.key, kKeySize);
        }
    } else if (flags & (SQLITE_OPEN_TEMP_DB | SQLITE_OPEN_TEMP_JOURNAL | SQLITE_OPEN_SUBJOURNAL |
                        SQLITE_OPEN_TRANSIENT_DB)) {
        // Sort spills and statement journals may hold pages of an enciphered database.
        f->kind = Kind::Temp;
        f->nonce = kNonceTemp;
        fillRandom(f->key, kKeySize);
    }
    return SQLITE_OK;
}

int xDelete(sqlite3_vfs *, const char *z, int sync) { return g_base->xDelete(g_base, z, sync); }
int xAccess(sqlite3_vfs *, const char *z, int flags, int *out) { return g_base->xAccess(g_base, z, flags, out); }
int xFullPathname(sqlite3_vfs *, const char *z, int n, char *out)
{
    return g_base->xFullPathname(g_base, z, n, out);
}
void *xDlOpen(sqlite3_vfs *, const char *z) { return g_base->xDlOpen(g_base, z); }
void xDlError(sqlite3_vfs *, int n, char *z) { g_base->xDlError(g_base, n, z); }
void (*xDlSym(sqlite3_vfs *, void *h, const char *z))(void) { return g_base->xDlSym(g_base, h, z); }
void xDlClose(sqlite3_vfs *, void *h) { g_base->xDlClose(g_base, h); }
int xRandomness(sqlite3_vfs *, int n, char *out) { return g_base->xRandomness(g_base, n, out); }
int xSleep(sqlite3_vfs *, int us) { return g_base->xSleep(g_base, us); }
int xCurrentTime(sqlite3_vfs *, double *t) { return g_base->xCurrentTime(g_base, t); }
int xGetLastError(sqlite3_vfs *, int n, char *z) { return g_base->xGetLastError(g_base, n, z); }
int xCurrentTimeInt64(sqlite3_vfs *, sqlite3_int64 *t) { return g_base->xCurrentTimeInt64(g_base, t); }

} // namespace

const char *vfsName() { return "inkcipher"; }

int registerVfs()
{
    static std::once_flag once;
    static int result = SQLITE_OK;
    std::call_once(once, [] {
        g_base = sqlite3_vfs_find(nullptr);
        if (!g_base || sodium_init() < 0) {
            result = SQLITE_ERROR;
            return;
        }
        g_methods = sqlite3_io_methods{3,        xClose,      xRead,       xWrite,       xTruncate,
                                       xSync,    xFileSize,   xLock,       xUnlock,      xCheckReservedLock,
                                       xFileControl, xSectorSize, xDeviceCharacteristics, xShmMap, xShmLock,
                                       xShmBarrier, xShmUnmap, xFetch, xUnfetch};
        std::memset(&g_vfs, 0, sizeof g_vfs);
        g_vfs.iVersion = 2;
        g_vfs.szOsFile = int((sizeof(CipherFile) + 7) & ~size_t(7)) + g_base->szOsFile;
        g_vfs.mxPathname = g_base->mxPathname;
        g_vfs.zName = vfsName();
        g_vfs.xOpen = xOpen;
        g_vfs.xDelete = xDelete;
        g_vfs.xAccess = xAccess;
        g_vfs.xFullPathname = xFullPathname;
        g_vfs.xDlOpen = xDlOpen;
        g_vfs.xDlError = xDlError;
        g_vfs.xDlSym = xDlSym;
        g_vfs.xDlClose = xDlClose;
        g_vfs.xRandomness = xRandomness;
        g_vfs.xSleep = xSleep;
        g_vfs.xCurrentTime = xCurrentTime;
        g_vfs.xGetLastError = xGetLastError;
        g_vfs.xCurrentTimeInt64 = xCurrentTimeInt64;
        result = sqlite3_vfs_register(&g_vfs, 0);
    });
    return result;
}

int registerKey(const std::string &key)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_idsByKey.find(key);
    if (it != g_idsByKey.end())
        return it->second;
    const int id = int(g_keysById.size()) + 1;
    g_keysById[id] = key;
    g_idsByKey[key] = id;
    return id;
}

std::string lastOpenError() { return t_lastOpenError; }
void clearLastOpenError() { t_lastOpenError.clear(); }

} // namespace inkcipher
