#include "material/DeletedMaterialsDialog.h"

#include "app/App.h"
#include "app/Exception.h"
#include "material/UserMaterialStore.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

DeletedMaterialsDialog::DeletedMaterialsDialog(QWidget *parent) : Dialog(parent)
{
    setObjectName(QStringLiteral("DeletedMaterialsDialog"));
    setWindowTitle(QStringLiteral("最近删除"));
    setWindowIcon(QIcon(QStringLiteral(":/res/icons/delete03.png")));
    resize(600, 420);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("选择要恢复的文件夹或素材（文件夹连同与它一起删除的内容恢复）："), this));
    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("listWidgetDeleted"));
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    layout->addWidget(m_list, 1);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setText(QStringLiteral("关闭"));
    m_restore = buttons->addButton(QStringLiteral("恢复"), QDialogButtonBox::ActionRole);
    m_restore->setObjectName(QStringLiteral("pushButtonRestore"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_restore, &QPushButton::clicked, this, &DeletedMaterialsDialog::restoreSelected);
    connect(m_list, &QListWidget::itemSelectionChanged, this,
            [this] { m_restore->setEnabled(!m_list->selectedItems().isEmpty()); });
    connect(m_list, &QListWidget::itemDoubleClicked, this, &DeletedMaterialsDialog::restoreSelected);
    reload();
}

void DeletedMaterialsDialog::reload()
{
    m_list->clear();
    m_entries = UserMaterialStore::recentlyDeleted();
    for (const UserMaterialStore::Deleted &d : qAsConst(m_entries)) {
        // The time first: a long title must not push it out of sight.
        QString text = d.deleted.left(16) + QStringLiteral("　") +
                       (d.folder ? QStringLiteral("文件夹<%1>").arg(d.title) : QStringLiteral("素材<%1>").arg(d.title));
        if (d.folder && (d.contents.folders || d.contents.materials))
            text += QStringLiteral("及其下 %1 个文件夹、%2 条素材").arg(d.contents.folders).arg(d.contents.materials);
        new QListWidgetItem(text, m_list);
    }
    m_restore->setEnabled(false);
}

void DeletedMaterialsDialog::restoreSelected()
{
    // Newest first, as listed: a deletion that took a folder comes back before an older one
    // inside it, which would otherwise bring the folder back bare and leave the rest behind.
    QVector<int> chosen;
    for (int r = 0; r < m_list->count(); ++r) {
        if (m_list->item(r)->isSelected())
            chosen << r;
    }
    try {
        for (int r : chosen) {
            const UserMaterialStore::Deleted &d = m_entries.at(r);
            if (UserMaterialStore::restoreDeleted(d.id) > 0) {
                m_restoredFolderId = d.folder ? d.id : d.pID;
                m_restoredMaterialId = d.folder ? QString() : d.id;
            }
        }
    } catch (const Exception &e) {
        g_App.showError(e.message());
    }
    reload();
}
