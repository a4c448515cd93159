#include "TestProfile.h"

#include "ScriptedPrompter.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUuid>

TestProfile::TestProfile()
    : m_oldHome(qgetenv("HOME")), m_oldData(qgetenv("XDG_DATA_HOME")), m_oldConfig(qgetenv("XDG_CONFIG_HOME")),
      m_oldCache(qgetenv("XDG_CACHE_HOME"))
{
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    const QByteArray root = QFile::encodeName(m_dir.path());
    qputenv("HOME", root);
    qputenv("XDG_DATA_HOME", root + "/data");
    qputenv("XDG_CONFIG_HOME", root + "/config");
    qputenv("XDG_CACHE_HOME", root + "/cache");
    setLogFolder(QString());
    setLogClock(nullptr);
    // Windows start the background workers: without a test service of their own they meet a
    // refused port, never a service someone runs on the default one.
    if (qEnvironmentVariableIsEmpty("INKBOAT_SERVICE_URL")) {
        m_ownServiceUrl = true;
        qputenv("INKBOAT_SERVICE_URL", "http://127.0.0.1:1/");
    }
}

TestProfile::~TestProfile()
{
    stopApp();
    qputenv("HOME", m_oldHome);
    qputenv("XDG_DATA_HOME", m_oldData);
    qputenv("XDG_CONFIG_HOME", m_oldConfig);
    qputenv("XDG_CACHE_HOME", m_oldCache);
    if (m_ownServiceUrl)
        qunsetenv("INKBOAT_SERVICE_URL");
}

QString TestProfile::dataPath() const { return m_dir.path() + QStringLiteral("/data/inkboathq/Inkboat/"); }

StartResult startApp(int answer)
{
    StartResult result;
    g_SysParams = SysParams();
    ScriptedPrompter prompter;
    prompter.defaultAnswer = answer;
    try {
        result.ok = g_App.init();
        // Windows in tests skip the first-use tour (its modal bubbles); the tour test removes the row.
        // Written once: a start that writes would keep the start-up copy from being skipped.
        if (result.ok && getSysParam(QStringLiteral("NoviceGuidance"), QString()) != QLatin1String("1"))
            setSysParam(QStringLiteral("NoviceGuidance"), QStringLiteral("1"));
    } catch (const Exception &e) {
        result.exception = e.message();
        g_App.deinit();
    }
    for (const ScriptedPrompter::Message &m : prompter.messages) {
        result.messages << m.text;
        result.kinds << m.kind;
    }
    return result;
}

void stopApp() { g_App.deinit(); }

QString openSideConnection(const QString &fileName, const QString &key)
{
    const QString name = QStringLiteral("side-") + QUuid::createUuid().toString(QUuid::Id128);
    QSqlDatabase db = QSqlDatabase::addDatabase(sqlDriverName(), name);
    db.setDatabaseName(fileName);
    db.setPassword(key);
    db.setConnectOptions(QStringLiteral("QSQLITE_USE_CIPHER=chacha20"));
    if (!db.open())
        qWarning("side connection: %s", qPrintable(db.lastError().text()));
    return name;
}

void closeSideConnection(const QString &name)
{
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

bool onSideConnection(const QString &fileName, const QString &key, const QStringList &statements)
{
    const QString name = openSideConnection(fileName, key);
    bool ok = true;
    {
        QSqlQuery q(QSqlDatabase::database(name));
        for (int i = 0; ok && i < statements.size(); ++i)
            if (!(ok = q.exec(statements.at(i))))
                qWarning("side connection: %s: %s", qPrintable(statements.at(i)), qPrintable(q.lastError().text()));
    }
    closeSideConnection(name);
    return ok;
}

QVariant sideValue(const QString &fileName, const QString &sql, const QString &key)
{
    const QString name = openSideConnection(fileName, key);
    QVariant value;
    {
        QSqlQuery q(QSqlDatabase::database(name));
        if (q.exec(sql) && q.next())
            value = q.value(0);
    }
    closeSideConnection(name);
    return value;
}

QByteArray fileDigest(const QString &fileName)
{
    QFile f(fileName);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&f);
    return hash.result().toHex();
}

QString todaysLog(const QString &category)
{
    QFile f(logFileName(category, QDate::currentDate()));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}
