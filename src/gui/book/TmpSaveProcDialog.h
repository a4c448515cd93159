#pragma once

#include "frame/Dialog.h"

#include <QFuture>
#include <QModelIndex>
#include <QStringList>

class QStandardItemModel;
namespace Ui {
class TmpSaveProcDialog;
}

// Offers a chapter's recovery copies when it is opened: the stored text beside the chosen copy
// or its difference, and three ways out — adopt the copy, drop all copies, decide later.
class TmpSaveProcDialog : public Dialog
{
    Q_OBJECT
public:
    // Result codes (a postponed decision is a rejection).
    enum Outcome { Postponed = QDialog::Rejected, Adopted = 2, Discarded = 3 };

    TmpSaveProcDialog(const QString &chapterId, const QString &folder, QWidget *parent = nullptr);
    ~TmpSaveProcDialog() override;

    QString chapterId() const { return m_chapterId; }
    // The chapter's copies, newest first.
    QStringList files() const { return m_files; }
    QString chosenText() const { return m_chosenText; }
    bool isComparing() const { return m_comparing; }

signals:
    void signalDiffFinish(QString text, bool isHtml);

public slots:
    void listViewTmpSaveFileCurrentChanged(const QModelIndex &current, const QModelIndex &previous);
    void on_checkBoxDiffs_stateChanged(int arg1);
    void on_checkBoxLineBased_stateChanged(int arg1);
    void diffFinish(QString text, bool isHtml);
    // Every way of closing passes here: refused during a comparison, else the outcome's question.
    void done(int r) override;

private:
    void compare();
    bool adopt();
    bool discard();

    Ui::TmpSaveProcDialog *ui;
    QStandardItemModel *m_model;
    QString m_chapterId;
    QString m_folder;
    QStringList m_files;
    QString m_storedText;
    QString m_chosenText;
    bool m_chosenOk = false;
    bool m_comparing = false;
    bool m_compareAgain = false;
    QFuture<void> m_future;
};
