#include "settings/AboutDialog.h"
#include "ui_AboutDialog.h"

#include "app/App.h"
#include "app/Constants.h"

#include <QDesktopServices>
#include <QUrl>

AboutDialog::AboutDialog(QWidget *parent) : QDialog(parent), ui(new Ui::AboutDialog)
{
    ui->setupUi(this);
    ui->labelTitle->setText(g_App.title());
    // The upgrade check and its dialog are not part of this build yet: the button says so
    // instead of pretending to check.
    ui->pushButtonCheckUpgrade->setEnabled(false);
    ui->pushButtonCheckUpgrade->setToolTip(QStringLiteral("该功能尚未完成"));
}

AboutDialog::~AboutDialog() { delete ui; }

void AboutDialog::on_buttonBox_accepted() { accept(); }

void AboutDialog::on_buttonBox_helpRequested()
{
    const QString site = Ink::serviceBaseUrl();
    if (!site.isEmpty())
        QDesktopServices::openUrl(QUrl(site));
}

void AboutDialog::on_pushButtonCheckUpgrade_clicked() { g_App.showInfo(QStringLiteral("该功能尚未完成")); }

void AboutDialog::on_pushButtonOpenLog_clicked()
{
    // fromLocalFile, not "file:///" + path: an absolute Linux path would turn into "//home/...".
    QDesktopServices::openUrl(QUrl::fromLocalFile(g_App.logPath()));
}
