// Every resource name the program uses must exist, with a high-DPI twin for images.
#include <QDirIterator>
#include <QFile>
#include <QImageReader>
#include <QRegularExpression>
#include <QTextDocument>
#include <QtTest>

namespace {

// Resource names in sources, forms and style sheets: ":/res/icons/x.png" and url(:/darkstyle/x.png).
QMap<QString, QString> usedResourceNames()
{
    QMap<QString, QString> names; // name -> first file using it
    const QRegularExpression re(QStringLiteral(R"(:/(?:res/icons|images|darkstyle|doc)/[A-Za-z0-9_./@-]+)"));
    const QString root = QStringLiteral(INKBOAT_SOURCE_DIR "/src");
    QDirIterator it(root, {"*.cpp", "*.h", "*.ui", "*.qss", "*.htm"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(f.readAll());
        auto m = re.globalMatch(text);
        while (m.hasNext()) {
            QString name = m.next().captured(0);
            while (name.endsWith(QLatin1Char('.')))
                name.chop(1);
            if (name.endsWith(QLatin1Char('/')))
                continue; // a folder named in a comment
            if (!names.contains(name))
                names.insert(name, QDir(root).relativeFilePath(path));
        }
    }
    return names;
}

} // namespace

class TestResources : public QObject
{
    Q_OBJECT
private slots:
    void everyUsedNameExists()
    {
        const auto names = usedResourceNames();
        QVERIFY2(names.size() > 20, "the scan found too few names; is the source folder right?");
        for (const char *name : {":/res/icons/Writer128.png", ":/images/icon_window_close.png",
                                 ":/darkstyle/darkstyle.qss", ":/doc/FirstUse.htm"})
            QVERIFY2(names.contains(QLatin1String(name)), name); // the scan sees every kind of name
        for (auto it = names.cbegin(); it != names.cend(); ++it)
            QVERIFY2(QFile::exists(it.key()), qPrintable(it.key() + " used in " + it.value()));
    }

    // The welcome page: plain rich text that reads on every colour style and needs nothing outside.
    void welcomePageIsSelfContained()
    {
        QFile f(QStringLiteral(":/doc/FirstUse.htm"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString html = QString::fromUtf8(f.readAll());
        for (const char *word : {"color", "background", "src=", "href=", "url("})
            QVERIFY2(!html.contains(QLatin1String(word), Qt::CaseInsensitive), word);
        QTextDocument doc;
        doc.setHtml(html);
        const QString text = doc.toPlainText();
        for (const QString &topic : {QStringLiteral("新书"), QStringLiteral("新卷"), QStringLiteral("新章节"),
                                     QStringLiteral("自动保存"), QStringLiteral("备份"), QStringLiteral("素材"),
                                     QStringLiteral("参数"), QStringLiteral("显示新手引导"), QStringLiteral("Ctrl+S")})
            QVERIFY2(text.contains(topic), qPrintable(topic));
    }

    void everyImageHasAHighDpiTwin()
    {
        int count = 0;
        QDirIterator it(QStringLiteral(":/"), {"*.png"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path.endsWith(QLatin1String("@2x.png")) || path.startsWith(QLatin1String(":/qt-project.org")))
                continue;
            ++count;
            const QString twin = path.left(path.size() - 4) + QStringLiteral("@2x.png");
            QImageReader one(path), two(twin);
            const QSize s1 = one.size(), s2 = two.size();
            QVERIFY2(s1.isValid(), qPrintable(path));
            QVERIFY2(s2 == s1 * 2, qPrintable(twin));
            const QImage image = one.read();
            QVERIFY2(image.hasAlphaChannel(), qPrintable(path));
            // Not an empty canvas: some pixel is drawn.
            bool drawn = false;
            for (int y = 0; y < image.height() && !drawn; ++y)
                for (int x = 0; x < image.width() && !drawn; ++x)
                    drawn = qAlpha(image.pixel(x, y)) > 128;
            QVERIFY2(drawn, qPrintable(path));
        }
        QVERIFY(count >= 23);
    }

    void imageSizesFitTheirUse_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QSize>("size");
        QTest::newRow("program icon") << ":/res/icons/Writer128.png" << QSize(128, 128);
        QTest::newRow("window button") << ":/images/icon_window_close.png" << QSize(16, 16);
        QTest::newRow("tree icon") << ":/res/icons/book03.png" << QSize(32, 32);
        QTest::newRow("tool-bar icon") << ":/res/icons/replace01.png" << QSize(32, 32);
        QTest::newRow("main-menu icon") << ":/res/icons/mainmenu01.png" << QSize(32, 32);
        QTest::newRow("message icon") << ":/res/icons/warning01.png" << QSize(48, 48);
    }

    void imageSizesFitTheirUse()
    {
        QFETCH(QString, name);
        QFETCH(QSize, size);
        QCOMPARE(QImageReader(name).size(), size);
    }

    void darkSheetCoversTheWidgetClasses()
    {
        QFile f(QStringLiteral(":/darkstyle/darkstyle.qss"));
        QVERIFY(f.open(QIODevice::ReadOnly | QIODevice::Text));
        const QString sheet = QString::fromUtf8(f.readAll());
        for (const char *cls : {"QToolTip", "QStatusBar", "QMenuBar", "QMenu", "QToolBar", "QCheckBox",
                                "QRadioButton", "QTabBar", "QScrollBar", "QTreeView", "QTextEdit", "QPushButton",
                                "QLineEdit", "QComboBox", "QProgressBar", "QSplitter", "QHeaderView", "QDockWidget",
                                "QSlider", "QGroupBox", "QTableView"})
            QVERIFY2(sheet.contains(QLatin1String(cls)), cls);
        QCOMPARE(sheet.count(QLatin1Char('{')), sheet.count(QLatin1Char('}')));
    }
};

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
