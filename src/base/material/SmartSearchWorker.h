#pragma once

#include "material/SmartLibrary.h"
#include "material/SmartSearchState.h"

#include <QObject>
#include <QString>

#include <functional>

// Searches the libraries for what the author types, on a thread of its own: once the author
// has paused for the configured delay after new strings, one search per pair of strings.
class SmartSearchThreadWorker final : public QObject
{
    Q_OBJECT
public:
    // Reads the libraries; asked whether to give up between chunks. Null when it gave up.
    using Loader = std::function<material::LibrariesPtr(const std::function<bool()> &interrupted)>;
    static constexpr int kRetryLoadMs = 30000;

    explicit SmartSearchThreadWorker(material::SmartSearchState *state, QObject *parent = nullptr);

    void setLoader(Loader loader) { m_loader = std::move(loader); }
    material::LibrariesPtr libraries() const { return m_libraries; }

    // One pass of the loop: a pending reset, then a requested sentence search, else a search if
    // the gate lets one through. Returns the milliseconds the gate still waits (0 when it
    // searched, -1 when idle).
    qint64 runOnce();
    // The search of one pair, gate included; true when it searched.
    bool doSmartSearchWord(const QString &input, const QString &combo);

signals:
    void searchStringFinish(QString lastInputString, QString lastComboInputString, material::SmartResult result);
    void resetSearchString();
    // The sentences holding key, asked for by the author; empty when the libraries cannot be read.
    void sentencesFound(QString key, material::SmartResult result);

public slots:
    // Runs until the thread is asked to stop (wakebell::requestStop); sleeps while there is
    // nothing to search, without waking up until the editor reports something.
    void doSmartSearch();

private:
    bool ensureLibraries();
    void loadMaterialTexts();
    material::SmartGate gate() const;

    material::SmartSearchState *m_state;
    Loader m_loader;
    material::LibrariesPtr m_libraries;
    qint64 m_nextLoadAt = 0;
    bool m_loadFailed = false;
    QString m_lastInput;
    QString m_lastCombo;
};
