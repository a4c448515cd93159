#include "mainwindow/ScreenReaderNames.h"
#include "ui_MainWindow.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QToolButton>

void nameForScreenReaders(QWidget *window, Ui::MainWindow *ui)
{
    // A screen reader reads these names; buttons without text would be read as "button".
    const QList<QPair<QWidget *, QString>> names = {
        {ui->treeViewBook, QStringLiteral("书籍目录")},
        {ui->textEditor, QStringLiteral("章节编辑区")},
        {ui->listViewSearchMaterial, QStringLiteral("智能搜索结果")},
        {ui->lineEditWord, QStringLiteral("素材搜索关键字")},
        {ui->tabWidgetMaterial, QStringLiteral("素材目录")},
        {ui->treeViewMaterial, QStringLiteral("素材库目录")},
        {ui->treeViewUserMaterial, QStringLiteral("用户素材库目录")},
        {ui->listViewMaterial, QStringLiteral("素材列表")},
        {ui->plainTextEditMaterialContent, QStringLiteral("素材内容")},
    };
    for (const auto &name : names)
        name.first->setAccessibleName(name.second);
    const QList<QPair<const char *, QString>> boxes = {
        {"comboStyle", QStringLiteral("列表样式")}, {"comboFont", QStringLiteral("字体")}, {"comboSize", QStringLiteral("字号")}};
    for (const auto &box : boxes) {
        if (auto *combo = ui->styleToolBar->findChild<QComboBox *>(QLatin1String(box.first))) {
            combo->setAccessibleName(box.second);
            if (combo->lineEdit())
                combo->lineEdit()->setAccessibleName(box.second);
        }
    }
    for (QToolButton *button : window->findChildren<QToolButton *>()) {
        if (!button->accessibleName().isEmpty())
            continue;
        if (qobject_cast<QLineEdit *>(button->parentWidget()))
            button->setAccessibleName(QStringLiteral("清除"));
        else if (QAction *action = button->defaultAction())
            button->setAccessibleName(action->text());
        else if (!button->toolTip().isEmpty())
            button->setAccessibleName(button->toolTip().section(QLatin1Char('('), 0, 0));
    }
    // Tab walks the panels from left to right: book panel, editor, material panel. In the editor
    // it moves on too (paragraphs are indented by Enter), or the keyboard could never leave it.
    ui->textEditor->setTabChangesFocus(true);
    QWidget::setTabOrder(ui->treeViewBook, ui->textEditor);
    QWidget::setTabOrder(ui->textEditor, ui->lineEditWord);
}
