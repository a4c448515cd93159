#pragma once

#include <QFuture>
#include <QString>

namespace AsyncHelper {

// Counts one use of an action for today on a pool thread; the caller never waits for the
// database. The future is for tests and shutdown.
QFuture<void> saveActionLog(const QString &actionName);
// The same, on the calling thread.
void saveActionLogNow(const QString &actionName);

} // namespace AsyncHelper
