#pragma once

#include "frame/Dialog.h"

#include <QString>

class QAbstractButton;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;

// Types or edits one user material. OK saves before the dialog closes: a save that fails keeps
// the dialog, and the text, open. The ID of the material saved stays readable after the dialog
// is gone (materialId()).
class MaterialEditDialog : public Dialog
{
    Q_OBJECT
public:
    explicit MaterialEditDialog(QWidget *parent = nullptr);

    // A non-empty ID loads the material's title and text.
    void setMaterialId(const QString &id);
    void setParentId(const QString &id) { s_parentId = id; }
    void setContent(const QString &text);

    static QString materialId() { return s_materialId; }
    static QString parentId() { return s_parentId; }
    static QString content() { return s_content; }
    // Whether the last close attempt was allowed.
    bool canClose() const { return m_canClose; }

public slots:
    void done(int r) override;
    void on_buttonBox_accepted();
    void on_buttonBox_rejected();
    void on_buttonBox_clicked(QAbstractButton *button);

private:
    // The close check of a finish with result r; an OK finish saves here.
    bool checkClose(int r);

    QLabel *m_labelTitle;
    QLineEdit *m_lineEditTitle;
    QPlainTextEdit *m_plainTextEditContent;
    QDialogButtonBox *m_buttonBox;
    bool m_canClose = false;

    static QString s_materialId;
    static QString s_parentId;
    static QString s_content;
};
