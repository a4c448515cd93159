#include "BenchSupport.h"

#include <QFile>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

bool benchReport(const QString &name, double value, const QString &unit, const QString &target, bool pass)
{
    std::printf("%s: %.4g %s (target: %s) %s\n", qPrintable(name), value, qPrintable(unit), qPrintable(target),
                pass ? "PASS" : "FAIL");
    std::fflush(stdout);
    return pass;
}

void benchNote(const QString &name, double value, const QString &unit, const QString &remark)
{
    std::printf("%s: %.4g %s%s%s\n", qPrintable(name), value, qPrintable(unit), remark.isEmpty() ? "" : " ",
                qPrintable(remark));
    std::fflush(stdout);
}

double median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void useProfileRoot(const QString &root)
{
    const QByteArray r = QFile::encodeName(root);
    qputenv("HOME", r);
    qputenv("XDG_DATA_HOME", r + "/data");
    qputenv("XDG_CONFIG_HOME", r + "/config");
    qputenv("XDG_CACHE_HOME", r + "/cache");
}

QString profileDataPath(const QString &root) { return root + QStringLiteral("/data/inkboathq/Inkboat/"); }

bool dropPageCache()
{
    ::sync();
    QFile f(QStringLiteral("/proc/sys/vm/drop_caches"));
    if (!f.open(QIODevice::WriteOnly))
        return false;
    return f.write("3\n") == 2 && f.flush();
}
