#pragma once

#include <QRecursiveMutex>

// The process-wide lock around the one database connection. It is held for every statement,
// for the whole life of every open result and from begin to commit/rollback of a transaction,
// so a statement of one thread never lands inside another thread's transaction.
QRecursiveMutex &dbMutex();

class DbLocker
{
public:
    DbLocker() { dbMutex().lock(); }
    ~DbLocker() { dbMutex().unlock(); }
    Q_DISABLE_COPY(DbLocker)
};

// Transactions opened by the calling thread and not yet closed (each holds the lock once).
int openTransactionCount();
