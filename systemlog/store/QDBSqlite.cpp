#include "store/QDBSqlite.h"

#include "schema/LogSchema.h"
#include "schema/RecordFilter.h"
#include "sqlite/MovedFileGuard.h"
#include "sqlite/Sqlite.h"
#include "store/StampedInsert.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDriver>
#include <QVariant>

#include <sqlite3.h>

#include <cstdio>
#include <mutex>
#include <set>

namespace SystemLog {

namespace {

// The logs whose index a connection of this process is building (by absolute path). Another
// connection's prepare() leaves the index to it rather than wait behind its lock, which may take
// longer than a statement waits, for the same work.
class IndexesInBuild
{
public:
    static IndexesInBuild &instance()
    {
        static IndexesInBuild building;
        return building;
    }
    bool contains(const QString &path)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_paths.count(path) > 0;
    }
    void add(const QString &path)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_paths.insert(path);
    }
    void remove(const QString &path)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_paths.find(path);
        if (it != m_paths.end())
            m_paths.erase(it);
    }

private:
    std::mutex m_mutex;
    std::multiset<QString> m_paths;
};

QString absolutePath(const QString &databaseName)
{
    return QFileInfo(databaseName).absoluteFilePath();
}

const char kInsertStatement[] = "INSERT INTO SystemInfo(type ,message) VALUES(?, ?)";

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

QSqlError notOpenError()
{
    return makeError(QStringLiteral("the log database is not open"), QSqlError::ConnectionError);
}

// Text read from a statement as a QString.
QString textOf(const Sqlite::Statement &statement, int column)
{
    const std::string_view text = statement.text(column);
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

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

// The rows a batch inserted: its first and last record and their ids, enough to tell after a
// failed commit whether the batch is in the file all the same.
class StoredSpan
{
public:
    using Entry = std::list<LogQueueEntry>::const_iterator;

    void add(Entry entry, sqlite3_int64 id)
    {
        if (m_count++ == 0) {
            m_first = entry;
            m_firstId = id;
        }
        m_last = entry;
        m_lastId = id;
    }

    // Whether the file holds the batch of `stored` rows now: as many rows from its first id
    // through its last, and those two rows as they were inserted. Read in a transaction of its
    // own; false when that cannot be read.
    bool isIn(sqlite3 *db, int stored) const
    {
        if (m_count == 0 || m_count != stored || m_lastId - m_firstId + 1 != stored)
            return false;
        Sqlite::Statement count(db, "SELECT count(*) FROM SystemInfo WHERE id BETWEEN ?1 AND ?2");
        count.bind(1, qint64(m_firstId)).bind(2, qint64(m_lastId));
        if (count.step() != SQLITE_ROW || count.int64(0) != stored)
            return false;
        return holds(db, m_firstId, *m_first) && holds(db, m_lastId, *m_last);
    }

private:
    static bool holds(sqlite3 *db, sqlite3_int64 id, const LogQueueEntry &entry)
    {
        Sqlite::Statement row(db, "SELECT datetime, type, message FROM SystemInfo WHERE id = ?1");
        row.bind(1, qint64(id));
        return row.step() == SQLITE_ROW &&
               row.text(0) ==
                   std::string_view(entry.stamp.constData(), size_t(entry.stamp.size())) &&
               row.int64(1) == entry.type &&
               row.text(2) ==
                   std::string_view(entry.message.constData(), size_t(entry.message.size()));
    }

    int m_count = 0;
    Entry m_first, m_last;
    sqlite3_int64 m_firstId = 0, m_lastId = 0;
};

} // namespace

bool QDBSqlite::isStoreWide(const QSqlError &error)
{
    const int code = Sqlite::codeOf(error);
    return code < 0 || Sqlite::classify(code) != Sqlite::Fault::RecordOnly;
}

bool QDBSqlite::meansNotALog(const QSqlError &error)
{
    const int code = Sqlite::codeOf(error);
    return code >= 0 && Sqlite::classify(code) == Sqlite::Fault::NotALog;
}

bool QDBSqlite::refusesRecords(const QSqlError &error)
{
    return Sqlite::refusedByTable(Sqlite::extendedCodeOf(error));
}

bool QDBSqlite::isBusy(const QSqlError &error)
{
    const int code = Sqlite::codeOf(error);
    return code >= 0 && Sqlite::classify(code) == Sqlite::Fault::Busy;
}

QDBSqlite::QDBSqlite(const QString &databaseName, const QString &userName, const QString &password)
    : QSqlDatabase(QStringLiteral("QSQLITE"))
{
    // Before the driver opens anything: a connection left on a log that was moved away never
    // touches the files SQLite finds by the log's path (see MovedFileGuard.h).
    Sqlite::guardMovedFiles();
    setDatabaseName(databaseName);
    if (!userName.isEmpty()) {
        setUserName(userName);
        setPassword(password);
    }
    setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(Sqlite::kBusyTimeoutMs));
    // The first handle() registers the handle's type with Qt's type registry. Doing it here, in
    // the thread that creates the connection, puts it before the writer thread and any query
    // thread start, instead of racing (as far as ThreadSanitizer can tell) between them.
    if (driver())
        driver()->handle();
}

QDBSqlite::~QDBSqlite() = default;

bool QDBSqlite::openExisting(QSqlError *error)
{
    QSqlError e;
    if (openConnection(*this, &e))
        return true;
    report("cannot open the log database", e);
    setError(error, e);
    return false;
}

QDBSqlite::Readiness QDBSqlite::prepare(QSqlError *error, IndexBuild index)
{
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
    sqlite3 *handle = nativeHandle();
    if (!handle) {
        setError(error, notOpenError());
        return Readiness::Unavailable;
    }
    // Quiet: a caller that retries decides when a failure is worth reporting.
    const auto notReady = [&](int rc) {
        const QSqlError e = Sqlite::error(handle, rc, QStringLiteral("Unable to set up the log"));
        setError(error, e);
        return meansNotALog(e) ? Readiness::NotALog : Readiness::Unavailable;
    };
    // A commit in a rollback journal mode ends by removing the journal; until the directory is
    // synced as well, a power cut can bring the journal back and roll the committed batch back.
    // EXTRA syncs it (in WAL mode it costs nothing more than FULL).
    Sqlite::exec(handle, "PRAGMA synchronous=EXTRA");
    // An empty file is what a first start that failed (a full disk, say) leaves behind: SQLite
    // takes it for an empty database, and the statements below make it a new log.
    int rc = Sqlite::exec(handle, LogSchema::kCreateTable);
    if (rc != SQLITE_DONE)
        return notReady(rc);
    const LogSchema::TableCheck table = LogSchema::check(handle);
    if (table.rc != SQLITE_OK)
        return notReady(table.rc);
    if (!table.isLog()) {
        setError(error, makeError(QStringLiteral("%1 holds a table SystemInfo without the column "
                                                 "%2: not a log")
                                      .arg(databaseName(), table.missing),
                                  QSqlError::StatementError));
        return Readiness::NotALog;
    }
    if (!table.takesRows) {
        setError(error, makeError(QStringLiteral("%1 holds SystemInfo as a view or a table "
                                                 "without rowid, which cannot take records")
                                      .arg(databaseName()),
                                  QSqlError::StatementError));
        return Readiness::NotALog;
    }
    // Without the index every query scans the whole table, but records can still be stored
    // and listed (a read-only file that predates the index, for example). Another program
    // holding the file is worth waiting for, though: the index is tried again then.
    if (index == IndexBuild::Now &&
        !IndexesInBuild::instance().contains(absolutePath(databaseName()))) {
        rc = Sqlite::exec(handle, LogSchema::kCreateIndex);
        if (rc != SQLITE_DONE && Sqlite::classify(rc) == Sqlite::Fault::Busy)
            return notReady(rc);
    }
    setError(error, QSqlError());
    return Readiness::Ready;
}

bool QDBSqlite::hasIndex()
{
    sqlite3 *handle = nativeHandle();
    qint64 found = 0;
    return handle && Sqlite::readNumber(handle, LogSchema::kIndexExists, &found) == SQLITE_ROW &&
           found > 0;
}

bool QDBSqlite::buildIndex(QSqlError *error)
{
    sqlite3 *handle = nativeHandle();
    if (!handle) {
        setError(error, notOpenError());
        return false;
    }
    const QString path = absolutePath(databaseName());
    IndexesInBuild::instance().add(path);
    const int rc = Sqlite::exec(handle, LogSchema::kCreateIndex);
    IndexesInBuild::instance().remove(path);
    setError(error, rc == SQLITE_DONE
                        ? QSqlError()
                        : Sqlite::error(handle, rc, QStringLiteral("Unable to index the log")));
    return rc == SQLITE_DONE;
}

bool QDBSqlite::createTable(QSqlError *error)
{
    return prepare(error) == Readiness::Ready;
}

bool QDBSqlite::insertLog(int type, const QString &message, QSqlError *error)
{
    sqlite3 *handle = nativeHandle();
    if (!handle) {
        setError(error, notOpenError());
        return false;
    }
    Sqlite::Statement insert(handle, kInsertStatement);
    insert.bind(1, qint64(type)).bind(2, message);
    const int rc = insert.run();
    setError(error, rc == SQLITE_DONE
                        ? QSqlError()
                        : Sqlite::error(handle, rc, QStringLiteral("Unable to store a record")));
    return rc == SQLITE_DONE;
}

sqlite3 *QDBSqlite::nativeHandle() const
{
    return isOpen() ? sqliteHandle(*this) : nullptr;
}

bool QDBSqlite::hasMoved(sqlite3 *handle)
{
    return Sqlite::hasMoved(handle);
}

void QDBSqlite::setBusyTimeout(int ms)
{
    Sqlite::setBusyTimeout(nativeHandle(), ms);
}

QDBSqlite::BatchResult QDBSqlite::insertBatch(std::list<LogQueueEntry>::const_iterator first,
                                              std::list<LogQueueEntry>::const_iterator last,
                                              int budgetMs)
{
    BatchResult result;
    if (first == last)
        return result;
    const auto fail = [&result](const QSqlError &error) {
        result = BatchResult();
        result.failed = true;
        result.error = error;
        return result;
    };

    sqlite3 *handle = nativeHandle();
    if (!handle)
        return fail(notOpenError());
    Sqlite::Transaction transaction(handle);
    if (transaction.rc() != SQLITE_OK)
        return fail(
            Sqlite::error(handle, transaction.rc(), QStringLiteral("Unable to begin transaction")));
    // Records written into a file that was deleted or replaced since it was opened would be
    // gone with it. Checked under the write lock, so that nobody removes it in between.
    if (Sqlite::hasMoved(handle)) {
        fail(Sqlite::movedError(databaseName()));
        result.moved = true;
        return result;
    }
    StampedInsert insert(handle);
    if (insert.rc() != SQLITE_OK)
        return fail(
            Sqlite::error(handle, insert.rc(), QStringLiteral("Unable to prepare the insert")));

    QElapsedTimer clock;
    clock.start();
    int consumed = 0;
    StoredSpan span;
    for (auto it = first; it != last; ++it) {
        const std::string_view stamp(it->stamp.constData(), size_t(it->stamp.size()));
        const int rc = insert.add(
            stamp, it->type, std::string_view(it->message.constData(), size_t(it->message.size())));
        if (rc == SQLITE_DONE) {
            span.add(it, sqlite3_last_insert_rowid(handle));
            ++result.stored;
        } else {
            const QSqlError e =
                Sqlite::error(handle, rc, QStringLiteral("Unable to store a record"));
            if (StampedInsert::failsTheBatch(rc, Sqlite::extendedCodeOf(e)))
                return fail(e);
            if (!result.error.isValid())
                result.error = e;
            ++result.rejected;
        }
        ++consumed;
        // Check the clock every few records only; a time read costs about as much as an insert.
        if (budgetMs > 0 && (consumed & 63) == 0 && clock.elapsed() >= budgetMs)
            break;
    }
    const int rc = transaction.commit();
    if (rc == SQLITE_OK)
        return result;
    const QSqlError e = Sqlite::error(handle, rc, QStringLiteral("Unable to commit"));
    transaction.rollback();
    // A commit that fails for a reason other than a lock may have made its rows durable all
    // the same (another connection took its journal away after the rows were written): stored
    // again, they would be in the log twice.
    if (Sqlite::classify(rc) != Sqlite::Fault::Busy && span.isIn(handle, result.stored))
        return result;
    return fail(e);
}

LogRowList QDBSqlite::selectLogs(QString startTime, QString endTime, int type, QSqlError *error,
                                 qint64 *lastId)
{
    LogRowList rows;
    sqlite3 *handle = nativeHandle();
    if (!handle) {
        QSqlError e = lastError();
        setError(error, e.isValid() ? e : notOpenError());
        return rows;
    }

    // Read through SQLite's own interface: the rows come out as UTF-8 and are decoded once,
    // instead of being converted to UTF-16 by SQLite and copied again by the toolkit.
    const QByteArray start = startTime.toUtf8();
    const QByteArray end = endTime.toUtf8();
    // A deferred transaction reads nothing itself: the select below starts it, and the highest id
    // is read from the same snapshot. It ends on every path out.
    const bool inTransaction = lastId && Sqlite::exec(handle, "BEGIN") == SQLITE_DONE;
    QSqlError e;
    {
        // The records of the type within the bounds, as every reader of the log takes them.
        const QByteArray sql = RecordFilter::listingSelect(type);
        Sqlite::Statement select(handle, std::string_view(sql.constData(), size_t(sql.size())));
        select.bind(1, std::string_view(start.constData(), size_t(start.size())))
            .bind(2, std::string_view(end.constData(), size_t(end.size())));
        int rc;
        while ((rc = select.step()) == SQLITE_ROW)
            rows.append(LogRow(textOf(select, 0), textOf(select, 1)));
        if (rc != SQLITE_DONE)
            e = Sqlite::error(handle, rc, QStringLiteral("Unable to query the log"));
    }
    if (!e.isValid() && lastId) {
        bool isNull = false;
        const int rc =
            Sqlite::readNumber(handle, "SELECT max(id) FROM SystemInfo", lastId, &isNull);
        if (rc != SQLITE_ROW)
            e = Sqlite::error(handle, rc, QStringLiteral("Unable to query the log"));
        else if (isNull)
            *lastId = 0;
    }
    if (inTransaction)
        Sqlite::exec(handle, "COMMIT");
    if (e.isValid()) {
        report("query failed", e);
        setError(error, e);
        return LogRowList();
    }
    setError(error, QSqlError());
    return rows;
}

} // namespace SystemLog
