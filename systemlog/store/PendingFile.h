#pragma once

#include "LogTypes.h"
#include "service/LogQueueEntry.h"
#include "store/QDBSqlite.h"

#include <QSqlError>
#include <QString>

#include <list>
#include <memory>

namespace SystemLog {

// The side file: records that the log could not take for a while ("dbLog.db" held by another
// program beyond the busy timeout, a file that is no log, ...) wait in a second SQLite file
// beside it, "dbLog.pending.db", a log of the same table, with their logging times. A service
// whose log is ready moves them into it, oldest first, and removes the file once it is empty.
//
// Moving is exactly once in every journal mode. SQLite commits the two files together only
// when both keep a rollback journal; in WAL mode (which other programs may switch the log to)
// each file commits on its own. So the log remembers, in the same transaction as the rows it
// takes, up to which id it has taken the records of this side file (known by a token of its
// own, table SideFile): records up to that id that are still in the side file after a crash
// are deleted, never moved again.
//
// A file that is not a usable side file (not a database, a table of another shape, an id that
// is not an integer key) is renamed aside to "dbLog.pending.db.bad-<time>", untouched, and a
// new one takes the records.
//
// Another program may hold the file (a reader paused in its rows keeps it from being changed):
// every transaction waits only a short while for it and handles a bounded number of records.
class PendingFile
{
public:
    explicit PendingFile(const QString &path);
    ~PendingFile();
    PendingFile(const PendingFile &) = delete;
    PendingFile &operator=(const PendingFile &) = delete;

    QString path() const { return m_path; }
    bool exists() const;

    // Appends the records from `first` on, in order, in one transaction of a bounded number of
    // them. Returns how many it took: *stored of them were appended, the rest refused one by one
    // (*error says why); 0 when the file cannot take records now (*error says why).
    int append(std::list<LogQueueEntry>::const_iterator first,
               std::list<LogQueueEntry>::const_iterator last, int *stored, QSqlError *error);

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

    // Whether another connection holds the file now (a reader in the middle of its rows, a
    // writer), so that it cannot be written; false when it is free or missing.
    bool heldByOther() const;

private:
    bool openAppender(QSqlError *error);
    Move moveAttached(sqlite3 *db, const QString &logName, int budgetMs, int *moved,
                      QSqlError *error);
    static int tokenOf(sqlite3 *db, QByteArray *token);
    static int moveChunk(sqlite3 *db, const QByteArray &token, int *moved, bool *done,
                         bool *logMoved);
    // Whether the file, read on its own connection, is provably no usable side file: SQLITE_OK
    // with *why empty when it is sound, with *why set when it is not; a failure (a lock, say)
    // proves nothing.
    int provenDamaged(QString *why) const;
    bool setAside(const QString &why);
    void removeIfEmpty();

    QString m_path;
    std::unique_ptr<QDBSqlite> m_appender; // kept open between appends
};

} // namespace SystemLog
