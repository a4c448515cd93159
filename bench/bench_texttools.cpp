// Text tools and find/replace on a chapter of the largest size: statistics per key press,
// sensitive-word marking (also while opening), replace-all and auto-format.
#include "BenchSupport.h"

#include "../tests/support/BookRows.h"
#include "app/App.h"
#include "app/Constants.h"
#include "book/BookController.h"
#include "book/MyTextEdit.h"
#include "book/ReplaceDialog.h"
#include "book/TextFinder.h"
#include "book/TextTools.h"
#include "book/TextToolsController.h"
#include "book/TreeView.h"
#include "params/SysParams.h"
#include "storage/Database.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QRegExp>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>

#include <cstdio>

namespace {

// Mixed text: Chinese (also outside the counted range), Latin, digits, punctuation, paragraphs.
QString chapterText(int length)
{
    static const QString sentence =
        QStringLiteral("大漠孤烟直，长河落日圆。Li Wei 在 2024 年回望来路，只见黄沙漫漫㐀驼铃声声。");
    QString text;
    while (text.size() < length)
        text += QString(2, Ink::paragraphIndentChar) + sentence + sentence + QLatin1Char('\n');
    text.truncate(length);
    return text;
}

// The class definition: every overlapping match start of the classic pattern.
int classicCount(const QString &pattern, const QString &text)
{
    QRegExp rx(pattern, Qt::CaseSensitive, QRegExp::RegExp);
    int count = 0;
    for (int pos = rx.indexIn(text, 0); pos != -1; pos = rx.indexIn(text, pos + 1))
        ++count;
    return count;
}

// Overlined characters of the document.
int overlinedCharacters(const QTextDocument *doc)
{
    int n = 0;
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().fontOverline())
                n += it.fragment().length();
    return n;
}

// The marks as the document's own find, word by word from the start, would set them.
int referenceMarks(const QString &text, const QStringList &words)
{
    QTextDocument doc;
    doc.setPlainText(text);
    int count = 0;
    for (const QString &word : words)
        for (QTextCursor c = doc.find(word, 0); !c.isNull(); c = doc.find(word, c))
            ++count;
    return count;
}

// Debug lines go to a sink (they are written in full, only not to the terminal) and are counted.
FILE *g_sink = nullptr;
int g_debugLines = 0;
void sinkMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg) {
        ++g_debugLines;
        std::fputs(qPrintable(message + QLatin1Char('\n')), g_sink);
        return;
    }
    std::fputs(qPrintable(message + QLatin1Char('\n')), stderr);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    g_sink = std::fopen("/dev/null", "w");
    qInstallMessageHandler(sinkMessages);
    const QString text = chapterText(Ink::maxArticleLength);

    // --- statistics: one pass against the class definition ---
    {
        const int chinese = classicCount(QStringLiteral("[\\x4e00-\\x9fa5]+"), text);
        const int latin = classicCount(QStringLiteral("[a-zA-Z0-9]+"), text);
        TextTools::WordStatistics s;
        const Runs runs = timeRuns(
            200, [&] { s = TextTools::countWords(text); },
            [&] {
                return s.chinese == chinese && s.latin == latin && s.other == text.size() - chinese - latin &&
                               s.total == text.size()
                           ? QString()
                           : QStringLiteral("counts differ from the class definition");
            },
            [&] { s = TextTools::WordStatistics(); });
        benchReport("text tools: statistics of 10,240 characters (median)", runs, "ms", below(0.3, "ms"));
    }

    // --- the built-in sensitive-word list ---
    const QStringList words = TextTools::sensitiveWordList(defaultSensitiveWords());
    QString marked = text;
    for (int i = 0; i < 40; ++i) // words spread over the chapter
        marked.replace(i * 250, 2, words.at(i % words.size()).left(2));
    const int expectedMarks = referenceMarks(marked, words);
    {
        QTextDocument doc;
        int count = 0;
        const Runs runs = timeRuns(
            7, [&] { count = TextTools::markSensitiveWords(&doc, words); },
            [&] {
                if (expectedMarks == 0)
                    return QStringLiteral("no words planted");
                if (count != expectedMarks)
                    return QStringLiteral("%1 marks, the document's find gives %2").arg(count).arg(expectedMarks);
                return overlinedCharacters(&doc) > 0 ? QString() : QStringLiteral("nothing overlined");
            },
            [&] { doc.setPlainText(marked); });
        benchReport(QStringLiteral("text tools: sensitive words, built-in list (%1 words) over 10,240 characters "
                                   "(median)")
                        .arg(words.size()),
                    runs, "ms", below(20, "ms"));
    }

    // --- in the editor, over a real database ---
    QTemporaryDir dir;
    useProfileRoot(dir.path());
    const QString missing = missingSqlDriver(sqlDriverName());
    if (!missing.isEmpty())
        return benchFailAll({"text tools: open with the sensitive-word check", "text tools: key press with statistics"},
                            missing);
    if (!g_App.init())
        return benchFailAll({"text tools: open with the sensitive-word check", "text tools: key press with statistics"},
                            QStringLiteral("App::init failed"));
    g_SysParams.autoBackupDb = false;
    smallLibrary();
    {
        QTextDocument doc;
        doc.setPlainText(marked);
        execPrepared(QStringLiteral("UPDATE BookTree SET HTML=?,PlainText=? WHERE ID='C1'"),
                     {doc.toHtml(), marked});
        doc.setPlainText(text);
        execPrepared(QStringLiteral("UPDATE BookTree SET HTML=?,PlainText=? WHERE ID='C2'"), {doc.toHtml(), text});
    }
    QWidget host;
    auto *view = new TreeView(&host);
    auto *editor = new MyTextEdit(&host);
    auto *label = new QLabel(&host);
    editor->setResetOnAsciiKey(true);
    BookController book(view, editor);
    BenchPrompter prompter; // errors become warnings
    prompter.answer = Ink::maNo;
    TextToolsController tools({editor, view, &book, nullptr, label, &host});
    QObject::connect(editor, &QTextEdit::textChanged, &tools, &TextToolsController::updateWordStatistics);
    host.resize(1200, 800);
    editor->resize(900, 760);
    host.show();
    book.loadTree();

    g_SysParams.editorParams.checkSensitiveWordsOnRead = true;
    Runs runs = timeRuns(
        7,
        [&] {
            book.selectNode(QStringLiteral("C1"));
            QApplication::processEvents();
        },
        [&] {
            if (book.currentChapterId() != QLatin1String("C1") || editor->toPlainText() != marked)
                return QStringLiteral("the chapter is not open");
            if (overlinedCharacters(editor->document()) == 0)
                return QStringLiteral("no word marked");
            return editor->document()->isModified() || editor->document()->isUndoAvailable()
                       ? QStringLiteral("opening left an edit behind")
                       : QString();
        },
        [&] { book.selectNode(QStringLiteral("C2")); });
    benchReport("text tools: open 10,240-character chapter with the sensitive-word check on (median)", runs, "ms",
                below(50, "ms"));
    g_SysParams.editorParams.checkSensitiveWordsOnRead = false;

    // Typing up to the limit with statistics on, each key with its repaint.
    book.selectNode(QStringLiteral("C2"));
    {
        QTextCursor cut(editor->document());
        cut.movePosition(QTextCursor::End);
        cut.movePosition(QTextCursor::PreviousCharacter, QTextCursor::KeepAnchor, 450);
        cut.removeSelectedText();
    }
    editor->moveCursor(QTextCursor::End);
    PaintCounter paints;
    editor->viewport()->installEventFilter(&paints);
    int i = 0, length = 0, paintsBefore = 0, linesBefore = 0;
    runs = timeRuns(
        300,
        [&] { typeOneStep(editor, i); },
        [&] {
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QStringLiteral("字"));
            QApplication::sendEvent(editor, &release);
            const int added = i++ % 2 ? 2 : 1;
            const int total = editor->document()->characterCount() - 1;
            if (total != length + added)
                return QStringLiteral("the key did not reach the text");
            if (!label->text().startsWith(QStringLiteral("总:%1,").arg(total)) || g_debugLines < linesBefore + 4)
                return QStringLiteral("no statistics for the key");
            return paints.paints > paintsBefore ? QString() : QStringLiteral("no repaint after the key");
        },
        [&] {
            length = editor->document()->characterCount() - 1;
            paintsBefore = paints.paints;
            linesBefore = g_debugLines;
        });
    editor->viewport()->removeEventFilter(&paints);
    benchReport("text tools: key press with repaint and statistics, 9,790 to 10,240 characters (median)", runs, "ms",
                below(2, "ms"));
    // --- replace-all and auto-format in the editor, with the relayout and repaint ---
    {
        // 2,000 occurrences of the find text in a chapter of the largest size.
        QString source;
        for (int n = 1; n <= 2000; ++n)
            source += n % 10 ? QStringLiteral("风烟起落") : QStringLiteral("风烟起落\n");
        while (source.size() < Ink::maxArticleLength)
            source += QStringLiteral("风");
        QString expected = source;
        expected.replace(QStringLiteral("烟"), QStringLiteral("尘烟"));
        ReplaceDialog dialog;
        dialog.setEditor(editor);
        dialog.setFindText(QStringLiteral("烟"));
        dialog.setReplaceText(QStringLiteral("尘烟"));
        int count = 0;
        runs = timeRuns(
            7,
            [&] {
                count = dialog.replaceAll();
                QApplication::processEvents();
            },
            [&] {
                if (count != 2000 || editor->toPlainText() != expected)
                    return QStringLiteral("%1 replacements, the text differs").arg(count);
                editor->undo();
                return editor->toPlainText() == source ? QString() : QStringLiteral("one undo does not restore it");
            },
            [&] {
                editor->setPlainText(source);
                editor->moveCursor(QTextCursor::Start);
                QApplication::processEvents();
            });
        benchReport("find replace: replace all, 2,000 replacements in a 10,240-character chapter (median)", runs, "ms",
                    below(50, "ms"));

        const QString formatted = TextTools::autoFormatText(text);
        runs = timeRuns(
            7,
            [&] {
                TextTools::applyAutoFormat(editor->document());
                QApplication::processEvents();
            },
            [&] { return editor->toPlainText() == formatted ? QString() : QStringLiteral("the text differs"); },
            [&] {
                editor->setPlainText(text);
                QApplication::processEvents();
            });
        benchReport("text tools: auto-format of a 10,240-character chapter (median)", runs, "ms", below(50, "ms"));
    }
    editor->document()->setModified(false);
    g_App.deinit();
    return benchExitCode();
}
