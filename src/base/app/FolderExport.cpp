#include "app/FolderExport.h"

#include "app/App.h"
#include "core/Exception.h"
#include "storage/FileTransfer.h"

void exportToChosenFolder(ExportAbs &exporter, QString &folder)
{
    if (!g_App.chooseDirectory(QStringLiteral("请选择导出文件路径："), folder, QStringLiteral("export")))
        return;
    exporter.setPath(folder);
    try {
        exporter.exportFiles();
    } catch (const Exception &e) {
        g_App.showError(e.message());
        return;
    }
    g_App.showInfo(QStringLiteral("已完成导出到%1，一共导出%2个文件。").arg(exporter.path(), QString::number(exporter.count())));
    const QString problems = exporter.problemsText();
    if (!problems.isEmpty())
        g_App.showError(problems);
}
