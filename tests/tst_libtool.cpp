// The library builder: text sources -> enciphered library file -> text, and upgrade archives.
#include "Folders.h"
#include "Rows.h"

#include "app/Constants.h"
#include "libtool/LibraryFile.h"
#include "libtool/LibrarySource.h"
#include "libtool/UpgradePack.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <minizip/unzip.h>

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

    void textLibraryTextRoundTrip()
    {
        const QString file = buildLibrary("MaterialTree", "round.sdb");
        const QString out = m_dir.filePath("dumped");
        QString table, version;
        libtool::writeSourceFolder(libtool::readLibraryFile(file, &table, &version), out);
        QCOMPARE(table, QStringLiteral("MaterialTree"));
        QCOMPARE(version, QStringLiteral("4.0"));
        QCOMPARE(readFolder(out), kSources);
    }

    void builtFileIsEncipheredWithVersionAndIndex()
    {
        const QString file = buildLibrary("SentenceTree", "Inkboat_Sentence.sdb");
        const QByteArray bytes = readBytes(file);
        QVERIFY(!bytes.startsWith("SQLite format 3"));
        QVERIFY(!bytes.contains(QByteArray("河面的冰松动了")));
        QVERIFY(!bytes.contains("SentenceTree"));
        QVERIFY(!QFile::exists(file + ".part"));

        // Attached the way the program attaches its libraries.
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("SQLITECIPHER", "attach");
            db.setDatabaseName(":memory:");
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY2(q.exec(QStringLiteral("ATTACH DATABASE 'file:%1?cipher=chacha20' AS S key '%2'")
                                .arg(file, Ink::libraryKey())),
                     qPrintable(q.lastError().text()));
            QVERIFY(q.exec("SELECT IFNULL(MAX(CAST(Version AS REAL)),0.0) FROM S.DbVersion") && q.next());
            QVERIFY(q.value(0).toDouble() >= 3.0);
            QVERIFY(q.exec("SELECT Level, NodeType, Category, COUNT(*) FROM S.SentenceTree GROUP BY 1,2,3 ORDER BY 1,3"));
            QStringList shape;
            while (q.next())
                shape << QStringLiteral("%1/%2/%3=%4").arg(q.value(0).toInt()).arg(q.value(1).toInt())
                             .arg(q.value(2).toString()).arg(q.value(3).toInt());
            QCOMPARE(shape, QStringList({"0/2/Tree=2", "1/3/Content=2", "1/2/Tree=1", "2/3/Content=2", "2/2/Tree=1",
                                         "3/3/Content=1"}));
            QVERIFY(q.exec("SELECT COUNT(*) FROM S.SentenceTree WHERE length(ID)<>32 OR ID<>upper(ID)") && q.next());
            QCOMPARE(q.value(0).toInt(), 0);
        }
        QSqlDatabase::removeDatabase("attach");
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

        unzFile uf = unzOpen64(QFile::encodeName(zip).constData());
        QVERIFY(uf);
        QCOMPARE(unzLocateFile(uf, "Inkboat_Material.sdb", 1), UNZ_OK);
        QCOMPARE(unzOpenCurrentFile(uf), UNZ_OK);
        QByteArray data;
        char buf[65536];
        int n;
        while ((n = unzReadCurrentFile(uf, buf, sizeof buf)) > 0)
            data.append(buf, n);
        unzCloseCurrentFile(uf);
        unzClose(uf);
        QCOMPARE(data, readBytes(a));
    }

    void shippedSourcesParse()
    {
        // Every shipped source builds; material passages keep to 50-400 characters.
        for (const QString kind : {"material", "sentence", "article"}) {
            const QString dir = QStringLiteral(INKBOAT_SOURCE_DIR "/data/") + kind;
            QVERIFY2(QDir(dir).exists(), qPrintable(dir));
            libtool::Library lib;
            try {
                lib = libtool::readSourceFolder(dir);
            } catch (const libtool::SourceError &e) {
                QFAIL(qPrintable(e.message()));
            }
            if (kind == QLatin1String("material")) {
                for (const libtool::Folder &f : lib.folders) {
                    for (const libtool::Entry &e : f.entries) {
                        const int len = QString(e.text).remove('\n').size();
                        QVERIFY2(len >= 50 && len <= 400, qPrintable(f.path.join("/") + "/" + e.title));
                    }
                }
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestLibTool)
#include "tst_libtool.moc"
