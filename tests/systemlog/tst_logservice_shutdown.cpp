// Shutting the service down: a large backlog is stored completely by release(), and logging that
// races start() and release() neither crashes nor loses a call: each call reaches either
// standard output or the store, exactly once.

#include "TestSupport.h"
#include "qzSysLog.h"

#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using SystemLog::outputHook;
using SystemLog::qzSysLog;
using namespace TestSupport;

namespace {

QByteArray raceMessage(int thread, int seq)
{
    return QByteArray("r") + QByteArray::number(thread) + ':' + QByteArray::number(seq) + '\n';
}

bool parseRaceMessage(const QByteArray &text, int *thread, int *seq)
{
    if (!text.startsWith('r'))
        return false;
    const int colon = text.indexOf(':');
    if (colon < 2)
        return false;
    bool okThread = false;
    bool okSeq = false;
    *thread = text.mid(1, colon - 1).toInt(&okThread);
    *seq = text.mid(colon + 1).toInt(&okSeq);
    return okThread && okSeq;
}

} // namespace

class LogServiceShutdownTest : public ScratchTest
{
    Q_OBJECT

private Q_SLOTS:
    void largeBacklogIsStoredByRelease();
    void loggingRacesStartAndRelease();
};

void LogServiceShutdownTest::largeBacklogIsStoredByRelease()
{
    const int total = 200000;
    qzSysLog::instance()->start();
    for (int i = 0; i < total; ++i) {
        const QByteArray msg = QByteArray("backlog ") + QByteArray::number(i);
        outputHook(i % 5, msg.constData(), msg.size());
    }
    qzSysLog::release();

    AuxDb aux;
    QCOMPARE(aux.rowCount(), total);
    const QVector<AuxDb::Row> rows = aux.allRows();
    QCOMPARE(rows.size(), total);
    for (int i = 0; i < total; ++i) {
        if (rows[i].message != QStringLiteral("backlog %1").arg(i) || rows[i].type != i % 5)
            QFAIL(qPrintable(QStringLiteral("row %1 holds (%2, \"%3\")")
                                 .arg(i)
                                 .arg(rows[i].type)
                                 .arg(rows[i].message)));
    }
}

void LogServiceShutdownTest::loggingRacesStartAndRelease()
{
    const int threads = 3;
    const int cycles = 25;
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0}; // hook calls that have returned, of all threads
    std::vector<int> logged(static_cast<size_t>(threads), 0);

    QByteArray written;
    {
        StdoutCapture capture(m_dir->filePath(QStringLiteral("stdout.bin")));
        QVERIFY(capture.isActive());

        std::vector<std::thread> loggers;
        for (int t = 0; t < threads; ++t) {
            loggers.emplace_back([&, t] {
                int seq = 0;
                while (!stop.load()) {
                    const QByteArray msg = raceMessage(t, seq);
                    outputHook(t, msg.constData(), msg.size());
                    ++calls;
                    ++seq;
                    if (seq % 16 == 0)
                        QThread::usleep(200);
                }
                logged[static_cast<size_t>(t)] = seq;
            });
        }

        for (int cycle = 0; cycle < cycles; ++cycle) {
            qzSysLog::instance()->start();
            // Released once more calls have returned than were under way at the start: at least
            // one began after it and goes to the store.
            const int started = calls.load();
            while (calls.load() <= started + threads)
                std::this_thread::yield();
            qzSysLog::release();
            QThread::msleep(1);
        }
        stop.store(true);
        for (std::thread &logger : loggers)
            logger.join();
        written = capture.finish();
    }

    // seen[t][seq]: 1 for standard output, 2 for the store.
    std::vector<std::vector<char>> seen(static_cast<size_t>(threads));
    for (int t = 0; t < threads; ++t)
        seen[static_cast<size_t>(t)].assign(static_cast<size_t>(logged[static_cast<size_t>(t)]), 0);

    auto record = [&](const QByteArray &text, char where) -> QString {
        int t = -1;
        int seq = -1;
        if (!parseRaceMessage(text, &t, &seq) || t < 0 || t >= threads || seq < 0 ||
            seq >= logged[static_cast<size_t>(t)])
            return QStringLiteral("unexpected text \"%1\"").arg(QString::fromUtf8(text));
        char &slot = seen[static_cast<size_t>(t)][static_cast<size_t>(seq)];
        if (slot)
            return QStringLiteral("r%1:%2 arrived twice (%3 then %4)")
                .arg(t)
                .arg(seq)
                .arg(int(slot))
                .arg(int(where));
        slot = where;
        return QString();
    };

    QVERIFY2(written.isEmpty() || written.endsWith('\n'), "standard output ends mid-record");
    int toStdout = 0;
    for (const QByteArray &line : written.split('\n')) {
        if (line.isEmpty())
            continue;
        const QString problem = record(line + '\n', 1);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        ++toStdout;
    }

    std::vector<int> lastStored(static_cast<size_t>(threads), -1);
    const QVector<AuxDb::Row> rows = AuxDb().allRows();
    for (const AuxDb::Row &row : rows) {
        const QByteArray text = row.message.toUtf8();
        const QString problem = record(text, 2);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        int t = -1;
        int seq = -1;
        parseRaceMessage(text, &t, &seq);
        QCOMPARE(row.type, t);
        QVERIFY2(seq > lastStored[static_cast<size_t>(t)],
                 qPrintable(QStringLiteral("r%1:%2 stored after r%1:%3")
                                .arg(t)
                                .arg(seq)
                                .arg(lastStored[static_cast<size_t>(t)])));
        lastStored[static_cast<size_t>(t)] = seq;
    }

    for (int t = 0; t < threads; ++t) {
        const std::vector<char> &s = seen[static_cast<size_t>(t)];
        for (size_t seq = 0; seq < s.size(); ++seq) {
            if (!s[seq])
                QFAIL(qPrintable(QStringLiteral("r%1:%2 reached neither standard output nor the "
                                                "store (%3 calls by this thread)")
                                     .arg(t)
                                     .arg(seq)
                                     .arg(s.size())));
        }
    }
    QVERIFY2(!rows.isEmpty(), "no call was ever stored");
    qDebug("%d calls reached standard output, %d the store", toStdout, int(rows.size()));
}

QTEST_GUILESS_MAIN(LogServiceShutdownTest)
#include "tst_logservice_shutdown.moc"
