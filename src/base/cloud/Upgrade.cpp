#include "cloud/Upgrade.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "cloud/WebClient.h"
#include "log/Log.h"
#include "storage/Database.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QMutex>
#include <QScopeGuard>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <memory>

bool downloadToFile(const QString &url, const QString &path, int timeoutMs, qint64 maxBytes)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl::fromUserInput(url));
    QNetworkReply *reply = manager.get(request);
    enum class End { Running, Finished, TimedOut, Interrupted, TooLarge } end = End::Running;
    QEventLoop loop;
    QTimer timer, poll;
    timer.setSingleShot(true);
    poll.setInterval(50);
    auto finish = [&](End why) {
        if (end == End::Running)
            end = why;
        loop.quit();
    };
    QObject::connect(reply, &QNetworkReply::finished, &loop, [&] { finish(End::Finished); });
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] { finish(End::TimedOut); });
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (QThread::currentThread()->isInterruptionRequested())
            finish(End::Interrupted);
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, &loop, [&](qint64 received, qint64 total) {
        if (received > maxBytes || total > maxBytes)
            finish(End::TooLarge);
    });
    timer.start(timeoutMs);
    poll.start();
    if (QThread::currentThread()->isInterruptionRequested())
        end = End::Interrupted;
    else
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    QObject::disconnect(reply, nullptr, &loop, nullptr);
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> owner(reply, [](QNetworkReply *r) {
        r->abort();
        r->deleteLater();
    });
    switch (end) {
    case End::Interrupted:
        throw EAbort();
    case End::TooLarge:
        throw Exception(QStringLiteral("服务应答数据过大！"));
    case End::TimedOut:
    case End::Running:
        throw Exception(QStringLiteral("请求服务超时！"));
    case End::Finished:
        break;
    }
    if (reply->error() != QNetworkReply::NoError)
        throw Exception(reply->errorString());
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 200)
        throw Exception(QStringLiteral("服务应答状态%1").arg(status));
    const QByteArray body = reply->readAll();
    if (body.size() > maxBytes)
        throw Exception(QStringLiteral("服务应答数据过大！"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(body) != body.size())
        throw Exception(QStringLiteral("写入文件失败：%1").arg(QDir::toNativeSeparators(path)));
    return true;
}

namespace upgrade {

namespace {

// An unquoted comma makes QSettings return a list: the text is what the author wrote.
QString iniText(const QSettings &ini, const QString &key)
{
    const QVariant v = ini.value(key);
    if (v.type() == QVariant::StringList)
        return v.toStringList().join(QStringLiteral(", "));
    return v.toString().trimmed();
}

// A name the download may use: relative, below the update folder, with a last component.
bool safeSetupFile(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
        name.contains(QLatin1Char(':')) || name.endsWith(QLatin1Char('/')))
        return false;
    for (const QString &part : name.split(QLatin1Char('/')))
        if (part.isEmpty() || part == QLatin1String("..") || part == QLatin1String("."))
            return false;
    return true;
}

QString sharedKey(Kind kind) { return kind == App ? QStringLiteral("upgrade.app") : QStringLiteral("upgrade.material"); }

QVariantMap toMap(const UpgradeInfo &i)
{
    return {{QStringLiteral("version"), i.version},         {QStringLiteral("setupfile"), i.setupfile},
            {QStringLiteral("news"), i.news},               {QStringLiteral("forceVersion"), i.forceVersion},
            {QStringLiteral("localVersion"), i.localVersion}, {QStringLiteral("level"), i.level}};
}

UpgradeInfo fromMap(const QVariantMap &m)
{
    UpgradeInfo i;
    i.version = m.value(QStringLiteral("version")).toString();
    i.setupfile = m.value(QStringLiteral("setupfile")).toString();
    i.news = m.value(QStringLiteral("news")).toString();
    i.forceVersion = m.value(QStringLiteral("forceVersion")).toString();
    i.localVersion = m.value(QStringLiteral("localVersion")).toString();
    i.level = m.value(QStringLiteral("level"), -1).toInt();
    return i;
}

} // namespace

UpgradeInfo evaluate(const QString &versionFile, const QString &localVersion)
{
    UpgradeInfo info;
    info.localVersion = localVersion;
    QSettings ini(versionFile, QSettings::IniFormat);
    ini.setIniCodec("UTF-8");
    if (ini.status() != QSettings::NoError)
        return info;
    info.version = iniText(ini, QStringLiteral("version"));
    info.setupfile = iniText(ini, QStringLiteral("setupfile"));
    info.news = iniText(ini, QStringLiteral("news"));
    info.forceVersion = iniText(ini, QStringLiteral("forceVersion"));
    if (info.version.isEmpty() && info.news.isEmpty())
        return info;
    const double local = localVersion.toDouble();
    if (local >= info.version.toDouble())
        info.level = 0;
    else if (!info.forceVersion.isEmpty() && local < info.forceVersion.toDouble())
        info.level = 2;
    else
        info.level = 1;
    // An offered download must stay inside the temp folder and have a name to keep.
    if (info.level > 0 && !safeSetupFile(info.setupfile))
        info.level = -1;
    return info;
}

QString localVersion(Kind kind)
{
    if (kind == App)
        return Ink::appVersion();
    QString text;
    libraryVersion(Ink::ttMaterial, &text);
    return text;
}

UpgradeInfo check(Kind kind, int timeoutMs)
{
    // The worker and the about dialog may check at once; each kind has its own file.
    static QMutex appMutex, materialMutex;
    QMutex &mutex = kind == App ? appMutex : materialMutex;
    // The window never blocks on a worker's check: it keeps painting while it waits its turn.
    const bool guiThread = QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
    while (guiThread && !mutex.tryLock(0)) {
        QEventLoop wait;
        QTimer::singleShot(50, &wait, &QEventLoop::quit);
        wait.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (!guiThread)
        mutex.lock();
    const auto unlock = qScopeGuard([&mutex] { mutex.unlock(); });
    UpgradeInfo info;
    try {
        info.localVersion = localVersion(kind);
        const QString file = g_App.tmpPath() + (kind == App ? QStringLiteral("update.txt") : QStringLiteral("updateM.txt"));
        QFile::remove(file);
        downloadToFile(kind == App ? web::appUpdateInfoUrl() : web::materialUpdateInfoUrl(), file, timeoutMs);
        info = evaluate(file, info.localVersion);
    } catch (const Exception &e) {
        if (!e.isAbort())
            writeLog(QStringLiteral("err"), QStringLiteral("检查版本升级失败：%1").arg(e.message()));
        info.level = -1;
    } catch (...) {
        writeLog(QStringLiteral("err"), QStringLiteral("检查版本升级失败：未知异常"));
        info.level = -1;
    }
    g_App.setSharedValue(sharedKey(kind), toMap(info));
    return info;
}

UpgradeInfo upgradeState(Kind kind) { return fromMap(g_App.sharedValue(sharedKey(kind)).toMap()); }

QString downloadUrl(const UpgradeInfo &info) { return web::appUpdateDir() + info.setupfile; }

QString downloadFileName(const UpgradeInfo &info) { return info.setupfile.section(QLatin1Char('/'), -1); }

QString noticeText(Kind kind, int level)
{
    if (kind == App) {
        switch (level) {
        case 0: return QStringLiteral("您的版本已经是最新的！");
        case 1: return QStringLiteral("检测到新的版本，建议您马上升级！");
        case 2: return QStringLiteral("检测到新的重大版本，强烈建议您马上升级！");
        default: return QStringLiteral("检查版本升级失败！");
        }
    }
    switch (level) {
    case 0: return QStringLiteral("您的素材版本已经是最新的！");
    case 1: return QStringLiteral("检测到新的素材版本，建议您马上升级！");
    case 2: return QStringLiteral("检测到新的重大素材版本，强烈建议您马上升级！");
    default: return QStringLiteral("检查素材版本升级失败！");
    }
}

QString sizeText(qint64 bytes, bool speed)
{
    const QString per = speed ? QStringLiteral("/S") : QString();
    if (bytes <= 0)
        return QStringLiteral("0 B") + per;
    if (bytes < (1LL << 20))
        return QStringLiteral("%1%2").arg(bytes >> 10).arg(QStringLiteral(" KB") + per);
    if (bytes < (1LL << 30))
        return QStringLiteral("%1%2").arg(bytes >> 20).arg(QStringLiteral(" MB") + per);
    return QStringLiteral("%1%2").arg(bytes >> 30).arg(QStringLiteral(" GB") + per);
}

QString timeText(qint64 seconds)
{
    if (seconds < 0)
        seconds = 0;
    const qint64 d = seconds / 86400, h = seconds % 86400 / 3600, m = seconds % 3600 / 60, s = seconds % 60;
    QStringList parts;
    if (seconds < 60)
        return QStringLiteral("%1s").arg(s);
    if (seconds < 3600) {
        parts << QStringLiteral("%1m").arg(m);
    } else if (seconds < 86400) {
        parts << QStringLiteral("%1h").arg(h);
        if (m)
            parts << QStringLiteral("%1m").arg(m);
    } else {
        parts << QStringLiteral("%1d").arg(d) << QStringLiteral("%1h").arg(h) << QStringLiteral("%1m").arg(m);
    }
    if (s)
        parts << QStringLiteral("%1s").arg(s);
    return parts.join(QLatin1Char(' '));
}

} // namespace upgrade
