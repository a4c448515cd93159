#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Plain text files as the author's other programs write them, read and written with exact bytes:
// never the locale's codec, never QIODevice::Text.
namespace TextFiles {

enum class Encoding { None, Utf8, Utf16, Gb18030 };

// Decodes strictly, in this order: UTF-8 (a BOM dropped) when every byte is valid UTF-8; UTF-16
// with a BOM; GB18030 (GBK is a subset) without a single invalid or incomplete sequence. Anything
// else is refused: false, and *text untouched. CRLF and lone CR become "\n".
bool decode(const QByteArray &bytes, QString *text, Encoding *encoding = nullptr);

// Reads and decodes a file. maxChars >= 0 refuses, without reading it, a file too large to hold
// no more characters (the text's own length is the caller's check). On failure *error says why.
bool read(const QString &path, QString *text, QString *error, int maxChars = -1);

// Writes text as UTF-8 without a BOM, exactly as given. The bytes go to a temporary file in the
// same folder that is renamed over path, so a failed write leaves an earlier file intact.
bool write(const QString &path, const QString &text, QString *error);

// The "*.txt" files directly in folder (".TXT" too, hidden ones too, no folders), full paths, in
// name order (code points).
QStringList list(const QString &folder);

} // namespace TextFiles
