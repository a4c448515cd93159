#include "material/ArticleViewDialog.h"

#include "app/App.h"
#include "book/BookTree.h"
#include "frame/Frames.h"
#include "material/MaterialList.h"

#include "ui_ArticleViewDialog.h"

#include <QIcon>
#include <QPointer>
#include <QStandardItemModel>

ArticleViewDialog::ArticleViewDialog(const QString &name, const QString &title, QWidget *parent)
    : Dialog(parent), ui(new Ui::ArticleViewDialog), m_name(name), m_model(new QStandardItemModel(this))
{
    ui->setupUi(this);
    setWindowTitle(title);
    setWindowIcon(QIcon(QStringLiteral(":/res/icons/file01.png")));
    ui->treeViewArticle->setModel(m_model);
    connect(ui->treeViewArticle->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &ArticleViewDialog::treeViewArticleCurrentChanged);
    loadTree();
}

ArticleViewDialog::~ArticleViewDialog()
{
    // Items go before the records they point to.
    m_model->clear();
    delete ui;
}

QTreeView *ArticleViewDialog::treeViewArticle() const { return ui->treeViewArticle; }

QTextEdit *ArticleViewDialog::textEditArticle() const { return ui->textEditArticle; }

void ArticleViewDialog::loadTree()
{
    TreeRows rows;
    {
        QueryPtr query = material::runLibraryQuery(QStringLiteral(
            "SELECT ID,pID,Title,PlainText,NodeType,Attribute1 _type FROM A.ArticleTree ORDER BY level,pID,sort"));
        rows = readTreeRows(*query);
    }
    buildTreeLevel(rows, m_model, nullptr, QString(), m_records);
    if (m_model->rowCount() > 0)
        ui->treeViewArticle->setCurrentIndex(m_model->index(0, 0));
}

void ArticleViewDialog::treeViewArticleCurrentChanged(const QModelIndex &current, const QModelIndex &)
{
    if (!current.isValid())
        return;
    if (const TreeNodeInfo *record = TreeNodeInfo::of(current))
        ui->textEditArticle->setPlainText(record->plainText);
}

void ArticleViewDialog::showWritingGuide(QWidget *parent)
{
    QPointer<ArticleViewDialog> dialog = new ArticleViewDialog(QStringLiteral("WritingGuide"),
                                                               QStringLiteral("写作指导"), parent);
    Frames::showFramed(dialog, Ink::foModal | Ink::foParentMain | Ink::foResizable);
    delete dialog.data();
}
