#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QVariantList>
#include <QVector>

// A private instance of the web service from server/: PHP's built-in server on a free loopback
// port with a throw-away store, several workers, and the fault hook file of the service's own
// tests (INKBOAT_SERVICE_FAULTS_FILE). Points INKBOAT_SERVICE_URL at itself while it exists.
class TestService
{
public:
    TestService();
    ~TestService();

    bool start(); // on the same port again after stop()
    void stop();
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_port); }
    quint16 port() const { return m_port; }
    // Rules of the fault hook, e.g. "login=fail" or "heartbeat=delay_ms=3000"; empty clears them
    // and opens every gate.
    void setFaults(const QString &rules);
    QString faults() const { return m_rules; }
    // How many calls of action the rules in force have counted so far (rules with ":n" only);
    // "action@held": how many of its holds have begun.
    int faultCalls(const QString &action) const;
    // While closed, a hold of action (a "hold_ms" rule) lasts until the gate opens again.
    void setGate(const QString &action, bool closed) const;
    QString log() const;
    // The service's data folder; upgrade files go to its app/ folder.
    QString dataPath() const { return m_data.path(); }
    // Writes a file of the app/ folder (version files, packages); whether it was written whole.
    bool putAppFile(const QString &name, const QByteArray &bytes) const;
    // A query of the service's store (the default SQLite one), for checking what the service
    // holds without going through its protocol, or leaving there what an older service would
    // have; rows of values, empty on any error.
    QVector<QVariantList> query(const QString &sql, const QVariantList &binds = {}) const;
    // Runs server/admin.php with args on this service's store; whether it ended with 0.
    bool admin(const QStringList &args) const;
    // A new account `name` (password "secret1") at this service, and the program signed in as it.
    static bool signInNewUser(const QString &name);

private:
    QTemporaryDir m_data;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_rules;
    QByteArray m_oldUrl;
};

// A loopback port nobody listens on right now.
quint16 freeLoopbackPort();
