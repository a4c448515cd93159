// Renders every SVG below a source folder to PNG at its own size and at twice
// its size ("name@2x.png"), keeping the folder structure.
#include <QDirIterator>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

static bool renderOne(const QString &svgPath, const QString &pngBase)
{
    QSvgRenderer renderer(svgPath);
    if (!renderer.isValid()) {
        std::fprintf(stderr, "iconrender: invalid SVG %s\n", qPrintable(svgPath));
        return false;
    }
    QSize size = renderer.viewBox().size();
    if (size.isEmpty())
        size = renderer.defaultSize();
    for (int scale : {1, 2}) {
        QImage image(size * scale, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        const QString out = scale == 1 ? pngBase + QStringLiteral(".png") : pngBase + QStringLiteral("@2x.png");
        if (!image.save(out, "PNG")) {
            std::fprintf(stderr, "iconrender: cannot write %s\n", qPrintable(out));
            return false;
        }
    }
    return true;
}

// The program icon for the desktop's icon theme: OUT_DIR/<n>x<n>/apps/NAME.png for each size.
static int renderThemeSizes(int argc, char *argv[])
{
    const QString svg = QString::fromLocal8Bit(argv[2]);
    const QDir outDir(QString::fromLocal8Bit(argv[3]));
    const QString name = QFileInfo(QString::fromLocal8Bit(argv[4])).completeBaseName();
    QSvgRenderer renderer(svg);
    if (!renderer.isValid()) {
        std::fprintf(stderr, "iconrender: invalid SVG %s\n", qPrintable(svg));
        return 1;
    }
    for (int i = 5; i < argc; ++i) {
        const int side = QString::fromLatin1(argv[i]).toInt();
        if (side <= 0) {
            std::fprintf(stderr, "iconrender: bad icon size %s\n", argv[i]);
            return 2;
        }
        const QString folder = outDir.filePath(QStringLiteral("%1x%1/apps").arg(side));
        QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        const QString out = folder + QLatin1Char('/') + name + QStringLiteral(".png");
        if (!QDir().mkpath(folder) || !image.save(out, "PNG")) {
            std::fprintf(stderr, "iconrender: cannot write the %s icon at %s px\n", qPrintable(name), argv[i]);
            return 1;
        }
    }
    return 0;
}

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc >= 6 && QByteArray(argv[1]) == "--theme")
        return renderThemeSizes(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: inkboat_iconrender SVG_DIR OUT_DIR\n"
                             "       inkboat_iconrender --theme SVG OUT_DIR NAME SIZE...\n");
        return 2;
    }
    const QDir srcDir(QString::fromLocal8Bit(argv[1]));
    const QDir outDir(QString::fromLocal8Bit(argv[2]));
    int count = 0;
    QDirIterator it(srcDir.path(), {QStringLiteral("*.svg")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString svg = it.next();
        const QString rel = srcDir.relativeFilePath(svg);
        const QString base = outDir.filePath(rel.left(rel.size() - 4));
        if (!QDir().mkpath(QFileInfo(base).path()) || !renderOne(svg, base))
            return 1;
        ++count;
    }
    std::printf("iconrender: %d icons\n", count);
    return 0;
}
