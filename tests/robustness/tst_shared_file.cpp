// The log file shared with another program: a child process logs at a steady rate through the
// real service while the test holds the file's write lock through a connection of its own, for
// longer than the service's busy timeout. Whatever the timing, every record is stored exactly
// once, in order, stamped with the second in which it was logged.

#include "RobustnessSupport.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

using namespace Robustness;

namespace {

const QString kChild = QStringLiteral(ROBUSTNESS_SERVICE_CHILD);
const QString kTallylog = QStringLiteral(TALLYLOG_PATH);
const QByteArray kCrashedWriter = "busy: a writer crashed, waiting for it to be recovered";
constexpr int kRate = 200; // records a second
constexpr int kUntilChildEnds = -1;

// Another program's exclusive lock on "dbLog.db", through a connection of the test's own.
class FileLock
{
public:
    explicit FileLock(const QString &path)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kName);
        db.setDatabaseName(path);
        db.open();
    }
    ~FileLock()
    {
        unlock();
        QSqlDatabase::database(kName, false).close();
        QSqlDatabase::removeDatabase(kName);
    }
    bool lock() { return QSqlQuery(QSqlDatabase::database(kName)).exec("BEGIN EXCLUSIVE"); }
    void unlock() { QSqlQuery(QSqlDatabase::database(kName)).exec(QStringLiteral("ROLLBACK")); }

private:
    const QString kName = QStringLiteral("test-file-lock");
};

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
    void tallylogBesideACrashedWriter_data();
    void tallylogBesideACrashedWriter();
};

void SharedFile::steadyLoggingAroundALock_data()
{
    QTest::addColumn<bool>("emptyFile"); // "dbLog.db" starts as an empty file, else as a log
    QTest::addColumn<int>("lockFromMs"); // after the child started; -1: before it starts
    QTest::addColumn<int>("lockForMs");  // or kUntilChildEnds
    QTest::addColumn<int>("logForMs");

    QTest::newRow("no lock, empty file") << true << 0 << 0 << 1000;
    QTest::newRow("lock in the middle") << false << 1000 << 6500 << 8000;
    // The service comes up on a locked file: it keeps trying and works once the lock is gone.
    QTest::newRow("lock from before the start") << false << -1 << 7000 << 3000;
    // The program ends while the file is still locked: it exits in time, the records go to the
    // side file, and the next start stores them.
    QTest::newRow("release while locked") << false << 500 << kUntilChildEnds << 1500;
}

void SharedFile::steadyLoggingAroundALock()
{
    QFETCH(bool, emptyFile);
    QFETCH(int, lockFromMs);
    QFETCH(int, lockForMs);
    QFETCH(int, logForMs);
    Workspace ws;
    QVERIFY(ws.isValid());
    const QString log = ws.filePath(QStringLiteral("dbLog.db"));
    QVERIFY(emptyFile ? writeFile(log, QByteArray()) : writeLogFile(log, {}));

    FileLock other(log);
    if (lockFromMs < 0)
        QVERIFY(other.lock());
    const auto lockAround = [&] {
        if (lockForMs == 0)
            return;
        if (lockFromMs >= 0) {
            QTest::qWait(lockFromMs);
            QVERIFY(other.lock());
        }
        if (lockForMs != kUntilChildEnds) {
            QTest::qWait(lockForMs);
            other.unlock();
        }
    };
    const ChildResult r =
        runChild(kChild,
                 {QStringLiteral("start"), QStringLiteral("steady"), QString::number(kRate),
                  QString::number(logForMs), QStringLiteral("queryall"), QStringLiteral("4"),
                  QStringLiteral("release")},
                 ws, QString(), lockAround);
    other.unlock();
    QVERIFY2(r.ranToEnd(), qPrintable(r.describe()));
    QVERIFY2(r.lostReported() == 0, qPrintable(r.describe()));
    const int logged = r.value(QStringLiteral("logged")).toInt();
    QVERIFY(logged >= kRate * logForMs / 1000 / 2);
    // A program can always exit: release waits for a locked file for about 10 s at most.
    QVERIFY2(r.value(QStringLiteral("releasems")).toInt() < 15000, qPrintable(r.describe()));

    if (lockForMs == kUntilChildEnds) {
        QVERIFY(QFileInfo::exists(ws.filePath(kSideFile)));
        const ChildResult next =
            runChild(kChild, {QStringLiteral("start"), QStringLiteral("release")}, ws);
        QVERIFY2(next.ranToEnd(), qPrintable(next.describe()));
    } else {
        // Queries work again once the file is free, without a restart (the last few records may
        // still be on their way to the file).
        QCOMPARE(r.value(QStringLiteral("errorvalid")), QStringLiteral("0"));
        QVERIFY2(r.value(QStringLiteral("rows")).toInt() > logged - kRate / 10,
                 qPrintable(r.describe()));
    }
    QVERIFY(!QFileInfo::exists(ws.filePath(kSideFile)));
    verifySteadyRecords(log, logged);
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

    QProcess tallylog;
    tallylog.start(kTallylog, QStringList{QStringLiteral("--db"), log} + command);
    QByteArray out, err;
    const auto readLines = [&] {
        out += tallylog.readAllStandardOutput();
        err += tallylog.readAllStandardError();
        return out.count('\n');
    };
    if (recoveredByOther) {
        QTRY_VERIFY_WITH_TIMEOUT((readLines(), err.contains(kCrashedWriter)), 10000);
        QVERIFY(execOnFile(log, {QStringLiteral("SELECT count(*) FROM SystemInfo")}));
    }
    if (status < 0) {
        QTRY_COMPARE_WITH_TIMEOUT(readLines(), 3, 10000);
        tallylog.terminate();
    }
    QVERIFY(tallylog.waitForFinished(kChildTimeoutMs));
    const bool prune = command.first() == QLatin1String("prune");
    QCOMPARE(readLines(), prune ? 1 : status == 1 ? 0 : 3);
    QCOMPARE(tallylog.exitCode(), qMax(status, 0));
    QVERIFY2(!err.contains("not a log") && err.count(kCrashedWriter) == (prune ? 0 : 1),
             err.constData());
    // Undone by whoever may write, never by a reader.
    QCOMPARE(QFileInfo::exists(log + QStringLiteral("-journal")), status == 1);
    QCOMPARE(recordCount(log), prune ? 0 : 3);
}

QTEST_GUILESS_MAIN(SharedFile)
#include "tst_shared_file.moc"
