// Runs one schedule of the campaign in a directory of its own and checks every record it logged.

#include "FaultCampaign.h"

#include "ScratchDir.h"
#include "TestLogFile.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <csignal>
#include <memory>

#include <signal.h>

namespace Robustness::Campaign {

namespace {

const QString kLog = QStringLiteral("dbLog.db");
const QString kSpill = QStringLiteral("dbLog.spill");

// What became of one service: its plan and what it said.
struct Ran
{
    int run = 0;
    bool faulted = false;
    ChildResult result;
    bool killed = false;
    long long logged = 0;
    long long lost = 0; // counted by the service
    QMap<QString, long long> lostByReason;
};

// The numbered records found in the logs: per run, per number, how often.
using Found = QMap<int, QMap<long long, int>>;

// Whether the file holds the log's table; a file that a service created and could not set up
// (a failing disk) holds none.
bool hasLogTable(const QString &path, QString *why)
{
    bool has = false;
    TestLogFile::withConnection(path, [&](QSqlDatabase &db) {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("SELECT 1 FROM sqlite_master WHERE name = 'SystemInfo'")))
            *why = query.lastError().text();
        has = query.next();
        return true;
    });
    return has;
}

// The records of a log in the order of their ids; *why says why it cannot be read.
QList<StoredRecord> readRecords(const QString &path, QString *why)
{
    QList<StoredRecord> records;
    if (!QFileInfo::exists(path) || !hasLogTable(path, why))
        return records;
    TestLogFile::withConnection(path, [&](QSqlDatabase &db) {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("SELECT datetime, type, message FROM SystemInfo ORDER BY "
                                       "id")))
            *why = query.lastError().text();
        while (query.next())
            records.append(
                {query.value(0).toString(), query.value(1).toInt(), query.value(2).toString()});
        return true;
    });
    return records;
}

// "SystemLog: N log records lost: why", the why without its details.
void countLost(Ran *ran)
{
    static const QRegularExpression line(
        QStringLiteral("^SystemLog: (\\d+) log records lost: (.*)$"),
        QRegularExpression::MultilineOption);
    static const QRegularExpression details(QStringLiteral("\\([^()]*\\)|\\d+"));
    auto it = line.globalMatch(QString::fromUtf8(ran->result.err));
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        ran->lost += m.captured(1).toLongLong();
        ran->lostByReason[m.captured(2).replace(details, QStringLiteral("…"))] +=
            m.captured(1).toLongLong();
    }
    // A kill says what was counted until then, said or not.
    const long long beforeKill = ran->result.value(QStringLiteral("lost")).toLongLong();
    if (ran->killed && beforeKill > ran->lost) {
        ran->lostByReason[QStringLiteral("counted, not yet said at the kill")] +=
            beforeKill - ran->lost;
        ran->lost = beforeKill;
    }
}

class Execution
{
public:
    Execution(const Schedule &schedule, const QString &child) : m_schedule(schedule), m_child(child)
    {
    }

    Outcome go()
    {
        m_out.tally.schedules = 1;
        if (!m_ws.isValid() || !m_aside.isValid()) {
            fail(QStringLiteral("no scratch directory"));
            return m_out;
        }
        if (m_schedule.wal &&
            (!writeLogFile(m_ws.filePath(kLog), {}) ||
             !execOnFile(m_ws.filePath(kLog), {QStringLiteral("PRAGMA journal_mode=WAL")})))
            fail(QStringLiteral("cannot make the log in WAL mode"));
        if (m_schedule.oldSideFile > 0)
            writeOldSideFile(m_schedule.oldSideFile);
        int lastRun = 0;
        for (const Round &round : m_schedule.rounds) {
            runRound(round);
            lastRun = round.services.last().run;
        }
        // The last service: no faults, nobody else in the directory.
        runServices({ServicePlan{lastRun + 1, QString(), 0}}, {{20, 0}}, {},
                    QStringList{QStringLiteral("moved")});
        check();
        m_out.tally.failed = m_out.failures.isEmpty() ? 0 : 1;
        return m_out;
    }

private:
    void fail(const QString &why) { m_out.failures << why; }

    // Numbered records of run 0, as an earlier version of the service left them waiting.
    void writeOldSideFile(int count)
    {
        QList<StoredRecord> records;
        for (int seq = 0; seq < count; ++seq)
            records.append({QStringLiteral("2024-03-15 08:00:00"), numberedType(seq),
                            QString::fromUtf8(numberedMessage(0, seq))});
        if (!writeLogFile(m_ws.filePath(QStringLiteral("dbLog.pending.db")), records))
            fail(QStringLiteral("cannot write the old side file"));
        Ran ran;
        ran.logged = count;
        m_ran.append(ran);
    }

    void runRound(const Round &round)
    {
        runServices(round.services, round.chunks, round.events, QStringList());
        if (m_holder)
            unlock();
        if (m_refused)
            changeTrigger(false);
        if (round.tearAt >= 0)
            tear(round.tearAt);
    }

    static QStringList commandsOf(const ServicePlan &plan, const QList<Chunk> &chunks,
                                  const QStringList &beforeRelease)
    {
        QStringList commands;
        if (!plan.faults.isEmpty())
            commands << QStringLiteral("faults") << plan.faults;
        if (plan.memoryLimit > 0)
            commands << QStringLiteral("limit") << QString::number(plan.memoryLimit);
        commands << QStringLiteral("start");
        for (const Chunk &chunk : chunks)
            commands << QStringLiteral("numbered") << QString::number(plan.run)
                     << QString::number(chunk.records) << QString::number(chunk.ms)
                     << QStringLiteral("input");
        return commands << beforeRelease << QStringLiteral("release");
    }

    // The services log chunk by chunk; between chunks (and before the first and after the last)
    // the events of that boundary happen while every service waits.
    void runServices(const QList<ServicePlan> &plans, const QList<Chunk> &chunks,
                     const QMap<int, QList<Event>> &events, const QStringList &beforeRelease)
    {
        for (const Event &e : events.value(0))
            act(e);
        std::vector<std::unique_ptr<RunningChild>> children;
        for (const ServicePlan &plan : plans)
            children.push_back(std::make_unique<RunningChild>(
                m_child, commandsOf(plan, chunks, beforeRelease), m_ws));
        for (int k = 1; k <= chunks.size(); ++k) {
            for (auto &child : children) {
                if (!child->waitFor(QStringLiteral("logged"), k) && child->running())
                    fail(QStringLiteral("a service did not log its chunk %1").arg(k));
            }
            for (const Event &e : events.value(k))
                act(e);
            for (auto &child : children)
                child->send(QByteArray());
        }
        for (std::size_t i = 0; i < children.size(); ++i)
            finished(plans[int(i)], children[i]->finish());
    }

    void finished(const ServicePlan &plan, const ChildResult &result)
    {
        Ran ran;
        ran.run = plan.run;
        ran.result = result;
        ran.killed = !result.value(QStringLiteral("killed")).isNull() &&
                     result.exitStatus == QProcess::CrashExit;
        ran.faulted = !plan.faults.isEmpty() && !ran.killed;
        ran.logged = result.value(QStringLiteral("logged")).toLongLong();
        countLost(&ran);
        if (!ran.killed && !result.ranToEnd())
            fail(
                QStringLiteral("run %1 did not end well: %2").arg(plan.run).arg(result.describe()));
        m_out.tally.services += 1;
        m_out.tally.kills += ran.killed ? 1 : 0;
        m_out.tally.faulted += ran.faulted ? 1 : 0;
        m_ran.append(ran);
    }

    void act(const Event &e)
    {
        switch (e.kind) {
        case Event::Lock:
            lock(e);
            break;
        case Event::Unlock:
            if (m_holder)
                unlock();
            break;
        case Event::MoveAway:
        case Event::Replace:
            moveLogAway(e.kind == Event::Replace);
            break;
        case Event::Refuse:
        case Event::Accept:
            changeTrigger(e.kind == Event::Refuse);
            break;
        }
    }

    // Another process takes the lock (trying again until it has it) and holds it.
    void lock(const Event &e)
    {
        m_holder = std::make_unique<RunningChild>(
            m_child, QStringList{QStringLiteral("hold"), modeName(e.mode), kLog}, m_ws);
        if (!m_holder->waitFor(QStringLiteral("locked"))) {
            fail(QStringLiteral("the %1 lock was never had: %2")
                     .arg(modeName(e.mode), m_holder->finish().describe()));
            m_holder.reset();
            return;
        }
        m_holderStopped = e.stopped && ::kill(pid_t(m_holder->pid()), SIGSTOP) == 0;
        m_out.tally.locks[modeName(e.mode)] += 1;
        if (m_holderStopped)
            m_out.tally.locks[QStringLiteral("(of them stopped while holding)")] += 1;
    }

    void unlock()
    {
        if (m_holderStopped)
            ::kill(pid_t(m_holder->pid()), SIGCONT);
        m_holder->send(QByteArray());
        const ChildResult r = m_holder->finish();
        if (!r.ranToEnd())
            fail(QStringLiteral("the lock holder did not end well: %1").arg(r.describe()));
        m_holder.reset();
        m_holderStopped = false;
    }

    // As a program that rotates the log does it: under an exclusive lock of its own, so that no
    // writer is in the middle of a transaction (whose journal would be left at the old name).
    void moveLogAway(bool replace)
    {
        const QString log = m_ws.filePath(kLog);
        if (!QFileInfo::exists(log))
            return;
        TestFiles::FileLock lock(log);
        QDeadlineTimer guard(kHangGuardMs);
        while (!lock.lock() && !guard.hasExpired())
            QThread::msleep(2);
        const QString aside =
            m_aside.filePath(QStringLiteral("moved-%1.db").arg(m_asideLogs.size()));
        if (guard.hasExpired() || !QFile::rename(log, aside)) {
            fail(QStringLiteral("cannot move the log away"));
            return;
        }
        m_asideLogs << aside;
        m_out.tally.moves += replace ? 0 : 1;
        m_out.tally.replaces += replace ? 1 : 0;
        const QString fresh = log + QStringLiteral(".campaign-new");
        if (replace && (!writeLogFile(fresh, {}) || !QFile::rename(fresh, log)))
            fail(QStringLiteral("cannot put a new log in place"));
    }

    void changeTrigger(bool refuse)
    {
        m_refused = refuse;
        const QString log = m_ws.filePath(kLog);
        if (!QFileInfo::exists(log))
            return;
        const QString statement =
            refuse ? QStringLiteral("CREATE TRIGGER IF NOT EXISTS campaign_refuse BEFORE INSERT "
                                    "ON SystemInfo BEGIN SELECT RAISE(ABORT, 'an archive, read "
                                    "only'); END")
                   : QStringLiteral("DROP TRIGGER IF EXISTS campaign_refuse");
        QString why;
        if (!hasLogTable(log, &why) && why.isEmpty())
            return; // not set up yet: nothing to refuse or accept for now
        for (int attempt = 0; attempt < 10; ++attempt) {
            if (execOnFile(log, {statement})) {
                m_out.tally.refusals += refuse ? 1 : 0;
                return;
            }
        }
        fail(QStringLiteral("cannot change the trigger: %1").arg(statement));
    }

    // Cuts a side file or spill segment; what was waiting outside the logs may go with it.
    void tear(double at)
    {
        QStringList candidates;
        for (const QString &name : entries(m_ws.path())) {
            if (name == QLatin1String("dbLog.pending.db"))
                candidates << m_ws.filePath(name);
        }
        for (const QString &name : entries(m_ws.filePath(kSpill)))
            candidates << m_ws.filePath(kSpill + QLatin1Char('/') + name);
        if (candidates.isEmpty())
            return;
        const QString victim = candidates[int(at * 1000) % candidates.size()];
        const Found found = storedRecords(nullptr);
        for (const Ran &ran : m_ran) {
            for (long long seq = 0; seq < ran.logged; ++seq) {
                if (!found.value(ran.run).contains(seq))
                    m_atRisk[ran.run].insert(seq);
            }
        }
        QFile file(victim);
        if (!file.resize(qint64(at * double(file.size())))) {
            fail(QStringLiteral("cannot tear %1").arg(victim));
            return;
        }
        m_out.tally.tears += 1;
    }

    // The numbered records of "dbLog.db" and of the logs moved away; records that are not whole,
    // foreign rows and unreadable logs are failures (when `failures` is given).
    Found storedRecords(QStringList *failures)
    {
        Found found;
        QStringList logs = m_asideLogs;
        logs << m_ws.filePath(kLog);
        for (const QString &log : logs) {
            QString why;
            const QList<StoredRecord> records = readRecords(log, &why);
            if (!why.isEmpty() && failures)
                *failures << QStringLiteral("cannot read %1: %2").arg(log, why);
            QMap<int, long long> newest;
            for (const StoredRecord &r : records) {
                const QStringList words = r.message.split(QLatin1Char(' '));
                const int run = words.value(1).toInt();
                const long long seq = words.value(2).toLongLong();
                if (words.value(0) != QLatin1String("campaign") ||
                    r.message != QString::fromUtf8(numberedMessage(run, seq)) ||
                    r.type != numberedType(seq)) {
                    if (failures)
                        *failures
                            << QStringLiteral("not a whole record: %1").arg(r.message.left(60));
                    continue;
                }
                found[run][seq] += 1;
                if (seq < newest.value(run, -1))
                    m_out.tally.outOfOrder += failures ? 1 : 0;
                newest[run] = qMax(newest.value(run, -1), seq);
            }
        }
        return found;
    }

    void check()
    {
        const Found found = storedRecords(&m_out.failures);
        for (const Ran &ran : m_ran)
            checkRun(ran, found.value(ran.run));
        checkLeftovers();
        QString quick;
        TestLogFile::withConnection(m_ws.filePath(kLog), [&quick](QSqlDatabase &db) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("PRAGMA quick_check")) && query.next())
                quick = query.value(0).toString();
            return true;
        });
        if (quick != QLatin1String("ok"))
            fail(QStringLiteral("quick_check of the log: %1").arg(quick));
    }

    void checkRun(const Ran &ran, const QMap<long long, int> &seqs)
    {
        Tally &t = m_out.tally;
        t.logged += ran.logged;
        long long newest = -1;
        for (auto it = seqs.cbegin(); it != seqs.cend(); ++it) {
            if (it.key() >= ran.logged)
                fail(QStringLiteral("run %1: record %2 stored, only %3 logged")
                         .arg(ran.run)
                         .arg(it.key())
                         .arg(ran.logged));
            if (it.value() > 1)
                fail(QStringLiteral("run %1: record %2 stored %3 times")
                         .arg(ran.run)
                         .arg(it.key())
                         .arg(it.value()));
            t.doubled += it.value() - 1;
            t.stored += 1;
            newest = qMax(newest, it.key());
        }
        const QSet<long long> atRisk = m_atRisk.value(ran.run);
        long long missing = 0, gapsNotTorn = 0, missingNotTorn = 0;
        for (long long seq = 0; seq < ran.logged; ++seq) {
            if (seqs.contains(seq))
                continue;
            ++missing;
            if (!atRisk.contains(seq)) {
                ++missingNotTorn;
                gapsNotTorn += seq < newest ? 1 : 0;
            }
        }
        // Counted lost but stored, or missing without a word.
        const long long mustBeCounted = ran.killed ? gapsNotTorn : missingNotTorn;
        if (ran.lost > missing || ran.lost < mustBeCounted)
            fail(QStringLiteral("run %1: %2 logged, %3 stored, %4 counted lost, %5 missing that "
                                "only a count can explain%6\n%7")
                     .arg(ran.run)
                     .arg(ran.logged)
                     .arg(seqs.size())
                     .arg(ran.lost)
                     .arg(mustBeCounted)
                     .arg(ran.killed ? " (killed)" : "")
                     .arg(QString::fromUtf8(ran.result.err).right(1500)));
        for (auto it = ran.lostByReason.cbegin(); it != ran.lostByReason.cend(); ++it)
            t.lostByReason[it.key()] += it.value();
        const long long unexplained = qMax(0LL, missing - ran.lost);
        const long long atKill = ran.killed ? qMax(0LL, missingNotTorn - ran.lost) : 0;
        t.lostAtKill += atKill;
        t.lostTorn += qMax(0LL, unexplained - atKill);
    }

    // Nothing waits in a side file or spill segment, no journal is left, and a file set aside
    // is there only after a tear.
    void checkLeftovers()
    {
        QStringList names = entries(m_ws.path());
        for (const QString &name : entries(m_ws.filePath(kSpill)))
            names << kSpill + QLatin1Char('/') + name;
        for (const QString &name : names) {
            const bool setAside =
                name.contains(QLatin1String(".bad-")) || name.contains(QLatin1String(".corrupt-"));
            if ((setAside && m_out.tally.tears == 0) ||
                (!setAside && (name.startsWith(kSpill + QLatin1Char('/')) ||
                               name.startsWith(QLatin1String("dbLog.pending.db")) ||
                               name.startsWith(QLatin1String("dbLog.db-mj")) ||
                               name == QLatin1String("dbLog.db-journal"))))
                fail(QStringLiteral("left in the directory: %1").arg(name));
        }
    }

    const Schedule &m_schedule;
    QString m_child;
    Workspace m_ws;
    QTemporaryDir m_aside; // logs moved away, out of the services' sight
    QStringList m_asideLogs;
    std::unique_ptr<RunningChild> m_holder;
    bool m_holderStopped = false;
    bool m_refused = false;
    QList<Ran> m_ran;
    QMap<int, QSet<long long>> m_atRisk; // per run, records outside the logs at a tear
    Outcome m_out;
};

} // namespace

Outcome run(const Schedule &schedule, const QString &child)
{
    return Execution(schedule, child).go();
}

} // namespace Robustness::Campaign
