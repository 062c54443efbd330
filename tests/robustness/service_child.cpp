// Runs the log service in the working directory for the robustness tests, one command after the
// other, and reports what it saw on standard output ("key value" lines, see ChildSupport.h).
//
//   start                  obtain the front and start it
//   query DAY TYPE         queryDay; reports "rows", "errorvalid" and "error"
//   log N                  hands N records to the output hook from two threads
//   steady RATE MS         hands RATE records a second to the output hook for MS milliseconds,
//                          each "steady <seq> <local time of the call>" of category 4, the
//                          numbers going on from one steady command to the next; reports
//                          "logged", the number of them so far
//   queryall TYPE          queryRange over all time; reports "rows", "errorvalid", "error"
//   release                releases the front; reports "releasems", the time it took
//   limit BYTES            sets the writer's memory bound (before start)
//   spilllimit BYTES PCT   sets the spill journal's disk bound (before start)
//   killat POINT N         dies by SIGKILL right before the N-th write, sync or directory sync
//                          (POINT write, sync or dirsync) of the spill journal
//   queued                 reports "queued" (records held in memory) and "lost"
//   waitqueued N           waits until the writer holds at most N records (0: every record
//                          handed over is stored, in the spill journal or counted lost)
//   moved                  waits until the old side file and every spill segment are gone (their
//                          records are in the log)
//   sleep MS               waits
//   tz ZONE                switches the process's time zone (TZ) from here on
//   lock FILE / unlock     holds and drops the write lock of FILE through a connection of the
//                          child's own, as another program would
//   burst                  starts the service and logs "t<thread>:<seq>" from two threads until
//                          killed (categories 1 and 2 for threads 0 and 1)
//   crashwriting N         inserts N records in one transaction through a connection of its own
//                          and dies by SIGKILL before the commit, as a crashed writer would
//   faults PLAN            from here on, SQLite's files (and the spill journal) fail or the
//                          process is killed at the point PLAN names (see FaultInjection.h);
//                          a kill first reports "logged" and "lost" so far and "killed"
//   numbered RUN N MS      hands N numbered records of run RUN (Robustness::numberedMessage)
//                          to the output hook, evenly over MS milliseconds, numbers going on
//                          from one command to the next; reports "logged", the run's total
//   input                  waits for a line on standard input (the campaign's go-ahead)
//   hold MODE FILE         holds a shared, reserved or exclusive lock on FILE through a
//                          connection of its own until a line comes on standard input; reports
//                          "locked", then "unlocked"
//   durable                (before start) reports "durable N" whenever more numbered records are
//                          known to be stored (committed to the log or synced into the spill
//                          journal: the first N handed over, none counted lost), until release;
//                          under the power-cut library (PowerCut.cpp) a cut first reports what
//                          a kill by a fault does

#include "ChildSupport.h"
#include "FaultInjection.h"
#include "OutputHook.h"
#include "ScratchDir.h"
#include "qzSysLog.h"
#include "spill/SpillIo.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

using namespace Robustness;
using SystemLog::qzSysLog;

namespace {

// Never returns: the test ends the process with SIGKILL.
[[noreturn]] void burst()
{
    qzSysLog::instance()->start();
    SystemLog::qzLogDB &writer = qzSysLog::instance()->writer();
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([t, &writer] {
            const QByteArray prefix = "t" + QByteArray::number(t) + ':';
            for (long long seq = 0;; ++seq) {
                const QByteArray message = prefix + QByteArray::number(seq);
                SystemLog::outputHook(t + 1, message.constData(), message.size());
                // Keep the backlog bounded, so that the writer is always busy but memory is not
                // exhausted while the test waits.
                if ((seq & 63) == 0) {
                    while (writer.queuedCount() > 5000)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
    }
    report("burst", QStringLiteral("running"));
    for (;;)
        std::this_thread::sleep_for(std::chrono::seconds(1));
}

void logSteadily(int perSecond, int forMs)
{
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::microseconds(1000000 / qMax(perSecond, 1));
    const auto end = Clock::now() + std::chrono::milliseconds(forMs);
    static long long seq = 0;
    for (auto next = Clock::now(); next < end; next += period) {
        std::this_thread::sleep_until(next);
        const QByteArray message =
            "steady " + QByteArray::number(seq++) + ' ' +
            QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toLatin1();
        SystemLog::outputHook(4, message.constData(), message.size());
    }
    report("logged", QString::number(seq));
}

void crashWriting(int count)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QStringLiteral("dbLog.db"));
    // A small page cache spills the transaction into the file before the commit: the journal is
    // then needed to undo it (a "hot" journal), as after a kill during a commit.
    for (const QString &statement :
         {QStringLiteral("PRAGMA cache_size=8"), QStringLiteral("BEGIN"),
          QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i "
                         "< %1) INSERT INTO SystemInfo(type, message) SELECT 3, 'never committed' "
                         "FROM n")
              .arg(count)}) {
        if ((!db.isOpen() && !db.open()) || db.exec(statement).lastError().isValid())
            fail(ExitCommandFailed, statement);
    }
    std::raise(SIGKILL);
}

// What a kill reports: hook calls begun (a record counted here may not have been queued yet),
// and records the writer gave up so far.
std::atomic<long long> g_numbered{0};
std::atomic<SystemLog::qzLogDB *> g_writer{nullptr};

void reportBeforeKill()
{
    SystemLog::qzLogDB *writer = g_writer.load();
    char text[128];
    const int n = std::snprintf(text, sizeof text, "\nlogged %lld\nlost %lld\nkilled 1\n",
                                g_numbered.load(), writer ? writer->lostCount() : 0LL);
    if (n > 0 && ::write(STDOUT_FILENO, text, size_t(n)) < 0)
        return;
}

// Numbered records whose hook call has returned: they are in the queue or further.
std::atomic<long long> g_handed{0};

// The records the writer is done with are the first ones handed over (it takes them in order):
// those handed over minus those it still holds, as long as it gave up none.
class DurableReporter
{
public:
    ~DurableReporter() { stop(); }
    void start(SystemLog::qzLogDB *writer)
    {
        m_writer = writer;
        m_thread = std::thread([this] {
            long long said = 0;
            while (!m_stop.load()) {
                const long long handed = g_handed.load();
                const long long done = handed - m_writer->queuedCount();
                if (m_writer->lostCount() == 0 && done > said) {
                    said = done;
                    report("durable", QString::number(done));
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    SystemLog::qzLogDB *m_writer = nullptr;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
} g_durable;

bool g_reportDurable = false;

void reportDurable()
{
    using SetBeforeCut = void (*)(void (*)());
    if (const auto set =
            reinterpret_cast<SetBeforeCut>(dlsym(RTLD_DEFAULT, "powercut_set_before_cut")))
        set(reportBeforeKill);
    g_reportDurable = true;
}

void logNumbered(int run, int count, int forMs)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const long long first = g_numbered.load();
    for (int i = 0; i < count; ++i) {
        if (forMs > 0)
            std::this_thread::sleep_until(start + std::chrono::milliseconds(forMs) * i / count);
        const long long seq = g_numbered++;
        const QByteArray message = numberedMessage(run, seq);
        SystemLog::outputHook(numberedType(seq), message.constData(), message.size());
        ++g_handed;
    }
    report("logged", QString::number(first + count));
}

void waitForInput()
{
    std::string line;
    std::getline(std::cin, line);
}

// Tries again until the lock is had: the service holds the file only a batch at a time.
void holdLock(const QString &mode, const QString &path)
{
    TestFiles::FileLock lock(path);
    for (;;) {
        const bool locked = mode == QLatin1String("shared")     ? lock.pauseReading()
                            : mode == QLatin1String("reserved") ? lock.reserve()
                                                                : lock.lock();
        if (locked)
            break;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    report("locked", mode);
    waitForInput();
    lock.unlock();
    report("unlocked", mode);
}

void reportQuery(const SystemLog::LogRowList &rows, const QSqlError &error)
{
    report("rows", QString::number(rows.size()));
    report("errorvalid", error.isValid() ? QStringLiteral("1") : QStringLiteral("0"));
    report("error", error.text());
}

void logRecords(int count)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        const int share = count / 2 + (t == 0 ? count % 2 : 0);
        threads.emplace_back([t, share] {
            for (int i = 0; i < share; ++i) {
                const QByteArray message =
                    "robustness record " + QByteArray::number(t) + '/' + QByteArray::number(i);
                SystemLog::outputHook(4, message.constData(), message.size());
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    report("logged", QString::number(count));
}

// The spill journal's operation at which the child kills itself, and how many are left before.
SystemLog::SpillIoPoint killPoint = SystemLog::SpillIoPoint::Write;
std::atomic<int> killCountdown{0};

int killAtPoint(SystemLog::SpillIoPoint point)
{
    if (point == killPoint && killCountdown.fetch_sub(1) == 1)
        std::raise(SIGKILL);
    return 0;
}

void killAt(const char *point, int n)
{
    const std::map<std::string, SystemLog::SpillIoPoint> points{
        {"write", SystemLog::SpillIoPoint::Write},
        {"sync", SystemLog::SpillIoPoint::Sync},
        {"dirsync", SystemLog::SpillIoPoint::DirSync}};
    const auto found = points.find(point);
    if (found == points.end())
        fail(ExitUsage, QStringLiteral("unknown point %1").arg(QString::fromLocal8Bit(point)));
    killPoint = found->second;
    killCountdown = n;
    SystemLog::setSpillFaultHook(killAtPoint);
}

const QString kLockConnection = QStringLiteral("child-file-lock");

void lockFile(const QString &path)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kLockConnection);
    db.setDatabaseName(path);
    if (!db.open() || !QSqlQuery(db).exec(QStringLiteral("BEGIN EXCLUSIVE")))
        fail(ExitCommandFailed, QStringLiteral("cannot lock %1").arg(path));
    report("locked", path);
}

void unlockFile()
{
    {
        QSqlDatabase db = QSqlDatabase::database(kLockConnection, false);
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        db.close();
    }
    QSqlDatabase::removeDatabase(kLockConnection);
    report("unlocked", QStringLiteral("1"));
}

} // namespace

int main(int argc, char **argv)
{
    int i = applyRestrictions(argc, argv);
    QCoreApplication app(argc, argv);

    auto needs = [&](int n) {
        if (i + n >= argc)
            fail(ExitUsage, QStringLiteral("%1 needs %2 argument(s)")
                                .arg(QString::fromLocal8Bit(argv[i]))
                                .arg(n));
    };
    for (; i < argc; ++i) {
        const char *command = argv[i];
        if (std::strcmp(command, "start") == 0) {
            qzSysLog::instance()->start();
            g_writer = &qzSysLog::instance()->writer();
            if (g_reportDurable)
                g_durable.start(g_writer);
            report("started", QStringLiteral("1"));
        } else if (std::strcmp(command, "query") == 0) {
            needs(2);
            QSqlError error;
            const SystemLog::LogRowList rows = qzSysLog::instance()->queryDay(
                QString::fromLocal8Bit(argv[i + 1]), std::atoi(argv[i + 2]), &error);
            reportQuery(rows, error);
            i += 2;
        } else if (std::strcmp(command, "queryall") == 0) {
            needs(1);
            QSqlError error;
            const SystemLog::LogRowList rows = qzSysLog::instance()->queryRange(
                QStringLiteral("1970-01-01 00:00:00"), QStringLiteral("9999-12-31 23:59:59"),
                std::atoi(argv[i + 1]), &error);
            reportQuery(rows, error);
            ++i;
        } else if (std::strcmp(command, "steady") == 0) {
            needs(2);
            logSteadily(std::atoi(argv[i + 1]), std::atoi(argv[i + 2]));
            i += 2;
        } else if (std::strcmp(command, "log") == 0) {
            needs(1);
            logRecords(std::atoi(argv[i + 1]));
            ++i;
        } else if (std::strcmp(command, "release") == 0) {
            QElapsedTimer clock;
            clock.start();
            g_durable.stop();
            qzSysLog::release();
            report("releasems", QString::number(clock.elapsed()));
            report("released", QStringLiteral("1"));
        } else if (std::strcmp(command, "limit") == 0) {
            needs(1);
            qzSysLog::instance()->writer().setMemoryLimit(std::atoll(argv[i + 1]));
            ++i;
        } else if (std::strcmp(command, "spilllimit") == 0) {
            needs(2);
            qzSysLog::instance()->writer().setSpillLimit(std::atoll(argv[i + 1]),
                                                         std::atoi(argv[i + 2]));
            i += 2;
        } else if (std::strcmp(command, "killat") == 0) {
            needs(2);
            killAt(argv[i + 1], std::atoi(argv[i + 2]));
            i += 2;
        } else if (std::strcmp(command, "queued") == 0) {
            SystemLog::qzLogDB &writer = qzSysLog::instance()->writer();
            report("queued", QString::number(writer.queuedCount()));
            report("lost", QString::number(writer.lostCount()));
        } else if (std::strcmp(command, "waitqueued") == 0) {
            // Unbounded: the test's guard on the child's run ends a wait that never ends.
            needs(1);
            SystemLog::qzLogDB &writer = qzSysLog::instance()->writer();
            while (writer.queuedCount() > std::atoi(argv[i + 1]))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ++i;
        } else if (std::strcmp(command, "moved") == 0) {
            while (QFileInfo::exists(QStringLiteral("dbLog.pending.db")) ||
                   !QDir(QStringLiteral("dbLog.spill"))
                        .entryList({QStringLiteral("*.spill")}, QDir::Files)
                        .isEmpty())
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            report("moved", QStringLiteral("1"));
        } else if (std::strcmp(command, "sleep") == 0) {
            needs(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[i + 1])));
            ++i;
        } else if (std::strcmp(command, "tz") == 0) {
            needs(1);
            qputenv("TZ", argv[i + 1]);
            tzset();
            ++i;
        } else if (std::strcmp(command, "lock") == 0) {
            needs(1);
            lockFile(QString::fromLocal8Bit(argv[i + 1]));
            ++i;
        } else if (std::strcmp(command, "unlock") == 0) {
            unlockFile();
        } else if (std::strcmp(command, "burst") == 0) {
            burst();
        } else if (std::strcmp(command, "crashwriting") == 0) {
            needs(1);
            crashWriting(std::atoi(argv[i + 1]));
        } else if (std::strcmp(command, "faults") == 0) {
            needs(1);
            FaultPlan plan;
            if (!FaultPlan::parse(QString::fromLocal8Bit(argv[i + 1]), &plan))
                fail(ExitUsage, QStringLiteral("bad fault plan %1").arg(argv[i + 1]));
            if (!installFaults(plan, reportBeforeKill))
                fail(ExitCannotRestrict, QStringLiteral("cannot inject %1").arg(argv[i + 1]));
            ++i;
        } else if (std::strcmp(command, "numbered") == 0) {
            needs(3);
            logNumbered(std::atoi(argv[i + 1]), std::atoi(argv[i + 2]), std::atoi(argv[i + 3]));
            i += 3;
        } else if (std::strcmp(command, "durable") == 0) {
            reportDurable();
        } else if (std::strcmp(command, "input") == 0) {
            waitForInput();
        } else if (std::strcmp(command, "hold") == 0) {
            needs(2);
            holdLock(QString::fromLocal8Bit(argv[i + 1]), QString::fromLocal8Bit(argv[i + 2]));
            i += 2;
        } else {
            fail(ExitUsage,
                 QStringLiteral("unknown command %1").arg(QString::fromLocal8Bit(command)));
        }
    }
    return 0;
}
