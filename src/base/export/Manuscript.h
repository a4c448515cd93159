#pragma once

#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

class QIODevice;

// The book as the file writers see it: its outline in the tree's order and, chapter by chapter,
// the text as paragraphs of formatted runs.
namespace Manuscript {

struct Node {
    QString id;
    QString title;
    bool volume = false; // else a chapter
    int number = 0;      // 1-based among the written volumes, or among the written chapters
    bool topLevel = false; // a chapter directly below the book
};

struct Outline {
    QString bookTitle;
    QVector<Node> nodes; // volumes each followed by their chapters; chapters directly below the book too
    int chapterCount = 0;
    int volumeCount = 0;
};

// Throws Exception when the book is gone or the tree cannot be read. selection: see Options.
Outline readOutline(const QString &bookId, const QSet<QString> &selection);

struct Run {
    QString text;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    qreal scale = 1; // its size against the text around it (the editor's own HTML only)
};
enum class Align { Default, Left, Center, Right, Justify };
struct Paragraph {
    Align align = Align::Default;
    QVector<Run> runs;
    QString plainText() const;
};
struct Chapter {
    QString plainText;
    QVector<Paragraph> paragraphs; // filled only when asked for
    QByteArray utf8; // the stored plain text's own bytes, filled instead of plainText when asked for
};

// What a writer reads of each chapter: the plain text; the plain text and its paragraphs from the
// stored rich text (bold, italic, underline, alignment); or the plain text as the file holds it
// (UTF-8), not decoded.
enum class Content { Plain, Rich, Utf8 };

// The texts of the chapters, in the order of ids, read in one statement under the lock. A chapter
// that is gone by now throws Exception naming it.
QVector<Chapter> readChapters(const QVector<const Node *> &chapters, Content content);

// The paragraphs of plain text: one a line, blank lines dropped, the text kept as it stands.
QVector<Paragraph> paragraphsOfPlainText(const QString &plainText);
// The paragraphs of the editor's HTML; plain text lines when it holds no formatting at all.
QVector<Paragraph> paragraphsOfHtml(const QString &html, const QString &plainText);

// Escapes text for XML content and attribute values; characters XML 1.0 cannot hold (controls
// but tab and line feed, unpaired surrogates, U+FFFE/U+FFFF) are dropped.
QString xmlEscaped(const QString &text);

} // namespace Manuscript

// One output format. The driver calls begin, then volume/chapter in order, then finish; a
// writer that needs the outline twice (the PDF's table of contents) asks for more passes.
class ManuscriptWriter
{
public:
    struct Meta {
        QString title;
        QString author;
    };
    virtual ~ManuscriptWriter();
    virtual int passes() const { return 1; }
    virtual Manuscript::Content content() const { return Manuscript::Content::Rich; }
    // The writer writes to path (a temporary file that already exists, empty).
    virtual void begin(const QString &path, const Manuscript::Outline &outline, const Meta &meta) = 0;
    virtual void startPass(int) {}
    virtual void volume(const Manuscript::Node &node) = 0;
    virtual void chapter(const Manuscript::Node &node, const Manuscript::Chapter &text) = 0;
    // Everything written and closed; throws Exception with the reason otherwise.
    virtual void finish() = 0;
};

// Entries of a zip file written in order (minizip); throws Exception with the reason.
class ZipWriter final
{
public:
    Q_DISABLE_COPY(ZipWriter)
    explicit ZipWriter(const QString &path);
    ~ZipWriter();
    // stored: without compression (the mimetype entry of EPUB and ODF must be).
    void add(const QString &name, const QByteArray &data, bool stored = false);
    // An entry written in pieces: begin, write…, end.
    void beginEntry(const QString &name, bool stored = false);
    void write(const QByteArray &data);
    void endEntry();
    void close();

private:
    [[noreturn]] void fail() const;
    QString m_path;
    void *m_zip = nullptr;
};
