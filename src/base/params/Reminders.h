#pragma once

#include <QStringList>

class SysParams;

// The reminders due under these parameters, in order, as HTML with links to the dialogs that
// settle them ("SysOption", "SysUserRegister", "SysUserLogin"). dataPath is the data folder: a
// backup folder on the same file system as it is advised against.
QStringList reminderTexts(const SysParams &params, const QString &dataPath);
