#pragma once

#include <QLabel>

// A plain-text label that may be narrowed below its text: it then draws the text's start and an
// ellipsis, and the whole text is its tool tip. A bar full of such labels still fits its window.
class ElidingLabel final : public QLabel
{
    Q_OBJECT
public:
    using QLabel::QLabel;

    QSize minimumSizeHint() const override;
    bool isElided() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    bool event(QEvent *event) override;
};
