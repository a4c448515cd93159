// The window frame, message boxes, toasts, colour styles, the first-use tour and the resources:
// a refused close keeps the window, the answer is the button pressed, foreign text shows as
// written, a style switch frees nothing twice, the tour runs once per profile.
#include "BookRows.h"
#include "Columns.h"
#include "ScriptedPrompter.h"
#include "TestProfile.h"

#include "app/App.h"
#include "book/BookController.h"
#include "cloud/ClientInfo.h"
#include "frame/Frames.h"
#include "frame/FramelessHelper.h"
#include "frame/FramelessWindow.h"
#include "frame/GlyphIcon.h"
#include "frame/MessageDialog.h"
#include "frame/Styles.h"
#include "frame/Toast.h"
#include "mainwindow/MainWindow.h"
#include "settings/NoviceGuidance.h"
#include "settings/AboutDialog.h"
#include "settings/SysParamDialog.h"
#include "settings/Tooltip.h"
#include "stats/WritingStatsWindow.h"

#include <QtTest>
#include <QtWidgets>

namespace {

MessageDialog *openMessageDialog()
{
    for (QWidget *w : QApplication::allWidgets())
        if (auto *d = qobject_cast<MessageDialog *>(w))
            return d;
    return nullptr;
}

// A content that refuses to close (an editor with unsaved text) and lets Cancel through only when
// allowed (the settings dialog asks first).
class GuardedDialog : public Dialog
{
public:
    bool allowClose = false;
    int asked = 0;
    void done(int r) override
    {
        if (r != Rejected || allowClose)
            Dialog::done(r);
    }

protected:
    void closeEvent(QCloseEvent *event) override
    {
        ++asked;
        if (allowClose)
            Dialog::closeEvent(event);
        else
            event->ignore();
    }
};

// Runs `f` once the event loop runs (inside a modal frame's loop).
void later(std::function<void()> f) { QTimer::singleShot(0, qApp, std::move(f)); }

// Whether the opaque pixels an eye tells from the ground colour draw more than a dot (6 x 5).
bool inked(const QImage &image, const QColor &ground)
{
    QRect ink;
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x)
            if (qAlpha(argb.pixel(x, y)) > 128 && qAbs(qGray(argb.pixel(x, y)) - qGray(ground.rgb())) > 60)
                ink |= QRect(x, y, 1, 1);
    return ink.width() >= 6 && ink.height() >= 5;
}

void clickClose(FramelessWindow *frame) { frame->findChild<QToolButton *>(QStringLiteral("closeButton"))->click(); }

} // namespace

Q_DECLARE_METATYPE(QMargins)

class TestUi : public QObject
{
    Q_OBJECT
    TestProfile m_profile;

private slots:
    void initTestCase() { QVERIFY(startApp().ok); }
    void init() { FramelessWindow::setTranslucencyOverride(1); }
    void cleanupTestCase() { Ink::applyStyle(QStringLiteral("Fusion")); }

    // A content that refuses the close (unsaved text) keeps its frame; allowed, the frame goes.
    void refusedCloseKeepsTheWindow_data()
    {
        // finish: the content finishes itself instead of allowing the close
        COLUMNS(bool, finish);
        QTest::newRow("closed by the close button") << false;
        QTest::newRow("content finishes") << true;
    }
    void refusedCloseKeepsTheWindow()
    {
        FETCH(bool, finish);
        auto *content = new GuardedDialog;
        QPointer<GuardedDialog> guard(content);
        FramelessWindow::showWidget(content, Ink::foResizable, nullptr);
        QPointer<FramelessWindow> frame(FramelessWindow::frameOf(content));
        QVERIFY(frame);
        clickClose(frame);
        QCOMPARE(content->asked, 1);
        QVERIFY(frame->isVisible());
        content->allowClose = true;
        if (finish)
            content->accept();
        else
            clickClose(frame);
        QTRY_VERIFY(!frame); // a non-modal frame goes with its content
        QVERIFY(finish || !guard);
        delete guard.data();
    }

    // A modal dialog whose Cancel is answered "no" stays in its frame; afterwards it is out of its
    // frame and still the caller's (a stack object here: a second delete would crash). A dialog
    // opened from it sits over it, not behind it.
    void modalDialogStaysTheCallersAndStacks()
    {
        QWidget main;
        FramelessWindow mainFrame;
        mainFrame.setContent(&main);
        mainFrame.show();
        GuardedDialog dialog;
        Dialog inner;
        bool stayedOpen = false;
        QWidget *innerParent = nullptr;
        FramelessWindow *outerFrame = nullptr;
        later([&]() {
            outerFrame = FramelessWindow::frameOf(&dialog);
            QCOMPARE(FramelessWindow::modalCount(), 1);
            clickClose(outerFrame); // answered "no"
            stayedOpen = outerFrame->isVisible() && dialog.isVisible();
            later([&]() {
                innerParent = FramelessWindow::frameOf(&inner)->parentWidget();
                inner.accept();
            });
            FramelessWindow::showWidget(&inner, Ink::foModal | Ink::foParentMain, &mainFrame);
            dialog.allowClose = true;
            clickClose(outerFrame);
        });
        QCOMPARE(FramelessWindow::showWidget(&dialog, Ink::foModal, nullptr), int(QDialog::Rejected));
        QVERIFY(stayedOpen);
        QCOMPARE(innerParent, static_cast<QWidget *>(outerFrame));
        later([&]() { dialog.accept(); });
        QCOMPARE(FramelessWindow::showWidget(&dialog, Ink::foModal, nullptr), int(QDialog::Accepted));
        QVERIFY(FramelessWindow::modalCount() == 0 && !dialog.parentWidget() && !FramelessWindow::frameOf(&dialog));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        mainFrame.takeContent();
    }

    void resizingByAnEdgeKeepsTheOppositeEdgeAndLimits_data()
    {
        COLUMNS(int, edges, QPoint, delta, QRect, expected);
        QTest::newRow("right grows") << int(Qt::RightEdge) << QPoint(50, 9) << QRect(100, 100, 450, 300);
        QTest::newRow("left grows") << int(Qt::LeftEdge) << QPoint(-30, 0) << QRect(70, 100, 430, 300);
        QTest::newRow("bottom-right") << int(Qt::BottomEdge | Qt::RightEdge) << QPoint(10, 20)
                                      << QRect(100, 100, 410, 320);
        QTest::newRow("left stops at minimum") << int(Qt::LeftEdge) << QPoint(390, 0) << QRect(300, 100, 200, 300);
        QTest::newRow("top stops at minimum") << int(Qt::TopEdge) << QPoint(0, 500) << QRect(100, 250, 400, 150);
        QTest::newRow("bottom stops at maximum") << int(Qt::BottomEdge) << QPoint(0, 900) << QRect(100, 100, 400, 600);
    }
    void resizingByAnEdgeKeepsTheOppositeEdgeAndLimits()
    {
        FETCH(int, edges, QPoint, delta, QRect, expected);
        QCOMPARE(AbsFrameLessAutoSize::resizedGeometry(Qt::Edges(edges), QRect(100, 100, 400, 300), delta,
                                                       QSize(200, 150), QSize(1000, 600)),
                 expected);
    }

    // Shown modal over the main window; press 0 closes the frame by its title bar (no answer).
    // Titles and service texts with angle brackets show verbatim; only own markup is rich text.
    void messageAnswersTheButtonPressed_data()
    {
        // which: 0 ask, 1 showInfo, 2 showError
        COLUMNS(int, which, QString, text, int, buttons, int, press, int, answer, int, format);
        const int yesNo = Ink::mbYes | Ink::mbNo, plain = Qt::PlainText;
        QTest::newRow("yes") << 0 << "确定删除<新书>吗？" << yesNo << int(Ink::mbYes) << int(Ink::maYes) << plain;
        QTest::newRow("no, a title that is a tag") << 0 << "确定删除<b>吗？" << yesNo << int(Ink::mbNo) << int(Ink::maNo)
                                                   << plain;
        QTest::newRow("cancel of three, own html")
            << 0 << "<html>确定以此选择为准吗？<br><font color='red'>注意</font></html>" << (yesNo | Ink::mbCancel)
            << int(Ink::mbCancel) << int(Ink::maCancel) << int(Qt::RichText);
        QTest::newRow("title-bar close") << 0 << "确定退出吗？" << yesNo << 0 << -1 << plain;
        QTest::newRow("no button flag gives OK") << 0 << "确定退出吗？" << 0 << int(Ink::mbOk) << int(Ink::maOk) << plain;
        QTest::newRow("info") << 1 << "用户注册成功！" << 0 << int(Ink::mbOk) << 0 << plain;
        QTest::newRow("error, a service text") << 2 << "用户登录失败，错误信息：<script>x</script>" << 0 << int(Ink::mbOk)
                                               << 0 << plain;
    }
    void messageAnswersTheButtonPressed()
    {
        FETCH(int, which, QString, text, int, buttons, int, press, int, answer, int, format);
        QWidget mainWindow;
        auto *mainFrame = new FramelessWindow;
        mainFrame->setContent(&mainWindow);
        mainFrame->show();
        Frames::setMainWindow(&mainWindow);
        Frames::setMainFrame(mainFrame);
        QString seen; // modal over the main window and titled like its message|text format|text
        QTimer::singleShot(0, this, [&]() {
            MessageDialog *dialog = openMessageDialog();
            FramelessWindow *frame = dialog ? FramelessWindow::frameOf(dialog) : nullptr;
            QVERIFY(frame);
            seen = QString("%1|%2|%3")
                       .arg(frame->parentWidget() == mainFrame && frame->isModal() &&
                            frame->windowTitle() == dialog->windowTitle())
                       .arg(dialog->textLabel()->textFormat())
                       .arg(dialog->textLabel()->text());
            if (press)
                dialog->button(press)->click();
            else
                clickClose(frame);
        });
        int result = 0;
        if (which == 0)
            result = g_App.ask(text, buttons);
        else if (which == 1)
            g_App.showInfo(text);
        else
            g_App.showError(text);
        QCOMPARE(result, answer);
        QCOMPARE(seen, QString("1|%1|%2").arg(format).arg(text));
        QVERIFY(!openMessageDialog());
        mainFrame->takeContent();
        Frames::setMainWindow(nullptr);
        Frames::setMainFrame(nullptr);
        delete mainFrame;
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

    // Rows run in order: each style replaces the one the row before left (an unknown name keeps
    // it), the font stays, and applying a style twice frees nothing twice (each proxy owns its base
    // style); disabled text stays told apart. With INKBOAT_STYLE_SHOTS set (scripts/screenshots)
    // the main window, the settings, the statistics and a message box are saved there, one picture
    // each per style.
    void everyStyleAppliesTwiceAndStaysLegible_data()
    {
        COLUMNS(QString, name, bool, applied, bool, hasSheet);
        for (const QString &name : Ink::colourStyleNames() + QStringList{"Fusion", "Windows"}) {
            QTest::newRow(qPrintable(name)) << name << true << (name == "Dark");
            if (name == "Dark")
                QTest::newRow("an unknown name keeps Dark") << "NoSuchStyle" << false << true;
        }
    }
    void everyStyleAppliesTwiceAndStaysLegible()
    {
        FETCH(QString, name, bool, applied, bool, hasSheet);
        QFont font = QApplication::font();
        font.setPointSize(13);
        QApplication::setFont(font);
        const QPalette palette = QApplication::palette();
        MainWindow main;
        main.resize(1366, 768);
        main.show();
        for (int i = 0; i < 2; ++i) {
            QStyle *before = QApplication::style();
            QCOMPARE(Ink::applyStyle(name), applied);
            QCOMPARE(QApplication::style() == before, !applied);
            main.repaint();
        }
        QCOMPARE(QApplication::font().pointSize(), 13);
        QCOMPARE(!qApp->styleSheet().isEmpty(), hasSheet);
        QScopedPointer<QStyle> fresh(Ink::createStyle(name));
        QCOMPARE(QApplication::palette().color(QPalette::Window),
                 applied ? fresh->standardPalette().color(QPalette::Window) : palette.color(QPalette::Window));
        const QPalette now = QApplication::palette();
        using P = QPalette;
        for (const auto &pair : {qMakePair(P::Text, P::Base), qMakePair(P::ButtonText, P::Button),
                                 qMakePair(P::Link, P::Window), qMakePair(P::HighlightedText, P::Highlight)})
            for (const P::ColorGroup group : {P::Active, P::Disabled}) // own styles: every text reads on its ground
                QVERIFY2(!Ink::colourStyleNames().contains(name) ||
                             Ink::contrastRatio(now.color(group, pair.first), now.color(group, pair.second)) >= 4.5,
                         qPrintable(QString("%1 on %2").arg(pair.first).arg(pair.second)));
        if (Ink::colourStyleNames().contains(name))
            QVERIFY(now.color(P::Disabled, P::Text) != now.color(P::Active, P::Text));
        // Narrowed, the tool bars hide buttons behind their overflow arrow: it must stand out of its bar.
        main.resize(700, 768);
        QApplication::processEvents();
        int arrows = 0;
        for (QToolButton *ext : main.findChildren<QToolButton *>(QStringLiteral("qt_toolbar_ext_button"))) {
            const QImage image = ext->grab().toImage();
            arrows += ext->isVisible();
            QVERIFY(!ext->isVisible() || inked(image, image.pixelColor(0, image.height() - 1)));
        }
        QVERIFY(arrows > 0);
        main.resize(1366, 768);
        // A long chapter over the limit, a big day and the shop's link: every label still whole in its bar.
        ApiLink shop;
        shop.link_name = QStringLiteral("官方淘宝店");
        shop.link_url = QStringLiteral("https://shop.example.cn/");
        clientinfo::setLinks({shop});
        main.commomThreadWorkerSignal("appInitWorker", "links", true, QString());
        main.statusBar()->findChild<QLabel *>("labelStatistics")->setText("总:10241,中:9862,英数:278,其:101");
        QMetaObject::invokeMethod(main.findChild<QTimer *>("timeTimer"), "timeout");
        QLabel *day = main.statusBar()->findChild<QLabel *>("labelDailyTarget");
        day->setText("今日：123,456 / 100,000 字");
        day->show();
        emit main.book()->overLengthChanged(10241, false);
        QApplication::processEvents();
        QCOMPARE(main.width(), 1366);
        for (QLabel *label : main.statusBar()->findChildren<QLabel *>())
            QVERIFY2(!label->isVisible() || (label->width() >= label->minimumSizeHint().width() &&
                                             main.statusBar()->rect().contains(label->geometry())),
                     qPrintable(label->objectName() + label->text()));
        emit main.book()->overLengthChanged(0, false);
        QApplication::processEvents();
        // Icons made once at start are drawn in the style of the moment (dark glyphs on dark buttons).
        for (const QIcon &icon : {glyphIcon(QStringLiteral("B"), QApplication::font(), true),
                                  alignIcon(Qt::AlignLeft), fullScreenIcon()})
            QVERIFY(inked(icon.pixmap(32).toImage(), QApplication::palette().color(QPalette::Button)));
        SysParamDialog settings;
        // Narrow font boxes and the backup path show the start of their text, not its end.
        for (QFontComboBox *box : main.findChildren<QFontComboBox *>() + settings.findChildren<QFontComboBox *>())
            QCOMPARE(box->lineEdit()->cursorPosition(), 0);
        const auto *backup = settings.findChild<QLineEdit *>("lineEditAutoBackupDbPath");
        QVERIFY(!backup->text().isEmpty() && backup->cursorPosition() == 0 && backup->toolTip() == backup->text());
        // Dialogs name their buttons themselves, also where Qt's translations are missing.
        AboutDialog about;
        for (QDialogButtonBox *box : settings.findChildren<QDialogButtonBox *>() + about.findChildren<QDialogButtonBox *>())
            for (QAbstractButton *button : box->buttons())
                QVERIFY2(!button->text().contains(QRegularExpression("[A-Za-z]")), qPrintable(button->text()));
        const QString shots = qEnvironmentVariable("INKBOAT_STYLE_SHOTS");
        if (shots.isEmpty() || !applied)
            return;
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        WritingStatsWindow stats;
        MessageDialog box;
        box.setup(QString(), QStringLiteral("确定退出吗？"), Ink::mkQuestion, Ink::mbYes | Ink::mbNo);
        const QList<QPair<QString, QWidget *>> windows = {
            {"main", &main}, {"settings", &settings}, {"stats", &stats}, {"message", &box}};
        QDir().mkpath(shots);
        for (const auto &window : windows) {
            window.second->show();
            QVERIFY(window.second->grab().save(QString("%1/%2-%3.png").arg(shots, name.toLower(), window.first)));
        }
    }

    // A negative width would make the tour's overlay style sheet invalid and cover everything.
    void tourOverlayBordersNeverNegative_data()
    {
        // widths: left, top, right, bottom; overlay 800 x 600
        COLUMNS(QRect, target, QMargins, widths);
        QTest::newRow("middle") << QRect(100, 50, 200, 100) << QMargins(98, 48, 498, 448);
        QTest::newRow("top edge") << QRect(0, 0, 800, 20) << QMargins(0, 0, 0, 578);
        QTest::newRow("left edge") << QRect(0, 30, 150, 570) << QMargins(0, 28, 648, 0);
    }
    void tourOverlayBordersNeverNegative()
    {
        FETCH(QRect, target, QMargins, widths);
        QCOMPARE(NoviceGuidance::borderWidths(target, QSize(800, 600)), widths);
    }

    // The first show runs the tour once per profile; removing the row brings it back.
    void firstShowRunsTheTourOncePerProfile()
    {
        clearBookTables();
        g_SysParams = SysParams();
        g_SysParams.autoBackupDbPath = g_App.defaultBackupPath();
        for (int round : {1, 2, 3}) {
            if (round != 2)
                execSql("DELETE FROM SysParam WHERE Key = 'NoviceGuidance'");
            ScriptedPrompter prompts;
            int bubbles = 0;
            prompts.framed = [&bubbles](QWidget *widget, int options) {
                bubbles += qobject_cast<Tooltip *>(widget) && (options & Ink::foBare);
                return int(QDialog::Rejected); // "关闭" on the first bubble
            };
            MainWindow w;
            w.resize(1366, 740);
            w.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w));
            QSignalSpy done(&w, &MainWindow::startAppInit);
            w.windowFirstShow();
            QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 20000);
            QCOMPARE(bubbles, round == 2 ? 0 : 1);
            QCOMPARE(getSysParam("NoviceGuidance"), QString("1"));
        }
    }

    // A screen reader reads a control's name; a button with only an icon would be read as "button".
    // Tab walks the panels from left to right and leaves the editor.
    void everyControlHasANameAndTabWalksThePanels()
    {
        MainWindow main;
        main.resize(1366, 768);
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        for (QWidget *w : main.findChildren<QWidget *>()) {
            const bool control = qobject_cast<QAbstractButton *>(w) || qobject_cast<QAbstractItemView *>(w) ||
                                 qobject_cast<QComboBox *>(w) || qobject_cast<QLineEdit *>(w) ||
                                 qobject_cast<QTextEdit *>(w) || qobject_cast<QPlainTextEdit *>(w);
            if (!control || !w->isVisibleTo(&main) || qobject_cast<QAbstractScrollArea *>(w->parentWidget()))
                continue;
            QAccessibleInterface *face = QAccessible::queryAccessibleInterface(w);
            QVERIFY(face);
            QVERIFY2(!face->text(QAccessible::Name).trimmed().isEmpty(),
                     qPrintable(QStringLiteral("%1 %2 has no name").arg(w->metaObject()->className(), w->objectName())));
        }
        const QStringList order = {"treeViewBook", "textEditor", "lineEditWord"};
        main.findChild<QTextEdit *>(QStringLiteral("textEditor"))->setReadOnly(false); // as with a chapter open
        main.findChild<QWidget *>(order.first())->setFocus();
        for (int i = 1; i < order.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString(), order.at(i));
        }
    }

    // Every resource name in sources, forms and style sheets (":/res/icons/x.png",
    // url(:/darkstyle/x.png)) exists: a missing one shows an empty button.
    void everyResourceNameUsedExists()
    {
        QMap<QString, QString> names; // name -> first file using it
        const QRegularExpression re(QStringLiteral(R"(:/(?:res/icons|images|darkstyle|doc)/[A-Za-z0-9_./@-]+)"));
        const QString root = QStringLiteral(INKBOAT_SOURCE_DIR "/src");
        QDirIterator it(root, {"*.cpp", "*.h", "*.ui", "*.qss", "*.htm"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile f(it.next());
            QVERIFY(f.open(QIODevice::ReadOnly));
            for (auto m = re.globalMatch(QString::fromUtf8(f.readAll())); m.hasNext();) {
                QString name = m.next().captured(0);
                while (name.endsWith(QLatin1Char('.')))
                    name.chop(1);
                if (!name.endsWith(QLatin1Char('/')) && !names.contains(name)) // not a folder named in a comment
                    names.insert(name, QDir(root).relativeFilePath(f.fileName()));
            }
        }
        for (const char *name : {":/res/icons/Writer128.png", ":/images/icon_window_close.png",
                                 ":/darkstyle/darkstyle.qss", ":/doc/FirstUse.htm"})
            QVERIFY2(names.contains(QLatin1String(name)), name); // the scan sees every kind of name
        for (auto it = names.cbegin(); it != names.cend(); ++it)
            QVERIFY2(QFile::exists(it.key()), qPrintable(it.key() + " used in " + it.value()));
    }
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
