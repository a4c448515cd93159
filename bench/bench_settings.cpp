// The settings dialog (built and shown with every font family listed twice), its OK with the
// checks and the parameter save, and one step of the first-use tour over a shown main window.
#include "BenchSupport.h"

#include "app/App.h"
#include "app/Constants.h"
#include "frame/Frames.h"
#include "mainwindow/MainWindow.h"
#include "params/SysParams.h"
#include "settings/NoviceGuidance.h"
#include "settings/SysParamDialog.h"
#include "settings/Tooltip.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QFontComboBox>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>

#include <memory>
#include <optional>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    const QStringList names = {QStringLiteral("settings dialog built and shown"), QStringLiteral("settings OK"),
                               QStringLiteral("first-use tour step")};
    QTemporaryDir dir;
    useProfileRoot(dir.path());
    const QString missing = missingSqlDriver(sqlDriverName());
    if (!missing.isEmpty())
        return benchFailAll(names, missing);
    if (!g_App.init())
        return benchFailAll(names, QStringLiteral("App::init failed"));
    g_SysParams.autoBackupDb = false;
    BenchPrompter prompter; // "yes" to the same-file-system question of the backup path

    const int families = QFontDatabase().families().size();
    std::unique_ptr<SysParamDialog> dialog;
    PaintCounter paints;
    const Runs shown = timeRuns(
        7,
        [&] {
            dialog.reset(new SysParamDialog);
            dialog->installEventFilter(&paints);
            dialog->show();
            for (int i = 0; i < 100 && paints.paints == 0; ++i)
                QApplication::processEvents();
        },
        [&] {
            if (paints.paints == 0)
                return QStringLiteral("the dialog was not painted");
            const auto boxes = dialog->findChildren<QFontComboBox *>();
            for (const QFontComboBox *box : boxes)
                if (box->count() < families)
                    return QStringLiteral("a font box lists %1 of %2 families").arg(box->count()).arg(families);
            if (boxes.size() != 2 || dialog->findChild<QTabWidget *>("tabWidget")->currentIndex() != 0)
                return QStringLiteral("not the dialog with two font boxes on its first tab");
            return QString();
        },
        [&] {
            dialog.reset();
            paints.paints = 0;
        });
    benchReport(names.at(0), shown, "ms", atMost(300, "ms"));
    benchNote(QStringLiteral("settings dialog font families"), families, QString(),
              QFontDatabase().families().contains(QStringLiteral("Noto Sans CJK SC"))
                  ? QStringLiteral("(fonts-noto-cjk installed)")
                  : QStringLiteral("(without fonts-noto-cjk)"));

    // Each OK stores a new autosave interval: the checks, then the parameters in one transaction.
    int interval = 100;
    const Runs ok = timeRuns(
        20,
        [&] {
            dialog->findChild<QSpinBox *>("spinBoxSaveBookInterval")->setValue(++interval);
            dialog->done(QDialog::Accepted);
        },
        [&] {
            if (dialog->result() != QDialog::Accepted)
                return QStringLiteral("the dialog did not accept");
            loadSysParams();
            return g_SysParams.saveBookInterval == interval
                       ? QString()
                       : QStringLiteral("stored interval %1, set %2").arg(g_SysParams.saveBookInterval).arg(interval);
        },
        [&] {
            dialog.reset(new SysParamDialog);
            dialog->show();
        });
    benchReport(names.at(1), ok, "ms", atMost(20, "ms"));
    dialog.reset();

    // The tour over a shown window: from one bubble to the next, each step sets the outline and
    // the overlay's border, and its bubble is shown and painted.
    setSysParam(QStringLiteral("NoviceGuidance"), QStringLiteral("1"));
    auto *window = new MainWindow;
    window->resize(1366, 740);
    window->show();
    for (int i = 0; i < 200 && !window->isVisible(); ++i)
        QApplication::processEvents();
    QElapsedTimer sinceLast;
    Runs steps;
    QString outline;
    // A modal bubble would wait for a click.
    std::optional<Frames::Override> bubbles;
    bubbles.emplace([&](QWidget *widget, int) {
        auto *bubble = qobject_cast<Tooltip *>(widget);
        if (!bubble)
            return 0;
        bubble->show();
        QApplication::processEvents();
        bool outlined = false;
        for (const auto &step : NoviceGuidance::mainWindowSteps())
            if (QWidget *target = window->findChild<QWidget *>(step.first))
                outlined = outlined || target->styleSheet().endsWith(QStringLiteral("{border:2px solid red;}"));
        if (sinceLast.isValid())
            steps.add(sinceLast.nsecsElapsed() / 1e6,
                      outlined && bubble->isVisible() ? QString() : QStringLiteral("no outline or no bubble"));
        sinceLast.start();
        bubble->hide();
        return int(QDialog::Accepted);
    });
    for (int round = 0; round < 3; ++round) {
        sinceLast.invalidate();
        window->findChild<QAction *>(QStringLiteral("actionHelpShowNoviceGuidance"))->trigger();
    }
    bubbles.reset();
    if (steps.size() < 3 * 5)
        steps.fail(QStringLiteral("only %1 steps seen").arg(steps.size()));
    benchReport(names.at(2), steps, "ms", atMost(50, "ms"));
    delete window;
    g_App.deinit();
    return benchExitCode();
}
