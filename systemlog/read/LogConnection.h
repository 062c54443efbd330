#pragma once

// A connection to an existing log file for the readers of other processes' logs (LogReader,
// LogPruner): opened without ever creating the file, checked to hold the log table, with the
// last failure kept as text. Used by one thread at a time. Internal to the library.

#include "sqlite/Sqlite.h"

#include <QString>

namespace SystemLog {

class LogConnection
{
public:
    bool open(const QString &path, bool writable);
    void close() { m_connection.close(); }
    sqlite3 *handle() const { return m_connection.handle(); }
    bool isOpen() const { return handle() != nullptr; }
    // The wait for another connection's lock, for the open connection and those opened later.
    void setBusyTimeout(int ms);

    QString errorString() const { return m_error; }
    bool lastErrorIsTransient() const { return m_transient; }
    // Whether the last failure was SQLite finding the file damaged (SQLITE_CORRUPT, SQLITE_NOTADB).
    bool lastErrorIsDamage() const { return m_damage; }
    // Whether the type column keeps only integers apart from texts, blobs, fractions and NULL
    // (INTEGER affinity), so that grouping by its value never joins two kinds of value.
    bool integerTypes() const { return m_integerTypes; }

    // Records a failure and returns false.
    bool fail(const QString &what);
    // Records SQLite's failure `code` of an action ("cannot read: database is locked").
    bool failCode(int code, const QString &what);
    bool failIfClosed();

private:
    bool checkIntegerIds();

    Sqlite::Connection m_connection;
    int m_busyTimeoutMs = Sqlite::kBusyTimeoutMs;
    QString m_error;
    bool m_transient = false;
    bool m_damage = false;
    bool m_integerTypes = false;
};

} // namespace SystemLog
