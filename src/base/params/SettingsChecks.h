#pragma once

#include <QString>
#include <QStringList>

class SysParams;

// What the settings dialog checks before it stores the parameters; no widgets here.
namespace settings {

// True when both paths (which need not exist yet) lie on the same mounted file system.
bool onSameFileSystem(const QString &a, const QString &b);

// The error that stops OK for this backup folder, or an empty text. A relative path depends
// on the working folder and counts as missing.
QString backupPathError(const QString &path);

// The questions to confirm, in order, before the backup settings are stored.
QStringList backupPathQuestions(const QString &path, bool autoBackup, const QString &dataPath);

// The parameters to store after an edit: every value whose control still shows what it showed
// after loading keeps the loaded value (substitute fonts, "\r\n" line ends, clamped numbers),
// every other one takes the edited value.
SysParams keepUntouched(const SysParams &loaded, const SysParams &shown, const SysParams &edited);

// Spin-box ranges; they hold every default and the loader's clamps.
constexpr int kSaveBookIntervalMin = 10;
constexpr int kSaveBookIntervalMax = 86400;
constexpr int kSmartDelayMin = 100;
constexpr int kSmartDelayMax = 10000;
constexpr int kSmartPageCountMin = 1;
constexpr int kSmartPageCountMax = 200;
constexpr int kDailyWordTargetMax = 1000000;

} // namespace settings
