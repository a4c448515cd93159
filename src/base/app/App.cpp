#include "app/App.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/Backup.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
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

#include <csignal>
#include <cstdlib>
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

App::App(QObject *parent) : QObject(parent) {}

App::~App() = default;

QString App::title() const { return Ink::titleFormat().arg(Ink::productName(), Ink::appVersion()); }

QString App::librarySourcePath() const
{
    if (!m_librarySourcePath.isEmpty())
        return m_librarySourcePath;
    return QDir::fromNativeSeparators(m_appPath) + QStringLiteral("libraries/");
}

void App::progress(const QString &text)
{
    if (m_progressHook)
        m_progressHook(text);
}

void App::reportFatal(const QString &text)
{
    writeLog(QStringLiteral("err"), text);
    if (m_messageHook)
        m_messageHook(Ink::mkError, text);
    else
        showError(text);
}

QVariant App::syncOut(const QString &key) const
{
    if (key == QLatin1String("getCanThreadSync"))
        return guiSnapshot.canThreadSync();
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
    m_defaultBackupPath = m_appDataPath + QStringLiteral("backup") + sep;
}

bool App::lockInstance()
{
    m_instanceLock = std::make_unique<QLockFile>(m_appDataPath + Ink::applicationName() + QStringLiteral(".lock"));
    // A running instance keeps its lock however long it runs; a crashed one's lock is stale.
    m_instanceLock->setStaleLockTime(0);
    if (m_instanceLock->tryLock(0))
        return true;
    m_instanceLock.reset();
    return false;
}

QString App::machineUniqueId()
{
    QString id = QString::fromLatin1(QSysInfo::machineUniqueId()).trimmed();
    if (!id.isEmpty())
        return id;
    id = getSysParam(QStringLiteral("Sys.GeneratedMachineId"));
    if (id.isEmpty()) {
        id = newGuid();
        setSysParam(QStringLiteral("Sys.GeneratedMachineId"), id, true);
    }
    return id;
}

void App::initMachineIdentity()
{
    const QString id = machineUniqueId();
    if (getSysParam(QStringLiteral("Sys.MachineUniqueId"), QString()) != id)
        setSysParam(QStringLiteral("Sys.MachineUniqueId"), id, true);
    QNetworkProxyFactory::setUseSystemConfiguration(false);
}

namespace {

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

    // 1. paths
    m_quitRequested = false;
    initPaths();
    if (g_SysParams.autoBackupDbPath.isEmpty())
        g_SysParams.autoBackupDbPath = m_defaultBackupPath;

    // 2. diagnostics
    qDebug().noquote() << "apppath:" << m_appPath;
    qDebug().noquote() << "appdatapath:" << m_appDataPath;
    qDebug().noquote() << "logpath:" << m_logPath;
    qDebug().noquote() << "tmppath:" << m_tmpPath;
    qDebug().noquote() << "OrigDbTableNames:" << Ink::origDbTableNames().join(QLatin1Char(','));
    qDebug().noquote() << "Ink::TableType::ttMaterial:" << dbFileName(Ink::ttMaterial);
    qDebug().noquote() << "Ink::TableType::ttMaterial:" << tableName(Ink::ttMaterial);
    qDebug().noquote() << "Guid:" << newGuid();
    qDebug().noquote() << "g_SysParams.autoBackupDbPath:" << g_SysParams.autoBackupDbPath;

    // 3. folders
    progress(QStringLiteral("应用初始化开始..."));
    QDir dir;
    for (const QString &path : {m_appDataPath, m_logPath, m_tmpPath, m_defaultBackupPath})
        dir.mkpath(path);
    QFile::setPermissions(m_appDataPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QCoreApplication::addLibraryPath(m_sqlDriversPath);

    // The files are held exclusively while we run; a second instance stops here, touching nothing.
    if (!lockInstance()) {
        reportFatal(QStringLiteral("%1已经在运行，不能同时启动两个。").arg(Ink::productName()));
        quitting = true;
        return false;
    }

    // 4. icons
    progress(QStringLiteral("初始化图标开始..."));
    nodeIcons.clear();
    // Icons need a GUI application (a pixmap aborts without one); tools and base tests have none.
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        nodeIcons.insert(QStringLiteral("1"), QIcon(QStringLiteral(":/res/icons/book03.png")));
        nodeIcons.insert(QStringLiteral("2"), QIcon(QStringLiteral(":/res/icons/folder04.png")));
        nodeIcons.insert(QStringLiteral("3"), QIcon(QStringLiteral(":/res/icons/file01.png")));
    }

    // 5. connection and attached files
    progress(QStringLiteral("初始化数据库开始..."));
    progress(QStringLiteral("连接主数据库..."));
    OpenedFiles files;
    if (!openConnection(&files)) {
        closeConnection();
        m_instanceLock.reset();
        quitting = true;
        return false;
    }
    progress(QStringLiteral("主数据库连接其他数据库..."));
    try {
        attachLibraries();
        logSqliteVersion();
    } catch (const Exception &e) {
        reportFatal(QStringLiteral("打开素材库失败，有可能素材损坏或版本问题，请下载完整版素材安装，错误原因：\r\n") +
                    e.message());
        deinit();
        quitting = true;
        return false;
    }

    // 6.–7. schema
    progress(QStringLiteral("初始化数据库表等..."));
    createTables();
    migrateSchema();
    createIndexes();
    progress(QStringLiteral("初始化数据库数据..."));
    seedLogVersion(files);

    // 8. library versions
    progress(QStringLiteral("检查数据库版本..."));
    const int tooOld = checkLibraryVersions();
    if (tooOld >= 0) {
        static const char *const messages[] = {"您的素材库版本异常，请到官方网站下载最新的完整版安装！",
                                               "您的句词库版本异常，请到官方网站下载最新的完整版安装！",
                                               "您的文章库版本异常，请到官方网站下载最新的完整版安装！"};
        reportFatal(QString::fromUtf8(messages[tooOld]));
        quitting = true;
        deinit();
        return false;
    }

    // 9. cache and locking
    progress(QStringLiteral("优化数据库缓存..."));
    optimizeConnection();

    // 10. machine identity
    initMachineIdentity();

    // 11. parameters, skin, font
    progress(QStringLiteral("读取应用参数..."));
    loadSysParams();
    installFontSubstitutions();
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        applySkin(g_SysParams.visibilityParams.skinName);
        applyUiFont(g_SysParams.visibilityParams.uiFontName, g_SysParams.visibilityParams.uiFontSize);
    }

    // 12. shrink, repair
    progress(QStringLiteral("收缩数据库..."));
    if (g_SysParams.autoShrinkDb)
        execSql(QStringLiteral("VACUUM"));
    repairTrees();

    // 13. list converters of the JSON mapping
    registerSysParamsTypes();
    progress(QStringLiteral("应用初始化完成..."));
    m_initialized = true;
    return true;
}

void App::deinit()
{
    PerformanceLogger perf(QStringLiteral("app.deinit"));
    {
        DbLocker lock;
        if (db.isValid() && db.isOpen() && g_SysParams.autoBackupDb)
            backupDatabase(true);
        closeConnection();
    }
    m_instanceLock.reset();
    nodeIcons.clear();
    m_initialized = false;
}

void App::quit(bool force)
{
    quitting = true;
    guiSnapshot.closing = true;
    if (force) {
        closeConnection();
        std::_Exit(-1);
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}

void App::restart()
{
    quitting = true;
    guiSnapshot.closing = true;
    QProcess::startDetached(QCoreApplication::applicationFilePath(), QCoreApplication::arguments().mid(1),
                            QDir::currentPath());
    QCoreApplication::exit(0);
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
    quitting = true;
    guiSnapshot.closing = true;
    if (isSignalConnected(QMetaMethod::fromSignal(&App::orderlyQuitRequested))) {
        emit orderlyQuitRequested();
        return;
    }
    try {
        if (db.isValid() && db.isOpen())
            saveSysParams();
    } catch (const Exception &e) {
        logException(e);
    }
    QCoreApplication::exit(0);
}
