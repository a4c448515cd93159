// The frameless frame: wrapping, closing, modal results and ownership, states, resizing.
#include "app/App.h"
#include "frame/Dialog.h"
#include "frame/FramelessHelper.h"
#include "frame/FramelessWindow.h"
#include "frame/TitleBar.h"
#include "frame/WindowDragger.h"

#include <QCloseEvent>
#include <QLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtTest>

namespace {

// A content that may refuse to be closed, like an editor with unsaved text.
class GuardedWidget : public Dialog
{
public:
    bool allowClose = false;
    int closeAsked = 0;

protected:
    void closeEvent(QCloseEvent *event) override
    {
        ++closeAsked;
        if (allowClose)
            event->accept();
        else
            event->ignore();
    }
};

// A dialog that asks before it lets Cancel through, like the settings dialog.
class CancelAskingDialog : public Dialog
{
public:
    bool cancelConfirmed = false;
    int asked = 0;
    void done(int r) override
    {
        if (r == Rejected) {
            ++asked;
            if (!cancelConfirmed)
                return;
        }
        Dialog::done(r);
    }
};

// Runs `f` once the event loop runs (inside a modal frame's loop).
void later(std::function<void()> f) { QTimer::singleShot(0, qApp, std::move(f)); }

QToolButton *frameButton(FramelessWindow *frame, const char *name)
{
    return frame->findChild<QToolButton *>(QLatin1String(name));
}

// Shows a frame of the test's own (not deleted on close) around a label.
void showAroundLabel(FramelessWindow &frame, const QRect &geometry = QRect())
{
    frame.setAttribute(Qt::WA_DeleteOnClose, false);
    frame.setContent(new QLabel(QStringLiteral("内容")));
    if (geometry.isValid())
        frame.setGeometry(geometry);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
}

} // namespace

class TestFrame : public QObject
{
    Q_OBJECT
private slots:
    void init() { FramelessWindow::setTranslucencyOverride(1); }
    void cleanup() { FramelessWindow::setTranslucencyOverride(-1); }

    void wrapsWidgetAndCopiesTitleIconName()
    {
        auto *content = new QLabel(QStringLiteral("正文"));
        content->setObjectName(QStringLiteral("SysParamDialog"));
        content->setWindowTitle(QStringLiteral("参数设置"));
        content->setWindowIcon(QIcon(QStringLiteral(":/res/icons/file01.png")));
        content->resize(400, 300);
        FramelessWindow frame;
        frame.setContent(content);
        QCOMPARE(frame.objectName(), QStringLiteral("SysParamDialog"));
        QCOMPARE(frame.windowTitle(), QStringLiteral("参数设置"));
        QVERIFY(!frame.windowIcon().isNull());
        QCOMPARE(content->parentWidget(), frame.findChild<QWidget *>(QStringLiteral("windowContent")));
        // The frame is sized around the content's own size.
        QVERIFY(frame.width() >= 400 + 2 * FramelessWindow::kShadowMargin);
        QVERIFY(frame.height() > 300 + 2 * FramelessWindow::kShadowMargin);
        content->setWindowTitle(QStringLiteral("新标题"));
        QCOMPARE(frame.windowTitle(), QStringLiteral("新标题"));
        static_cast<QWidget &>(frame).setWindowTitle(QStringLiteral("砚舟写作 v4.31"));
        auto *titleText = frame.findChild<QLabel *>(QStringLiteral("titleText"));
        QCOMPARE(titleText->text(), QStringLiteral("砚舟写作 v4.31"));
        frame.setAttribute(Qt::WA_DeleteOnClose, false);
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        QCOMPARE(titleText->text(), QStringLiteral("砚舟写作 v4.31"));
        // A narrow frame elides its title instead of clipping it.
        frame.resize(200, frame.height());
        QTRY_VERIFY(titleText->text().endsWith(QChar(0x2026)));
        QCOMPARE(titleText->toolTip(), QStringLiteral("砚舟写作 v4.31"));
    }

    void closeRefusedByContentKeepsFrame_data()
    {
        QTest::addColumn<bool>("finish"); // the content finishes itself instead of allowing the close
        QTest::newRow("closed by the close button") << false;
        QTest::newRow("content finishes") << true;
    }

    void closeRefusedByContentKeepsFrame()
    {
        QFETCH(bool, finish);
        auto *content = new GuardedWidget;
        QPointer<GuardedWidget> guard(content);
        QWidget *mainFrame = nullptr;
        FramelessWindow::showWidget(content, Ink::foResizable, mainFrame);
        QPointer<FramelessWindow> frame(FramelessWindow::frameOf(content));
        QVERIFY(frame);
        QSignalSpy closed(frame, &FramelessWindow::windowClose);

        frameButton(frame, "closeButton")->click();
        QCOMPARE(content->closeAsked, 1);
        QVERIFY(frame->isVisible());
        QCOMPARE(closed.count(), 0);

        content->allowClose = true;
        if (finish) {
            content->accept();
        } else {
            frameButton(frame, "closeButton")->click();
            QCOMPARE(closed.count(), 1);
        }
        QVERIFY(!frame->isVisible());
        QTRY_VERIFY(!frame); // a non-modal frame goes with its content
        QVERIFY(finish || !guard);
        delete guard.data();
    }

    void modalDialogResultThenCallerDeletes()
    {
        auto *dialog = new Dialog;
        later([dialog]() {
            QVERIFY(FramelessWindow::frameOf(dialog));
            QCOMPARE(FramelessWindow::modalCount(), 1);
            dialog->accept();
        });
        QCOMPARE(FramelessWindow::showWidget(dialog, Ink::foModal, nullptr), int(QDialog::Accepted));
        QCOMPARE(dialog->doneCode(), int(QDialog::Accepted));
        QCOMPARE(FramelessWindow::modalCount(), 0);
        // Out of the frame again and still the caller's: no frame owns it any more.
        QVERIFY(!dialog->parentWidget());
        QVERIFY(!FramelessWindow::frameOf(dialog));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        delete dialog; // must be the only delete
    }

    void dialogRefusingCancelKeepsItsFrame()
    {
        CancelAskingDialog dialog;
        bool stayedOpen = false;
        later([&]() {
            FramelessWindow *frame = FramelessWindow::frameOf(&dialog);
            frameButton(frame, "closeButton")->click(); // answered "no"
            stayedOpen = frame->isVisible() && dialog.isVisible();
            dialog.cancelConfirmed = true;
            frameButton(frame, "closeButton")->click();
        });
        // The title-bar close gives "rejected", never "accepted".
        QCOMPARE(FramelessWindow::showWidget(&dialog, Ink::foModal, nullptr), int(QDialog::Rejected));
        QCOMPARE(dialog.doneCode(), int(QDialog::Rejected));
        QVERIFY(stayedOpen);
        QCOMPARE(dialog.asked, 2);
        // Shown again; OK goes straight through: the cancel question is not asked on the way out.
        later([&]() { dialog.accept(); });
        QCOMPARE(FramelessWindow::showWidget(&dialog, Ink::foModal, nullptr), int(QDialog::Accepted));
        QCOMPARE(dialog.asked, 2);
    }

    // A dialog that puts the cursor into its second field (the password after a remembered user
    // name) keeps that choice inside the frame; one without a choice starts in its first field.
    void contentKeepsTheFocusItChose_data()
    {
        QTest::addColumn<int>("chosen"); // -1: none
        QTest::addColumn<int>("expected");
        QTest::addColumn<bool>("modal");
        QTest::newRow("second field, modal") << 1 << 1 << true;
        QTest::newRow("second field, non-modal") << 1 << 1 << false;
        QTest::newRow("first field") << 0 << 0 << true;
        QTest::newRow("no choice") << -1 << 0 << true;
    }
    void contentKeepsTheFocusItChose()
    {
        QFETCH(int, chosen);
        QFETCH(int, expected);
        QFETCH(bool, modal);
        auto *dialog = new Dialog;
        QLineEdit *fields[2] = {new QLineEdit(dialog), new QLineEdit(dialog)};
        auto *layout = new QVBoxLayout(dialog);
        layout->addWidget(fields[0]);
        layout->addWidget(fields[1]);
        if (chosen >= 0)
            fields[chosen]->setFocus();
        QWidget *focused = nullptr;
        auto look = [&]() {
            FramelessWindow *frame = FramelessWindow::frameOf(dialog);
            QVERIFY(frame);
            QVERIFY(QTest::qWaitForWindowActive(frame));
            focused = frame->focusWidget();
        };
        if (modal) {
            later([&]() {
                look();
                dialog->accept();
            });
            FramelessWindow::showWidget(dialog, Ink::foModal, nullptr);
        } else {
            FramelessWindow::showWidget(dialog, 0, nullptr);
            look();
            dialog->accept();
        }
        QCOMPARE(focused, static_cast<QWidget *>(fields[expected]));
        QPointer<Dialog> guard(dialog);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        delete guard.data();
    }

    void dialogFromModalDialogSitsOverIt()
    {
        QWidget main;
        auto *mainFrame = new FramelessWindow;
        mainFrame->setAttribute(Qt::WA_DeleteOnClose, false);
        mainFrame->setContent(&main);
        mainFrame->show();
        Dialog outer, inner;
        QWidget *innerParent = nullptr;
        FramelessWindow *outerFrame = nullptr;
        later([&]() {
            outerFrame = FramelessWindow::frameOf(&outer);
            later([&]() {
                innerParent = FramelessWindow::frameOf(&inner)->parentWidget();
                inner.accept();
            });
            FramelessWindow::showWidget(&inner, Ink::foModal | Ink::foParentMain, mainFrame);
            outer.accept();
        });
        QCOMPARE(FramelessWindow::showWidget(&outer, Ink::foModal | Ink::foParentMain, mainFrame),
                 int(QDialog::Accepted));
        QVERIFY(outerFrame);
        QCOMPARE(innerParent, static_cast<QWidget *>(outerFrame));
        mainFrame->takeContent();
        delete mainFrame;
    }

    void statesChangeMarginButtonsAndResizing_data()
    {
        QTest::addColumn<bool>("translucent");
        QTest::addColumn<int>("normalMargin");
        QTest::newRow("compositor") << true << int(FramelessWindow::kShadowMargin);
        QTest::newRow("no compositor") << false << 0;
    }

    void statesChangeMarginButtonsAndResizing()
    {
        QFETCH(bool, translucent);
        QFETCH(int, normalMargin);
        FramelessWindow::setTranslucencyOverride(translucent ? 1 : 0);
        FramelessWindow frame;
        showAroundLabel(frame);
        auto margin = [&frame]() { return frame.layout()->contentsMargins().left(); };
        QCOMPARE(frame.testAttribute(Qt::WA_TranslucentBackground), translucent);
        QCOMPARE(margin(), normalMargin);
        QCOMPARE(frame.hasRoundLook(), translucent);
        QVERIFY(frame.helper()->isActive());

        frame.setWindowMaximize();
        QCOMPARE(margin(), 0);
        QVERIFY(!frame.hasRoundLook());
        QVERIFY(frameButton(&frame, "maximizeButton")->isHidden());
        QVERIFY(!frameButton(&frame, "restoreButton")->isHidden());
        QVERIFY(!frame.helper()->isActive());
        for (QWidget *grip : frame.helper()->grips())
            QVERIFY(grip->isHidden());

        emit frame.findChild<WindowDragger *>()->doubleClicked(); // double click restores
        QTRY_VERIFY(!frame.isMaximized());
        QCOMPARE(margin(), normalMargin);
        QVERIFY(!frameButton(&frame, "maximizeButton")->isHidden());
        QVERIFY(frameButton(&frame, "restoreButton")->isHidden());
        QVERIFY(frame.helper()->isActive());

        frame.setResizable(false);
        QVERIFY(frameButton(&frame, "maximizeButton")->isHidden());
        emit frame.findChild<WindowDragger *>()->doubleClicked();
        QVERIFY(!frame.isMaximized());
    }

    void edgesAndCursors_data()
    {
        QTest::addColumn<QPoint>("offset"); // from the frame's top-left
        QTest::addColumn<int>("edges");
        QTest::addColumn<int>("cursor");
        QTest::newRow("left") << QPoint(2, 100) << int(Qt::LeftEdge) << int(Qt::SizeHorCursor);
        QTest::newRow("right") << QPoint(398, 100) << int(Qt::RightEdge) << int(Qt::SizeHorCursor);
        QTest::newRow("top") << QPoint(100, 0) << int(Qt::TopEdge) << int(Qt::SizeVerCursor);
        QTest::newRow("bottom") << QPoint(100, 296) << int(Qt::BottomEdge) << int(Qt::SizeVerCursor);
        QTest::newRow("top-left") << QPoint(1, 1) << int(Qt::TopEdge | Qt::LeftEdge) << int(Qt::SizeFDiagCursor);
        QTest::newRow("bottom-right") << QPoint(399, 299) << int(Qt::BottomEdge | Qt::RightEdge)
                                      << int(Qt::SizeFDiagCursor);
        QTest::newRow("top-right") << QPoint(397, 3) << int(Qt::TopEdge | Qt::RightEdge) << int(Qt::SizeBDiagCursor);
        QTest::newRow("just inside the border") << QPoint(5, 5) << 0 << int(Qt::ArrowCursor);
        QTest::newRow("outside") << QPoint(-1, 100) << 0 << int(Qt::ArrowCursor);
    }

    void edgesAndCursors()
    {
        QFETCH(QPoint, offset);
        QFETCH(int, edges);
        QFETCH(int, cursor);
        QWidget w(nullptr, Qt::FramelessWindowHint);
        w.setGeometry(50, 60, 400, 300);
        FramelessHelper helper(&w);
        const Qt::Edges found = helper.edgesAt(w.frameGeometry().topLeft() + offset);
        QCOMPARE(int(found), edges);
        QCOMPARE(int(AbsFrameLessAutoSize::cursorFor(found)), cursor);
    }

    void resizedGeometryKeepsOppositeEdgesAndLimits_data()
    {
        QTest::addColumn<int>("edges");
        QTest::addColumn<QPoint>("delta");
        QTest::addColumn<QRect>("expected");
        QTest::newRow("right grows") << int(Qt::RightEdge) << QPoint(50, 9) << QRect(100, 100, 450, 300);
        QTest::newRow("left grows") << int(Qt::LeftEdge) << QPoint(-30, 0) << QRect(70, 100, 430, 300);
        QTest::newRow("top shrinks") << int(Qt::TopEdge) << QPoint(0, 40) << QRect(100, 140, 400, 260);
        QTest::newRow("bottom-right") << int(Qt::BottomEdge | Qt::RightEdge) << QPoint(10, 20)
                                      << QRect(100, 100, 410, 320);
        QTest::newRow("left stops at minimum") << int(Qt::LeftEdge) << QPoint(390, 0) << QRect(300, 100, 200, 300);
        QTest::newRow("top stops at minimum") << int(Qt::TopEdge) << QPoint(0, 500) << QRect(100, 250, 400, 150);
        QTest::newRow("bottom stops at maximum") << int(Qt::BottomEdge) << QPoint(0, 900) << QRect(100, 100, 400, 600);
    }

    void resizedGeometryKeepsOppositeEdgesAndLimits()
    {
        QFETCH(int, edges);
        QFETCH(QPoint, delta);
        QFETCH(QRect, expected);
        const QRect g = AbsFrameLessAutoSize::resizedGeometry(Qt::Edges(edges), QRect(100, 100, 400, 300), delta,
                                                              QSize(200, 150), QSize(1000, 600));
        QCOMPARE(g, expected);
    }

    void dragOnGripResizesWindow()
    {
        FramelessWindow::setTranslucencyOverride(0);
        FramelessWindow frame;
        showAroundLabel(frame, QRect(100, 100, 400, 300));
        QWidget *rightGrip = frame.helper()->grips().at(3);
        QVERIFY(rightGrip->isVisible());
        const QPoint local(2, 100);
        const QPoint pressGlobal = rightGrip->mapToGlobal(local);
        QTest::mousePress(rightGrip, Qt::LeftButton, Qt::NoModifier, local);
        QMouseEvent move(QEvent::MouseMove, local + QPoint(60, 0), pressGlobal + QPoint(60, 0), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(rightGrip, &move);
        QCOMPARE(frame.width(), 460); // the window follows while the button is held
        QMouseEvent release(QEvent::MouseButtonRelease, local, pressGlobal + QPoint(60, 0), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(rightGrip, &release);
        QCOMPARE(frame.width(), 460);
        QCOMPARE(frame.x(), 100);
    }

    void iconClicksAreSignalled()
    {
        FramelessWindow frame;
        frame.setAttribute(Qt::WA_DeleteOnClose, false);
        QWidget *icon = frame.findChild<QWidget *>(QStringLiteral("icon"));
        QSignalSpy left(&frame, &FramelessWindow::windowIconLeftClicked);
        QSignalSpy right(&frame, &FramelessWindow::windowIconRightClicked);
        QSignalSpy dbl(&frame, &FramelessWindow::windowIconDblClick);
        QTest::mouseClick(icon, Qt::LeftButton);
        QTest::mouseClick(icon, Qt::RightButton);
        QTest::mouseDClick(icon, Qt::LeftButton);
        QCOMPARE(right.count(), 1);
        QCOMPARE(dbl.count(), 1);
        QVERIFY(left.count() >= 1);
    }

    void titleBarButtonsActOnTheirWindow()
    {
        QWidget window(nullptr, Qt::FramelessWindowHint);
        auto *bar = new TitleBar(&window);
        window.resize(400, 300);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(bar->maximizeButton()->property("maximizeProperty").toString(), QStringLiteral("maximize"));
        QCOMPARE(bar->maximizeButton()->toolTip(), QStringLiteral("Maximize"));
        bar->maximizeButton()->click();
        QTRY_VERIFY(window.isMaximized());
        QTRY_COMPARE(bar->maximizeButton()->property("maximizeProperty").toString(), QStringLiteral("restore"));
        QCOMPARE(bar->maximizeButton()->toolTip(), QStringLiteral("Restore"));
        bar->maximizeButton()->click();
        QTRY_VERIFY(!window.isMaximized());
        bar->closeButton()->click();
        QVERIFY(!window.isVisible());
    }
};

QTEST_MAIN(TestFrame)
#include "tst_frame.moc"
