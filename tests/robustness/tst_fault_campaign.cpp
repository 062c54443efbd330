// The fault campaign (see FaultCampaign.h): fixed seeds, and the schedules of the cases
// that once lost, stranded or hid records.

#include "FaultCampaign.h"
#include "TestLogFile.h"

#include <QTest>

using namespace Robustness;
using namespace Robustness::Campaign;

Q_DECLARE_METATYPE(Robustness::Campaign::Schedule)

namespace {

const QString kChild = QStringLiteral(ROBUSTNESS_SERVICE_CHILD);

// One round of services that log the same chunks, with events at boundaries.
Schedule oneRound(const QList<ServicePlan> &services, const QList<Chunk> &chunks,
                  const QMap<int, QList<Event>> &events, bool wal = false)
{
    Schedule schedule;
    schedule.wal = wal;
    schedule.rounds.append(Round{services, chunks, events, -1});
    return schedule;
}

Event lockEvent(LockMode mode, bool stopped = false)
{
    return Event{Event::Lock, mode, stopped};
}

const Event kUnlock{Event::Unlock, LockMode::Exclusive, false};

} // namespace

class FaultCampaignTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void schedule_data();
    void schedule();
};

void FaultCampaignTest::schedule_data()
{
    QTest::addColumn<Schedule>("schedule");
    // False: no record may be given up, not even counted.
    QTest::addColumn<bool>("mayLose");
    for (const quint32 seed : {44u, 101u, 582u, 3031u})
        QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(seed))) << scheduleOf(seed) << true;
    // Power cuts: what a service reported stored survives, whatever of the rest the disk drops.
    for (const quint32 seed : {5u, 8u, 20u, 1174u})
        QTest::newRow(qPrintable(QStringLiteral("power-cut seed %1").arg(seed)))
            << powerCutScheduleOf(seed) << true;

    using TestLogFile::heavyCount;
    const Chunk chunk{heavyCount(1200), 400};
    const QList<Chunk> steady{chunk, chunk, chunk, chunk};
    // A short lock beside a small memory bound: the records beyond it wait on disk, and the
    // lock never strands them there.
    QTest::newRow("short exclusive lock, 64 KiB bound")
        << oneRound({{1, QString(), 65536}}, steady,
                    {{1, {lockEvent(LockMode::Exclusive)}}, {3, {kUnlock}}})
        << true;
    QTest::newRow("stopped reader, two services, one with a 64 KiB bound")
        << oneRound({{1, QString(), 65536}, {2, QString(), 0}}, steady,
                    {{1, {lockEvent(LockMode::Shared, true)}}, {3, {kUnlock}}})
        << true;
    // A burst far beyond the bound is stored whole.
    QTest::newRow("burst beyond the bound")
        << oneRound({{1, QString(), 65536}}, {{heavyCount(20000), 0}}, {}) << true;
    // A kill where a commit removes its journal; another service finds the hot journal.
    QTest::newRow("killed at the journal's removal, beside another service")
        << oneRound({{1, QStringLiteral("delete:log:4:kill:1"), 0}, {2, QString(), 0}}, steady, {})
        << true;
    // The directory's sync fails after the journal is gone: the batch is in the log although
    // the commit reports an error.
    QTest::newRow("directory sync fails after the commit")
        << oneRound({{1, QStringLiteral("delete:log:3:ioerr:1"), 0}}, steady, {}) << true;
    QTest::newRow("disk full for a while, 64 KiB bound")
        << oneRound({{1, QStringLiteral("write:any:10:full:200"), 65536}}, steady, {}) << true;
    // The log refuses every insert for a reason of its table: the records wait, on disk.
    QTest::newRow("log refuses inserts for a while")
        << oneRound({{1, QString(), 0}}, steady,
                    {{1, {Event{Event::Refuse, LockMode::Exclusive, false}}},
                     {3, {Event{Event::Accept, LockMode::Exclusive, false}}}})
        << true;
    // Beside the services that write the new log, a connection left on the file moved away
    // must never take the new log's journal for its own.
    const Event replace{Event::Replace, LockMode::Exclusive, false};
    QTest::newRow("log replaced, then moved away, three services")
        << oneRound({{1, QString(), 0}, {2, QString(), 0}, {3, QString(), 0}}, steady,
                    {{1, {replace}}, {3, {Event{Event::MoveAway, LockMode::Exclusive, false}}}})
        << true;
    // Records spilled under a lock are being moved when the log is replaced, twice: each is in
    // one of the logs, once.
    QTest::newRow("log replaced twice while spilled records move, two services")
        << oneRound(
               {{1, QString(), 65536}, {2, QString(), 65536}}, steady,
               {{1, {lockEvent(LockMode::Exclusive)}}, {2, {kUnlock, replace}}, {3, {replace}}})
        << true;
    QTest::newRow("WAL log, reserved lock held through the release")
        << oneRound({{1, QString(), 65536}}, {{heavyCount(800), 300}, {heavyCount(800), 300}},
                    {{1, {lockEvent(LockMode::Reserved)}}}, true)
        << true;
    // An old side file whose move is killed while its journal is written, then torn: it is set
    // aside with its journal, and nothing of it stays at its name.
    Schedule oldSideFile = oneRound({{1, QStringLiteral("write:side:58:kill:200"), 65536}},
                                    {{398, 605}, {161, 641}, {268, 512}}, {});
    oldSideFile.oldSideFile = 712;
    oldSideFile.rounds[0].tearAt = 0.756;
    oldSideFile.rounds.append(Round{{{2, QString(), 65536}}, {{226, 640}, {433, 276}}, {}, -1});
    QTest::newRow("old side file killed mid-move, then torn") << oldSideFile << true;
    // The journal cannot be written while the log takes records: they go to the log, none is
    // given up.
    QTest::newRow("spill fails beyond the bound, the log takes records")
        << oneRound({{1, QStringLiteral("spillwrite:any:1:full:200"), 65536}},
                    {{heavyCount(20000), 0}}, {})
        << false;
}

void FaultCampaignTest::schedule()
{
    QFETCH(Schedule, schedule);
    QFETCH(bool, mayLose);
    const Outcome outcome = run(schedule, kChild);
    qInfo("%s\n%s", qPrintable(schedule.text()), qPrintable(outcome.tally.table()));
    QVERIFY2(outcome.failures.isEmpty(),
             qPrintable(schedule.text() + QStringLiteral("\n") + outcome.failures.join('\n')));
    QVERIFY2(mayLose || outcome.tally.lostByReason.isEmpty(), qPrintable(outcome.tally.table()));
}

QTEST_GUILESS_MAIN(FaultCampaignTest)
#include "tst_fault_campaign.moc"
