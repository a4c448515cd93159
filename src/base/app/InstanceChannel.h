#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// The line between a running program and a second start on the same data folder: the second
// start asks the first to show its window and ends, instead of refusing to start.
class InstanceChannel final : public QObject
{
    Q_OBJECT
public:
    explicit InstanceChannel(QObject *parent = nullptr);
    ~InstanceChannel() override;

    // Local socket name of one user's data folder (the folder path is hashed, since socket paths
    // are short).
    static QString socketName(const QString &appDataPath);

    // Listens as the running program. Only the holder of the data folder's instance lock calls
    // this, so a socket file still there was left by a program that was killed.
    bool listen(const QString &appDataPath);

    // Asks the running program to come to the front; true when it confirmed within timeoutMs.
    static bool activateRunning(const QString &appDataPath, int timeoutMs);

signals:
    // A second start asked for the window (handled on the thread that owns the channel).
    void activationRequested();

private:
    void serve();

    QLocalServer *m_server = nullptr;
};
