// Frame costs the author feels: repainting after a key press in a full-screen-sized
// framed editor, and switching the frame's look when the application (de)activates.
#include "BenchSupport.h"

#include "app/App.h"
#include "frame/FramelessWindow.h"
#include "frame/Styles.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTextEdit>

namespace {

void typeKey(QWidget *target, QChar c)
{
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(target, &press);
    QApplication::sendEvent(target, &release);
}

void run(const QString &styleName)
{
    Ink::applyStyle(styleName);
    auto *editor = new QTextEdit;
    QString text;
    for (int i = 0; i < 200; ++i)
        text += QStringLiteral("　　大漠孤烟直，长河落日圆。他勒住缰绳，回望来路，只见黄沙漫漫，驼铃声声，远处的烽火台在暮色中若隐若现。\n");
    editor->setPlainText(text);
    editor->resize(1920, 1080);
    FramelessWindow frame;
    frame.setAttribute(Qt::WA_DeleteOnClose, false);
    frame.setContent(editor);
    frame.setGeometry(0, 0, 1920, 1080);
    frame.show();
    for (int i = 0; i < 20; ++i)
        QApplication::processEvents();
    editor->setFocus();
    editor->moveCursor(QTextCursor::End);

    // Each key must reach the text and be painted.
    PaintCounter editorPaints;
    editor->viewport()->installEventFilter(&editorPaints);
    const QString chars = QStringLiteral("砚舟写作长河落日圆");
    int i = 0, length = 0, paints = 0;
    const Runs keys = timeRuns(
        300,
        [&] {
            typeKey(editor, chars.at(i++ % chars.size()));
            QApplication::processEvents(); // update request: paint and flush
        },
        [&] {
            if (editor->document()->characterCount() != length + 1)
                return QStringLiteral("the key did not reach the text");
            return editorPaints.paints > paints ? QString() : QStringLiteral("no repaint after the key");
        },
        [&] {
            length = editor->document()->characterCount();
            paints = editorPaints.paints;
        });
    benchReport("ui.frame.keypress_repaint_1920x1080." + styleName, keys, "ms", below(2, "ms"));

    // Each change must switch the look and repaint the title bar that shows it.
    PaintCounter framePaints;
    frame.findChild<QWidget *>(QStringLiteral("windowTitlebar"))->installEventFilter(&framePaints);
    i = 0;
    const Runs activations = timeRuns(
        100,
        [&] {
            // The frame asks for its own repaint; the posted paint is part of the change.
            frame.on_applicationStateChanged(i % 2 ? Qt::ApplicationActive : Qt::ApplicationInactive);
            QApplication::processEvents();
        },
        [&] {
            if (frame.hasActiveLook() != bool(i++ % 2))
                return QStringLiteral("the look did not follow the application state");
            return framePaints.paints > paints ? QString() : QStringLiteral("the title bar was not repainted");
        },
        [&] { paints = framePaints.paints; });
    benchReport("ui.frame.activation_change." + styleName, activations, "ms", below(16, "ms"));
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    FramelessWindow::setTranslucencyOverride(1); // measure with the shadow drawn
    run(QStringLiteral("Fusion"));
    run(QStringLiteral("Dark"));
    return benchExitCode();
}
