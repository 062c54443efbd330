#pragma once

#include "LogTypes.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

#include <list>
#include <utility>

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
        bool failed = false; // the transaction failed as a whole: nothing was stored
        QSqlError error;     // the first error met, if any
    };

    QDBSqlite(const QString &databaseName, const QString &userName, const QString &password);
    virtual ~QDBSqlite();

    // Opens the connection if needed and creates the table and its index when missing.
    // Returns false, with the reason in *error, when the file cannot serve as a log store.
    // A file that exists but is not a log database (an empty file included) is never written.
    bool createTable(QSqlError *error = nullptr);

    // Opens the connection (no schema work), for a second connection to a file already set up.
    bool openExisting(QSqlError *error = nullptr);

    // Stores one record in its own transaction. Returns false and fills *error on failure.
    bool insertLog(int type, const QString &message, QSqlError *error = nullptr);

    // Stores the records from `first` on in one transaction, in order. The batch stops early,
    // committing what it has, once `budgetMs` milliseconds have passed (<= 0: no limit);
    // `stored + rejected` records from `first` on were consumed. When the transaction fails as a
    // whole (`failed`), nothing was stored and the caller may try the same records again.
    BatchResult insertBatch(std::list<LogQueueEntry>::const_iterator first,
                            std::list<LogQueueEntry>::const_iterator last, int budgetMs);

    // Records of `type` stamped from startTime through endTime (both included), in insertion
    // order. On failure returns an empty list and sets *error to the driver's error.
    LogRowList selectLogs(QString startTime, QString endTime, int type, QSqlError *error = nullptr);
};

} // namespace SystemLog
