#pragma once

#include "params/SysParams.h"

#include <QDialog>
#include <QStringList>

namespace Ui {
class SysParamDialog;
}
class QComboBox;

// "参数设置": edits g_SysParams. OK runs the backup checks and stores the parameters; Cancel asks
// first. Values the author did not touch are stored exactly as they were loaded.
class SysParamDialog : public QDialog
{
    Q_OBJECT
public:
    explicit SysParamDialog(QWidget *parent = nullptr);
    ~SysParamDialog() override;

    // Skins in the combo box's order: display names and the stored names.
    static QStringList skinDisplayNames();
    static QStringList skinNames();

    void loadControls();
    // Writes the controls into params (the skin's stored name, the sizes' numbers).
    void saveControls(SysParams &params) const;
    // What OK would store now.
    SysParams editedParams() const;

    void done(int r) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void on_buttonBox_accepted();
    void on_buttonBox_rejected();
    void on_checkBoxCloudActive_stateChanged(int arg1);

private:
    bool confirmAccept();
    static void selectSize(QComboBox *box, int size);

    Ui::SysParamDialog *ui;
    SysParams m_loaded; // as loaded from g_SysParams
    SysParams m_shown;  // what the controls showed right after loading
};
