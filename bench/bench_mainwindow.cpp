// Main window costs: start to first paint on a large profile, memory after first show, closing,
// and the idle timer ticks.
#include "BenchSupport.h"

#include "app/App.h"
#include "app/Constants.h"
#include "book/BookController.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"
#include "frame/FramelessWindow.h"
#include "mainwindow/MainWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTemporaryDir>
#include <QTextDocument>

namespace {

double msSince(const QElapsedTimer &t) { return t.nsecsElapsed() / 1e6; }

double rssMb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

// 50 books × 10 volumes × 100 chapters of about 4 KB each.
void fillProfile()
{
    QString plain;
    while (plain.size() < 200)
        plain += QStringLiteral("　　风从关外吹来，卷起漫天黄沙，驼队在沙丘间缓缓而行。\n");
    QTextDocument doc;
    doc.setPlainText(plain);
    const QString html = doc.toHtml();
    Transaction tx;
    QSqlQuery q(g_App.db);
    q.prepare("INSERT INTO BookTree(ID,pID,NodeType,Level,Sort,Title,Category,rtf,HTML,PlainText,Flag,Usn,Synced,"
              "Created,Updated) VALUES(?,?,?,?,?,?,'Book',?,?,?,'A',0,0,'2024-01-01 00:00:00.000',"
              "'2024-01-01 00:00:00.000')");
    auto add = [&](const QString &id, const QString &pid, int type, int level, int sort, const QString &title,
                   bool text) {
        for (const QVariant &v : {QVariant(id), QVariant(pid), QVariant(type), QVariant(level), QVariant(sort),
                                  QVariant(title), QVariant(text ? plain : QString()),
                                  QVariant(text ? html : QString()), QVariant(text ? plain : QString())})
            q.addBindValue(v);
        q.exec();
    };
    for (int b = 1; b <= 50; ++b) {
        const QString bid = newGuid();
        add(bid, QString(), 1, 0, b, QStringLiteral("书%1").arg(b), false);
        for (int v = 1; v <= 10; ++v) {
            const QString vid = newGuid();
            add(vid, bid, 2, 1, v, QStringLiteral("第%1卷").arg(v), false);
            for (int c = 1; c <= 100; ++c)
                add(newGuid(), vid, 3, 2, c, QStringLiteral("第%1章").arg(c), true);
        }
    }
    tx.commit();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    FramelessWindow::setTranslucencyOverride(0);
    QTemporaryDir dir;
    useProfileRoot(dir.path());
    const QString libraries = QCoreApplication::applicationDirPath() + QStringLiteral("/../libraries/");
    if (QFileInfo::exists(libraries))
        g_App.setLibrarySourcePath(libraries);
    else
        benchNote("libraries not built, empty ones used", 0, "");
    bool ok = true;

    // The profile, made once.
    if (!g_App.init())
        return 1;
    fillProfile();
    g_SysParams.autoBackupDb = false;
    saveSysParams();
    g_App.deinit();
    benchNote("main file size", QFileInfo(profileDataPath(dir.path()) + "Inkboat.sdb").size() / 1048576.0, "MB",
              "50,000 chapters");

    // Start: init (schema, parameters, tree repair with its backup), window, frame, first show.
    QElapsedTimer start;
    start.start();
    if (!g_App.init())
        return 1;
    const double initMs = msSince(start);
    auto *window = new MainWindow;
    g_App.mainWindow = window;
    bool firstShown = false;
    QObject::connect(window, &MainWindow::startAppInit, [&firstShown]() { firstShown = true; });
    g_App.showFramed(window, Ink::foResizable);
    g_App.mainFrame = window->window();
    QObject::connect(g_App.mainFrame, SIGNAL(windowPaint()), window, SLOT(windowFirstShow()));
    while (!firstShown && start.elapsed() < 20000)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    QApplication::processEvents();
    const double startMs = msSince(start);
    benchNote("start: App::init part (with the start-up backup)", initMs, "ms");
    benchNote("start: window part (construct, frame, first paint, first show)", startMs - initMs, "ms");
    ok &= benchReport("start to first paint and first show, 200 MB profile", startMs, "ms", "< 1500 ms", startMs < 1500);
    const double rss = rssMb();
    ok &= benchReport("memory after first show (RSS)", rss, "MB", "< 150 MB", rss > 0 && rss < 150);

    // Idle ticks.
    QVector<double> ticks;
    for (int i = 0; i < 2000; ++i) {
        QElapsedTimer t;
        t.start();
        window->timeTimerUpdate();
        window->tmpSaveTimerUpdate();
        ticks << msSince(t);
    }
    ok &= benchReport("timeTimer + tmpSaveTimer tick without typing (median)", median(ticks), "ms", "< 0.1 ms",
                      median(ticks) < 0.1);

    // Close (questions answered) to the connection closed, without the final backup.
    window->setAskHook([](const QString &) { return int(Ink::maYes); });
    window->setErrorHook([](const QString &text) { qWarning("%s", qPrintable(text)); });
    g_SysParams.autoBackupDb = false;
    QPointer<MainWindow> alive(window);
    QElapsedTimer closing;
    closing.start();
    g_App.mainFrame->close();
    QPointer<QWidget> frame(g_App.mainFrame);
    while (frame && frame->isVisible() && closing.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete alive.data(); // when the frame did not take it along
    g_App.deinit();
    const double closeMs = msSince(closing);
    ok &= benchReport("close with idle workers to connection closed (no final backup)", closeMs, "ms", "< 1000 ms",
                      closeMs < 1000);
    return ok ? 0 : 1;
}
