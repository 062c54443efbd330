#pragma once

#include "service/LogQueueEntry.h"
#include "spill/SegmentMover.h"
#include "spill/SegmentWriter.h"
#include "spill/SpillDir.h"

#include <QString>

#include <list>

struct sqlite3;

namespace SystemLog {

// The spill journal: records that the log cannot take for a while (beyond the memory bound,
// a log that is no log or refuses records, a stop while it is held) wait in plain append-only
// files in "dbLog.spill" beside it, one segment per writing process, and a service whose log is
// ready moves them into it. Nothing there is ever locked by a reader; see SegmentWriter,
// SegmentReader and SegmentMover for the files, their frames and the exactly-once move.
//
// The journal keeps within a disk bound: at most maxBytes in all its segments, and at least
// keepFreePercent of the file system left free; beyond that it takes no records.
class SpillJournal
{
public:
    static constexpr qint64 kDefaultMaxBytes = qint64(4) << 30;
    static constexpr int kDefaultKeepFreePercent = 5;

    explicit SpillJournal(const QString &path);
    ~SpillJournal();
    SpillJournal(const SpillJournal &) = delete;
    SpillJournal &operator=(const SpillJournal &) = delete;

    QString path() const { return m_dir.path(); }
    void setLimits(qint64 maxBytes, int keepFreePercent);

    // Appends the records from `first` on, in order, a bounded chunk per write and sync;
    // returns how many are in the journal now. *why says why the rest is not.
    int append(std::list<LogQueueEntry>::const_iterator first,
               std::list<LogQueueEntry>::const_iterator last, QString *why);

    // Whether this process's own segment holds records that are not in the log yet: they are
    // older than any record waiting in memory and go first.
    bool ownWaiting() const;
    // Moves this process's own records into the log `db` for about `budgetMs` milliseconds,
    // and removes its segment once they are all there.
    Spill::SegmentMove moveOwn(sqlite3 *db, int budgetMs);
    // Moves the segments of processes that have gone (their lock is free), oldest name first,
    // removes them, and tidies what such processes left (segments whose creation never ended,
    // marks of segments that are gone). Files that are provably no segment are set aside.
    Spill::SegmentMove moveOthers(sqlite3 *db, int budgetMs);
    // Ends this process's use of the journal: its segment is removed when the log holds all of
    // it, else left, unlocked, for the next service.
    void close(sqlite3 *db);

private:
    int openOwn(QString *why);
    bool withinBound(qint64 more, QString *why);
    qint64 othersBytes();
    void removeOwn(sqlite3 *db);
    // Moves one segment of another process; Done also when it was not to be moved now.
    Spill::SegmentMove moveOther(sqlite3 *db, const QString &name, int budgetMs);
    void saySkipped(const QString &name, const Spill::SegmentMove &move);

    Spill::SpillDir m_dir;
    Spill::SegmentWriter m_writer{m_dir};
    qint64 m_ownMovedTo = 0; // the own segment's bytes that the log holds
    qint64 m_maxBytes = kDefaultMaxBytes;
    int m_keepFreePercent = kDefaultKeepFreePercent;
    qint64 m_othersBytes = 0;
    qint64 m_othersBytesAtMs = -1;
    bool m_staleMarksChecked = false;
};

} // namespace SystemLog
