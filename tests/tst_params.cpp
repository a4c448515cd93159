// The parameter tree: defaults, persistence, clamping, bad stored data, the stored password.
#include "TestProfile.h"

#include "app/App.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"
#include "storage/JsonSerializer.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class TestParams : public QObject
{
    Q_OBJECT
private slots:
    void emptyTableGivesDefaults();
    void saveThenLoadRoundTrips();
    void uncheckedSavePasswordStoresNone();
    void partialDocumentKeepsOtherDefaults();
    void malformedDocumentGivesDefaults_data();
    void malformedDocumentGivesDefaults();
    void loadedNumbersAreClamped_data();
    void loadedNumbersAreClamped();
    void passwordCipher_data();
    void passwordCipher();
};

void TestParams::emptyTableGivesDefaults()
{
    TestProfile profile;
    QVERIFY(startApp().ok);
    QCOMPARE(getSysParam("SysParams", "none"), QString("none"));
    SysParams expected;
    expected.autoBackupDbPath = g_App.defaultBackupPath();
    QVERIFY(g_SysParams == expected);
    QCOMPARE(g_SysParams.autoBackupDbPath, profile.dataPath() + "backup/");
    QCOMPARE(g_SysParams.saveBookInterval, 180);
    QCOMPARE(g_SysParams.visibilityParams.skinName, QString("Fusion"));
    QCOMPARE(g_SysParams.visibilityParams.uiFontSize, 9);
    QCOMPARE(g_SysParams.editorParams.defaultFontName, QString("宋体"));
    QCOMPARE(g_SysParams.editorParams.defaultFontColor, QColor(Qt::black));
    QCOMPARE(g_SysParams.editorParams.smartSentenceWordDelay, 650);
    QCOMPARE(g_SysParams.editorParams.alertOnWordCountList, QString("2000\r\n3000\r\n4000\r\n5000\r\n6000"));
    const QString ignore = g_SysParams.editorParams.smartSentenceWordIgnoreChars;
    QVERIFY(ignore.startsWith("，。＜＞"));
    QVERIFY(ignore.endsWith("{}\\|~!@# $%^&*()-=_+"));
    QVERIFY(g_SysParams.editorParams.sensitiveWords.split('/').size() > 10);
    QVERIFY(sysParamsSnapshot() == g_SysParams);
    stopApp();
}

void TestParams::saveThenLoadRoundTrips()
{
    TestProfile profile;
    QVERIFY(startApp().ok);
    SysParams &p = g_SysParams;
    p.visibilityParams.layoutInfo.splitterMainSizes = {120, 640, 300};
    p.visibilityParams.layoutInfo.splitterMiddleSizes = {5};
    p.visibilityParams.layoutInfo.maximized = true;
    p.visibilityParams.layoutInfo.materialDetailHeight = 211;
    p.visibilityParams.skinName = "Dark";
    p.visibilityParams.uiFontName = "微软雅黑";
    p.editorParams.defaultFontColor = QColor(12, 34, 56);
    p.editorParams.defaultBackColor = QColor(200, 210, 220, 128);
    p.editorParams.insertLineChar = "＊";
    p.editorParams.sensitiveWords = "甲/乙";
    p.loginParams.userID = "writer";
    p.loginParams.password = "密码 p@ss'word";
    p.loginParams.saveLogin = true;
    p.cloudSyncParams.active = true;
    p.cloudSyncParams.syncAtThread = true;
    p.saveBookInterval = 60;
    p.autoShrinkDb = true;
    p.autoBackupDbPath = profile.root() + "/bak/";
    saveSysParams();
    const SysParams saved = g_SysParams;

    const QString stored = getSysParam("SysParams");
    QVERIFY(!stored.contains("p@ss"));
    QVERIFY(!stored.contains("\"password\""));
    QVERIFY(stored.contains("\n    ")); // indented
    const QJsonObject json = QJsonDocument::fromJson(stored.toUtf8()).object();
    QVERIFY(json.value("editorParams").toObject().contains("smartSentenceWordIgnoreChars"));
    QVERIFY(!json.value("loginParams").toObject().value("vPassword").toString().isEmpty());

    g_SysParams = SysParams();
    loadSysParams();
    QVERIFY(g_SysParams == saved);
    QCOMPARE(g_SysParams.loginParams.password, QString("密码 p@ss'word"));
    QCOMPARE(g_SysParams.editorParams.defaultBackColor.alpha(), 128);
    stopApp();

    // And through a restart.
    QVERIFY(startApp().ok);
    QVERIFY(g_SysParams == saved);
    stopApp();
}

void TestParams::uncheckedSavePasswordStoresNone()
{
    TestProfile profile;
    QVERIFY(startApp().ok);
    g_SysParams.loginParams.password = "secret";
    g_SysParams.loginParams.vPassword = encipherPassword("older");
    g_SysParams.loginParams.saveLogin = false;
    saveSysParams();
    QVERIFY(g_SysParams.loginParams.vPassword.isEmpty());
    g_SysParams = SysParams();
    loadSysParams();
    QVERIFY(g_SysParams.loginParams.password.isEmpty());
    QVERIFY(g_SysParams.loginParams.vPassword.isEmpty());
    stopApp();
}

void TestParams::partialDocumentKeepsOtherDefaults()
{
    TestProfile profile;
    QVERIFY(startApp().ok);
    setSysParam("SysParams", R"({"saveBookInterval": 300, "unknownKey": [1,2],
        "editorParams": {"defaultFontSize": 16, "noSuchField": "x"},
        "visibilityParams": {"layoutInfo": {"splitterMainSizes": [1, 2, 3]}}})");
    loadSysParams();
    QCOMPARE(g_SysParams.saveBookInterval, 300);
    QCOMPARE(g_SysParams.editorParams.defaultFontSize, 16);
    QCOMPARE(g_SysParams.editorParams.defaultFontName, QString("宋体"));
    QCOMPARE(g_SysParams.visibilityParams.layoutInfo.splitterMainSizes, QList<int>({1, 2, 3}));
    QCOMPARE(g_SysParams.visibilityParams.layoutInfo.mainMenu, true);
    QVERIFY(g_SysParams.cloudSyncParams == CloudSyncParams());
    QCOMPARE(g_SysParams.autoBackupDbPath, g_App.defaultBackupPath());
    stopApp();
}

void TestParams::malformedDocumentGivesDefaults_data()
{
    QTest::addColumn<QString>("stored");
    QTest::newRow("not JSON") << "{\"saveBookInterval\": 300,";
    QTest::newRow("wrong type") << "{\"saveBookInterval\": 300, \"editorParams\": \"big\"}";
    QTest::newRow("array") << "[1,2,3]";
    QTest::newRow("bad password") << "{\"saveBookInterval\": 300, \"loginParams\": {\"vPassword\": \"zz\"}}";
}

void TestParams::malformedDocumentGivesDefaults()
{
    QFETCH(QString, stored);
    TestProfile profile;
    QVERIFY(startApp().ok);
    setSysParam("SysParams", stored);
    loadSysParams();
    QCOMPARE(g_SysParams.saveBookInterval, 180);
    QFile log(logFileName("err", QDate::currentDate()));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(QString::fromUtf8(log.readAll()).contains("参数读取失败"));
    stopApp();
}

void TestParams::loadedNumbersAreClamped_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("interval");
    QTest::addColumn<int>("pageCount");
    QTest::addColumn<int>("fontSize");
    QTest::addColumn<int>("uiFontSize");
    QTest::newRow("too small") << R"({"saveBookInterval": 0, "editorParams": {"smartSentenceWordPageCount": 0,
        "defaultFontSize": -3}, "visibilityParams": {"uiFontSize": 0}})" << 10 << 1 << 1 << 1;
    QTest::newRow("negative interval") << R"({"saveBookInterval": -50})" << 10 << 10 << 12 << 9;
    QTest::newRow("sane values stay") << R"({"saveBookInterval": 45, "editorParams": {"smartSentenceWordPageCount": 3}})"
                                      << 45 << 3 << 12 << 9;
}

void TestParams::loadedNumbersAreClamped()
{
    QFETCH(QString, stored);
    QFETCH(int, interval);
    QFETCH(int, pageCount);
    QFETCH(int, fontSize);
    QFETCH(int, uiFontSize);
    TestProfile profile;
    QVERIFY(startApp().ok);
    setSysParam("SysParams", stored);
    loadSysParams();
    QCOMPARE(g_SysParams.saveBookInterval, interval);
    QCOMPARE(g_SysParams.editorParams.smartSentenceWordPageCount, pageCount);
    QCOMPARE(g_SysParams.editorParams.defaultFontSize, fontSize);
    QCOMPARE(g_SysParams.visibilityParams.uiFontSize, uiFontSize);
    stopApp();
}

void TestParams::passwordCipher_data()
{
    QTest::addColumn<QString>("plain");
    QTest::newRow("empty") << "";
    QTest::newRow("ascii") << "abc";
    QTest::newRow("one block") << "12345678";
    QTest::newRow("chinese") << "中文密码🔒";
}

void TestParams::passwordCipher()
{
    QFETCH(QString, plain);
    const QString hex = encipherPassword(plain);
    QCOMPARE(hex.isEmpty(), plain.isEmpty());
    if (!plain.isEmpty()) {
        QVERIFY(!hex.contains(plain));
        QCOMPARE(hex.size() % 16, 0);
    }
    bool ok = false;
    QCOMPARE(decipherPassword(hex, &ok), plain);
    QVERIFY(ok);
    if (!plain.isEmpty()) {
        QString broken = hex;
        broken[broken.size() - 1] = broken.at(broken.size() - 1) == QChar('0') ? QChar('1') : QChar('0');
        decipherPassword(broken, &ok);
        QVERIFY(!ok);
    }
}

QTEST_MAIN(TestParams)
#include "tst_params.moc"
