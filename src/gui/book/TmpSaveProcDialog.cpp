#include "book/TmpSaveProcDialog.h"

#include "app/App.h"
#include "app/Exception.h"
#include "book/LcsDiff.h"
#include "book/TmpSaveFile.h"
#include "log/Log.h"
#include "storage/DataAccess.h"
#include "ui_TmpSaveProcDialog.h"

#include <QFileInfo>
#include <QStandardItemModel>
#include <QtConcurrent>

namespace {
constexpr int kPathRole = Qt::UserRole + 1;
}

TmpSaveProcDialog::TmpSaveProcDialog(const QString &chapterId, const QString &folder, QWidget *parent)
    : Dialog(parent), ui(new Ui::TmpSaveProcDialog), m_model(new QStandardItemModel(this)), m_chapterId(chapterId),
      m_folder(folder)
{
    ui->setupUi(this);
    ui->pushButtonAdopt->setText(QStringLiteral("确定采用此临时文件"));
    ui->pushButtonDiscard->setText(QStringLiteral("所有临时文件不保留"));
    ui->pushButtonLater->setText(QStringLiteral("下次提醒"));
    ui->splitter->setStretchFactor(0, 0);
    ui->splitter->setStretchFactor(1, 1);
    ui->splitter->setStretchFactor(2, 1);
    // The whole name of a copy stays readable; the two texts share the rest.
    const int listWidth = fontMetrics().horizontalAdvance(QStringLiteral("tmpSave.00000000000000000.txt")) + 40;
    ui->listViewTmpSaveFile->setMinimumWidth(listWidth);
    ui->splitter->setSizes({listWidth, 450, 450});
    ui->listViewTmpSaveFile->setModel(m_model);
    connect(ui->listViewTmpSaveFile->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &TmpSaveProcDialog::listViewTmpSaveFileCurrentChanged);
    connect(this, &TmpSaveProcDialog::signalDiffFinish, this, &TmpSaveProcDialog::diffFinish, Qt::QueuedConnection);
    connect(ui->pushButtonAdopt, &QPushButton::clicked, this, [this]() { done(Adopted); });
    connect(ui->pushButtonDiscard, &QPushButton::clicked, this, [this]() { done(Discarded); });
    connect(ui->pushButtonLater, &QPushButton::clicked, this, [this]() { done(Postponed); });

    m_files = TmpSaveFile::list(folder, chapterId);
    for (const QString &path : qAsConst(m_files)) {
        // The list shows the name without "." and the chapter id (the id field, whatever its case).
        const QString name = QFileInfo(path).fileName();
        const int dot = name.indexOf(QLatin1Char('.'));
        auto *item = new QStandardItem(name.left(dot) + name.mid(dot + 1 + chapterId.size()));
        item->setData(path, kPathRole);
        item->setToolTip(path);
        m_model->appendRow(item);
    }

    QueryPtr q = openQuery(QStringLiteral("SELECT plainText FROM BookTree WHERE id=%1").arg(quoteSql(chapterId)));
    if (q->next())
        m_storedText = q->value(0).toString();
    q.reset();
    ui->plainTextEditSaved->setPlainText(m_storedText);

    // The newest copy first, already chosen: after a crash it is the one that counts.
    if (m_model->rowCount() > 0)
        ui->listViewTmpSaveFile->setCurrentIndex(m_model->index(0, 0));
}

TmpSaveProcDialog::~TmpSaveProcDialog()
{
    // The comparison reports to this object.
    m_future.waitForFinished();
    delete ui;
}

void TmpSaveProcDialog::listViewTmpSaveFileCurrentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    Q_UNUSED(previous)
    if (!current.isValid())
        return;
    m_chosenText = TmpSaveFile::read(current.data(kPathRole).toString(), &m_chosenOk);
    compare();
}

void TmpSaveProcDialog::on_checkBoxDiffs_stateChanged(int arg1)
{
    Q_UNUSED(arg1)
    if (ui->listViewTmpSaveFile->currentIndex().isValid())
        compare();
}

void TmpSaveProcDialog::on_checkBoxLineBased_stateChanged(int arg1)
{
    Q_UNUSED(arg1)
    if (ui->listViewTmpSaveFile->currentIndex().isValid())
        compare();
}

void TmpSaveProcDialog::compare()
{
    if (m_comparing) {
        m_compareAgain = true;
        return;
    }
    m_comparing = true;
    ui->textEditTmpSave->clear();
    setEnabled(false);
    const QString stored = m_storedText;
    const QString copy = m_chosenText;
    const bool diffs = ui->checkBoxDiffs->isChecked();
    const bool byLines = ui->checkBoxLineBased->isChecked();
    // A character diff of two long chapters takes a while: never on the GUI thread.
    m_future = QtConcurrent::run([this, stored, copy, diffs, byLines]() {
        const DiffView view = compareForView(stored, copy, diffs, byLines);
        emit signalDiffFinish(view.text, view.isHtml);
    });
}

void TmpSaveProcDialog::diffFinish(QString text, bool isHtml)
{
    QTextEdit *view = ui->textEditTmpSave;
    if (isHtml) {
        // The diff's pale backgrounds need dark text on a light page whatever the colour style
        // (a style sheet, as Dark has, would override a palette).
        view->setStyleSheet(QStringLiteral("QTextEdit { background-color: white; color: black; }"));
        view->setHtml(text);
    } else {
        view->setStyleSheet(QString());
        view->setPlainText(text);
    }
    m_comparing = false;
    setEnabled(true);
    if (m_compareAgain) {
        m_compareAgain = false;
        compare();
    }
}

void TmpSaveProcDialog::done(int r)
{
    if (m_comparing) {
        g_App.showInfo(QStringLiteral("比较差异中，不能退出，请稍后！"));
        return;
    }
    bool close = false;
    if (r == Adopted) {
        close = adopt();
    } else if (r == Discarded) {
        close = discard();
    } else {
        r = Postponed;
        close = g_App.ask(QStringLiteral("确定暂时不处理吗？")) == Ink::maYes;
    }
    if (close)
        Dialog::done(r);
}

bool TmpSaveProcDialog::adopt()
{
    if (!ui->listViewTmpSaveFile->currentIndex().isValid()) {
        g_App.showInfo(QStringLiteral("没有选择临时保存的文件！"));
        return false;
    }
    if (!m_chosenOk) {
        g_App.showError(QStringLiteral("临时保存文件读不出，不能采用！"));
        return false;
    }
    const QString question = QStringLiteral(
        "<html>确定以此选择为准吗？<br><br><font color='red'><b>注意：确认以后，原格式会丢失，只保留文字内容，同时会删除临时保存的文件！</b></font></html>");
    if (g_App.ask(question) != Ink::maYes)
        return false;
    try {
        TmpSaveFile::adopt(m_chapterId, m_chosenText);
    } catch (const Exception &e) {
        // The copies stay: they hold the only other text.
        g_App.showError(e.message());
        return false;
    }
    for (const QString &path : TmpSaveFile::removeAll(m_folder, m_chapterId))
        writeLog(QStringLiteral("err"), QStringLiteral("临时保存文件删不掉：%1").arg(path));
    return true;
}

bool TmpSaveProcDialog::discard()
{
    if (g_App.ask(QStringLiteral("确定不保留所有临时文件吗？")) != Ink::maYes)
        return false;
    for (const QString &path : TmpSaveFile::removeAll(m_folder, m_chapterId))
        writeLog(QStringLiteral("err"), QStringLiteral("临时保存文件删不掉：%1").arg(path));
    return true;
}
