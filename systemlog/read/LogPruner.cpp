#include "read/LogPruner.h"

#include "read/LogConnection.h"

#include <QElapsedTimer>
#include <QThread>

#include <sqlite3.h>

#include <algorithm>
#include <limits>

namespace SystemLog {

namespace {

// Rows deleted per transaction, and the least pause between two transactions, so that a
// service writing to the file gets its turn.
constexpr int kDeleteBatchRows = 2000;
constexpr int kDeletePauseMs = 20;

} // namespace

class LogPruner::Private
{
public:
    LogConnection db;

    // Deletes the next batch of records before `moment` with ids from *from on and up to
    // `last`, in one transaction; *done once there are none left.
    int deleteBatch(const QByteArray &moment, qint64 last, qint64 *from, qint64 *deleted,
                    bool *done);
};

LogPruner::LogPruner() : d(std::make_unique<Private>()) {}

LogPruner::~LogPruner() = default;

bool LogPruner::open(const QString &path, Access access)
{
    return d->db.open(path, access == Access::Delete);
}

void LogPruner::close()
{
    d->db.close();
}

bool LogPruner::isOpen() const
{
    return d->db.isOpen();
}

QString LogPruner::errorString() const
{
    return d->db.errorString();
}

bool LogPruner::lastErrorIsTransient() const
{
    return d->db.lastErrorIsTransient();
}

bool LogPruner::countBefore(const QString &moment, qint64 *count, qint64 upToId)
{
    if (!d->db.failIfClosed())
        return false;
    Sqlite::Statement c(d->db.handle(),
                        "SELECT count(*) FROM SystemInfo WHERE datetime < ?1 AND id <= ?2");
    c.bind(1, moment).bind(2, upToId);
    const int rc = c.step();
    if (rc != SQLITE_ROW)
        return d->db.failCode(rc, QStringLiteral("cannot read"));
    *count = c.int64(0);
    return true;
}

int LogPruner::Private::deleteBatch(const QByteArray &moment, qint64 last, qint64 *from,
                                    qint64 *deleted, bool *done)
{
    const std::string_view stamp(moment.constData(), size_t(moment.size()));
    // Waits (busy timeout) for a writer's transaction, then keeps other writers out until the
    // commit: the batch's own length, a few tens of milliseconds.
    Sqlite::Transaction transaction(db.handle());
    if (transaction.rc() != SQLITE_OK)
        return transaction.rc();
    Sqlite::Statement end(db.handle(), "SELECT max(id) FROM (SELECT id FROM SystemInfo NOT INDEXED "
                                       "WHERE id >= ?1 AND id <= ?4 AND datetime < ?2 "
                                       "ORDER BY id LIMIT ?3)");
    end.bind(1, *from).bind(2, stamp).bind(3, qint64(kDeleteBatchRows)).bind(4, last);
    int rc = end.step();
    if (rc != SQLITE_ROW)
        return rc;
    *done = end.isNull(0);
    if (*done)
        return transaction.commit();
    const qint64 upTo = end.int64(0);
    Sqlite::Statement remove(
        db.handle(), "DELETE FROM SystemInfo WHERE id >= ?1 AND id <= ?2 AND datetime < ?3");
    remove.bind(1, *from).bind(2, upTo).bind(3, stamp);
    rc = remove.run();
    if (rc != SQLITE_DONE)
        return rc;
    const int changes = sqlite3_changes(db.handle());
    rc = transaction.commit();
    if (rc == SQLITE_OK) {
        *deleted += changes;
        // The highest id there can be ends the walk; *from would wrap round.
        *done = upTo == std::numeric_limits<qint64>::max();
        *from = upTo + (*done ? 0 : 1);
    }
    return rc;
}

bool LogPruner::deleteBefore(const QString &moment, qint64 *deleted, qint64 upToId)
{
    if (!d->db.failIfClosed())
        return false;
    *deleted = 0;
    const QByteArray stamp = moment.toUtf8();
    // The records stored once the prune has started are not its business: a writer that keeps
    // storing records stamped before the moment would otherwise be chased for ever. Nor are
    // those above `upToId`.
    qint64 last = 0;
    bool empty = false;
    const int top =
        Sqlite::readNumber(d->db.handle(), "SELECT max(id) FROM SystemInfo", &last, &empty);
    if (top != SQLITE_ROW)
        return d->db.failCode(top, QStringLiteral("cannot read"));
    if (empty)
        return true;
    // Other programs may have stored ids of 0 and below: from the lowest id there can be.
    qint64 from = std::numeric_limits<qint64>::min();
    for (;;) {
        QElapsedTimer clock;
        clock.start();
        bool done = false;
        const int rc = d->deleteBatch(stamp, std::min(last, upToId), &from, deleted, &done);
        if (rc != SQLITE_OK)
            return d->db.failCode(rc, QStringLiteral("cannot delete"));
        if (done)
            return true;
        // A writer that waited for this batch retries on its own schedule: leave the file
        // free at least as long as the batch held it.
        QThread::msleep(
            static_cast<unsigned long>(std::max<qint64>(kDeletePauseMs, clock.elapsed())));
    }
}

} // namespace SystemLog
