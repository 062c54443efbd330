#pragma once

#include <QSqlError>
#include <QString>

struct sqlite3;

namespace SystemLog::Spill {

class SpillDir;

// Moves the records of a segment into the log exactly once, in every journal mode of the log:
// the log remembers, in the same transaction as the rows it takes, up to which offset of which
// segment it has taken them (table SpillMarks). A segment is removed only once that mark is
// durable, and the mark is dropped only once the removal is (the directory synced after it), so
// that a kill at any point neither loses nor doubles a record.
struct SegmentMove
{
    enum class State
    {
        Done,    // every record up to the limit is in the log
        Partial, // the time budget ran out first: call again
        Failed,  // nothing more could be moved now; see error
    };
    State state = State::Failed;
    int moved = 0;         // records taken by the log
    int rejected = 0;      // records the log refused one by one (lost)
    QSqlError rejection;   // why, for the first of them
    QSqlError error;       // Failed: why
    bool logMoved = false; // Failed: the log was removed or replaced under its connection
    qint64 skipped = 0;    // damaged bytes skipped by what was taken
    qint64 skippedAt = -1; // where the last of them began
};

// Moves the records of the segment `name` of `dir`, open at `fd` (whose lock the caller holds),
// from the log's mark for it (or the further mark beside it, see TakenMark.h) on up to `limit`
// bytes, a bounded chunk per transaction, for about `budgetMs` milliseconds at most (<= 0: no
// limit).
SegmentMove moveSegment(sqlite3 *db, SpillDir &dir, const QString &name, int fd, qint64 limit,
                        int budgetMs);

// Drops the mark of a segment whose removal is durable: SQLITE_OK or the failure.
int dropMark(sqlite3 *db, const QString &name);

// Drops the marks of segments that are no longer in the directory: the directory is synced
// first, so that a removal that was not yet durable cannot bring a segment back without its
// mark. SQLITE_OK or the failure.
int dropStaleMarks(sqlite3 *db, SpillDir &dir);

} // namespace SystemLog::Spill
