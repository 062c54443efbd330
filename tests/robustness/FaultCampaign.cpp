// Runs one schedule of the campaign in a directory of its own and checks every record it logged.

#include "FaultCampaign.h"
#include "FaultCheck.h"

#include "ScratchDir.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <memory>

#include <signal.h>
#include <unistd.h>

namespace Robustness::Campaign {

namespace {

void copyTree(const QString &from, const QString &to)
{
    QDir().mkpath(to);
    for (const QFileInfo &info : QDir(from).entryInfoList(QDir::AllEntries | QDir::Hidden |
                                                          QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = QDir(to).filePath(info.fileName());
        if (info.isDir() && !info.isSymLink())
            copyTree(info.filePath(), target);
        else
            QFile::copy(info.filePath(), target);
    }
}

class Execution
{
public:
    Execution(const Schedule &schedule, const QString &child, const QString &keepIn)
        : m_schedule(schedule), m_child(child), m_keepIn(keepIn)
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
        if (m_out.tally.failed && !m_keepIn.isEmpty()) {
            const QString kept =
                QDir(m_keepIn).filePath(QStringLiteral("seed-%1").arg(m_schedule.seed));
            copyTree(m_ws.path(), kept + QStringLiteral("/work"));
            copyTree(m_aside.path(), kept + QStringLiteral("/moved"));
        }
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
        if (!plan.powerCut.isEmpty())
            commands << QStringLiteral("durable");
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
            children.push_back(
                std::make_unique<RunningChild>(m_child, commandsOf(plan, chunks, beforeRelease),
                                               m_ws, QString(), powerCutEnvironment(plan)));
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

    // The power-cut library in the service, tracking the working directory's files.
    QMap<QString, QString> powerCutEnvironment(const ServicePlan &plan)
    {
        if (plan.powerCut.isEmpty())
            return {};
        const QString stash = m_aside.filePath(QStringLiteral("stash-%1").arg(plan.run));
        QDir().mkpath(stash);
        return {{QStringLiteral("LD_PRELOAD"), QStringLiteral(ROBUSTNESS_POWER_CUT)},
                {QStringLiteral("POWERCUT_ROOT"), m_ws.path()},
                {QStringLiteral("POWERCUT_STASH"), stash},
                {QStringLiteral("POWERCUT_PLAN"), plan.powerCut}};
    }

    void finished(const ServicePlan &plan, const ChildResult &result)
    {
        Ran ran;
        ran.run = plan.run;
        ran.result = result;
        const bool powerCut = result.err.contains("powercut: the power went");
        ran.killed = (powerCut || !result.value(QStringLiteral("killed")).isNull()) &&
                     result.exitStatus == QProcess::CrashExit;
        ran.faulted = !plan.faults.isEmpty() && !ran.killed;
        ran.logged = result.value(QStringLiteral("logged")).toLongLong();
        ran.durable = result.value(QStringLiteral("durable")).toLongLong();
        m_out.tally.powerCuts += powerCut ? 1 : 0;
        m_out.tally.durableBeforeCut += powerCut ? ran.durable : 0;
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
    // writer is in the middle of a transaction (whose journal would be left at the old name). A
    // new log takes the old one's place in one rename, so that no service makes a log of its own
    // at the name in between.
    void moveLogAway(bool replace)
    {
        const QString log = m_ws.filePath(kLog);
        if (!QFileInfo::exists(log))
            return;
        const QString fresh = log + QStringLiteral(".campaign-new");
        if (replace && !writeLogFile(fresh, {})) {
            fail(QStringLiteral("cannot make a new log"));
            return;
        }
        TestFiles::FileLock lock(log);
        QDeadlineTimer guard(kHangGuardMs);
        while (!lock.lock() && !guard.hasExpired())
            QThread::msleep(2);
        const QString aside =
            m_aside.filePath(QStringLiteral("moved-%1.db").arg(m_asideLogs.size()));
        const bool moved =
            !guard.hasExpired() && (replace ? ::link(QFile::encodeName(log).constData(),
                                                     QFile::encodeName(aside).constData()) == 0 &&
                                                  ::rename(QFile::encodeName(fresh).constData(),
                                                           QFile::encodeName(log).constData()) == 0
                                            : QFile::rename(log, aside));
        if (!moved) {
            fail(QStringLiteral("cannot move the log away"));
            return;
        }
        m_asideLogs << aside;
        m_out.tally.moves += replace ? 0 : 1;
        m_out.tally.replaces += replace ? 1 : 0;
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
        QStringList logs = m_asideLogs;
        logs << m_ws.filePath(kLog);
        const Found found = storedRecords(logs, nullptr);
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

    void check()
    {
        QStringList logs = m_asideLogs;
        logs << m_ws.filePath(kLog);
        const Found found = storedRecords(logs, &m_out);
        for (const Ran &ran : m_ran)
            checkRun(ran, found.value(ran.run), m_atRisk.value(ran.run), &m_out);
        checkLeftovers(m_ws.path(), &m_out);
        const QString quick = quickCheck(m_ws.filePath(kLog));
        if (quick != QLatin1String("ok"))
            fail(QStringLiteral("quick_check of the log: %1").arg(quick));
    }

    const Schedule &m_schedule;
    QString m_child;
    QString m_keepIn;
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

Outcome run(const Schedule &schedule, const QString &child, const QString &keepIn)
{
    return Execution(schedule, child, keepIn).go();
}

} // namespace Robustness::Campaign
