#include "app/App.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "app/InstanceChannel.h"
#include "core/AppPaths.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/Backup.h"
#include "storage/DatabaseDamage.h"
#include "storage/Connection.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLockFile>
#include <QMetaMethod>
#include <QNetworkProxyFactory>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QSysInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <cstdlib>
#include <limits>
#include <sys/socket.h>
#include <unistd.h>

App g_App;

bool GuiSnapshot::canThreadSync(qint64 nowMsecs) const
{
    const qint64 last = lastInputMsecs.load();
    return cloudSyncOn.load() && signedIn.load() && !documentModified.load() && !closing.load() && last > 0 &&
           nowMsecs - last > 30000;
}

bool GuiSnapshot::canThreadSync() const { return canThreadSync(QDateTime::currentMSecsSinceEpoch()); }

App::App(QObject *parent)
    : QObject(parent),
      m_account(m_guiSnapshot.signedIn, [this](bool isError, const QString &text) {
          if (isError)
              showError(text);
          else
              showInfo(text);
      })
{
    // Direct: the signal leaves from the thread that changed the user, as App's own would.
    connect(&m_account, &AccountService::userChanged, this, &App::refreshUserInfo, Qt::DirectConnection);
}

QSqlDatabase &App::db() const { return dbConnection(); }

App::~App() = default;

QString App::title() const { return Ink::titleFormat().arg(Ink::productName(), Ink::appVersion()); }

QString App::shippedPath(const QString &relative) const
{
    // Beside the program in the build folder; under share/inkboat/ of an installed tree.
    const QString appPath = QDir::fromNativeSeparators(m_appPath);
    const QString beside = appPath + relative;
    if (QFileInfo::exists(beside))
        return beside;
    return QDir::cleanPath(appPath + QStringLiteral("../share/inkboat/") + relative) +
           (relative.endsWith(QLatin1Char('/')) ? QStringLiteral("/") : QString());
}

QString App::librarySourcePath() const
{
    return m_librarySourcePath.isEmpty() ? shippedPath(QStringLiteral("libraries/")) : m_librarySourcePath;
}

void App::setLibrarySourcePath(const QString &path)
{
    m_librarySourcePath = path;
    publishPaths();
}

void App::publishPaths() const
{
    AppPaths paths;
    paths.appPath = m_appPath;
    paths.appDataPath = m_appDataPath;
    paths.logPath = m_logPath;
    paths.tmpPath = m_tmpPath;
    paths.sqlDriversPath = m_sqlDriversPath;
    paths.defaultBackupPath = m_defaultBackupPath;
    paths.librarySourcePath = librarySourcePath();
    AppPaths::set(paths);
}

void App::progress(const QString &text)
{
    if (m_progressHook)
        m_progressHook(text);
}

void App::reportFatal(const QString &text)
{
    writeLog(QStringLiteral("err"), text);
    showError(text);
}

QVariant App::syncOut(const QString &key) const
{
    if (key == QLatin1String("getCanThreadSync"))
        return m_guiSnapshot.canThreadSync();
    return 0;
}

void App::onDownloadFinished(const QString &fileName, const QString &downloadFlag)
{
    if (m_downloadFinished)
        m_downloadFinished(fileName, downloadFlag);
}

void App::setSharedValue(const QString &key, const QVariant &value)
{
    QMutexLocker lock(&m_sharedMutex);
    m_shared.insert(key, value);
}

QVariant App::sharedValue(const QString &key, const QVariant &defaultValue) const
{
    QMutexLocker lock(&m_sharedMutex);
    return m_shared.value(key, defaultValue);
}

void App::initPaths()
{
    const QChar sep = QDir::separator();
    m_appPath = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    if (!m_appPath.endsWith(sep))
        m_appPath += sep;
    m_appDataPath = QDir::toNativeSeparators(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    if (!m_appDataPath.endsWith(sep))
        m_appDataPath += sep;
    m_logPath = m_appDataPath + QStringLiteral("log") + sep;
    m_tmpPath = m_appDataPath + QStringLiteral("temp") + sep;
    m_sqlDriversPath = m_appPath + QStringLiteral("sqldrivers") + sep;
    // An installed program keeps its driver under lib/inkboat/, away from bin/.
    const QString installedDrivers =
        QDir::toNativeSeparators(QDir::cleanPath(m_appPath + QStringLiteral("../lib/inkboat/sqldrivers"))) + sep;
    if (!QFileInfo::exists(m_sqlDriversPath) && QFileInfo::exists(installedDrivers))
        m_sqlDriversPath = installedDrivers;
    m_defaultBackupPath = m_appDataPath + QStringLiteral("backup") + sep;
    publishPaths();
}

namespace {

bool processRunning(qint64 pid) { return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM); }

// The system's reason why nothing can be written in a folder (read-only, full disk, not a
// folder); empty when a small file can be written there after all.
QString folderWriteError(const QString &folder)
{
    const QByteArray name =
        QFile::encodeName(folder + QStringLiteral(".write-check-%1").arg(QCoreApplication::applicationPid()));
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    const char block[512] = {};
    int error = 0;
    if (::write(fd, block, sizeof block) != ssize_t(sizeof block) || ::fsync(fd) != 0)
        error = errno;
    ::close(fd);
    ::unlink(name.constData());
    return error ? QString::fromLocal8Bit(std::strerror(error)) : QString();
}

} // namespace

bool App::lockInstance(QString *failure)
{
    const QString lockName = m_appDataPath + Ink::applicationName() + QStringLiteral(".lock");
    m_instanceLock = std::make_unique<QLockFile>(lockName);
    // A running instance keeps its lock however long it runs; a crashed one's lock is stale.
    m_instanceLock->setStaleLockTime(0);
    if (m_instanceLock->tryLock(0)) {
        if (!m_instanceChannel) {
            m_instanceChannel = new InstanceChannel(this);
            connect(m_instanceChannel, &InstanceChannel::activationRequested, this, &App::activationRequested);
        }
        m_instanceChannel->listen(m_appDataPath);
        return true;
    }
    // Only a lock whose holder still runs (or runs on another machine) means "already running";
    // anything else is a folder where no lock can be made or replaced.
    qint64 pid = 0;
    QString host, appName;
    const bool held = m_instanceLock->error() == QLockFile::LockFailedError &&
                      m_instanceLock->getLockInfo(&pid, &host, &appName) &&
                      ((!host.isEmpty() && host != QSysInfo::machineHostName()) || processRunning(pid));
    m_instanceLock.reset();
    // The running program shows its window instead; only one that does not answer is reported.
    if (held && InstanceChannel::activateRunning(m_appDataPath, 2000)) {
        m_handedOver = true;
        return false;
    }
    if (held) {
        *failure = QStringLiteral("%1已经在运行，不能同时启动两个。").arg(Ink::productName());
    } else {
        QString reason = folderWriteError(m_appDataPath);
        if (reason.isEmpty())
            reason = QStringLiteral("已有的锁文件%1无法读取或删除").arg(QDir::toNativeSeparators(lockName));
        *failure = QStringLiteral("无法在数据文件夹%1中建立锁文件（%2），%3不能启动。"
                                  "请检查该文件夹是否可写、磁盘是否已满。")
                       .arg(QDir::toNativeSeparators(m_appDataPath), reason, Ink::productName());
    }
    return false;
}

namespace {

std::function<QString()> &machineIdSource()
{
    static std::function<QString()> source;
    return source;
}

} // namespace

void App::setMachineIdSource(std::function<QString()> source) { machineIdSource() = std::move(source); }

void App::releaseInstance()
{
    // No second start may be told "shown" once this program no longer holds the folder.
    delete m_instanceChannel;
    m_instanceChannel = nullptr;
    m_instanceLock.reset();
}

QString App::machineUniqueId()
{
    if (machineIdSource())
        return machineIdSource()().trimmed();
    return QString::fromLatin1(QSysInfo::machineUniqueId()).trimmed();
}

QString App::resolveMachineId(const QString &stored, const QString &computed)
{
    if (!computed.isEmpty())
        return computed;
    return stored.isEmpty() ? newGuid() : stored;
}

void App::initMachineIdentity()
{
    const QString stored = getSysParam(QStringLiteral("Sys.MachineUniqueId"), QString());
    const QString id = resolveMachineId(stored, machineUniqueId());
    if (id != stored)
        setSysParam(QStringLiteral("Sys.MachineUniqueId"), id, true);
    QNetworkProxyFactory::setUseSystemConfiguration(false);
}

namespace {

// The main file could not be used. A damaged one is never taken as a new profile: the newest
// backup that passes the check is offered in its place. True when start-up may go on.
bool recoverMainFile(const OpenedFiles &files)
{
    const QString mainFile = QDir::toNativeSeparators(mainDbFileName());
    if (files.mainFault == OpenedFiles::mfBusy) {
        g_App.reportFatal(QStringLiteral("数据文件正被另一个程序占用，%1无法打开它：\r\n%2\r\n数据文件夹：%3\r\n"
                                         "请先关闭使用这个文件夹的程序，再启动%1。")
                              .arg(Ink::productName(), files.mainError, g_App.appDataPath()));
        return false;
    }
    if (files.mainFault != OpenedFiles::mfDamaged) {
        g_App.reportFatal(QStringLiteral("打开数据文件失败：%1\r\n错误原因：%2").arg(mainFile, files.mainError));
        return false;
    }
    const QString backup = newestUsableBackup();
    if (backup.isEmpty()) {
        g_App.reportFatal(QStringLiteral("数据文件是空的或已损坏：%1\r\n错误原因：%2\r\n备份文件夹 %3 中没有通过检查的备份。"
                                         "这个文件不会被当作新资料覆盖；请把它移走后再启动，或找回一份备份放入备份文件夹。")
                              .arg(mainFile, files.mainError, backupFolder()));
        return false;
    }
    const QString text =
        QStringLiteral("数据文件是空的或已损坏，不能当作新资料使用：\r\n%1（%2）\r\n\r\n最新的完好备份是：\r\n%3（%4）"
                       "\r\n\r\n用这份备份恢复吗？损坏的文件会改名留在原处，不会删除。选“否”则退出程序，不改动任何文件。")
            .arg(mainFile, files.mainError, QDir::toNativeSeparators(backup),
                 QFileInfo(backup).lastModified().toString(Ink::dateTimeFormat()));
    writeLog(QStringLiteral("err"), text);
    if (g_App.ask(text, Ink::mbYes | Ink::mbNo) != Ink::maYes) {
        writeLog(QStringLiteral("err"), QStringLiteral("没有恢复备份，程序退出，数据文件未改动。"));
        return false;
    }
    QString aside;
    QString error;
    if (!restoreMainFile(backup, &aside, &error)) {
        g_App.reportFatal(QStringLiteral("恢复备份失败：") + error);
        return false;
    }
    writeLog(QStringLiteral("err"), QStringLiteral("已用备份 %1 恢复数据文件，损坏的文件改名为 %2")
                                        .arg(QDir::toNativeSeparators(backup), QDir::toNativeSeparators(aside)));
    return true;
}

// Stored font names come from Windows; map them onto installed CJK fonts.
void installFontSubstitutions()
{
    const QStringList serif = {QStringLiteral("Noto Serif CJK SC"), QStringLiteral("AR PL UMing CN"),
                               QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Zen Hei"),
                               QStringLiteral("WenQuanYi Micro Hei")};
    const QStringList sans = {QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Micro Hei"),
                              QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("Droid Sans Fallback")};
    for (const QString &name : {QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("新宋体")})
        QFont::insertSubstitutions(name, serif);
    for (const QString &name : {QStringLiteral("微软雅黑"), QStringLiteral("Microsoft YaHei"),
                                QStringLiteral("microsoft yahei"), QStringLiteral("黑体"), QStringLiteral("SimHei")})
        QFont::insertSubstitutions(name, sans);
}

} // namespace

bool App::init()
{
    PerformanceLogger perf(QStringLiteral("app.init"));

    // Qt's network layer would otherwise look at the network interfaces every 10 s for as long
    // as a web client exists, waking an idle program; the calls need no such watch. The longest
    // interval a timer takes (a negative one is refused with a warning). Set here, before any
    // worker thread runs, and only where the user has not chosen otherwise.
    if (!qEnvironmentVariableIsSet("QT_BEARER_POLL_TIMEOUT"))
        qputenv("QT_BEARER_POLL_TIMEOUT", QByteArray::number(std::numeric_limits<int>::max()));
    // A fresh start: parameters read by an earlier init of this process no longer count.
    m_quitRequested = false;
    m_quitting = false;
    forgetLoadedSysParams();
    initPaths();
    if (g_SysParams.autoBackupDbPath.isEmpty())
        g_SysParams.autoBackupDbPath = m_defaultBackupPath;
    // Until the stored parameters are read, backups are looked for in the default folder.
    publishSysParams();

    // Where this run keeps its files, for the reports users send.
    qDebug().noquote() << "apppath:" << m_appPath;
    qDebug().noquote() << "appdatapath:" << m_appDataPath;
    qDebug().noquote() << "logpath:" << m_logPath;
    qDebug().noquote() << "tmppath:" << m_tmpPath;
    qDebug().noquote() << "OrigDbTableNames:" << Ink::origDbTableNames().join(QLatin1Char(','));
    qDebug().noquote() << "Ink::TableType::ttMaterial:" << dbFileName(Ink::ttMaterial);
    qDebug().noquote() << "Ink::TableType::ttMaterial:" << tableName(Ink::ttMaterial);
    qDebug().noquote() << "Guid:" << newGuid();
    qDebug().noquote() << "g_SysParams.autoBackupDbPath:" << g_SysParams.autoBackupDbPath;

    // Only the owner may enter the data folder.
    progress(QStringLiteral("应用初始化开始..."));
    QDir dir;
    for (const QString &path : {m_appDataPath, m_logPath, m_tmpPath, m_defaultBackupPath})
        dir.mkpath(path);
    QFile::setPermissions(m_appDataPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // Qt looks for drivers in the sqldrivers/ folder of each library path.
    QCoreApplication::addLibraryPath(QDir::cleanPath(m_sqlDriversPath + QStringLiteral("..")));

    // The files are held exclusively while we run; a second instance stops here, touching nothing.
    QString lockFailure;
    m_handedOver = false;
    if (!lockInstance(&lockFailure)) {
        if (!m_handedOver)
            reportFatal(lockFailure);
        m_quitting = true;
        return false;
    }

    // The main file, then the libraries attached to its connection. A damaged main file is
    // never used: a backup may take its place, else the start ends here.
    progress(QStringLiteral("初始化数据库开始..."));
    progress(QStringLiteral("连接主数据库..."));
    watchDatabaseDamage(false);
    OpenedFiles files;
    bool opened = openConnection(&files);
    if (!opened) {
        closeConnection();
        if (recoverMainFile(files)) {
            files = OpenedFiles();
            opened = openConnection(&files);
            if (!opened) {
                closeConnection();
                reportFatal(QStringLiteral("打开数据文件失败：%1\r\n错误原因：%2")
                                .arg(QDir::toNativeSeparators(mainDbFileName()), files.mainError));
            }
        }
    }
    if (!opened) {
        releaseInstance();
        m_quitting = true;
        return false;
    }
    progress(QStringLiteral("主数据库连接其他数据库..."));
    try {
        attachLibraries(files);
        logSqliteVersion();
    } catch (const Exception &e) {
        reportFatal(QStringLiteral("打开素材库失败，有可能素材损坏或版本问题，请下载完整版素材安装，错误原因：\r\n") +
                    e.message());
        deinit();
        m_quitting = true;
        return false;
    }
    if (!files.logSetAside.isEmpty())
        showInfo(QStringLiteral("使用记录文件已损坏，已改名保留为：\r\n%1\r\n并新建了一个使用记录文件。"
                                "今天以前的每日写作统计等使用记录在改名后的文件中。")
                     .arg(QDir::toNativeSeparators(files.logSetAside)));

    // From here on a damaged file is reported once and keeps the exit backup from rotating.
    // Storage finds the damage; telling the author is ours.
    setDamageReporter([this](const QString &text) { showError(text); });
    watchDatabaseDamage(true);

    // Tables, and the log's version row; the columns older versions lack come after the copy below.
    progress(QStringLiteral("初始化数据库表等..."));
    createTables();
    progress(QStringLiteral("初始化数据库数据..."));
    seedLogVersion(files);

    // A library older than this program can read would give wrong results: stop with a message.
    progress(QStringLiteral("检查数据库版本..."));
    const int tooOld = checkLibraryVersions();
    if (tooOld >= 0) {
        static const char *const messages[] = {"您的素材库版本异常，请到官方网站下载最新的完整版安装！",
                                               "您的句词库版本异常，请到官方网站下载最新的完整版安装！",
                                               "您的文章库版本异常，请到官方网站下载最新的完整版安装！"};
        reportFatal(QString::fromUtf8(messages[tooOld]));
        m_quitting = true;
        deinit();
        return false;
    }

    // Cache sizes, synchronous mode and exclusive locking for the rest of the run.
    progress(QStringLiteral("优化数据库缓存..."));
    optimizeConnection();

    initMachineIdentity();

    // The parameters, then the look they choose (only a GUI application has one).
    progress(QStringLiteral("读取应用参数..."));
    loadSysParams();
    installFontSubstitutions();
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        applySkin(g_SysParams.visibilityParams.skinName);
        applyUiFont(g_SysParams.visibilityParams.uiFontName, g_SysParams.visibilityParams.uiFontSize);
    }

    // Migration and tree repair change the author's rows: when they will, the start-up copy is
    // taken first, of the file as it was (only then does the author wait for it); otherwise the
    // window takes it after its first paint. The copy goes to the folder the parameters name.
    m_startupCopyTaken = false;
    const bool changes = startupChangesPending();
    if (changes)
        m_startupCopyTaken = backupDatabase(false);
    migrateSchema();
    createIndexes();
    progress(QStringLiteral("收缩数据库..."));
    if (g_SysParams.autoShrinkDb)
        execSql(QStringLiteral("VACUUM"));
    if (changes)
        repairTrees();

    // The parameter tree's list types must be known before it is next written as JSON.
    registerSysParamsTypes();
    // The checks above read the whole file; their cached pages are of no use now, and freed they
    // make room for the book tree the window reads next.
    execSql(QStringLiteral("PRAGMA shrink_memory"));
    progress(QStringLiteral("应用初始化完成..."));
    m_initialized = true;
    return true;
}

void App::deinit()
{
    PerformanceLogger perf(QStringLiteral("app.deinit"));
    // A start-up copy still under way is given up: the exit copy below is newer.
    stopBackups();
    // The backup takes the connection lock itself and must not be called holding it.
    bool connected = false;
    {
        DbLocker lock;
        connected = db().isValid() && db().isOpen();
    }
    if (connected && g_SysParams.autoBackupDb) {
        if (databaseDamageSeen())
            writeLog(QStringLiteral("err"), QStringLiteral("数据文件已损坏，本次退出不做备份，已有的备份保持不变。"));
        else
            backupDatabase(true);
    }
    watchDatabaseDamage(false);
    closeConnection();
    releaseInstance();
    m_initialized = false;
    // An install or restart begins only now: nothing of this process holds the files any more.
    if (m_afterExit) {
        const auto action = std::move(m_afterExit);
        m_afterExit = nullptr;
        action();
    }
}

void App::quit(bool force)
{
    m_quitting = true;
    m_guiSnapshot.closing = true;
    if (force) {
        closeConnection();
        std::_Exit(-1);
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}

void App::restart()
{
    // The new process starts after the shutdown routine, deinit and the instance lock's release.
    m_afterExit = [] {
        const QString appImage = qEnvironmentVariable("APPIMAGE");
        QProcess::startDetached(appImage.isEmpty() ? QCoreApplication::applicationFilePath() : appImage,
                                QCoreApplication::arguments().mid(1), QDir::currentPath());
    };
    requestOrderlyQuit();
}

namespace {

int s_signalFds[2] = {-1, -1};

void onQuitSignal(int)
{
    const char c = 1;
    // Only async-signal-safe work here: wake the GUI thread.
    [[maybe_unused]] const ssize_t n = ::write(s_signalFds[0], &c, 1);
}

} // namespace

void App::installQuitSignalHandlers()
{
    if (s_signalFds[0] >= 0 || !QCoreApplication::instance())
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s_signalFds) != 0)
        return;
    auto *notifier = new QSocketNotifier(s_signalFds[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, QCoreApplication::instance(), []() {
        char c = 0;
        [[maybe_unused]] const ssize_t n = ::read(s_signalFds[1], &c, 1);
        g_App.requestOrderlyQuit();
    });
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
}

void App::requestOrderlyQuit()
{
    if (m_quitRequested)
        return;
    m_quitRequested = true;
    m_quitting = true;
    m_guiSnapshot.closing = true;
    if (isSignalConnected(QMetaMethod::fromSignal(&App::orderlyQuitRequested))) {
        emit orderlyQuitRequested();
        return;
    }
    try {
        if (db().isValid() && db().isOpen())
            saveSysParams();
    } catch (const Exception &e) {
        logException(e);
    }
    QCoreApplication::exit(0);
}
