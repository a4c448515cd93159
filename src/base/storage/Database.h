#pragma once

#include "core/Constants.h"

#include <QString>
#include <QStringList>

// The files of the data folder and the connection that joins them (main, M, S, A, L, MM).

QString sqlDriverName(); // "SQLITECIPHER"
QString mainDbFileName();
QString tableName(Ink::TableType type);
QString dbFileName(Ink::TableType type);
// Column list of MaterialTree and of the three library tree tables, as in their create statements.
QString materialColumns();

// Sets name, key and cipher option of the connection (dbConnection()) and opens it; false with the reason in *error and
// SQLite's result code in *code.
bool openDatabase(const QString &fileName, const QString &key, QString *error = nullptr, int *code = nullptr);
// Creates a database file (enciphered when key is not empty) by opening and closing it.
bool createDatabaseFile(const QString &fileName, const QString &key, QString *error = nullptr);

// "ATTACH DATABASE 'file:<path>?cipher=chacha20' AS <alias> key '<key>'", with the path
// percent-encoded for the URI and every literal quoted.
QString attachCipherStatement(const QString &path, const QString &alias, const QString &key);
QString attachPlainStatement(const QString &path, const QString &alias);

struct OpenedFiles {
    bool logWasMissing = false;
    // The damaged usage-log file, renamed aside by attachLibraries (a fresh one took its place).
    QString logSetAside;
    // Libraries created empty in this start (not yet written; an empty file is expected there).
    QStringList createdLibraries;
    // Why the main file could not be used, when openConnection returned false.
    enum MainFault { mfNone, mfDamaged, mfBusy, mfOther };
    MainFault mainFault = mfNone;
    QString mainError;
};

// Start-up steps of the database, in order. Each throws Exception on failure except
// openConnection, which reports "Can not open connection: …" and returns false. While backups
// exist, a main file that is empty or lacks the program's tables counts as damaged (mfDamaged),
// never as a new profile.
bool openConnection(OpenedFiles *files, QString *error = nullptr);
// Puts a backup in place of the main file (connection closed). The damaged file, and a journal
// beside it, are renamed aside (*aside gets the new name), never deleted.
bool restoreMainFile(const QString &backup, QString *aside, QString *error);
// A library that is empty or cannot be read as one (not a database, wrong key) is replaced from
// the shipped copy when there is one, the damaged file renamed aside; else the attach error
// is thrown as before (an empty one stays and is used as an empty library). A usage-log file
// that is no database is renamed aside (files.logSetAside) and a new one made.
void attachLibraries(OpenedFiles &files);
void logSqliteVersion();
void createTables();
void migrateSchema();
// Indexes of the book tree; needs the migrated columns.
void createIndexes();
void seedLogVersion(const OpenedFiles &files);
// Index (TableType) of the first library whose version is below 3.0, or -1; *version gets it.
int checkLibraryVersions(double *version = nullptr);
// The statement that reads the highest version of a DbVersion table ("M.DbVersion", or
// "DbVersion" of a library opened alone): column 0 the version as stored, column 1 its number.
// Versions compare as numbers everywhere; as texts "10.0" would sort below "9.5".
QString highestVersionQuery(const QString &versionTable);
// A library's highest version as a number, 0 when it has none; *text gets it as stored ("0").
double libraryVersion(Ink::TableType type, QString *text = nullptr);
void optimizeConnection();
// Closes the connection (dbConnection()) and removes the connection.
void closeConnection();

// True when migrateSchema or repairTrees would change rows of the author's tables (reads only,
// through indexes). Needs the tables; the start-up copy is then taken before the change.
bool startupChangesPending();
// Repairs NULL parents, wrong levels and NULL sync marks of BookTree and MemoTree.
void repairTrees();
