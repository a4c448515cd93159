// The settings dialog (every control kept, the checks of OK, Cancel) and the about dialog's
// upgrade check, over a real database in a throw-away profile.
#include "Columns.h"
#include "Folders.h"
#include "ScriptedPrompter.h"
#include "TestProfile.h"
#include "TestService.h"

#include "app/App.h"
#include "frame/Frames.h"
#include "frame/FramelessWindow.h"
#include "settings/AboutDialog.h"
#include "settings/SysParamDialog.h"
#include "storage/JsonSerializer.h"

#include <QTcpServer>
#include <QtTest>
#include <QtWidgets>

namespace {

const QString kNoBackup = QStringLiteral("数据备份非常重要，确定不自动备份吗？");
const QString kSameDisk = QStringLiteral("自动备份路径与数据保存的盘符一样，这样安全性较低，确定使用该自动备份路径吗？");

// A folder on another file system than the data folder, or empty.
QString otherFileSystemFolder()
{
    const QStorageInfo data(g_App.appDataPath());
    for (const QString &candidate : {QStringLiteral("/dev/shm"), QStringLiteral("/run/user"), QStringLiteral("/run")}) {
        const QStorageInfo other(candidate);
        if (QFileInfo(candidate).isWritable() && other.isValid() && other.device() != data.device())
            return candidate;
    }
    return QString();
}

SysParams storedParams()
{
    loadSysParams();
    return g_SysParams;
}

} // namespace

class TstSettings : public QObject
{
    Q_OBJECT
    TestProfile m_profile;
    QString m_sameDisk;

private slots:
    void initTestCase()
    {
        QVERIFY(startApp().ok);
        m_sameDisk = m_profile.root() + "/backup/";
        QDir().mkpath(m_sameDisk);
    }
    // Stored values the controls cannot show: OK must store them back as they were.
    void init()
    {
        g_SysParams = SysParams();
        g_SysParams.autoBackupDbPath = g_App.defaultBackupPath();
        g_SysParams.visibilityParams.uiFontSize = g_SysParams.editorParams.defaultFontSize = 13;
        g_SysParams.editorParams.defaultFontName = QStringLiteral("无此字体");
        g_SysParams.editorParams.smartSentenceWordDelay = 50;
        g_SysParams.editorParams.alertOnWordCountList = QStringLiteral("1\r\n2");
        saveSysParams();
    }

    // Every control loads its parameter and saves it back (numbers beyond a spin box's default
    // 0-99 included); cloud sync switched off takes its sync options with it.
    void everyControlKeepsItsParameter()
    {
        const QStringList families = QFontDatabase().families();
        QVERIFY(families.size() >= 2);
        SysParams p;
        QVERIFY(JsonSerializer().deserialize(R"({"autoSaveBook": false, "saveBookInterval": 3600,
            "autoBackupDb": false, "autoShrinkDb": true, "autoUpgrade": false, "dailyWordTarget": 2500,
            "visibilityParams": {"skinName": "Coral", "autoHideMaterialList": true, "autoHideMaterialDetail": true,
                "autoSaveLayout": false, "bookSortByModified": true, "uiFontSize": 14},
            "editorParams": {"smartSentenceWord": false, "smartSentenceWordIncMaterial": false,
                "smartSentenceWordIncMemo": false, "alertOnWordCount": false, "alertOnWordCountList": "100\n200",
                "smartSentenceWordDelay": 2500, "smartSentenceWordPageCount": 150, "defaultFontSize": 20,
                "smartSentenceWordIgnoreChars": "，。", "checkSensitiveWordsOnRead": true, "sensitiveWords": "甲\n乙"},
            "cloudSyncParams": {"active": true, "syncAtStartUp": true, "syncAtExit": true, "syncAtThread": true}})",
                                             p));
        p.autoBackupDbPath = m_sameDisk;
        p.visibilityParams.uiFontName = QFontInfo(QFont(families.last())).family();
        p.editorParams.defaultFontName = QFontInfo(QFont(families.first())).family();
        g_SysParams = p;
        SysParamDialog d;
        SysParams raw = SysParams();
        d.saveControls(raw);
        raw.loginParams = p.loginParams;
        raw.visibilityParams.layoutInfo = p.visibilityParams.layoutInfo;
        QCOMPARE(JsonSerializer().serialize(raw), JsonSerializer().serialize(p));
        d.findChild<QCheckBox *>("checkBoxCloudActive")->setChecked(false);
        d.saveControls(raw);
        QCOMPARE(raw.cloudSyncParams, CloudSyncParams());
    }

    // The checks of OK in order; a check that stops keeps the dialog and stores nothing. Cancel asks
    // even without an edit; No keeps the edits, Yes stores nothing; the frame's close button goes
    // through the same question and ends the framed wait.
    void okAndCancelChecks_data()
    {
        COLUMNS(QString, button, QString, path, bool, autoBackup, QList<int>, answers, QStringList, errors,
                QStringList, questions, bool, closed);
        using L = QList<int>;
        using S = QStringList;
        const QString same = QStringLiteral("<same>"), other = QStringLiteral("<other>"), ok = QStringLiteral("ok");
        QTest::newRow("empty") << ok << "" << true << L{} << S{"自动备份路径不能为空！"} << S{} << false;
        QTest::newRow("missing") << ok << "/no/such/folder/" << true << L{} << S{"自动备份路径不存在！"} << S{} << false;
        QTest::newRow("relative") << ok << "backup/" << true << L{} << S{"自动备份路径不存在！"} << S{} << false;
        QTest::newRow("backup off, no") << ok << other << false << L{Ink::maNo} << S{} << S{kNoBackup} << false;
        QTest::newRow("backup off, yes") << ok << other << false << L{Ink::maYes} << S{} << S{kNoBackup} << true;
        QTest::newRow("same disk, no") << ok << same << true << L{Ink::maNo} << S{} << S{kSameDisk} << false;
        QTest::newRow("off and same disk") << ok << same << false << L{Ink::maYes, Ink::maYes} << S{}
                                           << S{kNoBackup, kSameDisk} << true;
        QTest::newRow("other disk") << ok << other << true << L{} << S{} << S{} << true;
        const S cancel{"确定取消吗？"};
        QTest::newRow("cancel, no") << "cancel" << same << true << L{Ink::maNo} << S{} << cancel << false;
        QTest::newRow("cancel, yes") << "cancel" << same << true << L{Ink::maYes} << S{} << cancel << true;
        QTest::newRow("frame close, yes") << "frame" << same << true << L{Ink::maYes} << S{} << cancel << true;
    }
    void okAndCancelChecks()
    {
        FETCH(QString, button, QString, path, bool, autoBackup, QList<int>, answers, QStringList, errors,
              QStringList, questions, bool, closed);
        if (path == "<same>")
            path = m_sameDisk;
        if (path == "<other>") {
            path = otherFileSystemFolder();
            if (path.isEmpty())
                QSKIP("no folder on another file system");
        }
        const SysParams before = storedParams();
        ScriptedPrompter prompts;
        prompts.answers = answers;
        SysParamDialog d;
        d.findChild<QLineEdit *>("lineEditAutoBackupDbPath")->setText(path);
        d.findChild<QCheckBox *>("checkBoxAutoBackupDb")->setChecked(autoBackup);
        d.findChild<QCheckBox *>("checkBoxAutoShrinkDb")->setChecked(true);
        QSignalSpy finished(&d, &QDialog::finished);
        if (button == "frame") {
            prompts.passFramesOn();
            QPointer<FramelessWindow> frame;
            QTimer::singleShot(0, &d, [&] {
                if ((frame = FramelessWindow::frameOf(&d)))
                    frame->close();
            });
            QCOMPARE(Frames::showFramed(&d, Ink::foModal | Ink::foParentMain), int(QDialog::Rejected));
            QVERIFY(!frame); // deleted once the wait ended
        } else {
            d.findChild<QDialogButtonBox *>("buttonBox")
                ->button(button == "ok" ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)
                ->click();
        }
        QCOMPARE(prompts.errors(), errors);
        QCOMPARE(prompts.questions(), questions);
        QCOMPARE(finished.count(), closed ? 1 : 0);
        SysParams expected = before; // stored: the three edits, nothing else
        if (closed && button == "ok") {
            expected.autoBackupDbPath = path;
            expected.autoBackupDb = autoBackup;
            expected.autoShrinkDb = true;
        } else { // the edits still there
            QVERIFY(d.findChild<QLineEdit *>("lineEditAutoBackupDbPath")->text() == path &&
                    d.findChild<QCheckBox *>("checkBoxAutoShrinkDb")->isChecked());
        }
        QVERIFY(g_SysParams == expected && storedParams() == expected);
    }

    // The check has a time limit and never throws: the dialog reports every outcome.
    void aboutUpgradeCheck_data()
    {
        COLUMNS(QString, service, QString, notice);
        QTest::newRow("stopped") << "stopped" << "检查版本升级失败！";
        QTest::newRow("slow") << "slow" << "检查版本升级失败！";
        QTest::newRow("newer") << "newer" << "检测到新的版本，建议您马上升级！";
    }
    void aboutUpgradeCheck()
    {
        FETCH(QString, service, QString, notice);
        TestService web;
        QTcpServer silent;
        if (service == "newer") {
            QVERIFY(web.start());
            QDir().mkpath(web.dataPath() + "/app");
            QVERIFY(writeBytes(web.dataPath() + "/app/updateV4.txt", "version=9.1\nsetupfile=inkboat.deb\nnews=n\n"));
        } else if (service == "slow") {
            QVERIFY(silent.listen(QHostAddress::LocalHost));
            qputenv("INKBOAT_SERVICE_URL", QString("http://127.0.0.1:%1/").arg(silent.serverPort()).toUtf8());
        } else {
            qputenv("INKBOAT_SERVICE_URL", "http://127.0.0.1:1/");
        }
        ScriptedPrompter prompts;
        QStringList shown;
        prompts.framed = [&shown](QWidget *w, int) {
            if (auto *label = w->findChild<QLabel *>("labelNotice"))
                shown << label->text();
            return 0;
        };
        AboutDialog d;
        // Only the silent service needs a short limit; a busy machine may answer slowly.
        if (service == "slow")
            d.setCheckTimeout(300);
        auto *button = d.findChild<QPushButton *>("pushButtonCheckUpgrade");
        button->click();
        QVERIFY(shown == QStringList{notice} && button->isEnabled()); // enabled again for the next check
    }
};

QTEST_MAIN(TstSettings)
#include "tst_settings.moc"
