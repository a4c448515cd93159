#include "book/EditorController.h"
#include "book/CursorBlink.h"

#include "book/MyTextEdit.h"
#include "frame/ComboText.h"
#include "frame/GlyphIcon.h"
#include "params/SysParams.h"

#include <QAbstractItemView>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QColorDialog>
#include <QComboBox>
#include <QFontComboBox>
#include <QFontDatabase>
#include <QMimeData>
#include <QStyle>
#include <QTimer>
#include <QToolBar>

EditorController::EditorController(MyTextEdit *editor, QToolBar *styleToolBar, const Actions &actions,
                                   QWidget *dialogParent)
    : QObject(dialogParent), m_editor(editor), m_actions(actions), m_dialogParent(dialogParent)
{
    buildStyleBoxes(styleToolBar);
    new CursorBlink(this);

    const QFont f = QApplication::font();
    m_actions.bold->setIcon(glyphIcon(QStringLiteral("B"), f, true));
    m_actions.italic->setIcon(glyphIcon(QStringLiteral("I"), f, false, true));
    m_actions.underline->setIcon(glyphIcon(QStringLiteral("U"), f, false, false, true));
    m_actions.strikeOut->setIcon(glyphIcon(QStringLiteral("S"), f, false, false, false, true));
    m_actions.alignLeft->setIcon(alignIcon(Qt::AlignLeft));
    m_actions.alignCenter->setIcon(alignIcon(Qt::AlignHCenter));
    m_actions.alignRight->setIcon(alignIcon(Qt::AlignRight));
    m_actions.alignJustify->setIcon(alignIcon(Qt::AlignJustify));
    m_actions.cut->setIcon(QIcon(QStringLiteral(":/res/icons/cut01.png")));
    m_actions.copy->setIcon(QIcon(QStringLiteral(":/res/icons/copy01.png")));
    m_actions.paste->setIcon(QIcon(QStringLiteral(":/res/icons/paste01.png")));
    m_actions.selectAll->setIcon(QIcon(QStringLiteral(":/res/icons/selectall01.png")));
    QStyle *st = dialogParent->style();
    m_actions.save->setIcon(st->standardIcon(QStyle::SP_DialogSaveButton));
    m_actions.undo->setIcon(st->standardIcon(QStyle::SP_ArrowBack));
    m_actions.redo->setIcon(st->standardIcon(QStyle::SP_ArrowForward));
    m_actions.color->setIcon(colorIcon(Qt::black));
    m_actions.backColor->setIcon(colorIcon(Qt::white));
    m_actions.smartSentenceWord->setChecked(g_SysParams.editorParams.smartSentenceWord);

    // The group keeps one alignment checked; its order follows the writing direction.
    m_alignGroup = new QActionGroup(this);
    m_alignGroup->setExclusive(true);
    if (QApplication::isLeftToRight()) {
        for (QAction *a : {m_actions.alignLeft, m_actions.alignCenter, m_actions.alignRight, m_actions.alignJustify})
            m_alignGroup->addAction(a);
    } else {
        for (QAction *a : {m_actions.alignRight, m_actions.alignCenter, m_actions.alignLeft, m_actions.alignJustify})
            m_alignGroup->addAction(a);
    }
    connect(m_alignGroup, &QActionGroup::triggered, this, [this](QAction *a) {
        if (a == m_actions.alignLeft)
            m_editor->setAlignment(Qt::AlignLeft | Qt::AlignAbsolute);
        else if (a == m_actions.alignCenter)
            m_editor->setAlignment(Qt::AlignHCenter);
        else if (a == m_actions.alignRight)
            m_editor->setAlignment(Qt::AlignRight | Qt::AlignAbsolute);
        else if (a == m_actions.alignJustify)
            m_editor->setAlignment(Qt::AlignJustify);
    });
    bindDocumentState();
}

EditorController::~EditorController() = default;

void EditorController::buildStyleBoxes(QToolBar *styleToolBar)
{
    m_comboStyle = new QComboBox(styleToolBar);
    m_comboStyle->setObjectName(QStringLiteral("comboStyle"));
    m_comboStyle->addItems({QStringLiteral("标准"), QStringLiteral("项目符号(实心圆)"), QStringLiteral("项目符号(空心圆)"),
                            QStringLiteral("项目符号(实心正方形)"), QStringLiteral("编号(阿拉伯数字)"),
                            QStringLiteral("编号(小写英文字母)"), QStringLiteral("编号(大写英文字母)"),
                            QStringLiteral("编号(小写罗马数字)"), QStringLiteral("编号(大写罗马数字)")});
    m_comboStyle->setFixedWidth(60);
    m_comboStyle->view()->setMinimumWidth(170);
    m_comboFont = new QFontComboBox(styleToolBar);
    m_comboFont->setObjectName(QStringLiteral("comboFont"));
    m_comboFont->setFixedWidth(100);
    m_comboFont->setWritingSystem(QFontDatabase::SimplifiedChinese);
    showTextStart(m_comboFont);
    m_comboSize = new QComboBox(styleToolBar);
    m_comboSize->setObjectName(QStringLiteral("comboSize"));
    m_comboSize->setEditable(true);
    m_comboSize->setFixedWidth(50);
    for (int size : QFontDatabase::standardSizes())
        m_comboSize->addItem(QString::number(size));
    m_comboSize->setCurrentIndex(m_comboSize->findText(QString::number(QApplication::font().pointSize())));
    QAction *first = styleToolBar->actions().value(0);
    styleToolBar->insertWidget(first, m_comboStyle);
    styleToolBar->insertWidget(first, m_comboFont);
    styleToolBar->insertWidget(first, m_comboSize);
    connect(m_comboStyle, QOverload<int>::of(&QComboBox::activated), m_editor, &MyTextEdit::textSetStyle);
    connect(m_comboFont, &QFontComboBox::textActivated, m_editor, &MyTextEdit::textSetFamily);
    connect(m_comboSize, &QComboBox::textActivated, m_editor, &MyTextEdit::textSetSize);
}

void EditorController::bindDocumentState()
{
    MyTextEdit *editor = m_editor;
    QTextDocument *doc = editor->document();
    connect(doc, &QTextDocument::modificationChanged, m_actions.save, &QAction::setEnabled);
    connect(doc, &QTextDocument::undoAvailable, m_actions.undo, &QAction::setEnabled);
    connect(doc, &QTextDocument::redoAvailable, m_actions.redo, &QAction::setEnabled);
    m_actions.save->setEnabled(doc->isModified());
    m_actions.undo->setEnabled(doc->isUndoAvailable());
    m_actions.redo->setEnabled(doc->isRedoAvailable());
    m_actions.cut->setEnabled(false);
    m_actions.copy->setEnabled(false);
    if (QClipboard *clipboard = QApplication::clipboard()) {
        connect(clipboard, &QClipboard::dataChanged, this, [this]() {
            const QMimeData *md = QApplication::clipboard()->mimeData();
            m_actions.paste->setEnabled(md && md->hasText());
        });
    }
    connect(m_actions.cut, &QAction::triggered, editor, &QTextEdit::cut);
    connect(m_actions.copy, &QAction::triggered, editor, &QTextEdit::copy);
    connect(m_actions.paste, &QAction::triggered, editor, &QTextEdit::paste);
    connect(m_actions.selectAll, &QAction::triggered, editor, &QTextEdit::selectAll);
    QTimer::singleShot(0, editor, [editor]() { editor->setFocus(); });
}

void EditorController::setBold() { m_editor->textSetBold(m_actions.bold->isChecked()); }
void EditorController::setItalic() { m_editor->textSetItalic(m_actions.italic->isChecked()); }
void EditorController::setUnderline() { m_editor->textSetUnderline(m_actions.underline->isChecked()); }
void EditorController::setStrikeOut() { m_editor->textSetStrickout(m_actions.strikeOut->isChecked()); }

void EditorController::chooseColor()
{
    const QColor color = QColorDialog::getColor(m_editor->textColor(), m_dialogParent);
    if (!color.isValid())
        return;
    m_editor->textSetColor(color);
    m_actions.color->setIcon(colorIcon(color));
}

void EditorController::chooseBackColor()
{
    const QColor color = QColorDialog::getColor(m_editor->textBackgroundColor(), m_dialogParent);
    if (!color.isValid())
        return;
    m_editor->textSetBackColor(color);
    m_actions.backColor->setIcon(colorIcon(color));
}

void EditorController::applySmartSentenceWordSwitch()
{
    g_SysParams.editorParams.smartSentenceWord = m_actions.smartSentenceWord->isChecked();
}

void EditorController::showCharFormat(const QTextCharFormat &format)
{
    const QFont font = format.font();
    const int fontIndex = m_comboFont->findText(QFontInfo(font).family());
    if (fontIndex >= 0)
        m_comboFont->setCurrentIndex(fontIndex);
    m_comboSize->setCurrentText(QString::number(font.pointSizeF() > 0 ? font.pointSizeF() : font.pointSize()));
    m_actions.bold->setChecked(font.bold());
    m_actions.italic->setChecked(font.italic());
    m_actions.underline->setChecked(font.underline());
    m_actions.strikeOut->setChecked(font.strikeOut());
    m_actions.color->setIcon(colorIcon(format.foreground().style() == Qt::NoBrush ? QColor(Qt::black)
                                                                                  : format.foreground().color()));
    m_actions.backColor->setIcon(colorIcon(format.background().style() == Qt::NoBrush
                                               ? QColor(Qt::white)
                                               : format.background().color()));
}

void EditorController::showAlignment()
{
    const Qt::Alignment align = m_editor->alignment();
    if (align & Qt::AlignLeft)
        m_actions.alignLeft->setChecked(true);
    else if (align & Qt::AlignHCenter)
        m_actions.alignCenter->setChecked(true);
    else if (align & Qt::AlignRight)
        m_actions.alignRight->setChecked(true);
    else if (align & Qt::AlignJustify)
        m_actions.alignJustify->setChecked(true);
}

void EditorController::showSelection()
{
    const bool sel = m_editor->textCursor().hasSelection();
    m_actions.cut->setEnabled(sel);
    m_actions.copy->setEnabled(sel);
}

void EditorController::applyDefaultFormat()
{
    QTextCharFormat fmt;
    fmt.setFontFamily(g_SysParams.editorParams.defaultFontName);
    if (g_SysParams.editorParams.defaultFontSize > 0)
        fmt.setFontPointSize(g_SysParams.editorParams.defaultFontSize);
    fmt.setForeground(QColor(Qt::red));
    m_editor->mergeCurrentCharFormat(fmt);
    m_editor->document()->setModified(false);
}
