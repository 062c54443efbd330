// A process that logs from two threads is killed with SIGKILL in the middle of the burst. The
// log it leaves must be sound: the database passes its integrity check, every record that was
// committed before the kill is still there, each thread's records form a gap-free prefix of what
// it logged, in order, every message whole, and the file opens again and takes new records.
// Built twice: once opening the file through the log service alone, once through the window.

#include "RobustnessSupport.h"
#include "TestLogFile.h"

#include "OutputHook.h"
#include "qzSysLog.h"

#ifdef ROBUSTNESS_WITH_WINDOW
#include "RecordListing.h"
#include "Tallyview.h"

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QPushButton>
#include <QTextEdit>
#endif

#include <QDate>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

#include <csignal>

#include <signal.h>
#include <sys/types.h>

using namespace Robustness;

namespace {

const QString kChild = QStringLiteral(ROBUSTNESS_SERVICE_CHILD);
const QByteArray kAfterCrash = "logged after the crash";
constexpr int kAfterCrashType = 3;

// Counts the committed records of two categories through a read-only connection of its own,
// without disturbing the writer for longer than one count. A file that a killed writer left with
// a transaction to undo is not counted until the next writer has undone it.
class CommittedCounter
{
public:
    explicit CommittedCounter(const QString &path, int firstType = 1, int secondType = 2)
        : m_path(path), m_types{firstType, secondType}
    {
    }
    ~CommittedCounter()
    {
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(kName);
    }

    // Committed records of the first and of the second category (by default those of thread 0
    // and of thread 1 of a burst); false while the file or its table cannot be read.
    bool count(int *first, int *second)
    {
        if (!QFileInfo::exists(m_path))
            return false;
        if (!m_db.isValid()) {
            m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kName);
            m_db.setDatabaseName(m_path);
            m_db.setConnectOptions(
                QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000"));
        }
        if (!m_db.isOpen() && !m_db.open())
            return false;
        QSqlQuery query(m_db);
        if (!query.exec(QStringLiteral("SELECT total(type = %1), total(type = %2) FROM SystemInfo")
                            .arg(m_types[0])
                            .arg(m_types[1])) ||
            !query.next())
            return false;
        *first = query.value(0).toInt();
        *second = query.value(1).toInt();
        query.finish();
        return true;
    }

private:
    const QString kName = QStringLiteral("robustness-counter");
    QString m_path;
    int m_types[2];
    QSqlDatabase m_db;
};

// Sends SIGSTOP and returns once the process is really stopped.
bool stopProcess(qint64 pid)
{
    if (::kill(static_cast<pid_t>(pid), SIGSTOP) != 0)
        return false;
    const QString statPath = QStringLiteral("/proc/%1/stat").arg(pid);
    QDeadlineTimer deadline(kHangGuardMs);
    while (!deadline.hasExpired()) {
        QFile stat(statPath);
        if (!stat.open(QIODevice::ReadOnly))
            return false;
        // "pid (name) state ...": the state follows the last closing parenthesis.
        const QByteArray line = stat.readAll();
        const int close = line.lastIndexOf(')');
        if (close > 0 && line.size() > close + 2 && line.at(close + 2) == 'T')
            return true;
    }
    return false;
}

struct StoredRow
{
    qlonglong id;
    int type;
    QString datetime;
    QString message;
};

bool readAll(const QString &path, QStringList *integrity, QList<StoredRow> *rows, QString *why)
{
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                    QStringLiteral("robustness-check"));
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("PRAGMA integrity_check"))) {
                while (query.next())
                    *integrity << query.value(0).toString();
                if (query.exec(QStringLiteral(
                        "SELECT id, type, datetime, message FROM SystemInfo ORDER BY id"))) {
                    while (query.next())
                        rows->append({query.value(0).toLongLong(), query.value(1).toInt(),
                                      query.value(2).toString(), query.value(3).toString()});
                    ok = true;
                }
            }
            if (!ok)
                *why = query.lastError().text();
            db.close();
        } else {
            *why = db.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("robustness-check"));
    return ok;
}

// Restores the working directory when the test function ends, however it ends.
class WorkingDirectory
{
public:
    explicit WorkingDirectory(const QString &path) : m_previous(QDir::currentPath())
    {
        m_ok = QDir::setCurrent(path);
    }
    ~WorkingDirectory() { QDir::setCurrent(m_previous); }
    bool ok() const { return m_ok; }

private:
    QString m_previous;
    bool m_ok = false;
};

// What the reopened file showed for the records of thread 0 (category 1) of one day.
struct Reopened
{
    bool failed = false;
    QString failure;
    QStringList messages;
};

#ifdef ROBUSTNESS_WITH_WINDOW
// Opens the window, lists category 1 of the day and logs one record before it is closed.
Reopened reopen(const QDate &day)
{
    Reopened result;
    Tallyview window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window, kHangGuardMs)) {
        result.failed = true;
        result.failure = QStringLiteral("the window was not exposed");
        return result;
    }
    auto *type = window.findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *date = window.findChild<QDateEdit *>(QStringLiteral("dateEdit"));
    auto *query = window.findChild<QPushButton *>(QStringLiteral("pushButton"));
    auto *view = window.findChild<QTextEdit *>(QStringLiteral("textEdit"));
    if (!type || !date || !query || !view) {
        result.failed = true;
        result.failure = QStringLiteral("a control of the window is missing");
        return result;
    }
    type->setCurrentIndex(1);
    date->setDate(day);
    query->click();
    // The listing is shown once prepared; the window shows the wait cursor until then.
    if (!QTest::qWaitFor([] { return !QApplication::overrideCursor(); }, kHangGuardMs)) {
        result.failed = true;
        result.failure = QStringLiteral("the listing was never shown");
        return result;
    }
    // A long listing is in the view only in part; the listing behind it holds it all.
    const auto *listing = view->findChild<RecordListing *>();
    const QString text =
        listing && !listing->isWhole() ? listing->wholeText() : view->toPlainText();
    if (text.startsWith(QString::fromUtf8("查询失败"))) {
        result.failed = true;
        result.failure = text;
    }
    // The listing is "<date-time>:" and the message on the next line, per record.
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 1; i < lines.size(); i += 2)
        result.messages << lines.at(i);
    SystemLog::outputHook(kAfterCrashType, kAfterCrash.constData(), kAfterCrash.size());
    return result; // the window's destructor releases the service, which stores the record
}
#else
// Opens the log through the service, lists category 1 of the day and logs one record.
Reopened reopen(const QDate &day)
{
    Reopened result;
    SystemLog::qzSysLog *front = SystemLog::qzSysLog::instance();
    QSqlError error;
    const SystemLog::LogRowList rows =
        front->queryDay(day.toString(QStringLiteral("yyyy-MM-dd")), 1, &error);
    if (error.isValid()) {
        result.failed = true;
        result.failure = error.text();
    }
    for (const SystemLog::LogRow &row : rows)
        result.messages << row.second;
    front->start();
    SystemLog::outputHook(kAfterCrashType, kAfterCrash.constData(), kAfterCrash.size());
    SystemLog::qzSysLog::release();
    return result;
}
#endif

} // namespace

class CrashSafety : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void killedDuringBurst_data();
    void killedDuringBurst();
#ifndef ROBUSTNESS_WITH_WINDOW
    void killedWhileMoving_data();
    void killedWhileMoving();
    void killedInTheSpill_data();
    void killedInTheSpill();
#endif
};

void CrashSafety::killedDuringBurst_data()
{
    QTest::addColumn<int>("committed"); // records stored before the kill, at least
    // Kill while the writer has a transaction open (its journal is on disk), so that the next
    // opener finds a hot journal to roll back; otherwise kill right after the count.
    QTest::addColumn<bool>("insideTransaction");

    QTest::newRow("early, right after a count") << 2000 << false;
    QTest::newRow("early, inside a transaction") << 2000 << true;
    QTest::newRow("deep, inside a transaction") << 20000 << true;
}

void CrashSafety::killedDuringBurst()
{
    QFETCH(int, committed);
    QFETCH(bool, insideTransaction);
    Workspace ws;
    QVERIFY(ws.isValid());
    const QString log = ws.filePath(QStringLiteral("dbLog.db"));

    TestFiles::ChildProcess child;
    const QDate startDay = QDate::currentDate();
    QVERIFY2(child.start(kChild, {QStringLiteral("burst")}, ws.path(), {"HOME=" + ws.home()}),
             qPrintable(child.process().errorString()));

    // Wait until both threads have enough records committed; the deadline only guards against
    // a stall.
    int seen = 0;
    {
        CommittedCounter counter(log);
        QDeadlineTimer deadline(kChildTimeoutMs);
        int first = 0;
        int second = 0;
        while (!counter.count(&first, &second) || qMin(first, second) < committed / 2) {
            if (child.process().state() != QProcess::Running || deadline.hasExpired()) {
                child.end(SIGKILL);
                QFAIL(qPrintable(QStringLiteral("the logging child stored %1 + %2 records and "
                                                "%3; stderr:\n%4")
                                     .arg(first)
                                     .arg(second)
                                     .arg(deadline.hasExpired() ? QStringLiteral("stalled")
                                                                : QStringLiteral("ended"))
                                     .arg(QString::fromUtf8(child.err()))));
            }
            QTest::qSleep(5);
        }
        seen = first + second;
    }
    const QString journalPath = ws.filePath(QStringLiteral("dbLog.db-journal"));
    if (insideTransaction) {
        // The journal holds data only while a write transaction is open. Freeze the child once
        // it is seen and kill it only if the transaction is still open; else let it go on.
        const auto journalInUse = [&] {
            const QFileInfo journal(journalPath);
            return journal.exists() && journal.size() > 0;
        };
        QDeadlineTimer deadline(kChildTimeoutMs);
        for (;;) {
            QVERIFY2(!deadline.hasExpired(), "the writer never had a transaction open");
            QVERIFY2(child.process().state() == QProcess::Running, "the logging child ended");
            if (!journalInUse())
                continue;
            QVERIFY(stopProcess(child.pid()));
            if (journalInUse())
                break;
            QVERIFY(::kill(static_cast<pid_t>(child.pid()), SIGCONT) == 0);
        }
    }
    QCOMPARE(child.end(SIGKILL), -1);
    QCOMPARE(child.process().exitStatus(), QProcess::CrashExit);
    const QDate killDay = QDate::currentDate();
    if (killDay != startDay)
        QSKIP("the burst ran across midnight, so its records belong to two days");
    const QFileInfo journal(journalPath);
    const bool hotJournal = journal.exists() && journal.size() > 0;
    qInfo("killed with at least %d records committed; %s", seen,
          hotJournal ? "a transaction was in progress (hot journal)"
                     : "no transaction was in progress");
    if (insideTransaction)
        QVERIFY2(hotJournal, "the journal of the open transaction is gone after the kill");

    // The next program to open the file is ours.
    Reopened reopened;
    {
        WorkingDirectory cwd(ws.path());
        QVERIFY(cwd.ok());
        reopened = reopen(killDay);
    }
    QVERIFY2(!reopened.failed, qPrintable(reopened.failure));

    QStringList integrity;
    QList<StoredRow> rows;
    QString why;
    QVERIFY2(readAll(log, &integrity, &rows, &why), qPrintable(why));
    QCOMPARE(integrity, QStringList{QStringLiteral("ok")});

    static const QRegularExpression pattern(QStringLiteral("^t([01]):(0|[1-9][0-9]*)$"));
    long long next[2] = {0, 0};
    int afterCrash = 0;
    QStringList listedExpected;
    const QString dayText = killDay.toString(QStringLiteral("yyyy-MM-dd"));
    for (const StoredRow &row : rows) {
        if (row.type == kAfterCrashType && row.message == QString::fromUtf8(kAfterCrash)) {
            ++afterCrash;
            continue;
        }
        const QRegularExpressionMatch m = pattern.match(row.message);
        if (!m.hasMatch())
            QFAIL(qPrintable(QStringLiteral("record %1 holds \"%2\", which no thread logged")
                                 .arg(row.id)
                                 .arg(row.message)));
        const int thread = m.captured(1).toInt();
        const long long seq = m.captured(2).toLongLong();
        if (seq != next[thread])
            QFAIL(qPrintable(QStringLiteral("thread %1: record %2 holds sequence number %3 "
                                            "where %4 was due")
                                 .arg(thread)
                                 .arg(row.id)
                                 .arg(seq)
                                 .arg(next[thread])));
        QCOMPARE(row.type, thread + 1);
        ++next[thread];
        if (row.type == 1 && row.datetime.startsWith(dayText))
            listedExpected << row.message;
    }
    qInfo("stored after the kill: thread 0: %lld, thread 1: %lld", next[0], next[1]);
    QVERIFY(next[0] > 0);
    QVERIFY(next[1] > 0);
    // What was committed before the kill survived it.
    QVERIFY2(next[0] + next[1] >= seen,
             qPrintable(QStringLiteral("%1 records committed before the kill, %2 left")
                            .arg(seen)
                            .arg(next[0] + next[1])));
    // The reopened file lists the day's records of thread 0, all of them, in order.
    QCOMPARE(reopened.messages.size(), listedExpected.size());
    QVERIFY(reopened.messages == listedExpected);
    // And it takes new records.
    QCOMPARE(afterCrash, 1);
}

#ifndef ROBUSTNESS_WITH_WINDOW
void CrashSafety::killedWhileMoving_data()
{
    // Set by another program on one of the files.
    QTest::addColumn<QString>("walFile");
    QTest::newRow("rollback journal") << QString();
    QTest::newRow("log in WAL mode") << QStringLiteral("dbLog.db");
    QTest::newRow("side file in WAL mode") << kSideFile;
}

// The service is killed again and again while it logs and moves the records of the side file into
// the log. Every record arrives exactly once and in order, whatever the log's journal mode, and no
// file of SQLite's is left behind.
//
// A kill is aimed at the move, not at a moment: once the log is seen to have taken more of the
// side file's records than at the first look of the run (the move is under way in this run, in
// one of its many transactions), and a random few milliseconds later, the child is frozen
// (SIGSTOP) and then killed. Whether the kill landed before the move's end is read from the
// frozen state: the move ends by removing the side file, so a side file still there means it
// did. A run whose move ended first proves nothing and is not counted; at least one must land.
void CrashSafety::killedWhileMoving()
{
    QFETCH(QString, walFile);
    // A move of 50 transactions of the writer (2,000 records each).
    constexpr int kWaiting = 100000;
    constexpr int kKills = 16;
    Workspace ws;
    QVERIFY(ws.isValid());
    const QString log = ws.filePath(QStringLiteral("dbLog.db"));
    const QString side = ws.filePath(kSideFile);
    QVERIFY(writeLogFile(log, {}));
    const QList<StoredRecord> waiting = recordsOfDay(kWaiting, 12);
    QVERIFY(writeLogFile(side, waiting));
    if (!walFile.isEmpty())
        QVERIFY(
            TestLogFile::exec(ws.filePath(walFile), {QStringLiteral("PRAGMA journal_mode=WAL")}));

    QRandomGenerator random(20240317);
    int kills = 0;
    int landed = 0;
    for (; kills < kKills && QFileInfo::exists(side); ++kills) {
        TestFiles::ChildProcess child;
        // While records keep coming, the move goes on every cycle; the run lasts until killed.
        QVERIFY2(child.start(kChild,
                             QStringLiteral("start steady 2000 %1 release")
                                 .arg(kChildTimeoutMs)
                                 .split(QLatin1Char(' ')),
                             ws.path()),
                 qPrintable(child.process().errorString()));
        bool underWay = false;
        {
            CommittedCounter counter(log, 0, 4);
            int first = -1;
            // Until the move is seen under way, it ends, or the child ends on its own.
            while (!underWay && QFileInfo::exists(side) && !child.process().waitForFinished(2)) {
                int moved = 0;
                int steady = 0;
                if (counter.count(&moved, &steady)) {
                    if (first < 0)
                        first = moved;
                    underWay = moved > first && moved < kWaiting;
                }
            }
        }
        if (underWay) {
            QTest::qSleep(int(random.bounded(20)));
            QVERIFY(stopProcess(child.pid()));
            if (QFileInfo::exists(side))
                ++landed;
        }
        child.end(SIGKILL); // unless it has ended on its own
        QVERIFY(!child.timedOut());
    }
    // The next start finishes the move and tidies up after a run killed at its very end.
    const ChildResult last = runChild(kChild, {"start", "moved", "release"}, ws);
    QVERIFY2(last.ranToEnd(), qPrintable(last.describe()));
    QVERIFY(!QFileInfo::exists(side));
    qInfo("%d of %d kills landed while the move was under way", landed, kills);
    QVERIFY(landed > 0);

    // The child's own records are of category 4.
    bool ok = false;
    QStringList stored;
    QStringList expected;
    for (const StoredRecord &record : readLogFile(log, &ok)) {
        if (record.type == 0)
            stored << record.message;
    }
    for (const StoredRecord &record : waiting)
        expected << record.message;
    QVERIFY(ok);
    QCOMPARE(stored, expected);
    QCOMPARE(QDir(ws.path()).entryList({QStringLiteral("*-mj*")}, QDir::Files), QStringList());
}

void CrashSafety::killedInTheSpill_data()
{
    // The child dies right before this operation of the spill journal: the first directory
    // sync is the one of the journal's new directory, the second one names the segment, the
    // third one follows its removal; the first write and sync are those of its header.
    QTest::addColumn<QString>("point");
    QTest::addColumn<int>("nth");
    QTest::addColumn<bool>("allStored"); // every record was in the spill at the kill
    QTest::newRow("segment made, no header yet") << "write" << 1 << false;
    QTest::newRow("segment named, its directory not synced") << "dirsync" << 2 << false;
    QTest::newRow("before a batch is written") << "write" << 2 << false;
    QTest::newRow("a batch written, not synced") << "sync" << 2 << false;
    QTest::newRow("moved and removed, its directory not synced") << "dirsync" << 3 << true;
}

// Records go to the spill journal while the log is locked and are moved once it is free; the
// child kills itself at one step of that. The next service leaves each record in the log once,
// each thread's records a prefix of what it logged, and nothing in the journal.
void CrashSafety::killedInTheSpill()
{
    QFETCH(QString, point);
    QFETCH(int, nth);
    QFETCH(bool, allStored);
    constexpr int kRecords = 400;
    Workspace ws;
    QVERIFY(ws.isValid());
    const QString log = ws.filePath(QStringLiteral("dbLog.db"));
    QVERIFY(writeLogFile(log, {}));
    const ChildResult killed = runChild(
        kChild,
        QStringLiteral("limit 1 killat %1 %2 lock dbLog.db start log %3 waitqueued 0 unlock "
                       "moved release")
            .arg(point)
            .arg(nth)
            .arg(kRecords)
            .split(QLatin1Char(' ')),
        ws);
    QVERIFY2(killed.exitStatus == QProcess::CrashExit, qPrintable(killed.describe()));
    const ChildResult next = runChild(kChild, {"start", "moved", "release"}, ws);
    QVERIFY2(next.ranToEnd() && next.lostReported() == 0, qPrintable(next.describe()));

    bool ok = false;
    int seq[2] = {0, 0};
    const QRegularExpression pattern(QStringLiteral("^robustness record (\\d)/(\\d+)$"));
    for (const StoredRecord &record : readLogFile(log, &ok)) {
        const QRegularExpressionMatch m = pattern.match(record.message);
        QVERIFY2(m.hasMatch(), qPrintable(record.message));
        const int thread = m.captured(1).toInt();
        QCOMPARE(m.captured(2).toInt(), seq[thread]++);
    }
    QVERIFY(ok);
    if (allStored)
        QCOMPARE(seq[0] + seq[1], kRecords);
    QCOMPARE(QDir(ws.filePath(kSpillDir))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
    // No mark is left of a segment that is gone.
    int marks = -1;
    QVERIFY(TestLogFile::withConnection(log, [&](QSqlDatabase &db) {
        QSqlQuery q(db);
        marks = q.exec(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name = "
                                      "'SpillMarks'")) &&
                        q.next() && q.value(0).toInt() == 0
                    ? 0
                : q.exec(QStringLiteral("SELECT count(*) FROM SpillMarks")) && q.next()
                    ? q.value(0).toInt()
                    : -1;
        return true;
    }));
    QCOMPARE(marks, 0);
}
#endif

#ifdef ROBUSTNESS_WITH_WINDOW
QTEST_MAIN(CrashSafety)
#else
QTEST_GUILESS_MAIN(CrashSafety)
#endif
#include "tst_crash_safety.moc"
