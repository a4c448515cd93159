// Message dialogs and toasts: the answer is the button pressed, foreign text shows as written,
// a toast goes by itself.
#include "app/App.h"
#include "frame/FramelessWindow.h"
#include "frame/MessageDialog.h"
#include "frame/Toast.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

namespace {

MessageDialog *openMessageDialog()
{
    for (QWidget *w : QApplication::allWidgets())
        if (auto *d = qobject_cast<MessageDialog *>(w))
            return d;
    return nullptr;
}

} // namespace

class TestUi : public QObject
{
    Q_OBJECT
private slots:
    void init() { FramelessWindow::setTranslucencyOverride(1); }

    // Shown modal over the main window; press 0 closes the frame by its title bar (no answer).
    void messageAnswersTheButtonPressed_data()
    {
        QTest::addColumn<int>("which"); // 0 ask, 1 showInfo, 2 showError
        QTest::addColumn<int>("buttons");
        QTest::addColumn<int>("press");
        QTest::addColumn<int>("answer");
        const int yesNo = Ink::mbYes | Ink::mbNo;
        QTest::newRow("yes") << 0 << yesNo << int(Ink::mbYes) << int(Ink::maYes);
        QTest::newRow("no") << 0 << yesNo << int(Ink::mbNo) << int(Ink::maNo);
        QTest::newRow("cancel of three") << 0 << (yesNo | Ink::mbCancel) << int(Ink::mbCancel) << int(Ink::maCancel);
        QTest::newRow("title-bar close") << 0 << yesNo << 0 << -1;
        QTest::newRow("no button flag gives OK") << 0 << 0 << int(Ink::mbOk) << int(Ink::maOk);
        QTest::newRow("info") << 1 << 0 << int(Ink::mbOk) << 0;
        QTest::newRow("error") << 2 << 0 << int(Ink::mbOk) << 0;
    }
    void messageAnswersTheButtonPressed()
    {
        QFETCH(int, which);
        QFETCH(int, buttons);
        QFETCH(int, press);
        QFETCH(int, answer);
        QWidget mainWindow;
        auto *mainFrame = new FramelessWindow;
        mainFrame->setContent(&mainWindow);
        mainFrame->show();
        g_App.mainWindow = &mainWindow;
        g_App.mainFrame = mainFrame;
        bool modalOverMain = false;
        QTimer::singleShot(0, this, [&]() {
            MessageDialog *dialog = openMessageDialog();
            FramelessWindow *frame = dialog ? FramelessWindow::frameOf(dialog) : nullptr;
            QVERIFY(frame);
            // Modal over the main window, titled like its message.
            modalOverMain = frame->parentWidget() == mainFrame && frame->isModal() &&
                            frame->windowTitle() == dialog->windowTitle();
            if (press)
                dialog->button(press)->click();
            else
                frame->findChild<QToolButton *>(QStringLiteral("closeButton"))->click();
        });
        int result = 0;
        if (which == 0)
            result = g_App.ask(QStringLiteral("确定删除<新书>吗？"), buttons);
        else if (which == 1)
            g_App.showInfo(QStringLiteral("用户注册成功！"));
        else
            g_App.showError(QStringLiteral("未选择节点！"));
        QCOMPARE(result, answer);
        QVERIFY(modalOverMain);
        QVERIFY(!openMessageDialog());
        mainFrame->takeContent();
        g_App.mainWindow = nullptr;
        g_App.mainFrame = nullptr;
        delete mainFrame;
    }

    // Titles and service texts with angle brackets show verbatim; only own markup is rich text.
    void foreignTextKeepsItsAngleBrackets_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("format");
        QTest::newRow("delete question") << "确定删除<新书>吗？" << int(Qt::PlainText);
        QTest::newRow("title that is a tag") << "确定删除<b>吗？" << int(Qt::PlainText);
        QTest::newRow("service error text") << "用户登录失败，错误信息：<script>x</script>" << int(Qt::PlainText);
        QTest::newRow("own html") << "<html>确定以此选择为准吗？<br><font color='red'>注意</font></html>"
                                  << int(Qt::RichText);
    }
    void foreignTextKeepsItsAngleBrackets()
    {
        QFETCH(QString, text);
        QFETCH(int, format);
        MessageDialog dialog;
        dialog.setup(QString(), text, Ink::mkQuestion, Ink::mbYes | Ink::mbNo);
        QCOMPARE(int(dialog.textLabel()->textFormat()), format);
        QCOMPARE(dialog.textLabel()->text(), text);
        QTextDocument doc;
        doc.setHtml(QStringLiteral("<html>确定删除<b>%1</b>吗？</html>").arg(MessageDialog::escaped(text)));
        QVERIFY(doc.toPlainText().contains(text));
    }

    // A notice goes by itself: one left on screen would hide the text under it. (Whether it takes
    // the focus cannot be seen on the offscreen platform, which never activates a tool window.)
    void toastGoesAwayByItself()
    {
        QPointer<Toast> toast = Toast::showTip(QStringLiteral("已保存"), nullptr, 10, Qt::AlignBottom);
        QVERIFY(toast);
        QTRY_VERIFY_WITH_TIMEOUT(!toast, 5000);
        QCOMPARE(Toast::liveCount(), 0);
    }
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
