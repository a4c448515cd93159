// Books written out as a folder of text files and read back: names, bytes, encodings, the rows
// an import leaves, and what the author is told.
#include "BookTestCase.h"
#include "Columns.h"
#include "Folders.h"
#include "ScriptedPrompter.h"

#include "app/App.h"
#include "book/BookTransfer.h"
#include "storage/FileTransfer.h"
#include "storage/TextFiles.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {

int count(const QString &where) { return scalar("SELECT COUNT(*) FROM BookTree WHERE " + where).toInt(); }

// 书一 (pID NULL) > 卷一 > 章一, 删章 (deleted), Café, 重名, 重名; 旧书 (deleted, pID '').
void fixture()
{
    insertBookRow("B1", QVariant(QVariant::String), 1, 0, 1, "书一");
    insertBookRows({"B9||1|0|2|旧书|D", "V1|B1|2|1|1|卷一", "C1|V1|3|2|1|章一", "CD|V1|3|2|2|删章|D",
                    "CC|V1|3|2|3|Café", "D1|V1|3|2|4|重名", "D2|V1|3|2|5|重名"});
}

// Each row of `sql` (ID, pID, Title, before, after) as before + the path of titles + after, sorted.
QStringList withPaths(const QString &sql, const QString &separator, QString (*name)(const QString &))
{
    struct Row {
        QString pid, title, before, after;
    };
    QHash<QString, Row> rows;
    for (QueryPtr q = openQuery(sql); q->next();)
        rows.insert(q->value(0).toString(), {q->value(1).toString(), q->value(2).toString(), q->value(3).toString(),
                                             q->value(4).toString()});
    QStringList lines;
    for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
        QStringList path{name(it->title)};
        for (QString p = it->pid; rows.contains(p) && path.size() < 10; p = rows.value(p).pid)
            path.prepend(name(rows.value(p).title));
        lines << it->before + path.join(separator) + it->after;
    }
    lines.sort();
    return lines;
}

QString asIs(const QString &title) { return title; }

// Every row as "path type,level,sort Category FlagSynced attribute1 text html"; texts over 40
// characters show as their length.
QStringList dump()
{
    return withPaths(
        "SELECT ID,pID,Title,'',' '||NodeType||','||Level||','||printf('%g',Sort)||' '||Category||' '||Flag||Synced||"
        "' '||ifnull(Attribute1,'-')||' '||CASE WHEN PlainText IS NULL THEN 'NULL' WHEN length(PlainText)>40 THEN "
        "'\"<'||length(PlainText)||' chars>\"' ELSE '\"'||PlainText||'\"' END||' '||ifnull(HTML,'NULL') FROM BookTree",
        "/", asIs);
}

// Live rows as "level|title path (the nine characters full-width)|text", sorted.
QStringList liveShape()
{
    return withPaths("SELECT ID,pID,Title,Level||'|','|'||ifnull(PlainText,'') FROM BookTree WHERE Flag='A'",
                     QChar(0x1F), sanitizeFileName);
}

QStringList minus(QStringList a, const QStringList &b)
{
    a.erase(std::remove_if(a.begin(), a.end(), [&b](const QString &r) { return b.contains(r); }), a.end());
    return a;
}

QByteArray u8(const char *text) { return QByteArray(text); }

QByteArray encoded(const char *codec, const QString &text) { return QTextCodec::codecForName(codec)->fromUnicode(text); }
QByteArray gbk(const QString &text) { return encoded("GB18030", text); }
QByteArray utf16le(const QString &text) { return encoded("UTF-16LE", text); } // with its byte-order mark

// Long enough for uchardet to tell its encoding; shorter texts get no verdict or a wrong one.
const QString kChapter = QStringLiteral("第一章 风起\n他走进了房间，看见窗外的雨。\n");

QString summary(const QString &dir, int imported, const QStringList &failedNames)
{
    QStringList failed;
    for (const QString &name : failedNames)
        failed << dir + '/' + name;
    return QStringLiteral("已完成从%1/导入，一共导入%2个文件，%3个文件导入失败，错误文件列表：\n%4")
        .arg(dir, QString::number(imported), QString::number(failed.size()), failed.join('\n'));
}

} // namespace

class TestBookTransfer : public BookTestCase
{
    Q_OBJECT
private slots:
    void init() { execSql("DELETE FROM BookTree"); }

    void textFilesDecodedOrRefusedNeverGuessed_data()
    {
        COLUMNS(QByteArray, bytes, bool, ok, QString, text);
        const QString zh = QStringLiteral("中文，第一章\n");
        QTest::newRow("utf8") << zh.toUtf8() << true << zh;
        QTest::newRow("utf8 bom, crlf, lone cr") << u8("\xEF\xBB\xBF" "a\r\nb\rc") << true << "a\nb\nc";
        QTest::newRow("utf8 bom, damaged") << u8("\xEF\xBB\xBF\xD6\xD0") << false << QString();
        QTest::newRow("empty") << QByteArray() << true << QString();
        QTest::newRow("utf16le bom") << utf16le(zh) << true << zh;
        QTest::newRow("utf16be bom") << u8("\xFE\xFF\x4E\x2D") << true << QStringLiteral("中");
        QTest::newRow("utf16 odd bytes") << u8("\xFF\xFE\x2D\x4E\x87") << false << QString();
        QTest::newRow("utf16 lone surrogate") << QByteArray("\xFF\xFE\x00\xD8\x41\x00", 6) << false << QString();
        QTest::newRow("utf16le, no bom") << utf16le(zh).mid(2) << true << zh;
        QTest::newRow("utf16be, no bom") << QByteArray("\0a\0\n", 4) << true << "a\n";
        QTest::newRow("nul-padded utf8") << QStringLiteral("第一章").toUtf8() + QByteArray(7, '\0') << false << QString();
        QTest::newRow("escape character") << u8("a\x1B[0m") << false << QString();
        const QByteArray gb = gbk(kChapter);
        QTest::newRow("gbk") << gb << true << kChapter;
        QTest::newRow("gbk, too short to tell") << gbk(zh) << false << QString();
        QTest::newRow("gb18030 four bytes") << gbk(kChapter + "😀") << true << kChapter + "😀";
        QTest::newRow("gbk cut off") << gb + "\xD6\xD0\xCE" << false << QString();
        QTest::newRow("invalid lead byte") << gb + "\xD6\xD0\xFF\xCE\xC4" << false << QString();
        QTest::newRow("0x80") << gb + "abc\x80" << false << QString();
        QTest::newRow("four bytes cut off") << gb + "\x81\x30" << false << QString();
        QTest::newRow("unassigned four bytes") << gb + "\x84\x31\xA5\x30" << false << QString();
        const QString big5 = QStringLiteral("這是一個繁體中文的測試文件，內容是小說的第一章。\n");
        QTest::newRow("big5") << encoded("Big5", big5) << true << big5;
        QTest::newRow("big5 cut off") << encoded("Big5", big5) + "\xC1" << false << QString();
        QTest::newRow("big5, too short to tell") << encoded("Big5", "繁體中文") << false << QString();
        QTest::newRow("shift-jis") << encoded("Shift-JIS", "これは日本語の小説です。\n") << false << QString();
        QTest::newRow("utf32") << QByteArray("\xFF\xFE\x00\x00\x2D\x4E\x00\x00", 8) << false << QString();
    }
    void textFilesDecodedOrRefusedNeverGuessed()
    {
        FETCH(QByteArray, bytes, bool, ok, QString, text);
        QString decoded = QStringLiteral("untouched");
        QCOMPARE(TextFiles::decode(bytes, &decoded), ok);
        QCOMPARE(decoded, ok ? text : QStringLiteral("untouched"));
    }

    void exportWritesEveryLiveNodeAndRenamesNamesakes_data()
    {
        COLUMNS(QString, start, Files, files, QStringList, renamed);
        const QByteArray two = u8("第一行\n第二行\n");
        const QString nine = QStringLiteral("＼／：＊？＂＜＞｜");
        Files book{{"书：一.txt", ""},
                   {"书：一＃卷一.txt", ""},
                   {"书：一＃卷一＃第1章.txt", "重名在前"},
                   {"书：一＃卷一＃第1章 (2).txt", two},
                   {"书：一＃卷一＃DUP.txt", "大"},
                   {"书：一＃卷一＃dup (2).txt", "小"},
                   {"书：一＃" + nine + ".txt", "九"}};
        QTest::newRow("book") << "B" << book
                              << QStringList{"书:一＃卷一＃第1章 → 书：一＃卷一＃第1章 (2).txt",
                                             "书:一＃卷一＃dup → 书：一＃卷一＃dup (2).txt"};
        Files volume;
        for (auto it = book.cbegin(); it != book.cend(); ++it)
            if (it.key().startsWith("书：一＃卷一＃"))
                volume.insert(it.key().mid(4), it.value());
        volume.insert("卷一.txt", "");
        QTest::newRow("volume") << "V1" << volume
                                << QStringList{"卷一＃第1章 → 卷一＃第1章 (2).txt", "卷一＃dup → 卷一＃dup (2).txt"};
        QTest::newRow("chapter") << "C1" << Files{{"第1章.txt", two}} << QStringList();
        QTest::newRow("deleted start") << "V2" << Files() << QStringList();
    }
    void exportWritesEveryLiveNodeAndRenamesNamesakes()
    {
        FETCH(QString, start, Files, files, QStringList, renamed);
        insertBookRow("B", QVariant(QVariant::String), 1, 0, 1, "书:一", "A", QVariant(QVariant::String));
        insertBookRows({"B2||1|0|2|书二", "V1|B|2|1|1|卷一|A|", "C1|V1|3|2|2|第1章|A|第一行\n第二行\n",
                        "C2|V1|3|2|1|第1章|A|重名在前", "C3|V1|3|2|3|DUP|A|大", "C4|V1|3|2|4|dup|A|小", "C5|V1|3|2|5|删|D",
                        "V2|B|2|1|2|卷二|D", "C6|V2|3|2|1|活章"});
        insertBookRow("V3", "B", 2, 1, 3, "\\/:*?\"<>|", "A", "九"); // no character a file name may hold

        QTemporaryDir dir;
        QVERIFY(writeBytes(dir.path() + "/第1章.txt", "旧")); // replaced
        if (start != "C1")
            files.insert("第1章.txt", "旧");
        ScriptedPrompter prompter;
        prompter.directories << dir.path();
        QString folder;
        BookTransfer::exportNode(start, folder);
        QCOMPARE(readFolder(dir.path()), files);
        const int written = files.size() - (start == "C1" ? 0 : 1);
        QCOMPARE(prompter.infos(),
                 QStringList{QStringLiteral("已完成导出到%1/，一共导出%2个文件。").arg(dir.path()).arg(written)});
        QCOMPARE(prompter.errors(),
                 renamed.isEmpty() ? QStringList() : QStringList{"以下节点重名，已改名导出：\n" + renamed.join('\n')});
    }

    // A write that fails is neither counted nor silent, and leaves the earlier file as it was; a
    // cancelled folder choice says nothing.
    void exportFailuresAreReported()
    {
        const QString longTitle(90, QChar(0x7AE0)); // 270 bytes of UTF-8
        insertBookRow("B", "", 1, 0, 1, "书", "A", "短");
        insertBookRow("V", "B", 2, 1, 1, "卷", "A", QString(100, 'x'));
        insertBookRow("C", "V", 3, 2, 1, longTitle, "A", "长名");
        QTemporaryDir dir;
        QVERIFY(writeBytes(dir.path() + "/书＃卷.txt", "earlier"));
        ScriptedPrompter prompter;
        QString folder;
        BookTransfer::exportNode("B", folder); // no folder chosen
        QVERIFY(prompter.messages.isEmpty());
        prompter.directories << dir.path();
        // The file size limit makes the 100-byte text fail where the 3-byte one is written.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small{50, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &small);
        BookTransfer::exportNode("B", folder);
        setrlimit(RLIMIT_FSIZE, &saved);
        QCOMPARE(readFolder(dir.path()), (Files{{"书.txt", "短"}, {"书＃卷.txt", "earlier"}}));
        QCOMPARE(prompter.infos(), QStringList{QStringLiteral("已完成导出到%1/，一共导出1个文件。").arg(dir.path())});
        QCOMPARE(prompter.errors(), QStringList{"以下节点导出失败：\n书＃卷\n书＃卷＃" + longTitle});
    }

    // The export folder is flushed after the rename; run again under strace, which fails every
    // fsync of that folder, the export must say the file did not reach the disk.
    void exportFlushFailureIsReported()
    {
        const QString folder = qEnvironmentVariable("INKBOAT_FLUSH_FAILS");
        if (folder.isEmpty()) {
            QTemporaryDir dir;
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("INKBOAT_FLUSH_FAILS", dir.path());
            child.setProcessEnvironment(env);
            child.setProcessChannelMode(QProcess::ForwardedChannels);
            child.start("strace", {"-f", "-qq", "-o", "/dev/null", "-P", dir.path(), "-e", "trace=fsync", "-e",
                                   "inject=fsync:error=EIO", QCoreApplication::applicationFilePath(),
                                   "exportFlushFailureIsReported"});
            QVERIFY2(child.waitForFinished(120000), "strace (scripts/install-deps installs it) did not run");
            QCOMPARE(child.exitCode(), 0);
            return;
        }
        insertBookRow("B", "", 1, 0, 1, "书", "A", "短");
        ScriptedPrompter prompter;
        prompter.directories << folder;
        QString chosen;
        BookTransfer::exportNode("B", chosen);
        QCOMPARE(prompter.errors(), QStringList{"以下节点导出失败：\n书"});
    }

    // changes: "!file" failed, "-row" gone, "+row" new (rows as dump() writes them)
    // start: an ID: answered "是" with it current; empty: answered "否"; 取消, 关闭 (the title bar's
    // button), 未存 (the open chapter cannot be saved first): nothing imported.
    void importAddsOrOverwritesRowsAndNamesFailedFiles_data()
    {
        COLUMNS(Files, files, QString, start, QStringList, changes);
        using S = QStringList;
        const QString c1 = "-书一/卷一/章一 3,2,1 Book A1 - \"章一\" <p>章一</p>";
        const QString row = "+书一/卷一/%1 3,2,%2 Book A0 NEWIMPORT \"%3\" %4";
        auto c1as = [&](const QString &text) { return S{c1, row.arg("章一").arg(1).arg(text, "<p>章一</p>")}; };
        auto added = [&](const QString &title, const QString &text, int sort = 6) {
            return row.arg(title).arg(sort).arg(text, "NULL");
        };
        QTest::newRow("new nested path at the end of the books")
            << Files{{"新书＃新卷＃新章.txt", u8("正文")}} << ""
            << S{"+新书 1,0,3 Book A0 - NULL NULL", "+新书/新卷 2,1,1 Book A0 - NULL NULL",
                 "+新书/新卷/新章 3,2,1 Book A0 NEWIMPORT \"正文\" NULL"};
        QTest::newRow("existing path") << Files{{"书一＃卷一＃章一.txt", u8("新文")}} << "" << c1as("新文");
        QTest::newRow("existing book stamped") << Files{{"书一.txt", u8("书的话")}} << ""
                                               << S{"-书一 1,0,1 Book A1 - \"书一\" <p>书一</p>",
                                                    "+书一 1,0,1 Book A0 NEWIMPORT \"书的话\" <p>书一</p>"};
        QTest::newRow("too deep at the root") << Files{{"a＃b＃c＃d.txt", u8("x")}} << "" << S{"!a＃b＃c＃d.txt"};
        QTest::newRow("below a volume") << Files{{"章＃节.txt", u8("x")}, {"新章.txt", u8("y")}} << "V1"
                                        << S{"!章＃节.txt", added("新章", "y")};
        QTest::newRow("below a chapter") << Files{{"x.txt", u8("x")}} << "C1" << S{"!x.txt"};
        QTest::newRow("below a book") << Files{{"新卷＃新章.txt", u8("z")}} << "B1"
                                      << S{"+书一/新卷 2,1,2 Book A0 - NULL NULL",
                                           "+书一/新卷/新章 3,2,1 Book A0 NEWIMPORT \"z\" NULL"};
        QTest::newRow("dotted title") << Files{{"第2.5章.txt", u8("半")}} << "V1" << S{added("第2.5章", "半")};
        QTest::newRow("full-width slash") << Files{{"书一＃卷一＃a／b.txt", u8("斜")}} << "" << S{added("a／b", "斜")};
        QTest::newRow("gbk") << Files{{"书一＃卷一＃章一.txt", gbk(kChapter)}} << "" << c1as(kChapter);
        QTest::newRow("encoding not told")
            << Files{{"书一＃卷一＃章一.txt", u8("\xD6\xD0\xFF")}, {"书一＃卷一＃好.txt", u8("好")}} << ""
            << S{"!书一＃卷一＃章一.txt", added("好", "好")};
        QTest::newRow("over-long text") << Files{{"长.txt", QString(10241, QChar(0x5B57)).toUtf8()},
                                                {"满.txt", QString(10240, QChar(0x5B57)).toUtf8()},
                                                {"行.txt", QByteArray(10239, 'a') + "\r\n"}}
                                        << "V1"
                                        << S{"!长.txt", added("满", "<10240 chars>"), added("行", "<10240 chars>", 7)};
        QTest::newRow("deleted namesakes") << Files{{"书一＃卷一＃删章.txt", u8("活")}, {"旧书＃卷.txt", u8("新")}} << ""
                                           << S{added("删章", "活"), "+旧书 1,0,3 Book A0 - NULL NULL",
                                                "+旧书/卷 2,1,1 Book A0 NEWIMPORT \"新\" NULL"};
        QTest::newRow("live namesakes: the first") << Files{{"书一＃卷一＃重名.txt", u8("先")}} << ""
                                                   << S{"-书一/卷一/重名 3,2,4 Book A1 - \"重名\" <p>重名</p>",
                                                        row.arg("重名").arg(4).arg("先", "<p>重名</p>")};
        QTest::newRow(".TXT, hidden, sub-folder, other files")
            << Files{{"大写.TXT", u8("大")}, {".隐.txt", u8("隐")}, {"子.txt/", u8("子")}, {"说明.md", u8("不")}} << "V1"
            << S{added(".隐", "隐"), added("大写", "大", 7)};
        QTest::newRow("nfd name meets nfc title")
            << Files{{QStringLiteral("书一＃卷一＃Cafe\u0301.txt"), u8("咖啡")}} << ""
            << S{"-书一/卷一/Café 3,2,3 Book A1 - \"Café\" <p>Café</p>", row.arg("Café").arg(3).arg("咖啡", "<p>Café</p>")};
        QTest::newRow("empty title") << Files{{"书一＃＃章.txt", u8("x")}} << "" << S{"!书一＃＃章.txt"};
        for (const char *stop : {"取消", "关闭", "未存"})
            QTest::newRow(stop) << Files{{"新章.txt", u8("x")}} << QString(stop) << S{};
    }
    void importAddsOrOverwritesRowsAndNamesFailedFiles()
    {
        FETCH(Files, files, QString, start, QStringList, changes);
        fixture();
        const QStringList before = dump();
        QTemporaryDir dir;
        writeFiles(dir.path(), files);
        ScriptedPrompter prompter;
        prompter.directories << dir.path();
        const int answer = start.isEmpty() ? Ink::maNo : start == "取消" ? Ink::maCancel : start == "关闭" ? -1 : Ink::maYes;
        const bool asked = answer != Ink::maCancel && answer != -1, runs = asked && start != "未存";
        prompter.answers << answer;
        int prepared = 0, reloaded = 0;
        QString folder;
        QCOMPARE(BookTransfer::importFolder(runs && !start.isEmpty() ? start : "C1", folder,
                                            {[&] { return ++prepared > 0 && start != "未存"; }, [&] { ++reloaded; }}),
                 runs);
        QCOMPARE(prompter.questions().size(), 1);
        const QStringList after = dump();
        QStringList seen, failed;
        for (const QString &c : changes)
            if (c.startsWith('!'))
                failed << c.mid(1);
        for (const QString &r : minus(before, after))
            seen << "-" + r;
        for (const QString &r : minus(after, before))
            seen << "+" + r;
        QCOMPARE(seen, changes.filter(QRegularExpression("^[-+]")));
        const int imported = QDir(dir.path()).entryList({"*.txt"}, QDir::Files | QDir::Hidden).size() - failed.size();
        QCOMPARE(prompter.infos(), runs ? QStringList{summary(dir.path(), imported, failed)} : QStringList());
        QVERIFY(prompter.errors().isEmpty() && prepared == int(asked) && reloaded == int(runs));
    }

    // A file's nodes go in together or not at all; the import ends at a database failure.
    void databaseFailureRollsBackTheFile()
    {
        fixture();
        execSql("CREATE TEMP TRIGGER refuse BEFORE INSERT ON BookTree WHEN NEW.Title='坏卷' "
                "BEGIN SELECT RAISE(ABORT,'refused by trigger'); END");
        QTemporaryDir dir;
        writeFiles(dir.path(), {{"1书＃1卷＃1章.txt", u8("一")}, {"2书＃坏卷＃2章.txt", u8("二")}, {"3书.txt", u8("三")}});
        ScriptedPrompter prompter;
        prompter.directories << dir.path();
        prompter.answers << Ink::maNo;
        int reloaded = 0;
        QString folder;
        BookTransfer::importFolder(QString(), folder, {nullptr, [&] { ++reloaded; }});
        execSql("DROP TRIGGER temp.refuse");
        QCOMPARE(count("Title IN ('1书','1卷','1章')"), 3);
        QCOMPARE(count("Title IN ('2书','坏卷','2章','3书')"), 0);
        QCOMPARE(reloaded, 1);
        QVERIFY(prompter.infos().isEmpty());
        QVERIFY(prompter.errors().size() == 1 && prompter.errors().first().contains("refused by trigger"));
        QCOMPARE(openTransactionCount(), 0);
    }

    // Export, then import into an empty tree: the same levels, titles and texts.
    void exportedBookImportsBackTheSame()
    {
        const QStringList hostile{"it's", "%1章", "第2.5章", "a\\b/c:d*e?f\"g<h>i|j", "😀章", "..", "新章节 (2)"};
        insertBookRow("B", "", 1, 0, 1, "书'%1");
        int n = 0;
        for (int v = 0; v < 3; ++v) {
            const QString vid = QStringLiteral("V%1").arg(v);
            insertBookRow(vid, "B", 2, 1, v + 1, v == 0 ? "卷.一" : hostile.at(v), "A", QString());
            for (int c = 0; c < hostile.size(); ++c, ++n)
                insertBookRow(QStringLiteral("C%1").arg(n), vid, 3, 2, c + 1, hostile.at(c), "A",
                       QStringLiteral("第%1段\n'%2' \"引\"\n").arg(n).arg(hostile.at(c)));
        }
        const QStringList original = liveShape();
        QTemporaryDir dir;
        ScriptedPrompter prompter;
        prompter.directories << dir.path() << dir.path();
        prompter.answers << Ink::maNo;
        QString folder;
        BookTransfer::exportNode("B", folder);
        QCOMPARE(prompter.errors(), QStringList());
        execSql("DELETE FROM BookTree");
        BookTransfer::importFolder(QString(), folder, {});
        QCOMPARE(prompter.infos().last(), summary(dir.path(), 1 + 3 + 3 * hostile.size(), {}));
        QCOMPARE(liveShape(), original);
    }

};

QTEST_GUILESS_MAIN(TestBookTransfer)
#include "tst_booktransfer.moc"
