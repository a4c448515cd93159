#pragma once

#include <QString>

// What one version file of the service said, and what the check made of it.
struct UpgradeInfo {
    QString version;
    QString setupfile;
    QString news;
    QString forceVersion;
    QString localVersion;
    int level = -1; // -1 check failed, 0 up to date, 1 newer version, 2 major version
    bool available() const { return level >= 1; }
};

namespace upgrade {

enum Kind { App = 0, Material = 1 };

constexpr int kCheckTimeoutMs = 30000;
// A version file is a few lines; anything bigger is not one.
constexpr qint64 kMaxVersionFileBytes = 64 * 1024;

// Reads a fetched version file and compares it with localVersion as decimal numbers.
UpgradeInfo evaluate(const QString &versionFile, const QString &localVersion);
// The local version the check compares with: the program's own, or the material library's
// "DbVersion" (throws on a database failure).
QString localVersion(Kind kind);
// Fetches the version file of kind into tmpPath and evaluates it. Never throws: any failure is
// level -1. The result is kept for upgradeState(); two checks of one kind run one after another.
UpgradeInfo check(Kind kind, int timeoutMs = kCheckTimeoutMs);
// The last result of check(kind), copied out (level -1 before any check).
UpgradeInfo upgradeState(Kind kind);

// Address of the file to download: the update folder plus setupfile's relative path.
QString downloadUrl(const UpgradeInfo &info);
// The local name of the download: setupfile's last component.
QString downloadFileName(const UpgradeInfo &info);
// The notice the download dialog shows for a level.
QString noticeText(Kind kind, int level);

// Size text: "0 B" for nothing, else KB, MB or GB (whole units, binary); speed adds "/S".
QString sizeText(qint64 bytes, bool speed = false);
// Time text of whole seconds: "59s", "1m 5s", "2h 3m 4s", "1d 0h 0m 1s".
QString timeText(qint64 seconds);

} // namespace upgrade

// Synchronous GET of QUrl::fromUserInput(url) into path (truncated). Throws Exception with the
// network error text, "请求服务超时！" after timeoutMs, when the body exceeds maxBytes or the
// answer is not 200; EAbort within about 50 ms when the calling thread is asked to stop.
bool downloadToFile(const QString &url, const QString &path, int timeoutMs = upgrade::kCheckTimeoutMs,
                    qint64 maxBytes = upgrade::kMaxVersionFileBytes);
