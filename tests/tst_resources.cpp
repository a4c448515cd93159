// Every resource name the program uses must exist.
#include <QDirIterator>
#include <QFile>
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

};

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
