// The library builder: text sources -> enciphered library file -> text, and upgrade archives.
#include "Folders.h"
#include "Rows.h"
#include "TestProfile.h"

#include "app/Constants.h"
#include "cloud/QZipFile.h"
#include "libtool/LibraryFile.h"
#include "libtool/LibrarySource.h"
#include "libtool/UpgradePack.h"

#include <QTemporaryDir>

namespace {

// Canonical sources: what a dump must give back byte for byte.
const Files kSources = {
    {"100-景物＃春.txt", "// 春天的景物\n＃早春\n河面的冰松动了。\n\n第二段，有空行在前。\n＃春风 \"引号\" 'quote' %2\n风从南边来😀。\n"},
    {"110-景物＃春＃夜.txt", "＃春夜\n夜里下了雨。\n"},
    {"120-景物.txt", "＃总论\n景物是小说的舞台。\n"},
    {"130-写作.txt", "＃开篇\n＠类型：开篇\n第一章要做三件事。\n"},
};

} // namespace

class TestLibTool : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    // The canonical sources built as `table` into `fileName`; the file's path.
    QString buildLibrary(const QString &table, const QString &fileName)
    {
        const QString dir = m_dir.filePath(table), file = m_dir.filePath(fileName);
        QDir().mkpath(dir);
        writeFiles(dir, kSources);
        libtool::BuildOptions o;
        o.table = table;
        libtool::writeLibraryFile(libtool::readSourceFolder(dir), file, o);
        return file;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // Sources -> enciphered file -> sources, byte for byte; the file opens only with the key.
    void builtFileIsEncipheredAndDumpsBackToItsSources()
    {
        const QString file = buildLibrary("SentenceTree", "Inkboat_Sentence.sdb");
        const QByteArray bytes = readBytes(file);
        QVERIFY(!bytes.startsWith("SQLite format 3") && !bytes.contains(QByteArray("河面的冰松动了")));
        QVERIFY(!bytes.contains("SentenceTree") && !QFile::exists(file + ".part"));
        // Opened with the libraries' key: a version, the tree's shape by level, upper-case GUIDs.
        const auto value = [&file](const QString &sql) { return sideValue(file, sql, Ink::libraryKey()).toString(); };
        QVERIFY(value("SELECT MAX(CAST(Version AS REAL)) FROM DbVersion").toDouble() >= 3.0);
        QCOMPARE(value("SELECT group_concat(s,' ') FROM (SELECT Level||'/'||NodeType||'/'||Category||'='||COUNT(*) s "
                       "FROM SentenceTree GROUP BY Level,NodeType,Category ORDER BY Level,Category)"),
                 QString("0/2/Tree=2 1/3/Content=2 1/2/Tree=1 2/3/Content=2 2/2/Tree=1 3/3/Content=1"));
        QCOMPARE(value("SELECT COUNT(*) FROM SentenceTree WHERE length(ID)<>32 OR ID<>upper(ID)"), QString("0"));
        QString table, version;
        libtool::writeSourceFolder(libtool::readLibraryFile(file, &table, &version), m_dir.filePath("dumped"));
        QCOMPARE(table + ' ' + version, QString("SentenceTree 4.0"));
        QCOMPARE(readFolder(m_dir.filePath("dumped")), kSources);
    }

    void malformedSourceNamesFileAndLine_data()
    {
        COLUMNS(QString, name, QByteArray, text, QString, where)
        QTest::newRow("text before title") << "100-a.txt" << QByteArray("开头没有标题\n＃题\n正文\n") << "100-a.txt:1:";
        QTest::newRow("empty title") << "100-a.txt" << QByteArray("＃题\n正文\n＃  \n正文\n") << "100-a.txt:3:";
        QTest::newRow("entry without text") << "100-a.txt" << QByteArray("＃题\n＃题二\n正文\n") << "100-a.txt:2:";
        QTest::newRow("unknown attribute") << "100-a.txt" << QByteArray("＃题\n＠颜色：红\n正文\n") << "100-a.txt:2:";
        QTest::newRow("attribute inside text") << "100-a.txt" << QByteArray("＃题\n正文\n＠类型：x\n") << "100-a.txt:3:";
        QTest::newRow("no entry") << "100-a.txt" << QByteArray("// 只有注释\n") << "100-a.txt:1:";
        QTest::newRow("bad utf-8") << "100-a.txt" << QByteArray("＃题\n\xff\xfe\xfd\n") << "100-a.txt:0:";
        QTest::newRow("bad file name") << "a.txt" << QByteArray("＃题\n正文\n") << "a.txt:0:";
    }

    void malformedSourceNamesFileAndLine()
    {
        FETCH(QString, name, QByteArray, text, QString, where)
        const QString dir = m_dir.filePath(QStringLiteral("bad-%1").arg(QTest::currentDataTag()));
        QDir().mkpath(dir);
        QVERIFY(writeBytes(dir + "/" + name, text));
        try {
            libtool::readSourceFolder(dir);
            QFAIL("malformed source accepted");
        } catch (const libtool::SourceError &e) {
            QVERIFY2(e.message().contains(where), qPrintable(e.message()));
        }
    }

    void upgradeArchiveUnpacksToExpectedNames()
    {
        const QString a = m_dir.filePath("Inkboat_Material.sdb");
        const QString b = m_dir.filePath("Inkboat_Article.sdb");
        QVERIFY(writeBytes(a, QByteArray(300000, 'a') + "end") && writeBytes(b, "bbb"));
        const QString zip = m_dir.filePath("material-upgrade.zip");
        libtool::packUpgrade(zip, {a, b});
        QCOMPARE(libtool::zipEntryNames(zip), QStringList({"Inkboat_Material.sdb", "Inkboat_Article.sdb"}));

        // Unpacked as the program unpacks an upgrade: the same files, byte for byte.
        extractZip(zip, m_dir.filePath("unpacked"));
        QCOMPARE(readFolder(m_dir.filePath("unpacked")),
                 (Files{{"Inkboat_Material.sdb", readBytes(a)}, {"Inkboat_Article.sdb", "bbb"}}));
    }

    // Shipped material passages keep to 50-400 characters (that every shipped source parses, the
    // build shows: it builds the libraries from them).
    void shippedMaterialPassagesKeepTheirLength()
    {
        for (const libtool::Folder &f : libtool::readSourceFolder(INKBOAT_SOURCE_DIR "/data/material").folders)
            for (const libtool::Entry &e : f.entries) {
                const int len = QString(e.text).remove('\n').size();
                QVERIFY2(len >= 50 && len <= 400, qPrintable(f.path.join("/") + "/" + e.title));
            }
    }
};

QTEST_GUILESS_MAIN(TestLibTool)
#include "tst_libtool.moc"
