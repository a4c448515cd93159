#pragma once

#include <QString>

#include <functional>

class QSqlError;

// Damage of the main file found while the program runs. Armed after the files were opened at
// start-up; the first damage report is logged and shown once (queued to the GUI thread, never
// inside a statement), and the backup at exit is skipped so that it cannot push good copies out.
void watchDatabaseDamage(bool armed);
// Who tells the author (set by the application; without one the damage is only logged). Set it
// before watching starts.
void setDamageReporter(std::function<void(const QString &)> reporter);
bool databaseDamageSeen();
void noteDatabaseDamage(const QString &detail);
// Called for every error the driver reports; reacts to SQLITE_CORRUPT only.
void noteDatabaseError(const QSqlError &error);
