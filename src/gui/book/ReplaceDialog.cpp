#include "book/ReplaceDialog.h"

#include "book/TextFinder.h"

#include "ui_ReplaceDialog.h"

#include <QTextEdit>

ReplaceDialog::ReplaceDialog(QWidget *parent) : TextSearchWidget(parent), ui(new Ui::ReplaceDialog)
{
    ui->setupUi(this);
    bindForm(ui->lineEditFind, ui->checkBoxCaseSensitive, ui->checkBoxWholeWords, ui->checkBoxBackward);
}

ReplaceDialog::~ReplaceDialog() { delete ui; }

void ReplaceDialog::setReplaceText(const QString &text) { ui->lineEditReplace->setText(text); }

QString ReplaceDialog::replaceText() const { return ui->lineEditReplace->text(); }

bool ReplaceDialog::canEdit() const { return m_editor && !m_editor->isReadOnly() && !findText().isEmpty(); }

bool ReplaceDialog::replaceCurrent()
{
    if (!canEdit())
        return false;
    QTextCursor cursor = m_editor->textCursor();
    const bool backward = findFlags() & QTextDocument::FindBackward;
    if (!TextFinder::replaceCurrent(cursor, findText(), replaceText(), backward))
        return false;
    m_editor->setTextCursor(cursor);
    if (backward)
        rememberReplacedStart(cursor.position());
    return true;
}

int ReplaceDialog::replaceAll()
{
    if (!canEdit())
        return 0;
    QTextCursor cursor = m_editor->textCursor();
    const int count = TextFinder::replaceAll(m_editor->document(), cursor, findText(), replaceText(), findFlags(),
                                             replacedLimit());
    // The editor's cursor is set once, where the last replacement left it.
    if (cursor != m_editor->textCursor()) {
        m_editor->setTextCursor(cursor);
        revealSelection();
    }
    if (count > 0 && (findFlags() & QTextDocument::FindBackward) && !cursor.hasSelection())
        rememberReplacedStart(cursor.position());
    return count;
}

void ReplaceDialog::on_pushButtonReplace_clicked()
{
    if (canEdit()) {
        replaceCurrent();
        findNext();
    }
    reactivateLater();
}

void ReplaceDialog::on_pushButtonReplaceAll_clicked()
{
    replaceAll();
    reactivateLater();
}
