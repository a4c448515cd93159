#include "app/ExportCommand.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "app/Prompter.h"
#include "export/BookFileExport.h"
#include "frame/Frames.h"
#include "params/SysParams.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLockFile>
#include <QStandardPaths>
#include <QRegularExpression>
#include <QTextCodec>

#include <cstdio>

namespace {

enum ExitCode { kOk = 0, kUsage = 2, kDataFolder = 3, kNoBook = 4, kFailed = 5 };

void printError(const QString &text)
{
    QString plain = text;
    plain.remove(QRegularExpression(QStringLiteral("<[^>]*>")));
    std::fprintf(stderr, "inkboat: %s\n", plain.trimmed().toUtf8().constData());
}

// No window: messages go to stderr and every question is answered "cancel".
class ConsolePrompter final : public Prompter
{
public:
    int showMessage(int kind, const QString &text, int buttons, const QString &) override
    {
        if (kind == Ink::mkError || kind == Ink::mkWarning)
            printError(text);
        return buttons == Ink::mbOk ? Ink::maOk : Ink::maCancel;
    }
    bool chooseDirectory(const QString &, QString &) override { return false; }
    void applySkin(const QString &) override {}
    void applyUiFont(const QString &, int) override {}
};

int usage(const QString &why)
{
    printError(why);
    std::fprintf(stderr, "usage: inkboat --export-book <book id or exact title> --format txt|epub|odt|docx|pdf "
                         "--output FILE\n");
    return kUsage;
}

} // namespace

namespace ExportCommand {

bool requested(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (qstrcmp(argv[i], "--export-book") == 0)
            return true;
    return false;
}

int run(int argc, char **argv)
{
    // Nothing is shown: no display is needed, only fonts for the PDF.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    const QStringList args = QCoreApplication::arguments();
    QString book, format, output;
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        QString *target = a == QLatin1String("--export-book") ? &book
                          : a == QLatin1String("--format")    ? &format
                          : a == QLatin1String("--output")    ? &output
                                                              : nullptr;
        if (!target)
            return usage(QStringLiteral("未知的参数：%1").arg(a));
        if (i + 1 >= args.size())
            return usage(QStringLiteral("参数%1缺少值").arg(a));
        *target = args.at(++i);
    }
    BookFileExport::Options options;
    if (book.isEmpty() || output.isEmpty() || format.isEmpty())
        return usage(QStringLiteral("需要 --export-book、--format 和 --output"));
    if (!BookFileExport::formatFromName(format, &options.format))
        return usage(QStringLiteral("不支持的格式：%1").arg(format));
    options.output = QFileInfo(output).absoluteFilePath();

    // The program running on the data folder keeps writing it: refuse rather than read a file in
    // the middle of its changes. (Should it start right after this check, init hands the start
    // over to it and fails: still a refusal.)
    const QString dataPath = QDir::toNativeSeparators(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    {
        QLockFile probe(QDir(dataPath).filePath(Ink::applicationName() + QStringLiteral(".lock")));
        probe.setStaleLockTime(0);
        if (!probe.tryLock(0) && probe.error() == QLockFile::LockFailedError) {
            printError(QStringLiteral("%1正在运行，正在使用数据文件夹%2，不能同时导出。请先退出%1再导出。")
                           .arg(Ink::productName(), dataPath));
            return kDataFolder;
        }
    }

    ConsolePrompter prompter;
    const Frames::Override noWindows([](QWidget *, int) { return 0; });
    g_App.setPrompter(&prompter);
    bool started = false;
    try {
        started = g_App.init();
    } catch (const Exception &e) {
        printError(e.message());
    }
    if (!started) {
        printError(QStringLiteral("无法打开数据文件夹%1，没有导出。若砚舟写作正在运行，请先退出它再导出。")
                       .arg(QDir::toNativeSeparators(g_App.appDataPath())));
        g_App.deinit();
        g_App.setPrompter(nullptr);
        return kDataFolder;
    }
    // Only reading: no exit copy of an unchanged file.
    g_SysParams.autoBackupDb = false;
    int code = kOk;
    QString error;
    try {
        if (!BookFileExport::findBook(book, &options.bookId, &error)) {
            code = kNoBook;
        } else {
            const BookFileExport::Result result = BookFileExport::exportBook(options);
            if (!result.ok) {
                code = kFailed;
                error = result.error;
            }
        }
    } catch (const Exception &e) {
        code = kFailed;
        error = e.message();
    }
    if (code != kOk)
        printError(error);
    g_App.deinit();
    g_App.setPrompter(nullptr);
    return code;
}

} // namespace ExportCommand
