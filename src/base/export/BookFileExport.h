#pragma once

#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QVector>

#include <atomic>
#include <functional>

// A book (or some of its volumes and chapters) written out as one finished file: plain text for
// the serial sites, EPUB 3, ODT, DOCX or a PDF proof. GUI-free: every format is written on the
// calling thread, so the dialog and the command line both run it on a worker.
namespace BookFileExport {

enum class Format { Txt, Epub, Odt, Docx, Pdf };

// "txt", "epub", "odt", "docx", "pdf"; false for anything else.
bool formatFromName(const QString &name, Format *format);
QString formatName(Format format);

struct Options {
    QString bookId;
    // The volumes and chapters to write; empty: the whole book. A volume goes out when it or
    // any of its chapters is in the set.
    QSet<QString> nodeIds;
    Format format = Format::Txt;
    QString output;

    // Plain text.
    bool gb18030 = false; // else UTF-8 without a BOM
    bool crlf = false;
    bool indent = true; // two ideographic spaces before each paragraph
    // {title}: the title as it stands; {n}: the number in Chinese numerals; {N}: in digits.
    // Chapters are numbered through the whole book.
    QString volumePattern = QStringLiteral("{title}");
    QString chapterPattern = QStringLiteral("{title}");

    // EPUB, DOCX, ODT, PDF.
    QString title; // empty: the book's title
    QString author;
    QString coverImage; // EPUB: a JPEG or PNG file; empty: no cover
    bool vertical = false;

    // PDF.
    bool a4 = false; // else A5
    QString fontFamily; // empty: the editor's default font

    QJsonObject toJson() const; // the choices remembered for a book (not the book or the node set)
    void readJson(const QJsonObject &json);
};

struct Result {
    bool ok = false;
    bool cancelled = false;
    QString error; // names the file and the reason
    int volumes = 0;
    int chapters = 0;
};

struct Control {
    // Checked between chapters; the export then stops and leaves nothing under the output name.
    const std::atomic<bool> *cancel = nullptr;
    // Chapters done and the total (a PDF goes through the chapters twice: counted twice).
    std::function<void(int done, int total)> progress;
};

// Writes the file: into a temporary file beside the output, renamed over it at the end (an
// existing file is replaced: the caller asks first). A failure or cancel removes the temporary
// file; the data folder is only read.
Result exportBook(const Options &options, const Control &control = Control());

// The live book a node belongs to (the node itself for a book); empty when there is none.
QString bookOf(const QString &nodeId);
// A live book by its id, else by its exact title; false with *error when there is none or the
// title is not unique.
bool findBook(const QString &idOrTitle, QString *bookId, QString *error);
// The choices last used for a book (defaults when none), and storing them.
Options rememberedOptions(const QString &bookId);
void rememberOptions(const Options &options);

// A heading made from a pattern: {title}, {n} (Chinese numerals), {N}.
QString heading(const QString &pattern, const QString &title, int number);
// 1 → 一, 10 → 十, 21 → 二十一, 105 → 一百零五, 10000 → 一万.
QString chineseNumber(int n);

} // namespace BookFileExport
