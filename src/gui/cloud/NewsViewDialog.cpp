#include "cloud/NewsViewDialog.h"

#include "cloud/ClientInfo.h"
#include "cloud/WebClient.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>

NewsViewDialog::NewsViewDialog(const QList<ApiNews> &news, bool signedIn, QWidget *parent) : Dialog(parent)
{
    setWindowTitle(QStringLiteral("最新资讯"));
    resize(627, 344);
    const QStringList headers = QStringLiteral("id,标题,简要说明").split(QLatin1Char(','));
    m_table = new QTableWidget(news.size(), headers.size(), this);
    m_table->setObjectName(QStringLiteral("tableWidgetNews"));
    m_table->setHorizontalHeaderLabels(headers);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    for (int row = 0; row < news.size(); ++row) {
        const ApiNews &n = news.at(row);
        m_lastShownId = qMax(m_lastShownId, n.tid.toLongLong());
        int column = 0;
        for (const QString &text : {n.tid, n.post_title, n.post_excerpt}) {
            auto *item = new QTableWidgetItem(text); // plain text
            // The whole text where the cell cuts it, escaped into a paragraph so that a long one wraps.
            item->setToolTip(QStringLiteral("<p>%1</p>").arg(text.toHtmlEscaped()));
            m_table->setItem(row, column++, item);
        }
    }
    m_table->resizeColumnsToContents();
    // A long title keeps room for the summary, which takes the width the dialog has to spare;
    // cut texts end in "…" and show whole in their tips.
    m_table->setColumnWidth(1, qMin(m_table->columnWidth(1), width() * 2 / 5));
    m_table->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
    connect(m_table, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { openRow(row); });

    auto *close = new QPushButton(QStringLiteral("关闭"), this);
    close->setObjectName(QStringLiteral("pushButtonClose"));
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    if (signedIn) {
        m_ignore = new QPushButton(QStringLiteral("忽略已读资讯"), this);
        m_ignore->setObjectName(QStringLiteral("pushButtonIgnore"));
        m_ignore->setToolTip(QStringLiteral("打开一条最新资讯即可操作"));
        m_ignore->setEnabled(false);
        connect(m_ignore, &QPushButton::clicked, this, &NewsViewDialog::ignoreNews);
        buttons->addWidget(m_ignore);
    }
    buttons->addWidget(close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addLayout(buttons);
}

void NewsViewDialog::openRow(int row)
{
    const QTableWidgetItem *item = m_table->item(row, 0);
    if (!item)
        return;
    QDesktopServices::openUrl(QUrl(web::articlePage(web::urlEncode(item->text()))));
    if (m_ignore)
        m_ignore->setEnabled(true);
}

void NewsViewDialog::ignoreNews()
{
    if (clientinfo::newsDone(false, m_lastShownId))
        accept();
}
