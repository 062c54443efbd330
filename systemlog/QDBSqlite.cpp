#include "QDBSqlite.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <sqlite3.h>

#include <cstdio>
#include <ctime>

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

// A queued record carries the moment it was logged, which may lie well before the moment it is
// stored (the file was busy, say): the batch writes the stamp itself.
const QString kStampedInsertStatement =
    QStringLiteral("INSERT INTO SystemInfo(datetime, type ,message) VALUES(?, ?, ?)");

const QString kSelectStatement =
    QStringLiteral("select datetime,message from SystemInfo where datetime >= ? and datetime <= ? "
                   "and type = ? order by id");

// A read and a write on the file wait this long for each other before giving up.
const QString kConnectOptions = QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000");

} // namespace

// SQLite result codes that concern the file or the connection rather than one record: an
// insert failing with one of these fails the whole transaction, which is then retried.
bool QDBSqlite::isStoreWide(const QSqlError &error)
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

namespace {

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

namespace {

bool openConnection(QSqlDatabase &db, QSqlError *error)
{
    if (db.isOpen())
        return true;
    if (!db.isValid()) {
        setError(error, makeError(QStringLiteral("the Qt SQLite driver (QSQLITE) is not available"),
                                  QSqlError::ConnectionError));
        return false;
    }
    if (!db.open()) {
        setError(error, db.lastError());
        return false;
    }
    return true;
}

} // namespace

bool QDBSqlite::openExisting(QSqlError *error)
{
    QSqlError e;
    if (openConnection(*this, &e))
        return true;
    report("cannot open the log database", e);
    setError(error, e);
    return false;
}

QDBSqlite::Readiness QDBSqlite::prepare(QSqlError *error)
{
    // Quiet: a caller that retries decides when a failure is worth reporting.
    const auto notReady = [&](const QSqlError &e) {
        setError(error, e);
        return meansNotALog(e) ? Readiness::NotALog : Readiness::Unavailable;
    };
    if (!isOpen()) {
        const QFileInfo file(databaseName());
        if (file.exists() && !file.isFile()) {
            setError(error,
                     makeError(QStringLiteral("%1 is not a regular file").arg(databaseName()),
                               QSqlError::ConnectionError));
            return Readiness::NotALog;
        }
        if (!openConnection(*this, error))
            return Readiness::Unavailable;
    }
    // An empty file is what a first start that failed (a full disk, say) leaves behind: SQLite
    // takes it for an empty database, and the statements below make it a new log.
    QSqlQuery query(*this);
    if (!query.exec(kSchemaStatement))
        return notReady(query.lastError());
    if (!query.exec(QStringLiteral("PRAGMA table_info(SystemInfo)")))
        return notReady(query.lastError());
    QStringList columns;
    while (query.next())
        columns << query.value(1).toString().toLower();
    query.finish();
    for (const char *column : {"id", "datetime", "type", "message"}) {
        if (!columns.contains(QLatin1String(column))) {
            setError(error,
                     makeError(QStringLiteral("%1 holds a table SystemInfo without the column "
                                              "%2: not a log")
                                   .arg(databaseName(), QLatin1String(column)),
                               QSqlError::StatementError));
            return Readiness::NotALog;
        }
    }
    // Without the index every query scans the whole table, but records can still be stored
    // and listed (a read-only file that predates the index, for example). Another program
    // holding the file is worth waiting for, though: the index is tried again then.
    if (!query.exec(kIndexStatement) && isBusy(query.lastError()))
        return notReady(query.lastError());
    setError(error, QSqlError());
    return Readiness::Ready;
}

bool QDBSqlite::createTable(QSqlError *error)
{
    return prepare(error) == Readiness::Ready;
}

namespace {

int primaryCode(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? code & 0xff : -1;
}

} // namespace

bool QDBSqlite::meansNotALog(const QSqlError &error)
{
    switch (primaryCode(error)) {
    case 11: // SQLITE_CORRUPT
    case 26: // SQLITE_NOTADB
        return true;
    default:
        return false;
    }
}

bool QDBSqlite::isBusy(const QSqlError &error)
{
    const int code = primaryCode(error);
    return code == 5 || code == 6; // SQLITE_BUSY, SQLITE_LOCKED
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
    return QDBSqlite::isStoreWide(
        QSqlError(QString(), QString(), QSqlError::UnknownError, QString::number(code)));
}

} // namespace

QByteArray localStampText(qint64 secs)
{
    // The text changes once a second: a record logged in the same second shares it. A change of
    // the zone shows from the next second on.
    thread_local qint64 lastSecs = 0;
    thread_local QByteArray lastText;
    if (secs != lastSecs || lastText.isEmpty()) {
        const std::time_t t = static_cast<std::time_t>(secs);
        std::tm local{};
        char text[32];
        tzset();
        if (localtime_r(&t, &local) &&
            std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 19)
            lastText = QByteArray(text, 19);
        else
            lastText = QByteArrayLiteral("1970-01-01 00:00:00");
        lastSecs = secs;
    }
    return lastText;
}

sqlite3 *QDBSqlite::nativeHandle() const
{
    return isOpen() ? sqliteHandle(*this) : nullptr;
}

bool QDBSqlite::hasMoved(sqlite3 *handle)
{
    int moved = 0;
    return sqlite3_file_control(handle, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK &&
           moved != 0;
}

void QDBSqlite::setBusyTimeout(int ms)
{
    if (sqlite3 *handle = nativeHandle())
        sqlite3_busy_timeout(handle, ms);
}

QDBSqlite::BatchResult QDBSqlite::insertBatch(std::list<LogQueueEntry>::const_iterator first,
                                              std::list<LogQueueEntry>::const_iterator last,
                                              int budgetMs)
{
    BatchResult result;
    if (first == last)
        return result;

    sqlite3 *handle = nativeHandle();
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
    // Records written into a file that was deleted or replaced since it was opened would be
    // gone with it. Checked under the write lock, so that nobody removes it in between.
    if (hasMoved(handle)) {
        sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
        result.failed = true;
        result.moved = true;
        result.error = makeError(
            QStringLiteral("%1 was removed or replaced while it was open").arg(databaseName()),
            QSqlError::ConnectionError);
        return result;
    }

    const QByteArray insertText = kStampedInsertStatement.toUtf8();
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
        // The texts live in the queued record until the step is done.
        const QString &message = it->message;
        rc = sqlite3_bind_text(insert, 1, it->stamp.constData(), it->stamp.size(), SQLITE_STATIC);
        if (rc == SQLITE_OK)
            rc = sqlite3_bind_int(insert, 2, it->type);
        if (rc == SQLITE_OK)
            rc = sqlite3_bind_text16(insert, 3, message.utf16(),
                                     message.size() * int(sizeof(QChar)), SQLITE_STATIC);
        // A value SQLite cannot take (a message beyond its length limit) fails its bind: that
        // record alone is refused, never stored with a NULL in its place.
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(insert);
            sqlite3_reset(insert);
        } else {
            sqlite3_clear_bindings(insert);
        }
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
    sqlite3 *handle = nativeHandle();
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
