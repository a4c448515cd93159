#pragma once

#include <QDialog>

namespace Ui {
class AboutDialog;
}

// "关于": title and version, the welcome text, the log folder and the service's web site.
class AboutDialog : public QDialog
{
    Q_OBJECT
public:
    explicit AboutDialog(QWidget *parent = nullptr);
    ~AboutDialog() override;

    // Time limit of the upgrade check (tests shorten it).
    void setCheckTimeout(int ms) { m_checkTimeoutMs = ms; }

private slots:
    void on_buttonBox_accepted();
    void on_buttonBox_helpRequested();
    void on_pushButtonCheckUpgrade_clicked();
    void on_pushButtonOpenLog_clicked();

private:
    Ui::AboutDialog *ui;
    int m_checkTimeoutMs = 30000;
};
