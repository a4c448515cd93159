#pragma once

#include "book/ChapterHistory.h"
#include "frame/Dialog.h"

#include <QFuture>

class QCheckBox;
class QPushButton;
class QTableView;
class QTextEdit;
class VersionListModel;

// The versions of one chapter: time, size, growth and name, newest first; the chosen one beside
// the editor's text, or its differences marked as in the recovery dialog. "恢复此版本" finishes
// with Restore and leaves the chosen version in restoreId().
class ChapterHistoryDialog : public Dialog
{
    Q_OBJECT
public:
    enum Outcome { Restore = 2 };

    ChapterHistoryDialog(const QString &chapterId, const QString &currentText, QWidget *parent = nullptr);
    ~ChapterHistoryDialog() override;

    qint64 restoreId() const { return m_restoreId; }
    QTableView *table() const { return m_table; }
    bool isComparing() const { return m_comparing; }

signals:
    void signalDiffFinish(QString text, bool isHtml);

public slots:
    void done(int r) override;

private:
    void fillTable();
    qint64 currentId() const;
    void compare();
    void diffFinish(const QString &text, bool isHtml);
    void nameVersion();

    QString m_chapterId;
    QString m_currentText;
    VersionListModel *m_model;
    QTableView *m_table;
    QTextEdit *m_view;
    QCheckBox *m_diffs;
    QCheckBox *m_byLines;
    QPushButton *m_restore;
    QPushButton *m_name;
    qint64 m_restoreId = 0;
    bool m_comparing = false;
    bool m_compareAgain = false;
    QFuture<void> m_future;
};
