#include "book/BookExportDialog.h"

#include "app/App.h"
#include "app/Exception.h"
#include "export/Manuscript.h"
#include "frame/ComboText.h"
#include "params/SysParams.h"
#include "storage/FileTransfer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

using BookFileExport::Format;

namespace {

const char *const kFormatTexts[] = {"TXT 纯文本", "EPUB 电子书", "ODT 文档", "DOCX 文档", "PDF 打印样稿"};

QWidget *withButton(QLineEdit *edit, QPushButton *button)
{
    auto *box = new QWidget;
    auto *row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(edit, 1);
    row->addWidget(button);
    return box;
}

} // namespace

BookExportDialog::BookExportDialog(const QString &bookId, const QString &focusId,
                                   const BookFileExport::Options &remembered, QWidget *parent)
    : Dialog(parent), m_bookId(bookId)
{
    setObjectName(QStringLiteral("BookExportDialog"));
    setWindowTitle(QStringLiteral("导出整本书"));
    resize(760, 560);

    m_tree = new QTreeWidget;
    m_tree->setObjectName(QStringLiteral("treeNodes"));
    m_tree->setHeaderHidden(true);
    const Manuscript::Outline outline = Manuscript::readOutline(bookId, {});
    auto *root = new QTreeWidgetItem(m_tree, {outline.bookTitle});
    root->setFlags(root->flags() | Qt::ItemIsUserCheckable | Qt::ItemIsAutoTristate);
    QTreeWidgetItem *volume = nullptr;
    QList<QTreeWidgetItem *> leaves;
    for (const Manuscript::Node &node : outline.nodes) {
        QTreeWidgetItem *parentItem = node.volume || !volume ? root : volume;
        auto *item = new QTreeWidgetItem(parentItem, {node.title});
        item->setData(0, Qt::UserRole, node.id);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable | (node.volume ? Qt::ItemIsAutoTristate : Qt::ItemFlags()));
        if (node.volume)
            volume = item;
        else if (parentItem == root)
            volume = nullptr;
        // Leaves carry the state; an empty volume is a leaf of its own.
        leaves.append(item);
    }
    const bool focused = !focusId.isEmpty() && focusId != bookId;
    for (QTreeWidgetItem *item : leaves) {
        if (item->childCount() > 0)
            continue;
        bool on = !focused;
        for (QTreeWidgetItem *up = item; up && !on; up = up->parent())
            on = up->data(0, Qt::UserRole).toString() == focusId;
        item->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
    }
    if (root->childCount() == 0)
        root->setCheckState(0, Qt::Checked);
    m_tree->expandAll();

    m_format = new QComboBox;
    m_format->setObjectName(QStringLiteral("comboFormat"));
    for (const char *text : kFormatTexts)
        m_format->addItem(QString::fromUtf8(text));
    m_output = new QLineEdit(remembered.output);
    m_output->setObjectName(QStringLiteral("editOutput"));
    auto *browse = new QPushButton(QStringLiteral("浏览…"));
    connect(browse, &QPushButton::clicked, this, &BookExportDialog::chooseOutput);

    m_encoding = new QComboBox;
    m_encoding->addItems({QStringLiteral("UTF-8（无BOM）"), QStringLiteral("GB18030（GBK）")});
    m_encoding->setCurrentIndex(remembered.gb18030 ? 1 : 0);
    m_lineEnds = new QComboBox;
    m_lineEnds->addItems({QStringLiteral("LF（Linux、macOS）"), QStringLiteral("CRLF（Windows）")});
    m_lineEnds->setCurrentIndex(remembered.crlf ? 1 : 0);
    m_indent = new QCheckBox(QStringLiteral("段首缩进两个全角空格"));
    m_indent->setChecked(remembered.indent);
    m_volumePattern = new QLineEdit(remembered.volumePattern);
    m_chapterPattern = new QLineEdit(remembered.chapterPattern);
    const QString patternHelp = QStringLiteral("{title}：原标题；{n}：中文序号；{N}：数字序号");
    m_volumePattern->setToolTip(patternHelp);
    m_chapterPattern->setToolTip(patternHelp);
    m_title = new QLineEdit(remembered.title.isEmpty() ? outline.bookTitle : remembered.title);
    m_author = new QLineEdit(remembered.author);
    m_cover = new QLineEdit(remembered.coverImage);
    auto *coverButton = new QPushButton(QStringLiteral("选择…"));
    connect(coverButton, &QPushButton::clicked, this, &BookExportDialog::chooseCover);
    m_vertical = new QCheckBox(QStringLiteral("竖排"));
    m_vertical->setChecked(remembered.vertical);
    m_pageSize = new QComboBox;
    m_pageSize->addItems({QStringLiteral("A5"), QStringLiteral("A4")});
    m_pageSize->setCurrentIndex(remembered.a4 ? 1 : 0);
    m_font = new QFontComboBox;
    m_font->setWritingSystem(QFontDatabase::SimplifiedChinese);
    // The editor's font unless another was chosen before (the list would start at its first font).
    m_font->setCurrentFont(QFont(remembered.fontFamily.isEmpty() ? g_SysParams.editorParams.defaultFontName
                                                                 : remembered.fontFamily));
    showTextStart(m_font);

    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("格式："), m_format);
    form->addRow(QStringLiteral("导出到："), withButton(m_output, browse));
    auto addRow = [form](QList<QWidget *> &rows, const QString &label, QWidget *field) {
        auto *l = new QLabel(label);
        form->addRow(l, field);
        rows << l << field;
    };
    addRow(m_txtRows, QStringLiteral("编码："), m_encoding);
    addRow(m_txtRows, QStringLiteral("换行："), m_lineEnds);
    addRow(m_txtRows, QStringLiteral("卷标题："), m_volumePattern);
    addRow(m_txtRows, QStringLiteral("章标题："), m_chapterPattern);
    addRow(m_txtRows, QString(), m_indent);
    addRow(m_docRows, QStringLiteral("书名："), m_title);
    addRow(m_docRows, QStringLiteral("作者："), m_author);
    addRow(m_epubRows, QStringLiteral("封面图片："), withButton(m_cover, coverButton));
    addRow(m_epubRows, QString(), m_vertical);
    addRow(m_pdfRows, QStringLiteral("纸张："), m_pageSize);
    addRow(m_pdfRows, QStringLiteral("字体："), m_font);

    auto *buttons = new QDialogButtonBox;
    buttons->addButton(QStringLiteral("导出"), QDialogButtonBox::AcceptRole)->setObjectName(QStringLiteral("buttonExport"));
    buttons->addButton(QStringLiteral("取消"), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &BookExportDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &BookExportDialog::reject);

    auto *side = new QVBoxLayout;
    side->addLayout(form);
    side->addStretch(1);
    side->addWidget(buttons);
    auto *layout = new QHBoxLayout(this);
    auto *left = new QVBoxLayout;
    left->addWidget(new QLabel(QStringLiteral("导出的卷和章：")));
    left->addWidget(m_tree, 1);
    layout->addLayout(left, 2);
    layout->addLayout(side, 3);

    connect(m_format, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &BookExportDialog::formatChanged);
    m_format->setCurrentIndex(int(remembered.format));
    // A first export goes to the home folder under the book's title.
    if (m_output->text().isEmpty())
        m_output->setText(QDir::home().filePath(sanitizeFileName(outline.bookTitle) + QStringLiteral(".txt")));
    formatChanged();
}

void BookExportDialog::formatChanged()
{
    const auto f = Format(m_format->currentIndex());
    for (QWidget *w : qAsConst(m_txtRows))
        w->setVisible(f == Format::Txt);
    for (QWidget *w : qAsConst(m_docRows))
        w->setVisible(f != Format::Txt);
    for (QWidget *w : qAsConst(m_epubRows))
        w->setVisible(f == Format::Epub);
    for (QWidget *w : qAsConst(m_pdfRows))
        w->setVisible(f == Format::Pdf);
    // The file name follows the format.
    const QString path = m_output->text().trimmed();
    if (!path.isEmpty()) {
        const QFileInfo info(path);
        m_output->setText(info.dir().filePath(info.completeBaseName() + QLatin1Char('.') + BookFileExport::formatName(f)));
    }
}

void BookExportDialog::chooseOutput()
{
    const QString suffix = BookFileExport::formatName(Format(m_format->currentIndex()));
    QString start = m_output->text();
    if (start.isEmpty())
        start = QDir::home().filePath(m_title->text() + QLatin1Char('.') + suffix);
    // Replacing is asked on export, once.
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("导出到"), start,
                                                      QStringLiteral("*.%1").arg(suffix), nullptr,
                                                      QFileDialog::DontConfirmOverwrite);
    if (!path.isEmpty())
        m_output->setText(path);
}

void BookExportDialog::chooseCover()
{
    // Never the process's working folder: the cover's, else the output's, else home.
    QString start = m_cover->text().trimmed();
    if (start.isEmpty() && !m_output->text().trimmed().isEmpty())
        start = QFileInfo(m_output->text().trimmed()).absolutePath();
    if (start.isEmpty() || !QFileInfo::exists(start))
        start = QDir::homePath();
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("封面图片"), start,
                                                      QStringLiteral("图片 (*.jpg *.jpeg *.png)"));
    if (!path.isEmpty())
        m_cover->setText(path);
}

BookFileExport::Options BookExportDialog::options() const
{
    BookFileExport::Options o;
    o.bookId = m_bookId;
    o.format = Format(m_format->currentIndex());
    o.output = m_output->text().trimmed();
    if (!o.output.isEmpty() && QFileInfo(o.output).suffix().isEmpty())
        o.output += QLatin1Char('.') + BookFileExport::formatName(o.format);
    o.gb18030 = m_encoding->currentIndex() == 1;
    o.crlf = m_lineEnds->currentIndex() == 1;
    o.indent = m_indent->isChecked();
    o.volumePattern = m_volumePattern->text();
    o.chapterPattern = m_chapterPattern->text();
    o.title = m_title->text().trimmed();
    o.author = m_author->text().trimmed();
    o.coverImage = m_cover->text().trimmed();
    o.vertical = m_vertical->isChecked();
    o.a4 = m_pageSize->currentIndex() == 1;
    o.fontFamily = m_font->currentFont().family();
    QTreeWidgetItem *root = m_tree->topLevelItem(0);
    if (root && root->checkState(0) != Qt::Checked) {
        for (QTreeWidgetItemIterator it(m_tree); *it; ++it)
            if ((*it)->checkState(0) != Qt::Unchecked && !(*it)->data(0, Qt::UserRole).toString().isEmpty())
                o.nodeIds.insert((*it)->data(0, Qt::UserRole).toString());
    }
    return o;
}

bool BookExportDialog::confirm(QString *reason) const
{
    const BookFileExport::Options o = options();
    QTreeWidgetItem *root = m_tree->topLevelItem(0);
    if (root && root->checkState(0) == Qt::Unchecked) {
        *reason = QStringLiteral("请勾选要导出的卷或章。");
        return false;
    }
    if (o.output.isEmpty()) {
        *reason = QStringLiteral("请选择导出到的文件。");
        return false;
    }
    if (!QFileInfo(QFileInfo(o.output).absolutePath()).isDir()) {
        *reason = QStringLiteral("文件夹%1不存在。").arg(QDir::toNativeSeparators(QFileInfo(o.output).absolutePath()));
        return false;
    }
    if (QFileInfo(o.output).isDir()) {
        *reason = QStringLiteral("%1是一个文件夹，请输入文件名。").arg(QDir::toNativeSeparators(o.output));
        return false;
    }
    if (QFileInfo::exists(o.output) &&
        g_App.ask(QStringLiteral("文件%1已存在，要替换它吗？").arg(QDir::toNativeSeparators(o.output))) != Ink::maYes) {
        reason->clear();
        return false;
    }
    return true;
}

void BookExportDialog::accept()
{
    QString reason;
    if (!confirm(&reason)) {
        if (!reason.isEmpty())
            g_App.showError(reason);
        return;
    }
    Dialog::accept();
}
