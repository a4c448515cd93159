// Suggestions while typing (libraries in memory, the worker's gate and loop, result pages) and
// the keyword and web searches, over real enciphered library files.
#include "BookRows.h"
#include "Folders.h"
#include "Libraries.h"
#include "MaterialPanel.h"
#include "Rows.h"
#include "ScriptedPrompter.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "app/WorkerHost.h"
#include "frame/Toast.h"
#include "mainwindow/MainWindow.h"
#include "material/KeywordSearch.h"
#include "material/MaterialList.h"
#include "material/SmartLibrary.h"
#include "material/SmartSearchWorker.h"
#include "params/SysParams.h"
#include "storage/Database.h"

#include <QRandomGenerator>

using namespace material;

namespace {

// "type:shown title" of every result, in order.
QStringList describe(const SmartLibraries &libs, const QVector<quint32> &rows)
{
    QStringList out;
    for (quint32 r : rows) {
        TreeNodeInfo info;
        libs.readRecord(r, info);
        out << info._type + QLatin1Char(':') + displayTitle(info);
    }
    return out;
}

// n sentences "句k" with text "文k" in memory.
LibrariesPtr sentences(int n)
{
    auto libs = std::make_shared<SmartLibraries>();
    for (int i = 0; i < n; ++i)
        libs->table(SmartLibraries::Sentence).append({QStringLiteral("句%1").arg(i), QStringLiteral("文%1").arg(i)}, {});
    libs->table(SmartLibraries::Material).append({QStringLiteral("素材标题")}, {});
    for (int kind = 0; kind < 3; ++kind)
        libs->table(SmartLibraries::Kind(kind)).squeeze();
    return libs;
}

// A result of the first n of sentences(n), in order.
SmartResult sentenceResult(int n)
{
    SmartResult r{sentences(n), {}};
    for (int i = 0; i < n; ++i)
        r.rows << SmartLibraries::ref(SmartLibraries::Sentence, i);
    return r;
}

// Whether a toast shows the text; closeAll removes every toast.
bool toastShown(const QString &text, bool closeAll = false)
{
    bool shown = false;
    for (QWidget *w : QApplication::allWidgets())
        if (auto *t = qobject_cast<Toast *>(w)) {
            shown = shown || t->text() == text;
            if (closeAll)
                t->deleteLater();
        }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return shown;
}

} // namespace

class TestSmartSearch : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_profile.reset(new LibraryProfile(buildLibraries));
        QVERIFY2(m_profile->started.ok, qPrintable(m_profile->started.messages.join('\n') + m_profile->started.exception));
        // User materials: live ones, a deleted one, and folders that are never searched.
        execSql("INSERT INTO MemoTree(ID,pID,NodeType,Level,Sort,Title,Category,PlainText,Flag) VALUES"
                "('U1','',3,1,1,'春风用户','Content','用户正文 it''s','A'),"
                "('U2','',3,1,2,'春风已删','Content','删掉的','D'),"
                "('U3','',3,1,3,'abcSpringdef','Content','两段\n第二段','A'),"
                "('U4','',3,1,4,'春风文件夹','Tree',NULL,'A')");
        g_SysParams.editorParams = EditorParams();
        publishSysParams();
    }

    void cleanup()
    {
        toastShown(QString(), true);
        m_profile.reset();
    }

    void suggestionsMatchTitlesAndSentenceTextsOfLiveRows_data()
    {
        COLUMNS(QString, key, bool, material, bool, user, QStringList, expected)
        const QStringList all = {"Sentence:春风又绿江南岸", "Material:春风十里", "UserMaterial:春风用户"};
        QTest::newRow("title and text, listed once; live users only") << "春风" << true << true << all;
        QTest::newRow("materials off") << "春风" << false << true << QStringList{all[0], all[2]};
        QTest::newRow("both off") << "春风" << false << false << QStringList{all[0]};
        QTest::newRow("sentence by text") << "绿江" << true << true << QStringList{all[0]};
        QTest::newRow("material text is not searched") << "山中春" << true << true << QStringList();
        QTest::newRow("letter case") << "Spring" << true << true
                                     << QStringList{"Sentence:明月几时有 Spring", "Material:Spring title",
                                                    "UserMaterial:abcSpringdef"};
    }

    void suggestionsMatchTitlesAndSentenceTextsOfLiveRows()
    {
        FETCH(QString, key, bool, material, bool, user, QStringList, expected)
        const LibrariesPtr libs = SmartLibraries::load(g_App.db(), {});
        QVERIFY(libs);
        // The NULL row reads as empty fields and matches nothing.
        QCOMPARE(libs->table(SmartLibraries::Sentence).size(), 3);
        QCOMPARE(describe(*libs, libs->filter(key, material, user)), expected);
    }

    // The same hits as QString::contains on every field, for random keys over random texts of a
    // small alphabet (so that keys hit often and across field ends); with rare characters besides,
    // whose ranks share their low byte with the common ones.
    void filterMatchesPlainContains_data()
    {
        COLUMNS(int, rare)
        QTest::newRow("7 characters") << 0;
        QTest::newRow("and 700 rare ones") << 700;
    }

    void filterMatchesPlainContains()
    {
        FETCH(int, rare)
        QRandomGenerator rng(7);
        auto text = [&](int max) {
            QString s;
            for (int n = int(rng.bounded(max + 1)); n > 0; --n)
                s += rare && rng.bounded(8) == 0 ? QChar(0x4E00 + int(rng.bounded(rare)))
                                                 : QStringLiteral("春风江南aAb").at(int(rng.bounded(7)));
            return s;
        };
        SmartLibraries libs;
        QVector<QPair<quint32, QString>> fields; // searched fields joined by '|', which no key holds
        for (int kind = 0; kind < 3; ++kind) {
            LibraryTable &table = libs.table(SmartLibraries::Kind(kind));
            const bool sentence = kind == SmartLibraries::Sentence;
            for (int i = 0; i < 300; ++i) {
                const QString title = text(6), body = text(12);
                if (sentence)
                    table.append({title, body}, {u"i", u"p"});
                else
                    table.append({title}, {u"i", u"p", body});
                fields.append({SmartLibraries::ref(SmartLibraries::Kind(kind), i), title + '|' + (sentence ? body : "")});
            }
            table.squeeze();
            QCOMPARE(table.field(299, 0), fields.last().second.section('|', 0, 0));
        }
        for (int k = 1; k < 1000; ++k) {
            const QString key = text(1 + int(rng.bounded(4))) + (k % 100 == 0 ? QStringLiteral("无") : QString());
            QVector<quint32> expected;
            for (const auto &row : qAsConst(fields))
                if (row.second.contains(key))
                    expected << row.first;
            if (!key.isEmpty())
                QCOMPARE(libs.filter(key, true, true), expected);
        }
    }

    // Chunks give the rows and order of one statement; an interruption ends the read at the next
    // chunk.
    void chunkedLoadKeepsTheRowsAndStopsOnRequest()
    {
        execSql(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i<%1) "
                               "INSERT INTO MemoTree(ID,pID,NodeType,Level,Sort,Title,Category,Flag) "
                               "SELECT 'X'||i,'',3,1,i,'批'||i,'Content','A' FROM n").arg(2 * SmartLibraries::kChunkRows + 6));
        const LibrariesPtr libs = SmartLibraries::load(g_App.db(), {});
        QVERIFY(libs);
        QStringList expected, loaded;
        for (QueryPtr q = openQuery("SELECT title FROM MemoTree WHERE Category='Content' AND flag='A'"); q->next();)
            expected << q->value(0).toString();
        for (int i = 0; i < libs->table(SmartLibraries::UserMaterial).size(); ++i)
            loaded << libs->table(SmartLibraries::UserMaterial).field(i, 0);
        QCOMPARE(loaded, expected);

        int asked = 0;
        QVERIFY(!SmartLibraries::load(g_App.db(), [&asked] { return ++asked > 3; }));
        QCOMPARE(asked, 4);
    }

    // The sentences and materials come from caches beside the libraries; a cache that is missing,
    // stale or damaged is read past and written anew, never an error and never wrong rows.
    void cacheRebuiltWhenMissingStaleOrDamaged_data()
    {
        COLUMNS(QString, fault, bool, rebuilt)
        QTest::newRow("valid: used") << "" << false;
        QTest::newRow("missing") << "missing" << true;
        QTest::newRow("library newer") << "stale" << true;
        QTest::newRow("a byte changed") << "byte" << true;
        QTest::newRow("cut short") << "short" << true;
        QTest::newRow("no cache at all") << "foreign" << true;
    }

    void cacheRebuiltWhenMissingStaleOrDamaged()
    {
        FETCH(QString, fault, bool, rebuilt)
        const auto rows = [](const SmartLibraries &libs) {
            QStringList out;
            for (int kind : {SmartLibraries::Sentence, SmartLibraries::Material}) {
                const LibraryTable &t = libs.table(SmartLibraries::Kind(kind));
                for (int row = 0; row < t.size(); ++row)
                    out << QStringLiteral("%1:%2:%3|%4").arg(kind).arg(t.key(row)).arg(t.field(row, 0),
                                                                                      kind ? QString() : t.field(row, 1));
            }
            return out;
        };
        const LibrariesPtr fromLibraries = SmartLibraries::load(g_App.db(), {}, false);
        QVERIFY(fromLibraries);
        QVERIFY(SmartLibraries::load(g_App.db(), {})); // writes the caches
        const QString library = dbFileName(Ink::ttSentence), cache = SmartLibraries::cachePath(library);
        const QByteArray good = readBytes(cache);
        if (fault == "stale") {
            QFile lib(library);
            const QDateTime later = QFileInfo(library).lastModified().addSecs(10);
            QVERIFY(lib.open(QIODevice::ReadWrite) && lib.setFileTime(later, QFileDevice::FileModificationTime));
        }
        // A changed byte anywhere in the file, the enciphered characters too: every third one.
        for (int at = good.size() - 1; at >= (fault == "byte" ? 0 : good.size() - 1); at -= 3) {
            QByteArray bytes = good;
            bytes[at] = bytes[at] ^ (fault == "byte" ? 0x20 : 0);
            bytes.chop(fault == "short" ? bytes.size() / 2 : 0);
            QVERIFY(fault == "missing" ? QFile::remove(cache)
                                       : writeBytes(cache, fault == "foreign" ? QByteArray(5000, 'x') : bytes));
            const QByteArray before = QFileInfo::exists(cache) ? fileDigest(cache) : QByteArray();
            const LibrariesPtr libs = SmartLibraries::load(g_App.db(), {});
            QVERIFY(libs);
            QVERIFY2(rows(*libs) == rows(*fromLibraries), qPrintable(QString("byte %1").arg(at)));
            QVERIFY2((fileDigest(cache) != before) == rebuilt, qPrintable(QString("byte %1 of %2").arg(at).arg(good.size())));
        }
        QVERIFY(!todaysLog().contains(QStringLiteral("智能搜索")));
    }

    // Titles and texts come out of the file as they went in, whatever the script; bytes that are
    // no UTF-8 read as one U+FFFD each.
    void loadDecodesTexts_data()
    {
        // stored: an SQL expression
        COLUMNS(QString, stored, QString, expected)
        const QString mixed = QStringLiteral("Aé中文😀z\nß");
        QTest::newRow("two, three and four bytes") << quoteSql(mixed) << mixed;
        QTest::newRow("empty") << "''" << "";
        QTest::newRow("NULL") << "NULL" << "";
        QTest::newRow("cut sequence and a stray byte") << "CAST(X'41E6A5FF42' AS TEXT)"
                                                       << QStringLiteral("A\uFFFD\uFFFD\uFFFDB");
        QTest::newRow("sequence cut at the end") << "CAST(X'41F09F98' AS TEXT)"
                                                 << QStringLiteral("A\uFFFD\uFFFD\uFFFD");
        QTest::newRow("encoded surrogate") << "CAST(X'EDA080' AS TEXT)" << QStringLiteral("\uFFFD\uFFFD\uFFFD");
        QTest::newRow("overlong") << "CAST(X'C0AF' AS TEXT)" << QStringLiteral("\uFFFD\uFFFD");
    }

    void loadDecodesTexts()
    {
        FETCH(QString, stored, QString, expected)
        execSql(QStringLiteral("INSERT INTO MemoTree(ID,pID,NodeType,Level,Sort,Title,Category,PlainText,Flag) "
                               "VALUES('T1','',3,1,9,%1,'Content',%1,'A')")
                    .arg(stored));
        const LibrariesPtr libs = SmartLibraries::load(g_App.db(), {});
        QVERIFY(libs);
        const LibraryTable &users = libs->table(SmartLibraries::UserMaterial);
        const int row = users.size() - 1;
        // The row before is untouched by whatever this one held.
        const QStringList got = {users.field(row, 1), users.field(row, 0), users.field(row, 3),
                                 users.field(row - 1, 0)};
        QCOMPARE(got, (QStringList{"T1", expected, expected, "abcSpringdef"}));
    }

    // The gate with a clock of the test's own: one search per pair, only after the delay; an
    // editor reset holds searching until new strings; a failing read is retried after 30 s.
    void oneSearchPerPairAfterTheDelayAndFailedReadsRetried()
    {
        qint64 now = 1000;
        SmartSearchState state([&now] { return now; });
        SmartSearchThreadWorker worker(&state);
        int loads = 0;
        bool failLoad = true;
        worker.setLoader([&](const std::function<bool()> &) {
            ++loads;
            if (failLoad)
                throw Exception(QStringLiteral("读不了"), QStringLiteral("ERR_QUERY"));
            return sentences(3);
        });
        QSignalSpy finished(&worker, &SmartSearchThreadWorker::searchStringFinish);
        QSignalSpy resets(&worker, &SmartSearchThreadWorker::resetSearchString);
        const qint64 delay = g_SysParams.editorParams.smartSentenceWordDelay;
        const qint64 retry = SmartSearchThreadWorker::kRetryLoadMs;
        // Each step acts, moves the clock on and runs the worker once; ran 9: any result.
        struct Step {
            QString action;
            qint64 advance;
            int ran, loads, found, resets;
        };
        const QList<Step> steps = {
            {"publish 1 句1", 0, -1, 0, 0, 0},     // no keystroke yet
            {"input", delay - 1, 1, 0, 0, 0},      // waits, and is not held back for it
            {"", 1, 0, 1, 0, 0},                   // the read fails
            {"mend", retry - 1, 9, 1, 0, 0},       // and is not tried again before its time
            {"", 1, 0, 2, 1, 0},                   // read and searched
            {"", 0, -1, 2, 1, 0},                  // the same pair again
            {"reset", delay, -1, 2, 1, 0},         // suppressed until new strings
            {"publish 1 句1", 0, 0, 2, 2, 0},
            {"publish", 0, -1, 2, 2, 0},           // nothing to search
            {"publish x 无此句", 0, 0, 2, 3, 1},   // no result: the frame is reset
        };
        for (const Step &step : steps) {
            const QStringList a = step.action.split(' ');
            if (a[0] == "publish")
                state.publish(a.value(1), a.value(2));
            if (a[0] == "reset")
                state.reset(true);
            if (a[0] == "input" || a[0] == "reset")
                state.stampInput();
            failLoad = failLoad && a[0] != "mend";
            now += step.advance;
            const int ran = worker.runOnce();
            QVERIFY2(step.ran == 9 || ran == step.ran, qPrintable(step.action + ": " + QString::number(ran)));
            QVERIFY2(loads == step.loads && finished.count() == step.found && resets.count() == step.resets,
                     qPrintable(step.action));
        }
        QVERIFY(todaysLog().contains("读不了"));
        QCOMPARE(finished.first().at(1).toString() + finished.last().at(1).toString(), QStringLiteral("句1"));
        QCOMPARE(finished.first().at(2).value<SmartResult>().size(), 1);
        QCOMPARE(state.take().combo, QString());
        // Switched off in the panel: stored with the parameters, and the worker sees it.
        MaterialPanel p;
        p.smart.trigger();
        p.search->switchSmartSentenceWord();
        QVERIFY(getSysParam(QStringLiteral("SysParams")).contains(QLatin1String("\"smartSentenceWord\": false")));
        state.publish("2", "句2");
        QCOMPARE(worker.runOnce(), -1);
        QCOMPARE(loads, 2);

        // The keyword search's material texts: read once however often asked.
        state.requestMaterialTexts();
        QCOMPARE(worker.runOnce(), 0);
        QCOMPARE(state.materialTexts()->size(), 3);
        state.requestMaterialTexts();
        QCOMPARE(worker.runOnce(), -1);
    }

    // Page sizes out of range are brought into 5..100; no result hides the frame and says nothing.
    // resized: a page size set on the last page, then "page|rows|buttons" after a step back.
    void resultsArePagedWithinFiveToAHundredRows_data()
    {
        COLUMNS(int, stored, int, results, QList<int>, pageRows, QString, resized)
        QTest::newRow("25 by 10") << 10 << 25 << QList<int>{10, 10, 5} << "";
        QTest::newRow("stored 0") << 0 << 12 << QList<int>{5, 5, 2} << "";
        QTest::newRow("stored -3") << -3 << 5 << QList<int>{5} << "";
        QTest::newRow("stored 1000") << 1000 << 150 << QList<int>{100, 50} << "";
        QTest::newRow("no results") << 10 << 0 << QList<int>{} << "";
        QTest::newRow("page size changed between pages: kept within the new count") << 5 << 25
                                                                                    << QList<int>{5, 5, 5, 5, 5} << "10:2|5|1100";
    }

    void resultsArePagedWithinFiveToAHundredRows()
    {
        FETCH(int, stored, int, results, QList<int>, pageRows, QString, resized)
        g_SysParams.editorParams.smartSentenceWordPageCount = stored;
        MaterialPanel p;
        p.frame->show();
        p.search->searchStringFinish("1", "句", sentenceResult(results));
        QCOMPARE(toastShown(QStringLiteral("总共有%1条匹配素材！").arg(results)), results > 0);
        QCOMPARE(p.search->pageCount(), pageRows.size());
        QCOMPARE(p.frame->isHidden(), pageRows.isEmpty());
        QCOMPARE(p.buttons(), QString(pageRows.size() > 1 ? "0011" : "0000"));
        const auto seen = [&p] {
            return QString("%1|%2|%3").arg(p.search->currentPage()).arg(p.search->pageModel()->rowCount()).arg(p.buttons());
        };
        for (int page = 0; page < pageRows.size(); ++page) {
            if (page > 0)
                p.search->nextPage();
            const QString buttons = QString(page > 0 ? "11" : "00") + (page < pageRows.size() - 1 ? "11" : "00");
            QCOMPARE(seen(), QString("%1|%2|%3").arg(page).arg(pageRows.at(page)).arg(buttons));
            QVERIFY(p.title.isEnabled() && p.results->currentIndex().row() == 0);
            // The first row's text is shown with the smart keyword marked.
            QCOMPARE(p.pane->toPlainText() + p.browser->highlightKeyword(), QStringLiteral("文%1句").arg(page * pageRows.first()));
        }
        if (!resized.isEmpty()) {
            g_SysParams.editorParams.smartSentenceWordPageCount = resized.section(':', 0, 0).toInt();
            p.search->previousPage();
            QCOMPARE(seen(), resized.section(':', 1));
        }
        p.search->firstPage();
        QCOMPARE(p.search->currentPage(), 0);
    }

    // The keys of sentences and materials, and a material's text, are fetched from the library
    // when its page is shown: the record is the file's row.
    void insertsTitleOrContent_data()
    {
        // row: the record's row in its file
        COLUMNS(int, kind, bool, title, QString, inserted, QString, row)
        const QString sentence = "S.SentenceTree WHERE title='春风'", material = "M.MaterialTree WHERE title='春风十里'";
        QTest::newRow("sentence title") << int(SmartLibraries::Sentence) << true << "春风又绿江南岸" << sentence;
        QTest::newRow("sentence content") << int(SmartLibraries::Sentence) << false << "春风又绿江南岸" << sentence;
        QTest::newRow("material title") << int(SmartLibraries::Material) << true << "春风十里" << material;
        QTest::newRow("material content") << int(SmartLibraries::Material) << false << "桃花 inside" << material;
        QTest::newRow("user material content") << int(SmartLibraries::UserMaterial) << false << "用户正文 it's"
                                               << "MemoTree WHERE ID='U1'";
    }

    void insertsTitleOrContent()
    {
        FETCH(int, kind, bool, title, QString, inserted, QString, row)
        MaterialPanel p;
        SmartResult r{SmartLibraries::load(g_App.db(), {}), {}};
        for (quint32 row : r.libraries->filter(QStringLiteral("春风"), true, true))
            if (SmartLibraries::kindOf(row) == kind)
                r.rows << row;
        QCOMPARE(r.size(), 1);
        p.search->searchStringFinish("1", "春风", r);
        QVERIFY(!p.frame->isHidden());
        const TreeNodeInfo *shown = p.search->pageRecords().at(0);
        QCOMPARE(shown->id + '|' + shown->pID + '|' + shown->plainText,
                 scalar("SELECT id||'|'||pid||'|'||plainText FROM " + row).toString());
        title ? p.search->insertTitle() : p.search->insertContent();
        // Inserted, the frame hidden, the notice shown.
        const bool notice = toastShown(QString::fromUtf8(MaterialBrowser::insertNotice));
        QCOMPARE(QString("%1|%2|%3").arg(p.editor->toPlainText()).arg(p.frame->isHidden()).arg(notice), inserted + "|1|1");
    }

    // The editor slots: an ignored character (or an empty input) ends the run and hides the
    // frame; a commit after punctuation does not.
    void punctuationAloneEndsTheSuggestions_data()
    {
        COLUMNS(QString, last, bool, published)
        QTest::newRow("comma alone") << "，" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("commit ending in a comma") << "你好，" << true;
    }

    void punctuationAloneEndsTheSuggestions()
    {
        FETCH(QString, last, bool, published)
        g_SysParams.editorParams.smartSentenceWordIgnoreChars = QStringLiteral("，。！");
        MaterialPanel p;
        p.frame->show();
        p.search->textEditorLastInputStringChanged(last, "春风" + last);
        QCOMPARE(p.search->state().take().combo, published ? "春风" + last : QString());
        QCOMPARE(QString("%1 %2").arg(p.frame->isHidden()).arg(p.search->state().takeResetPending()),
                 published ? "0 0" : "1 1");
    }

    // Keyword search in titles (0) or titles and texts (1); "selection" (-1) searches the editor's
    // selection, its paragraphs joined as stored texts are; the web search (2) opens the engine
    // with the keyword encoded, decoded as the engine decodes a form value ("+" is a space there).
    void keywordSearchFindsTitlesOrTexts_data()
    {
        COLUMNS(QString, keyword, int, mode, QStringList, titles)
        QTest::newRow("apostrophe") << "it's" << 1 << QStringList{"春风用户"};
        QTest::newRow("wildcard %") << "山%色" << 0 << QStringList{"山二"};
        QTest::newRow("wildcard _") << "春_十" << 0 << QStringList{"春风十里"};
        QTest::newRow("ASCII case") << "SPRING" << 0 << QStringList{"Spring title"};
        QTest::newRow("titles and texts in file order") << "山" << 0 << QStringList{"山二", "Spring title"};
        QTest::newRow("not across title and text") << "十里桃" << 0 << QStringList{};
        QTest::newRow("deleted user rows skipped") << "春风" << 1 << QStringList{"春风用户"};
        QTest::newRow("empty lists all") << "" << 1 << QStringList{"春风用户", "abcSpringdef"};
        QTest::newRow("selection") << "两段\n第二段" << -1 << QStringList{"abcSpringdef"};
        // The keyword box (3), after a search for "Spring": Return searches; empty, it is refused and the list stays.
        QTest::newRow("box, Return") << "abc" << 3 << QStringList{"abcSpringdef"};
        QTest::newRow("box, empty") << "" << 3 << QStringList{"Spring title"};
        for (const char *k : {"C# & 100%", "a+b", " ", "江南"})
            QTest::newRow(qPrintable(QString("web: ") + k)) << QString::fromUtf8(k) << 2 << QStringList{};
    }

    void keywordSearchFindsTitlesOrTexts()
    {
        FETCH(QString, keyword, int, mode, QStringList, titles)
        MaterialPanel p;
        ScriptedPrompter prompts;
        QList<QUrl> opened;
        p.search->setUrlOpener([&opened](const QUrl &url) { return opened << url, true; });
        // First from the file, then from the material texts in memory: the same list.
        for (const bool inMemory : {false, true}) {
            if (inMemory)
                p.search->state().setMaterialTexts(SmartLibraries::loadMaterialTexts(g_App.db(), {}));
            if (mode < 0) {
                p.editor->setPlainText(keyword);
                p.editor->selectAll();
                p.search->searchSelection(1);
            } else if (mode == 3) {
                p.search->searchMaterial("Spring", 0);
                p.tabs->setCurrentIndex(1);
                p.word->setText(keyword);
                QTest::keyClick(p.word, Qt::Key_Return);
            } else {
                p.search->searchMaterial(keyword, mode);
            }
            QCOMPARE(p.listTitles(), titles);
            QCOMPARE(p.list->currentIndex().row(), titles.isEmpty() ? -1 : 0);
        }
        const bool refused = mode == 3 && keyword.isEmpty();
        QCOMPARE(prompts.errors().join('|'), refused ? "请输入要搜索的关键词！|请输入要搜索的关键词！" : "");
        keyword = refused ? "Spring" : keyword; // the keyword still marked
        QCOMPARE(p.browser->manualKeyword(), keyword);
        QCOMPARE(opened.size(), mode == 2 ? 2 : 0);
        for (const QUrl &url : opened) {
            QCOMPARE(url.host() + url.path(), QStringLiteral("www.baidu.com") + QUrl(kWebSearchBase).path());
            QString value = QUrlQuery(url).queryItemValue("wd", QUrl::FullyEncoded);
            QCOMPARE(QUrl::fromPercentEncoding(value.replace('+', ' ').toUtf8()), keyword);
        }
        // The manual keyword stays marked after a folder is listed.
        p.browser->loadTree("M");
        p.tree->setCurrentIndex(p.browser->materialTreeModel()->index(0, 0));
        QCOMPARE(p.browser->highlightKeyword(), keyword);
    }

    // The window: a commit through the input method, then a pause, brings the first page.
    void windowShowsSuggestionsAfterACommit()
    {
        g_SysParams.editorParams.smartSentenceWordDelay = 50;
        publishSysParams();
        ScriptedPrompter prompts;
        MainWindow w;
        QSignalSpy started(&w, &MainWindow::startAppInit);
        w.windowFirstShow();
        QTRY_COMPARE_WITH_TIMEOUT(started.count(), 1, 20000);
        MyTextEdit *editor = w.findChild<MyTextEdit *>("textEditor");
        editor->setReadOnly(false);
        QInputMethodEvent commit;
        commit.setCommitString(QStringLiteral("春风"));
        QCoreApplication::sendEvent(editor, &commit);
        QFrame *frame = w.findChild<QFrame *>("frameSearchMaterial");
        QTRY_VERIFY_WITH_TIMEOUT(!frame->isHidden(), 10000);
        QCOMPARE(w.search()->resultCount(), 3);
        w.findChild<QAction *>("actionMaterialHide")->trigger();
        QVERIFY(frame->isHidden());
        // 智能搜索经典词句 (Ctrl+W): the selection searched in the sentences alone.
        editor->setTextCursor(editor->document()->find(QStringLiteral("春风")));
        w.findChild<QAction *>("actionSearchSentenceAndWord")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!frame->isHidden(), 10000);
        QCOMPARE(w.search()->resultCount(), 1);
        QVERIFY(w.workers()->stopAll());
    }

private:
    static void buildLibraries(const QString &dir)
    {
        writeLibrary(dir + "Inkboat_Material.sdb", "MaterialTree",
                     {{1, {"自然"}, {}, {{"春风十里", "", "桃花 inside"}, {"山二", "", "山中春色"}}},
                      {2, {"城市"}, {}, {{"Spring title", "", "远山如黛"}}}});
        writeLibrary(dir + "Inkboat_Sentence.sdb", "SentenceTree",
                     {{1, {"名句"}, {}, {{"春风", "", "春风又绿江南岸"}, {"明月", "", "明月几时有 Spring"}}}});
        writeLibrary(dir + "Inkboat_Article.sdb", "ArticleTree", {{1, {"写作"}, {}, {{"开头", "技巧", "好的开头。"}}}});
        QVERIFY(onSideConnection(dir + "Inkboat_Sentence.sdb", Ink::libraryKey(),
                                 {"INSERT INTO SentenceTree(ID,pID,NodeType,Level,Sort,Title,Category,PlainText) "
                                  "VALUES('N1','',3,1,9,NULL,'Content',NULL)"}));
    }

    QScopedPointer<LibraryProfile> m_profile;
};

QTEST_MAIN(TestSmartSearch)
#include "tst_smartsearch.moc"
