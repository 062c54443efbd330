#include "PendingFile.h"

#include "LogSchema.h"
#include "sqlite/Sqlite.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

namespace SystemLog {

namespace {

// Records moved per transaction: small enough that the log is never held for long.
constexpr int kMoveChunk = 2000;
// How long the removal of an empty side file waits for another process's lock on it.
constexpr int kRemovalBusyTimeoutMs = 1000;

void setError(QSqlError *target, const QSqlError &error)
{
    if (target)
        *target = error;
}

void closeConnection(std::unique_ptr<QDBSqlite> &db)
{
    if (db)
        db->close();
    db.reset();
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

// Moves the next chunk of records in one transaction: *moved counts them, *done once the side
// file holds none. SQLITE_OK, or the failure (nothing of the chunk moved then).
int PendingFile::moveChunk(sqlite3 *db, int *moved, bool *done, bool *logMoved)
{
    Sqlite::Transaction transaction(db);
    if (transaction.rc() != SQLITE_OK)
        return transaction.rc();
    if (Sqlite::hasMoved(db)) {
        *logMoved = true;
        return SQLITE_IOERR;
    }
    qint64 upTo = 0;
    bool none = true;
    Sqlite::Statement end(db, "SELECT max(id) FROM (SELECT id FROM pending.SystemInfo "
                              "ORDER BY id LIMIT ?1)");
    end.bind(1, qint64(kMoveChunk));
    int rc = end.step();
    if (rc != SQLITE_ROW)
        return rc;
    none = end.isNull(0);
    upTo = end.int64(0);
    if (none) {
        *done = true;
        return SQLITE_OK;
    }
    Sqlite::Statement insert(db, "INSERT INTO main.SystemInfo(datetime, type, message) SELECT "
                                 "datetime, type, message FROM pending.SystemInfo WHERE id <= ?1 "
                                 "ORDER BY id");
    rc = insert.bind(1, upTo).run();
    if (rc != SQLITE_DONE)
        return rc;
    const int inserted = sqlite3_changes(db);
    Sqlite::Statement remove(db, "DELETE FROM pending.SystemInfo WHERE id <= ?1");
    rc = remove.bind(1, upTo).run();
    if (rc != SQLITE_DONE)
        return rc;
    rc = transaction.commit();
    if (rc == SQLITE_OK)
        *moved += inserted;
    return rc;
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
    const auto failed = [&](int rc, const QString &what) {
        setError(error, Sqlite::error(handle, rc, what));
        return Move::Failed;
    };
    Attachment pending(handle, m_path);
    if (pending.rc() != SQLITE_DONE)
        return failed(pending.rc(), QStringLiteral("Unable to open the side file"));
    // A side file without the log table (an empty file, say) holds nothing to move; one whose
    // table is of another shape is left alone.
    const LogSchema::TableCheck table = LogSchema::check(handle, "pending");
    if (table.rc != SQLITE_OK)
        return failed(table.rc, QStringLiteral("Unable to read the side file"));
    if (table.exists && !table.isLog()) {
        setError(error, QSqlError(QString(), QStringLiteral("%1: %2").arg(m_path, table.problem()),
                                  QSqlError::StatementError));
        return Move::Failed;
    }
    QElapsedTimer clock;
    clock.start();
    bool done = !table.exists;
    while (!done) {
        bool logMoved = false;
        const int rc = moveChunk(handle, moved, &done, &logMoved);
        if (logMoved) {
            setError(error, Sqlite::movedError(log.databaseName()));
            return Move::Failed;
        }
        if (rc != SQLITE_OK)
            return failed(rc, QStringLiteral("Unable to move records"));
        if (!done && budgetMs > 0 && clock.elapsed() >= budgetMs)
            return Move::Partial;
    }
    removeIfEmpty();
    return Move::Done;
}

void PendingFile::removeIfEmpty()
{
    // Under the file's write lock, so that no other process appends in between; an appender that
    // then finds the file gone writes into a new one (see append).
    Sqlite::Connection file;
    if (file.open(m_path, SQLITE_OPEN_READWRITE, kRemovalBusyTimeoutMs) != SQLITE_OK)
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
    if (read && records == 0)
        QFile::remove(m_path);
}

} // namespace SystemLog
