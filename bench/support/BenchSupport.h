#pragma once

#include "app/App.h"
#include "app/Prompter.h"

#include <QByteArray>
#include <QEvent>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// Every benchmark prints "name: value unit (target: …) [remarks] PASS|FAIL". A figure counts only
// when the work it timed was seen to happen: each run is checked, and a measurement with a failed
// run, or one that could not be taken at all, is a FAIL that says why. A time of work that did not
// happen would pass any target.

// What a figure must meet: the text shown and the test.
struct Target {
    QString text;
    std::function<bool(double)> meets;
};
// "< limit unit", optionally followed by a remark ("< 1 s, without VACUUM").
Target below(double limit, const QString &unit, const QString &remark = QString());
// "<= limit unit"
Target atMost(double limit, const QString &unit = QString());

// The runs of one measurement: the figure of every run whose work happened and the reason of
// every run whose work did not, in run order (pairs of two Runs line up by index).
class Runs
{
public:
    void add(double value);
    void fail(const QString &why);
    // add(value) when why is empty, else fail(why); returns whether the run counted.
    bool add(double value, const QString &why);

    int size() const { return m_values.size(); }
    int counted() const { return m_values.size() - m_failed; }
    bool ok() const { return !m_values.isEmpty() && m_failed == 0; }
    // The first reason with the run it came from, and how many runs failed; empty when ok().
    QString failure() const;
    bool failedAt(int run) const { return !m_reasons.at(run).isEmpty(); }
    QString reasonAt(int run) const { return m_reasons.at(run); }
    double valueAt(int run) const { return m_values.at(run); }
    // Over the runs that counted.
    double median() const;
    double min() const;
    double max() const;
    // The same runs in another unit (ms to s: 1e-3).
    Runs scaled(double factor) const;

private:
    QVector<double> m_values; // NaN for a failed run
    QStringList m_reasons;    // empty for a run that counted
    int m_failed = 0;
};

// Runs count times: prepare (not timed), act (timed, in ms), check (not timed), which returns why
// the work did not happen or an empty text. An exception from any of them fails that run.
Runs timeRuns(int count, const std::function<void()> &act, const std::function<QString()> &check = nullptr,
              const std::function<void()> &prepare = nullptr);

// Ratios are taken from pairs run alternately, A B A B …, never from one pair: one pair swings
// widely on a loaded machine.
constexpr int kMinPairs = 5;
// numerator[i] / denominator[i] for every pair; a pair with a failed side fails, and so does
// the whole when there are fewer than kMinPairs pairs.
Runs pairRatios(const Runs &numerator, const Runs &denominator);

// The median of runs against the target, with the number of runs and their range.
bool benchReport(const QString &name, const Runs &runs, const QString &unit, const Target &target);
// A single figure; a non-empty why says its work did not happen and makes it a FAIL.
bool benchReport(const QString &name, double value, const QString &unit, const Target &target,
                 const QString &why = QString());
// A measurement that could not be taken at all; returns the exit code, now 1.
int benchFail(const QString &name, const QString &why);
// The same for every measurement of a benchmark that lacks what it needs to run.
int benchFailAll(const QStringList &names, const QString &why);
// A figure without a target. Its work is checked all the same: failed runs print a FAIL.
void benchNote(const QString &name, double value, const QString &unit, const QString &remark = QString());
void benchNote(const QString &name, const Runs &runs, const QString &unit, const QString &remark = QString());
// 1 when any line so far was a FAIL: the benchmark's exit code.
int benchExitCode();

// The SQL driver by name, looked up also in the build folder (plug-in folder sqldrivers/ beside
// bench/). Empty when found, else the reason.
QString missingSqlDriver(const QString &driver);

// Backup copies (*.sdb.bak) in folder, newest first.
QStringList backupCopies(const QString &folder);
// Removes them, so that a copy found later was written by the run in between.
void clearBackupCopies(const QString &folder);
// Why the folder does not hold exactly one backup copy that opens, passes quick_check and holds
// `chapters` live chapters; empty when it does. Needs the program's SQL driver.
QString checkNewBackupCopy(const QString &folder, int chapters);

// Counts paints of the widget it filters, so a timed key press or refill is known to include
// the repaint.
class PaintCounter : public QObject
{
public:
    int paints = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// Stands in for the user while it lives: every question is answered yes and every message goes
// to the warnings, so timed work never waits for a click.
class BenchPrompter final : public Prompter
{
public:
    BenchPrompter();
    ~BenchPrompter() override;
    BenchPrompter(const BenchPrompter &) = delete;
    BenchPrompter &operator=(const BenchPrompter &) = delete;

    // What every question is answered (Ink::MessageAnswer).
    int answer = Ink::maYes;

    int showMessage(int kind, const QString &text, int buttons, const QString &title) override;
    bool chooseDirectory(const QString &, QString &) override { return false; }
    void applySkin(const QString &name) override;
    void applyUiFont(const QString &family, int pointSize) override;

private:
    Prompter *m_previous;
};

// Points HOME and the XDG folders at root so that the program's data folder is
// root/data/inkboathq/Inkboat/. Never the real profile.
void useProfileRoot(const QString &root);
QString profileDataPath(const QString &root);

// Writes dirty pages out and asks the kernel to drop its page cache; false when not allowed.
bool dropPageCache();

// One step of typing into a text editor: a key press of "字" on even steps, an input-method
// commit of "春风" on odd ones, then the events it posts (update requests: paint and flush).
void typeOneStep(QObject *editor, int step);
