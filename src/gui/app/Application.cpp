#include "app/Application.h"

#include "app/Exception.h"
#include "log/Log.h"

#include <QAtomicInt>
#include <QDebug>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QMutex>
#include <QPointer>
#include <QThread>
#include <QTranslator>

#include <cstdlib>
#include <cxxabi.h>
#include <typeinfo>

namespace {

struct GuardState {
    QMutex mutex;
    std::exception_ptr pending;
    Application::MessageBoxHook hook;
};

GuardState &state()
{
    static GuardState s;
    return s;
}

// Only one failure box at a time; failures while one is open are only logged.
QAtomicInt boxOpen(0);

QString typeName(const std::type_info &info)
{
    int status = 0;
    char *readable = abi::__cxa_demangle(info.name(), nullptr, nullptr, &status);
    const QString name = QString::fromLatin1(status == 0 && readable ? readable : info.name());
    std::free(readable);
    return name;
}

} // namespace

Application::Application(int &argc, char **argv) : QApplication(argc, argv) {}

Application::~Application() = default;

void Application::setMessageBoxHook(MessageBoxHook hook)
{
    QMutexLocker lock(&state().mutex);
    state().hook = std::move(hook);
}

bool Application::loadQtTranslations()
{
    static QPointer<QTranslator> installed;
    if (installed)
        return true;
    const QString folder = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
    auto *translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral("qtbase_zh_CN"), folder)) {
        qDebug().noquote() << "no Qt translations qtbase_zh_CN in" << folder;
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    installed = translator;
    return true;
}

std::exception_ptr Application::pendingException()
{
    QMutexLocker lock(&state().mutex);
    return state().pending;
}

void Application::clearPendingException()
{
    QMutexLocker lock(&state().mutex);
    state().pending = nullptr;
}

void Application::showFailure(const QString &title, const QString &text)
{
    // Message boxes belong to the GUI thread; other threads hand the message over.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this, title, text]() { showFailure(title, text); }, Qt::QueuedConnection);
        return;
    }
    if (!boxOpen.testAndSetAcquire(0, 1))
        return;
    MessageBoxHook hook;
    {
        QMutexLocker lock(&state().mutex);
        hook = state().hook;
    }
    if (hook)
        hook(title, text);
    else
        QMessageBox::critical(nullptr, title, text, QMessageBox::Ok);
    boxOpen.storeRelease(0);
}

void Application::reportFailure(const QString &what, QObject *receiver, QEvent *event)
{
    const QString line = QStringLiteral("Error %1, when sending event %2 to object %3 (%4)")
                             .arg(what, event ? typeName(typeid(*event)) : QStringLiteral("null"),
                                  receiver ? receiver->objectName() : QString(),
                                  receiver ? typeName(typeid(*receiver)) : QStringLiteral("null"));
    qCritical().noquote() << line;
    writeLog(QStringLiteral("err"), line);
}

bool Application::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const Exception &e) {
        if (e.isAbort())
            return false;
        reportFailure(e.message(), receiver, event);
        showFailure(QStringLiteral("异常"), e.message());
    } catch (const QException &e) {
        const QString what = QString::fromUtf8(e.what());
        reportFailure(what, receiver, event);
        showFailure(QStringLiteral("异常"), what);
    } catch (const std::exception &e) {
        const QString what = QString::fromUtf8(e.what());
        reportFailure(what, receiver, event);
        showFailure(QStringLiteral("异常"), what);
    } catch (...) {
        reportFailure(QStringLiteral("<unknown>"), receiver, event);
        QMutexLocker lock(&state().mutex);
        state().pending = std::current_exception();
    }
    return false;
}

int Application::exec()
{
    const int code = QApplication::exec();
    std::exception_ptr pending = pendingException();
    if (pending) {
        clearPendingException();
        try {
            std::rethrow_exception(pending);
        } catch (const std::exception &e) {
            MessageBoxHook hook;
            {
                QMutexLocker lock(&state().mutex);
                hook = state().hook;
            }
            if (hook)
                hook(QStringLiteral("Error"), QString::fromUtf8(e.what()));
            else
                QMessageBox::critical(nullptr, QStringLiteral("Error"), QString::fromUtf8(e.what()));
        }
    }
    return code;
}
