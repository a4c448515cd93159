#pragma once

#include <QApplication>

#include <exception>
#include <functional>

// Wraps every event delivery: no exception escapes into Qt. Known failures are logged and shown
// (one box at a time, on the GUI thread only); unknown ones are kept and rethrown after the loop.
class Application final : public QApplication
{
    Q_OBJECT
public:
    Application(int &argc, char **argv);
    ~Application() override;

    bool notify(QObject *receiver, QEvent *event) override;
    // Runs the event loop; rethrows a kept unknown exception when it ends.
    static int exec();

    // Replaces the message box (tests). Called with title and text on the GUI thread.
    using MessageBoxHook = std::function<void(const QString &title, const QString &text)>;
    static void setMessageBoxHook(MessageBoxHook hook);

    // Installs Qt's own Chinese texts (colour and file dialogs, standard buttons); false when
    // the translation files are not installed.
    static bool loadQtTranslations();

    static std::exception_ptr pendingException();
    static void clearPendingException();

private:
    void reportFailure(const QString &what, QObject *receiver, QEvent *event);
    void showFailure(const QString &title, const QString &text);
};
