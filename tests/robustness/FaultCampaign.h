#pragma once

// The fault campaign: schedules of faults chosen by a seed, run against the real service in child
// processes, each followed by a check of every record logged.
//
// A schedule is one or more rounds. In a round one to three services log numbered records into
// one directory, chunk by chunk, each with faults of its own at named points of its I/O (see
// FaultInjection.h) and perhaps a small memory bound; between chunks other programs act on the
// directory: a process holds a shared, reserved or exclusive lock on "dbLog.db" (perhaps stopped
// by SIGSTOP while it holds it), the log is moved away or replaced by a new one, a trigger makes
// the log refuse every record and is dropped again. After a round, a side file or spill segment
// that is left may be torn (truncated at a byte of the seed's choice); a side file of an earlier
// version may wait in the directory from the start. Once the faults are gone a
// last service runs to a clean release(), and then:
//   - every record is in the log (or in a log moved away by the campaign) exactly once, whole,
//     or counted lost by its service, which says why;
//   - only a kill loses records nobody counted, and only the newest of that run: below the newest
//     record stored of a run, every missing one is counted lost;
//   - a tear may lose only the records that were waiting outside the log when it was done;
//   - nothing is left in a side file, a spill segment or a file set aside (one a tear made may
//     stay set aside), and "dbLog.db" passes SQLite's quick check.
// The schedule is the same for a seed on every run (std::mt19937, no clock); when the interleaving
// of the processes differs, the schedule does not.

#include "RobustnessSupport.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace Robustness::Campaign {

enum class LockMode
{
    Shared,
    Reserved,
    Exclusive,
};

QString modeName(LockMode mode);

struct Event
{
    enum Kind
    {
        Lock,     // a process takes `mode` on "dbLog.db" and holds it (stopped: then SIGSTOP)
        Unlock,   // it goes on (SIGCONT) and lets go
        MoveAway, // the log is moved out of the directory, under an exclusive lock of its own
        Replace,  // the same, and a new empty log takes its place
        Refuse,   // a trigger of another program makes the log refuse every insert
        Accept,   // the trigger is dropped
    };
    Kind kind = Lock;
    LockMode mode = LockMode::Exclusive;
    bool stopped = false;
};

struct ServicePlan
{
    ServicePlan(int run = 0, const QString &faults = QString(), qint64 memoryLimit = 0,
                const QString &powerCut = QString())
        : run(run), faults(faults), memoryLimit(memoryLimit), powerCut(powerCut)
    {
    }
    int run = 0;            // the run number in its records
    QString faults;         // a FaultPlan text, empty: none
    qint64 memoryLimit = 0; // 0: the service's default
    // A power cut (PowerCut.cpp's POWERCUT_PLAN, "POINT:N:DROP:SEED"), empty: none. The service
    // reports which records it knows stored; each of them must be in the log at the end.
    QString powerCut;
};

struct Chunk
{
    int records = 0;
    int ms = 0; // spread over this long
};

struct Round
{
    QList<ServicePlan> services;
    QList<Chunk> chunks;
    // At boundary k: before chunk k (0: before the services start; chunks.size(): before they
    // release).
    QMap<int, QList<Event>> events;
    double tearAt = -1; // after the round, cut a side file or segment at this share of its size
};

struct Schedule
{
    quint32 seed = 0;
    bool wal = false; // the log is in WAL mode from the start
    QList<Round> rounds;
    // Records of run 0 in a side file "dbLog.pending.db" from the start, as an earlier version
    // leaves it (0: none).
    int oldSideFile = 0;

    QString text() const;
};

// The schedule of a seed.
Schedule scheduleOf(quint32 seed);
// A schedule of power cuts for a seed: one service at a time, each perhaps cut at an operation
// of the seed's choice, beside locks of other programs (which write nothing), in either journal
// mode, perhaps with an old side file.
Schedule powerCutScheduleOf(quint32 seed);

// What one or more schedules did.
struct Tally
{
    int schedules = 0;
    int failed = 0;
    int services = 0;
    int kills = 0;
    int faulted = 0;          // services with a fault that is not a kill
    QMap<QString, int> locks; // by mode, "stopped" ones also apart
    int moves = 0, replaces = 0, refusals = 0, tears = 0;
    int powerCuts = 0;
    long long durableBeforeCut = 0; // records reported stored by services the power cut
    long long durableMissing = 0;   // of them, not in the log at the end
    long long logged = 0, stored = 0, lostAtKill = 0, lostTorn = 0, doubled = 0;
    long long outOfOrder = 0; // records stored after a newer one of their run
    QMap<QString, long long> lostByReason;

    void add(const Tally &other);
    // The table of the benchmark.
    QString table() const;
};

struct Outcome
{
    QStringList failures; // empty: the invariant holds
    Tally tally;
};

// Runs the schedule with the service child `child` in a fresh directory. When it fails and
// `keepIn` is given, the directory and the logs moved away are copied below keepIn/seed-<seed>.
Outcome run(const Schedule &schedule, const QString &child, const QString &keepIn = QString());

} // namespace Robustness::Campaign
