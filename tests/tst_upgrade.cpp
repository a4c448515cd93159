// Upgrade checks against the service, the download texts, and material archives: hostile
// entries refused before anything is written, a valid library staged and renamed into place.
#include "Folders.h"
#include "Columns.h"
#include "TestProfile.h"
#include "TestService.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "cloud/QZipFile.h"
#include "cloud/Upgrade.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

namespace {

// name → digest of every file below folder
QMap<QString, QByteArray> snapshot(const QString &folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(folder).relativeFilePath(path), fileDigest(path));
    }
    return files;
}

QString makeZip(const QString &path, const QList<QPair<QString, QByteArray>> &entries)
{
    QFile::remove(path);
    qompress::QZipFile zip(path);
    if (!zip.open(qompress::QZipFile::WriteOnly))
        return zip.lastError();
    for (const auto &e : entries) {
        QBuffer data;
        data.setData(e.second);
        data.open(QIODevice::ReadOnly);
        if (!zip.addFile(e.first, &data))
            return zip.lastError();
    }
    zip.close();
    return QString();
}

// A library file as the program ships it: enciphered with the library key, with its version.
QByteArray libraryBytes(const QString &folder, const QString &version)
{
    const QString path = folder + "/lib.sdb";
    QFile::remove(path);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(sqlDriverName(), "lib-maker");
        db.setDatabaseName(path);
        db.setPassword(Ink::libraryKey());
        db.setConnectOptions("QSQLITE_USE_CIPHER=chacha20");
        db.open();
        QSqlQuery q(db);
        q.exec("CREATE TABLE DbVersion(Version VARCHAR(64))");
        q.exec("INSERT INTO DbVersion VALUES('" + version + "')");
        q.exec("CREATE TABLE MaterialTree(ID VARCHAR(64))");
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase("lib-maker");
    return readBytes(path);
}

} // namespace

class TestUpgrade : public QObject
{
    Q_OBJECT
    TestProfile m_profile;
    TestService m_service;

private slots:
    void initTestCase()
    {
        QVERIFY(startApp().ok);
        QVERIFY(m_service.start());
    }
    void cleanupTestCase() { stopApp(); }

    void versionFile_data()
    {
        // text: the version file, or "<404>", "<refused>", "<silent>" for a check that gets none
        COLUMNS(QByteArray, text, int, level, QString, news)
        for (const char *failure : {"<404>", "<refused>", "<silent>"})
            QTest::newRow(failure) << QByteArray(failure) << -1 << "";
        QTest::newRow("newer, numbers not texts") << QByteArray("version=4.4\nsetupfile=a/b.deb\nnews=x") << 1 << "x";
        QTest::newRow("same") << QByteArray("version=4.31\nsetupfile=b.deb\nnews=x") << 0 << "x";
        QTest::newRow("major") << QByteArray("version=5\nforceVersion=4.5\nsetupfile=b.deb") << 2 << "";
        QTest::newRow("force equals local") << QByteArray("version=5\nforceVersion=4.31\nsetupfile=b.deb") << 1 << "";
        QTest::newRow("only news") << QByteArray("news=hello") << 0 << "hello";
        QTest::newRow("empty") << QByteArray() << -1 << "";
        QTest::newRow("not INI") << QByteArray("\x00\x01\xff<html>", 9) << -1 << "";
        QTest::newRow("setupfile ..") << QByteArray("version=5\nsetupfile=../x") << -1 << "";
        QTest::newRow("setupfile inner ..") << QByteArray("version=5\nsetupfile=a/../../x") << -1 << "";
        QTest::newRow("setupfile absolute") << QByteArray("version=5\nsetupfile=/etc/x") << -1 << "";
        QTest::newRow("setupfile empty") << QByteArray("version=5\nnews=n") << -1 << "n";
        QTest::newRow("UTF-8 news, commas") << QByteArray("version=5\nsetupfile=b.deb\nnews=修复，新增, 两项, 改进")
                                           << 1 << "修复，新增, 两项, 改进";
    }
    void versionFile()
    {
        FETCH(QByteArray, text, int, level, QString, news)
        QTcpServer silent;
        const QByteArray oldUrl = qgetenv("INKBOAT_SERVICE_URL");
        const auto restore = qScopeGuard([&] { qputenv("INKBOAT_SERVICE_URL", oldUrl); });
        QVERIFY(text != "<silent>" || silent.listen(QHostAddress::LocalHost));
        if (text == "<404>")
            QFile::remove(m_service.dataPath() + "/app/updateV4.txt");
        else if (text.startsWith('<'))
            qputenv("INKBOAT_SERVICE_URL", QString("http://127.0.0.1:%1/")
                                               .arg(silent.isListening() ? silent.serverPort() : freeLoopbackPort())
                                               .toUtf8());
        else
            QVERIFY(m_service.putAppFile("updateV4.txt", text));
        // Two checks at once get the same answer.
        auto other = QtConcurrent::run([] { return upgrade::check(upgrade::App, 3000).level; });
        const UpgradeInfo info = upgrade::check(upgrade::App, 3000);
        QCOMPARE(QString("%1|%2|%3|").arg(info.level).arg(other.result()).arg(upgrade::upgradeState(upgrade::App).level)
                     + info.news, QString("%1|%1|%1|").arg(level) + news);
        if (level > 0) {
            QVERIFY(upgrade::downloadUrl(info).endsWith("/app/" + info.setupfile));
            QCOMPARE(upgrade::downloadFileName(info), info.setupfile.section('/', -1));
        }
    }

    // The library's version is its highest as a number: with "9.5" and "10.0" stored, 9.9 is no upgrade.
    void materialVersionIsComparedAsANumber()
    {
        execSql("INSERT INTO M.DbVersion VALUES('9.5'),('10.0')");
        const auto cleanUp = qScopeGuard([] { execSql("DELETE FROM M.DbVersion"); });
        QVERIFY(m_service.putAppFile("updateMV4.txt", "version=9.9\nsetupfile=m.zip\nnews=m"));
        const UpgradeInfo info = upgrade::check(upgrade::Material);
        QCOMPARE(info.localVersion, QStringLiteral("10.0"));
        QCOMPARE(info.level, 0);
    }

    void texts_data()
    {
        COLUMNS(qint64, value, QString, size, QString, time)
        QTest::newRow("0") << qint64(0) << "0 B" << "0s";
        QTest::newRow("59") << qint64(59) << "0 KB" << "59s";
        QTest::newRow("60") << qint64(60) << "0 KB" << "1m";
        QTest::newRow("3599") << qint64(3599) << "3 KB" << "59m 59s";
        QTest::newRow("3600") << qint64(3600) << "3 KB" << "1h";
        QTest::newRow("86399") << qint64(86399) << "84 KB" << "23h 59m 59s";
        QTest::newRow("86401") << qint64(86401) << "84 KB" << "1d 0h 0m 1s";
        QTest::newRow("1048575") << qint64(1048575) << "1023 KB" << "12d 3h 16m 15s";
        QTest::newRow("1 MiB") << qint64(1048576) << "1 MB" << "12d 3h 16m 16s";
        QTest::newRow("5 GiB") << (qint64(5) << 30) << "5 GB" << "";
    }
    void texts()
    {
        FETCH(qint64, value, QString, size, QString, time)
        QCOMPARE(upgrade::sizeText(value), size);
        QCOMPARE(upgrade::sizeText(value, true), size + "/S");
        if (!time.isEmpty())
            QCOMPARE(upgrade::timeText(value), time);
    }

    void archives_data()
    {
        // place: "" the live data folder, or how the folder is made hard
        // said: a part of the refusal ("" the entry's name)
        COLUMNS(QString, entry, QByteArray, content, bool, valid, QString, place, QString, said)
        const QByteArray text("x");
        // outside the folder, or onto the program's own files
        for (const char *name : {"../evil.txt", "a/../../evil.txt", "..\\evil.txt", "/tmp/evil.txt", "C:/evil.txt", "Inkboat.sdb",
                                 "Inkboat.sdb-journal", "Inkboat_Log.sdb", "log/x.txt", "backup/x.sdb.bak", "temp/x"})
            QTest::newRow(name) << name << text << false << "" << "";
        QTest::newRow("long name") << QString(300, 'a') << text << false << "" << "";
        QTest::newRow("not a library") << "Inkboat_Material.sdb" << QByteArray("plain text") << false << "" << "素材库";
        QTest::newRow("old library") << "Inkboat_Material.sdb" << QByteArray("old") << false << "" << "素材库";
        // The second file cannot take the place of a folder: the first one, already renamed, goes back.
        QTest::newRow("rename fails half-way") << "extra/notes.txt" << text << false << "occupied" << "extra/notes.txt";
        // Unpacked it would fit, but not with the reserve the program keeps for itself.
        QTest::newRow("no space") << "big.dat" << QByteArray(32 << 20, '\0') << false << "small disk" << "磁盘空间不足";
        QTest::newRow("damaged CRC") << "note.txt" << QByteArray(4096, 'a') << false << "bad crc" << "";
        QTest::newRow("valid") << "Inkboat_Material.sdb" << QByteArray("new") << true << "" << "";
        QTest::newRow("valid, new folder") << "extra/more/notes.txt" << text << true << "" << "";
    }
    void archives()
    {
        FETCH(QString, entry, QByteArray, content, bool, valid, QString, place, QString, said)
        QTemporaryDir work;
        if (content == "old" || content == "new")
            content = libraryBytes(work.path(), content == "old" ? "2.5" : "9.0");
        const QString zipPath = work.filePath("m.zip");
        // A good entry first: one bad entry refuses the whole archive.
        QCOMPARE(makeZip(zipPath, {{"Inkboat_Sentence.sdb", libraryBytes(work.path(), "9.0")}, {entry, content}}),
                 QString());
        if (place == "bad crc") { // the stored CRC of the local header and of the central directory
            QByteArray bytes = readBytes(zipPath);
            for (const int at : {bytes.lastIndexOf("PK\x03\x04") + 14, bytes.lastIndexOf("PK\x01\x02") + 16})
                bytes[at] = char(bytes[at] ^ 0x55);
            QVERIFY(writeBytes(zipPath, bytes));
        }
        QString data = g_App.appDataPath();
        // A tmpfs of a few MiB for one row (needs root; mount fails elsewhere).
        const QString disk = work.filePath("disk");
        bool mounted = false;
        const auto unmount = qScopeGuard([&] {
            if (mounted)
                QProcess::execute("umount", {disk});
        });
        if (place == "small disk") {
            mounted = QDir().mkpath(disk) && QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=80m", "tmpfs", disk}) == 0;
            if (!mounted)
                QSKIP("no tmpfs can be mounted here");
            data = disk + "/";
            QVERIFY(QFile::copy(g_App.appDataPath() + "Inkboat_Sentence.sdb", data + "Inkboat_Sentence.sdb"));
        }
        const QString blocker = data + entry;
        if (place == "occupied")
            QVERIFY(QDir().mkpath(blocker) && writeBytes(blocker + "/keep", "kept"));
        const auto cleanUp = qScopeGuard([&] { QDir(data + "extra").removeRecursively(); });
        const auto before = snapshot(data);
        try {
            installMaterialUpgrade(zipPath, data);
            QVERIFY2(valid, "refused archive installed");
        } catch (const Exception &e) {
            QVERIFY2(!valid, qPrintable(e.message()));
            QVERIFY2(e.message().contains(said.isEmpty() ? entry.left(20) : said), qPrintable(e.message()));
        }
        QVERIFY(!QFileInfo::exists(data + "temp/materialUpgrade"));
        QVERIFY(!QFileInfo::exists(data + "temp/materialUpgrade.previous"));
        const auto after = snapshot(data);
        if (!valid) {
            QCOMPARE(after, before);
            QCOMPARE(QFileInfo::exists(data + "extra"), place == "occupied");
        } else {
            QCOMPARE(after.value(entry), QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
            QVERIFY(after.value("Inkboat_Sentence.sdb") != before.value("Inkboat_Sentence.sdb"));
        }
        QVERIFY(!QFileInfo::exists("/tmp/evil.txt") && !QFileInfo::exists(data + "../evil.txt"));
        // The open connection keeps working on the files it holds.
        QCOMPARE(execQuery("SELECT COUNT(*) n FROM M.MaterialTree").size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestUpgrade)
#include "tst_upgrade.moc"
