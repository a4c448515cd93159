// The frameless frame: a refused close keeps it, modal results and ownership, focus, stacking,
// resizing by its edges within the limits.
#include "app/App.h"
#include "frame/Dialog.h"
#include "frame/FramelessHelper.h"
#include "frame/FramelessWindow.h"

#include <QCloseEvent>
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

};

QTEST_MAIN(TestFrame)
#include "tst_frame.moc"
