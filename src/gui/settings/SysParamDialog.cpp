#include "settings/SysParamDialog.h"
#include "ui_SysParamDialog.h"

#include "app/App.h"
#include "frame/ComboText.h"
#include "frame/Dialog.h"
#include "params/SettingsChecks.h"

#include <QFontDatabase>
#include <QPushButton>
#include <QMouseEvent>

SysParamDialog::SysParamDialog(QWidget *parent) : QDialog(parent), ui(new Ui::SysParamDialog)
{
    ui->setupUi(this);
    nameButtons(ui->buttonBox);
    ui->comboBoxSkinName->addItems(skinDisplayNames());
    for (int size : QFontDatabase::standardSizes()) {
        ui->comboBoxUiFontSize->addItem(QString::number(size));
        ui->comboBoxDefaultFontSize->addItem(QString::number(size));
    }
    ui->spinBoxSaveBookInterval->setRange(settings::kSaveBookIntervalMin, settings::kSaveBookIntervalMax);
    ui->spinBoxDailyWordTarget->setRange(0, settings::kDailyWordTargetMax);
    ui->spinBoxDailyWordTarget->setSpecialValueText(QStringLiteral("0（关闭）"));
    ui->spinBoxSmartSentenceWordDelay->setRange(settings::kSmartDelayMin, settings::kSmartDelayMax);
    ui->spinBoxSmartSentenceWordPageCount->setRange(settings::kSmartPageCountMin, settings::kSmartPageCountMax);
    ui->tabWidget->setCurrentIndex(0);
    loadControls();
    showTextStart(ui->fontComboBoxUiFontName);
    showTextStart(ui->fontComboBoxDefaultFontName);
    showTextStart(ui->lineEditAutoBackupDbPath);
    ui->lineEditAutoBackupDbPath->installEventFilter(this);
}

SysParamDialog::~SysParamDialog() { delete ui; }

QStringList SysParamDialog::skinDisplayNames()
{
    return {QStringLiteral("融合"), QStringLiteral("黑色"), QStringLiteral("灰色"), QStringLiteral("土豪金"),
            QStringLiteral("青铜"), QStringLiteral("玫瑰红"), QStringLiteral("珊瑚色"), QStringLiteral("海洋绿")};
}

QStringList SysParamDialog::skinNames()
{
    return {QStringLiteral("Fusion"), QStringLiteral("Dark"), QStringLiteral("Gray"), QStringLiteral("LuxuryGold"),
            QStringLiteral("Bronze"), QStringLiteral("Rose"), QStringLiteral("Coral"), QStringLiteral("SeaGreen")};
}

void SysParamDialog::selectSize(QComboBox *box, int size)
{
    const QString text = QString::number(size);
    int index = box->findText(text);
    if (index < 0) {
        // A size outside the standard list still shows (and stays) as it is.
        index = 0;
        while (index < box->count() && box->itemText(index).toInt() < size)
            ++index;
        box->insertItem(index, text);
    }
    box->setCurrentIndex(index);
}

void SysParamDialog::loadControls()
{
    m_loaded = g_SysParams;
    const SysParams &p = m_loaded;
    const VisibilityParams &v = p.visibilityParams;
    const EditorParams &e = p.editorParams;
    const CloudSyncParams &c = p.cloudSyncParams;

    ui->checkBoxAutoSaveBook->setChecked(p.autoSaveBook);
    ui->spinBoxSaveBookInterval->setValue(p.saveBookInterval);
    ui->checkBoxAutoBackupDb->setChecked(p.autoBackupDb);
    ui->lineEditAutoBackupDbPath->setText(p.autoBackupDbPath);
    ui->checkBoxAutoShrinkDb->setChecked(p.autoShrinkDb);
    ui->checkBoxAutoUpgrade->setChecked(p.autoUpgrade);
    ui->spinBoxDailyWordTarget->setValue(p.dailyWordTarget);

    ui->comboBoxSkinName->setCurrentIndex(qMax(0, skinNames().indexOf(v.skinName)));
    ui->checkBoxAutoHideMaterialList->setChecked(v.autoHideMaterialList);
    ui->checkBoxAutoHideMaterialDetail->setChecked(v.autoHideMaterialDetail);
    ui->checkBoxAutoSaveLayout->setChecked(v.autoSaveLayout);
    ui->checkBoxBookSortByModified->setChecked(v.bookSortByModified);
    ui->fontComboBoxUiFontName->setCurrentFont(v.uiFontName.isEmpty() ? font() : QFont(v.uiFontName));
    selectSize(ui->comboBoxUiFontSize, v.uiFontSize);

    ui->checkBoxSmartSentenceWord->setChecked(e.smartSentenceWord);
    ui->checkBoxSmartSentenceWordIncMaterial->setChecked(e.smartSentenceWordIncMaterial);
    ui->checkBoxSmartSentenceWordIncMemo->setChecked(e.smartSentenceWordIncMemo);
    ui->checkBoxAlertOnWordCount->setChecked(e.alertOnWordCount);
    ui->plainTextEditBoxAlertOnWordCountList->setPlainText(e.alertOnWordCountList);
    ui->spinBoxSmartSentenceWordDelay->setValue(e.smartSentenceWordDelay);
    ui->spinBoxSmartSentenceWordPageCount->setValue(e.smartSentenceWordPageCount);
    ui->plainTextEditSmartSentenceWordIgnoreChars->setPlainText(e.smartSentenceWordIgnoreChars);
    ui->fontComboBoxDefaultFontName->setCurrentFont(QFont(e.defaultFontName));
    selectSize(ui->comboBoxDefaultFontSize, e.defaultFontSize);

    ui->checkBoxCheckSensitiveWordsOnRead->setChecked(e.checkSensitiveWordsOnRead);
    ui->plainTextEditSensitiveWords->setPlainText(e.sensitiveWords);

    ui->checkBoxCloudActive->setChecked(c.active);
    ui->checkBoxCloudSyncAtStartUp->setChecked(c.syncAtStartUp);
    ui->checkBoxCloudSyncAtExit->setChecked(c.syncAtExit);
    ui->checkBoxCloudSyncAtThread->setChecked(c.syncAtThread);
    on_checkBoxCloudActive_stateChanged(ui->checkBoxCloudActive->checkState());

    m_shown = m_loaded;
    saveControls(m_shown);
}

void SysParamDialog::saveControls(SysParams &p) const
{
    VisibilityParams &v = p.visibilityParams;
    EditorParams &e = p.editorParams;
    CloudSyncParams &c = p.cloudSyncParams;

    p.autoSaveBook = ui->checkBoxAutoSaveBook->isChecked();
    p.saveBookInterval = ui->spinBoxSaveBookInterval->value();
    p.autoBackupDb = ui->checkBoxAutoBackupDb->isChecked();
    p.autoBackupDbPath = ui->lineEditAutoBackupDbPath->text();
    p.autoShrinkDb = ui->checkBoxAutoShrinkDb->isChecked();
    p.autoUpgrade = ui->checkBoxAutoUpgrade->isChecked();
    p.dailyWordTarget = ui->spinBoxDailyWordTarget->value();

    v.skinName = skinNames().value(ui->comboBoxSkinName->currentIndex(), v.skinName);
    v.autoHideMaterialList = ui->checkBoxAutoHideMaterialList->isChecked();
    v.autoHideMaterialDetail = ui->checkBoxAutoHideMaterialDetail->isChecked();
    v.autoSaveLayout = ui->checkBoxAutoSaveLayout->isChecked();
    v.bookSortByModified = ui->checkBoxBookSortByModified->isChecked();
    v.uiFontName = ui->fontComboBoxUiFontName->currentFont().family();
    v.uiFontSize = ui->comboBoxUiFontSize->currentText().toInt();

    e.smartSentenceWord = ui->checkBoxSmartSentenceWord->isChecked();
    e.smartSentenceWordIncMaterial = ui->checkBoxSmartSentenceWordIncMaterial->isChecked();
    e.smartSentenceWordIncMemo = ui->checkBoxSmartSentenceWordIncMemo->isChecked();
    e.alertOnWordCount = ui->checkBoxAlertOnWordCount->isChecked();
    e.alertOnWordCountList = ui->plainTextEditBoxAlertOnWordCountList->toPlainText();
    e.smartSentenceWordDelay = ui->spinBoxSmartSentenceWordDelay->value();
    e.smartSentenceWordPageCount = ui->spinBoxSmartSentenceWordPageCount->value();
    e.smartSentenceWordIgnoreChars = ui->plainTextEditSmartSentenceWordIgnoreChars->toPlainText();
    e.defaultFontName = ui->fontComboBoxDefaultFontName->currentFont().family();
    e.defaultFontSize = ui->comboBoxDefaultFontSize->currentText().toInt();

    e.checkSensitiveWordsOnRead = ui->checkBoxCheckSensitiveWordsOnRead->isChecked();
    e.sensitiveWords = ui->plainTextEditSensitiveWords->toPlainText();

    c.active = ui->checkBoxCloudActive->isChecked();
    c.syncAtStartUp = ui->checkBoxCloudSyncAtStartUp->isChecked();
    c.syncAtExit = ui->checkBoxCloudSyncAtExit->isChecked();
    c.syncAtThread = ui->checkBoxCloudSyncAtThread->isChecked();
}

SysParams SysParamDialog::editedParams() const
{
    SysParams edited = g_SysParams;
    saveControls(edited);
    return settings::keepUntouched(m_loaded, m_shown, edited);
}

void SysParamDialog::on_buttonBox_accepted() { done(QDialog::Accepted); }

void SysParamDialog::on_buttonBox_rejected() { done(QDialog::Rejected); }

void SysParamDialog::on_checkBoxCloudActive_stateChanged(int arg1)
{
    const bool on = arg1 != Qt::Unchecked;
    for (QCheckBox *box : {ui->checkBoxCloudSyncAtStartUp, ui->checkBoxCloudSyncAtExit, ui->checkBoxCloudSyncAtThread}) {
        box->setEnabled(on);
        if (!on)
            box->setChecked(false);
    }
}

bool SysParamDialog::confirmAccept()
{
    const QString path = ui->lineEditAutoBackupDbPath->text();
    const QString error = settings::backupPathError(path);
    if (!error.isEmpty()) {
        g_App.showError(error);
        return false;
    }
    const QStringList questions =
        settings::backupPathQuestions(path, ui->checkBoxAutoBackupDb->isChecked(), g_App.appDataPath());
    for (const QString &question : questions) {
        if (g_App.ask(question) != Ink::maYes)
            return false;
    }
    return true;
}

void SysParamDialog::done(int r)
{
    if (r == QDialog::Accepted) {
        if (!confirmAccept())
            return;
        const SysParams before = g_SysParams;
        g_SysParams = editedParams();
        try {
            // saveSysParams publishes the new values for the workers under the parameters' lock.
            saveSysParams();
        } catch (...) {
            // Nothing stored, so nothing changes in this run either.
            g_SysParams = before;
            throw;
        }
    } else if (g_App.ask(QStringLiteral("确定取消吗？")) != Ink::maYes) {
        return;
    }
    QDialog::done(r);
}

bool SysParamDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->lineEditAutoBackupDbPath && event->type() == QEvent::MouseButtonPress) {
        QString path = ui->lineEditAutoBackupDbPath->text();
        if (g_App.chooseDirectory(QStringLiteral("选择路径"), path, QStringLiteral("backup")))
            ui->lineEditAutoBackupDbPath->setText(path);
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
