// The service under load: several threads logging while other threads query. Every record must be
// stored exactly once, each thread's records in the order it logged them, and no query or insert
// may fail because the other side is busy.

#include "TestSupport.h"
#include "qzSysLog.h"

#include <QDate>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using SystemLog::LogRowList;
using SystemLog::outputHook;
using SystemLog::qzSysLog;
using namespace TestSupport;

namespace {

QByteArray messageFor(int thread, int seq)
{
    return QByteArray("t") + QByteArray::number(thread) + ' ' + QByteArray::number(seq);
}

// Parses "t<thread> <seq>"; returns false for anything else.
bool parseMessage(const QString &text, int *thread, int *seq)
{
    if (!text.startsWith(QLatin1Char('t')))
        return false;
    const int space = text.indexOf(QLatin1Char(' '));
    if (space < 2)
        return false;
    bool okThread = false;
    bool okSeq = false;
    *thread = text.mid(1, space - 1).toInt(&okThread);
    *seq = text.mid(space + 1).toInt(&okSeq);
    return okThread && okSeq;
}

// Collects the first problem a checking thread finds, and how many it found.
struct Problems
{
    std::atomic<int> count{0};
    QString first; // written only by the thread that recorded problem number one

    void report(const QString &what)
    {
        if (count.fetch_add(1) == 0)
            first = what;
    }

    QString summary(int queries) const
    {
        return QStringLiteral("%1 problems in %2 queries; first: %3")
            .arg(count.load())
            .arg(queries)
            .arg(first);
    }
};

// Checks the result of one query of a thread's category: no error, and the rows are that
// thread's records (from its first on, if mustStartAtZero), gap-free and in the order logged.
void checkRun(const LogRowList &rows, const QSqlError &error, int thread, bool mustStartAtZero,
              Problems &problems, const char *query)
{
    if (error.isValid()) {
        problems.report(QStringLiteral("%1 failed: %2").arg(query, error.text()));
        return;
    }
    int expected = -1;
    for (const auto &row : rows) {
        int t = -1;
        int seq = -1;
        if (!parseMessage(row.second, &t, &seq) || t != thread) {
            problems.report(QStringLiteral("%1: foreign row \"%2\"").arg(query, row.second));
            return;
        }
        if (expected < 0 && mustStartAtZero && seq != 0) {
            problems.report(
                QStringLiteral("%1: first row of thread %2 is %3").arg(query).arg(thread).arg(seq));
            return;
        }
        if (expected >= 0 && seq != expected) {
            problems.report(QStringLiteral("%1: thread %2 row %3 follows %4")
                                .arg(query)
                                .arg(thread)
                                .arg(seq)
                                .arg(expected - 1));
            return;
        }
        expected = seq + 1;
    }
}

// Every row of the table belongs to one of `threads` threads, and each thread's rows are exactly
// 0 .. perThread-1 in id order.
void verifyStoredExactlyOnce(int threads, int perThread)
{
    const QVector<AuxDb::Row> rows = AuxDb().allRows();
    QCOMPARE(rows.size(), threads * perThread);
    std::vector<int> next(static_cast<size_t>(threads), 0);
    for (const AuxDb::Row &row : rows) {
        int t = -1;
        int seq = -1;
        QVERIFY2(parseMessage(row.message, &t, &seq) && t >= 0 && t < threads,
                 qPrintable(row.message));
        QCOMPARE(row.type, t);
        if (seq != next[static_cast<size_t>(t)])
            QFAIL(qPrintable(QStringLiteral("thread %1: row %2 stored where %3 was due (id %4)")
                                 .arg(t)
                                 .arg(seq)
                                 .arg(next[static_cast<size_t>(t)])
                                 .arg(row.id)));
        ++next[static_cast<size_t>(t)];
    }
    for (int t = 0; t < threads; ++t)
        QCOMPARE(next[static_cast<size_t>(t)], perThread);
}

} // namespace

class LogServiceLoadTest : public ScratchTest
{
    Q_OBJECT

private Q_SLOTS:
    void threadsLogWhileAnotherThreadQueries();
    void guiThreadQueriesWhileThreadsLog();
};

void LogServiceLoadTest::threadsLogWhileAnotherThreadQueries()
{
    const int threads = 4;
    const int perThread = 20000;
    qzSysLog *front = qzSysLog::instance();
    front->start();

    std::atomic<bool> go{false};
    std::atomic<int> running{threads};
    std::vector<std::thread> loggers;
    for (int t = 0; t < threads; ++t) {
        loggers.emplace_back([&, t] {
            while (!go.load())
                std::this_thread::yield();
            for (int seq = 0; seq < perThread; ++seq) {
                const QByteArray msg = messageFor(t, seq);
                outputHook(t, msg.constData(), msg.size());
            }
            running.fetch_sub(1);
        });
    }

    Problems problems;
    int queries = 0;
    std::thread querier([&] {
        const QString today = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
        while (running.load() > 0) {
            const int t = queries % threads;
            QSqlError err;
            const LogRowList range = front->queryRange(kEarliest, kLatest, t, &err);
            checkRun(range, err, t, true, problems, "queryRange");

            // A day that began during the run starts later in a thread's sequence.
            const LogRowList day = front->queryDay(today, t, &err);
            checkRun(day, err, t, false, problems, "queryDay");
            ++queries;
        }
    });

    go.store(true);
    for (std::thread &logger : loggers)
        logger.join();
    querier.join();
    QVERIFY2(problems.count.load() == 0, qPrintable(problems.summary(queries)));

    qzSysLog::release();
    verifyStoredExactlyOnce(threads, perThread);
    qDebug("%d query rounds ran while logging", queries);
}

void LogServiceLoadTest::guiThreadQueriesWhileThreadsLog()
{
    const int threads = 2;
    const int perThread = 15000;
    qzSysLog *front = qzSysLog::instance();
    front->start();

    std::atomic<int> running{threads};
    std::vector<std::thread> loggers;
    for (int t = 0; t < threads; ++t) {
        loggers.emplace_back([&, t] {
            for (int seq = 0; seq < perThread; ++seq) {
                const QByteArray msg = messageFor(t, seq);
                outputHook(t, msg.constData(), msg.size());
                if (seq % 100 == 99)
                    QThread::usleep(200);
            }
            running.fetch_sub(1);
        });
    }

    // The queries run in this thread, on the connection the front opened at its creation.
    Problems problems;
    int queries = 0;
    while (running.load() > 0) {
        const int t = queries % threads;
        QSqlError err;
        const LogRowList rows = front->queryRange(kEarliest, kLatest, t, &err);
        checkRun(rows, err, t, true, problems, "queryRange");
        ++queries;
    }
    for (std::thread &logger : loggers)
        logger.join();
    QVERIFY2(problems.count.load() == 0, qPrintable(problems.summary(queries)));

    qzSysLog::release();
    verifyStoredExactlyOnce(threads, perThread);
    qDebug("%d queries ran in the GUI thread while logging", queries);
}

QTEST_GUILESS_MAIN(LogServiceLoadTest)
#include "tst_logservice_load.moc"
