#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

// A throw-away user profile: HOME and the XDG folders point into a temporary folder, so the
// program's data folder is <temp>/data/inkboathq/Inkboat/. Never touches the real profile.
class TestProfile
{
public:
    TestProfile();
    ~TestProfile();

    QString root() const { return m_dir.path(); }
    QString dataPath() const; // ends with "/"
    QString file(const QString &name) const { return dataPath() + name; }

private:
    QTemporaryDir m_dir;
    QByteArray m_oldHome, m_oldData, m_oldConfig, m_oldCache;
    bool m_ownServiceUrl = false;
};

// Runs g_App.init() like a fresh process would (default parameters), giving `answer` to every
// question (-1: dismissed) and recording the messages shown.
struct StartResult {
    bool ok = false;
    QStringList messages;  // messages shown during start-up
    QList<int> kinds;      // their Ink::MessageKind, in the same order
    QString exception;     // message of an Exception thrown by init
};
StartResult startApp(int answer = -1);
// Starts the application in a test function, failing it with the messages shown when it refuses.
#define START_OK()                                                                                                     \
    do {                                                                                                               \
        const StartResult r_ = startApp();                                                                             \
        QVERIFY2(r_.ok, qPrintable(r_.messages.join('|') + r_.exception));                                             \
    } while (0)
void stopApp();

// Opens a file of the data folder on a connection of its own (cipher key for libraries).
// Returns the connection name; remove with closeSideConnection.
QString openSideConnection(const QString &fileName, const QString &key = QString());
void closeSideConnection(const QString &name);
// Runs the statements in order on a side connection; false (and a warning) at the first failure.
bool onSideConnection(const QString &fileName, const QString &key, const QStringList &statements);
// The first value of a query on a side connection; invalid when it fails or has no row.
QVariant sideValue(const QString &fileName, const QString &sql, const QString &key = QString());

// Today's log of a category ("err", "thread", ...) as text; empty when there is none.
QString todaysLog(const QString &category = QStringLiteral("err"));

// SHA-256 of a file's bytes, hex.
QByteArray fileDigest(const QString &fileName);
