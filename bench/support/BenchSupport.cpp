#include "BenchSupport.h"

#include "app/App.h"

#include <QCoreApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <unistd.h>

namespace {

int g_failedLines = 0;

double median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

QString number(double value)
{
    if (std::isnan(value))
        return QStringLiteral("-");
    if (std::fabs(value) >= 1000)
        return QString::number(value, 'f', 0);
    return QString::number(value, 'g', 4);
}

// "name: value unit (target: …) remarks PASS|FAIL"
bool printLine(const QString &name, double value, const QString &unit, const QString &target, const QString &remarks,
               bool pass)
{
    QString line = name + QStringLiteral(": ") + number(value);
    if (!unit.isEmpty())
        line += QLatin1Char(' ') + unit;
    line += QStringLiteral(" (target: %1)").arg(target);
    if (!remarks.isEmpty())
        line += QLatin1Char(' ') + remarks;
    line += pass ? QStringLiteral(" PASS") : QStringLiteral(" FAIL");
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
    if (!pass)
        ++g_failedLines;
    return pass;
}

QString rangeOf(const Runs &runs)
{
    if (runs.counted() < 2)
        return QString();
    return QStringLiteral("median of %1, range %2–%3").arg(runs.counted()).arg(number(runs.min()), number(runs.max()));
}

QString exceptionText(const std::exception_ptr &e)
{
    try {
        std::rethrow_exception(e);
    } catch (const std::exception &x) {
        return QStringLiteral("exception: ") + QString::fromUtf8(x.what());
    } catch (...) {
        return QStringLiteral("unknown exception");
    }
}

} // namespace

Target below(double limit, const QString &unit, const QString &remark)
{
    QString text = QStringLiteral("< ") + number(limit);
    if (!unit.isEmpty())
        text += QLatin1Char(' ') + unit;
    if (!remark.isEmpty())
        text += QStringLiteral(", ") + remark;
    return {text, [limit](double v) { return v < limit; }};
}

Target atMost(double limit, const QString &unit)
{
    QString text = QStringLiteral("<= ") + number(limit);
    if (!unit.isEmpty())
        text += QLatin1Char(' ') + unit;
    return {text, [limit](double v) { return v <= limit; }};
}

void Runs::add(double value)
{
    m_values << value;
    m_reasons << QString();
}

void Runs::fail(const QString &why)
{
    ++m_failed;
    m_values << std::nan("");
    m_reasons << (why.isEmpty() ? QStringLiteral("failed") : why);
}

bool Runs::add(double value, const QString &why)
{
    if (why.isEmpty())
        add(value);
    else
        fail(why);
    return why.isEmpty();
}

QString Runs::failure() const
{
    if (m_values.isEmpty())
        return QStringLiteral("no run");
    if (m_failed == 0)
        return QString();
    int first = 0;
    while (!failedAt(first))
        ++first;
    QString text = m_values.size() > 1 ? QStringLiteral("run %1: %2").arg(first + 1).arg(m_reasons.at(first))
                                       : m_reasons.at(first);
    if (m_failed > 1)
        text += QStringLiteral(" (%1 of %2 runs failed)").arg(m_failed).arg(m_values.size());
    return text;
}

namespace {

QVector<double> sortedValues(const QVector<double> &values)
{
    QVector<double> v;
    for (double x : values)
        if (!std::isnan(x))
            v << x;
    std::sort(v.begin(), v.end());
    return v;
}

} // namespace

double Runs::median() const
{
    const QVector<double> v = sortedValues(m_values);
    return v.isEmpty() ? std::nan("") : ::median(v);
}

double Runs::min() const
{
    const QVector<double> v = sortedValues(m_values);
    return v.isEmpty() ? std::nan("") : v.first();
}

double Runs::max() const
{
    const QVector<double> v = sortedValues(m_values);
    return v.isEmpty() ? std::nan("") : v.last();
}

Runs Runs::scaled(double factor) const
{
    Runs runs = *this;
    for (double &v : runs.m_values)
        v *= factor;
    return runs;
}

Runs timeRuns(int count, const std::function<void()> &act, const std::function<QString()> &check,
              const std::function<void()> &prepare)
{
    Runs runs;
    for (int i = 0; i < count; ++i) {
        double ms = 0;
        QString why;
        try {
            if (prepare)
                prepare();
            QElapsedTimer t;
            t.start();
            act();
            ms = t.nsecsElapsed() / 1e6;
            if (check)
                why = check();
        } catch (...) {
            why = exceptionText(std::current_exception());
        }
        runs.add(ms, why);
    }
    return runs;
}

Runs pairRatios(const Runs &numerator, const Runs &denominator)
{
    Runs ratios;
    const int pairs = std::min(numerator.size(), denominator.size());
    if (numerator.size() != denominator.size() || pairs < kMinPairs) {
        ratios.fail(QStringLiteral("%1 and %2 runs: at least %3 pairs needed")
                        .arg(numerator.size())
                        .arg(denominator.size())
                        .arg(kMinPairs));
        return ratios;
    }
    for (int i = 0; i < pairs; ++i) {
        if (numerator.failedAt(i) || denominator.failedAt(i))
            ratios.fail(numerator.failedAt(i) ? numerator.reasonAt(i) : denominator.reasonAt(i));
        else if (denominator.valueAt(i) <= 0)
            ratios.fail(QStringLiteral("a zero time"));
        else
            ratios.add(numerator.valueAt(i) / denominator.valueAt(i));
    }
    return ratios;
}

bool benchReport(const QString &name, const Runs &runs, const QString &unit, const Target &target)
{
    QString remarks = rangeOf(runs);
    const double value = runs.median();
    if (!runs.ok()) {
        if (!remarks.isEmpty())
            remarks += QStringLiteral("; ");
        remarks += QStringLiteral("not done: ") + runs.failure();
        return printLine(name, value, unit, target.text, remarks, false);
    }
    return printLine(name, value, unit, target.text, remarks, target.meets(value));
}

bool benchReport(const QString &name, double value, const QString &unit, const Target &target, const QString &why)
{
    if (!why.isEmpty())
        return printLine(name, value, unit, target.text, QStringLiteral("not done: ") + why, false);
    return printLine(name, value, unit, target.text, QString(), !std::isnan(value) && target.meets(value));
}

int benchFail(const QString &name, const QString &why)
{
    printLine(name, std::nan(""), QString(), QStringLiteral("work done"), QStringLiteral("not done: ") + why, false);
    return benchExitCode();
}

int benchFailAll(const QStringList &names, const QString &why)
{
    for (const QString &name : names)
        benchFail(name, why);
    return benchExitCode();
}

void benchNote(const QString &name, double value, const QString &unit, const QString &remark)
{
    std::printf("%s: %s %s%s%s\n", qPrintable(name), qPrintable(number(value)), qPrintable(unit),
                remark.isEmpty() ? "" : " ", qPrintable(remark));
    std::fflush(stdout);
}

void benchNote(const QString &name, const Runs &runs, const QString &unit, const QString &remark)
{
    if (!runs.ok()) {
        benchFail(name, runs.failure());
        return;
    }
    const QString range = rangeOf(runs);
    benchNote(name, runs.median(), unit,
              range.isEmpty() ? remark : remark.isEmpty() ? range : remark + QStringLiteral(", ") + range);
}

int benchExitCode() { return g_failedLines ? 1 : 0; }

QString missingSqlDriver(const QString &driver)
{
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
    if (QSqlDatabase::isDriverAvailable(driver))
        return QString();
    return QStringLiteral("SQL driver %1 not found (plug-in paths: %2)")
        .arg(driver, QCoreApplication::libraryPaths().join(QLatin1Char(':')));
}

QStringList backupCopies(const QString &folder)
{
    const QDir dir(folder);
    QStringList copies;
    for (const QString &name : dir.entryList({QStringLiteral("*.sdb.bak")}, QDir::Files, QDir::Time))
        copies << dir.filePath(name);
    return copies;
}

void clearBackupCopies(const QString &folder)
{
    for (const QString &file : backupCopies(folder))
        QFile::remove(file);
}

QString checkNewBackupCopy(const QString &folder, int chapters)
{
    const QStringList copies = backupCopies(folder);
    if (copies.size() != 1)
        return QStringLiteral("%1 backup copies in %2 where one was made").arg(copies.size()).arg(folder);
    const QString connection = QStringLiteral("bench-backup-check");
    QString why;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("SQLITECIPHER"), connection);
        db.setDatabaseName(copies.first());
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        QSqlQuery q(db);
        if (!db.open())
            why = QStringLiteral("the backup copy does not open: ") + db.lastError().text();
        else if (!q.exec(QStringLiteral("PRAGMA quick_check")) || !q.next() || q.value(0).toString() != "ok")
            why = QStringLiteral("the backup copy fails quick_check: ") + q.value(0).toString() + q.lastError().text();
        else if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM BookTree WHERE NodeType=3 AND Flag<>'D'")) || !q.next() ||
                 q.value(0).toInt() != chapters)
            why = QStringLiteral("the backup copy holds %1 chapters, not %2").arg(q.value(0).toInt()).arg(chapters);
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return why;
}


void useProfileRoot(const QString &root)
{
    const QByteArray r = QFile::encodeName(root);
    qputenv("HOME", r);
    qputenv("XDG_DATA_HOME", r + "/data");
    qputenv("XDG_CONFIG_HOME", r + "/config");
    qputenv("XDG_CACHE_HOME", r + "/cache");
}

QString profileDataPath(const QString &root) { return root + QStringLiteral("/data/inkboathq/Inkboat/"); }

bool dropPageCache()
{
    ::sync();
    QFile f(QStringLiteral("/proc/sys/vm/drop_caches"));
    if (!f.open(QIODevice::WriteOnly))
        return false;
    return f.write("3\n") == 2 && f.flush();
}

BenchPrompter::BenchPrompter() : m_previous(g_App.prompter()) { g_App.setPrompter(this); }

BenchPrompter::~BenchPrompter()
{
    if (g_App.prompter() == this)
        g_App.setPrompter(m_previous);
}

int BenchPrompter::showMessage(int kind, const QString &text, int, const QString &)
{
    if (kind == Ink::mkQuestion)
        return answer;
    qWarning("%s", qPrintable(text));
    return Ink::maOk;
}

void BenchPrompter::applySkin(const QString &name)
{
    if (m_previous)
        m_previous->applySkin(name);
}

void BenchPrompter::applyUiFont(const QString &family, int pointSize)
{
    if (m_previous)
        m_previous->applyUiFont(family, pointSize);
}

void typeOneStep(QObject *editor, int step)
{
    if (step % 2) {
        QInputMethodEvent ime;
        ime.setCommitString(QStringLiteral("春风"));
        QCoreApplication::sendEvent(editor, &ime);
    } else {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QStringLiteral("字"));
        QCoreApplication::sendEvent(editor, &press);
    }
    QCoreApplication::processEvents();
}
