#include "settings/Tooltip.h"

#include "app/App.h"
#include "frame/Frames.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

Tooltip::Tooltip(QWidget *parent) : QDialog(parent), m_label(new QLabel(this))
{
    setWindowFlags(windowFlags() | Qt::Tool | Qt::FramelessWindowHint);
    setModal(true);
    m_label->setObjectName(QStringLiteral("labelText"));
    m_label->setWordWrap(true);
    m_label->setMaximumWidth(300);
    auto *next = new QPushButton(QStringLiteral("下一步"), this);
    auto *close = new QPushButton(QStringLiteral("关闭"), this);
    next->setObjectName(QStringLiteral("pushButtonNext"));
    close->setObjectName(QStringLiteral("pushButtonClose"));
    next->setDefault(true);
    connect(next, &QPushButton::clicked, this, &QDialog::accept);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(next);
    buttons->addWidget(close);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 25, 10, 10);
    layout->setSpacing(10);
    layout->addWidget(m_label);
    layout->addLayout(buttons);
}

void Tooltip::setText(const QString &text)
{
    m_label->setText(text);
    // A word-wrapped label asks for little width; give short texts one line, long ones 300 px.
    m_label->setMinimumWidth(qMin(300, m_label->fontMetrics().horizontalAdvance(text) + 2));
    adjustSize();
}

QString Tooltip::text() const { return m_label->text(); }

QPoint Tooltip::placeAt(const QPoint &globalPos, const QSize &size, const QRect &available)
{
    if (!available.isValid())
        return globalPos;
    const int x = qBound(available.left(), globalPos.x(), qMax(available.left(), available.right() - size.width() + 1));
    const int y = qBound(available.top(), globalPos.y(), qMax(available.top(), available.bottom() - size.height() + 1));
    return QPoint(x, y);
}

bool Tooltip::showText(const QString &text, const QPoint &globalPos)
{
    setText(text);
    QScreen *screen = QGuiApplication::screenAt(globalPos);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    move(placeAt(globalPos, sizeHint().expandedTo(size()), screen ? screen->availableGeometry() : QRect()));
    // Through the prompter, shown as it is (no frame): tests answer the bubble like a question.
    return Frames::showFramed(this, Ink::foModal | Ink::foBare) != QDialog::Accepted;
}
