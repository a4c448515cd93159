#pragma once

#include <QDialog>

class QLabel;

// The bubble of the first-use tour: a frameless tool window with the step's text, "下一步"
// (accepts) and "关闭" (rejects).
class Tooltip : public QDialog
{
    Q_OBJECT
public:
    explicit Tooltip(QWidget *parent = nullptr);

    void setText(const QString &text);
    QString text() const;
    // Top-left corner for a bubble pointing at globalPos, kept inside the available area.
    static QPoint placeAt(const QPoint &globalPos, const QSize &size, const QRect &available);
    // Shows the text at the point (global), modal; true when the author chose to stop.
    bool showText(const QString &text, const QPoint &globalPos);

private:
    QLabel *m_label;
};
