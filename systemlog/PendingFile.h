#pragma once

#include "LogTypes.h"
#include "QDBSqlite.h"

#include <QSqlError>
#include <QString>

#include <list>
#include <memory>

struct sqlite3;

namespace SystemLog {

// The side file: records that the log could not take for a while ("dbLog.db" held by another
// program beyond the busy timeout, a file that is no log, ...) wait in a second SQLite file
// beside it, "dbLog.pending.db", a log of the same table, with their logging times. A service
// whose log is ready moves them into it, oldest first, before its own records, and removes the
// file once it is empty.
//
// Moving is crash-safe: each transaction deletes records from the side file and inserts them
// into the log at once (SQLite commits both files atomically), so a record is never in both.
// A file removed by one process while another appends to it is noticed by the appender, which
// then writes into a new file: nothing lands in a removed file.
class PendingFile
{
public:
    explicit PendingFile(const QString &path);
    ~PendingFile();
    PendingFile(const PendingFile &) = delete;
    PendingFile &operator=(const PendingFile &) = delete;

    QString path() const { return m_path; }
    bool exists() const;

    // Appends the records in order, in one transaction. False, with the reason, when the file
    // cannot take them.
    bool append(std::list<LogQueueEntry>::const_iterator first,
                std::list<LogQueueEntry>::const_iterator last, QSqlError *error);

    enum class Move
    {
        Done,    // the file holds no records any more (or never existed)
        Partial, // the time budget ran out first: call again
        Failed,  // nothing more could be moved now; see *error
    };
    // Moves the file's records into the open log `log`, in order, for about `budgetMs`
    // milliseconds at most (<= 0: no limit), then removes the file once it is empty. *moved
    // counts the records moved.
    Move moveInto(QDBSqlite &log, int budgetMs, int *moved, QSqlError *error);

private:
    int moveChunk(sqlite3 *db, int *moved, bool *done, bool *logMoved);
    void removeIfEmpty();

    QString m_path;
    std::unique_ptr<QDBSqlite> m_appender; // kept open between appends
};

} // namespace SystemLog
