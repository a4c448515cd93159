// Backups of the main file: rotation, day change, failures, and the locks of the open file.
#include "TestProfile.h"

#include "app/App.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/Backup.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QtTest>

namespace {

const QDateTime day1(QDate(2030, 1, 31), QTime(23, 59, 0));
const QDateTime day2(QDate(2030, 2, 1), QTime(0, 0, 30));

QString marker(const QString &backupFile)
{
    const QString name = openSideConnection(backupFile);
    QString value;
    {
        QSqlQuery q(QSqlDatabase::database(name));
        if (q.exec("SELECT value FROM SysParam WHERE key='marker'") && q.next())
            value = q.value(0).toString();
    }
    closeSideConnection(name);
    return value;
}

// Backs up `times` times on day 1, each copy marked with its number.
void backUpOnDay1(int times)
{
    setBackupClock([] { return day1; });
    for (int n = 1; n <= times; ++n) {
        setSysParam("marker", QString::number(n));
        QVERIFY(backupDatabase(false));
    }
}

} // namespace

class TestBackup : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { setBackupClock(nullptr); }

    void rotatesFiveCopiesPerDayIntoAMissingFolder()
    {
        TestProfile profile;
        QVERIFY(startApp().ok);
        g_SysParams.autoBackupDbPath = profile.root() + "/elsewhere/deeper/";
        const QString folder = backupFolder();
        backUpOnDay1(6);
        QVERIFY(g_App.db.isOpen());
        QCOMPARE(backupFileName(day1.date(), 1), QString("Inkboat_20300131.1.sdb.bak"));
        QVERIFY(QFileInfo::exists(profile.root() + "/elsewhere/deeper/Inkboat_20300131.1.sdb.bak"));
        for (int copy = 1; copy <= 5; ++copy)
            QCOMPARE(marker(folder + backupFileName(day1.date(), copy)), QString::number(7 - copy));
        QVERIFY(!QFileInfo::exists(folder + backupFileName(day1.date(), 6)));

        const QByteArray yesterday = fileDigest(folder + backupFileName(day1.date(), 1));
        setBackupClock([] { return day2; });
        setSysParam("marker", "next day");
        QVERIFY(backupDatabase(false));
        QCOMPARE(marker(folder + backupFileName(day2.date(), 1)), QString("next day"));
        QVERIFY(!QFileInfo::exists(folder + backupFileName(day2.date(), 2)));
        QCOMPARE(fileDigest(folder + backupFileName(day1.date(), 1)), yesterday);
        QVERIFY(QFileInfo::exists(folder + backupFileName(day1.date(), 5)));
        // No half-written file is left behind.
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden).filter("partial").size(), 0);

        // The closing backup copies the last state and leaves the connection closed.
        setSysParam("marker", "at close");
        QVERIFY(backupDatabase(true));
        QVERIFY(!g_App.db.isOpen());
        QCOMPARE(marker(folder + backupFileName(day2.date(), 1)), QString("at close"));
        QCOMPARE(marker(folder + backupFileName(day2.date(), 2)), QString("next day"));
    }

    void failedCopyKeepsEarlierCopies_data()
    {
        QTest::addColumn<bool>("closeConnection");
        QTest::newRow("connection open") << false;
        QTest::newRow("connection closed") << true;
    }

    void failedCopyKeepsEarlierCopies()
    {
        QFETCH(bool, closeConnection);
        TestProfile profile;
        QVERIFY(startApp().ok);
        backUpOnDay1(2);
        const QString folder = backupFolder();
        const QByteArray first = fileDigest(folder + backupFileName(day1.date(), 1));
        const QByteArray second = fileDigest(folder + backupFileName(day1.date(), 2));
        // Something that cannot be replaced sits where the copy is written.
        QVERIFY(QDir().mkpath(folder + ".Inkboat_20300131.partial/blocker"));

        QVERIFY(!backupDatabase(closeConnection));
        QCOMPARE(fileDigest(folder + backupFileName(day1.date(), 1)), first);
        QCOMPARE(fileDigest(folder + backupFileName(day1.date(), 2)), second);
        QVERIFY(!QFileInfo::exists(folder + backupFileName(day1.date(), 3)));
        QFile log(logFileName("err", QDate::currentDate()));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(log.readAll()).contains("数据库备份失败"));
        QCOMPARE(g_App.db.isOpen(), !closeConnection);
    }

    void otherProcessStillCannotWrite()
    {
        const QString sqlite = QStandardPaths::findExecutable("sqlite3");
        if (sqlite.isEmpty())
            QSKIP("the sqlite3 command is not installed");
        TestProfile profile;
        QVERIFY(startApp().ok);
        backUpOnDay1(2);
        QProcess other;
        other.start(sqlite, {profile.file("Inkboat.sdb"), "INSERT INTO SysParam(key,value) VALUES('intruder','x');"});
        QVERIFY(other.waitForFinished(30000));
        QVERIFY2(other.exitCode() != 0, other.readAllStandardOutput().constData());
        QVERIFY(QString::fromUtf8(other.readAllStandardError()).contains("locked"));
        QCOMPARE(getSysParam("intruder", "none"), QString("none"));
    }
};

QTEST_GUILESS_MAIN(TestBackup)
#include "tst_storage_backup.moc"
