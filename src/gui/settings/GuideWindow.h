#pragma once

#include <QWidget>

class QTextBrowser;

// "帮助": the user guide shipped with the program, read-only, beside the writing window.
class GuideWindow final : public QWidget
{
    Q_OBJECT
public:
    explicit GuideWindow(const QString &path, QWidget *parent = nullptr);

    // Pictures wider than this are shown scaled down: the guide's screenshots are full screens.
    static constexpr int maxImageWidth = 820;

    QTextBrowser *browser() const { return m_browser; }

private:
    void nameHeadings();
    void follow(const QUrl &url);

    QTextBrowser *m_browser;
};
