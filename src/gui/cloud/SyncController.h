#pragma once

#include <QObject>
#include <QPointer>

#include <functional>

class QStatusBar;
class QWidget;

// The sync entries of the main window: the manual sync, the start-up sync and the upload at
// exit. It also supplies the transfers' progress dialog.
class SyncController final : public QObject
{
    Q_OBJECT
public:
    // reloadTrees reloads the book and user-material trees after rows came in.
    SyncController(QWidget *window, QStatusBar *statusBar, std::function<void()> reloadTrees,
                   QObject *parent = nullptr);
    ~SyncController() override;

    void manualSync();
    // At close, after the chapter was settled: offers to upload waiting rows.
    void uploadAtExit(bool documentModified);
    // The status texts of the automatic routines stay this long.
    static constexpr int kStatusMs = 10000;

signals:
    void busyChanged();

private:
    void showStatus(const QString &text);

    QPointer<QWidget> m_window;
    QPointer<QStatusBar> m_statusBar;
    std::function<void()> m_reloadTrees;
};
