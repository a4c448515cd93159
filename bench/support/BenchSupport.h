#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Prints "name: value unit (target: …) PASS|FAIL" and returns whether it passed.
bool benchReport(const QString &name, double value, const QString &unit, const QString &target, bool pass);
// A note line without a verdict (figures that have no target).
void benchNote(const QString &name, double value, const QString &unit, const QString &remark = QString());

double median(QVector<double> values);

// Points HOME and the XDG folders at root so that the program's data folder is
// root/data/inkboathq/Inkboat/. Never the real profile.
void useProfileRoot(const QString &root);
QString profileDataPath(const QString &root);

// Writes dirty pages out and asks the kernel to drop its page cache; false when not allowed.
bool dropPageCache();
