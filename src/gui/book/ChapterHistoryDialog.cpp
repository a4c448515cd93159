#include "book/ChapterHistoryDialog.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "book/LcsDiff.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QtConcurrent>

ChapterHistoryDialog::ChapterHistoryDialog(const QString &chapterId, const QString &currentText, QWidget *parent)
    : Dialog(parent), m_chapterId(chapterId), m_currentText(currentText), m_table(new QTableWidget(this)),
      m_view(new QTextEdit(this)), m_diffs(new QCheckBox(QStringLiteral("对比差异"), this)),
      m_byLines(new QCheckBox(QStringLiteral("行差异对比模式"), this)),
      m_restore(new QPushButton(QStringLiteral("恢复此版本"), this)),
      m_name(new QPushButton(QStringLiteral("命名此版本"), this))
{
    setWindowTitle(QStringLiteral("章节历史"));
    setObjectName(QStringLiteral("ChapterHistoryDialog"));
    m_table->setObjectName(QStringLiteral("tableWidgetHistory"));
    m_view->setObjectName(QStringLiteral("textEditHistory"));
    m_view->setReadOnly(true);
    m_diffs->setChecked(true);
    m_table->setColumnCount(5);
    m_table->setHorizontalHeaderLabels(
        {QStringLiteral("时间"), QStringLiteral("字数"), QStringLiteral("增减"), QStringLiteral("名称"), QStringLiteral("来源")});
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);

    auto *close = new QPushButton(QStringLiteral("关闭"), this);
    auto *checks = new QHBoxLayout;
    checks->addWidget(m_diffs);
    checks->addWidget(m_byLines);
    checks->addStretch();
    auto *right = new QWidget(this);
    auto *rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    rightLayout->addLayout(checks);
    rightLayout->addWidget(m_view);
    auto *splitter = new QSplitter(this);
    splitter->addWidget(m_table);
    splitter->addWidget(right);
    splitter->setSizes({420, 560});
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_name);
    buttons->addStretch();
    buttons->addWidget(m_restore);
    buttons->addWidget(close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(splitter, 1);
    layout->addLayout(buttons);
    resize(1000, 620);

    connect(this, &ChapterHistoryDialog::signalDiffFinish, this, &ChapterHistoryDialog::diffFinish,
            Qt::QueuedConnection);
    connect(m_table, &QTableWidget::currentCellChanged, this, [this] { compare(); });
    connect(m_diffs, &QCheckBox::toggled, this, [this] { compare(); });
    connect(m_byLines, &QCheckBox::toggled, this, [this] { compare(); });
    connect(m_name, &QPushButton::clicked, this, &ChapterHistoryDialog::nameVersion);
    connect(m_restore, &QPushButton::clicked, this, [this] { done(Restore); });
    connect(close, &QPushButton::clicked, this, [this] { done(QDialog::Rejected); });

    fillTable();
}

ChapterHistoryDialog::~ChapterHistoryDialog()
{
    // The comparison reports to this object.
    m_future.waitForFinished();
}

void ChapterHistoryDialog::fillTable()
{
    const qint64 keep = currentId();
    m_versions = ChapterHistory::versions(m_chapterId);
    const QSignalBlocker block(m_table);
    m_table->setRowCount(m_versions.size());
    int select = 0;
    for (int r = 0; r < m_versions.size(); ++r) {
        const ChapterHistory::Version &v = m_versions.at(r);
        // Growth against the next older version; the oldest grew from nothing we know of.
        const int growth = r + 1 < m_versions.size() ? v.length - m_versions.at(r + 1).length : v.length;
        const QStringList cells{v.time.toString(Ink::dateTimeFormat()), QString::number(v.length),
                                (growth > 0 ? QStringLiteral("+") : QString()) + QString::number(growth), v.name,
                                v.origin};
        for (int c = 0; c < cells.size(); ++c) {
            auto *item = new QTableWidgetItem(cells.at(c));
            if (c == 1 || c == 2)
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            m_table->setItem(r, c, item);
        }
        if (v.id == keep)
            select = r;
    }
    m_table->resizeColumnsToContents();
    const bool any = !m_versions.isEmpty();
    m_restore->setEnabled(any);
    m_name->setEnabled(any);
    if (any)
        m_table->setCurrentCell(select, 0);
    else
        m_view->setPlainText(QStringLiteral("这一章还没有历史版本：保存改动后，改动前的文字会留在这里。"));
    compare();
}

qint64 ChapterHistoryDialog::currentId() const
{
    const int r = m_table->currentRow();
    return r >= 0 && r < m_versions.size() ? m_versions.at(r).id : 0;
}

void ChapterHistoryDialog::compare()
{
    const qint64 id = currentId();
    if (id == 0)
        return;
    if (m_comparing) {
        m_compareAgain = true;
        return;
    }
    m_comparing = true;
    const QString current = m_currentText;
    const bool diffs = m_diffs->isChecked();
    const bool byLines = m_byLines->isChecked();
    // Reading a version and a character diff of two long texts take a while: off the GUI thread.
    m_future = QtConcurrent::run([this, id, current, diffs, byLines]() {
        try {
            const ChapterHistory::Text version = ChapterHistory::text(id);
            const DiffView view = compareForView(current, version.plainText, diffs, byLines);
            emit signalDiffFinish(view.text, view.isHtml);
        } catch (const Exception &e) {
            emit signalDiffFinish(e.message(), false);
        }
    });
}

void ChapterHistoryDialog::diffFinish(const QString &text, bool isHtml)
{
    if (isHtml) {
        // Pale diff backgrounds need dark text whatever the colour style.
        m_view->setStyleSheet(QStringLiteral("QTextEdit { background-color: white; color: black; }"));
        m_view->setHtml(text);
    } else {
        m_view->setStyleSheet(QString());
        m_view->setPlainText(text);
    }
    m_comparing = false;
    if (m_compareAgain) {
        m_compareAgain = false;
        compare();
    }
}

void ChapterHistoryDialog::nameVersion()
{
    const int r = m_table->currentRow();
    if (r < 0 || r >= m_versions.size())
        return;
    bool ok = false;
    const QString name = QInputDialog::getText(this, QStringLiteral("命名此版本"),
                                               QStringLiteral("版本名称（有名称的版本不会被自动清理）："),
                                               QLineEdit::Normal, m_versions.at(r).name, &ok);
    if (!ok)
        return;
    try {
        ChapterHistory::setName(m_versions.at(r).id, name.left(200));
    } catch (const Exception &e) {
        g_App.showError(e.message());
        return;
    }
    fillTable();
}

void ChapterHistoryDialog::done(int r)
{
    if (r == Restore) {
        m_restoreId = currentId();
        if (m_restoreId == 0)
            return;
    }
    Dialog::done(r);
}
