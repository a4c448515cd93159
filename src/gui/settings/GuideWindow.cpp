#include "settings/GuideWindow.h"

#include <QDesktopServices>
#include <QImage>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QVBoxLayout>

namespace {

class GuideBrowser final : public QTextBrowser
{
public:
    using QTextBrowser::QTextBrowser;

    QVariant loadResource(int type, const QUrl &name) override
    {
        QVariant data = QTextBrowser::loadResource(type, name);
        if (type != QTextDocument::ImageResource || data.type() != QVariant::ByteArray)
            return data;
        const QImage image = QImage::fromData(data.toByteArray());
        if (image.isNull() || image.width() <= GuideWindow::maxImageWidth)
            return data;
        return image.scaledToWidth(GuideWindow::maxImageWidth, Qt::SmoothTransformation);
    }
};

// The anchor a heading gets on the web ("## Inkboat User Guide" -> "inkboat-user-guide"), so
// the guide's own links work here too.
QString slug(const QString &heading)
{
    QString s = heading.trimmed().toLower();
    s.remove(QRegularExpression(QStringLiteral("[^\\w\\- ]"), QRegularExpression::UseUnicodePropertiesOption));
    s.replace(QLatin1Char(' '), QLatin1Char('-'));
    return s;
}

} // namespace

GuideWindow::GuideWindow(const QString &path, QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("GuideWindow"));
    setWindowTitle(QStringLiteral("使用指南"));
    resize(900, 680);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_browser = new GuideBrowser(this);
    m_browser->setObjectName(QStringLiteral("guideBrowser"));
    m_browser->setOpenLinks(false);
    m_browser->document()->setDocumentMargin(16);
    connect(m_browser, &QTextBrowser::anchorClicked, this, &GuideWindow::follow);
    layout->addWidget(m_browser);
    m_browser->setSource(QUrl::fromLocalFile(path), QTextDocument::MarkdownResource);
    nameHeadings();
}

void GuideWindow::nameHeadings()
{
    QTextDocument *doc = m_browser->document();
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        if (block.blockFormat().headingLevel() == 0)
            continue;
        QTextCursor cursor(block);
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        QTextCharFormat format;
        format.setAnchor(true);
        format.setAnchorNames({slug(block.text())});
        cursor.mergeCharFormat(format);
    }
}

void GuideWindow::follow(const QUrl &url)
{
    // Links inside the guide move within it; web links open in the browser; a link to a
    // file of the source tree has nothing to show here.
    if (url.scheme().isEmpty() && url.path().isEmpty() && url.hasFragment())
        m_browser->scrollToAnchor(url.fragment());
    else if (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))
        QDesktopServices::openUrl(url);
}
