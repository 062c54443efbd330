#pragma once

#include "LogTypes.h"
#include "service/LogQueueEntry.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

#include <list>
#include <utility>

struct sqlite3;

namespace SystemLog {

// One SQLite connection to the log file and the statements run against the table `SystemInfo`.
// A connection is used only in the thread that opened it.
class QDBSqlite : public QSqlDatabase
{
public:
    // What became of one record of a batch.
    enum class RecordOutcome
    {
        Stored,
        Rejected, // this record alone could not be stored (the batch goes on)
    };

    // Outcome of a batch insert.
    struct BatchResult
    {
        int stored = 0;      // records stored and committed
        int rejected = 0;    // records refused one by one (lost)
        bool failed = false; // the transaction failed as a whole: nothing was stored (also when
                             // the table refuses every record, see refusesRecords())
        bool moved = false;  // (failed) the file was removed or replaced since it was opened:
                             // the connection must be opened again
        QSqlError error;     // the first error met, if any
    };

    // Whether the file can take records now.
    enum class Readiness
    {
        Ready,
        Unavailable, // for now: busy, locked, an I/O error, a full disk, no permission, ...
        NotALog,     // never: a directory, not a database, a SystemInfo table of another shape
    };

    // When prepare() creates a missing index of the listings: at once, or later through
    // buildIndex() (on a large log that takes seconds, which a caller may spend elsewhere).
    enum class IndexBuild
    {
        Now,
        Later,
    };

    QDBSqlite(const QString &databaseName, const QString &userName, const QString &password);
    virtual ~QDBSqlite();

    // Opens the connection if needed and creates the table and its index when missing (a missing
    // or empty file becomes a new log). Says whether the file can take records now; the reason
    // when not is in *error. A file that is not a log is never written. Safe to call again after
    // a failure: the store tries once more.
    Readiness prepare(QSqlError *error = nullptr, IndexBuild index = IndexBuild::Now);
    // Whether the log holds its index of the listings (false also when that cannot be read).
    bool hasIndex();
    // Creates the index of the listings when missing; false with the reason in *error when it
    // cannot (busy, a read-only file, interrupted through sqlite3_interrupt on nativeHandle()).
    bool buildIndex(QSqlError *error = nullptr);
    // prepare() == Ready.
    bool createTable(QSqlError *error = nullptr);

    // Whether a failure with this error means the file can never hold the log (as opposed to a
    // file that is unavailable for now).
    static bool meansNotALog(const QSqlError &error);
    // Whether the error concerns the file or the connection as a whole rather than one record.
    static bool isStoreWide(const QSqlError &error);
    // Whether the error is another connection's lock on the file (busy or locked).
    static bool isBusy(const QSqlError &error);
    // Whether the error means that the log refuses every record for a reason of its table or
    // file (see Sqlite::refusedByTable): the records wait until it takes them again.
    static bool refusesRecords(const QSqlError &error);

    // How long a statement waits for another connection's lock before it fails (5000 ms unless
    // changed). Takes effect on an open connection.
    void setBusyTimeout(int ms);

    // SQLite's handle of this open connection, or null.
    sqlite3 *nativeHandle() const;
    // Whether the file of the connection's main database was removed or replaced since it was
    // opened (records written into it would be gone).
    static bool hasMoved(sqlite3 *handle);

    // Opens the connection (no schema work), for a second connection to a file already set up.
    bool openExisting(QSqlError *error = nullptr);

    // Stores one record in its own transaction. Returns false and fills *error on failure.
    bool insertLog(int type, const QString &message, QSqlError *error = nullptr);

    // Stores the records from `first` on in one transaction, in order, each stamped with the local
    // time of its loggedAt as "yyyy-MM-dd hh:mm:ss". The batch stops early,
    // committing what it has, once `budgetMs` milliseconds have passed (<= 0: no limit);
    // `stored + rejected` records from `first` on were consumed. When the transaction fails as a
    // whole (`failed`), nothing was stored and the caller may try the same records again.
    BatchResult insertBatch(std::list<LogQueueEntry>::const_iterator first,
                            std::list<LogQueueEntry>::const_iterator last, int budgetMs);

    // Records of `type` stamped from startTime through endTime (both included), in insertion
    // order. On failure returns an empty list and sets *error to the driver's error. With lastId,
    // the list and *lastId (the highest id in the table, 0 when empty) are read in one
    // transaction: every record of the selection stored later has a higher id.
    LogRowList selectLogs(QString startTime, QString endTime, int type, QSqlError *error = nullptr,
                          qint64 *lastId = nullptr);
};

} // namespace SystemLog
