// Every resource name the program uses must exist, with a high-DPI twin for images.
#include <QDirIterator>
#include <QFile>
#include <QImageReader>
#include <QRegularExpression>
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

    // The welcome page takes its colours from the style (black text would vanish on Dark) and
    // needs nothing outside itself.
    void welcomePageReadsOnEveryStyle()
    {
        QFile f(QStringLiteral(":/doc/FirstUse.htm"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString html = QString::fromUtf8(f.readAll());
        for (const char *word : {"color", "background", "src=", "href=", "url("})
            QVERIFY2(!html.contains(QLatin1String(word), Qt::CaseInsensitive), word);
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
};

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
