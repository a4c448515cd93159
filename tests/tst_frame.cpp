// The frameless frame: a refused close keeps it, modal results and ownership, focus, stacking,
// maximising and resizing by its edges.
#include "app/App.h"
#include "frame/Dialog.h"
#include "frame/FramelessHelper.h"
#include "frame/FramelessWindow.h"
#include "frame/WindowDragger.h"

#include <QCloseEvent>
#include <QLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
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

    // A modal dialog that asks before Cancel stays in its frame when the answer is no; the title-bar
    // close gives "rejected", OK goes straight through; afterwards the dialog is out of its frame
    // and still the caller's (a stack object here: a second delete would crash).
    void modalDialogKeepsItsFrameAndReturnsToTheCaller()
    {
        CancelAskingDialog dialog;
        bool stayedOpen = false;
        later([&]() {
            FramelessWindow *frame = FramelessWindow::frameOf(&dialog);
            QCOMPARE(FramelessWindow::modalCount(), 1);
            frameButton(frame, "closeButton")->click(); // answered "no"
            stayedOpen = frame->isVisible() && dialog.isVisible();
            dialog.cancelConfirmed = true;
            frameButton(frame, "closeButton")->click();
        });
        QCOMPARE(FramelessWindow::showWidget(&dialog, Ink::foModal, nullptr), int(QDialog::Rejected));
        QVERIFY(stayedOpen);
        QCOMPARE(dialog.asked, 2);
        later([&]() { dialog.accept(); });
        QCOMPARE(FramelessWindow::showWidget(&dialog, Ink::foModal, nullptr), int(QDialog::Accepted));
        QCOMPARE(dialog.doneCode(), int(QDialog::Accepted));
        QCOMPARE(dialog.asked, 2);
        QCOMPARE(FramelessWindow::modalCount(), 0);
        QVERIFY(!dialog.parentWidget());
        QVERIFY(!FramelessWindow::frameOf(&dialog));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
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

    // Maximised by its button, the frame has no shadow gap and no edge grips; a double click on
    // the title restores it; a fixed-size frame is never maximised.
    void maximiseAndRestore()
    {
        FramelessWindow frame;
        showAroundLabel(frame);
        frameButton(&frame, "maximizeButton")->click();
        QTRY_VERIFY(frame.isMaximized());
        QCOMPARE(frame.layout()->contentsMargins().left(), 0);
        QVERIFY(!frame.helper()->isActive());
        emit frame.findChild<WindowDragger *>()->doubleClicked();
        QTRY_VERIFY(!frame.isMaximized());
        QCOMPARE(frame.layout()->contentsMargins().left(), int(FramelessWindow::kShadowMargin));
        QVERIFY(frame.helper()->isActive());
        frame.setResizable(false);
        emit frame.findChild<WindowDragger *>()->doubleClicked();
        QVERIFY(!frame.isMaximized());
    }

    void edgesAndCursors_data()
    {
        QTest::addColumn<QPoint>("offset"); // from the frame's top-left
        QTest::addColumn<int>("edges");
        QTest::addColumn<int>("cursor");
        QTest::newRow("left") << QPoint(2, 100) << int(Qt::LeftEdge) << int(Qt::SizeHorCursor);
        QTest::newRow("bottom") << QPoint(100, 296) << int(Qt::BottomEdge) << int(Qt::SizeVerCursor);
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

};

QTEST_MAIN(TestFrame)
#include "tst_frame.moc"
