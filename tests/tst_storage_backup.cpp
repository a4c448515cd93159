// Backups of the main file: rotation, day change, failures, and the locks of the open file.
#include "Folders.h"
#include "Rows.h"
#include "ScriptedPrompter.h"
#include "StartedProfile.h"

#include "app/App.h"
#include "app/Exception.h"
#include "book/BookStore.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/Backup.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"
#include "storage/DbLock.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

const QDateTime day1(QDate(2030, 1, 31), QTime(23, 59, 0));
const QDateTime day2(QDate(2030, 2, 1), QTime(0, 0, 30));

// The markers of a day's copies 1 to 6, "-" where there is none: "3,2,1,-,-,-".
QString markers(const QDate &day)
{
    QStringList out;
    for (int n = 1; n <= 6; ++n) {
        const QString file = backupFolder() + backupFileName(day, n);
        out << (QFileInfo::exists(file) ? sideValue(file, "SELECT value FROM SysParam WHERE key='marker'").toString() : "-");
    }
    return out.join(',');
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

// A table nothing reads at start-up except the backup, filling most of the file.
void fillUnreadTable(int rows = 200)
{
    execSql("CREATE TABLE Filler(x TEXT)");
    Transaction tx;
    for (int i = 0; i < rows; ++i)
        execSql(QStringLiteral("INSERT INTO Filler VALUES('%1')").arg(QString(3000, QChar('a' + i % 26))));
    tx.commit();
}

// Overwrites the header of a page in the middle of the file: reading it gives SQLITE_CORRUPT.
void damageMiddlePage(const QString &file)
{
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadWrite));
    const QByteArray header = f.read(100);
    const int pageSize = uchar(header[16]) << 8 | uchar(header[17]);
    QVERIFY(pageSize >= 512);
    QVERIFY(f.seek(f.size() / pageSize / 2 * pageSize));
    f.write(QByteArray(512, char(0xA5)));
}

QMap<QString, QByteArray> digests(const QString &folder)
{
    QMap<QString, QByteArray> out;
    for (const QString &f : QDir(folder).entryList(QDir::Files | QDir::Hidden))
        out.insert(f, fileDigest(folder + f));
    return out;
}

} // namespace

class TestBackup : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { setBackupClock(nullptr); }

    void rotatesFiveCopiesPerDayIntoAMissingFolder()
    {
        StartedProfile profile;
        g_SysParams.autoBackupDbPath = profile.root() + "/elsewhere/deeper/";
        publishSysParams();
        backUpOnDay1(6);
        QVERIFY(g_App.db().isOpen());
        QCOMPARE(backupFileName(day1.date(), 1), QString("Inkboat_20300131.1.sdb.bak"));
        QVERIFY(QFileInfo::exists(profile.root() + "/elsewhere/deeper/Inkboat_20300131.1.sdb.bak"));
        QCOMPARE(markers(day1.date()), "6,5,4,3,2,-");
        // A new day starts its own row of copies; no half-written file is left behind.
        setBackupClock([] { return day2; });
        setSysParam("marker", "next day");
        QVERIFY(backupDatabase(false));
        QCOMPARE(markers(day2.date()) + " " + markers(day1.date()), "next day,-,-,-,-,- 6,5,4,3,2,-");
        QCOMPARE(QDir(backupFolder()).entryList(QDir::Files | QDir::Hidden).filter("partial").size(), 0);
        // The closing backup copies the last state and leaves the connection closed.
        setSysParam("marker", "at close");
        QVERIFY(backupDatabase(true));
        QVERIFY(!g_App.db().isOpen());
        QCOMPARE(markers(day2.date()), "at close,next day,-,-,-,-");
    }

    // The running program's copy is taken on a worker in steps: statements get the connection
    // between steps and reach the copy; a close stops it and leaves the earlier copies alone.
    void runningCopyGoesInStepsAndStopsAtClose()
    {
        StartedProfile profile;
        fillUnreadTable(2800); // about 8 MB: several steps
        backUpOnDay1(1);
        const QString folder = backupFolder(), partial = folder + ".Inkboat_20300131.partial";
        const QMap<QString, QByteArray> before = digests(folder);

        QVERIFY(startBackupDatabase());
        qint64 copied = 0;
        for (int i = 0; i < 300000 && copied == 0; ++i) {
            {
                DbLocker lock;
                copied = QFileInfo(partial).size();
                if (copied > 0) {
                    // Half a copy, and the connection is ours: the copy waits between two steps.
                    QVERIFY2(copied < QFileInfo(profile.file("Inkboat.sdb")).size(), qPrintable(QString::number(copied)));
                    setSysParam("marker", "during");
                    stopBackups(false);
                }
            }
            QThread::usleep(100); // the worker's turn at the lock
        }
        stopBackups();
        QVERIFY(copied > 0);
        QCOMPARE(digests(folder), before);

        // Statements made after the start are in the copy; the copy is encoded like the main file.
        // It goes to the saved folder, whatever the settings dialog assigns while it starts.
        {
            DbLocker lock;
            QVERIFY(startBackupDatabase());
            g_SysParams.autoBackupDbPath = profile.root() + "/unsaved/";
            setSysParam("marker", "after start");
        }
        waitForBackups();
        QCOMPARE(markers(day1.date()), "after start,1,-,-,-,-");
        QCOMPARE(readBytes(folder + backupFileName(day1.date(), 1)).left(16),
                 readBytes(profile.file("Inkboat.sdb")).left(16));
    }

    // The start-up copy is skipped only while the main file is as its newest copy has it.
    void startUpCopyOnlyWhenTheFileChanged_data()
    {
        COLUMNS(QString, change, bool, exitCopy, bool, copies)
        QTest::newRow("unchanged since the start-up copy") << "" << false << false;
        QTest::newRow("unchanged since the exit copy") << "" << true << false;
        QTest::newRow("one character saved after the copy") << "after copy" << false << true;
        QTest::newRow("saved within the copy's clock tick") << "same tick" << false << true;
        QTest::newRow("saved in the next run") << "next run" << true << true;
        QTest::newRow("newest copy removed") << "copy removed" << true << true;
        QTest::newRow("note beside the copies damaged") << "note damaged" << true << true;
    }

    void startUpCopyOnlyWhenTheFileChanged()
    {
        FETCH(QString, change, bool, exitCopy, bool, copies)
        StartedProfile profile;
        const QString main = profile.file("Inkboat.sdb");
        // A commit before the copy: this run has raised the change counter already.
        execSql("INSERT INTO BookTree(ID,pID,NodeType,Level,Sort,Title,Category,HTML,PlainText,Flag) "
                "VALUES('C1','',3,0,1,'第一章','Book','<p>甲乙丙</p>','甲乙丙','A')");
        QVERIFY(startBackupDatabase());
        waitForBackups();
        QVERIFY(mainFileUnchangedSinceNewestCopy());
        const auto saveOneCharacter = [] { BookStore::saveChapter("C1", "<p>甲乙丁</p>", "甲乙丁"); };
        struct stat copied {};
        if (change == "after copy" || change == "same tick") {
            QCOMPARE(::stat(QFile::encodeName(main).constData(), &copied), 0);
            saveOneCharacter();
        }
        g_SysParams.autoBackupDb = exitCopy;
        stopApp();
        // The save reaches the file by the close at the latest: as if all of it fell in the copy's tick.
        if (change == "same tick") {
            const timespec times[2] = {copied.st_atim, copied.st_mtim};
            QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(main).constData(), times, 0), 0);
        }

        QVERIFY(startApp().ok);
        if (change == "next run")
            saveOneCharacter();
        const QStringList before = existingBackups();
        if (change == "copy removed")
            QVERIFY(QFile::remove(before.first()));
        if (change == "note damaged") {
            QFile note(QFileInfo(before.first()).absolutePath() + "/.Inkboat.copied");
            QVERIFY(note.open(QIODevice::ReadWrite) && note.write("x") == 1);
        }
        QVERIFY(startBackupIfChanged());
        waitForBackups();
        QCOMPARE(existingBackups().size() > before.size() - (change == "copy removed"), copies);
        QVERIFY(mainFileUnchangedSinceNewestCopy()); // a copy taken, or the file as the newest copy
        g_SysParams.autoBackupDb = false;
        stopApp();
    }

    // A copy that cannot be written leaves the earlier ones alone, with the connection open or closed.
    void failedCopyKeepsEarlierCopies()
    {
        for (const bool closeConnection : {false, true}) {
            StartedProfile profile;
            backUpOnDay1(2);
            const QString folder = backupFolder();
            const QMap<QString, QByteArray> before = digests(folder);
            // Something that cannot be replaced sits where the copy is written.
            QVERIFY(QDir().mkpath(folder + ".Inkboat_20300131.partial/blocker"));
            QVERIFY(!backupDatabase(closeConnection));
            QVERIFY(digests(folder) == before && todaysLog().contains("数据库备份失败"));
            QCOMPARE(g_App.db().isOpen(), !closeConnection);
        }
    }

    // Every copy reaches the disk before it is renamed into place, and the folder after.
    void copyIsFlushedBeforeItsRenameAndTheFolderAfter()
    {
        const QString strace = QStandardPaths::findExecutable("strace");
        QVERIFY2(!strace.isEmpty(), "the strace command is not installed (scripts/install-deps installs it)");
        QTemporaryDir dir;
        const QString trace = dir.path() + "/trace";
        QProcess child;
        // -f: copies may be checked and renamed on a thread of their own; -y: descriptors shown as paths.
        child.start(strace, {"-f", "-y", "-s", "4096", "-o", trace, "-e", "trace=fsync,fdatasync,rename,renameat,renameat2",
                             QCoreApplication::applicationFilePath(), "rotatesFiveCopiesPerDayIntoAMissingFolder"});
        QVERIFY(child.waitForFinished(300000) && child.exitCode() == 0);
        const QRegularExpression flush("^f(?:data)?sync\\(\\d+<([^>]*)>\\)\\s+= 0");
        const QRegularExpression rename("^rename\\w*\\((?:[^,]+, )?\"([^\"]*)\", (?:[^,]+, )?\"([^\"]*)\".*= 0");
        QSet<QString> flushed;
        QString folderToFlush;
        int renames = 0;
        // Lines start with the thread id; a call interrupted by another thread's comes in two halves.
        QHash<QString, QString> unfinished;
        for (const QString &raw : QString::fromUtf8(readBytes(trace)).split('\n')) {
            const QString thread = raw.section(' ', 0, 0), call = raw.section(' ', 1).trimmed();
            if (call.endsWith(" <unfinished ...>")) {
                unfinished.insert(thread, call.chopped(17));
                continue;
            }
            const QString line = call.startsWith("<... ") ? unfinished.take(thread) + call.section(" resumed>", 1) : call;
            if (const auto m = flush.match(line); m.hasMatch()) {
                flushed.insert(m.captured(1));
                if (m.captured(1) == folderToFlush)
                    folderToFlush.clear();
            } else if (const auto m = rename.match(line); m.hasMatch() && m.captured(1).endsWith(".partial")) {
                QVERIFY2(folderToFlush.isEmpty(), "a renamed copy's folder was not flushed");
                QVERIFY2(flushed.contains(QDir::cleanPath(m.captured(1))), qPrintable("renamed before flushed: " + line));
                folderToFlush = QFileInfo(m.captured(2)).absolutePath();
                ++renames;
            }
        }
        QVERIFY2(folderToFlush.isEmpty(), "the last copy's folder was not flushed");
        QCOMPARE(renames, 8); // six on day 1, one on day 2, one at close
    }

    // A damaged main file: shown once naming the backup folder, no exit backup, and a byte copy
    // that fails the check never takes a place among the copies.
    void damagedMainFileNeverPushesGoodCopiesOut()
    {
        StartedProfile profile;
        fillUnreadTable();
        backUpOnDay1(2);
        stopApp();
        damageMiddlePage(profile.file("Inkboat.sdb"));
        const QString folder = backupFolder();
        const QMap<QString, QByteArray> before = digests(folder);

        ScriptedPrompter prompts;
        g_SysParams = SysParams();
        const bool started = g_App.init();
        QCoreApplication::sendPostedEvents();
        bool failed = false;
        try {
            openQuery("SELECT SUM(LENGTH(x)) FROM Filler");
        } catch (const Exception &) {
            failed = true;
        }
        QCoreApplication::sendPostedEvents();
        stopApp();
        QCoreApplication::sendPostedEvents();
        QVERIFY(started && failed && prompts.messages.size() == 1 && digests(folder) == before);
        QVERIFY2(prompts.errors().value(0).contains(folder), qPrintable(prompts.messages.first().text));
        setBackupClock([] { return day1; });
        QVERIFY(!backupDatabase(true) && digests(folder) == before);
    }

    // The running program keeps the main file to itself, from the start and after every copy
    // (a copy gives the lock back for a moment): another process can neither read nor write it.
    void otherProcessCanNeitherReadNorWrite()
    {
        const QString sqlite = QStandardPaths::findExecutable("sqlite3");
        QVERIFY2(!sqlite.isEmpty(), "the sqlite3 command is not installed (scripts/install-deps installs it)");
        StartedProfile profile;
        for (const int copies : {0, 2}) {
            backUpOnDay1(copies);
            for (const char *sql : {"SELECT COUNT(*) FROM SysParam;", "INSERT INTO SysParam(key,value) VALUES('intruder','x');"}) {
                QProcess other;
                other.start(sqlite, {profile.file("Inkboat.sdb"), sql});
                QVERIFY(other.waitForFinished(30000) && other.exitCode() != 0);
                QVERIFY2(other.readAllStandardError().contains("locked"), sql);
            }
        }
        QCOMPARE(getSysParam("intruder", "none"), "none");
    }
};

QTEST_GUILESS_MAIN(TestBackup)
#include "tst_storage_backup.moc"
