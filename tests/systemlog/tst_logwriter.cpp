// The writer thread: what outputLog queues is stored exactly, in order, while it runs and
// completely at shutdown; the day and range queries and their errors. (The rate at which it
// stores is measured by the benchmarks.)

#include "TestSupport.h"
#include "qzLogDB.h"
#include "read/LogReader.h"
#include "store/DamagedLog.h"

#include <QDate>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QMetaMethod>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

using SystemLog::LogRowList;
using SystemLog::qzLogDB;
using namespace TestSupport;

namespace {

void log(qzLogDB &writer, int type, const QByteArray &bytes)
{
    writer.outputLog(type, bytes.constData(), bytes.size());
}

// Waits (without judging the time taken) until the table holds `expected` rows.
int waitForRows(int expected, int limitMs = TestFiles::kHangGuardMs)
{
    QDeadlineTimer deadline(limitMs);
    int rows = 0;
    for (;;) {
        rows = AuxDb().rowCount();
        if (rows >= expected || deadline.hasExpired())
            return rows;
        QThread::msleep(20);
    }
}

} // namespace

class LogWriterTest : public ScratchTest
{
    Q_OBJECT

private Q_SLOTS:
    void queuedBeforeStartStoredAfterOldestFirst();
    void outputLogStoresExactBytes_data();
    void outputLogStoresExactBytes();
    void lengthLimitsTheMessage_data();
    void lengthLimitsTheMessage();

    void queryDayBounds_data();
    void queryDayBounds();
    void queryRangeBounds_data();
    void queryRangeBounds();
    void queriesKeepInsertionOrder();
    void queryErrorIsClearedOnSuccess();
    void failedQueryReportsError();
    void unusableFileIsNeverWritten();
    void damagedLogIsSetAsideAndReplaced_data();
    void damagedLogIsSetAsideAndReplaced();

    void burstIsStoredWhileRunning();
    void memoryBoundSendsRecordsToTheSpill();
    void destructionStoresBacklog();
    void backlogIsCountedUntilStored();
    void stopBeforeStartDoesNotPreventRun();
    void restartAfterStop();
    void stopProcessIsTheOneSlot();
    void queriesFromAnotherThread();
    void queriesNeverMakeInsertsFail();
};

void LogWriterTest::queuedBeforeStartStoredAfterOldestFirst()
{
    qzLogDB writer;
    QVERIFY(QFileInfo::exists(kDbFile));
    log(writer, 3, "first");
    log(writer, 1, "second");
    log(writer, 3, "third");
    log(writer, 3, "fourth");
    QCOMPARE(writer.queuedCount(), 4);
    QVERIFY(writer.queryRange(kEarliest, kLatest, 3).isEmpty());
    QCOMPARE(AuxDb().rowCount(), 0);

    writer.startProcess();
    writer.stopProcess();
    QVERIFY(writer.wait());
    QCOMPARE(writer.queuedCount(), 0);
    QCOMPARE(writer.lostCount(), 0LL);

    QCOMPARE(messagesOf(writer.queryRange(kEarliest, kLatest, 3)),
             (QStringList{"first", "third", "fourth"}));
    const QVector<AuxDb::Row> rows = AuxDb().allRows();
    QCOMPARE(rows.size(), 4);
    QCOMPARE(rows[1].message, QStringLiteral("second"));
    QCOMPARE(rows[1].type, 1);
}

void LogWriterTest::outputLogStoresExactBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("spilled"); // the record waits in the spill journal first
    for (const auto &row : hostileMessages()) {
        QTest::addRow("%s", row.first) << row.second << false;
        QTest::addRow("%s, spilled", row.first) << row.second << true;
    }
}

// The stored bytes are exactly those of QString::fromUtf8(bytes).toUtf8(), straight or through
// the spill journal.
void LogWriterTest::outputLogStoresExactBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, spilled);
    const QByteArray expected = QString::fromUtf8(bytes.constData(), bytes.size()).toUtf8();
    const GuardedBytes guarded(bytes);
    QVERIFY(guarded.isValid());

    {
        qzLogDB writer;
        TestFiles::FileLock holder(kDbFile);
        if (spilled) {
            writer.setMemoryLimit(1);
            QVERIFY(holder.lock());
        }
        writer.startProcess();
        writer.outputLog(2, guarded.data(), guarded.size());
        log(writer, 2, "marker");
        if (spilled) {
            QTRY_COMPARE_WITH_TIMEOUT(spilledMessages().size(), 2, TestFiles::kHangGuardMs);
            holder.unlock();
        }
    }

    AuxDb aux;
    const QVector<AuxDb::Row> rows = aux.allRows();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0].type, 2);
    QCOMPARE(aux.messageBytes().value(0), expected);
    QCOMPARE(rows[1].message, QStringLiteral("marker"));
}

void LogWriterTest::lengthLimitsTheMessage_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("len");
    QTest::addColumn<QString>("expected");

    QTest::newRow("prefix of a longer buffer") << QByteArray("abcdef") << 3 << "abc";
    QTest::newRow("length zero") << QByteArray("abc") << 0 << "";
    QTest::newRow("cut inside a multi-byte sequence")
        << QByteArray("\xe6\x8a\xa5\xe8\xad\xa6") << 4 << QString::fromUtf8("\xe6\x8a\xa5\xe8", 4);
    QTest::newRow("NUL before the end")
        << QByteArray("ab\0cd\0", 6) << 5 << QString::fromUtf8("ab\0cd", 5);
}

void LogWriterTest::lengthLimitsTheMessage()
{
    QFETCH(QByteArray, buffer);
    QFETCH(int, len);
    QFETCH(QString, expected);

    {
        qzLogDB writer;
        writer.startProcess();
        writer.outputLog(4, buffer.constData(), len);
        // Nothing but the pointer: the very first byte lies in unreadable memory.
        const GuardedBytes nothing{QByteArray()};
        QVERIFY(nothing.isValid());
        writer.outputLog(4, nothing.data(), 0);
    }

    const QVector<AuxDb::Row> rows = AuxDb().allRows();
    QCOMPARE(rows.size(), 2);
    QVERIFY2(rows[0].message == expected, describeMismatch(rows[0].message, expected));
    QVERIFY(rows[1].message.isEmpty());
}

void LogWriterTest::queryDayBounds_data()
{
    QTest::addColumn<QString>("day");
    QTest::addColumn<int>("type");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("day with records at midnight and 23:59:59")
        << "2024-03-10" << 1 << QStringList{"first", "early", "noon", "late", "last"};
    QTest::newRow("day before holds its last second")
        << "2024-03-09" << 1 << QStringList{"prev-last"};
    QTest::newRow("day after holds its first second")
        << "2024-03-11" << 1 << QStringList{"next-first"};
    QTest::newRow("other type") << "2024-03-10" << 2 << QStringList{"other type"};
    QTest::newRow("type without records") << "2024-03-10" << 0 << QStringList{};
    QTest::newRow("day without records") << "2024-03-12" << 1 << QStringList{};
}

void LogWriterTest::queryDayBounds()
{
    QFETCH(QString, day);
    QFETCH(int, type);
    QFETCH(QStringList, expected);

    qzLogDB writer;
    QVERIFY(insertDayFixture());
    QSqlError err;
    const LogRowList rows = writer.queryDay(day, type, &err);
    QVERIFY2(!err.isValid(), qPrintable(err.text()));
    QCOMPARE(messagesOf(rows), expected);
    for (const auto &row : rows)
        QVERIFY2(row.first.startsWith(day + QLatin1Char(' ')), qPrintable(row.first));
}

void LogWriterTest::queryRangeBounds_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<int>("type");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("a day's default range")
        << "2024-03-10 00:00:00"
        << "2024-03-10 23:59:59" << 1 << QStringList{"first", "early", "noon", "late", "last"};
    QTest::newRow("both bounds on stamps")
        << "2024-03-10 00:00:01"
        << "2024-03-10 23:59:58" << 1 << QStringList{"early", "noon", "late"};
    QTest::newRow("start equal to end on a stamp")
        << "2024-03-11 00:00:00"
        << "2024-03-11 00:00:00" << 1 << QStringList{"next-first"};
    QTest::newRow("start after end") << "2024-03-11 00:00:00"
                                     << "2024-03-09 23:59:59" << 1 << QStringList{};
    QTest::newRow("between stamps") << "2024-03-10 12:00:01"
                                    << "2024-03-10 23:59:57" << 1 << QStringList{};
    QTest::newRow("other type") << "2024-03-09 00:00:00"
                                << "2024-03-11 23:59:59" << 2 << QStringList{"other type"};
}

void LogWriterTest::queryRangeBounds()
{
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(int, type);
    QFETCH(QStringList, expected);

    qzLogDB writer;
    QVERIFY(insertDayFixture());
    QSqlError err;
    QCOMPARE(messagesOf(writer.queryRange(start, end, type, &err)), expected);
    QVERIFY2(!err.isValid(), qPrintable(err.text()));
}

void LogWriterTest::queriesKeepInsertionOrder()
{
    qzLogDB writer;
    const QStringList stamps{"2024-03-10 12:00:00", "2024-03-10 08:00:00", "2024-03-10 23:59:59",
                             "2024-03-10 08:00:00", "2024-03-10 00:00:00"};
    {
        AuxDb aux;
        for (int i = 0; i < stamps.size(); ++i)
            QVERIFY(aux.insertStamped(stamps[i], 3, QStringLiteral("alarm %1").arg(i)));
    }
    const QStringList expected{"alarm 0", "alarm 1", "alarm 2", "alarm 3", "alarm 4"};

    const LogRowList day = writer.queryDay(QStringLiteral("2024-03-10"), 3);
    QCOMPARE(messagesOf(day), expected);
    for (int i = 0; i < stamps.size(); ++i)
        QCOMPARE(day.at(i).first, stamps[i]);
    QCOMPARE(messagesOf(writer.queryRange(QStringLiteral("2024-03-10 00:00:00"),
                                          QStringLiteral("2024-03-10 23:59:59"), 3)),
             expected);
}

void LogWriterTest::queryErrorIsClearedOnSuccess()
{
    qzLogDB writer;
    QSqlError err(QStringLiteral("stale"), QStringLiteral("from an earlier query"),
                  QSqlError::StatementError);
    QVERIFY(writer.queryDay(QStringLiteral("2024-03-10"), 1, &err).isEmpty());
    QVERIFY2(!err.isValid(), "no records was reported as a failure");

    err = QSqlError(QStringLiteral("stale"), QString(), QSqlError::UnknownError);
    QVERIFY(writer.queryRange(kEarliest, kLatest, 1, &err).isEmpty());
    QVERIFY(!err.isValid());
}

void LogWriterTest::failedQueryReportsError()
{
    qzLogDB writer;
    QVERIFY(insertDayFixture());
    QCOMPARE(writer.queryDay(QStringLiteral("2024-03-10"), 1).size(), 5);
    {
        AuxDb aux;
        QVERIFY(aux.exec(QStringLiteral("DROP TABLE SystemInfo")));
    }

    QSqlError dayErr;
    QVERIFY(writer.queryDay(QStringLiteral("2024-03-10"), 1, &dayErr).isEmpty());
    QVERIFY2(dayErr.isValid(), "a failed query looks like \"no records\"");
    QVERIFY(!dayErr.text().trimmed().isEmpty());

    QSqlError rangeErr;
    QVERIFY(writer.queryRange(kEarliest, kLatest, 1, &rangeErr).isEmpty());
    QVERIFY(rangeErr.isValid());
    QVERIFY(!rangeErr.text().trimmed().isEmpty());
}

void LogWriterTest::unusableFileIsNeverWritten()
{
    const QByteArray garbage = QByteArrayLiteral("this is not a database\n").repeated(200);
    QVERIFY(writeFile(kDbFile, garbage));

    {
        qzLogDB writer;
        log(writer, 1, "queued before start");
        writer.startProcess();
        log(writer, 1, "queued while running");
        log(writer, 2, "another");

        QSqlError err;
        QVERIFY(
            writer.queryDay(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")), 1, &err)
                .isEmpty());
        QVERIFY(err.isValid());
        QVERIFY(!err.text().trimmed().isEmpty());
        QSqlError rangeErr;
        QVERIFY(writer.queryRange(kEarliest, kLatest, 2, &rangeErr).isEmpty());
        QVERIFY(rangeErr.isValid());

        writer.stopProcess();
        QVERIFY(writer.wait());
        QCOMPARE(writer.lostCount(), 0LL);
        QCOMPARE(writer.queuedCount(), 0);
    }
    QCOMPARE(readFile(kDbFile), garbage);
    // Kept in the spill journal instead, in order, for a start that finds a usable log.
    QCOMPARE(spilledMessages(),
             QStringList({QStringLiteral("queued before start"),
                          QStringLiteral("queued while running"), QStringLiteral("another")}));
}

void LogWriterTest::damagedLogIsSetAsideAndReplaced_data()
{
    QTest::addColumn<QString>("damage"); // see TestLogFile::damagePage
    QTest::addColumn<bool>("readable");  // the set-aside file still gives up its other records

    QTest::newRow("middle page") << "middle" << true;
    QTest::newRow("last page") << "last" << true;
    QTest::newRow("header page") << "header" << false;
}

void LogWriterTest::damagedLogIsSetAsideAndReplaced()
{
    QFETCH(QString, damage);
    QFETCH(bool, readable);
    const int old = 3000;
    QVector<TestLogFile::Record> records;
    for (int i = 0; i < old; ++i)
        records.append({QStringLiteral("2024-03-10 10:00:00"), 1,
                        QStringLiteral("old %1 ").arg(i) + QString(60, QLatin1Char('x'))});
    QVERIFY(TestLogFile::writeRecords(kDbFile, records));

    qzLogDB writer;
    writer.setMemoryLimit(4096); // what waits meanwhile goes through the spill journal
    writer.startProcess();
    log(writer, 1, "before the damage");
    QCOMPARE(waitForRows(old + 1), old + 1);
    const QByteArray damaged = TestLogFile::damagePage(kDbFile, damage);
    QVERIFY(!damaged.isEmpty());

    // The window's query meets the damage; the writer confirms it and renames the file aside.
    QSqlError error;
    QVERIFY(writer.queryRange(kEarliest, kLatest, 1, &error).isEmpty());
    QVERIFY(error.isValid());
    QTRY_VERIFY_WITH_TIMEOUT(!SystemLog::DamagedLog::setAsideBeside(kDbFile).isEmpty(),
                             TestFiles::kHangGuardMs);
    const QStringList aside = SystemLog::DamagedLog::setAsideBeside(kDbFile);
    QCOMPARE(aside.size(), 1);
    QCOMPARE(readFile(aside.first()), damaged);

    for (int i = 0; i < 200; ++i)
        log(writer, 1, QByteArray("after the damage ") + QByteArray::number(i));
    writer.stopProcess();
    QVERIFY(writer.wait());
    QCOMPARE(writer.lostCount(), 0LL);
    // A new log took them, once each, in order; the window's next query reads it.
    const QStringList stored = messagesOf(writer.queryRange(kEarliest, kLatest, 1, &error));
    QVERIFY2(!error.isValid(), qPrintable(error.text()));
    QCOMPARE(stored.size(), 200);
    QCOMPARE(stored.first(), QStringLiteral("after the damage 0"));
    QCOMPARE(stored.last(), QStringLiteral("after the damage 199"));
    QVERIFY(spilledMessages().isEmpty());

    SystemLog::LogReader reader;
    QCOMPARE(reader.open(aside.first()), readable);
    if (!readable)
        return;
    qint64 rows = 0;
    SystemLog::LogSelection everything;
    everything.aroundDamage = true;
    QVERIFY2(
        reader.select(everything, [&](const SystemLog::LogRecordView &) { return ++rows > 0; }),
        qPrintable(reader.errorString()));
    // Every record is read or named as unreadable (a damaged page of the index hides none).
    for (const auto &range : reader.unreadableIds())
        rows += range.last - range.first + 1;
    QCOMPARE(rows, qint64(old + 1));
}

void LogWriterTest::burstIsStoredWhileRunning()
{
    const int total = 5000;
    const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
    qzLogDB writer;
    writer.startProcess();
    const QString loggingFrom = QDateTime::currentDateTime().toString(format);
    for (int i = 0; i < total; ++i)
        log(writer, i % 5, QByteArray("burst ") + QByteArray::number(i));
    const QString loggingTo = QDateTime::currentDateTime().toString(format);

    // Stored while the writer keeps running, not by the final drain at shutdown.
    QCOMPARE(waitForRows(total), total);
    QVERIFY(writer.isRunning());

    AuxDb aux;
    const QVector<AuxDb::Row> rows = aux.allRows();
    QCOMPARE(rows.size(), total);
    for (int i = 0; i < total; ++i) {
        QCOMPARE(rows[i].message, QStringLiteral("burst %1").arg(i));
        // Stamped with the second of the call, not of the storing.
        if (rows[i].datetime < loggingFrom || rows[i].datetime > loggingTo)
            QFAIL(qPrintable(QStringLiteral("record %1 is stamped %2, logged within %3 .. %4")
                                 .arg(i)
                                 .arg(rows[i].datetime, loggingFrom, loggingTo)));
    }
    writer.stopProcess();
    QVERIFY(writer.wait());
}

void LogWriterTest::memoryBoundSendsRecordsToTheSpill()
{
    const int total = 50;
    qzLogDB writer; // sets up the log before another program takes it
    writer.setMemoryLimit(1);
    TestFiles::FileLock holder(kDbFile);
    QVERIFY(holder.lock());
    writer.startProcess();
    for (int i = 0; i < total; ++i)
        log(writer, i % 5, QByteArray("held back ") + QByteArray::number(i));

    // While the log stays held, the waiting records go to the spill journal instead of memory.
    // The count drops once the spill's write is synced, a moment after the frames are readable.
    QTRY_COMPARE_WITH_TIMEOUT(spilledMessages().size(), total, TestFiles::kHangGuardMs);
    QTRY_COMPARE_WITH_TIMEOUT(writer.queuedCount(), 0, TestFiles::kHangGuardMs);

    // Once the log is free again they come back into it, in order, and the segment goes.
    holder.unlock();
    QCOMPARE(waitForRows(total), total);
    const QVector<AuxDb::Row> rows = AuxDb().allRows();
    for (int i = 0; i < total; ++i)
        QCOMPARE(rows[i].message, QStringLiteral("held back %1").arg(i));
    QTRY_COMPARE_WITH_TIMEOUT(QDir(QStringLiteral("dbLog.spill"))
                                  .entryList({QStringLiteral("*.spill")}, QDir::Files)
                                  .size(),
                              0, TestFiles::kHangGuardMs);
    writer.stopProcess();
    QVERIFY(writer.wait());
    QCOMPARE(writer.lostCount(), 0LL);
}

void LogWriterTest::destructionStoresBacklog()
{
    const int total = 3000;
    {
        qzLogDB writer;
        writer.startProcess();
        for (int i = 0; i < total; ++i)
            log(writer, 0, QByteArray("backlog ") + QByteArray::number(i));
    }
    const QVector<AuxDb::Row> rows = AuxDb().allRows();
    QCOMPARE(rows.size(), total);
    for (int i = 0; i < total; ++i)
        QCOMPARE(rows[i].message, QStringLiteral("backlog %1").arg(i));
}

void LogWriterTest::backlogIsCountedUntilStored()
{
    // A large backlog taken off the queue in one piece: the count must never read 0 while any of
    // it is still to be stored, so that a caller waiting for 0 finds every record in the log.
    const int perRound = TestLogFile::heavyCount(200000);
    qzLogDB writer;
    for (int round = 1; round <= 3; ++round) {
        for (int i = 0; i < perRound; ++i)
            log(writer, 1, QByteArray("backlog ") + QByteArray::number(i));
        writer.startProcess();
        QDeadlineTimer deadline(TestFiles::kHangGuardMs);
        while (writer.queuedCount() != 0 && !deadline.hasExpired())
            QThread::yieldCurrentThread();
        QCOMPARE(writer.queuedCount(), 0);
        QCOMPARE(AuxDb().rowCount(), round * perRound);
        writer.stopProcess();
        QVERIFY(writer.wait());
    }
    QCOMPARE(writer.lostCount(), 0LL);
}

void LogWriterTest::stopBeforeStartDoesNotPreventRun()
{
    qzLogDB writer;
    writer.stopProcess();
    writer.startProcess();
    log(writer, 2, "after an early stop");
    QCOMPARE(waitForRows(1), 1);
    QVERIFY(writer.isRunning());
    writer.stopProcess();
    QVERIFY(writer.wait());
    QCOMPARE(messagesOf(writer.queryRange(kEarliest, kLatest, 2)),
             QStringList{"after an early stop"});
}

void LogWriterTest::restartAfterStop()
{
    qzLogDB writer;
    writer.startProcess();
    log(writer, 1, "run one");
    writer.stopProcess();
    QVERIFY(writer.wait());
    QVERIFY(writer.isFinished());

    log(writer, 1, "while finished");
    QCOMPARE(writer.queuedCount(), 1);
    QCOMPARE(AuxDb().rowCount(), 1);

    writer.startProcess();
    log(writer, 1, "run two");
    writer.stopProcess();
    QVERIFY(writer.wait());
    QCOMPARE(messagesOf(writer.queryRange(kEarliest, kLatest, 1)),
             (QStringList{"run one", "while finished", "run two"}));
}

void LogWriterTest::stopProcessIsTheOneSlot()
{
    const QMetaObject &meta = qzLogDB::staticMetaObject;
    QCOMPARE(meta.className(), "SystemLog::qzLogDB");
    QCOMPARE(meta.superClass(), &QThread::staticMetaObject);
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 1);
    const QMetaMethod slot = meta.method(meta.methodOffset());
    QCOMPARE(slot.methodSignature(), QByteArray("stopProcess()"));
    QCOMPARE(slot.methodType(), QMetaMethod::Slot);
    QCOMPARE(slot.access(), QMetaMethod::Public);
    QCOMPARE(slot.returnType(), int(QMetaType::Void));
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.classInfoCount(), meta.classInfoOffset());

    qzLogDB writer;
    QCOMPARE(writer.metaObject(), &meta);
    QCOMPARE(writer.qt_metacast("SystemLog::qzLogDB"), static_cast<void *>(&writer));
    QCOMPARE(writer.qt_metacast("QThread"), static_cast<void *>(static_cast<QThread *>(&writer)));
    QVERIFY(!writer.qt_metacast(nullptr));

    // The slot called through the meta-object ends the loop like a direct call.
    writer.startProcess();
    log(writer, 3, "stopped through the slot");
    QVERIFY(QMetaObject::invokeMethod(&writer, "stopProcess", Qt::DirectConnection));
    QVERIFY(writer.wait());
    QCOMPARE(messagesOf(writer.queryRange(kEarliest, kLatest, 3)),
             QStringList{"stopped through the slot"});
}

void LogWriterTest::queriesFromAnotherThread()
{
    qzLogDB writer;
    writer.startProcess();
    for (int i = 0; i < 100; ++i)
        log(writer, 4, QByteArray("row ") + QByteArray::number(i));
    QCOMPARE(waitForRows(100), 100);

    LogRowList fromThread;
    LogRowList dayFromThread;
    QSqlError threadErr;
    std::thread other([&] {
        fromThread = writer.queryRange(kEarliest, kLatest, 4, &threadErr);
        dayFromThread =
            writer.queryDay(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")), 4);
    });
    other.join();
    QVERIFY2(!threadErr.isValid(), qPrintable(threadErr.text()));
    QCOMPARE(fromThread.size(), 100);
    for (int i = 0; i < 100; ++i)
        QCOMPARE(fromThread.at(i).second, QStringLiteral("row %1").arg(i));
    // Around midnight the day may hold only the later records; never others, never out of order.
    QVERIFY(dayFromThread.size() <= 100);
    if (!dayFromThread.isEmpty())
        QCOMPARE(dayFromThread.last().second, QStringLiteral("row 99"));

    // The querying thread has ended; the writer and this thread's queries go on.
    log(writer, 4, "after");
    writer.stopProcess();
    QVERIFY(writer.wait());
    QCOMPARE(writer.queryRange(kEarliest, kLatest, 4).size(), 101);
}

void LogWriterTest::queriesNeverMakeInsertsFail()
{
    const int total = 20000;
    qzLogDB writer;
    writer.startProcess();

    std::atomic<bool> done{false};
    std::thread logger([&] {
        for (int i = 0; i < total; ++i) {
            const QByteArray msg = QByteArray("q ") + QByteArray::number(i);
            writer.outputLog(i % 2, msg.constData(), msg.size());
            if (i % 200 == 199)
                QThread::usleep(500);
        }
        done.store(true);
    });

    int queries = 0;
    int failures = 0;
    QString firstFailure;
    while (!done.load()) {
        const int type = queries % 2;
        QSqlError err;
        const LogRowList rows = writer.queryRange(kEarliest, kLatest, type, &err);
        if (err.isValid()) {
            if (!failures++)
                firstFailure = err.text();
        } else if (!rows.isEmpty() && (rows.first().second != QStringLiteral("q %1").arg(type) ||
                                       rows.last().second != QStringLiteral("q %1").arg(
                                                                 type + 2 * (rows.size() - 1)))) {
            // A query sees a gap-free prefix of what was logged.
            if (!failures++)
                firstFailure = QStringLiteral("%1 rows ending in \"%2\"")
                                   .arg(rows.size())
                                   .arg(rows.last().second);
        }
        ++queries;
    }
    logger.join();
    QVERIFY2(failures == 0, qPrintable(QStringLiteral("%1 of %2 queries failed: %3")
                                           .arg(failures)
                                           .arg(queries)
                                           .arg(firstFailure)));

    writer.stopProcess();
    QVERIFY(writer.wait());
    QCOMPARE(writer.lostCount(), 0LL);
    QCOMPARE(AuxDb().rowCount(), total);
    QCOMPARE(writer.queryRange(kEarliest, kLatest, 0).size(), total / 2);
    QCOMPARE(writer.queryRange(kEarliest, kLatest, 1).size(), total / 2);
    qDebug("%d queries ran while logging", queries);
}

QTEST_GUILESS_MAIN(LogWriterTest)
#include "tst_logwriter.moc"
