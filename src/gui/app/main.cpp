#include "app/App.h"
#include "app/Application.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "app/ExportCommand.h"
#include "app/GuiPrompter.h"
#include "app/Scale.h"
#include "frame/FramelessWindow.h"
#include "frame/Frames.h"
#include "log/Log.h"
#include "mainwindow/MainWindow.h"
#include "params/SysParams.h"
#include "storage/Backup.h"

#include <QDebug>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QStatusBar>
#include <QTextCodec>
#include <QTimer>

namespace {

QWidget *createMainWindow() { return new MainWindow(); }

// The frame announces its first paint; the window then loads its trees and starts its workers.
void connectFirstShow(QWidget *frame, QWidget *window)
{
    auto *mainWindow = qobject_cast<MainWindow *>(window);
    if (!mainWindow)
        return;
    auto *framed = qobject_cast<FramelessWindow *>(frame);
    if (framed && frame != window)
        QObject::connect(framed, &FramelessWindow::windowPaint, mainWindow, &MainWindow::windowFirstShow);
    else
        QMetaObject::invokeMethod(mainWindow, &MainWindow::windowFirstShow, Qt::QueuedConnection);
}

// The start-up backup waits until the window is on the screen, then copies on a worker, unless
// the main file is still as its newest copy has it.
// Any widget of the frame counts: the frame itself may be covered by its children.
class FirstPaintBackup : public QObject
{
public:
    explicit FirstPaintBackup(QWidget *frame) : QObject(frame), m_frame(frame) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && watched->isWidgetType() &&
            static_cast<QWidget *>(watched)->window() == m_frame) {
            qApp->removeEventFilter(this);
            QTimer::singleShot(0, this, [this]() {
                startBackupIfChanged();
                deleteLater();
            });
        }
        return false;
    }

private:
    QWidget *m_frame;
};

void startBackupAfterFirstPaint(QWidget *frame) { qApp->installEventFilter(new FirstPaintBackup(frame)); }

// A second start asked for the window: restored if minimised, raised and given the focus.
void bringToFront(QWidget *frame)
{
    if (frame->isMinimized())
        frame->setWindowState(frame->windowState() & ~Qt::WindowMinimized);
    frame->show();
    frame->raise();
    frame->activateWindow();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    // The command-line export opens no window at all.
    if (ExportCommand::requested(argc, argv))
        return ExportCommand::run(argc, argv);

    // The stored scale factor only takes effect when set before the application object exists.
    const double storedScale = Ink::storedScaleFactor();
    Ink::applyStoredScaleFactor(storedScale);

    // A logout ends the program through the signal-driven quit, not through the close question.
    QGuiApplication::setFallbackSessionManagementEnabled(false);

    // The application object guards every event against exceptions.
    Application app(argc, argv);
    configureDebugOutput(QCoreApplication::arguments());
    // Lets Wayland compositors and task bars match the window to inkboat.desktop and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("inkboat"));
    App::installQuitSignalHandlers();
    GuiPrompter::install();
    // Qt's own dialogs (colours, files, standard buttons) in Chinese like the rest of the program.
    Application::loadQtTranslations();

    const QScreen *screen = QGuiApplication::primaryScreen();
    const int dpiX = screen ? qRound(screen->logicalDotsPerInchX()) : 96;
    const int dpiY = screen ? qRound(screen->logicalDotsPerInchY()) : 96;
    qDebug() << "initUi" << "logicalDpiX:" << dpiX;
    qDebug() << "initUi" << "logicalDpiY:" << dpiY;
    qDebug() << "initUi" << "font:" << QApplication::font().family();

    // When the stored factor does not suit this screen, the recommended one is stored and the
    // program ends: a factor takes effect only at the next start.
    const double recommended = Ink::recommendedScaleFactor(dpiX);
    if (Ink::scaleNoticeNeeded(storedScale, recommended)) {
        Ink::storeScaleFactor(recommended);
        QMessageBox::information(nullptr, QStringLiteral("提示"), Ink::scaleNoticeText(), QMessageBox::Ok);
        return 0;
    }

    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));

    // Start-up failures were already shown where they happened; an exception still gets its message.
    try {
        if (!g_App.init()) {
            g_App.deinit();
            return g_App.handedOver() ? 0 : -1;
        }
        // The session asked to end while a start-up notice was on screen: end now, in order,
        // rather than open the window and ignore the request.
        if (g_App.isQuitting()) {
            g_App.deinit();
            return 0;
        }
    } catch (const Exception &e) {
        logException(e);
        g_App.showError(QStringLiteral("应用初始化失败，失败原因：") + e.message());
        g_App.deinit();
        return -1;
    } catch (...) {
        writeLog(QStringLiteral("err"), QStringLiteral("应用初始化失败：未知异常"));
        g_App.deinit();
        return -1;
    }

    // The main window in its frame, then the event loop; deinit runs on every way out.
    int code = -1;
    QPointer<QWidget> window;
    try {
        window = createMainWindow();
        Frames::setMainWindow(window);
        // Stored parameters that had to be set aside are told once, where the author looks first.
        if (auto *mainWindow = qobject_cast<QMainWindow *>(window.data())) {
            const QString notice = takeSysParamsNotice();
            if (!notice.isEmpty())
                mainWindow->statusBar()->showMessage(notice);
        }
        Frames::showFramed(window, Ink::foResizable);
        QWidget *frame = window->window();
        Frames::setMainFrame(frame);
        connectFirstShow(frame, window);
        if (!g_App.startupCopyTaken())
            startBackupAfterFirstPaint(frame);
        QObject::connect(&g_App, &App::activationRequested, frame, [frame]() {
            bringToFront(frame);
        });
        code = Application::exec();
    } catch (const Exception &e) {
        logException(e);
        code = -1;
    } catch (const std::exception &e) {
        writeLog(QStringLiteral("err"), QStringLiteral("发生异常：%1").arg(QString::fromUtf8(e.what())));
        code = -1;
    } catch (...) {
        writeLog(QStringLiteral("err"), QStringLiteral("发生未知异常，程序退出"));
        code = -1;
    }
    Frames::setMainFrame(nullptr);
    Frames::setMainWindow(nullptr);
    delete window.data();
    g_App.deinit();
    return code;
}
