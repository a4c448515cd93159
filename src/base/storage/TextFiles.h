#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

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

// Files written into one folder as UTF-8 without a BOM, exactly as given. add() puts each
// file's bytes under a temporary name; commit() flushes the file system once, renames every file
// over its name (an earlier file stays intact until then) and flushes the folder: after a power
// loss each file is whole or as it was, at two flushes a batch instead of two a file.
class Batch final
{
public:
    explicit Batch(const QString &folder);
    ~Batch(); // temporary files not committed are removed
    Q_DISABLE_COPY(Batch)

    // False, with *error, when the bytes could not be written (nothing is left behind).
    bool add(const QString &name, const QString &text, QString *error);
    int size() const { return m_files.size(); }
    // One entry per added file, in order: empty when it reached the disk under its name, else why
    // not ("写入磁盘失败：…" when a flush failed). The batch is empty afterwards.
    QStringList commit();

private:
    struct File {
        QString temporary, name;
    };
    QString m_folder;
    QVector<File> m_files;
};

// The "*.txt" files directly in folder (".TXT" too, hidden ones too, no folders), full paths, in
// name order (code points).
QStringList list(const QString &folder);

} // namespace TextFiles
