#pragma once

#include "export/BookFileExport.h"
#include "frame/Dialog.h"

class QCheckBox;
class QComboBox;
class QFontComboBox;
class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;

// 导出整本书: the chapters to write (a check tree in the book's order), the format, the output
// file and the format's options. It only chooses; the controller runs the export.
class BookExportDialog : public Dialog
{
    Q_OBJECT
public:
    // bookId's outline is read here; focusId (a volume or chapter) alone is checked when given.
    BookExportDialog(const QString &bookId, const QString &focusId, const BookFileExport::Options &remembered,
                     QWidget *parent = nullptr);

    // The choices as they stand; nodeIds empty when everything is checked.
    BookFileExport::Options options() const;
    // Refuses (with the reason) an empty selection or output; asks before replacing a file.
    bool confirm(QString *reason) const;

protected:
    void accept() override;

private:
    void chooseOutput();
    void chooseCover();
    void formatChanged();

    QString m_bookId;
    QTreeWidget *m_tree;
    QComboBox *m_format;
    QLineEdit *m_output;
    QComboBox *m_encoding;
    QComboBox *m_lineEnds;
    QCheckBox *m_indent;
    QLineEdit *m_volumePattern;
    QLineEdit *m_chapterPattern;
    QLineEdit *m_title;
    QLineEdit *m_author;
    QLineEdit *m_cover;
    QCheckBox *m_vertical;
    QComboBox *m_pageSize;
    QFontComboBox *m_font;
    QList<QWidget *> m_txtRows, m_epubRows, m_docRows, m_pdfRows;
};
