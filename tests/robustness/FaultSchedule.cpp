// The campaign's schedules: what a seed chooses, and how a schedule and a tally are written out.

#include "FaultCampaign.h"
#include "FaultInjection.h"

#include <random>

namespace Robustness::Campaign {

namespace {

const char *const kModeNames[] = {"shared", "reserved", "exclusive"};

// The seed's choices, from std::mt19937 alone, so that they are the same on every machine.
class Choice
{
public:
    explicit Choice(quint32 seed) : m_random(seed) {}
    int below(int n) { return int(m_random() % quint32(n)); }
    int between(int low, int high) { return low + below(high - low + 1); }
    bool chance(int percent) { return below(100) < percent; }

private:
    std::mt19937 m_random;
};

QString faultsOf(Choice &c)
{
    if (!c.chance(65))
        return QString();
    using P = FaultPlan::Point;
    FaultPlan plan;
    const int point = c.below(115);
    plan.point = point < 40    ? P::Write
                 : point < 65  ? P::Sync
                 : point < 90  ? P::Delete
                 : point < 100 ? P::Truncate
                               : P(int(P::SpillWrite) + (point - 100) / 5);
    plan.files = FaultPlan::Files(c.below(3));
    const int scales[] = {3, 20, 100, 400};
    plan.nth = 1 + c.below(scales[c.below(4)]);
    plan.action = FaultPlan::Action(c.below(3));
    const int counts[] = {1, 1, 3, 20, 200};
    plan.count = counts[c.below(5)];
    return plan.text();
}

// One event at a boundary: the lock that is held goes, or something else happens.
Event eventOf(Choice &c, bool wal, bool *locked, bool *refused)
{
    Event e;
    if (*locked) {
        e.kind = Event::Unlock;
        *locked = false;
        return e;
    }
    // Moving a log in WAL mode would leave its newest pages behind in "dbLog.db-wal": a program
    // that moves a log does not do that.
    const int what = c.below(wal ? 5 : 7);
    if (what < 3) {
        e.kind = Event::Lock;
        e.mode = LockMode(c.below(3));
        e.stopped = c.chance(35);
        *locked = true;
    } else if (what < 5) {
        e.kind = *refused ? Event::Accept : Event::Refuse;
        *refused = !*refused;
    } else {
        e.kind = what == 5 ? Event::MoveAway : Event::Replace;
    }
    return e;
}

Round roundOf(Choice &c, bool wal, int *nextRun)
{
    Round round;
    const int services = c.chance(50) ? 1 : c.chance(60) ? 2 : 3;
    for (int i = 0; i < services; ++i) {
        ServicePlan plan;
        plan.run = (*nextRun)++;
        plan.faults = faultsOf(c);
        plan.memoryLimit = c.chance(50) ? 65536 : 0;
        round.services.append(plan);
    }
    const int chunks = c.between(2, 5);
    for (int i = 0; i < chunks; ++i)
        round.chunks.append({c.between(50, 600), c.between(100, 700)});
    bool locked = false, refused = false;
    for (int k = 0; k <= chunks; ++k) {
        if (c.chance(45))
            round.events[k].append(eventOf(c, wal, &locked, &refused));
    }
    // A lock still held goes once the services have ended, so that they release while locked.
    if (locked && c.chance(60))
        round.events[chunks].append(Event{Event::Unlock, LockMode::Exclusive, false});
    round.tearAt = c.chance(35) ? c.below(1000) / 1000.0 : -1;
    return round;
}

// The operation before which the power goes: any write, sync or removal of the service's files.
QString powerCutOf(Choice &c)
{
    if (!c.chance(85))
        return QString();
    const char *const points[] = {"any", "any", "write", "sync", "remove"};
    const int scales[] = {40, 300, 1500};
    return QStringLiteral("%1:%2:%3:%4")
        .arg(QLatin1String(points[c.below(5)]))
        .arg(1 + c.below(scales[c.below(3)]))
        .arg(c.chance(50) ? QStringLiteral("all") : QStringLiteral("some"))
        .arg(c.below(1 << 30));
}

QString eventText(const Event &e)
{
    switch (e.kind) {
    case Event::Lock:
        return QStringLiteral("lock %1%2")
            .arg(QLatin1String(kModeNames[int(e.mode)]),
                 e.stopped ? QStringLiteral(" stopped") : QString());
    case Event::Unlock:
        return QStringLiteral("unlock");
    case Event::MoveAway:
        return QStringLiteral("move the log away");
    case Event::Replace:
        return QStringLiteral("replace the log");
    case Event::Refuse:
        return QStringLiteral("refuse inserts");
    case Event::Accept:
        return QStringLiteral("accept inserts");
    }
    return QString();
}

} // namespace

QString modeName(LockMode mode)
{
    return QLatin1String(kModeNames[int(mode)]);
}

Schedule scheduleOf(quint32 seed)
{
    Choice c(seed);
    Schedule schedule;
    schedule.seed = seed;
    schedule.wal = c.chance(25);
    int nextRun = 1;
    const int rounds = c.between(1, 3);
    for (int i = 0; i < rounds; ++i)
        schedule.rounds.append(roundOf(c, schedule.wal, &nextRun));
    schedule.oldSideFile = c.chance(25) ? c.between(50, 800) : 0;
    return schedule;
}

Schedule powerCutScheduleOf(quint32 seed)
{
    // A generator of its own: the schedules of scheduleOf stay what they are.
    Choice c(seed ^ 0x5eed0c07u);
    Schedule schedule;
    schedule.seed = seed;
    schedule.wal = c.chance(25);
    int nextRun = 1;
    const int rounds = c.between(1, 3);
    for (int r = 0; r < rounds; ++r) {
        Round round;
        ServicePlan plan;
        plan.run = nextRun++;
        plan.memoryLimit = c.chance(50) ? 65536 : 0;
        plan.powerCut = powerCutOf(c);
        round.services.append(plan);
        const int chunks = c.between(2, 4);
        for (int i = 0; i < chunks; ++i)
            round.chunks.append({c.between(50, 600), c.between(100, 500)});
        // Locks only: a process that writes would sync the files behind the cut's back.
        bool locked = false;
        for (int k = 1; k < chunks; ++k) {
            if (!c.chance(40))
                continue;
            Event e;
            e.kind = locked ? Event::Unlock : Event::Lock;
            e.mode = LockMode(c.below(3));
            e.stopped = c.chance(35);
            locked = !locked;
            round.events[k].append(e);
        }
        if (locked)
            round.events[chunks].append(Event{Event::Unlock, LockMode::Exclusive, false});
        schedule.rounds.append(round);
    }
    schedule.oldSideFile = c.chance(25) ? c.between(50, 800) : 0;
    return schedule;
}

QString Schedule::text() const
{
    QStringList lines{
        QStringLiteral("seed %1%2%3")
            .arg(seed)
            .arg(wal ? " (WAL)" : "")
            .arg(oldSideFile ? QStringLiteral(", an old side file of %1 records").arg(oldSideFile)
                             : QString())};
    for (int r = 0; r < rounds.size(); ++r) {
        const Round &round = rounds[r];
        QStringList services, chunks;
        for (const ServicePlan &s : round.services)
            services << QStringLiteral("[run %1%2%3%4]")
                            .arg(s.run)
                            .arg(s.faults.isEmpty() ? QString()
                                                    : QStringLiteral(" faults ") + s.faults)
                            .arg(s.memoryLimit ? QStringLiteral(" limit %1").arg(s.memoryLimit)
                                               : QString())
                            .arg(s.powerCut.isEmpty() ? QString()
                                                      : QStringLiteral(" power cut ") + s.powerCut);
        for (const Chunk &chunk : round.chunks)
            chunks << QStringLiteral("%1/%2ms").arg(chunk.records).arg(chunk.ms);
        lines << QStringLiteral("round %1: %2; chunks %3")
                     .arg(r + 1)
                     .arg(services.join(' '), chunks.join(' '));
        for (auto it = round.events.cbegin(); it != round.events.cend(); ++it) {
            QStringList events;
            for (const Event &e : it.value())
                events << eventText(e);
            lines
                << QStringLiteral("  before chunk %1: %2").arg(it.key() + 1).arg(events.join(", "));
        }
        if (round.tearAt >= 0)
            lines << QStringLiteral("  after the round: tear at %1").arg(round.tearAt);
    }
    return lines.join(QLatin1Char('\n'));
}

void Tally::add(const Tally &o)
{
    schedules += o.schedules;
    failed += o.failed;
    services += o.services;
    kills += o.kills;
    faulted += o.faulted;
    for (auto it = o.locks.cbegin(); it != o.locks.cend(); ++it)
        locks[it.key()] += it.value();
    moves += o.moves;
    replaces += o.replaces;
    refusals += o.refusals;
    tears += o.tears;
    powerCuts += o.powerCuts;
    durableBeforeCut += o.durableBeforeCut;
    durableMissing += o.durableMissing;
    logged += o.logged;
    stored += o.stored;
    lostAtKill += o.lostAtKill;
    lostTorn += o.lostTorn;
    doubled += o.doubled;
    outOfOrder += o.outOfOrder;
    for (auto it = o.lostByReason.cbegin(); it != o.lostByReason.cend(); ++it)
        lostByReason[it.key()] += it.value();
}

QString Tally::table() const
{
    QStringList rows;
    const auto row = [&rows](const QString &name, qlonglong value) {
        rows << QStringLiteral("| %1 | %2 |").arg(name).arg(value);
    };
    rows << QStringLiteral("| | |") << QStringLiteral("|---|---:|");
    row(QStringLiteral("schedules"), schedules);
    row(QStringLiteral("schedules failed"), failed);
    row(QStringLiteral("services run"), services);
    row(QStringLiteral("services killed at a fault point"), kills);
    row(QStringLiteral("services with failing writes/syncs (full, I/O error)"), faulted);
    for (auto it = locks.cbegin(); it != locks.cend(); ++it)
        row(QStringLiteral("locks held: %1").arg(it.key()), it.value());
    row(QStringLiteral("logs moved away"), moves);
    row(QStringLiteral("logs replaced by a new one"), replaces);
    row(QStringLiteral("refusing triggers"), refusals);
    row(QStringLiteral("side files or segments torn"), tears);
    row(QStringLiteral("power cuts"), powerCuts);
    row(QStringLiteral("records logged"), logged);
    row(QStringLiteral("stored exactly once"), stored);
    for (auto it = lostByReason.cbegin(); it != lostByReason.cend(); ++it)
        row(QStringLiteral("lost, counted: %1").arg(it.key()), it.value());
    row(QStringLiteral("lost at a kill (newest of the run, in memory)"), lostAtKill);
    row(QStringLiteral("lost in a tear (waiting outside the log)"), lostTorn);
    row(QStringLiteral("reported stored by a service before its power cut"), durableBeforeCut);
    row(QStringLiteral("of them missing at the end"), durableMissing);
    row(QStringLiteral("doubled"), doubled);
    row(QStringLiteral("stored after a newer record of the run"), outOfOrder);
    return rows.join(QLatin1Char('\n'));
}

} // namespace Robustness::Campaign
