#include "storage/TextFiles.h"

#include "storage/Backup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QTextCodec>

#include <uchardet/uchardet.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

const QChar kReplacement(0xFFFD);

bool decodeWith(const char *codecName, const QByteArray &bytes, int offset, QString *text)
{
    QTextCodec *codec = QTextCodec::codecForName(codecName);
    if (!codec)
        return false;
    // The header is ours to handle: a second BOM is text.
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    *text = codec->toUnicode(bytes.constData() + offset, bytes.size() - offset, &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

bool hasLoneSurrogate(const QString &text)
{
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= text.size() || !text.at(i + 1).isLowSurrogate())
                return true;
            ++i;
        } else if (c.isLowSurrogate()) {
            return true;
        }
    }
    return false;
}

// The byte structure of GB18030: one byte below 0x80; a lead 0x81–0xFE with a second byte
// 0x40–0x7E or 0x80–0xFE; or a lead, 0x30–0x39, 0x81–0xFE, 0x30–0x39. The codec (ICU's) neither
// counts invalid bytes nor cut-off sequences, so the structure is checked here, and a sequence it
// cannot map shows as U+FFFD: only the code of U+FFFD itself may give one.
bool scanGb18030(const QByteArray &bytes, int *replacements)
{
    const auto *p = reinterpret_cast<const uchar *>(bytes.constData());
    const int n = bytes.size();
    *replacements = 0;
    for (int i = 0; i < n;) {
        const uchar c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c == 0x80 || c == 0xFF || i + 1 >= n)
            return false;
        const uchar c2 = p[i + 1];
        if ((c2 >= 0x40 && c2 <= 0x7E) || (c2 >= 0x80 && c2 <= 0xFE)) {
            i += 2;
            continue;
        }
        if (c2 < 0x30 || c2 > 0x39 || i + 3 >= n)
            return false;
        const uchar c3 = p[i + 2];
        const uchar c4 = p[i + 3];
        if (c3 < 0x81 || c3 > 0xFE || c4 < 0x30 || c4 > 0x39)
            return false;
        if (c == 0x84 && c2 == 0x31 && c3 == 0xA4 && c4 == 0x37)
            ++*replacements;
        i += 4;
    }
    return true;
}

bool decodeGb18030(const QByteArray &bytes, QString *text)
{
    int replacements = 0;
    if (!scanGb18030(bytes, &replacements))
        return false;
    if (!decodeWith("GB18030", bytes, 0, text))
        return false;
    return text->count(kReplacement) == replacements;
}

// Big5 is a lead 0x81–0xFE with a second byte 0x40–0x7E or 0xA1–0xFE. Qt's codec drops a cut-off
// sequence and shows a bad second byte as U+FFFD without counting either, and Big5 has no code
// for U+FFFD itself.
bool decodeBig5(const QByteArray &bytes, QString *text)
{
    const auto *p = reinterpret_cast<const uchar *>(bytes.constData());
    const int n = bytes.size();
    for (int i = 0; i < n; ++i) {
        if (p[i] < 0x80)
            continue;
        if (p[i] == 0x80 || p[i] == 0xFF || i + 1 >= n)
            return false;
        const uchar c2 = p[++i];
        if (!((c2 >= 0x40 && c2 <= 0x7E) || (c2 >= 0xA1 && c2 <= 0xFE)))
            return false;
    }
    return decodeWith("Big5", bytes, 0, text) && !text->contains(kReplacement);
}

// NUL and the other control characters are no part of a chapter: text holding them was decoded
// with the wrong encoding (or is no text at all).
bool hasControlCharacter(const QString &text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control && c != QLatin1Char('\t') && c != QLatin1Char('\n') &&
            c != QLatin1Char('\r'))
            return true;
    }
    return false;
}

// UTF-16 read in the wrong byte order gives unassigned characters, controls (a line end becomes
// U+0A00) or lone surrogates.
bool plausibleUtf16(const QString &text)
{
    if (hasLoneSurrogate(text) || hasControlCharacter(text))
        return false;
    const QVector<uint> codes = text.toUcs4();
    return std::none_of(codes.cbegin(), codes.cend(),
                        [](uint c) { return QChar::category(c) == QChar::Other_NotAssigned; });
}

// uchardet does not tell UTF-16 without a BOM (GB18030, Big5 and UTF-8 text never holds a zero
// byte, UTF-16 text does). The byte order is the one that reads as text; when both do, the one
// that puts more zero bytes in the high half (a line end, a space, a digit).
bool decodeUtf16WithoutBom(const QByteArray &bytes, QString *text)
{
    if (bytes.size() % 2 != 0)
        return false;
    QString le, be;
    const bool leOk = decodeWith("UTF-16LE", bytes, 0, &le) && plausibleUtf16(le);
    const bool beOk = decodeWith("UTF-16BE", bytes, 0, &be) && plausibleUtf16(be);
    if (leOk && beOk) {
        int evenZeros = 0, oddZeros = 0;
        for (int i = 0; i < bytes.size(); ++i) {
            if (bytes.at(i) == '\0')
                ++(i % 2 ? oddZeros : evenZeros);
        }
        if (evenZeros == oddZeros)
            return false;
        *text = oddZeros > evenZeros ? le : be;
        return true;
    }
    if (!leOk && !beOk)
        return false;
    *text = leOk ? le : be;
    return true;
}

// uchardet's verdict, upper case; empty when it has none.
QByteArray detectCharset(const QByteArray &bytes)
{
    uchardet_t detector = uchardet_new();
    QByteArray charset;
    if (uchardet_handle_data(detector, bytes.constData(), size_t(bytes.size())) == 0) {
        uchardet_data_end(detector);
        charset = QByteArray(uchardet_get_charset(detector)).toUpper();
    }
    uchardet_delete(detector);
    return charset;
}

QString errnoText() { return QString::fromLocal8Bit(std::strerror(errno)); }

} // namespace

namespace TextFiles {

bool decode(const QByteArray &bytes, QString *text, Encoding *encoding)
{
    QString decoded;
    Encoding found = Encoding::None;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        // The BOM names the encoding; a damaged rest is not another encoding.
        if (!decodeWith("UTF-8", bytes, 3, &decoded))
            return false;
        found = Encoding::Utf8;
    } else if (bytes.startsWith(QByteArray("\xFF\xFE\x00\x00", 4)) || bytes.startsWith(QByteArray("\x00\x00\xFE\xFF", 4))) {
        return false; // UTF-32
    } else if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        const char *codec = bytes.at(0) == '\xFF' ? "UTF-16LE" : "UTF-16BE";
        if (!decodeWith(codec, bytes, 2, &decoded) || hasLoneSurrogate(decoded))
            return false;
        found = Encoding::Utf16;
    } else if (bytes.contains('\0')) {
        if (!decodeUtf16WithoutBom(bytes, &decoded))
            return false;
        found = Encoding::Utf16;
    } else if (decodeWith("UTF-8", bytes, 0, &decoded)) {
        found = Encoding::Utf8;
    } else {
        // Short texts get no verdict, or a wrong one: those are refused, never guessed.
        const QByteArray charset = detectCharset(bytes);
        if (charset == "GB18030" || charset == "GBK" || charset == "GB2312") {
            if (!decodeGb18030(bytes, &decoded))
                return false;
            found = Encoding::Gb18030;
        } else if (charset == "BIG5") {
            if (!decodeBig5(bytes, &decoded))
                return false;
            found = Encoding::Big5;
        } else {
            return false;
        }
    }
    if (hasControlCharacter(decoded))
        return false;
    decoded.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    decoded.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    *text = decoded;
    if (encoding)
        *encoding = found;
    return true;
}

bool read(const QString &path, QString *text, QString *error, int maxChars)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("文件打不开：%1").arg(file.errorString());
        return false;
    }
    // No encoding takes more than four bytes for a character (a line end "\r\n" takes two).
    if (maxChars >= 0 && file.size() > 4 * qint64(maxChars) + 4) {
        *error = QStringLiteral("文件超过%1个字符").arg(maxChars);
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("文件读不出：%1").arg(file.errorString());
        return false;
    }
    if (!decode(bytes, text)) {
        *error = QStringLiteral("无法识别文件编码");
        return false;
    }
    return true;
}

Batch::Batch(const QString &folder) : m_folder(folder)
{
    while (m_folder.size() > 1 && m_folder.endsWith(QLatin1Char('/')))
        m_folder.chop(1);
}

Batch::~Batch()
{
    for (const File &f : m_files)
        QFile::remove(f.temporary);
}

bool Batch::add(const QString &name, const QString &text, QString *error)
{
    const QString path = m_folder + QLatin1Char('/') + name;
    // A short name of its own: the final name may be as long as the file system allows.
    QTemporaryFile tmp(m_folder + QStringLiteral("/.inkboat-XXXXXX.tmp"));
    if (!tmp.open()) {
        *error = tmp.errorString();
        return false;
    }
    const QByteArray bytes = text.toUtf8();
    if (tmp.write(bytes) != bytes.size() || !tmp.flush()) {
        *error = tmp.errorString();
        return false;
    }
    tmp.setPermissions(QFileInfo::exists(path) ? QFile::permissions(path)
                                               : QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser |
                                                     QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther);
    tmp.setAutoRemove(false);
    m_files.append({tmp.fileName(), path});
    return true;
}

QStringList Batch::commit()
{
    QStringList results;
    const QVector<File> files = std::exchange(m_files, {});
    if (files.isEmpty())
        return results;
    // The bytes reach the disk before any name does: one flush of the file system for all.
    QString flushError;
    const int fd = ::open(QFile::encodeName(m_folder).constData(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (fd < 0 || ::syncfs(fd) != 0)
        flushError = QStringLiteral("写入磁盘失败：%1").arg(errnoText());
    if (fd >= 0)
        ::close(fd);
    int renamed = 0;
    for (const File &f : files) {
        QString error = flushError;
        // rename(2) replaces an existing file in one step.
        if (error.isEmpty() &&
            std::rename(QFile::encodeName(f.temporary).constData(), QFile::encodeName(f.name).constData()) != 0)
            error = errnoText();
        if (error.isEmpty())
            ++renamed;
        else
            QFile::remove(f.temporary);
        results << error;
    }
    // The new names reach the disk too; until they do, none of them counts as written.
    if (renamed > 0 && !syncToDisk(m_folder, true)) {
        const QString error = QStringLiteral("写入磁盘失败：%1").arg(errnoText());
        for (QString &r : results)
            if (r.isEmpty())
                r = error;
    }
    return results;
}

QStringList list(const QString &folder)
{
    QStringList paths;
    const QFileInfoList entries =
        QDir(folder).entryInfoList({QStringLiteral("*.txt")}, QDir::Files | QDir::Hidden, QDir::Name);
    for (const QFileInfo &entry : entries)
        paths << entry.absoluteFilePath();
    return paths;
}

} // namespace TextFiles
