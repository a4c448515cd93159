#pragma once

#include "cloud/ApiRecords.h"
#include "frame/Dialog.h"

class QPushButton;
class QTableWidget;

// "最新资讯": the news items of the service; a double-click opens the article, after which a
// signed-in author may mark the news as read.
class NewsViewDialog : public Dialog
{
    Q_OBJECT
public:
    NewsViewDialog(const QList<ApiNews> &news, bool signedIn, QWidget *parent = nullptr);

    QTableWidget *table() const { return m_table; }
    QPushButton *ignoreButton() const { return m_ignore; }

private slots:
    void openRow(int row);
    void ignoreNews();

private:
    QTableWidget *m_table;
    QPushButton *m_ignore = nullptr;
    qint64 m_lastShownId = 0; // the newest numeric id in the table
};
