#pragma once

#include "LogTypes.h"
#include "store/QDBSqlite.h"

#include <QSqlError>
#include <QString>

namespace SystemLog {

// The side file of earlier versions: records that the log could not take waited in a second
// SQLite file beside it, "dbLog.pending.db", a log of the same table, with their logging times.
// Nothing new is ever written in that format (the spill journal took its place); a file left by
// an earlier version is moved into the log, oldest first, and removed once it is empty.
//
// Moving is exactly once in every journal mode. SQLite commits the two files together only
// when both keep a rollback journal; in WAL mode (which other programs may switch the log to)
// each file commits on its own. So the log remembers, in the same transaction as the rows it
// takes, up to which id it has taken the records of this side file (known by a token of its
// own, table SideFile): records up to that id that are still in the side file after a crash
// (of this version or of the earlier one) are deleted, never moved again.
//
// A file that is provably no usable side file (not a database, a table of another shape, an id
// that is not an integer key) is renamed aside to "dbLog.pending.db.bad-<time>", untouched; a
// lock of either file is waited out.
class PendingFile
{
public:
    explicit PendingFile(const QString &path);
    PendingFile(const PendingFile &) = delete;
    PendingFile &operator=(const PendingFile &) = delete;

    QString path() const { return m_path; }
    bool exists() const;

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
};

} // namespace SystemLog
