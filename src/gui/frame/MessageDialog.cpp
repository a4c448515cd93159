#include "frame/MessageDialog.h"

#include "app/App.h"

#include <QDialogButtonBox>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextDocument>

namespace {

struct ButtonInfo {
    int flag;
    QDialogButtonBox::StandardButton standard;
    int answer;
    const char *text;
};

const ButtonInfo kButtons[] = {
    {Ink::mbOk, QDialogButtonBox::Ok, Ink::maOk, "确定"},
    {Ink::mbYes, QDialogButtonBox::Yes, Ink::maYes, "是"},
    {Ink::mbNo, QDialogButtonBox::No, Ink::maNo, "否"},
    {Ink::mbCancel, QDialogButtonBox::Cancel, Ink::maCancel, "取消"},
};

constexpr int kIconSize = 48;

int validKind(int kind) { return (kind >= Ink::mkWarning && kind <= Ink::mkInformation2) ? kind : Ink::mkInformation; }

} // namespace

MessageDialog::MessageDialog(QWidget *parent) : Dialog(parent)
{
    setObjectName(QStringLiteral("MessageDialog"));
    m_iconView = new QGraphicsView(this);
    m_iconView->setObjectName(QStringLiteral("graphicsViewIcon"));
    m_iconView->setFixedSize(kIconSize, kIconSize);
    m_iconView->setFrameShape(QFrame::NoFrame);
    m_iconView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_iconView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_iconView->setFocusPolicy(Qt::NoFocus);
    m_iconView->setRenderHint(QPainter::SmoothPixmapTransform);
    m_iconView->setStyleSheet(QStringLiteral("background: transparent; border: none;"));
    m_iconView->setScene(new QGraphicsScene(m_iconView));
    m_iconItem = m_iconView->scene()->addPixmap(QPixmap());
    m_iconItem->setTransformationMode(Qt::SmoothTransformation);

    m_label = new QLabel(this);
    m_label->setObjectName(QStringLiteral("labelText"));
    m_label->setWordWrap(true);
    m_label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
    m_label->setOpenExternalLinks(false);
    m_label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    m_buttonBox = new QDialogButtonBox(this);
    m_buttonBox->setObjectName(QStringLiteral("buttonBox"));
    m_buttonBox->setCenterButtons(false);

    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(18, 16, 18, 14);
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(14);
    grid->addWidget(m_iconView, 0, 0, Qt::AlignTop);
    // Long texts (an import's list of failed files) scroll; the buttons stay on the screen.
    m_scroll = new QScrollArea(this);
    m_scroll->setObjectName(QStringLiteral("scrollAreaText"));
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setWidget(m_label);
    m_scroll->viewport()->setAutoFillBackground(false);
    m_label->setAutoFillBackground(false);
    grid->addWidget(m_scroll, 0, 1);
    grid->addWidget(m_buttonBox, 1, 0, 1, 2);
    grid->setColumnStretch(1, 1);

    connect(m_buttonBox, &QDialogButtonBox::clicked, this, [this](QAbstractButton *b) {
        for (const ButtonInfo &info : kButtons) {
            if (m_buttonBox->button(info.standard) == b) {
                setAnswerCode(info.answer);
                done((info.answer == Ink::maOk || info.answer == Ink::maYes) ? Accepted : Rejected);
                return;
            }
        }
    });
    setup(QString(), QString(), Ink::mkInformation, Ink::mbOk);
}

QString MessageDialog::kindTitle(int kind)
{
    static const char *const titles[] = {"警告", "错误", "信息", "确认", "信息"};
    return QString::fromUtf8(titles[validKind(kind)]);
}

QString MessageDialog::kindIconPath(int kind)
{
    static const char *const icons[] = {":/res/icons/warning01.png", ":/res/icons/error01.png",
                                        ":/res/icons/info01.png", ":/res/icons/confirm01.png",
                                        ":/res/icons/info01.png"};
    return QString::fromLatin1(icons[validKind(kind)]);
}

Qt::TextFormat MessageDialog::textFormatFor(const QString &text)
{
    const QString t = text.trimmed();
    return (t.startsWith(QLatin1Char('<')) && Qt::mightBeRichText(t)) ? Qt::RichText : Qt::PlainText;
}

void MessageDialog::setup(const QString &title, const QString &text, int kind, int buttons)
{
    m_kind = validKind(kind);
    setWindowTitle(title.isEmpty() ? kindTitle(m_kind) : title);
    const QIcon icon(kindIconPath(m_kind));
    setWindowIcon(icon);
    m_iconItem->setPixmap(icon.pixmap(QSize(kIconSize, kIconSize)));
    fitIcon();

    m_label->setTextFormat(textFormatFor(text));
    m_label->setText(text);
    // Wrap long messages, but let short ones keep a single line.
    const QFontMetrics fm(m_label->font());
    int longest = 0;
    for (const QString &line : text.split(QLatin1Char('\n')))
        longest = qMax(longest, fm.horizontalAdvance(line));
    m_label->setMinimumWidth(qBound(220, longest + 8, 460));
    const QScreen *screen = QGuiApplication::primaryScreen();
    const int maxHeight = screen ? qMax(120, screen->availableGeometry().height() * 3 / 5) : 480;
    const int textHeight = qMax(m_label->heightForWidth(m_label->minimumWidth()), m_label->sizeHint().height());
    m_scroll->setMinimumWidth(m_label->minimumWidth() + m_scroll->verticalScrollBar()->sizeHint().width());
    m_scroll->setFixedHeight(qMin(textHeight + 2, maxHeight));

    m_buttonBox->setStandardButtons(QDialogButtonBox::NoButton);
    if (!(buttons & (Ink::mbOk | Ink::mbYes | Ink::mbNo | Ink::mbCancel)))
        buttons = Ink::mbOk;
    QPushButton *first = nullptr;
    for (const ButtonInfo &info : kButtons) {
        if (buttons & info.flag) {
            QPushButton *b = m_buttonBox->addButton(info.standard);
            b->setText(QString::fromUtf8(info.text));
            b->setIcon(QIcon()); // the platform's stock button icons clash with the kind's icon

            if (!first)
                first = b;
        }
    }
    if (first) {
        first->setDefault(true);
        first->setFocus();
    }
    setAnswerCode(NoAnswer);
    adjustSize();
}

QPushButton *MessageDialog::button(int flag) const
{
    for (const ButtonInfo &info : kButtons) {
        if (info.flag == flag)
            return m_buttonBox->button(info.standard);
    }
    return nullptr;
}

void MessageDialog::fitIcon()
{
    const QRectF bounds = m_iconItem->boundingRect();
    if (!bounds.isEmpty()) {
        m_iconView->setSceneRect(bounds);
        m_iconView->fitInView(m_iconItem, Qt::KeepAspectRatio);
    }
}

void MessageDialog::showEvent(QShowEvent *event)
{
    Dialog::showEvent(event);
    fitIcon();
    if (QPushButton *b = qobject_cast<QPushButton *>(m_buttonBox->buttons().value(0))) {
        for (QAbstractButton *ab : m_buttonBox->buttons()) {
            auto *pb = qobject_cast<QPushButton *>(ab);
            if (pb && pb->isDefault())
                b = pb;
        }
        b->setFocus();
    }
}

void MessageDialog::resizeEvent(QResizeEvent *event)
{
    Dialog::resizeEvent(event);
    fitIcon();
}
