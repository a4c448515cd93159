#pragma once

#include "frame/Dialog.h"

class QDialogButtonBox;
class QGraphicsPixmapItem;
class QGraphicsView;
class QLabel;
class QPushButton;
class QScrollArea;

// The program's message box: kind (title and icon), text and buttons. The answer
// is the button pressed (Ink::MessageAnswer), or NoAnswer when the dialog was
// closed any other way (title bar, Escape).
class MessageDialog final : public Dialog
{
    Q_OBJECT
public:
    static constexpr int NoAnswer = -1;

    explicit MessageDialog(QWidget *parent = nullptr);

    // A non-empty title replaces the kind's title. Unknown kinds show as information,
    // no known button flag gives an OK button.
    void setup(const QString &title, const QString &text, int kind, int buttons);

    int kind() const { return m_kind; }
    int answer() const { return answerCode(); }
    QLabel *textLabel() const { return m_label; }
    QGraphicsView *iconView() const { return m_iconView; }
    QDialogButtonBox *buttonBox() const { return m_buttonBox; }
    // The push button for an Ink::MessageButton flag, or null.
    QPushButton *button(int flag) const;

    static QString kindTitle(int kind);
    static QString kindIconPath(int kind);
    // Rich text only for texts that are markup from the start ("<html>…", "<font …>…");
    // anything else, including "确定删除<%1>吗？" with foreign text, shows as written.
    static Qt::TextFormat textFormatFor(const QString &text);

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void fitIcon();

    int m_kind = 2;
    QGraphicsView *m_iconView;
    QGraphicsPixmapItem *m_iconItem;
    QLabel *m_label;
    QScrollArea *m_scroll;
    QDialogButtonBox *m_buttonBox;
};
