#pragma once

// The one way this library talks to SQLite's own interface: a connection, a prepared statement
// with typed binds, a transaction guard, the classification of result codes and the errors
// made from them. Internal to the library: installed headers never include it.

#include <QSqlError>
#include <QString>

#include <string_view>

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_value;

namespace SystemLog::Sqlite {

// How long a statement waits for another connection's lock on the log before it fails. A
// writer of another process holds the file for at most a few tens of milliseconds at a time.
constexpr int kBusyTimeoutMs = 5000;

// What the code does about a result code.
enum class Fault
{
    None,        // success (SQLITE_OK, SQLITE_ROW, SQLITE_DONE)
    Busy,        // another connection holds the file: worth waiting for, or trying again
    Unavailable, // the file or the connection as a whole fails for now (I/O, full, read-only...)
    NotALog,     // the file is no database, or a damaged one: never written
    RecordOnly,  // this statement or record alone (a constraint, a too big value, ...)
};
Fault classify(int code);

// SQLite's text for the last failure on the connection (or for the code, without one).
QString errorText(sqlite3 *db, int code);
// The failure as the store reports it: `what`, SQLite's text and the code as native code.
QSqlError error(sqlite3 *db, int code, const QString &what);
// The failure of a file that was removed or replaced under an open connection.
QSqlError movedError(const QString &path);
// The primary result code that a QSqlError made by error() (or by Qt's driver) carries, or -1.
int codeOf(const QSqlError &error);
// The extended result code that a QSqlError made by error() carries, or -1.
int extendedCodeOf(const QSqlError &error);
// Whether a failure with this extended code means that the log's table (or file) refuses every
// record for now, whatever it holds: a NOT NULL column or a check or trigger of another
// program, a read-only file. Such records wait; a record refused for itself (too big, a
// duplicate of a unique column) is not one of them.
bool refusedByTable(int extendedCode);

// Whether the file of the connection's main database was removed or replaced since it was
// opened (records written into it would be gone).
bool hasMoved(sqlite3 *db);
void setBusyTimeout(sqlite3 *db, int ms);

// An owned connection, closed on destruction. Never creates a file unless `flags` say so.
class Connection
{
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Opens `path` with SQLite's open flags and a busy timeout. On failure the connection stays
    // closed and *error (if given) says why.
    int open(const QString &path, int flags, int busyTimeoutMs, QString *error = nullptr);
    void close();
    sqlite3 *handle() const { return m_db; }

private:
    sqlite3 *m_db = nullptr;
};

// A prepared statement, finalized on every path. Texts are always copied by SQLite when bound,
// so a bound value may be a temporary.
class Statement
{
public:
    Statement(sqlite3 *db, std::string_view sql);
    ~Statement();
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    // The result of preparing, or of the first bind that failed.
    int rc() const { return m_rc; }
    bool ok() const { return m_rc == 0; }

    // Parameters count from 1, as in SQL ("?1").
    Statement &bind(int at, qint64 number);
    Statement &bind(int at, std::string_view utf8);
    Statement &bind(int at, const QString &text);
    Statement &bind(int at, const sqlite3_value *value);
    // Binds text without a copy: the caller keeps the bytes unchanged until the statement has
    // been stepped and reset (a large message is not copied once more for SQLite).
    Statement &bindUnowned(int at, std::string_view utf8);

    // SQLITE_ROW, SQLITE_DONE or a failure (also the failure of preparing or binding).
    int step();
    // Steps a statement that yields no rows or whose rows do not matter: SQLITE_DONE on success.
    int run();
    // Makes the statement ready to run again with new binds (a failed bind is forgotten).
    void reset();

    bool isNull(int column) const;
    int type(int column) const; // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB, ...
    qint64 int64(int column) const;
    std::string_view text(int column) const;
    std::string_view blob(int column) const;
    sqlite3_value *value(int column) const;
    sqlite3_stmt *get() const { return m_stmt; }

private:
    sqlite3_stmt *m_stmt = nullptr;
    int m_rc = 0;
};

// Runs one statement without parameters; SQLITE_DONE (also after rows) or the failure.
int exec(sqlite3 *db, std::string_view sql);
// Reads the first column of the first row of a statement without parameters as a number:
// SQLITE_ROW with *value set (*isNull for NULL), SQLITE_DONE without rows, or the failure.
int readNumber(sqlite3 *db, std::string_view sql, qint64 *value, bool *isNull = nullptr);

// A transaction that is rolled back unless it was committed.
class Transaction
{
public:
    // "BEGIN IMMEDIATE": waits (busy timeout) for another writer, then keeps other writers out.
    explicit Transaction(sqlite3 *db);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    int rc() const { return m_rc; } // SQLITE_OK once begun
    int commit();
    void rollback();

private:
    sqlite3 *m_db;
    int m_rc;
    bool m_open;
};

} // namespace SystemLog::Sqlite
