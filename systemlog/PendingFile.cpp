#include "PendingFile.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

namespace SystemLog {

namespace {

// Records moved per transaction: small enough that the log is never held for long.
constexpr int kMoveChunk = 2000;

QSqlError sqliteError(sqlite3 *handle, int code, const QString &what)
{
    return QSqlError(what, QString::fromUtf8(sqlite3_errmsg(handle)), QSqlError::TransactionError,
                     QString::number(code));
}

void setError(QSqlError *target, const QSqlError &error)
{
    if (target)
        *target = error;
}

// Runs one statement and, for a query, reads the first column of its first row.
int run(sqlite3 *handle, const QByteArray &sql, sqlite3_int64 *value = nullptr,
        bool *isNull = nullptr)
{
    sqlite3_stmt *statement = nullptr;
    int rc = sqlite3_prepare_v2(handle, sql.constData(), sql.size(), &statement, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(statement);
        return rc;
    }
    rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
        if (value)
            *value = sqlite3_column_int64(statement, 0);
        if (isNull)
            *isNull = sqlite3_column_type(statement, 0) == SQLITE_NULL;
        rc = SQLITE_DONE;
    }
    sqlite3_finalize(statement);
    return rc;
}

void closeConnection(std::unique_ptr<QDBSqlite> &db)
{
    if (db)
        db->close();
    db.reset();
}

} // namespace

PendingFile::PendingFile(const QString &path) : m_path(path) {}

PendingFile::~PendingFile()
{
    closeConnection(m_appender);
}

bool PendingFile::exists() const
{
    return QFileInfo::exists(m_path);
}

bool PendingFile::append(std::list<LogQueueEntry>::const_iterator first,
                         std::list<LogQueueEntry>::const_iterator last, QSqlError *error)
{
    // A second try only when another process removed the file under the open connection.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!m_appender)
            m_appender = std::make_unique<QDBSqlite>(m_path, QString(), QString());
        if (m_appender->prepare(error) != QDBSqlite::Readiness::Ready) {
            closeConnection(m_appender);
            return false;
        }
        const QDBSqlite::BatchResult result = m_appender->insertBatch(first, last, 0);
        if (!result.failed && result.rejected == 0)
            return true;
        setError(error, result.error);
        closeConnection(m_appender);
        if (!result.moved)
            return false;
    }
    return false;
}

PendingFile::Move PendingFile::moveInto(QDBSqlite &log, int budgetMs, int *moved, QSqlError *error)
{
    *moved = 0;
    if (!exists())
        return Move::Done;
    // This process's own connection must not keep the file once it is removed.
    closeConnection(m_appender);

    sqlite3 *handle = log.nativeHandle();
    if (!handle) {
        setError(error, QSqlError(QString(), QStringLiteral("the log database is not open"),
                                  QSqlError::ConnectionError));
        return Move::Failed;
    }
    const QByteArray attach =
        "ATTACH DATABASE '" + QFile::encodeName(m_path).replace('\'', "''") + "' AS pending";
    int rc = run(handle, attach);
    if (rc != SQLITE_DONE) {
        setError(error, sqliteError(handle, rc, QStringLiteral("Unable to open the side file")));
        return Move::Failed;
    }

    Move outcome = Move::Done;
    sqlite3_int64 tables = 0;
    rc = run(handle,
             "SELECT count(*) FROM pending.sqlite_master WHERE type='table' AND "
             "name='SystemInfo'",
             &tables);
    QElapsedTimer clock;
    clock.start();
    while (rc == SQLITE_DONE && tables > 0) {
        rc = run(handle, "BEGIN IMMEDIATE");
        if (rc != SQLITE_DONE)
            break;
        if (QDBSqlite::hasMoved(handle)) {
            run(handle, "ROLLBACK");
            setError(error, QSqlError(QString(),
                                      QStringLiteral("%1 was removed or replaced while it was open")
                                          .arg(log.databaseName()),
                                      QSqlError::ConnectionError));
            run(handle, "DETACH DATABASE pending");
            return Move::Failed;
        }
        sqlite3_int64 upTo = 0;
        bool none = true;
        rc = run(handle,
                 "SELECT max(id) FROM (SELECT id FROM pending.SystemInfo ORDER BY id LIMIT " +
                     QByteArray::number(kMoveChunk) + ")",
                 &upTo, &none);
        if (rc == SQLITE_DONE && none) {
            run(handle, "ROLLBACK");
            break;
        }
        const QByteArray bound = QByteArray::number(upTo);
        if (rc == SQLITE_DONE)
            rc = run(handle, "INSERT INTO main.SystemInfo(datetime, type, message) SELECT "
                             "datetime, type, message FROM pending.SystemInfo WHERE id <= " +
                                 bound + " ORDER BY id");
        const int inserted = sqlite3_changes(handle);
        if (rc == SQLITE_DONE)
            rc = run(handle, "DELETE FROM pending.SystemInfo WHERE id <= " + bound);
        if (rc == SQLITE_DONE)
            rc = run(handle, "COMMIT");
        if (rc != SQLITE_DONE) {
            const QSqlError e = sqliteError(handle, rc, QStringLiteral("Unable to move records"));
            run(handle, "ROLLBACK");
            run(handle, "DETACH DATABASE pending");
            setError(error, e);
            return Move::Failed;
        }
        *moved += inserted;
        if (budgetMs > 0 && clock.elapsed() >= budgetMs) {
            outcome = Move::Partial;
            break;
        }
    }
    if (rc != SQLITE_DONE) {
        const QSqlError e = sqliteError(handle, rc, QStringLiteral("Unable to read the side file"));
        run(handle, "DETACH DATABASE pending");
        setError(error, e);
        return Move::Failed;
    }
    run(handle, "DETACH DATABASE pending");
    if (outcome == Move::Done)
        removeIfEmpty();
    return outcome;
}

void PendingFile::removeIfEmpty()
{
    // Under the file's write lock, so that no other process appends in between; an appender that
    // then finds the file gone writes into a new one (see append).
    sqlite3 *handle = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(m_path).constData(), &handle, SQLITE_OPEN_READWRITE,
                        nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(handle, 1000);
        if (run(handle, "BEGIN IMMEDIATE") == SQLITE_DONE) {
            sqlite3_int64 tables = 0;
            sqlite3_int64 records = 0;
            const bool read =
                !QDBSqlite::hasMoved(handle) &&
                run(handle, "SELECT count(*) FROM sqlite_master WHERE name='SystemInfo'",
                    &tables) == SQLITE_DONE &&
                (tables == 0 ||
                 run(handle, "SELECT EXISTS(SELECT 1 FROM SystemInfo)", &records) == SQLITE_DONE);
            if (read && records == 0)
                QFile::remove(m_path);
            run(handle, "ROLLBACK");
        }
    }
    sqlite3_close(handle);
}

} // namespace SystemLog
