#include "TestService.h"

#include "app/App.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <signal.h>

quint16 freeLoopbackPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

TestService::TestService() : m_oldUrl(qgetenv("INKBOAT_SERVICE_URL"))
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_data.filePath(QStringLiteral("server.log")), QIODevice::Append);
}

TestService::~TestService()
{
    stop();
    const QString store = QStringLiteral("service-store-%1").arg(quintptr(this));
    if (QSqlDatabase::contains(store))
        QSqlDatabase::removeDatabase(store);
    if (m_oldUrl.isNull())
        qunsetenv("INKBOAT_SERVICE_URL");
    else
        qputenv("INKBOAT_SERVICE_URL", m_oldUrl);
}

bool TestService::start()
{
    if (isRunning())
        return true;
    const QString server = QStringLiteral(INKBOAT_SOURCE_DIR "/server");
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (m_port == 0 || attempt > 0)
            m_port = freeLoopbackPort();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("INKBOAT_SERVER_DATA"), m_data.path());
        env.insert(QStringLiteral("INKBOAT_SERVICE_FAULTS_FILE"), m_data.filePath(QStringLiteral("faults.txt")));
        env.insert(QStringLiteral("PHP_CLI_SERVER_WORKERS"), QStringLiteral("4"));
        // The tests sign up many users from one address.
        env.insert(QStringLiteral("INKBOAT_LIMIT_REGISTER_PER_HOUR"), QStringLiteral("1000000"));
        m_process.setProcessEnvironment(env);
        // Its own process group, so stop() takes the workers along.
        m_process.start(QStringLiteral("setsid"),
                        {QStringLiteral("php"), QStringLiteral("-S"), QStringLiteral("127.0.0.1:%1").arg(m_port),
                         QStringLiteral("-t"), server, server + QStringLiteral("/tests/test-router.php")});
        if (!m_process.waitForStarted(5000))
            continue;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000 && isRunning()) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, m_port);
            if (probe.waitForConnected(200)) {
                qputenv("INKBOAT_SERVICE_URL", baseUrl().toUtf8());
                return true;
            }
            QThread::msleep(50);
        }
        stop();
    }
    return false;
}

void TestService::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    const qint64 pid = m_process.processId();
    if (pid > 0)
        ::kill(-pid_t(pid), SIGTERM);
    if (!m_process.waitForFinished(5000)) {
        ::kill(-pid_t(pid), SIGKILL);
        m_process.waitForFinished(2000);
    }
}

void TestService::setFaults(const QString &rules)
{
    m_rules = rules;
    if (rules.isEmpty()) // and every gate open
        for (const QString &gate : QDir(m_data.path()).entryList({QStringLiteral("gate-*")}))
            QFile::remove(m_data.filePath(gate));
    QFile file(m_data.filePath(QStringLiteral("faults.txt")));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(rules.toUtf8());
}

int TestService::faultCalls(const QString &action) const
{
    QFile file(m_data.filePath(QStringLiteral("fault-counters.json")));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    // The counts start afresh with each text of rules, which the service names by its MD5.
    const QJsonObject state = QJsonDocument::fromJson(file.readAll()).object();
    const QByteArray hash =
        QCryptographicHash::hash(("\n" + m_rules).toUtf8(), QCryptographicHash::Md5).toHex();
    if (state.value(QStringLiteral("hash")).toString().toLatin1() != hash)
        return 0;
    return state.value(QStringLiteral("counts")).toObject().value(action).toInt();
}

void TestService::setGate(const QString &action, bool closed) const
{
    const QString gate = m_data.filePath(QStringLiteral("gate-") + action);
    closed ? void(QFile(gate).open(QIODevice::WriteOnly)) : void(QFile::remove(gate));
}

bool TestService::putAppFile(const QString &name, const QByteArray &bytes) const
{
    QDir().mkpath(m_data.filePath(QStringLiteral("app")));
    QFile file(m_data.filePath(QStringLiteral("app/") + name));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QString TestService::log() const
{
    QFile file(m_data.filePath(QStringLiteral("server.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QVector<QVariantList> TestService::query(const QString &sql, const QVariantList &binds) const
{
    QVector<QVariantList> out;
    const QString name = QStringLiteral("service-store-%1").arg(quintptr(this));
    QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name)
                                                   : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    if (!db.isOpen()) {
        db.setDatabaseName(m_data.filePath(QStringLiteral("inkboat-service.sqlite")));
        // The workers write meanwhile (WAL): wait for their locks rather than fail.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=20000"));
        db.open();
    }
    QSqlQuery q(db);
    q.prepare(sql);
    for (const QVariant &v : binds)
        q.addBindValue(v);
    if (!q.exec())
        qWarning("service store: %s", qPrintable(q.lastError().text()));
    while (q.next()) {
        out << QVariantList();
        for (int i = 0; i < q.record().count(); ++i)
            out.last() << q.value(i);
    }
    return out;
}

bool TestService::admin(const QStringList &args) const
{
    QProcess admin;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("INKBOAT_SERVER_DATA"), dataPath());
    admin.setProcessEnvironment(env);
    admin.start(QStringLiteral("php"), QStringList{QStringLiteral(INKBOAT_SOURCE_DIR "/server/admin.php")} + args);
    return admin.waitForFinished(10000) && admin.exitStatus() == QProcess::NormalExit && admin.exitCode() == 0;
}

bool TestService::signInNewUser(const QString &name)
{
    return g_App.account().registerUser(name, QStringLiteral("secret1"), name + QStringLiteral("@example.com"), true) &&
           g_App.account().login(name, QStringLiteral("secret1"), true);
}
