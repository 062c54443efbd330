#pragma once

// The log table: the statements that create it and its index, and the one check of whether an
// existing table can be used as the log. Internal to the library.

#include <QByteArray>
#include <QString>
#include <QVector>

struct sqlite3;

namespace SystemLog::LogSchema {

// The table as it has always been stored; kept character for character.
extern const char kCreateTable[];
// Lets the listings by category and time use an index instead of scanning every record.
extern const char kCreateIndex[];
// One row holding 1 when that index exists, 0 when not.
extern const char kIndexExists[];

// What the check found.
struct TableCheck
{
    int rc = 0;                // SQLITE_OK when the columns could be read, else SQLite's failure
    bool exists = false;       // there is a table SystemInfo
    QString missing;           // the first column of the log that the table lacks (empty: none)
    bool integerKey = false;   // id is the table's one primary key, declared INTEGER (the rowid)
    bool integerTypes = false; // the type column has INTEGER affinity: SQLite stores 3.0 and '3'
                               // as 3 there, so a value alone tells its kind apart
    bool takesRows = false;    // rows can be added without naming an id: neither a view nor a
                               // table WITHOUT ROWID, where every insert of a writer would fail

    bool isLog() const { return rc == 0 && exists && missing.isEmpty(); }
    // "no table SystemInfo", "SystemInfo has no column type" (for a table that is no log).
    QString problem() const;
};

// Checks the table SystemInfo of the attached database `schema` ("main", "pending", ...). Its
// columns are compared ignoring case, as SQLite resolves them.
TableCheck check(sqlite3 *db, const char *schema = "main");

} // namespace SystemLog::LogSchema
