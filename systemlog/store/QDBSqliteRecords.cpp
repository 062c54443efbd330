// The statements of QDBSqlite that store and select records: one record, a batch in one
// transaction, and the records of a category in a span.

#include "store/QDBSqlite.h"

#include "schema/RecordFilter.h"
#include "sqlite/Sqlite.h"
#include "store/StampedInsert.h"
#include "store/StoreErrors.h"

#include <QElapsedTimer>

#include <sqlite3.h>

namespace SystemLog {

using namespace StoreErrors;

namespace {

const char kInsertStatement[] = "INSERT INTO SystemInfo(type ,message) VALUES(?, ?)";

// Text read from a statement as a QString.
QString textOf(const Sqlite::Statement &statement, int column)
{
    const std::string_view text = statement.text(column);
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
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

// Inserts the records from `first` on in the open transaction, until `last` or until the budget
// is spent, counted into *result and *span. Returns the error that fails the batch as a whole,
// if one does.
QSqlError insertEntries(sqlite3 *handle, StampedInsert &insert, StoredSpan::Entry first,
                        StoredSpan::Entry last, int budgetMs, QDBSqlite::BatchResult *result,
                        StoredSpan *span)
{
    QElapsedTimer clock;
    clock.start();
    int consumed = 0;
    for (auto it = first; it != last; ++it) {
        const std::string_view stamp(it->stamp.constData(), size_t(it->stamp.size()));
        const int rc = insert.add(
            stamp, it->type, std::string_view(it->message.constData(), size_t(it->message.size())));
        if (rc == SQLITE_DONE) {
            span->add(it, sqlite3_last_insert_rowid(handle));
            ++result->stored;
        } else {
            const QSqlError e =
                Sqlite::error(handle, rc, QStringLiteral("Unable to store a record"));
            if (StampedInsert::failsTheBatch(rc, Sqlite::extendedCodeOf(e)))
                return e;
            if (!result->error.isValid())
                result->error = e;
            ++result->rejected;
        }
        ++consumed;
        // Check the clock every few records only; a time read costs about as much as an insert.
        if (budgetMs > 0 && (consumed & 63) == 0 && clock.elapsed() >= budgetMs)
            break;
    }
    return QSqlError();
}

// Commits the batch of `stored` rows; on failure, the error, unless the batch is in the file
// all the same.
QSqlError commitBatch(sqlite3 *handle, Sqlite::Transaction &transaction, const StoredSpan &span,
                      int stored)
{
    const int rc = transaction.commit();
    if (rc == SQLITE_OK)
        return QSqlError();
    const QSqlError e = Sqlite::error(handle, rc, QStringLiteral("Unable to commit"));
    transaction.rollback();
    // A commit that fails for a reason other than a lock may have made its rows durable all
    // the same (another connection took its journal away after the rows were written): stored
    // again, they would be in the log twice.
    if (Sqlite::classify(rc) != Sqlite::Fault::Busy && span.isIn(handle, stored))
        return QSqlError();
    return e;
}

} // namespace

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
    StoredSpan span;
    QSqlError e = insertEntries(handle, insert, first, last, budgetMs, &result, &span);
    if (!e.isValid())
        e = commitBatch(handle, transaction, span, result.stored);
    return e.isValid() ? fail(e) : result;
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
