// inkboat-libtool: builds and inspects the library files shipped with the program.
#include "libtool/Generator.h"
#include "libtool/LibraryFile.h"
#include "libtool/LibrarySource.h"
#include "libtool/UpgradePack.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

int usage()
{
    fputs("usage:\n"
          "  inkboat-libtool build <source folder> <output.sdb> [--version V] [--table NAME] [--no-index]\n"
          "  inkboat-libtool dump <file.sdb> [output folder]\n"
          "  inkboat-libtool pack-upgrade <output.zip> <library.sdb>...\n"
          "  inkboat-libtool generate <output.sdb> [--entries N] [--folders F] [--largest L] [--table NAME]\n"
          "                           [--no-index]\n",
          stderr);
    return 2;
}

QString option(const QStringList &args, const QString &name, const QString &fallback = QString())
{
    const int i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1) : fallback;
}

QString defaultVersion(const QString &sourceDir)
{
    QFile f(QFileInfo(sourceDir).absoluteDir().filePath(QStringLiteral("VERSION")));
    if (f.open(QIODevice::ReadOnly))
        return QString::fromUtf8(f.readAll()).trimmed();
    return QStringLiteral("4.0");
}

int run(const QStringList &args)
{
    if (args.size() < 2)
        return usage();
    const QString cmd = args.at(0);
    if (cmd == QLatin1String("build") && args.size() >= 3) {
        const QString source = args.at(1);
        libtool::BuildOptions o;
        o.table = option(args, "--table", libtool::tableForKind(QFileInfo(source).fileName()));
        o.version = option(args, "--version", defaultVersion(source));
        o.withIndexes = !args.contains("--no-index");
        if (o.table.isEmpty())
            throw libtool::SourceError(
                QStringLiteral("%1: name the folder material, sentence or article, or give --table").arg(source));
        const libtool::Library lib = libtool::readSourceFolder(source);
        libtool::writeLibraryFile(lib, args.at(2), o);
        int entries = 0;
        for (const libtool::Folder &f : lib.folders)
            entries += f.entries.size();
        printf("%s: %d folder files, %d entries, version %s\n", qPrintable(args.at(2)), lib.folders.size(), entries,
               qPrintable(o.version));
        return 0;
    }
    if (cmd == QLatin1String("dump")) {
        const libtool::Library lib = libtool::readLibraryFile(args.at(1));
        if (args.size() >= 3) {
            libtool::writeSourceFolder(lib, args.at(2));
            return 0;
        }
        for (const libtool::Folder &f : lib.folders) {
            printf("=== %s\n", qPrintable(libtool::sourceFileName(f)));
            fwrite(libtool::sourceFileText(f).constData(), 1, size_t(libtool::sourceFileText(f).size()), stdout);
        }
        return 0;
    }
    if (cmd == QLatin1String("pack-upgrade") && args.size() >= 3) {
        libtool::packUpgrade(args.at(1), args.mid(2));
        return 0;
    }
    if (cmd == QLatin1String("generate")) {
        libtool::GenerateOptions g;
        g.entries = option(args, "--entries", "150000").toInt();
        g.folders = option(args, "--folders", "3000").toInt();
        g.largest = option(args, "--largest", "5000").toInt();
        libtool::BuildOptions o;
        o.table = option(args, "--table", libtool::tableForKind("material"));
        o.withIndexes = !args.contains("--no-index");
        libtool::writeLibraryFile(libtool::generateLibrary(g), args.at(1), o);
        return 0;
    }
    return usage();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    try {
        return run(app.arguments().mid(1));
    } catch (const libtool::SourceError &e) {
        fprintf(stderr, "inkboat-libtool: %s\n", e.what());
        return 1;
    }
}
