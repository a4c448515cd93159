#include "material/MaterialEditDialog.h"

#include "app/App.h"
#include "app/Exception.h"
#include "frame/Dialog.h"
#include "material/UserMaterialStore.h"
#include "storage/DataAccess.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

QString MaterialEditDialog::s_materialId;
QString MaterialEditDialog::s_parentId;
QString MaterialEditDialog::s_content;

MaterialEditDialog::MaterialEditDialog(QWidget *parent) : Dialog(parent)
{
    // One dialog at a time: nothing of the previous material may leak into this one.
    s_materialId.clear();
    s_parentId.clear();
    s_content.clear();
    setObjectName(QStringLiteral("MaterialEditDialog"));
    setWindowTitle(QStringLiteral("素材编辑"));
    setWindowIcon(QIcon(QStringLiteral(":/res/icons/bookmark02.png")));
    resize(502, 413);
    auto *layout = new QVBoxLayout(this);
    m_labelTitle = new QLabel(QStringLiteral("标题："), this);
    m_labelTitle->setObjectName(QStringLiteral("labelTitle"));
    m_lineEditTitle = new QLineEdit(this);
    m_lineEditTitle->setObjectName(QStringLiteral("lineEditTitle"));
    m_plainTextEditContent = new QPlainTextEdit(this);
    m_plainTextEditContent->setObjectName(QStringLiteral("plainTextEditContent"));
    m_buttonBox = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttonBox->setObjectName(QStringLiteral("buttonBox"));
    nameButtons(m_buttonBox);
    layout->addWidget(m_labelTitle);
    layout->addWidget(m_lineEditTitle);
    layout->addWidget(m_plainTextEditContent, 1);
    layout->addWidget(m_buttonBox);
    QMetaObject::connectSlotsByName(this);
}

void MaterialEditDialog::setMaterialId(const QString &id)
{
    s_materialId = id;
    if (id.isEmpty())
        return;
    QueryPtr q = openQuery(QStringLiteral("SELECT Title,PlainText FROM MemoTree WHERE id=%1").arg(quoteSql(id)));
    if (q->next()) {
        m_lineEditTitle->setText(q->value(0).toString());
        setContent(q->value(1).toString());
    }
}

void MaterialEditDialog::setContent(const QString &text)
{
    s_content = text;
    m_plainTextEditContent->setPlainText(text);
}

void MaterialEditDialog::on_buttonBox_accepted() { done(QDialog::Accepted); }
void MaterialEditDialog::on_buttonBox_rejected() { done(QDialog::Rejected); }
void MaterialEditDialog::on_buttonBox_clicked(QAbstractButton *) {}

void MaterialEditDialog::done(int r)
{
    m_canClose = checkClose(r);
    if (m_canClose)
        Dialog::done(r);
}

bool MaterialEditDialog::checkClose(int r)
{
    if (r == QDialog::Accepted) {
        const QString text = m_plainTextEditContent->toPlainText();
        try {
            // Saved before closing: on a failure the author still has the text.
            s_materialId = UserMaterialStore::saveMaterial(s_materialId, s_parentId, m_lineEditTitle->text(), text);
        } catch (const Exception &e) {
            g_App.showError(e.message());
            return false;
        }
        s_content = text;
        return true;
    }
    if (r == QDialog::Rejected)
        return g_App.ask(QStringLiteral("确定取消吗？"), Ink::mbYes | Ink::mbNo) == Ink::maYes;
    return true;
}
