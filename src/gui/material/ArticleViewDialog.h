#pragma once

#include "book/TreeNodeInfo.h"
#include "frame/Dialog.h"

#include <QModelIndex>

class QStandardItemModel;
class QTextEdit;
class QTreeView;

namespace Ui {
class ArticleViewDialog;
}

// Reader of the writing-guide articles: their folder tree on the left, the text on the right.
class ArticleViewDialog : public Dialog
{
    Q_OBJECT
public:
    ArticleViewDialog(const QString &name, const QString &title, QWidget *parent = nullptr);
    ~ArticleViewDialog() override;

    QString name() const { return m_name; }
    QTreeView *treeViewArticle() const;
    QTextEdit *textEditArticle() const;
    QStandardItemModel *model() const { return m_model; }

    // The writing guide, shown modally in a frame; the dialog is gone when this returns.
    static void showWritingGuide(QWidget *parent);

public slots:
    void treeViewArticleCurrentChanged(const QModelIndex &current, const QModelIndex &previous);

private:
    void loadTree();

    Ui::ArticleViewDialog *ui;
    QString m_name;
    QStandardItemModel *m_model;
    TreeNodeList m_records;
};
