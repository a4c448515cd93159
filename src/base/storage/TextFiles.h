#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Plain text files as the author's other programs write them, read and written with exact bytes:
// never the locale's codec, never QIODevice::Text.
namespace TextFiles {

enum class Encoding { None, Utf8, Utf16, Gb18030, Big5 };

// Decodes strictly: UTF-8 or UTF-16 named by a BOM (dropped); UTF-16 without a BOM told by its
// zero bytes; UTF-8 when every byte is valid; else GB18030 (GBK and GB2312 are subsets) or Big5
// when uchardet names it, without a single invalid or incomplete sequence. Anything else, and
// text holding NUL or another control character but tab and line ends, is refused: false, and
// *text untouched. CRLF and lone CR become "\n".
bool decode(const QByteArray &bytes, QString *text, Encoding *encoding = nullptr);

// Reads and decodes a file. maxChars >= 0 refuses, without reading it, a file too large to hold
// no more characters (the text's own length is the caller's check). On failure *error says why
// ("无法识别文件编码" for bytes decode() refuses).
bool read(const QString &path, QString *text, QString *error, int maxChars = -1);

// Writes text as UTF-8 without a BOM, exactly as given. The bytes go to a temporary file in the
// same folder that is flushed to disk and renamed over path, so a failed write leaves an earlier
// file intact; the folder is flushed after the rename (a failure there is reported too).
bool write(const QString &path, const QString &text, QString *error);

// The "*.txt" files directly in folder (".TXT" too, hidden ones too, no folders), full paths, in
// name order (code points).
QStringList list(const QString &folder);

} // namespace TextFiles
