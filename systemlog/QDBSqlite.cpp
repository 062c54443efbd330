#include "QDBSqlite.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <sqlite3.h>

#include <cstdio>

namespace SystemLog {

namespace {

// The table as it has always been stored; kept character for character.
const QString kSchemaStatement = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS SystemInfo(\t\t\t\t\t\t"
    "id INTEGER  PRIMARY KEY AUTOINCREMENT UNIQUE \t\t\t\t\t\t"
    ", datetime DATETIME NOT NULL DEFAULT (datetime(CURRENT_TIMESTAMP,'localtime'))  \t\t\t\t\t\t"
    ", type INT(32) \t\t\t\t\t\t"
    ", message TEXT)");

// Lets the listings by category and time use an index instead of scanning every record.
const QString kIndexStatement = QStringLiteral(
    "CREATE INDEX IF NOT EXISTS SystemInfo_type_datetime ON SystemInfo(type, datetime)");

const QString kInsertStatement =
    QStringLiteral("INSERT INTO SystemInfo(type ,message) VALUES(?, ?)");

const QString kSelectStatement =
    QStringLiteral("select datetime,message from SystemInfo where datetime >= ? and datetime <= ? "
                   "and type = ? order by id");

// A read and a write on the file wait this long for each other before giving up.
const QString kConnectOptions = QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000");

// SQLite result codes that concern the file or the connection rather than one record: an
// insert failing with one of these fails the whole transaction, which is then retried.
bool isStoreWideFailure(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok) & 0xff;
    if (!ok)
        return true;
    switch (code) {
    case 5:  // SQLITE_BUSY
    case 6:  // SQLITE_LOCKED
    case 7:  // SQLITE_NOMEM
    case 8:  // SQLITE_READONLY
    case 9:  // SQLITE_INTERRUPT
    case 10: // SQLITE_IOERR
    case 11: // SQLITE_CORRUPT
    case 13: // SQLITE_FULL
    case 14: // SQLITE_CANTOPEN
    case 15: // SQLITE_PROTOCOL
    case 17: // SQLITE_SCHEMA
    case 21: // SQLITE_MISUSE
    case 22: // SQLITE_NOLFS
    case 23: // SQLITE_AUTH
    case 26: // SQLITE_NOTADB
        return true;
    default:
        return false;
    }
}

void setError(QSqlError *target, const QSqlError &error)
{
    if (target)
        *target = error;
}

void report(const char *what, const QSqlError &error)
{
    std::fprintf(stderr, "SystemLog: %s: %s\n", what, qUtf8Printable(error.text()));
}

QSqlError makeError(const QString &text, QSqlError::ErrorType type)
{
    return QSqlError(QString(), text, type);
}

} // namespace

QDBSqlite::QDBSqlite(const QString &databaseName, const QString &userName, const QString &password)
    : QSqlDatabase(QStringLiteral("QSQLITE"))
{
    setDatabaseName(databaseName);
    if (!userName.isEmpty()) {
        setUserName(userName);
        setPassword(password);
    }
    setConnectOptions(kConnectOptions);
    // The first handle() registers the handle's type with Qt's type registry. Doing it here, in
    // the thread that creates the connection, puts it before the writer thread and any query
    // thread start, instead of racing (as far as ThreadSanitizer can tell) between them.
    if (driver())
        driver()->handle();
}

QDBSqlite::~QDBSqlite() = default;

bool QDBSqlite::openExisting(QSqlError *error)
{
    if (isOpen())
        return true;
    if (!isValid()) {
        const QSqlError e =
            makeError(QStringLiteral("the Qt SQLite driver (QSQLITE) is not available"),
                      QSqlError::ConnectionError);
        report("cannot open the log database", e);
        setError(error, e);
        return false;
    }
    if (!open()) {
        const QSqlError e = lastError();
        report("cannot open the log database", e);
        setError(error, e);
        return false;
    }
    return true;
}

bool QDBSqlite::createTable(QSqlError *error)
{
    if (!isOpen()) {
        // SQLite takes an empty file for an empty database and would write its schema into it.
        // A file that is there but empty is not a log this program wrote: leave it alone.
        const QFileInfo file(databaseName());
        if (file.exists() && file.isFile() && file.size() == 0) {
            const QSqlError e = makeError(
                QStringLiteral("%1 is an empty file, not a log database").arg(databaseName()),
                QSqlError::ConnectionError);
            report("cannot use the log database", e);
            setError(error, e);
            return false;
        }
        if (file.exists() && !file.isFile()) {
            const QSqlError e =
                makeError(QStringLiteral("%1 is not a regular file").arg(databaseName()),
                          QSqlError::ConnectionError);
            report("cannot use the log database", e);
            setError(error, e);
            return false;
        }
        if (!openExisting(error))
            return false;
    }
    QSqlQuery query(*this);
    if (!query.exec(kSchemaStatement)) {
        report("cannot create the table SystemInfo", query.lastError());
        setError(error, query.lastError());
        return false;
    }
    // Without the index every query scans the whole table, but records can still be stored
    // and listed (a read-only file that predates the index, for example).
    if (!query.exec(kIndexStatement))
        report("cannot create the index on SystemInfo", query.lastError());
    setError(error, QSqlError());
    return true;
}

bool QDBSqlite::insertLog(int type, const QString &message, QSqlError *error)
{
    if (!isOpen()) {
        setError(error, makeError(QStringLiteral("the log database is not open"),
                                  QSqlError::ConnectionError));
        return false;
    }
    QSqlQuery query(*this);
    if (!query.prepare(kInsertStatement)) {
        setError(error, query.lastError());
        return false;
    }
    query.addBindValue(type);
    query.addBindValue(message);
    if (!query.exec()) {
        setError(error, query.lastError());
        return false;
    }
    setError(error, QSqlError());
    return true;
}

namespace {

// The batch loop runs on SQLite's own interface, through the handle of this connection: the
// toolkit's per-statement bookkeeping would cost more than the insert itself.
sqlite3 *sqliteHandle(const QSqlDatabase &db)
{
    if (!db.driver())
        return nullptr;
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}

QSqlError sqliteError(sqlite3 *handle, int code, const QString &what)
{
    return QSqlError(what, QString::fromUtf8(sqlite3_errmsg(handle)), QSqlError::TransactionError,
                     QString::number(code));
}

bool isStoreWideCode(int code)
{
    return isStoreWideFailure(
        QSqlError(QString(), QString(), QSqlError::UnknownError, QString::number(code)));
}

} // namespace

QDBSqlite::BatchResult QDBSqlite::insertBatch(std::list<LogQueueEntry>::const_iterator first,
                                              std::list<LogQueueEntry>::const_iterator last,
                                              int budgetMs)
{
    BatchResult result;
    if (first == last)
        return result;

    sqlite3 *handle = isOpen() ? sqliteHandle(*this) : nullptr;
    if (!handle) {
        result.failed = true;
        result.error =
            makeError(QStringLiteral("the log database is not open"), QSqlError::ConnectionError);
        return result;
    }

    int rc = sqlite3_exec(handle, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        result.failed = true;
        result.error = sqliteError(handle, rc, QStringLiteral("Unable to begin transaction"));
        return result;
    }

    const QByteArray insertText = kInsertStatement.toUtf8();
    sqlite3_stmt *insert = nullptr;
    rc = sqlite3_prepare_v2(handle, insertText.constData(), insertText.size(), &insert, nullptr);
    if (rc != SQLITE_OK) {
        result.failed = true;
        result.error = sqliteError(handle, rc, QStringLiteral("Unable to prepare the insert"));
        sqlite3_finalize(insert);
        sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
        return result;
    }

    QElapsedTimer clock;
    clock.start();
    int consumed = 0;
    for (auto it = first; it != last; ++it) {
        const QString &message = it->first;
        sqlite3_bind_int(insert, 1, it->second);
        sqlite3_bind_text16(insert, 2, message.utf16(), message.size() * int(sizeof(QChar)),
                            SQLITE_STATIC);
        rc = sqlite3_step(insert);
        sqlite3_reset(insert);
        if (rc == SQLITE_DONE) {
            ++result.stored;
        } else {
            const QSqlError e = sqliteError(handle, rc, QStringLiteral("Unable to store a record"));
            if (isStoreWideCode(rc)) {
                sqlite3_finalize(insert);
                sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
                result.stored = 0;
                result.rejected = 0;
                result.failed = true;
                result.error = e;
                return result;
            }
            if (!result.error.isValid())
                result.error = e;
            ++result.rejected;
        }
        ++consumed;
        // Check the clock every few records only; a time read costs about as much as an insert.
        if (budgetMs > 0 && (consumed & 63) == 0 && clock.elapsed() >= budgetMs)
            break;
    }
    sqlite3_finalize(insert);

    rc = sqlite3_exec(handle, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        const QSqlError e = sqliteError(handle, rc, QStringLiteral("Unable to commit"));
        sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
        result.stored = 0;
        result.rejected = 0;
        result.failed = true;
        result.error = e;
    }
    return result;
}

LogRowList QDBSqlite::selectLogs(QString startTime, QString endTime, int type, QSqlError *error)
{
    LogRowList rows;
    sqlite3 *handle = isOpen() ? sqliteHandle(*this) : nullptr;
    if (!handle) {
        QSqlError e = lastError();
        if (!e.isValid())
            e = makeError(QStringLiteral("the log database is not open"),
                          QSqlError::ConnectionError);
        setError(error, e);
        return rows;
    }

    // Read through SQLite's own interface: the rows come out as UTF-8 and are decoded once,
    // instead of being converted to UTF-16 by SQLite and copied again by the toolkit.
    const QByteArray selectText = kSelectStatement.toUtf8();
    const QByteArray start = startTime.toUtf8();
    const QByteArray end = endTime.toUtf8();
    sqlite3_stmt *select = nullptr;
    int rc =
        sqlite3_prepare_v2(handle, selectText.constData(), selectText.size(), &select, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_bind_text(select, 1, start.constData(), start.size(), SQLITE_STATIC);
        sqlite3_bind_text(select, 2, end.constData(), end.size(), SQLITE_STATIC);
        sqlite3_bind_int(select, 3, type);
        while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
            const char *stamp = reinterpret_cast<const char *>(sqlite3_column_text(select, 0));
            const int stampBytes = sqlite3_column_bytes(select, 0);
            const char *message = reinterpret_cast<const char *>(sqlite3_column_text(select, 1));
            const int messageBytes = sqlite3_column_bytes(select, 1);
            rows.append(LogRow(QString::fromUtf8(stamp, stampBytes),
                               QString::fromUtf8(message, messageBytes)));
        }
    }
    if (rc != SQLITE_DONE) {
        const QSqlError e(QStringLiteral("Unable to query the log"),
                          QString::fromUtf8(sqlite3_errmsg(handle)), QSqlError::StatementError,
                          QString::number(rc));
        sqlite3_finalize(select);
        report("query failed", e);
        setError(error, e);
        return LogRowList();
    }
    sqlite3_finalize(select);
    setError(error, QSqlError());
    return rows;
}

} // namespace SystemLog
