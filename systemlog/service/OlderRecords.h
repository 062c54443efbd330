#pragma once

#include "spill/SpillJournal.h"
#include "store/PendingFile.h"

#include <QSqlError>

namespace SystemLog {

class QDBSqlite;
class WriterReports;

// The records that are older than any waiting in memory, and how they go into the log: an old
// side file left by an earlier version (oldest of all), this process's own records in the spill
// journal, and the segments of processes that have gone. Each move is said once it is done.
class OlderRecords
{
public:
    explicit OlderRecords(WriterReports &reports);
    ~OlderRecords();
    OlderRecords(const OlderRecords &) = delete;
    OlderRecords &operator=(const OlderRecords &) = delete;

    SpillJournal &spill() { return m_spill; }

    struct Outcome
    {
        bool wrote = false;    // records went into the log
        bool waiting = false;  // older records are not all in the log yet: newer ones wait
        bool failed = false;   // the log failed (see error): newer records cannot go either
        bool logMoved = false; // the log was removed or replaced under its connection
        QSqlError error;
    };
    // Moves older records into the ready log `db` for about `budgetMs`: this process's own
    // spilled records every cycle, the old side file and other processes' segments when
    // `lookAround` (once a second, or at once while they are being moved).
    Outcome move(QDBSqlite &db, int budgetMs, bool lookAround);
    // Whether records of others are being moved, so that the next cycle should look again.
    bool othersMoving() const { return m_othersMoving; }

    // Newer records were stored from `firstId` on while the old side file could not be moved:
    // said once, with where the order is broken.
    void storedAhead(long long firstId);
    // Ends the run: this process's segment goes when the log holds all of it.
    void close(QDBSqlite &db);

private:
    bool moveOldSideFile(QDBSqlite &db, int budgetMs, Outcome *out);
    void takeSpilled(const Spill::SegmentMove &move, Outcome *out, bool own);
    void sayMoved(const QString &from, long long *count, bool done);

    WriterReports &m_reports;
    PendingFile m_oldSideFile;
    SpillJournal m_spill;
    bool m_oldSideFileBlocked = false; // another program holds it
    QSqlError m_oldSideFileError;
    bool m_storedAheadSaid = false;
    bool m_othersMoving = false;
    long long m_oldMovedUnsaid = 0;
    long long m_spillMovedUnsaid = 0;
};

// Removes super-journals ("dbLog.db-mj<random>") that a kill during a move out of the old side
// file left behind, once no journal names them.
void removeStaleSuperJournals();

} // namespace SystemLog
