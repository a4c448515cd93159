#pragma once

// The material panel, the suggestion frame and the chapter editor, wired as the window wires them.
#include "book/MyTextEdit.h"
#include "material/MaterialBrowser.h"
#include "material/MaterialSearchController.h"

#include <QtWidgets>

struct MaterialPanel {
    QWidget window;
    QTabWidget *tabs = new QTabWidget(&window);
    QTreeView *tree = new QTreeView;
    QTreeView *userTree = new QTreeView;
    QListView *list = new QListView(&window);
    QPlainTextEdit *pane = new QPlainTextEdit(&window);
    MyTextEdit *editor = new MyTextEdit(&window);
    QFrame *frame = new QFrame(&window);
    QListView *results = new QListView(frame);
    QLineEdit *word = new QLineEdit(&window);
    QAction *insertSelect = new QAction(&window), *insertAll = new QAction(&window);
    QAction first{&window}, previous{&window}, next{&window}, last{&window}, title{&window}, content{&window},
        smart{&window};
    MaterialBrowser *browser = nullptr;
    MaterialSearchController *search = nullptr;

    MaterialPanel()
    {
        tabs->addTab(tree, QStringLiteral("素材库"));
        tabs->addTab(userTree, QStringLiteral("用户素材库"));
        browser = new MaterialBrowser({tabs, tree, userTree, list, results, pane, editor, insertSelect, insertAll}, &window);
        search = new MaterialSearchController({editor, frame, results, word, tabs, list, &first, &previous, &next, &last,
                                               &title, &content, &smart},
                                              browser, &window);
        frame->hide();
    }
    // "1" or "0" for first, previous, next and last page enabled.
    QString buttons() const
    {
        QString s;
        for (const QAction *a : {&first, &previous, &next, &last})
            s += a->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
        return s;
    }
    QStringList listTitles() const
    {
        QStringList t;
        for (int i = 0; i < browser->materialListModel()->rowCount(); ++i)
            t << browser->materialListModel()->item(i)->text();
        return t;
    }
};
