#pragma once

#include "cloud/AccountService.h"

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <functional>
#include <memory>

class InstanceChannel;
class QLockFile;
class Prompter;

namespace Ink {

// Kinds of the message dialog; the value selects its title and icon.
enum MessageKind { mkWarning = 0, mkError = 1, mkInformation = 2, mkQuestion = 3, mkInformation2 = 4 };

// Buttons of the message dialog (combinable) and the answer each one gives.
enum MessageButton : int { mbOk = 0x2000000, mbYes = 0x4000000, mbNo = 0x8000000, mbCancel = 0x10000000 };
enum MessageAnswer : int { maOk = 0, maYes = 1, maNo = 2, maCancel = 3 };

} // namespace Ink

// What the GUI thread publishes for worker threads. Workers read it instead of asking the
// window through a blocking call, so nothing ever waits for the GUI thread while holding the
// connection lock.
class GuiSnapshot
{
public:
    std::atomic<bool> signedIn{false};
    std::atomic<bool> cloudSyncOn{false};
    std::atomic<bool> documentModified{false};
    std::atomic<bool> closing{false};
    std::atomic<qint64> lastInputMsecs{0}; // local input time, ms since the epoch; 0 = no input this run

    // True when a background sync may commit now: sync on, signed in, nothing unsaved and the
    // last input (there must have been one) more than 30 s ago.
    bool canThreadSync(qint64 nowMsecs) const;
    bool canThreadSync() const;
};

class App final : public QObject
{
    Q_OBJECT
public:
    explicit App(QObject *parent = nullptr);
    ~App() override;

    // Ordered start-up; false or an Exception means the process must end with -1, unless
    // handedOver(): the program already running on this data folder took the start over.
    bool init();
    bool handedOver() const { return m_handedOver; }
    // init took the start-up copy itself, before it changed rows; the window then takes none.
    bool startupCopyTaken() const { return m_startupCopyTaken; }
    // Final backup (when autoBackupDb) and close of the connection. Safe to call more than once.
    void deinit();
    // Sets quitting; with force the process ends at once with -1, else the event loop is asked to end.
    void quit(bool force = false);
    // Runs the shutdown routine without questions, then (after deinit) starts the same executable
    // again with the same arguments and working folder; the exit code is 0.
    void restart();
    // Work that must wait until deinit has closed the files and released the instance lock.
    void setAfterExit(std::function<void()> action) { m_afterExit = std::move(action); }

    QString title() const;

    QString appPath() const { return m_appPath; }
    QString logPath() const { return m_logPath; }
    QString tmpPath() const { return m_tmpPath; }
    QString sqlDriversPath() const { return m_sqlDriversPath; }
    QString appDataPath() const { return m_appDataPath; }
    QString defaultBackupPath() const { return m_defaultBackupPath; }
    // A file or folder shipped with the program ("guide/guide.md", "libraries/"): beside it in
    // the build folder, else where an installed tree keeps it (whether or not it exists).
    QString shippedPath(const QString &relative) const;
    // Folder the shipped library files are copied from when missing in the data folder.
    QString librarySourcePath() const;
    void setLibrarySourcePath(const QString &path);

    bool isQuitting() const { return m_quitting.load(); }

    // Reports a fatal start-up failure: written to the error log and shown with showError.
    void reportFatal(const QString &text);

    // Progress texts of start-up; shown nowhere by default.
    void setProgressHook(std::function<void(const QString &)> hook) { m_progressHook = std::move(hook); }

    // Answers questions of worker threads from the published snapshot; thread-safe.
    // "getCanThreadSync" gives a bool, any other key the integer 0.
    QVariant syncOut(const QString &key) const;

    // State that several threads read and write (session, news, links, upgrade state):
    // copied in and out under a mutex, never shared by reference.
    void setSharedValue(const QString &key, const QVariant &value);
    QVariant sharedValue(const QString &key, const QVariant &defaultValue = QVariant()) const;

    // The system's machine id (empty when unreadable); tests replace the source.
    QString machineUniqueId();
    static void setMachineIdSource(std::function<QString()> source);
    // The identifier to store: an empty computed id keeps the stored one, and only a first start
    // without a readable machine id makes one up.
    static QString resolveMachineId(const QString &stored, const QString &computed);

    // SIGTERM, SIGINT and SIGHUP become requestOrderlyQuit() on the GUI thread.
    static void installQuitSignalHandlers();
    // Quit without questions. Emits orderlyQuitRequested(); when nothing is connected (no window),
    // saves the parameters (when they were read in this run) and ends the event loop with 0. deinit
    // runs after the loop in main.
    void requestOrderlyQuit();

    // --- user interface (AppPrompts.cpp): forwarded to the installed Prompter; without one
    // the request is logged and answered with "cancel" (Ink::maCancel, 0 or false) ---
    void setPrompter(Prompter *prompter) { m_prompter = prompter; }
    Prompter *prompter() const { return m_prompter; }
    int showMessage(int kind, const QString &text, int buttons = Ink::mbOk, const QString &title = QString());
    void showInfo(const QString &text);
    void showError(const QString &text);
    int ask(const QString &text, int buttons = Ink::mbYes | Ink::mbNo, const QString &title = QString());
    void applySkin(const QString &name);
    void applyUiFont(const QString &family, int pointSize);
    // The folder chooser. It starts in `path` when that exists, else in the folder last chosen
    // for `purpose` ("export", "import", "backup", "materialImport"), else in the home folder.
    bool chooseDirectory(const QString &caption, QString &path, const QString &purpose = QString());
    void exitForInstall(const QString &installerPath);

    // The user account (sign-in, heartbeat, session); callable from any thread. Its user
    // changes come out of this object as refreshUserInfo().
    AccountService &account() { return m_account; }

    // The storage layer's connection (it owns it); the name stays for the callers above.
    QSqlDatabase &db() const;
    // Written by the GUI thread, read by the workers.
    GuiSnapshot &guiSnapshot() { return m_guiSnapshot; }

    // What a finished download ("APP" or "MATERIAL") leads to is the upgrade code's business;
    // it installs its handler here.
    using DownloadFinishedHandler = std::function<void(const QString &fileName, const QString &downloadFlag)>;
    void setDownloadFinishedHandler(DownloadFinishedHandler handler) { m_downloadFinished = std::move(handler); }

public slots:
    void onDownloadFinished(const QString &fileName, const QString &downloadFlag);

signals:
    // The signed-in user changed (sign-in, sign-out, a change of user); the window refreshes its
    // login label and summary.
    // Workers have no signal to ask the window with: they read syncOut(), never a blocking call.
    void refreshUserInfo();
    // A signal-driven quit: the window saves what it must, stops its threads and ends the loop.
    void orderlyQuitRequested();
    // A second start on this data folder asked for the window.
    void activationRequested();

private:
    void initPaths();
    // Hands the folders to the layers below (AppPaths).
    void publishPaths() const;
    void progress(const QString &text);
    // Takes the data folder's instance lock; on failure says why in *failure.
    bool lockInstance(QString *failure);
    void releaseInstance();
    void initMachineIdentity();

    QString m_appPath;
    QString m_logPath;
    QString m_tmpPath;
    QString m_sqlDriversPath;
    QString m_appDataPath;
    QString m_defaultBackupPath;
    QString m_librarySourcePath;
    Prompter *m_prompter = nullptr;
    std::function<void(const QString &)> m_progressHook;
    DownloadFinishedHandler m_downloadFinished;
    std::function<void()> m_afterExit;
    std::unique_ptr<QLockFile> m_instanceLock;
    InstanceChannel *m_instanceChannel = nullptr;
    bool m_handedOver = false;
    bool m_startupCopyTaken = false;
    std::atomic<bool> m_quitting{false};
    GuiSnapshot m_guiSnapshot;
    AccountService m_account; // after m_guiSnapshot, whose signedIn it keeps
    mutable QMutex m_sharedMutex;
    QVariantHash m_shared;
    bool m_initialized = false;
    bool m_quitRequested = false;
};

extern App g_App;
