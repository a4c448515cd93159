// A book written out as one file: each format's headings, order, escaping and encodings, the
// atomic write, cancelling, and the command line.
#include "BookRows.h"
#include "Columns.h"
#include "Folders.h"
#include "TestProfile.h"

#include "book/BookExportDialog.h"
#include "export/BookFileExport.h"
#include "export/Writers.h"

#include <QtTest>
#include <QtWidgets>

#include <minizip/unzip.h>

#include <csignal>
#include <sys/resource.h>

using namespace BookFileExport;

namespace {

// A title every format must carry intact: quotes, markup characters, an emoji, U+2028.
const QString kHostile = QStringLiteral("\"<第一章>\" & '驼铃' 🐪\u2028尾");

void addChapter(const QString &id, const QString &pid, double sort, const QString &title, const QString &plain,
                const QString &html = QString())
{
    execPrepared(QStringLiteral("INSERT INTO BookTree(ID,pID,NodeType,Level,Sort,Title,Category,HTML,PlainText,Flag,"
                                "Usn,Synced) VALUES(?,?,3,2,?,?,'Book',?,?,'A',0,0)"),
                 {id, pid, sort, title, html, plain});
}

// 书 > 第一卷 风起 (hostile chapter with a bold word, 第二章 and an escaping test), 空卷 (no chapters),
// 后记 (a chapter directly below the book).
void fixture()
{
    insertBookRows({"B||1|0|1|书", "V1|B|2|1|1|第一卷 风起", "V2|B|2|1|2|空卷"});
    addChapter("C1", "V1", 1, kHostile, QStringLiteral("  甲乙 \n\n\u3000丙 <b>&amp;\n"),
               QStringLiteral("<html><body style=\" font-weight:400;\"><p>甲<span style=\" font-weight:600;\">乙</span>"
                              "</p><p></p><p align=\"center\">丙 &lt;b&gt;&amp;amp;</p></body></html>"));
    addChapter("C2", "V1", 2, QStringLiteral("第二章"), QStringLiteral("丁"));
    addChapter("C3", "B", 3, QStringLiteral("后记"), QStringLiteral("完"));
}

// Entry names in archive order, and one entry's bytes.
QStringList zipEntries(const QString &path, QHash<QString, QByteArray> *contents, bool *firstStored = nullptr)
{
    QStringList names;
    unzFile zf = unzOpen64(QFile::encodeName(path).constData());
    if (!zf)
        return names;
    for (int rc = unzGoToFirstFile(zf); rc == UNZ_OK; rc = unzGoToNextFile(zf)) {
        char name[512];
        unz_file_info64 info;
        unzGetCurrentFileInfo64(zf, &info, name, sizeof name, nullptr, 0, nullptr, 0);
        if (names.isEmpty() && firstStored)
            *firstStored = info.compression_method == 0;
        names << QString::fromUtf8(name);
        QByteArray data(int(info.uncompressed_size), Qt::Uninitialized);
        unzOpenCurrentFile(zf);
        unzReadCurrentFile(zf, data.data(), unsigned(data.size()));
        unzCloseCurrentFile(zf);
        contents->insert(names.last(), data);
    }
    unzClose(zf);
    return names;
}

// The texts of the elements named in `tags` (by local name), in document order, marked up as
// "tag:text" ("tag.class:text" with a class); empty when the XML is not well formed. Text inside
// the elements (or text styles) of markTags shows as *text*, /text/, _text_ (first, second, third).
QStringList xmlTexts(const QByteArray &xml, const QStringList &tags, const QStringList &markTags)
{
    QStringList out;
    QXmlStreamReader r(xml);
    QString open;
    QString text;
    QString marks; // one per open element inside, a space where it marks nothing
    while (!r.atEnd()) {
        r.readNext();
        if (r.isStartElement()) {
            if (open.isEmpty() && tags.contains(r.name().toString())) {
                const QString cls = r.attributes().value(QStringLiteral("class")).toString();
                open = r.name().toString() + (cls.isEmpty() ? QString() : QLatin1Char('.') + cls);
                text.clear();
                marks = QStringLiteral(" ");
            } else if (!open.isEmpty()) {
                int mark = markTags.indexOf(r.name().toString());
                if (mark < 0)
                    mark = markTags.indexOf(r.attributes().value(QStringLiteral("text:style-name")).toString());
                marks += mark < 0 ? QLatin1Char(' ') : QStringLiteral("*/_").at(mark);
                if (r.name() == QLatin1String("br") || r.name() == QLatin1String("line-break"))
                    text += QLatin1Char('\n');
            }
        } else if (r.isCharacters() && !open.isEmpty()) {
            QString on = marks;
            on.remove(QLatin1Char(' '));
            QString off = on;
            std::reverse(off.begin(), off.end());
            text += on + r.text() + off;
        } else if (r.isEndElement() && !open.isEmpty()) {
            marks.chop(1);
            if (marks.isEmpty()) {
                out << open + QLatin1Char(':') + text;
                open.clear();
            }
        }
    }
    return r.hasError() ? QStringList{QStringLiteral("XML error: ") + r.errorString()} : out;
}

// A chapter's HTML as the editor stores it: Qt's writer, from a document read from `html`.
QString editorHtml(const QString &html) { QTextDocument doc; doc.setHtml(html); return doc.toHtml(); }

// The fixture's book by an author with markup in the name; `tweak` sets the options under test.
Result run(Format format, const QString &output, const std::function<void(Options &)> &tweak = {},
           const Control &control = {})
{
    Options o;
    o.bookId = QStringLiteral("B");
    o.format = format;
    o.output = output;
    o.author = QStringLiteral("作者 & <某>");
    if (tweak)
        tweak(o);
    return exportBook(o, control);
}

QString tool(const QString &name) { return QStandardPaths::findExecutable(name); }

// What a checking tool prints; null, with its messages shown, when it fails.
QString toolOutput(const QString &name, const QStringList &args)
{
    QProcess p;
    p.start(tool(name), args);
    const bool ok = p.waitForFinished(300000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    if (!ok)
        qWarning().noquote() << name << "failed:" << out << p.readAllStandardError();
    return ok ? out : QString();
}

} // namespace

class TestBookExport : public QObject
{
    Q_OBJECT
    TestProfile m_profile;

private slots:
    void initTestCase() { QVERIFY(startApp().ok); }
    void init() { clearBookTables(), fixture(); }
    void cleanupTestCase() { stopApp(); }

    void chapterNumbersInChineseWords_data()
    {
        COLUMNS(int, n, QString, text);
        for (const auto &row : {std::pair<int, const char *>{10, "十"}, {15, "十五"}, {20, "二十"}, {110, "一百一十"},
                                {1005, "一千零五"}, {10001, "一万零一"}, {20300, "二万零三百"}, {120000, "十二万"}})
            QTest::addRow("%d", row.first) << row.first << QString(row.second);
    }
    void chapterNumbersInChineseWords()
    {
        FETCH(int, n, QString, text);
        QCOMPARE(chineseNumber(n), text);
        QCOMPARE(heading("第{n}章 {title}（{N}）", "{n}", n), "第" + text + "章 {n}（" + QString::number(n) + "）");
    }

    // Headings as the pattern says, the auto-format's paragraphs, the chosen bytes; a chapter stored
    // as the auto-format leaves it comes out the same, near misses are formatted.
    void plainTextHasTheChosenEncodingLineEndsAndIndent_data()
    {
        // first: the first chapter's stored text, when not the fixture's
        COLUMNS(bool, gb18030, bool, crlf, bool, indent, QString, chapterPattern, QString, first, QString, text);
        const QString body = QStringLiteral("\n\n\u3000\u3000甲乙\n\n\u3000\u3000丙 <b>&amp;\n\n"
                                            "%1第二章\n\n\u3000\u3000丁\n\n空卷\n\n%2后记\n\n\u3000\u3000完\n\n");
        const QString utf8 = "第一卷 风起\n\n" + kHostile + body.arg(QString(), QString());
        QTest::newRow("utf-8, LF, titles as they stand")
            << false << false << true << "{title}" << QString() << utf8;
        QTest::newRow("GB18030, CRLF, numbered chapters")
            << true << true << true << "第{n}章 {title}" << QString()
            << "第一卷 风起\n\n第一章 " + kHostile + body.arg("第二章 ", "第三章 ");
        QString plain = utf8;
        QTest::newRow("no indent") << false << false << false << "{title}" << QString()
                                   << plain.remove(QChar(0x3000));
        // Stored as the auto-format leaves it, then near misses: an extra indent, a line separator and a
        // CR at the end, a missing blank line, an extra one.
        const char *stored[] = {"\u3000\u3000甲乙\n\n\u3000\u3000丙 <b>&amp;\n",
                                "\u3000\u3000\u3000甲乙\n\n\u3000\u3000丙 <b>&amp;\n",
                                "\u3000\u3000甲乙\u2028\n\n\u3000\u3000丙 <b>&amp;\r\n",
                                "\u3000\u3000甲乙\n\u3000\u3000丙 <b>&amp;\n",
                                "\u3000\u3000甲乙\n\n\u3000\u3000丙 <b>&amp;\n\n"};
        for (int i = 0; i < 5; ++i)
            QTest::addRow("stored text %d", i)
                << false << false << true << "{title}" << QString(stored[i]) << utf8;
    }
    void plainTextHasTheChosenEncodingLineEndsAndIndent()
    {
        FETCH(bool, gb18030, bool, crlf, bool, indent, QString, chapterPattern, QString, first, QString, text);
        if (!first.isEmpty())
            execPrepared("UPDATE BookTree SET PlainText=? WHERE ID='C1'", {first});
        QTemporaryDir dir;
        const Result r = run(Format::Txt, dir.filePath("书.txt"), [&](Options &o) {
            o.gb18030 = gb18030, o.crlf = crlf, o.indent = indent, o.chapterPattern = chapterPattern;
        });
        QVERIFY2(r.ok, qPrintable(r.error));
        const QByteArray bytes = readBytes(dir.filePath("书.txt"));
        QVERIFY(!bytes.startsWith("\xEF\xBB\xBF"));
        QTextCodec::ConverterState state;
        QString read = QTextCodec::codecForName(gb18030 ? "GB18030" : "UTF-8")->toUnicode(bytes, bytes.size(), &state);
        QCOMPARE(state.invalidChars, 0);
        QCOMPARE(bytes.contains("\r\n"), crlf);
        QCOMPARE(bytes.count('\n'), crlf ? bytes.count("\r\n") : bytes.count('\n'));
        QCOMPARE(read.replace("\r\n", "\n"), text);
    }

    // Every heading, in order, escaped and read back intact; bold kept; the container as readers
    // require (mimetype first and stored).
    void zipFormatsHoldHeadingsInOrder_data()
    {
        // html: the first chapter's, when not the fixture's
        COLUMNS(int, format, QString, html, QString, entry, QStringList, tags, QStringList, markTags, QStringList,
                expected);
        const QStringList body{"p:甲*乙*", "p:丙 <b>&amp;"};
        const int epub = int(Format::Epub);
        const QString chapter = "EPUB/c00001.xhtml";
        QTest::newRow("epub chapter") << epub << QString() << chapter << QStringList{"title", "h2", "p"}
                                      << QStringList{"b"}
                                      << QStringList{"title:" + kHostile, "h2:" + kHostile, "p:甲*乙*", "p.c:丙 <b>&amp;"};
        QTest::newRow("epub navigation")
            << epub << QString() << "EPUB/nav.xhtml" << QStringList{"a"} << QStringList()
            << QStringList{"a:书", "a:第一卷 风起", "a:" + kHostile, "a:第二章", "a:空卷", "a:后记"};
        QTest::newRow("epub package, epubcheck")
            << epub << QString() << "EPUB/package.opf" << QStringList{"title", "language", "creator"}
            << QStringList() << QStringList{"title:书", "language:zh-CN", "creator:作者 & <某>"};
        QTest::newRow("docx") << int(Format::Docx) << QString() << "word/document.xml" << QStringList{"pStyle", "t"}
                              << QStringList{"b"}
                              << QStringList{"pStyle:", "t:书", "pStyle:", "t:第一卷 风起", "pStyle:", "t:" + kHostile,
                                             "t:甲", "t:乙", "t:丙 <b>&amp;", "pStyle:", "t:第二章", "t:丁",
                                             "pStyle:", "t:空卷", "pStyle:", "t:后记", "t:完"};
        QTest::newRow("odt") << int(Format::Odt) << QString() << "content.xml" << QStringList{"h", "p"}
                             << QStringList{"T1"}
                             << (QStringList{"p:书", "h:第一卷 风起", "h:" + kHostile} + body +
                                 QStringList{"h:第二章", "p:丁", "h:空卷", "h:后记", "p:完"});
        // The editor's own HTML, read without a QTextDocument, and HTML left to one.
        const QStringList marks{"b", "i", "u"};
        QTest::newRow("editor html: bold, italic, underline, alignment")
            << epub
            << editorHtml("<p>甲<b>乙</b><i>丙</i><u>丁</u><b><i>戊</i></b></p><p align=\"right\">己</p>"
                          "<p align=\"justify\">&lt;庚&amp;&quot;</p>")
            << chapter << QStringList{"p"} << marks << QStringList{"p:甲*乙*/丙/_丁_*/戊/*", "p.r:己", "p.j:<庚&\""};
        QTest::newRow("editor html: line break, spaces, empty paragraph")
            << epub
            << editorHtml("<p style=\"white-space:pre-wrap\">甲<br>乙  丙&nbsp;🐪</p><p></p>"
                          "<p align=\"center\"><span style=\"font-weight:600\">粗</span>细</p>")
            << chapter << QStringList{"p"} << marks << QStringList{"p:甲\n乙  丙\u00a0🐪", "p.c:*粗*细"};
        QTest::newRow("editor html with a list") << epub << editorHtml("<ul><li>甲<b>乙</b></li></ul><p>丙</p>")
                                                 << chapter << QStringList{"p"} << marks
                                                 << QStringList{"p:甲*乙*", "p:丙"};
    }
    void zipFormatsHoldHeadingsInOrder()
    {
        FETCH(int, format, QString, html, QString, entry, QStringList, tags, QStringList, markTags, QStringList,
              expected);
        if (!html.isEmpty())
            execPrepared("UPDATE BookTree SET HTML=? WHERE ID='C1'", {html});
        QTemporaryDir dir;
        const QString out = dir.filePath("书." + formatName(Format(format)));
        const Result r = run(Format(format), out);
        QVERIFY2(r.ok, qPrintable(r.error));
        QHash<QString, QByteArray> contents;
        bool firstStored = false;
        const QStringList names = zipEntries(out, &contents, &firstStored);
        if (Format(format) != Format::Docx) {
            QCOMPARE(names.value(0), "mimetype");
            QVERIFY(firstStored);
        }
        QVERIFY2(contents.contains(entry), qPrintable(names.join(' ')));
        QStringList got = xmlTexts(contents.value(entry), tags, markTags);
        // DOCX: the style names stand in their own element; the heading levels are checked here.
        if (Format(format) == Format::Docx) {
            QVERIFY(contents.value(entry).contains("<w:pStyle w:val=\"Heading1\"/></w:pPr><w:r><w:t "
                                                   "xml:space=\"preserve\">空卷") &&
                    contents.value(entry).contains("<w:r><w:rPr><w:b/></w:rPr><w:t xml:space=\"preserve\">乙") &&
                    contents.value("word/styles.xml").contains("<w:pageBreakBefore/>"));
        }
        // The whole package as readers check it (Debian's epubcheck is a jar; /usr/bin/epubcheck runs
        // only where jar files are registered).
        if (entry == "EPUB/package.opf")
            QVERIFY2(!toolOutput("java", {"-jar", "/usr/share/java/epubcheck.jar", out}).isNull(),
                     "epubcheck failed or is not installed (scripts/install-deps installs it)");
        // A chapter below the book stands beside the volumes in the contents, not inside the last one.
        if (entry == "EPUB/nav.xhtml")
            QVERIFY(contents.value(entry).contains("<li><a href=\"v0002.xhtml\">空卷</a></li>\n"
                                                   "<li><a href=\"c00003.xhtml\">后记</a></li>"));
        QCOMPARE(got, expected);
    }

    // The contents name the page each chapter starts on, counted from the text's first page, and
    // every font is embedded.
    void pdfContentsNameTheRightPages()
    {
        if (tool("pdftotext").isEmpty() || tool("pdffonts").isEmpty())
            QFAIL("poppler-utils is not installed (scripts/install-deps installs it)");
        // A long chapter pushes the next ones over several pages.
        execPrepared("UPDATE BookTree SET PlainText=?,HTML='' WHERE ID='C1'",
                     {QStringLiteral("大漠孤烟直，长河落日圆。他勒住缰绳回望来路。\n").repeated(300)});
        QTemporaryDir dir;
        const QString out = dir.filePath("书.pdf");
        const Result r = run(Format::Pdf, out);
        QVERIFY2(r.ok, qPrintable(r.error));
        const QStringList pages = toolOutput("pdftotext", {"-layout", out, "-"}).split(QLatin1Char('\f'));
        // Title page, one page of contents, then the text.
        QVERIFY2(pages.size() > 8, qPrintable(QString::number(pages.size())));
        QVERIFY(pages.at(0).contains(QStringLiteral("书")) && pages.at(1).contains(QStringLiteral("目录")));
        for (const QString &title : {QStringLiteral("第一卷 风起"), QStringLiteral("第二章"), QStringLiteral("空卷")}) {
            const auto m = QRegularExpression(QRegularExpression::escape(title) + "\\s+(\\d+)").match(pages.at(1));
            QVERIFY2(m.hasMatch(), qPrintable(title));
            const int page = m.captured(1).toInt();
            const QString shown = pages.value(1 + page);
            QVERIFY2(shown.trimmed().startsWith(title), qPrintable(title + " on page " + QString::number(page)));
            QVERIFY2(shown.trimmed().endsWith(QString::number(page)), qPrintable(shown.right(40)));
        }
        const QStringList lines = toolOutput("pdffonts", {out}).split('\n', Qt::SkipEmptyParts).mid(2);
        QVERIFY(!lines.isEmpty());
        // name, type (may hold spaces), encoding, emb, sub, uni, object id (two numbers)
        for (const QString &line : lines) {
            const QStringList cells = line.split(' ', Qt::SkipEmptyParts);
            QVERIFY2(cells.value(cells.size() - 5) == "yes", qPrintable(line));
        }
    }

    // Each paragraph of the PDF keeps its runs' bold, italic, underline and size, trimmed, and its
    // alignment; the indent only where the lines start at the left.
    void pdfParagraphsKeepRichText()
    {
        const QString html = editorHtml("<p>甲<b>乙</b><i>丙</i><u>丁 </u></p><p align=\"center\"><b "
                                        "style=\"font-size:40pt\">戊</b></p>");
        QStringList got;
        for (const Manuscript::Paragraph &p : Manuscript::paragraphsOfHtml(html, QString())) {
            // The editor's base size: the big word comes out at its own size.
            const PdfParagraph laid = pdfParagraph(p, QTextDocument().defaultFont().pointSizeF());
            QString marked = laid.text;
            for (int i = laid.formats.size() - 1; i >= 0; --i) {
                const QTextCharFormat &f = laid.formats.at(i).format;
                const QString mark =
                    QString(f.fontWeight() > QFont::Normal ? "*" : "") + (f.fontItalic() ? "/" : "") +
                    (f.fontUnderline() ? "_" : "") +
                    (f.hasProperty(QTextFormat::FontPointSize) ? QString("{%1}").arg(f.fontPointSize())
                                                               : QString());
                marked.insert(laid.formats.at(i).start + laid.formats.at(i).length, mark);
                marked.insert(laid.formats.at(i).start, mark);
            }
            got << QString::number(laid.align) + ':' + marked;
        }
        QCOMPARE(got, (QStringList{"1:\u3000\u3000甲*乙*/丙/_丁_", "4:*{40}戊*{40}"}));
    }

    // Cancelled, disk full, a chapter gone mid-way: the file there before is untouched and no
    // temporary file is left.
    void failureLeavesNoHalfFile_data()
    {
        COLUMNS(QString, failure, QString, message);
        QTest::newRow("cancel") << "cancel" << "";
        QTest::newRow("disk full") << "full" << "写入文件";
        QTest::newRow("chapter deleted") << "deleted" << "第70章";
    }
    void failureLeavesNoHalfFile()
    {
        FETCH(QString, failure, QString, message);
        // More chapters than one read batch, each of 2,000 characters.
        {
            Transaction tx;
            for (int i = 3; i <= 80; ++i)
                addChapter(QStringLiteral("K%1").arg(i), "V1", i, QStringLiteral("第%1章").arg(i),
                           QString(2000, QChar(0x4E00 + i)));
            tx.commit();
        }
        QTemporaryDir dir;
        const QString out = dir.filePath("书.txt");
        QVERIFY(writeBytes(out, "旧"));
        std::atomic<bool> cancel{false};
        Control control;
        control.cancel = &cancel;
        control.progress = [&](int, int) {
            if (failure == "cancel")
                cancel = true;
            else if (failure == "deleted")
                execSql("UPDATE BookTree SET Flag='D' WHERE ID='K70'");
        };
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small{20000, saved.rlim_max};
        if (failure == "full") {
            std::signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &small);
        }
        const Result r = run(Format::Txt, out, {}, control);
        setrlimit(RLIMIT_FSIZE, &saved);
        QVERIFY(!r.ok);
        QCOMPARE(r.cancelled, failure == "cancel");
        QVERIFY2(r.error.contains(message) && (failure != "full" || r.error.contains(out)), qPrintable(r.error));
        QCOMPARE(readBytes(out), QByteArray("旧"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"书.txt"});
    }

    // The program binary: exit code and stderr; refused while the data folder is in use.
    void commandLineExportsOrSaysWhyNot_data()
    {
        COLUMNS(QStringList, args, bool, running, int, code, QString, stderrHas);
        const QStringList txt{"--export-book", "书", "--format", "txt"};
        QTest::newRow("by title") << txt << false << 0 << "";
        QTest::newRow("by id") << QStringList{"--export-book", "B", "--format", "EPUB"} << false << 0 << "";
        QTest::newRow("no such book") << QStringList{"--export-book", "无", "--format", "txt"} << false << 4
                                      << "没有编号或书名为“无”的书";
        QTest::newRow("bad format") << QStringList{"--export-book", "书", "--format", "rtf"} << false << 2
                                    << "不支持的格式：rtf";
        QTest::newRow("program running") << txt << true << 3 << "正在运行，正在使用数据文件夹";
    }
    void commandLineExportsOrSaysWhyNot()
    {
        FETCH(QStringList, args, bool, running, int, code, QString, stderrHas);
        QTemporaryDir dir;
        const QString out = dir.filePath("out.file");
        // The command takes the data folder only when the test's own start has let it go.
        if (!running)
            stopApp();
        QProcess p;
        p.start(QStringLiteral(INKBOAT_BUILD_DIR "/inkboat"), args + QStringList{"--output", out});
        const bool finished = p.waitForFinished(120000);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        if (!running)
            QVERIFY(startApp().ok);
        QVERIFY(finished);
        QVERIFY2(p.exitCode() == code, qPrintable(QString::number(p.exitCode()) + err));
        QVERIFY2(err.contains(stderrHas), qPrintable(err));
        QCOMPARE(QFileInfo::exists(out), code == 0);
        if (code == 0 && args.contains("txt"))
            QVERIFY(readBytes(out).startsWith("第一卷 风起\n\n" + kHostile.toUtf8()));
    }

    // The dialog's choices are what it exports: only the focused chapter, GB18030, CRLF, no indent.
    void dialogExportsWhatWasChosen()
    {
        QTemporaryDir dir;
        BookExportDialog dialog("B", "C2", BookFileExport::Options());
        dialog.findChild<QLineEdit *>("editOutput")->setText(dir.filePath("书.txt"));
        dialog.findChild<QComboBox *>("comboFormat")->setCurrentIndex(0);
        for (QComboBox *box : dialog.findChildren<QComboBox *>())
            if (box->count() == 2 && QRegularExpression("^(GB18030|CRLF)").match(box->itemText(1)).hasMatch())
                box->setCurrentIndex(1);
        for (QCheckBox *box : dialog.findChildren<QCheckBox *>())
            if (box->text().contains("缩进"))
                box->setChecked(false);
        // What these options write is checked by the plain text rows.
        const Options o = dialog.options();
        QCOMPARE(o.output, dir.filePath("书.txt"));
        QVERIFY(o.format == Format::Txt && o.gb18030 && o.crlf && !o.indent);
        QVERIFY(o.nodeIds.contains("C2") && !o.nodeIds.contains("C1") && !o.nodeIds.contains("C3"));
        // The cover's file dialog starts beside the output, not in the working folder.
        QString start;
        QTimer::singleShot(0, [&start] {
            auto *files = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            start = files ? files->directory().absolutePath() : "none";
            if (files)
                files->reject();
        });
        for (QPushButton *button : dialog.findChildren<QPushButton *>())
            if (button->text() == "选择…")
                button->click();
        QCOMPARE(start, QDir(dir.path()).absolutePath());
    }
};

QTEST_MAIN(TestBookExport)
#include "tst_bookexport.moc"
