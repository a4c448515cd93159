#include "export/BookFileExport.h"

#include "app/Exception.h"
#include "export/Writers.h"
#include "storage/Backup.h"
#include "storage/DataAccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <fcntl.h>
#include <unistd.h>

namespace BookFileExport {

namespace {

const char *const kFormatNames[] = {"txt", "epub", "odt", "docx", "pdf"};

// Chapters read per statement: the lock is held briefly, and an editor save slips in between.
constexpr int kBatch = 64;

QString systemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

// A new file of our own beside the target, created exclusively under a short hidden name (the
// rename then stays on one file system); removed unless it was renamed into place.
struct PartFile {
    QString path;
    bool create(const QString &folder)
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            const QString name = folder + QStringLiteral("/.inkboat-export-%1.part").arg(randomString(8));
            const int fd = ::open(QFile::encodeName(name).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd >= 0) {
                ::close(fd);
                path = name;
                return true;
            }
            if (errno != EEXIST)
                return false;
        }
        return false;
    }
    ~PartFile()
    {
        if (!path.isEmpty())
            QFile::remove(path);
    }
};

} // namespace

bool formatFromName(const QString &name, Format *format)
{
    for (int i = 0; i < 5; ++i)
        if (name.compare(QLatin1String(kFormatNames[i]), Qt::CaseInsensitive) == 0) {
            *format = Format(i);
            return true;
        }
    return false;
}

QString formatName(Format format) { return QLatin1String(kFormatNames[int(format)]); }

QJsonObject Options::toJson() const
{
    return QJsonObject{{"format", formatName(format)},
                       {"output", output},
                       {"gb18030", gb18030},
                       {"crlf", crlf},
                       {"indent", indent},
                       {"volumePattern", volumePattern},
                       {"chapterPattern", chapterPattern},
                       {"title", title},
                       {"author", author},
                       {"coverImage", coverImage},
                       {"vertical", vertical},
                       {"a4", a4},
                       {"fontFamily", fontFamily}};
}

void Options::readJson(const QJsonObject &json)
{
    Format f;
    if (formatFromName(json.value("format").toString(), &f))
        format = f;
    output = json.value("output").toString(output);
    gb18030 = json.value("gb18030").toBool(gb18030);
    crlf = json.value("crlf").toBool(crlf);
    indent = json.value("indent").toBool(indent);
    volumePattern = json.value("volumePattern").toString(volumePattern);
    chapterPattern = json.value("chapterPattern").toString(chapterPattern);
    title = json.value("title").toString(title);
    author = json.value("author").toString(author);
    coverImage = json.value("coverImage").toString(coverImage);
    vertical = json.value("vertical").toBool(vertical);
    a4 = json.value("a4").toBool(a4);
    fontFamily = json.value("fontFamily").toString(fontFamily);
}

QString chineseNumber(int n)
{
    static const QString digits = QStringLiteral("零一二三四五六七八九");
    if (n <= 0)
        return QString::number(n);
    if (n >= 100000000)
        return QString::number(n);
    auto below10000 = [](int v, bool leadingZero) {
        static const QString units[] = {QString(), QStringLiteral("十"), QStringLiteral("百"), QStringLiteral("千")};
        QString out;
        bool zero = false;
        for (int pos = 3; pos >= 0; --pos) {
            int p = 1;
            for (int k = 0; k < pos; ++k)
                p *= 10;
            const int d = (v / p) % 10;
            if (d == 0) {
                zero = !out.isEmpty() || leadingZero;
                continue;
            }
            if (zero)
                out += digits.at(0);
            zero = false;
            out += digits.at(d) + units[pos];
        }
        return out;
    };
    QString out;
    if (n >= 10000) {
        out = below10000(n / 10000, false) + QStringLiteral("万");
        if (n % 10000)
            out += (n % 10000 < 1000 ? QString(digits.at(0)) : QString()) + below10000(n % 10000, false);
    } else {
        out = below10000(n, false);
    }
    // 十一, 十二万 rather than 一十一, 一十二万.
    if (out.startsWith(QStringLiteral("一十")))
        out.remove(0, 1);
    return out;
}

QString heading(const QString &pattern, const QString &title, int number)
{
    QString text = pattern.isEmpty() ? QStringLiteral("{title}") : pattern;
    // One pass: a title that itself holds "{n}" stays as it is.
    QString out;
    for (int i = 0; i < text.size();) {
        if (text.midRef(i).startsWith(QLatin1String("{title}"))) {
            out += title;
            i += 7;
        } else if (text.midRef(i).startsWith(QLatin1String("{n}"))) {
            out += chineseNumber(number);
            i += 3;
        } else if (text.midRef(i).startsWith(QLatin1String("{N}"))) {
            out += QString::number(number);
            i += 3;
        } else {
            out += text.at(i++);
        }
    }
    return out;
}

QString bookOf(const QString &nodeId)
{
    QString id = nodeId;
    // Books hold volumes, volumes hold chapters; a damaged chain ends the walk.
    for (int depth = 0; depth < 4 && !id.isEmpty(); ++depth) {
        QueryPtr q = openQuery(QStringLiteral("SELECT pID,NodeType FROM BookTree WHERE ID=%1 AND Flag='A' AND "
                                              "Category='Book'")
                                   .arg(quoteSql(id)));
        if (!q->next())
            return QString();
        if (q->value(1).toInt() == 1)
            return id;
        id = q->value(0).toString();
    }
    return QString();
}

bool findBook(const QString &idOrTitle, QString *bookId, QString *error)
{
    const QString live = QStringLiteral("Flag='A' AND Category='Book' AND NodeType=1 AND ");
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT ID FROM BookTree WHERE ") + live + QStringLiteral("ID=") +
                               quoteSql(idOrTitle));
        if (q->next()) {
            *bookId = q->value(0).toString();
            return true;
        }
    }
    QStringList ids;
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT ID FROM BookTree WHERE ") + live + QStringLiteral("Title=") +
                               quoteSql(idOrTitle));
        while (q->next())
            ids << q->value(0).toString();
    }
    if (ids.size() == 1) {
        *bookId = ids.first();
        return true;
    }
    *error = ids.isEmpty() ? QStringLiteral("没有编号或书名为“%1”的书。").arg(idOrTitle)
                           : QStringLiteral("有%1本书名为“%2”的书，请用书的编号：%3")
                                 .arg(ids.size())
                                 .arg(idOrTitle, ids.join(QStringLiteral(", ")));
    return false;
}

Options rememberedOptions(const QString &bookId)
{
    Options options;
    options.readJson(QJsonDocument::fromJson(getSysParam(QStringLiteral("BookFileExport.") + bookId).toUtf8()).object());
    options.bookId = bookId;
    return options;
}

void rememberOptions(const Options &options)
{
    setSysParam(QStringLiteral("BookFileExport.") + options.bookId,
                QString::fromUtf8(QJsonDocument(options.toJson()).toJson(QJsonDocument::Compact)));
}

Result exportBook(const Options &options, const Control &control)
{
    Result result;
    const QFileInfo target(options.output);
    if (options.output.isEmpty() || target.isDir()) {
        result.error = QStringLiteral("没有指定导出文件。");
        return result;
    }
    // A short hidden name of our own beside the target: the rename then stays on one file system.
    PartFile tmp;
    if (!tmp.create(target.absolutePath())) {
        result.error = QStringLiteral("无法写入文件%1：%2").arg(QDir::toNativeSeparators(options.output), systemError());
        return result;
    }
    try {
        std::unique_ptr<ManuscriptWriter> writer;
        switch (options.format) {
        case Format::Txt: writer = makeTxtWriter(options); break;
        case Format::Epub: writer = makeEpubWriter(options); break;
        case Format::Odt: writer = makeOdtWriter(options); break;
        case Format::Docx: writer = makeDocxWriter(options); break;
        case Format::Pdf: writer = makePdfWriter(options); break;
        }
        const Manuscript::Outline outline = Manuscript::readOutline(options.bookId, options.nodeIds);
        ManuscriptWriter::Meta meta{options.title.isEmpty() ? outline.bookTitle : options.title, options.author};
        writer->begin(tmp.path, outline, meta);
        const int total = outline.chapterCount * writer->passes();
        // A pass in steps: a volume, or a batch of the chapters up to the next volume.
        struct Step {
            const Manuscript::Node *volume = nullptr;
            QVector<const Manuscript::Node *> chapters;
        };
        QVector<Step> steps;
        for (int i = 0; i < outline.nodes.size();) {
            Step step;
            if (outline.nodes.at(i).volume)
                step.volume = &outline.nodes.at(i++);
            while (!step.volume && i < outline.nodes.size() && !outline.nodes.at(i).volume &&
                   step.chapters.size() < kBatch)
                step.chapters.append(&outline.nodes.at(i++));
            steps.append(step);
        }
        const Manuscript::Content content = writer->content();
        int done = 0;
        for (int pass = 0; pass < writer->passes(); ++pass) {
            writer->startPass(pass);
            // The next batch is read (and its HTML parsed) on a thread of its own while the writer
            // writes this one. A pending read is waited for when the future goes out of scope.
            std::future<QVector<Manuscript::Chapter>> next;
            auto readAfter = [&](int s) {
                while (++s < steps.size() && steps.at(s).volume) {
                }
                if (s < steps.size())
                    next = std::async(std::launch::async, [chapters = steps.at(s).chapters, content]() {
                        return Manuscript::readChapters(chapters, content);
                    });
            };
            readAfter(-1);
            for (int s = 0; s < steps.size(); ++s) {
                if (control.cancel && control.cancel->load()) {
                    result.cancelled = true;
                    return result;
                }
                const Step &step = steps.at(s);
                if (step.volume) {
                    writer->volume(*step.volume);
                    continue;
                }
                const QVector<Manuscript::Chapter> texts = next.get();
                done += step.chapters.size();
                if (control.progress)
                    control.progress(done, total);
                // What the progress call changed (a cancel, a deleted chapter) counts from the next read on.
                if (control.cancel && control.cancel->load()) {
                    result.cancelled = true;
                    return result;
                }
                readAfter(s);
                for (int k = 0; k < step.chapters.size(); ++k)
                    writer->chapter(*step.chapters.at(k), texts.at(k));
            }
        }
        writer->finish();
        result.volumes = outline.volumeCount;
        result.chapters = outline.chapterCount;
    } catch (const Exception &e) {
        // The author knows the file by the name chosen, not by the temporary one.
        result.error = e.message().replace(tmp.path, QDir::toNativeSeparators(options.output));
        return result;
    } catch (const std::exception &e) {
        result.error = QStringLiteral("写入文件%1失败：%2").arg(QDir::toNativeSeparators(options.output),
                                                                QString::fromLocal8Bit(e.what()));
        return result;
    }
    if (control.cancel && control.cancel->load()) {
        result.cancelled = true;
        return result;
    }
    const QString name = QDir::toNativeSeparators(options.output);
    // The file as the author's other files are (umask), not the private mode of a temporary one.
    QFile::setPermissions(tmp.path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser |
                                              QFile::ReadGroup | QFile::ReadOther);
    if (!syncToDisk(tmp.path)) {
        result.error = QStringLiteral("写入文件%1失败：%2").arg(name, systemError());
        return result;
    }
    // rename(2) replaces an existing file in one step: the old file stays whole until then.
    if (std::rename(QFile::encodeName(tmp.path).constData(), QFile::encodeName(options.output).constData()) != 0) {
        result.error = QStringLiteral("无法保存文件%1：%2").arg(name, systemError());
        return result;
    }
    tmp.path.clear();
    syncToDisk(target.absolutePath(), true);
    result.ok = true;
    return result;
}

} // namespace BookFileExport
