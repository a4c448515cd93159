#include "book/ChapterHistoryDialog.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "book/LcsDiff.h"

#include <QAbstractTableModel>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QtConcurrent>

// The versions as the list shows them: cells are made only for the rows on screen, so a chapter
// with hundreds of versions opens as fast as one with a few. Metadata only; texts are read when a
// version is chosen.
class VersionListModel : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;

    void setVersions(QVector<ChapterHistory::Version> versions)
    {
        beginResetModel();
        m_versions = std::move(versions);
        endResetModel();
    }
    const QVector<ChapterHistory::Version> &versions() const { return m_versions; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : m_versions.size();
    }
    int columnCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : 5;
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= m_versions.size())
            return {};
        if (role == Qt::TextAlignmentRole)
            return index.column() == 1 || index.column() == 2 ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                                                              : QVariant();
        if (role != Qt::DisplayRole)
            return {};
        const ChapterHistory::Version &v = m_versions.at(index.row());
        switch (index.column()) {
        case 0:
            return v.time.toString(Ink::dateTimeFormat());
        case 1:
            return QString::number(v.length);
        case 2: {
            // Growth against the next older version; the oldest has none to compare with.
            if (index.row() + 1 >= m_versions.size())
                return QString();
            const int g = v.length - m_versions.at(index.row() + 1).length;
            return (g > 0 ? QStringLiteral("+") : QString()) + QString::number(g);
        }
        case 3:
            return v.name;
        default:
            return v.origin;
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= 5)
            return QAbstractTableModel::headerData(section, orientation, role);
        static const char *const titles[] = {"时间", "字数", "增减", "名称", "来源"};
        return QString::fromUtf8(titles[section]);
    }

private:
    QVector<ChapterHistory::Version> m_versions;
};

ChapterHistoryDialog::ChapterHistoryDialog(const QString &chapterId, const QString &currentText,
                                           QWidget *parent)
    : Dialog(parent), m_chapterId(chapterId), m_currentText(currentText), m_model(new VersionListModel(this)),
      m_table(new QTableView(this)), m_view(new QTextEdit(this)),
      m_diffs(new QCheckBox(QStringLiteral("对比差异"), this)),
      m_byLines(new QCheckBox(QStringLiteral("行差异对比模式"), this)),
      m_restore(new QPushButton(QStringLiteral("恢复此版本"), this)),
      m_name(new QPushButton(QStringLiteral("命名此版本"), this))
{
    setWindowTitle(QStringLiteral("章节历史"));
    setObjectName(QStringLiteral("ChapterHistoryDialog"));
    m_table->setObjectName(QStringLiteral("tableViewHistory"));
    m_view->setObjectName(QStringLiteral("textEditHistory"));
    m_view->setReadOnly(true);
    m_diffs->setChecked(true);
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    // Widths from the font, not from 500 rows measured one by one.
    const QFontMetrics fm(m_table->font());
    const int pad = fm.horizontalAdvance(QLatin1Char('0')) * 2;
    for (const auto &c :
         {std::make_pair(0, QStringLiteral("2026-12-31 23:59:59")),
          std::make_pair(1, QStringLiteral("00000")), std::make_pair(2, QStringLiteral("+00000")),
          std::make_pair(3, QStringLiteral("投稿前的定稿"))})
        m_table->setColumnWidth(c.first, fm.horizontalAdvance(c.second) + pad);

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
    connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] { compare(); });
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
    m_model->setVersions(ChapterHistory::versions(m_chapterId));
    const QVector<ChapterHistory::Version> &versions = m_model->versions();
    int select = 0;
    for (int r = 0; r < versions.size(); ++r) {
        if (versions.at(r).id == keep)
            select = r;
    }
    const bool any = !versions.isEmpty();
    m_restore->setEnabled(any);
    m_name->setEnabled(any);
    // The reset left no current row: choosing one starts the comparison.
    if (any)
        m_table->setCurrentIndex(m_model->index(select, 0));
    else
        m_view->setPlainText(QStringLiteral("这一章还没有历史版本：保存改动后，改动前的文字会留在这里。"));
}

qint64 ChapterHistoryDialog::currentId() const
{
    const int r = m_table->currentIndex().row();
    const QVector<ChapterHistory::Version> &versions = m_model->versions();
    return r >= 0 && r < versions.size() ? versions.at(r).id : 0;
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
    const int r = m_table->currentIndex().row();
    const QVector<ChapterHistory::Version> &versions = m_model->versions();
    if (r < 0 || r >= versions.size())
        return;
    bool ok = false;
    const QString name = QInputDialog::getText(this, QStringLiteral("命名此版本"),
                                               QStringLiteral("版本名称（有名称的版本不会被自动清理）："),
                                               QLineEdit::Normal, versions.at(r).name, &ok);
    if (!ok)
        return;
    try {
        ChapterHistory::setName(versions.at(r).id, name.left(200));
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
