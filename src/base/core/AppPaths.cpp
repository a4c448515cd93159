#include "core/AppPaths.h"

#include <QMutex>

namespace {

QMutex &pathsMutex()
{
    static QMutex mutex;
    return mutex;
}

AppPaths &paths()
{
    static AppPaths p;
    return p;
}

} // namespace

AppPaths AppPaths::current()
{
    QMutexLocker lock(&pathsMutex());
    return paths();
}

void AppPaths::set(const AppPaths &p)
{
    QMutexLocker lock(&pathsMutex());
    paths() = p;
}
