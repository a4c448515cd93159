#pragma once

#include <QDialog>

class FramelessWindow;
class QDialogButtonBox;

// Names a box's standard buttons in Chinese here, not through Qt's translations, which a
// system may lack (确定, 取消, 帮助, 是, 否, 关闭).
void nameButtons(QDialogButtonBox *box);

// Dialog base: remembers the code it was finished with and the answer its
// buttons chose. Inside a frame, finishing the dialog also closes the frame.
class Dialog : public QDialog
{
    Q_OBJECT
public:
    explicit Dialog(QWidget *parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());

    int doneCode() const { return m_doneCode; }
    int answerCode() const { return m_answerCode; }
    void setAnswerCode(int code) { m_answerCode = code; }

    // The frame this dialog is shown in, or null.
    FramelessWindow *frame() const;

public slots:
    void done(int r) override;

protected:
    int m_doneCode = -1;
    int m_answerCode = -1;
};
