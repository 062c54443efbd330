#include "PendingFile.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QUuid>

#include <sqlite3.h>

#include <cstdio>

namespace SystemLog {

namespace {

// Records moved per transaction: small enough that the log is never held for long.
constexpr int kChunk = 2000;
// Records appended per transaction: each commit waits for the disk, so that much smaller chunks
// could not keep up with a fast logger; their pages fit the appender's page cache, so that a
// transaction never needs the file's exclusive lock before its commit.
constexpr int kAppendChunk = 20000;
// How long one statement waits for another program's lock on the side file.
constexpr int kShortWaitMs = 200;

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

// One statement run to its end, with the first column of its first row.
struct Outcome
{
    int rc = SQLITE_OK;
    sqlite3_int64 value = 0;
    bool isNull = true;
    QByteArray text;
    bool ok() const { return rc == SQLITE_DONE; }
};

// Runs one statement; `bound`, when not null, is bound as text to its first parameter.
Outcome run(sqlite3 *handle, const QByteArray &sql, const QByteArray &bound = QByteArray())
{
    Outcome out;
    sqlite3_stmt *statement = nullptr;
    out.rc = sqlite3_prepare_v2(handle, sql.constData(), sql.size(), &statement, nullptr);
    if (out.rc == SQLITE_OK && !bound.isNull())
        out.rc = sqlite3_bind_text(statement, 1, bound.constData(), bound.size(), SQLITE_TRANSIENT);
    if (out.rc == SQLITE_OK) {
        out.rc = sqlite3_step(statement);
        if (out.rc == SQLITE_ROW) {
            out.isNull = sqlite3_column_type(statement, 0) == SQLITE_NULL;
            out.value = sqlite3_column_int64(statement, 0);
            out.text = QByteArray(reinterpret_cast<const char *>(sqlite3_column_text(statement, 0)),
                                  sqlite3_column_bytes(statement, 0));
            out.rc = SQLITE_DONE;
        }
    }
    sqlite3_finalize(statement);
    return out;
}

bool meansUnusable(int rc)
{
    rc &= 0xff;
    return rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT;
}

// Why the table SystemInfo of `schema` cannot hold records of the side file, or an empty text
// when it can (or is missing). The move selects records by id ranges, so id must be the integer
// key. *rc is set when the table cannot be read at all.
QString unusableTable(sqlite3 *handle, const QByteArray &schema, int *rc)
{
    sqlite3_stmt *statement = nullptr;
    const QByteArray sql = "PRAGMA " + schema + ".table_info(SystemInfo)";
    *rc = sqlite3_prepare_v2(handle, sql.constData(), sql.size(), &statement, nullptr);
    if (*rc != SQLITE_OK) {
        sqlite3_finalize(statement);
        return QString::fromUtf8(sqlite3_errmsg(handle));
    }
    QStringList columns;
    bool integerKey = false;
    int keys = 0;
    while ((*rc = sqlite3_step(statement)) == SQLITE_ROW) {
        const QString name =
            QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, 1)))
                .toLower();
        const QString type =
            QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, 2)));
        columns << name;
        if (sqlite3_column_int(statement, 5) > 0) {
            ++keys;
            integerKey = name == QLatin1String("id") &&
                         type.compare(QLatin1String("INTEGER"), Qt::CaseInsensitive) == 0;
        }
    }
    sqlite3_finalize(statement);
    if (*rc != SQLITE_DONE)
        return QString::fromUtf8(sqlite3_errmsg(handle));
    *rc = SQLITE_OK;
    if (columns.isEmpty())
        return QString();
    for (const char *column : {"id", "datetime", "type", "message"}) {
        if (!columns.contains(QLatin1String(column)))
            return QStringLiteral("its table SystemInfo has no column %1").arg(column);
    }
    if (keys != 1 || !integerKey)
        return QStringLiteral("the id of its table SystemInfo is not an integer primary key");
    return QString();
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

bool PendingFile::setAside(const QString &why)
{
    closeConnection(m_appender);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString target = QStringLiteral("%1.bad-%2").arg(m_path, stamp);
    for (int n = 2; QFileInfo::exists(target) || QFileInfo(target).isSymLink(); ++n)
        target = QStringLiteral("%1.bad-%2-%3").arg(m_path, stamp).arg(n);
    // A plain rename: the file may be a directory, and it is kept exactly as it was.
    if (std::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(target).constData()) !=
        0) {
        std::fprintf(stderr,
                     "SystemLog: %s is not a usable side file (%s) and cannot be set aside\n",
                     qUtf8Printable(m_path), qUtf8Printable(why));
        return false;
    }
    std::fprintf(stderr, "SystemLog: %s is not a usable side file (%s): set aside as %s\n",
                 qUtf8Printable(m_path), qUtf8Printable(why), qUtf8Printable(target));
    return true;
}

bool PendingFile::openAppender(QSqlError *error)
{
    // A second try only after a file that is no side file was set aside.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!m_appender) {
            if (QFileInfo(m_path).isDir()) {
                if (!setAside(QStringLiteral("a directory")))
                    break;
            }
            m_appender = std::make_unique<QDBSqlite>(m_path, QString(), QString());
            m_appender->setConnectOptions(
                QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kShortWaitMs));
        }
        // The table is checked before anything is written, so that a file set aside is kept
        // exactly as it was found.
        if (!m_appender->isOpen() && !m_appender->open()) {
            setError(error, m_appender->lastError());
            closeConnection(m_appender);
            return false;
        }
        int rc = SQLITE_OK;
        QString why = unusableTable(m_appender->nativeHandle(), "main", &rc);
        if (rc != SQLITE_OK && !meansUnusable(rc)) {
            setError(error, sqliteError(m_appender->nativeHandle(), rc,
                                        QStringLiteral("Unable to read the side file")));
            closeConnection(m_appender);
            return false;
        }
        if (why.isEmpty()) {
            QSqlError e;
            const QDBSqlite::Readiness readiness = m_appender->prepare(&e);
            if (readiness == QDBSqlite::Readiness::Ready) {
                // About 8 MiB: a chunk of records with their index entries.
                run(m_appender->nativeHandle(), "PRAGMA cache_size=-8192");
                return true;
            }
            if (readiness != QDBSqlite::Readiness::NotALog) {
                setError(error, e);
                closeConnection(m_appender);
                return false;
            }
            why = e.text();
        }
        setError(error, QSqlError(QString(), why, QSqlError::ConnectionError));
        if (!setAside(why))
            break;
    }
    closeConnection(m_appender);
    return false;
}

int PendingFile::append(std::list<LogQueueEntry>::const_iterator first,
                        std::list<LogQueueEntry>::const_iterator last, int *stored,
                        QSqlError *error)
{
    *stored = 0;
    auto chunkEnd = first;
    for (int n = 0; n < kAppendChunk && chunkEnd != last; ++n)
        ++chunkEnd;
    // A second try only when another process removed the file under the open connection.
    for (int attempt = 0; attempt < 2 && first != chunkEnd; ++attempt) {
        if (!openAppender(error))
            return 0;
        // Without a time budget the batch takes the whole chunk or nothing.
        const QDBSqlite::BatchResult result = m_appender->insertBatch(first, chunkEnd, 0);
        if (!result.failed) {
            if (result.rejected > 0)
                setError(error, result.error);
            *stored = result.stored;
            return result.stored + result.rejected;
        }
        setError(error, result.error);
        closeConnection(m_appender);
        if (!result.moved)
            break;
    }
    return 0;
}

PendingFile::Move PendingFile::moveInto(QDBSqlite &log, int budgetMs, int *moved, QSqlError *error)
{
    *moved = 0;
    if (!exists())
        return Move::Done;
    // This process's own connection must not keep the file once it is removed.
    closeConnection(m_appender);
    if (!QFileInfo(m_path).isFile())
        return setAside(QStringLiteral("not a regular file")) ? Move::Done : Move::Failed;

    sqlite3 *handle = log.nativeHandle();
    if (!handle) {
        setError(error, QSqlError(QString(), QStringLiteral("the log database is not open"),
                                  QSqlError::ConnectionError));
        return Move::Failed;
    }
    const QByteArray attach =
        "ATTACH DATABASE '" + QFile::encodeName(m_path).replace('\'', "''") + "' AS pending";
    const Outcome attached = run(handle, attach);
    QSqlError e;
    Move outcome = Move::Failed;
    int rc = attached.rc;
    QString unusable;
    if (!attached.ok()) {
        e = sqliteError(handle, rc, QStringLiteral("Unable to open the side file"));
    } else {
        unusable = unusableTable(handle, "pending", &rc);
        if (rc != SQLITE_OK)
            e = sqliteError(handle, rc, QStringLiteral("Unable to read the side file"));
        else if (unusable.isEmpty())
            outcome = moveAttached(handle, log.databaseName(), budgetMs, moved, &e);
        run(handle, "DETACH DATABASE pending");
    }
    if (outcome == Move::Failed && e.isValid()) {
        rc = e.nativeErrorCode().toInt();
        if (meansUnusable(rc))
            unusable = e.text();
    }
    if (!unusable.isEmpty())
        return setAside(unusable) ? Move::Done : Move::Failed;
    setError(error, e);
    if (outcome == Move::Done)
        removeIfEmpty();
    return outcome;
}

PendingFile::Move PendingFile::moveAttached(sqlite3 *handle, const QString &logName, int budgetMs,
                                            int *moved, QSqlError *error)
{
    const auto failWith = [&](int rc, const QString &what) {
        const QSqlError e = sqliteError(handle, rc, what);
        if (!sqlite3_get_autocommit(handle))
            run(handle, "ROLLBACK");
        setError(error, e);
        return Move::Failed;
    };
    Outcome step = run(handle, "SELECT count(*) FROM pending.sqlite_master WHERE type='table' AND "
                               "name='SystemInfo'");
    if (!step.ok())
        return failWith(step.rc, QStringLiteral("Unable to read the side file"));
    if (step.value == 0)
        return Move::Done;

    // The side file's token, made in a transaction of the side file alone when it has none.
    const QByteArray readToken = "SELECT token FROM pending.SideFile LIMIT 1";
    step = run(handle, "SELECT count(*) FROM pending.sqlite_master WHERE name='SideFile'");
    if (step.ok() && step.value > 0)
        step = run(handle, readToken);
    if (step.ok() && step.isNull) {
        const QByteArray token = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
        step = run(handle, "BEGIN");
        if (step.ok())
            step = run(handle, "CREATE TABLE IF NOT EXISTS pending.SideFile(token TEXT NOT NULL)");
        if (step.ok())
            step = run(handle,
                       "INSERT INTO pending.SideFile(token) SELECT ?1 WHERE NOT EXISTS "
                       "(SELECT 1 FROM pending.SideFile)",
                       token);
        if (step.ok())
            step = run(handle, "COMMIT");
        if (step.ok())
            step = run(handle, readToken);
    }
    if (!step.ok() || step.isNull)
        return failWith(step.rc, QStringLiteral("Unable to mark the side file"));
    const QByteArray token = step.text;
    // The side file commits together with the log only in a rollback journal mode; a side file
    // that another program switched to WAL could lose records that the log did not take.
    step = run(handle, "PRAGMA pending.journal_mode");
    if (step.ok() && step.text.toLower() == "wal")
        step = run(handle, "PRAGMA pending.journal_mode=DELETE");
    if (!step.ok() || step.text.toLower() == "wal")
        return failWith(step.ok() ? SQLITE_BUSY : step.rc,
                        QStringLiteral("Unable to take the side file out of WAL mode"));

    QElapsedTimer clock;
    clock.start();
    for (;;) {
        step = run(handle, "BEGIN IMMEDIATE");
        if (!step.ok())
            return failWith(step.rc, QStringLiteral("Unable to move records"));
        if (QDBSqlite::hasMoved(handle)) {
            run(handle, "ROLLBACK");
            setError(
                error,
                QSqlError(
                    QString(),
                    QStringLiteral("%1 was removed or replaced while it was open").arg(logName),
                    QSqlError::ConnectionError));
            return Move::Failed;
        }
        step = run(handle, "CREATE TABLE IF NOT EXISTS main.SideFileMoves(token TEXT PRIMARY KEY, "
                           "movedUpTo INTEGER NOT NULL)");
        if (step.ok())
            step = run(handle, "SELECT movedUpTo FROM main.SideFileMoves WHERE token = ?1", token);
        const QByteArray taken = QByteArray::number(step.value);
        // Records an earlier move took, whose removal from the side file did not commit.
        if (step.ok())
            step = run(handle, "DELETE FROM pending.SystemInfo WHERE id <= " + taken);
        const int stale = sqlite3_changes(handle);
        if (step.ok())
            step = run(handle, "SELECT max(id) FROM (SELECT id FROM pending.SystemInfo ORDER BY "
                               "id LIMIT " +
                                   QByteArray::number(kChunk) + ")");
        if (!step.ok())
            return failWith(step.rc, QStringLiteral("Unable to move records"));
        if (step.isNull) {
            // Empty: the log forgets the token, but only in a transaction that changes nothing
            // in the side file, so that the two cannot part.
            if (stale == 0)
                step = run(handle, "DELETE FROM main.SideFileMoves WHERE token = ?1", token);
            if (step.ok())
                step = run(handle, "COMMIT");
            if (!step.ok())
                return failWith(step.rc, QStringLiteral("Unable to move records"));
            if (stale == 0)
                return Move::Done;
            continue;
        }
        const QByteArray upTo = QByteArray::number(step.value);
        step = run(handle, "INSERT INTO main.SystemInfo(datetime, type, message) SELECT "
                           "datetime, type, message FROM pending.SystemInfo WHERE id <= " +
                               upTo + " ORDER BY id");
        const int inserted = sqlite3_changes(handle);
        if (step.ok())
            step = run(handle,
                       "INSERT OR REPLACE INTO main.SideFileMoves(token, movedUpTo) VALUES(?1, " +
                           upTo + ")",
                       token);
        if (step.ok())
            step = run(handle, "DELETE FROM pending.SystemInfo WHERE id <= " + upTo);
        if (step.ok())
            step = run(handle, "COMMIT");
        if (!step.ok())
            return failWith(step.rc, QStringLiteral("Unable to move records"));
        *moved += inserted;
        if (budgetMs > 0 && clock.elapsed() >= budgetMs)
            return Move::Partial;
    }
}

void PendingFile::removeIfEmpty()
{
    // Under the file's write lock, so that no other process appends in between; an appender that
    // then finds the file gone writes into a new one (see append).
    sqlite3 *handle = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(m_path).constData(), &handle, SQLITE_OPEN_READWRITE,
                        nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(handle, kShortWaitMs);
        if (run(handle, "BEGIN IMMEDIATE").ok()) {
            Outcome tables;
            Outcome records;
            const bool read =
                !QDBSqlite::hasMoved(handle) &&
                (tables = run(handle, "SELECT count(*) FROM sqlite_master WHERE "
                                      "name='SystemInfo'"))
                    .ok() &&
                (tables.value == 0 ||
                 (records = run(handle, "SELECT EXISTS(SELECT 1 FROM SystemInfo)")).ok());
            if (read && records.value == 0)
                QFile::remove(m_path);
            run(handle, "ROLLBACK");
        }
    }
    sqlite3_close(handle);
}

} // namespace SystemLog
