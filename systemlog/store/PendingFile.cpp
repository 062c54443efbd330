#include "store/PendingFile.h"

#include "schema/LogSchema.h"
#include "spill/SpillDir.h"
#include "sqlite/Sqlite.h"
#include "store/SetAside.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QUuid>

#include <sqlite3.h>

#include <cstdio>
#include <cstring>

#include <sys/stat.h>

namespace SystemLog {

namespace {

// Records moved per transaction: small enough that the log is never held for long.
constexpr int kChunk = 2000;
// How long one statement waits for another program's lock on the side file.
constexpr int kShortWaitMs = 200;
// The files SQLite keeps beside a database, named after it.

void setError(QSqlError *target, const QSqlError &error)
{
    if (target)
        *target = error;
}

bool meansUnusable(int rc)
{
    return Sqlite::classify(rc) == Sqlite::Fault::NotALog;
}

// Why the table SystemInfo of `schema` cannot hold records of the side file, or an empty text
// when it can (or is missing). *rc is set when the table cannot be read at all.
QString unusableTable(sqlite3 *db, const char *schema, int *rc)
{
    const LogSchema::TableCheck table = LogSchema::check(db, schema);
    *rc = table.rc;
    if (table.rc != SQLITE_OK)
        return Sqlite::errorText(db, table.rc);
    if (!table.exists)
        return QString();
    if (!table.isLog())
        return table.problem();
    // The move takes records by ranges of ids.
    if (!table.integerKey)
        return QStringLiteral("the id of its table SystemInfo is not an integer primary key");
    return QString();
}

// The side file attached to the log's connection as "pending" while it is in use.
class Attachment
{
public:
    Attachment(sqlite3 *db, const QString &path) : m_db(db)
    {
        Sqlite::Statement attach(db, "ATTACH DATABASE ?1 AS pending");
        const QByteArray native = QFile::encodeName(path);
        attach.bind(1, std::string_view(native.constData(), size_t(native.size())));
        m_rc = attach.run();
        // The log's setting covers its own file only. A move out of the side file must be
        // durable there too before the log forgets how far it took it (in WAL mode the two
        // commit apart): else a power cut brings moved records back into the side file.
        if (m_rc == SQLITE_DONE)
            Sqlite::exec(db, "PRAGMA pending.synchronous=EXTRA");
    }
    ~Attachment()
    {
        if (m_rc == SQLITE_DONE)
            Sqlite::exec(m_db, "DETACH DATABASE pending");
    }
    Attachment(const Attachment &) = delete;
    Attachment &operator=(const Attachment &) = delete;

    int rc() const { return m_rc; } // SQLITE_DONE once attached

private:
    sqlite3 *m_db;
    int m_rc;
};

// The text of the first column of a statement's first row; SQLITE_ROW with *text set,
// SQLITE_DONE without rows, or the failure.
int readText(sqlite3 *db, std::string_view sql, QByteArray *text)
{
    Sqlite::Statement statement(db, sql);
    const int rc = statement.step();
    if (rc == SQLITE_ROW && !statement.isNull(0)) {
        const std::string_view value = statement.text(0);
        *text = QByteArray(value.data(), static_cast<int>(value.size()));
    }
    return rc;
}

} // namespace

PendingFile::PendingFile(const QString &path) : m_path(path) {}

bool PendingFile::exists() const
{
    return QFileInfo::exists(m_path);
}

bool PendingFile::setAside(const QString &why)
{
    const QString target = SetAside::freeName(m_path, QStringLiteral("bad"));
    // Kept exactly as it was (it may be a directory), with its journals: a hot journal belongs to
    // the file it can roll back, and none is left at the old name.
    if (const int error = SetAside::moveWithCompanions(m_path, target)) {
        std::fprintf(stderr,
                     "SystemLog: %s is not a usable side file (%s) and cannot be set aside (%s)\n",
                     qUtf8Printable(m_path), qUtf8Printable(why), std::strerror(error));
        return false;
    }
    std::fprintf(stderr, "SystemLog: %s is not a usable side file (%s): set aside as %s\n",
                 qUtf8Printable(m_path), qUtf8Printable(why), qUtf8Printable(target));
    return true;
}

PendingFile::Move PendingFile::moveInto(QDBSqlite &log, int budgetMs, int *moved, QSqlError *error)
{
    *moved = 0;
    if (!exists())
        return Move::Done;
    if (!QFileInfo(m_path).isFile())
        return setAside(QStringLiteral("not a regular file")) ? Move::Done : Move::Failed;

    sqlite3 *handle = log.nativeHandle();
    if (!handle) {
        setError(error, QSqlError(QString(), QStringLiteral("the log database is not open"),
                                  QSqlError::ConnectionError));
        return Move::Failed;
    }
    QSqlError e;
    Move outcome = Move::Failed;
    QString unusable;
    {
        Attachment pending(handle, m_path);
        int rc = pending.rc();
        if (rc != SQLITE_DONE) {
            e = Sqlite::error(handle, rc, QStringLiteral("Unable to open the side file"));
        } else {
            unusable = unusableTable(handle, "pending", &rc);
            if (rc != SQLITE_OK) {
                // A lock of either file, an I/O error, ... say nothing about the side file.
                e = Sqlite::error(handle, rc, QStringLiteral("Unable to read the side file"));
                unusable.clear();
            } else if (unusable.isEmpty()) {
                outcome = moveAttached(handle, log.databaseName(), budgetMs, moved, &e);
            }
        }
    }
    // A damaged page met by the move may be one of the log's: the side file is set aside only
    // when it proves damaged on its own.
    if (outcome == Move::Failed && e.isValid() && meansUnusable(Sqlite::codeOf(e)))
        provenDamaged(&unusable);
    if (!unusable.isEmpty())
        return setAside(unusable) ? Move::Done : Move::Failed;
    setError(error, e);
    if (outcome == Move::Done)
        removeIfEmpty();
    return outcome;
}

// The side file's token, made in a transaction of the side file alone when it has none.
// SQLITE_OK with *token set, or the failure.
int PendingFile::tokenOf(sqlite3 *db, QByteArray *token)
{
    const std::string_view read = "SELECT token FROM pending.SideFile LIMIT 1";
    qint64 tables = 0;
    int rc = Sqlite::readNumber(
        db, "SELECT count(*) FROM pending.sqlite_master WHERE name='SideFile'", &tables);
    if (rc == SQLITE_ROW && tables > 0)
        rc = readText(db, read, token);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return rc;
    if (!token->isEmpty())
        return SQLITE_OK;
    // Deferred: only the side file is written.
    rc = Sqlite::exec(db, "BEGIN");
    if (rc == SQLITE_DONE)
        rc = Sqlite::exec(db, "CREATE TABLE IF NOT EXISTS pending.SideFile(token TEXT NOT NULL)");
    if (rc == SQLITE_DONE) {
        Sqlite::Statement insert(db, "INSERT INTO pending.SideFile(token) SELECT ?1 WHERE NOT "
                                     "EXISTS (SELECT 1 FROM pending.SideFile)");
        rc = insert.bind(1, QUuid::createUuid().toString(QUuid::WithoutBraces)).run();
    }
    if (rc == SQLITE_DONE)
        rc = Sqlite::exec(db, "COMMIT");
    if (rc != SQLITE_DONE) {
        if (!sqlite3_get_autocommit(db))
            Sqlite::exec(db, "ROLLBACK");
        return rc;
    }
    rc = readText(db, read, token);
    return rc == SQLITE_ROW && !token->isEmpty() ? SQLITE_OK : rc;
}

namespace {

// Removes from the side file the records an earlier move took, whose removal from it did not
// commit (the log's mark of the side file's token says up to where). SQLITE_DONE with *removed
// set, or the failure.
int removeStale(sqlite3 *db, std::string_view token, int *removed)
{
    int rc = Sqlite::exec(db, "CREATE TABLE IF NOT EXISTS main.SideFileMoves(token TEXT PRIMARY "
                              "KEY, movedUpTo INTEGER NOT NULL)");
    if (rc != SQLITE_DONE)
        return rc;
    Sqlite::Statement mark(db, "SELECT movedUpTo FROM main.SideFileMoves WHERE token = ?1");
    rc = mark.bind(1, token).step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return rc;
    const qint64 taken = rc == SQLITE_ROW ? mark.int64(0) : 0;
    Sqlite::Statement stale(db, "DELETE FROM pending.SystemInfo WHERE id <= ?1");
    rc = stale.bind(1, taken).run();
    *removed = rc == SQLITE_DONE ? sqlite3_changes(db) : 0;
    return rc;
}

// Copies the side file's records up to id `upTo` into the log, marks them as moved under the
// token and removes them from the side file. SQLITE_DONE with *inserted set, or the failure.
int copyUpTo(sqlite3 *db, std::string_view token, qint64 upTo, int *inserted)
{
    Sqlite::Statement insert(db, "INSERT INTO main.SystemInfo(datetime, type, message) SELECT "
                                 "datetime, type, message FROM pending.SystemInfo WHERE id <= ?1 "
                                 "ORDER BY id");
    int rc = insert.bind(1, upTo).run();
    if (rc != SQLITE_DONE)
        return rc;
    *inserted = sqlite3_changes(db);
    Sqlite::Statement remember(db, "INSERT OR REPLACE INTO main.SideFileMoves(token, movedUpTo) "
                                   "VALUES(?1, ?2)");
    rc = remember.bind(1, token).bind(2, upTo).run();
    if (rc != SQLITE_DONE)
        return rc;
    Sqlite::Statement remove(db, "DELETE FROM pending.SystemInfo WHERE id <= ?1");
    return remove.bind(1, upTo).run();
}

} // namespace

// Moves the next chunk of records in one transaction: *moved counts them, *done once the side
// file holds none. SQLITE_OK, or the failure (nothing of the chunk moved then).
int PendingFile::moveChunk(sqlite3 *db, const QByteArray &token, int *moved, bool *done,
                           bool *logMoved)
{
    Sqlite::Transaction transaction(db);
    if (transaction.rc() != SQLITE_OK)
        return transaction.rc();
    if (Sqlite::hasMoved(db)) {
        *logMoved = true;
        return SQLITE_IOERR;
    }
    const std::string_view tokenText(token.constData(), size_t(token.size()));
    int staleRecords = 0;
    int rc = removeStale(db, tokenText, &staleRecords);
    if (rc != SQLITE_DONE)
        return rc;
    Sqlite::Statement end(db, "SELECT max(id) FROM (SELECT id FROM pending.SystemInfo "
                              "ORDER BY id LIMIT ?1)");
    rc = end.bind(1, qint64(kChunk)).step();
    if (rc != SQLITE_ROW)
        return rc;
    if (end.isNull(0)) {
        // Empty: the log forgets the token, but only in a transaction that changes nothing in
        // the side file, so that the two cannot part.
        if (staleRecords == 0) {
            Sqlite::Statement forget(db, "DELETE FROM main.SideFileMoves WHERE token = ?1");
            rc = forget.bind(1, tokenText).run();
            if (rc != SQLITE_DONE)
                return rc;
        }
        rc = transaction.commit();
        *done = rc == SQLITE_OK && staleRecords == 0;
        return rc;
    }
    int inserted = 0;
    rc = copyUpTo(db, tokenText, end.int64(0), &inserted);
    if (rc != SQLITE_DONE)
        return rc;
    rc = transaction.commit();
    if (rc == SQLITE_OK)
        *moved += inserted;
    return rc;
}

PendingFile::Move PendingFile::moveAttached(sqlite3 *handle, const QString &logName, int budgetMs,
                                            int *moved, QSqlError *error)
{
    const auto failed = [&](int rc, const QString &what) {
        setError(error, Sqlite::error(handle, rc, what));
        return Move::Failed;
    };
    qint64 tables = 0;
    int rc = Sqlite::readNumber(handle,
                                "SELECT count(*) FROM pending.sqlite_master WHERE type='table' "
                                "AND name='SystemInfo'",
                                &tables);
    if (rc != SQLITE_ROW)
        return failed(rc, QStringLiteral("Unable to read the side file"));
    if (tables == 0)
        return Move::Done;
    QByteArray token;
    rc = tokenOf(handle, &token);
    if (rc != SQLITE_OK)
        return failed(rc, QStringLiteral("Unable to mark the side file"));
    // The side file commits together with the log only in a rollback journal mode; a side file
    // that another program switched to WAL could lose records that the log did not take.
    QByteArray mode;
    rc = readText(handle, "PRAGMA pending.journal_mode", &mode);
    if (rc == SQLITE_ROW && mode.toLower() == "wal")
        rc = readText(handle, "PRAGMA pending.journal_mode=DELETE", &mode);
    if (rc != SQLITE_ROW)
        return failed(rc, QStringLiteral("Unable to take the side file out of WAL mode"));
    if (mode.toLower() == "wal")
        return failed(SQLITE_BUSY, QStringLiteral("Unable to take the side file out of WAL mode"));

    QElapsedTimer clock;
    clock.start();
    for (bool done = false; !done;) {
        bool logMoved = false;
        rc = moveChunk(handle, token, moved, &done, &logMoved);
        if (logMoved) {
            setError(error, Sqlite::movedError(logName));
            return Move::Failed;
        }
        if (rc != SQLITE_OK)
            return failed(rc, QStringLiteral("Unable to move records"));
        if (!done && budgetMs > 0 && clock.elapsed() >= budgetMs)
            return Move::Partial;
    }
    return Move::Done;
}

bool PendingFile::heldByOther() const
{
    if (!QFileInfo(m_path).isFile())
        return false;
    Sqlite::Connection file;
    if (file.open(m_path, SQLITE_OPEN_READWRITE, 0) != SQLITE_OK)
        return false;
    // The exclusive lock is refused while any other connection reads or writes the file.
    const int rc = Sqlite::exec(file.handle(), "BEGIN EXCLUSIVE");
    if (rc == SQLITE_DONE) {
        Sqlite::exec(file.handle(), "ROLLBACK");
        return false;
    }
    return Sqlite::classify(rc) == Sqlite::Fault::Busy;
}

int PendingFile::provenDamaged(QString *why) const
{
    why->clear();
    Sqlite::Connection file;
    QString openError;
    int rc = file.open(m_path, SQLITE_OPEN_READONLY, kShortWaitMs, &openError);
    if (rc != SQLITE_OK) {
        if (meansUnusable(rc))
            *why = openError;
        return meansUnusable(rc) ? SQLITE_OK : rc;
    }
    *why = unusableTable(file.handle(), "main", &rc);
    if (rc != SQLITE_OK) {
        if (!meansUnusable(rc)) {
            why->clear();
            return rc;
        }
        return SQLITE_OK;
    }
    if (!why->isEmpty())
        return SQLITE_OK;
    // Every page of the file, read under its shared lock: a lock of another program fails the
    // check instead of proving anything.
    Sqlite::Statement check(file.handle(), "PRAGMA quick_check");
    QStringList problems;
    while ((rc = check.step()) == SQLITE_ROW) {
        const std::string_view text = check.text(0);
        if (text != "ok")
            problems << QString::fromUtf8(text.data(), static_cast<int>(text.size()));
    }
    if (rc != SQLITE_DONE) {
        if (!meansUnusable(rc))
            return rc;
        problems << Sqlite::errorText(file.handle(), rc);
    }
    *why = problems.join(QStringLiteral("; "));
    return SQLITE_OK;
}

void PendingFile::removeIfEmpty()
{
    // Under the file's write lock, so that no other process appends in between; an appender that
    // then finds the file gone writes into a new one (see append).
    Sqlite::Connection file;
    if (file.open(m_path, SQLITE_OPEN_READWRITE, kShortWaitMs) != SQLITE_OK)
        return;
    Sqlite::Transaction transaction(file.handle());
    if (transaction.rc() != SQLITE_OK || Sqlite::hasMoved(file.handle()))
        return;
    const LogSchema::TableCheck table = LogSchema::check(file.handle());
    qint64 records = 0;
    const bool read = table.rc == SQLITE_OK &&
                      (!table.exists ||
                       Sqlite::readNumber(file.handle(), "SELECT EXISTS(SELECT 1 FROM SystemInfo)",
                                          &records) == SQLITE_ROW);
    if (!read || records != 0)
        return;
    // Still under the write lock: a journal left now is no other writer's (a hot one was rolled
    // back when the lock was taken), but one that a kill left before its header was written.
    // It goes with the file, so that nothing of the side file stays behind.
    if (!QFile::remove(m_path))
        return;
    for (const char *suffix : SetAside::kCompanions)
        QFile::remove(m_path + QLatin1String(suffix));
}

} // namespace SystemLog
