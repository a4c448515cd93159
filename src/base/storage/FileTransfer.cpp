#include "storage/FileTransfer.h"

#include "core/Exception.h"
#include "log/Log.h"
#include "storage/DataAccess.h"
#include "storage/TextFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <memory>

namespace {

QString withSeparator(const QString &folder)
{
    if (folder.isEmpty() || folder.endsWith(QDir::separator()) || folder.endsWith(QLatin1Char('/')))
        return folder;
    return folder + QDir::separator();
}

const QLatin1String kSuffix(".txt");

} // namespace

QChar titleSeparator() { return QChar(0xFF03); }

QString sanitizeFileName(const QString &name)
{
    static const QString reserved = QStringLiteral("\\/:*?\"<>|");
    QString result = name;
    for (QChar &c : result) {
        if (reserved.contains(c))
            c = QChar(c.unicode() + 0xFEE0);
    }
    return result;
}

QStringList titlesOfFileName(const QString &fileName)
{
    QString base = QFileInfo(fileName).fileName();
    if (base.endsWith(kSuffix, Qt::CaseInsensitive))
        base.chop(kSuffix.size());
    return base.normalized(QString::NormalizationForm_C).split(titleSeparator());
}

ExportAbs::~ExportAbs() = default;

void ExportAbs::setPath(const QString &folder) { m_path = withSeparator(folder); }

// Files flushed to disk together: two flushes per batch, and at most a batch of hidden temporary
// files left behind by a crash.
constexpr int kFilesPerFlush = 512;

void ExportAbs::exportFiles()
{
    m_count = 0;
    m_renamed.clear();
    m_failed.clear();
    m_usedNames.clear();
    m_batch = std::make_unique<TextFiles::Batch>(m_path.isEmpty() ? QStringLiteral(".") : m_path);
    m_batchTitles.clear();
    try {
        writeFiles();
    } catch (...) {
        commitBatch();
        throw;
    }
    commitBatch();
}

void ExportAbs::writeNode(const QStringList &titles, const QString &text)
{
    const QString titlePath = titles.join(titleSeparator());
    const QString base = sanitizeFileName(titlePath);
    QString name = base + kSuffix;
    // Siblings of one title ("新章节" is every new chapter's) would overwrite each other.
    for (int n = 2; m_usedNames.contains(name.toCaseFolded()); ++n)
        name = QStringLiteral("%1 (%2)%3").arg(base).arg(n).arg(kSuffix);
    m_usedNames.insert(name.toCaseFolded());
    QString error;
    if (!m_batch->add(name, text, &error)) {
        writeLog(QStringLiteral("err"), QStringLiteral("导出失败：%1%2：%3").arg(m_path, name, error));
        m_failed << titlePath;
        return;
    }
    if (name != base + kSuffix)
        m_renamed << QStringLiteral("%1 → %2").arg(titlePath, name);
    m_batchTitles << titlePath;
    if (m_batch->size() >= kFilesPerFlush)
        commitBatch();
}

void ExportAbs::commitBatch()
{
    const QStringList results = m_batch->commit();
    for (int i = 0; i < results.size(); ++i) {
        if (results.at(i).isEmpty()) {
            ++m_count;
            continue;
        }
        writeLog(QStringLiteral("err"), QStringLiteral("导出失败：%1%2：%3").arg(m_path, m_batchTitles.at(i), results.at(i)));
        m_failed << m_batchTitles.at(i);
    }
    m_batchTitles.clear();
}

QString ExportAbs::problemsText() const
{
    QStringList parts;
    if (!m_renamed.isEmpty())
        parts << QStringLiteral("以下节点重名，已改名导出：\n") + m_renamed.join(QLatin1Char('\n'));
    if (!m_failed.isEmpty())
        parts << QStringLiteral("以下节点导出失败：\n") + m_failed.join(QLatin1Char('\n'));
    return parts.join(QLatin1Char('\n'));
}

ImportAbs::~ImportAbs() = default;

void ImportAbs::setPath(const QString &folder) { m_path = withSeparator(folder); }

void ImportAbs::reset()
{
    m_count = 0;
    m_failed.clear();
}

void ImportAbs::addFailed(const QString &filePath, const QString &reason)
{
    writeLog(QStringLiteral("err"), QStringLiteral("导入失败：%1：%2").arg(filePath, reason));
    m_failed << filePath;
}

void ImportAbs::importBatched(const QStringList &files, const std::function<QString(const QString &file)> &refuse)
{
    std::unique_ptr<Transaction> tx;
    QStringList pending; // written in the open transaction
    QElapsedTimer batchTime;
    auto failPending = [&](const QString &reason) {
        for (const QString &file : pending)
            addFailed(file, reason);
        pending.clear();
    };
    auto commitBatch = [&] {
        if (!tx)
            return;
        try {
            tx->commit();
        } catch (const Exception &e) {
            tx.reset();
            failPending(e.message());
            throw;
        }
        tx.reset();
        for (int i = 0; i < pending.size(); ++i)
            addImported();
        pending.clear();
    };
    for (const QString &file : files) {
        if (refuse) {
            const QString why = refuse(file);
            if (!why.isEmpty()) {
                addFailed(file, why);
                continue;
            }
        }
        QStringList titles;
        QString text, reason;
        if (!readFile(file, &titles, &text, &reason)) {
            addFailed(file, reason);
            continue;
        }
        if (!tx) {
            tx = std::make_unique<Transaction>();
            batchTime.start();
        }
        try {
            execSql(QStringLiteral("SAVEPOINT importFile"));
            writeFile(titles, text);
            execSql(QStringLiteral("RELEASE importFile"));
        } catch (const Exception &e) {
            addFailed(file, e.message());
            try {
                execSql(QStringLiteral("ROLLBACK TO importFile"));
                execSql(QStringLiteral("RELEASE importFile"));
            } catch (const Exception &) {
                tx.reset();
                failPending(e.message());
            }
            commitBatch();
            throw;
        }
        pending << file;
        if (pending.size() >= 200 || batchTime.elapsed() >= 500)
            commitBatch();
    }
    commitBatch();
}
