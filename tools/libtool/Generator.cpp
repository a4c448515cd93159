#include "libtool/Generator.h"

#include <QRandomGenerator>

#include <algorithm>

namespace libtool {

namespace {

QString chineseText(QRandomGenerator &rng, int n)
{
    QString s;
    s.reserve(n);
    for (int i = 0; i < n; ++i)
        s += (i % 23 == 22) ? QChar(0x3002) : QChar(0x4E00 + int(rng.bounded(6000)));
    return s;
}

} // namespace

Library generateLibrary(const GenerateOptions &o)
{
    QRandomGenerator rng(o.seed);
    Library lib;
    const int folders = std::max(1, o.folders);
    const int largest = std::min(o.largest, o.entries);
    const int rest = o.entries - largest;
    for (int f = 0; f < folders; ++f) {
        Folder folder;
        folder.order = f + 1;
        folder.path = QStringList{QStringLiteral("分类%1").arg(f / 50 + 1), QStringLiteral("目录%1").arg(f + 1)};
        int count = largest;
        if (f > 0)
            count = rest / (folders - 1) + ((f - 1) < rest % (folders - 1) ? 1 : 0);
        else if (folders == 1)
            count += rest;
        for (int i = 0; i < count; ++i) {
            Entry e;
            e.title = QStringLiteral("素材%1-%2").arg(f + 1).arg(i + 1);
            e.text = chineseText(rng, 50 + int(rng.bounded(350)));
            folder.entries << e;
        }
        lib.folders << folder;
    }
    return lib;
}

} // namespace libtool
