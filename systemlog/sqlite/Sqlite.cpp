#include "sqlite/Sqlite.h"

#include "sqlite/MovedFileGuard.h"

#include <QFile>

#include <sqlite3.h>

namespace SystemLog::Sqlite {

Fault classify(int code)
{
    switch (code & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return Fault::None;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_PROTOCOL:
        return Fault::Busy;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return Fault::NotALog;
    case SQLITE_PERM:
    case SQLITE_NOMEM:
    case SQLITE_READONLY:
    case SQLITE_INTERRUPT:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_SCHEMA:
    case SQLITE_MISUSE:
    case SQLITE_NOLFS:
    case SQLITE_AUTH:
        return Fault::Unavailable;
    default:
        return Fault::RecordOnly;
    }
}

QString errorText(sqlite3 *db, int code)
{
    // The connection's message belongs to its last call; without one, the code's own text.
    if (db && (sqlite3_errcode(db) & 0xff) == (code & 0xff))
        return QString::fromUtf8(sqlite3_errmsg(db));
    return QString::fromUtf8(sqlite3_errstr(code));
}

QSqlError error(sqlite3 *db, int code, const QString &what)
{
    // The connection's extended code tells apart, say, a NOT NULL column from a UNIQUE one.
    int native = code;
    if (db && (sqlite3_extended_errcode(db) & 0xff) == (code & 0xff))
        native = sqlite3_extended_errcode(db);
    return QSqlError(what, errorText(db, code), QSqlError::TransactionError,
                     QString::number(native));
}

int extendedCodeOf(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? code : -1;
}

bool refusedByTable(int extendedCode)
{
    switch (extendedCode) {
    case SQLITE_CONSTRAINT_NOTNULL:    // a column of another program that nobody fills
    case SQLITE_CONSTRAINT_TRIGGER:    // a trigger that aborts inserts
    case SQLITE_CONSTRAINT_CHECK:      // a check of another program
    case SQLITE_CONSTRAINT_FOREIGNKEY: // a reference to another table
        return true;
    default:
        return (extendedCode & 0xff) == SQLITE_READONLY;
    }
}

QSqlError movedError(const QString &path)
{
    return QSqlError(QString(),
                     QStringLiteral("%1 was removed or replaced while it was open").arg(path),
                     QSqlError::ConnectionError);
}

int codeOf(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? code & 0xff : -1;
}

bool hasMoved(sqlite3 *db)
{
    int moved = 0;
    return db && sqlite3_file_control(db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK &&
           moved != 0;
}

void setBusyTimeout(sqlite3 *db, int ms)
{
    if (db)
        sqlite3_busy_timeout(db, ms);
}

Connection::~Connection()
{
    close();
}

int Connection::open(const QString &path, int flags, int busyTimeoutMs, QString *error)
{
    close();
    guardMovedFiles();
    const QByteArray native = QFile::encodeName(path);
    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(native.constData(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        if (error)
            *error = errorText(db, rc);
        sqlite3_close_v2(db);
        return rc;
    }
    m_db = db;
    sqlite3_busy_timeout(m_db, busyTimeoutMs);
    return rc;
}

void Connection::close()
{
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

Statement::Statement(sqlite3 *db, std::string_view sql)
{
    m_rc = db ? sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &m_stmt, nullptr)
              : SQLITE_MISUSE;
}

Statement::~Statement()
{
    sqlite3_finalize(m_stmt);
}

Statement &Statement::bind(int at, qint64 number)
{
    if (m_rc == SQLITE_OK)
        m_rc = sqlite3_bind_int64(m_stmt, at, number);
    return *this;
}

Statement &Statement::bind(int at, std::string_view utf8)
{
    if (m_rc == SQLITE_OK)
        // An empty view may have no data at all, which SQLite would take for NULL.
        m_rc = sqlite3_bind_text(m_stmt, at, utf8.data() ? utf8.data() : "",
                                 static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement &Statement::bindUnowned(int at, std::string_view utf8)
{
    if (m_rc == SQLITE_OK)
        m_rc = sqlite3_bind_text(m_stmt, at, utf8.data() ? utf8.data() : "",
                                 static_cast<int>(utf8.size()), SQLITE_STATIC);
    return *this;
}

Statement &Statement::bind(int at, const QString &text)
{
    // As UTF-8: SQLite would take a leading U+FEFF or U+FFFE of UTF-16 text for a byte order
    // mark, dropping it and, for U+FFFE, reading the rest byte-swapped.
    const QByteArray utf8 = text.toUtf8();
    return bind(at, std::string_view(utf8.constData(), std::size_t(utf8.size())));
}

Statement &Statement::bind(int at, const sqlite3_value *value)
{
    if (m_rc == SQLITE_OK)
        m_rc = sqlite3_bind_value(m_stmt, at, value);
    return *this;
}

int Statement::step()
{
    return m_rc == SQLITE_OK ? sqlite3_step(m_stmt) : m_rc;
}

int Statement::run()
{
    int rc = step();
    while (rc == SQLITE_ROW)
        rc = sqlite3_step(m_stmt);
    return rc;
}

void Statement::reset()
{
    if (!m_stmt)
        return;
    sqlite3_reset(m_stmt);
    m_rc = SQLITE_OK;
}

bool Statement::isNull(int column) const
{
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

int Statement::type(int column) const
{
    return sqlite3_column_type(m_stmt, column);
}

qint64 Statement::int64(int column) const
{
    return sqlite3_column_int64(m_stmt, column);
}

std::string_view Statement::text(int column) const
{
    const char *data = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
    const int size = sqlite3_column_bytes(m_stmt, column);
    return data ? std::string_view(data, static_cast<size_t>(size)) : std::string_view();
}

std::string_view Statement::blob(int column) const
{
    const char *data = static_cast<const char *>(sqlite3_column_blob(m_stmt, column));
    const int size = sqlite3_column_bytes(m_stmt, column);
    return data ? std::string_view(data, static_cast<size_t>(size)) : std::string_view();
}

sqlite3_value *Statement::value(int column) const
{
    return sqlite3_column_value(m_stmt, column);
}

int exec(sqlite3 *db, std::string_view sql)
{
    return Statement(db, sql).run();
}

int readNumber(sqlite3 *db, std::string_view sql, qint64 *value, bool *isNull)
{
    Statement statement(db, sql);
    const int rc = statement.step();
    if (rc == SQLITE_ROW) {
        *value = statement.int64(0);
        if (isNull)
            *isNull = statement.isNull(0);
    }
    return rc;
}

Transaction::Transaction(sqlite3 *db)
    : m_db(db), m_rc(exec(db, "BEGIN IMMEDIATE")), m_open(m_rc == SQLITE_DONE)
{
    if (m_open)
        m_rc = SQLITE_OK;
}

Transaction::~Transaction()
{
    rollback();
}

int Transaction::commit()
{
    if (!m_open)
        return SQLITE_MISUSE;
    const int rc = exec(m_db, "COMMIT");
    // In a rollback journal mode a commit is done once its journal is removed. When only the sync
    // of the directory after that removal fails, the rows are in the file: a caller that took
    // the failure for a rollback and wrote them again would store them twice.
    if (rc == SQLITE_DONE || sqlite3_extended_errcode(m_db) == SQLITE_IOERR_DIR_FSYNC) {
        m_open = false;
        return SQLITE_OK;
    }
    return rc;
}

void Transaction::rollback()
{
    if (m_open)
        exec(m_db, "ROLLBACK");
    m_open = false;
}

} // namespace SystemLog::Sqlite
