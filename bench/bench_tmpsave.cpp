// Crash protection costs: the diff of the recovery dialog (time and memory at the chapter
// limit), showing it, one recovery copy, an idle tick, opening among many copies, and the text
// lost when the program is killed at random moments.
#include "BenchSupport.h"

#include "app/App.h"
#include "app/Constants.h"
#include "book/BookController.h"
#include "book/LcsDiff.h"
#include "book/MyTextEdit.h"
#include "book/RecoveryController.h"
#include "book/TmpSaveFile.h"
#include "book/TmpSaveWriter.h"
#include "book/TreeView.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtConcurrent>

#include <malloc.h>
#include <random>
#include <stdexcept>

namespace {

QString randomText(int length, ushort first, int alphabet, std::mt19937 &rng)
{
    QString text(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        text[i] = QChar(ushort(first + rng() % quint32(alphabet)));
    return text;
}

// The author's rewrite of a chapter: a few hundred scattered changes, the last character too.
QString rewritten(const QString &text, std::mt19937 &rng)
{
    QString t = text;
    for (int k = 0; k < 300; ++k) {
        const int at = int(rng() % quint32(t.size()));
        switch (rng() % 3) {
        case 0: t[at] = QChar(ushort(0x4E00 + rng() % 500)); break;
        case 1: t.insert(at, QChar(ushort(0x4E00 + rng() % 500))); break;
        default: t.remove(at, 1); break;
        }
    }
    t.resize(text.size(), QChar(0x3002));
    t[t.size() - 1] = QChar(0xFF01);
    return t;
}

qint64 statusKb(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').first().toLongLong();
    return -1;
}

// Resets the peak resident size to the present one; false when the kernel does not allow it.
bool resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1 && f.flush();
}

// Why the diff does not rebuild both texts; empty when it does.
QString rebuilds(const DiffList &diffs, const QString &a, const QString &b)
{
    QString x, y;
    for (const Diff &d : diffs) {
        if (d.operation != Diff::Insert)
            x += d.text;
        if (d.operation != Diff::Delete)
            y += d.text;
    }
    if (x != a || y != b)
        return QStringLiteral("the diff does not rebuild both texts");
    return QString();
}

void benchDiff(const QString &name, const QString &a, const QString &b)
{
    Runs memory;
    const Runs time = timeRuns(
        3,
        [&] {
            malloc_trim(0);
            const qint64 before = statusKb("VmRSS:");
            const bool reset = resetPeak();
            DiffList diffs = QtConcurrent::run([&]() { return lcsDiff(a, b, false); }).result();
            const qint64 peak = statusKb("VmHWM:");
            if (!reset || before < 0 || peak < 0)
                memory.fail(QStringLiteral("the peak resident size cannot be read here"));
            else
                memory.add((peak - before) / 1024.0, rebuilds(diffs, a, b));
            const QString why = rebuilds(diffs, a, b);
            if (!why.isEmpty())
                throw std::runtime_error(why.toStdString());
        });
    benchReport(name + " time", time.scaled(1e-3), "s", below(1.5, "s", "on a pool thread"));
    benchReport(name + " peak added memory", memory, "MB", below(64, "MB"));
}

} // namespace

int main(int argc, char **argv)
{
    // Large blocks straight from the kernel and back: a freed table would otherwise stay in the
    // heap and hide the next one from the peak.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    std::mt19937 rng(7);

    // --- the diff at the chapter limit ---
    {
        const QString stored = randomText(Ink::maxArticleLength, 0x4E00, 500, rng);
        benchDiff("diff lcs 10240x10240 similar", stored, rewritten(stored, rng));
        benchDiff("diff lcs 10240x10240 wholly different", stored, randomText(Ink::maxArticleLength, 0x6000, 500, rng));
    }

    // --- 10,000 spans into HTML and onto the screen ---
    {
        DiffList diffs;
        int chars = 0;
        for (int i = 0; i < 10000; ++i) {
            const QString piece = randomText(4, 0x4E00, 500, rng);
            diffs << Diff{Diff::Operation(i % 3 - 1), piece};
            chars += piece.size();
        }
        QTextEdit view;
        view.resize(600, 500);
        view.show();
        const Runs shown = timeRuns(
            5,
            [&] {
                view.setHtml(diffPrettyHtml(diffs, false, true));
                view.document()->documentLayout()->documentSize();
                view.viewport()->repaint();
            },
            [&] {
                return view.document()->toPlainText().size() == chars ? QString()
                                                                       : QStringLiteral("the view lacks text");
            },
            [&] { view.clear(); });
        benchReport("diff html and show 10,000 spans", shown, "ms", below(200, "ms"));
    }

    QTemporaryDir dir;
    useProfileRoot(dir.path());
    g_SysParams.autoBackupDb = false;
    const QString missing = missingSqlDriver(sqlDriverName());
    if (!missing.isEmpty())
        return benchFail("tmpsave benchmarks", missing);
    if (!g_App.init())
        return benchFail("tmpsave benchmarks", QStringLiteral("App::init failed"));
    g_SysParams.autoBackupDb = false;
    const QString folder = g_App.tmpPath();

    // --- one copy of a chapter at the limit, and a tick with nothing to write ---
    {
        execSql(QStringLiteral("INSERT INTO BookTree(ID,pID,NodeType,Level,Sort,Title,Category,HTML,PlainText,"
                               "Flag,Usn,Synced) VALUES('C','',3,0,1,'章','Book','','','A',0,0)"));
        QWidget window;
        auto *view = new TreeView(&window);
        auto *editor = new MyTextEdit(&window);
        auto *book = new BookController(view, editor, &window);
        QTimer timer;
        RecoveryController recovery(book, folder, &timer);
        book->loadTree();
        book->openArticle(QStringLiteral("C"));
        editor->setPlainText(randomText(Ink::maxArticleLength, 0x4E00, 500, rng));
        editor->document()->setModified(true);
        int n = 0;
        const Runs copy = timeRuns(
            51, [&] { recovery.tmpSaveTimerUpdate(); },
            [&] {
                const QStringList files = TmpSaveFile::list(folder, QStringLiteral("C"));
                return !files.isEmpty() && TmpSaveFile::read(files.first()) == editor->toPlainText()
                           ? QString()
                           : QStringLiteral("the newest copy is not the chapter's text");
            },
            [&] {
                // One character changed, as typing does; copies one millisecond apart.
                QTextCursor c(editor->document());
                c.setPosition(++n % 1000);
                c.deleteChar();
                c.insertText(QString(QChar(0x4E00 + n % 500)));
                recovery.writer()->setChangeTime(QDateTime::currentDateTime().addMSecs(n));
            });
        benchReport("tmpsave one copy of 10,240 characters", copy, "ms", below(1, "ms", "median, GUI thread"));

        const int before = TmpSaveFile::list(folder, QStringLiteral("C")).size();
        const Runs idle = timeRuns(
            21,
            [&] {
                for (int i = 0; i < 1000; ++i)
                    recovery.tmpSaveTimerUpdate();
            },
            [&] {
                return editor->document()->isModified() && recovery.writer()->chapterId() == QLatin1String("C") &&
                               TmpSaveFile::list(folder, QStringLiteral("C")).size() == before
                           ? QString()
                           : QStringLiteral("the idle tick did not look at a modified chapter, or wrote");
            });
        benchReport("tmpsave idle tick", idle.scaled(1e-3), "ms", below(0.1, "ms"));
        TmpSaveFile::removeAll(folder, QStringLiteral("C"));

        // Opening a chapter among 1,000 copies of other chapters.
        auto opening = [&]() {
            return timeRuns(
                21, [&] { recovery.checkTmpSaves(QStringLiteral("C")); },
                [&] {
                    return TmpSaveFile::list(folder, QStringLiteral("C")).isEmpty() ? QString()
                                                                                     : QStringLiteral("copies of C");
                });
        };
        const Runs empty = opening();
        for (int i = 0; i < 1000; ++i)
            TmpSaveFile::write(folder, QStringLiteral("X%1").arg(i), QStringLiteral("别的"),
                               QDateTime::currentDateTime());
        const Runs crowded = opening();
        const int files = QDir(folder).entryList(QDir::Files).size();
        benchReport("tmpsave opening among 1,000 other copies, added", crowded.median() - empty.median(), "ms",
                    below(2, "ms"),
                    !empty.ok() || !crowded.ok() ? crowded.failure() + empty.failure()
                    : files != 1000            ? QStringLiteral("%1 files in the folder").arg(files)
                                               : QString());
    }
    g_App.deinit();

    // --- the text lost when killed at random moments ---
    {
        const QString test = QCoreApplication::applicationDirPath() + QStringLiteral("/../tests/tst_tmpsave");
        QProcess run;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        env.insert(QStringLiteral("QT_PLUGIN_PATH"), QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
        env.insert(QStringLiteral("INKBOAT_CRASH_TRIALS"), QStringLiteral("200"));
        // 200 kills take five minutes or more: past QtTest's own limit for one function.
        env.insert(QStringLiteral("QTEST_FUNCTION_TIMEOUT"), QStringLiteral("3600000"));
        run.setProcessEnvironment(env);
        run.setProcessChannelMode(QProcess::MergedChannels);
        // Every start-up logs: without a cap on messages the verdict comes through.
        const QString function = QStringLiteral("killedAtAnyMomentLosesOnlyWhatCameAfterTheLastCopy");
        run.start(test, {QStringLiteral("-maxwarnings"), QStringLiteral("0"), function});
        run.waitForFinished(3600 * 1000);
        const QString out = QString::fromUtf8(run.readAll());
        // The test stops at the first kill that lost a finished copy's text and names its seed.
        const bool passed = run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0 &&
                            out.contains(QStringLiteral("PASS   : TestTmpSave::") + function);
        benchReport(QStringLiteral("tmpsave kills losing nothing a finished copy held (copies every second)"),
                    passed ? 200 : 0, "of 200", Target{QStringLiteral("200 of 200"), [](double v) { return v >= 200; }},
                    passed ? QString()
                           : QStringLiteral("the crash test failed: ") + out.right(600).simplified());
    }
    return benchExitCode();
}
