// The log file shared with another program: a child process logs at a steady rate through the
// real service while the test holds the file's write lock through a connection of its own, for
// longer than the service's busy timeout. Whatever the timing, every record is stored exactly
// once, in order, stamped with the second in which it was logged.

#include "RobustnessSupport.h"
#include "ScratchDir.h"

#include <QDateTime>
#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

using namespace Robustness;

namespace {

const QString kChild = QStringLiteral(ROBUSTNESS_SERVICE_CHILD);
const QString kTallylog = QStringLiteral(TALLYLOG_PATH);
const QByteArray kCrashedWriter = "busy: a writer crashed, waiting for it to be recovered";

// Another program on a file, through a connection of the test's own: one holding the exclusive
// lock (a backup tool), or a reader paused in the middle of its rows (a pager reading sqlite3's
// output), which keeps the file from being changed.
using TestFiles::FileLock;

// Lines the service wrote on standard error.
QStringList serviceLines(const ChildResult &r)
{
    QStringList lines;
    for (const QByteArray &line : r.err.split('\n')) {
        if (line.startsWith("SystemLog: "))
            lines << QString::fromUtf8(line);
    }
    return lines;
}

// Release waits for a file held by another program for 10 s at most (the product's promise); the
// other 20 s are the margin for the wait in progress when the stop comes, the records then put in
// the spill journal and the child saying so, on a loaded machine. A release that waits on for ever
// still fails.
constexpr int kReleaseBoundMs = 30000;

// Checks that the log holds the child's "steady" records 0 .. logged-1 once each, in order,
// each stamped within a second of the moment in its text.
void verifySteadyRecords(const QString &log, int logged)
{
    bool ok = false;
    const QList<StoredRecord> records = readLogFile(log, &ok);
    QVERIFY(ok);
    QCOMPARE(records.size(), logged);
    for (int i = 0; i < records.size(); ++i) {
        const QStringList parts = records[i].message.split(QLatin1Char(' '));
        QCOMPARE(parts.size(), 4);
        QCOMPARE(parts[1].toInt(), i);
        const QDateTime loggedAt = QDateTime::fromString(parts[2] + QLatin1Char(' ') + parts[3],
                                                         QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        const QDateTime stamped =
            QDateTime::fromString(records[i].datetime, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        QVERIFY2(qAbs(loggedAt.secsTo(stamped)) <= 1,
                 qPrintable(records[i].datetime + QStringLiteral(" for ") + records[i].message));
    }
}

} // namespace

class SharedFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void steadyLoggingAroundALock_data();
    void steadyLoggingAroundALock();
    void readerOfTheSideFile_data();
    void readerOfTheSideFile();
    void steadyLoggingThroughChanges_data();
    void steadyLoggingThroughChanges();
    void tallylogBesideACrashedWriter_data();
    void tallylogBesideACrashedWriter();
};

void SharedFile::steadyLoggingAroundALock_data()
{
    QTest::addColumn<bool>("emptyFile"); // "dbLog.db" starts as an empty file, else as a log
    // The test holds the lock from before the child starts for this long (0: not at all); a
    // lock in the child's commands is held by a connection of the child's own, at that point of
    // its run, whatever the machine's speed.
    QTest::addColumn<int>("lockForMs");
    QTest::addColumn<QString>("commands");
    QTest::addColumn<bool>("releasedWhileLocked");

    // The query comes once every record logged is stored, so that it never waits for the lock.
    const QString query = QStringLiteral(" waitqueued 0 queryall 4 release");
    QTest::newRow("no lock, empty file")
        << true << 0 << QStringLiteral("start steady 200 1000") + query << false;
    QTest::newRow("lock in the middle")
        << false << 0
        << QStringLiteral("start steady 200 1000 lock dbLog.db steady 200 6500 unlock steady 200 "
                          "500") +
               query
        << false;
    // The service comes up on a locked file: it keeps trying and works once the lock is gone.
    QTest::newRow("lock from before the start")
        << false << 7000 << QStringLiteral("start steady 200 3000") + query << false;
    // The program ends while the file is still locked: it exits in time, the records go to the
    // spill journal, and the next start stores them.
    QTest::newRow("release while locked")
        << false << 0
        << QStringLiteral("start steady 200 500 lock dbLog.db steady 200 1000 release") << true;
    // Records beyond a small bound go to the spill journal while the log is locked; its move
    // meets the lock too, which is waited out: nothing is ever set aside, and the log takes the
    // spilled records before any newer one.
    QTest::newRow("short lock, records spilled")
        << false << 0
        << QStringLiteral("limit 65536 start steady 2000 1500 lock dbLog.db steady 2000 2000 "
                          "unlock steady 2000 2500") +
               query
        << false;
}

void SharedFile::steadyLoggingAroundALock()
{
    QFETCH(bool, emptyFile);
    QFETCH(int, lockForMs);
    QFETCH(QString, commands);
    QFETCH(bool, releasedWhileLocked);
    Workspace ws;
    QVERIFY(ws.isValid());
    const QString log = ws.filePath(QStringLiteral("dbLog.db"));
    QVERIFY(emptyFile ? writeFile(log, QByteArray()) : writeLogFile(log, {}));

    FileLock other(log);
    if (lockForMs > 0)
        QVERIFY(other.lock());
    // When it goes does not matter: the records wait for it.
    const auto unlockLater = [&] {
        if (lockForMs > 0) {
            QTest::qWait(lockForMs);
            other.unlock();
        }
    };
    const ChildResult r =
        runChild(kChild, commands.split(QLatin1Char(' ')), ws, QString(), unlockLater);
    other.unlock();
    QVERIFY2(r.ranToEnd(), qPrintable(r.describe()));
    QVERIFY2(r.lostReported() == 0, qPrintable(r.describe()));
    const int logged = r.value(QStringLiteral("logged")).toInt();
    QVERIFY(logged > 0);
    // A program can always exit: release waits for a locked file for 10 s at most.
    QVERIFY2(r.value(QStringLiteral("releasems")).toInt() < kReleaseBoundMs,
             qPrintable(r.describe()));

    if (releasedWhileLocked) {
        // tallylog shows what waits, as not yet stored.
        const int waiting = spilledMessages(ws.filePath(kSpillDir)).size();
        QVERIFY(waiting > 0);
        QProcess pending;
        pending.start(kTallylog, {"--db", log, "list", "--pending", "--format", "json"});
        QVERIFY(pending.waitForFinished(kChildTimeoutMs));
        QCOMPARE(pending.readAllStandardOutput().count("\"id\":0,"), waiting);
        QVERIFY(pending.readAllStandardError().contains(QByteArray::number(waiting) +
                                                        " records not yet stored"));
        const ChildResult next = runChild(
            kChild, {QStringLiteral("start"), QStringLiteral("moved"), QStringLiteral("release")},
            ws);
        QVERIFY2(next.ranToEnd(), qPrintable(next.describe()));
    } else {
        // Queries work again once the file is free, without a restart, and see every record.
        QCOMPARE(r.value(QStringLiteral("errorvalid")), QStringLiteral("0"));
        QVERIFY2(r.value(QStringLiteral("rows")).toInt() == logged, qPrintable(r.describe()));
    }
    QVERIFY(spillEmpty(ws.filePath(kSpillDir)));
    // Nothing is ever set aside for a lock.
    QCOMPARE(QDir(ws.filePath(kSpillDir)).entryList({QStringLiteral("*.bad-*")}, QDir::AllEntries),
             QStringList());
    verifySteadyRecords(log, logged);
}

void SharedFile::readerOfTheSideFile_data()
{
    QTest::addColumn<bool>("logLocked"); // "dbLog.db" is held by another program as well
    QTest::addColumn<QString>("commands");
    QTest::newRow("log free") << false << "start steady 200 2000 waitqueued 0 queryall 4 release";
    // Waits until no more than the bound of 64 KiB at 80 bytes a record at least is held.
    QTest::newRow("log locked too") << true
                                    << "limit 65536 start log 20000 waitqueued 819 queued "
                                       "release";
}

// Records of an earlier version wait in its side file while a reader keeps it from being
// changed. With the log free, new records are stored at once and the older ones follow once the
// reader is gone. With the log held too, memory stays within the bound and the rest waits in the
// spill journal.
void SharedFile::readerOfTheSideFile()
{
    QFETCH(bool, logLocked);
    QFETCH(QString, commands);
    Workspace ws;
    QVERIFY(ws.isValid());
    const QString log = ws.filePath(QStringLiteral("dbLog.db"));
    const QString side = ws.filePath(kSideFile);
    const QList<StoredRecord> older = recordsOfDay(3000);
    QVERIFY(writeLogFile(log, {}) && writeLogFile(side, older));
    FileLock logHolder(log);
    QVERIFY(!logLocked || logHolder.lock());
    ChildResult r;
    {
        FileLock reader(side);
        QVERIFY(reader.pauseReading());
        r = runChild(kChild, commands.split(QLatin1Char(' ')), ws);
    }
    logHolder.unlock();
    QVERIFY2(r.ranToEnd(), qPrintable(r.describe()));
    QVERIFY2(r.value(QStringLiteral("releasems")).toInt() < kReleaseBoundMs,
             qPrintable(r.describe()));
    QCOMPARE(recordCount(side), older.size());
    if (logLocked) {
        // Within the bound of 64 KiB at 80 bytes a record at least; the rest waits on disk.
        QVERIFY2(r.value(QStringLiteral("queued")).toInt() <= 65536 / 80, qPrintable(r.describe()));
        QVERIFY2(r.lostReported() == 0, qPrintable(r.describe()));
        QCOMPARE(spilledMessages(ws.filePath(kSpillDir)).size(), 20000);
        QCOMPARE(recordCount(log), 0);
        return;
    }
    const int logged = r.value(QStringLiteral("logged")).toInt();
    QVERIFY2(r.lostReported() == 0, qPrintable(r.describe()));
    QVERIFY2(r.value(QStringLiteral("rows")).toInt() == logged, qPrintable(r.describe()));
    // Said once, with where the order between the two runs of records is broken.
    QVERIFY2(serviceLines(r).filter(QStringLiteral("order")).size() == 1, qPrintable(r.describe()));

    const ChildResult next = runChild(kChild, {"start", "moved", "release"}, ws);
    QVERIFY2(next.ranToEnd(), qPrintable(next.describe()));
    QVERIFY(!QFileInfo::exists(side));
    bool ok = false;
    const QList<StoredRecord> stored = readLogFile(log, &ok);
    QCOMPARE(stored.size(), logged + older.size());
    for (int i = 0; i < older.size(); ++i)
        QCOMPARE(stored[logged + i].message, older[i].message);
}

void SharedFile::steadyLoggingThroughChanges_data()
{
    QTest::addColumn<QString>("startsAs"); // "dbLog.db": "log", or a kind of makeHostileLogFile
    QTest::addColumn<QString>("change");   // done to "dbLog.db" 1.5 s into the run
    QTest::addColumn<QString>("commands");
    // The run ends once the records that went to the spill journal meanwhile are in the log.
    const QString steady = QStringLiteral("start steady 200 4000 moved release");
    // A file that is no log is looked at again, and taken once it is one (or gone).
    QTest::newRow("no log, replaced by a log") << "other schema"
                                               << "replace" << steady;
    QTest::newRow("no log, removed") << "other schema"
                                     << "remove" << steady;
    // A log whose table refuses every record: they wait in the spill journal, the state is said
    // once, and they are moved, first, once the log takes records.
    QTest::newRow("a column of another program, replaced by a log") << "not null column"
                                                                    << "replace" << steady;
    QTest::newRow("a trigger refusing inserts, replaced by a log") << "aborting trigger"
                                                                   << "replace" << steady;
    QTest::newRow("a trigger refusing inserts, dropped") << "aborting trigger"
                                                         << "drop trigger" << steady;
    // Records wait while the zone changes: each is stamped with the local time of its logging.
    QTest::newRow("time zone changes while records wait")
        << "log" << QString()
        << "tz UTC0 start lock dbLog.db steady 200 1000 tz JST-9 unlock sleep 500 release";
}

// Whatever happens to the file or the clock, every record is stored once, in order, stamped
// with the second in which it was logged, and each state is said once, not once a cycle.
void SharedFile::steadyLoggingThroughChanges()
{
    QFETCH(QString, startsAs);
    QFETCH(QString, change);
    QFETCH(QString, commands);
    Workspace ws;
    QVERIFY(ws.isValid());
    const QString log = ws.filePath(QStringLiteral("dbLog.db"));
    const QString fresh = ws.filePath(QStringLiteral("fresh.db"));
    bool restricted = false;
    QVERIFY(startsAs == QLatin1String("log") ? writeLogFile(log, {})
                                             : makeHostileLogFile(startsAs, log, &restricted));
    QVERIFY(writeLogFile(fresh, {}));
    const auto changeLog = [&] {
        if (change.isEmpty())
            return;
        QTest::qWait(1500);
        if (change == QLatin1String("drop trigger")) {
            QVERIFY(execOnFile(log, {QStringLiteral("DROP TRIGGER refuse")}));
            return;
        }
        QVERIFY(QFile::remove(log));
        QVERIFY(change != QLatin1String("replace") || QFile::rename(fresh, log));
    };
    const ChildResult r =
        runChild(kChild, commands.split(QLatin1Char(' ')), ws, QString(), changeLog);
    QVERIFY2(r.ranToEnd(), qPrintable(r.describe()));
    QVERIFY2(r.lostReported() == 0, qPrintable(r.describe()));
    QVERIFY2(serviceLines(r).size() <= 6, qPrintable(r.describe()));
    QVERIFY(spillEmpty(ws.filePath(kSpillDir)));
    verifySteadyRecords(log, r.value(QStringLiteral("logged")).toInt());
}

void SharedFile::tallylogBesideACrashedWriter_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<bool>("recoveredByOther"); // another writer opens the file meanwhile
    QTest::addColumn<int>("status");            // -1: runs until the test ends it

    const QStringList list{"list", "--day", kDay, "--format", "json"};
    QTest::newRow("list, nobody recovers") << list << false << 1;
    QTest::newRow("list, a writer recovers") << list << true << 0;
    QTest::newRow("follow") << QStringList{"follow", "--format", "json"} << true << -1;
    QTest::newRow("prune recovers")
        << QStringList{"prune", "--before", "2030-01-01", "--yes"} << false << 0;
}

void SharedFile::tallylogBesideACrashedWriter()
{
    QFETCH(QStringList, command);
    QFETCH(bool, recoveredByOther);
    QFETCH(int, status);
    Workspace ws;
    const QString log = ws.filePath(QStringLiteral("dbLog.db"));
    QVERIFY(writeLogFile(log, recordsOfDay(3)));
    QCOMPARE(runChild(kChild, {"crashwriting", "2000"}, ws).exitStatus, QProcess::CrashExit);

    TestFiles::ChildProcess tallylog;
    QVERIFY(tallylog.start(kTallylog, QStringList{QStringLiteral("--db"), log} + command));
    if (recoveredByOther) {
        // tallylog tries again for 5 s (its promise); the recovery follows at once once it says
        // it waits, a single statement.
        QVERIFY(tallylog.waitForErr(kCrashedWriter));
        QVERIFY(TestLogFile::exec(log, {QStringLiteral("SELECT count(*) FROM SystemInfo")}));
    }
    if (status < 0)
        QVERIFY(tallylog.waitFor([&] { return tallylog.out().count('\n') == 3; }));
    const int exitCode = status < 0 ? tallylog.end() : tallylog.finish();
    const QByteArray err = tallylog.err();
    const bool prune = command.first() == QLatin1String("prune");
    QCOMPARE(tallylog.out().count('\n'), prune ? 1 : status == 1 ? 0 : 3);
    QCOMPARE(exitCode, qMax(status, 0));
    QVERIFY2(!err.contains("not a log") && err.count(kCrashedWriter) == (prune ? 0 : 1),
             err.constData());
    // Undone by whoever may write, never by a reader.
    QCOMPARE(QFileInfo::exists(log + QStringLiteral("-journal")), status == 1);
    QCOMPARE(recordCount(log), prune ? 0 : 3);
}

QTEST_GUILESS_MAIN(SharedFile)
#include "tst_shared_file.moc"
