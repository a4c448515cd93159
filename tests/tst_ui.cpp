// Message dialogs and toasts.
#include "app/App.h"
#include "frame/FramelessWindow.h"
#include "frame/MessageDialog.h"
#include "frame/Toast.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

MessageDialog *findMessageDialog()
{
    for (QWidget *w : QApplication::allWidgets()) {
        if (auto *d = qobject_cast<MessageDialog *>(w))
            return d;
    }
    return nullptr;
}

// Kind -> title and icon; button flags -> buttons; button pressed (0: title-bar close) -> answer.
struct MessageCase {
    int kind;
    QString title, icon;
    int buttons, buttonCount, press, answer;
};
Q_DECLARE_METATYPE(MessageCase)

class TestUi : public QObject
{
    Q_OBJECT
private slots:
    void init() { FramelessWindow::setTranslucencyOverride(1); }

    void messageDialogTable_data()
    {
        QTest::addColumn<MessageCase>("c");
        const int yesNo = Ink::mbYes | Ink::mbNo;
        const QString info = ":/res/icons/info01.png", question = ":/res/icons/confirm01.png";
        QTest::newRow("warning, ok") << MessageCase{0, "警告", ":/res/icons/warning01.png", Ink::mbOk, 1, Ink::mbOk, Ink::maOk};
        QTest::newRow("error, yes of yes/no") << MessageCase{1, "错误", ":/res/icons/error01.png", yesNo, 2, Ink::mbYes, Ink::maYes};
        QTest::newRow("information, no of yes/no") << MessageCase{2, "信息", info, yesNo, 2, Ink::mbNo, Ink::maNo};
        QTest::newRow("question, cancel of three")
            << MessageCase{3, "确认", question, yesNo | Ink::mbCancel, 3, Ink::mbCancel, Ink::maCancel};
        QTest::newRow("information 2, no flags gives ok") << MessageCase{4, "信息", info, 0, 1, Ink::mbOk, Ink::maOk};
        QTest::newRow("unknown kind, title-bar close of ok") << MessageCase{9, "信息", info, Ink::mbOk, 1, 0, -1};
        QTest::newRow("question, title-bar close") << MessageCase{3, "确认", question, yesNo, 2, 0, -1};
    }

    void messageDialogTable()
    {
        QFETCH(MessageCase, c);
        const auto [kind, title, icon, buttons, buttonCount, press, answer] = c;
        QPointer<MessageDialog> dialog = new MessageDialog;
        dialog->setup(QString(), QStringLiteral("确定退出吗？"), kind, buttons);
        QCOMPARE(dialog->windowTitle(), title);
        QCOMPARE(MessageDialog::kindIconPath(kind), icon);
        QVERIFY(QFile::exists(icon));
        QVERIFY(!dialog->windowIcon().isNull());
        QCOMPARE(dialog->buttonBox()->buttons().size(), buttonCount);
        QTimer::singleShot(0, this, [dialog, press = press]() {
            if (press)
                dialog->button(press)->click();
            else
                FramelessWindow::frameOf(dialog)->findChild<QToolButton *>(QStringLiteral("closeButton"))->click();
        });
        FramelessWindow::showWidget(dialog, Ink::foModal, nullptr);
        QVERIFY(dialog);
        QCOMPARE(dialog->answer(), answer);
        delete dialog.data();

        MessageDialog custom;
        custom.setup(QStringLiteral("自定标题"), QStringLiteral("文本"), kind, Ink::mbOk);
        QCOMPARE(custom.windowTitle(), QStringLiteral("自定标题"));
    }

    void appMessagesAreFramedAndAnswer_data()
    {
        QTest::addColumn<int>("which"); // 0 ask, 1 showInfo, 2 showError
        QTest::addColumn<int>("press");
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("answer");
        QTest::newRow("ask yes") << 0 << int(Ink::mbYes) << "确认" << int(Ink::maYes);
        QTest::newRow("ask no") << 0 << int(Ink::mbNo) << "确认" << int(Ink::maNo);
        QTest::newRow("ask closed by title bar") << 0 << 0 << "确认" << -1;
        QTest::newRow("info") << 1 << int(Ink::mbOk) << "信息" << 0;
        QTest::newRow("error") << 2 << int(Ink::mbOk) << "错误" << 0;
    }

    void appMessagesAreFramedAndAnswer()
    {
        QFETCH(int, which);
        QFETCH(int, press);
        QFETCH(QString, title);
        QFETCH(int, answer);
        QWidget mainWindow;
        auto *mainFrame = new FramelessWindow;
        mainFrame->setContent(&mainWindow);
        mainFrame->show();
        g_App.mainWindow = &mainWindow;
        g_App.mainFrame = mainFrame;
        QString seenTitle;
        bool framedOverMain = false;
        QTimer::singleShot(0, this, [&]() {
            MessageDialog *dialog = findMessageDialog();
            if (!dialog)
                return;
            FramelessWindow *frame = FramelessWindow::frameOf(dialog);
            QVERIFY(frame);
            seenTitle = frame->windowTitle();
            framedOverMain = frame->parentWidget() == mainFrame && frame->isModal();
            if (press)
                dialog->button(press)->click();
            else
                frame->findChild<QToolButton *>(QStringLiteral("closeButton"))->click();
        });
        int result = -2;
        if (which == 0)
            result = g_App.ask(QStringLiteral("确定删除<新书>吗？"));
        else if (which == 1)
            g_App.showInfo(QStringLiteral("用户注册成功！"));
        else
            g_App.showError(QStringLiteral("未选择节点！"));
        QCOMPARE(seenTitle, title);
        QVERIFY(framedOverMain);
        if (which == 0)
            QCOMPARE(result, answer);
        QVERIFY(!findMessageDialog()); // the dialog is gone afterwards
        mainFrame->takeContent();
        g_App.mainWindow = nullptr;
        g_App.mainFrame = nullptr;
        delete mainFrame;
    }

    void foreignTextKeepsItsAngleBrackets_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("format");
        QTest::newRow("delete question") << "确定删除<新书>吗？" << int(Qt::PlainText);
        QTest::newRow("title that is a tag") << "确定删除<b>吗？" << int(Qt::PlainText);
        QTest::newRow("service error text") << "用户登录失败，错误信息：<script>x</script>" << int(Qt::PlainText);
        QTest::newRow("own html") << "<html>确定以此选择为准吗？<br><br><font color='red'>注意</font></html>"
                                  << int(Qt::RichText);
        QTest::newRow("plain") << "没有选择临时保存的文件！" << int(Qt::PlainText);
    }

    void foreignTextKeepsItsAngleBrackets()
    {
        QFETCH(QString, text);
        QFETCH(int, format);
        MessageDialog dialog;
        dialog.setup(QString(), text, Ink::mkQuestion, Ink::mbYes | Ink::mbNo);
        QCOMPARE(int(dialog.textLabel()->textFormat()), format);
        QCOMPARE(dialog.textLabel()->text(), text);
        // Own markup around foreign text: the foreign part is escaped and shows verbatim.
        const QString mixed = QStringLiteral("<html>确定删除<b>%1</b>吗？</html>").arg(MessageDialog::escaped(text));
        QTextDocument doc;
        doc.setHtml(mixed);
        QVERIFY(doc.toPlainText().contains(text));
    }

    // Hundreds of failed files: the text scrolls, the dialog and its button stay on the screen.
    void longMessageScrolls()
    {
        QStringList lines;
        for (int i = 0; i < 400; ++i)
            lines << QStringLiteral("/home/作者/导入/书一＃卷一＃第%1章.txt").arg(i);
        MessageDialog dialog;
        dialog.setup(QString(), lines.join('\n'), Ink::mkInformation, Ink::mbOk);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(dialog.height() <= QGuiApplication::primaryScreen()->availableGeometry().height());
        auto *scroll = dialog.findChild<QScrollArea *>("scrollAreaText");
        QVERIFY(scroll && scroll->verticalScrollBar()->maximum() > 0);
        QPushButton *ok = dialog.button(Ink::mbOk);
        QVERIFY(dialog.rect().contains(QRect(ok->mapTo(&dialog, QPoint()), ok->size())));
    }

    void toastsStackUpAndRepeatAfterFive()
    {
        QWidget parent;
        parent.setGeometry(100, 100, 800, 600);
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
        QList<QPointer<Toast>> toasts;
        for (int i = 0; i < 6; ++i)
            toasts << Toast::showTip(QStringLiteral("提示 %1").arg(i), &parent, 60000, Qt::AlignBottom);
        QCOMPARE(Toast::liveCount(), 6);
        const int h = toasts[0]->height();
        const int baseY = parent.mapToGlobal(QPoint(0, 0)).y() + 600 * 8 / 10;
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(toasts[i]->serial(), i + 1);
            QCOMPARE(toasts[i]->y(), baseY - h * i);
            QCOMPARE(toasts[i]->x() + toasts[i]->width() / 2, parent.mapToGlobal(QPoint(400, 0)).x());
        }
        QCOMPARE(toasts[5]->pos(), toasts[0]->pos());
        for (auto &t : toasts)
            delete t.data();
        QCOMPARE(Toast::liveCount(), 0);
        QCOMPARE(Toast::currentSerial(), 0);
    }

    void placementWithinArea_data()
    {
        QTest::addColumn<int>("placement");
        QTest::addColumn<int>("serial");
        QTest::addColumn<QPoint>("expected");
        // area 1000 x 500 at (0, 0), toast 200 x 30
        QTest::newRow("top") << int(Qt::AlignTop) << 1 << QPoint(400, 100);
        QTest::newRow("centre") << int(Qt::AlignCenter) << 1 << QPoint(400, 235);
        QTest::newRow("bottom") << int(Qt::AlignBottom) << 1 << QPoint(400, 400);
        QTest::newRow("other flag is bottom") << int(Qt::AlignLeft) << 1 << QPoint(400, 400);
        QTest::newRow("third stacks up") << int(Qt::AlignTop) << 3 << QPoint(400, 40);
    }

    void placementWithinArea()
    {
        QFETCH(int, placement);
        QFETCH(int, serial);
        QFETCH(QPoint, expected);
        QCOMPARE(Toast::placeIn(QRect(0, 0, 1000, 500), QSize(200, 30), placement, serial), expected);
    }

    void toastExpiresAndNeverTakesFocus()
    {
        QWidget editor;
        editor.setFocusPolicy(Qt::StrongFocus);
        editor.show();
        editor.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&editor));
        editor.setFocus();
        QPointer<Toast> toast = Toast::showTip(QStringLiteral("已保存"), nullptr, 10, Qt::AlignBottom);
        QCOMPARE(QApplication::focusWidget(), &editor);
        QTRY_VERIFY_WITH_TIMEOUT(!toast, 5000);
        QCOMPARE(Toast::liveCount(), 0);
        QCOMPARE(Toast::currentSerial(), 0);
        QCOMPARE(QApplication::focusWidget(), &editor);
    }

    void toastReemitsLinks()
    {
        Toast toast;
        toast.setText(QStringLiteral("<a href='SysOption'>[参数]</a>"));
        QSignalSpy spy(&toast, &Toast::linkActivated);
        emit toast.label()->linkActivated(QStringLiteral("SysOption"));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("SysOption"));
    }
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
