// Frame costs the author feels: repainting after a key press in a full-screen-sized
// framed editor, and switching the frame's look when the application (de)activates.
#include "app/App.h"
#include "frame/FramelessWindow.h"
#include "frame/Styles.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTextEdit>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Counts paints, so the figures are known to include the repaint itself.
class PaintCounter : public QObject
{
public:
    int paints = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void report(const char *name, double value, const char *unit, double target)
{
    std::printf("%s: %.3f %s (target: < %.1f %s) %s\n", name, value, unit, target, unit,
                value < target ? "PASS" : "FAIL");
    std::fflush(stdout);
}

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

    PaintCounter counter;
    editor->viewport()->installEventFilter(&counter);
    const QString chars = QStringLiteral("砚舟写作长河落日圆");
    std::vector<double> keys;
    QElapsedTimer t;
    for (int i = 0; i < 300; ++i) {
        t.start();
        typeKey(editor, chars.at(i % chars.size()));
        QApplication::processEvents(); // update request: paint and flush
        keys.push_back(t.nsecsElapsed() / 1e6);
    }
    const QByteArray keyName = ("ui.frame.keypress_repaint_1920x1080." + styleName).toLatin1();
    // Without a paint per key the figure would measure nothing.
    report(keyName.constData(), counter.paints >= 300 ? median(keys) : 1e9, "ms", 2.0);

    std::vector<double> activations;
    for (int i = 0; i < 100; ++i) {
        t.start();
        frame.on_applicationStateChanged(i % 2 ? Qt::ApplicationActive : Qt::ApplicationInactive);
        frame.repaint();
        activations.push_back(t.nsecsElapsed() / 1e6);
    }
    const QByteArray actName = ("ui.frame.activation_change." + styleName).toLatin1();
    report(actName.constData(), median(activations), "ms", 16.0);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    FramelessWindow::setTranslucencyOverride(1); // measure with the shadow drawn
    run(QStringLiteral("Fusion"));
    run(QStringLiteral("Dark"));
    return 0;
}
