#include "settings/AboutDialog.h"
#include "ui_AboutDialog.h"

#include "app/App.h"
#include "app/Constants.h"
#include "cloud/Upgrade.h"
#include "cloud/WorkerController.h"
#include "frame/Dialog.h"

#include <QApplication>
#include <QDesktopServices>
#include <QPushButton>
#include <QUrl>

AboutDialog::AboutDialog(QWidget *parent) : QDialog(parent), ui(new Ui::AboutDialog)
{
    ui->setupUi(this);
    nameButtons(ui->buttonBox);
    ui->labelTitle->setText(g_App.title());
}

AboutDialog::~AboutDialog() { delete ui; }

void AboutDialog::on_buttonBox_accepted() { accept(); }

void AboutDialog::on_buttonBox_helpRequested()
{
    const QString site = Ink::serviceBaseUrl();
    if (!site.isEmpty())
        QDesktopServices::openUrl(QUrl(site));
}

void AboutDialog::on_pushButtonCheckUpgrade_clicked()
{
    // The check waits for the service (at most its time limit); a second click must not start
    // a second one meanwhile.
    ui->pushButtonCheckUpgrade->setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    upgrade::check(upgrade::App, m_checkTimeoutMs);
    QApplication::restoreOverrideCursor();
    WorkerController::showUpgrade(upgrade::App);
    ui->pushButtonCheckUpgrade->setEnabled(true);
}

void AboutDialog::on_pushButtonOpenLog_clicked()
{
    // fromLocalFile, not "file:///" + path: an absolute Linux path would turn into "//home/...".
    QDesktopServices::openUrl(QUrl::fromLocalFile(g_App.logPath()));
}
