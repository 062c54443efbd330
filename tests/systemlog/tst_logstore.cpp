// The log store: the table and its index, the stored text of every kind of message, the bounds
// and order of a select, and the treatment of files that are not a log database.

#include "TestSupport.h"
#include "store/DamagedLog.h"
#include "store/PendingFile.h"
#include "store/QDBSqlite.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QtTest>

#include <sqlite3.h>

#include <climits>
#include <list>
#include <memory>

using SystemLog::LogQueueEntry;
using SystemLog::LogRowList;
using SystemLog::QDBSqlite;
namespace DamagedLog = SystemLog::DamagedLog;
using namespace TestSupport;

namespace {

// Column lists of the indexes on SystemInfo, in index order.
QList<QStringList> indexColumns(AuxDb &aux)
{
    QList<QStringList> result;
    QStringList names;
    {
        QSqlQuery q(aux.db());
        q.exec(QStringLiteral("PRAGMA index_list(SystemInfo)"));
        while (q.next())
            names << q.value(QStringLiteral("name")).toString();
    }
    for (const QString &name : names) {
        QSqlQuery q(aux.db());
        q.exec(QStringLiteral("PRAGMA index_info(\"%1\")").arg(name));
        QStringList cols;
        while (q.next())
            cols << q.value(QStringLiteral("name")).toString();
        result << cols;
    }
    return result;
}

bool hasTypeDatetimeIndex(AuxDb &aux)
{
    return indexColumns(aux).contains(
        QStringList{QStringLiteral("type"), QStringLiteral("datetime")});
}

} // namespace

class LogStoreTest : public ScratchTest
{
    Q_OBJECT

private Q_SLOTS:
    void createsTableAndIndex_data();
    void createsTableAndIndex();
    void createTableAgainKeepsEverything();
    void existingStoreKeepsRowsAndGainsIndex();
    void unusableFileIsLeftUntouched_data();
    void unusableFileIsLeftUntouched();
    void damageIsConfirmedBeforeTheLogIsSetAside_data();
    void damageIsConfirmedBeforeTheLogIsSetAside();

    void insertLogStoresExactText_data();
    void insertLogStoresExactText();
    void insertBatchStoresExactText_data();
    void insertBatchStoresExactText();
    void stampIsLocalTimeOfInsertion();
    void typesRoundTrip_data();
    void typesRoundTrip();

    void selectBounds_data();
    void selectBounds();
    void selectKeepsInsertionOrder();
    void insertsComeBackInOrder();
    void batchWithBudgetConsumesEverythingInOrder();
    void emptyBatchStoresNothing();
    void recordTooLongIsRefusedAlone();
    void secondConnectionSeesRows();

    void failingSelectReportsError_data();
    void failingSelectReportsError();
    void noRecordsIsNotAnError();
    void insertIntoMissingTableFails();

    void sideFileMovesIntoTheLog_data();
    void sideFileMovesIntoTheLog();
};

void LogStoreTest::createsTableAndIndex_data()
{
    QTest::addColumn<bool>("emptyFileFirst");
    QTest::newRow("no file") << false;
    // What a first start on a full disk leaves behind: a new log, not a file to refuse.
    QTest::newRow("empty file") << true;
}

void LogStoreTest::createsTableAndIndex()
{
    QFETCH(bool, emptyFileFirst);
    if (emptyFileFirst)
        QVERIFY(writeFile(kDbFile, QByteArray()));
    {
        QDBSqlite db(kDbFile, QString(), QString());
        QSqlError err;
        QVERIFY2(db.createTable(&err), qPrintable(err.text()));
        QVERIFY(!err.isValid());
        // 3 is EXTRA: the directory is synced once a commit removed its journal.
        QSqlQuery synchronous(db);
        QVERIFY(synchronous.exec(QStringLiteral("PRAGMA synchronous")) && synchronous.next());
        QCOMPARE(synchronous.value(0).toInt(), 3);
        synchronous.finish();
        db.close();
    }
    QVERIFY(QFileInfo(kDbFile).isFile());

    AuxDb aux;
    QVERIFY2(aux.isOpen(), qPrintable(aux.openError()));
    QCOMPARE(
        aux.scalar(QStringLiteral(
                       "SELECT sql FROM sqlite_master WHERE type='table' AND name='SystemInfo'"))
            .toString(),
        storedSchema());

    QStringList columns;
    {
        QSqlQuery q(aux.db());
        QVERIFY(q.exec(QStringLiteral("PRAGMA table_info(SystemInfo)")));
        while (q.next())
            columns << q.value(QStringLiteral("name")).toString() + QLatin1Char(' ') +
                           q.value(QStringLiteral("type")).toString();
    }
    QCOMPARE(columns,
             (QStringList{QStringLiteral("id INTEGER"), QStringLiteral("datetime DATETIME"),
                          QStringLiteral("type INT(32)"), QStringLiteral("message TEXT")}));

    QVERIFY2(hasTypeDatetimeIndex(aux), "no index on (type, datetime)");
    QCOMPARE(aux.rowCount(), 0);
}

void LogStoreTest::createTableAgainKeepsEverything()
{
    {
        QDBSqlite db(kDbFile, QString(), QString());
        QVERIFY(db.createTable());
        QVERIFY(db.insertLog(1, QStringLiteral("kept")));
        QSqlError err;
        QVERIFY2(db.createTable(&err), qPrintable(err.text()));
        db.close();
    }
    {
        QDBSqlite db(kDbFile, QString(), QString());
        QSqlError err;
        QVERIFY2(db.createTable(&err), qPrintable(err.text()));
        QCOMPARE(messagesOf(db.selectLogs(kEarliest, kLatest, 1)), QStringList{"kept"});
        db.close();
    }
    AuxDb aux;
    QCOMPARE(aux.rowCount(), 1);
    int matching = 0;
    for (const QStringList &cols : indexColumns(aux))
        matching += cols == QStringList{QStringLiteral("type"), QStringLiteral("datetime")};
    QCOMPARE(matching, 1);
}

void LogStoreTest::existingStoreKeepsRowsAndGainsIndex()
{
    QVERIFY(createLegacyStore());
    {
        AuxDb aux;
        QVERIFY(aux.insertStamped(QStringLiteral("2023-05-01 08:00:00"), 3,
                                  QStringLiteral("old alarm")));
        QVERIFY(aux.insertStamped(QStringLiteral("2023-05-01 09:30:00"), 0,
                                  QStringLiteral("old change")));
        QVERIFY(!hasTypeDatetimeIndex(aux));
    }
    const QVector<AuxDb::Row> before = AuxDb().allRows();
    QCOMPARE(before.size(), 2);

    {
        QDBSqlite db(kDbFile, QString(), QString());
        QSqlError err;
        QVERIFY2(db.createTable(&err), qPrintable(err.text()));
        const LogRowList rows = db.selectLogs(QStringLiteral("2023-05-01 00:00:00"),
                                              QStringLiteral("2023-05-01 23:59:59"), 3);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.at(0).first, QStringLiteral("2023-05-01 08:00:00"));
        QCOMPARE(rows.at(0).second, QStringLiteral("old alarm"));
        db.close();
    }

    AuxDb aux;
    const QVector<AuxDb::Row> after = aux.allRows();
    QCOMPARE(after.size(), before.size());
    for (int i = 0; i < after.size(); ++i) {
        QCOMPARE(after[i].id, before[i].id);
        QCOMPARE(after[i].datetime, before[i].datetime);
        QCOMPARE(after[i].type, before[i].type);
        QCOMPARE(after[i].message, before[i].message);
    }
    QVERIFY2(hasTypeDatetimeIndex(aux), "an existing store did not gain the index");
    QCOMPARE(
        aux.scalar(QStringLiteral(
                       "SELECT sql FROM sqlite_master WHERE type='table' AND name='SystemInfo'"))
            .toString(),
        storedSchema());
}

void LogStoreTest::unusableFileIsLeftUntouched_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("content");

    QByteArray noise(8192, '\0');
    QRandomGenerator gen(20240310);
    for (char &c : noise)
        c = static_cast<char>(gen.bounded(256));
    noise[0] = 'X'; // never the SQLite header by chance

    QTest::newRow("random bytes") << "file" << noise;
    QTest::newRow("text file") << "file"
                               << QByteArrayLiteral("id;datetime;type;message\n1;x;2;y\n");
    QTest::newRow("directory") << "dir" << QByteArray();
}

void LogStoreTest::unusableFileIsLeftUntouched()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);

    if (kind == QLatin1String("dir"))
        QVERIFY(QDir().mkdir(kDbFile));
    else
        QVERIFY(writeFile(kDbFile, content));

    {
        QDBSqlite db(kDbFile, QString(), QString());
        QSqlError err;
        QVERIFY(!db.createTable(&err));
        QVERIFY(err.isValid());
        QVERIFY2(!err.text().trimmed().isEmpty(), "createTable failed without a reason");

        QSqlError insertErr;
        QVERIFY(!db.insertLog(2, QStringLiteral("must not be written"), &insertErr));
        QVERIFY(insertErr.isValid());

        std::list<LogQueueEntry> batch{{QByteArrayLiteral("a"), 1}, {QByteArrayLiteral("b"), 1}};
        const QDBSqlite::BatchResult result = db.insertBatch(batch.cbegin(), batch.cend(), 0);
        QCOMPARE(result.stored, 0);
        QVERIFY(result.error.isValid());

        QSqlError selectErr;
        QVERIFY(db.selectLogs(kEarliest, kLatest, 2, &selectErr).isEmpty());
        QVERIFY(selectErr.isValid());
        QVERIFY(!selectErr.text().trimmed().isEmpty());
        db.close();
    }

    const QFileInfo info(kDbFile);
    if (kind == QLatin1String("dir")) {
        QVERIFY(info.isDir());
        QVERIFY(QDir(kDbFile).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
    } else {
        QVERIFY(info.isFile());
        QCOMPARE(readFile(kDbFile), content);
    }
}

void LogStoreTest::insertLogStoresExactText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    for (const auto &row : hostileMessages())
        QTest::newRow(row.first) << row.second;
}

void LogStoreTest::insertLogStoresExactText()
{
    QFETCH(QByteArray, bytes);
    const QString message = QString::fromUtf8(bytes.constData(), bytes.size());

    QDBSqlite db(kDbFile, QString(), QString());
    QVERIFY(db.createTable());
    QSqlError err;
    QVERIFY2(db.insertLog(2, message, &err), qPrintable(err.text()));
    QVERIFY(db.insertLog(2, QStringLiteral("after")));

    const LogRowList rows = db.selectLogs(kEarliest, kLatest, 2);
    QCOMPARE(rows.size(), 2);
    QVERIFY2(rows.at(0).second == message, describeMismatch(rows.at(0).second, message));
    QCOMPARE(rows.at(1).second, QStringLiteral("after"));
    db.close();

    // The same text as seen by another connection, and nothing else in the table.
    AuxDb aux;
    const QVector<AuxDb::Row> all = aux.allRows();
    QCOMPARE(all.size(), 2);
    QCOMPARE(all[0].type, 2);
    QCOMPARE(aux.messageBytes().value(0), message.toUtf8());
    QCOMPARE(
        aux.scalar(QStringLiteral("SELECT typeof(message) FROM SystemInfo ORDER BY id")).toString(),
        QStringLiteral("text"));
}

void LogStoreTest::insertBatchStoresExactText_data()
{
    insertLogStoresExactText_data();
}

void LogStoreTest::insertBatchStoresExactText()
{
    QFETCH(QByteArray, bytes);
    const QString message = QString::fromUtf8(bytes.constData(), bytes.size());

    QDBSqlite db(kDbFile, QString(), QString());
    QVERIFY(db.createTable());
    const std::list<LogQueueEntry> batch{{QByteArrayLiteral("before"), 4},
                                         {message.toUtf8(), 4},
                                         {message.toUtf8(), 1},
                                         {QByteArrayLiteral("after"), 4}};
    const QDBSqlite::BatchResult result = db.insertBatch(batch.cbegin(), batch.cend(), 0);
    QVERIFY2(!result.failed, qPrintable(result.error.text()));
    QCOMPARE(result.stored, 4);
    QCOMPARE(result.rejected, 0);

    const LogRowList rows = db.selectLogs(kEarliest, kLatest, 4);
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows.at(0).second, QStringLiteral("before"));
    QVERIFY2(rows.at(1).second == message, describeMismatch(rows.at(1).second, message));
    QCOMPARE(rows.at(2).second, QStringLiteral("after"));
    const LogRowList other = db.selectLogs(kEarliest, kLatest, 1);
    QCOMPARE(other.size(), 1);
    QVERIFY2(other.at(0).second == message, describeMismatch(other.at(0).second, message));
    db.close();
    QCOMPARE(AuxDb().rowCount(), 4);
}

void LogStoreTest::stampIsLocalTimeOfInsertion()
{
    QDBSqlite db(kDbFile, QString(), QString());
    QVERIFY(db.createTable());
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1000);
    QVERIFY(db.insertLog(3, QStringLiteral("abc")));
    const std::list<LogQueueEntry> batch{{QByteArrayLiteral("def"), 3}};
    QCOMPARE(db.insertBatch(batch.cbegin(), batch.cend(), 0).stored, 1);
    const QDateTime after = QDateTime::currentDateTime().addMSecs(1000);

    const LogRowList rows = db.selectLogs(before.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
                                          after.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), 3);
    QCOMPARE(messagesOf(rows), (QStringList{"abc", "def"}));
    static const QRegularExpression form(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"));
    for (const auto &row : rows) {
        QVERIFY2(form.match(row.first).hasMatch(), qPrintable(row.first));
        const QDateTime stamp =
            QDateTime::fromString(row.first, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        QVERIFY(stamp.isValid());
        QVERIFY2(stamp >= before && stamp <= after,
                 qPrintable(QStringLiteral("stamp %1 is not the local time of insertion (%2)")
                                .arg(row.first, before.toString(Qt::ISODate))));
    }
    QVERIFY(db.selectLogs(before.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
                          after.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), 2)
                .isEmpty());
    db.close();
}

void LogStoreTest::typesRoundTrip_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("otherType");
    QTest::newRow("0") << 0 << 1;
    QTest::newRow("4") << 4 << 3;
    QTest::newRow("7") << 7 << 4;
    QTest::newRow("-1") << -1 << 1;
    QTest::newRow("INT_MIN") << INT_MIN << 0;
    QTest::newRow("INT_MAX") << INT_MAX << -1;
}

void LogStoreTest::typesRoundTrip()
{
    QFETCH(int, type);
    QFETCH(int, otherType);

    QDBSqlite db(kDbFile, QString(), QString());
    QVERIFY(db.createTable());
    QVERIFY(db.insertLog(type, QStringLiteral("single")));
    const std::list<LogQueueEntry> batch{{QByteArrayLiteral("batched"), type}};
    QCOMPARE(db.insertBatch(batch.cbegin(), batch.cend(), 0).stored, 1);

    QCOMPARE(messagesOf(db.selectLogs(kEarliest, kLatest, type)),
             (QStringList{"single", "batched"}));
    QVERIFY(db.selectLogs(kEarliest, kLatest, otherType).isEmpty());
    db.close();

    AuxDb aux;
    for (const AuxDb::Row &row : aux.allRows())
        QCOMPARE(row.type, type);
    QCOMPARE(aux.scalar(QStringLiteral("SELECT COUNT(*) FROM SystemInfo WHERE typeof(type) = "
                                       "'integer' AND type = %1")
                            .arg(type))
                 .toInt(),
             2);
}

void LogStoreTest::selectBounds_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<int>("type");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("whole day includes both ends")
        << "2024-03-10 00:00:00"
        << "2024-03-10 23:59:59" << 1 << QStringList{"first", "early", "noon", "late", "last"};
    QTest::newRow("start equal to end on a stamp")
        << "2024-03-10 12:00:00"
        << "2024-03-10 12:00:00" << 1 << QStringList{"noon"};
    QTest::newRow("both bounds on stamps across midnight")
        << "2024-03-10 23:59:59"
        << "2024-03-11 00:00:00" << 1 << QStringList{"last", "next-first"};
    QTest::newRow("start on a stamp")
        << "2024-03-09 23:59:59"
        << "2024-03-10 00:00:00" << 1 << QStringList{"prev-last", "first"};
    QTest::newRow("start after end") << "2024-03-10 23:59:59"
                                     << "2024-03-10 00:00:00" << 1 << QStringList{};
    QTest::newRow("start one second after end") << "2024-03-10 12:00:01"
                                                << "2024-03-10 12:00:00" << 1 << QStringList{};
    QTest::newRow("between stamps") << "2024-03-10 00:00:02"
                                    << "2024-03-10 11:59:59" << 1 << QStringList{};
    QTest::newRow("other type") << "2024-03-10 00:00:00"
                                << "2024-03-10 23:59:59" << 2 << QStringList{"other type"};
    QTest::newRow("type without rows") << "2024-03-10 00:00:00"
                                       << "2024-03-10 23:59:59" << 3 << QStringList{};
    QTest::newRow("everything of type 1")
        << "2024-01-01 00:00:00"
        << "2024-12-31 23:59:59" << 1
        << QStringList{"prev-last", "first", "early", "noon", "late", "last", "next-first"};
}

void LogStoreTest::selectBounds()
{
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(int, type);
    QFETCH(QStringList, expected);

    QDBSqlite db(kDbFile, QString(), QString());
    QVERIFY(db.createTable());
    QVERIFY(insertDayFixture());

    QSqlError err;
    const LogRowList rows = db.selectLogs(start, end, type, &err);
    QVERIFY2(!err.isValid(), qPrintable(err.text()));
    QCOMPARE(messagesOf(rows), expected);
    for (const auto &row : rows) {
        QVERIFY(row.first >= start);
        QVERIFY(row.first <= end);
    }
    db.close();
}

void LogStoreTest::selectKeepsInsertionOrder()
{
    QDBSqlite db(kDbFile, QString(), QString());
    QVERIFY(db.createTable());
    const QStringList stamps{"2024-03-10 12:00:00", "2024-03-10 08:00:00", "2024-03-10 16:00:00",
                             "2024-03-10 08:00:00", "2024-03-10 00:00:00", "2024-03-10 23:59:59"};
    {
        AuxDb aux;
        for (int i = 0; i < stamps.size(); ++i) {
            QVERIFY(aux.insertStamped(stamps[i], 0, QStringLiteral("row %1").arg(i)));
            QVERIFY(aux.insertStamped(stamps[i], 1, QStringLiteral("noise %1").arg(i)));
        }
    }

    const LogRowList rows = db.selectLogs(QStringLiteral("2024-03-10 00:00:00"),
                                          QStringLiteral("2024-03-10 23:59:59"), 0);
    QCOMPARE(rows.size(), stamps.size());
    for (int i = 0; i < stamps.size(); ++i) {
        QCOMPARE(rows.at(i).first, stamps[i]);
        QCOMPARE(rows.at(i).second, QStringLiteral("row %1").arg(i));
    }
    db.close();
}

void LogStoreTest::insertsComeBackInOrder()
{
    QDBSqlite db(kDbFile, QString(), QString());
    QVERIFY(db.createTable());
    QVERIFY(db.insertLog(1, QStringLiteral("one")));
    QVERIFY(db.insertLog(2, QStringLiteral("elsewhere")));
    QVERIFY(db.insertLog(1, QStringLiteral("two")));
    const std::list<LogQueueEntry> batch{{QByteArrayLiteral("three"), 1},
                                         {QByteArrayLiteral("x"), 2},
                                         {QByteArrayLiteral("four"), 1}};
    QCOMPARE(db.insertBatch(batch.cbegin(), batch.cend(), 0).stored, 3);
    QVERIFY(db.insertLog(1, QStringLiteral("five")));

    QCOMPARE(messagesOf(db.selectLogs(kEarliest, kLatest, 1)),
             (QStringList{"one", "two", "three", "four", "five"}));
    QCOMPARE(messagesOf(db.selectLogs(kEarliest, kLatest, 2)), (QStringList{"elsewhere", "x"}));
    db.close();
}

void LogStoreTest::batchWithBudgetConsumesEverythingInOrder()
{
    QDBSqlite db(kDbFile, QString(), QString());
    QVERIFY(db.createTable());

    const int total = 20000;
    std::list<LogQueueEntry> records;
    for (int i = 0; i < total; ++i)
        records.emplace_back(QStringLiteral("record %1").arg(i).toUtf8(), i % 5);

    // A tiny budget may end a batch early; feeding the rest in again must store each record once.
    auto it = records.cbegin();
    int stored = 0;
    int calls = 0;
    while (it != records.cend()) {
        const QDBSqlite::BatchResult result = db.insertBatch(it, records.cend(), 1);
        QVERIFY2(!result.failed, qPrintable(result.error.text()));
        QCOMPARE(result.rejected, 0);
        QVERIFY2(result.stored > 0, "a batch consumed nothing");
        QCOMPARE(AuxDb().rowCount(), stored + result.stored);
        stored += result.stored;
        std::advance(it, result.stored);
        ++calls;
    }
    QCOMPARE(stored, total);

    AuxDb aux;
    const QVector<AuxDb::Row> rows = aux.allRows();
    QCOMPARE(rows.size(), total);
    for (int i = 0; i < total; ++i) {
        if (rows[i].message != QStringLiteral("record %1").arg(i) || rows[i].type != i % 5)
            QFAIL(qPrintable(QStringLiteral("row %1 holds (%2, %3)")
                                 .arg(i)
                                 .arg(rows[i].type)
                                 .arg(rows[i].message)));
    }
    qDebug("stored %d records in %d batches", total, calls);
    db.close();
}

void LogStoreTest::emptyBatchStoresNothing()
{
    QDBSqlite db(kDbFile, QString(), QString());
    QVERIFY(db.createTable());
    const std::list<LogQueueEntry> none;
    const QDBSqlite::BatchResult result = db.insertBatch(none.cbegin(), none.cend(), 0);
    QCOMPARE(result.stored, 0);
    QCOMPARE(result.rejected, 0);
    QVERIFY(!result.failed);
    QVERIFY(db.insertLog(0, QStringLiteral("still works")));
    QCOMPARE(messagesOf(db.selectLogs(kEarliest, kLatest, 0)), QStringList{"still works"});
    db.close();
}

// A message SQLite cannot take fails its bind: that record alone is refused, with the reason,
// never stored with a NULL in its place.
void LogStoreTest::recordTooLongIsRefusedAlone()
{
    QDBSqlite db(kDbFile, QString(), QString());
    QVERIFY(db.createTable());
    sqlite3_limit(db.nativeHandle(), SQLITE_LIMIT_LENGTH, 1000);
    const std::list<LogQueueEntry> batch{{QByteArrayLiteral("before"), 1},
                                         {QByteArray(1000, 'x'), 1},
                                         {QByteArrayLiteral("after"), 1}};
    const QDBSqlite::BatchResult result = db.insertBatch(batch.cbegin(), batch.cend(), 0);
    QVERIFY(!result.failed);
    QCOMPARE(result.stored, 2);
    QCOMPARE(result.rejected, 1);
    QVERIFY2(result.error.text().contains(QStringLiteral("too big")),
             qPrintable(result.error.text()));
    QCOMPARE(messagesOf(db.selectLogs(kEarliest, kLatest, 1)), (QStringList{"before", "after"}));
    db.close();
}

void LogStoreTest::secondConnectionSeesRows()
{
    QDBSqlite first(kDbFile, QString(), QString());
    QVERIFY(first.createTable());
    QVERIFY(first.insertLog(2, QStringLiteral("from first")));

    QDBSqlite second(kDbFile, QString(), QString());
    QSqlError err;
    QVERIFY2(second.openExisting(&err), qPrintable(err.text()));
    QCOMPARE(messagesOf(second.selectLogs(kEarliest, kLatest, 2)), QStringList{"from first"});
    QVERIFY(second.insertLog(2, QStringLiteral("from second")));
    QCOMPARE(messagesOf(first.selectLogs(kEarliest, kLatest, 2)),
             (QStringList{"from first", "from second"}));
    second.close();
    first.close();
}

void LogStoreTest::failingSelectReportsError_data()
{
    QTest::addColumn<QString>("cause");
    QTest::newRow("table dropped") << "drop";
    QTest::newRow("not a database") << "garbage";
}

void LogStoreTest::failingSelectReportsError()
{
    QFETCH(QString, cause);

    if (cause == QLatin1String("garbage"))
        QVERIFY(writeFile(kDbFile, QByteArray(4096, 'z')));

    QDBSqlite db(kDbFile, QString(), QString());
    if (cause == QLatin1String("drop")) {
        QVERIFY(db.createTable());
        QVERIFY(db.insertLog(1, QStringLiteral("gone")));
        AuxDb aux;
        QVERIFY2(aux.exec(QStringLiteral("DROP TABLE SystemInfo")), qPrintable(aux.lastError()));
    } else {
        QVERIFY(!db.createTable());
    }

    QSqlError err;
    const LogRowList rows = db.selectLogs(kEarliest, kLatest, 1, &err);
    QVERIFY(rows.isEmpty());
    QVERIFY2(err.isValid(), "a failed select looks like \"no records\"");
    QVERIFY(!err.text().trimmed().isEmpty());
    db.close();
}

void LogStoreTest::noRecordsIsNotAnError()
{
    QDBSqlite db(kDbFile, QString(), QString());
    QVERIFY(db.createTable());
    QVERIFY(db.insertLog(1, QStringLiteral("other type")));
    QSqlError err;
    QVERIFY(db.selectLogs(kEarliest, kLatest, 3, &err).isEmpty());
    QVERIFY2(!err.isValid(), qPrintable(err.text()));
    db.close();
}

void LogStoreTest::insertIntoMissingTableFails()
{
    QDBSqlite db(kDbFile, QString(), QString());
    QVERIFY(db.createTable());
    {
        AuxDb aux;
        QVERIFY(aux.exec(QStringLiteral("DROP TABLE SystemInfo")));
    }
    QSqlError err;
    QVERIFY(!db.insertLog(1, QStringLiteral("lost"), &err));
    QVERIFY(err.isValid());
    QVERIFY(!err.text().trimmed().isEmpty());

    const std::list<LogQueueEntry> batch{{QByteArrayLiteral("a"), 1}, {QByteArrayLiteral("b"), 1}};
    const QDBSqlite::BatchResult result = db.insertBatch(batch.cbegin(), batch.cend(), 0);
    QCOMPARE(result.stored, 0);
    QVERIFY(result.failed || result.rejected == 2);
    QVERIFY(result.error.isValid());
    db.close();

    AuxDb aux;
    QVERIFY(
        !aux.scalar(QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE name='SystemInfo'"))
             .toBool());
}

void LogStoreTest::sideFileMovesIntoTheLog_data()
{
    QTest::addColumn<QByteArray>("sideFile"); // what is there before the appends
    QTest::addColumn<int>("records");
    QTest::addColumn<int>("budgetMs");
    QTest::newRow("a few") << QByteArray() << 3 << 0;
    // Records move 2,000 to a transaction; a budget of 1 ms ends each call after one.
    QTest::newRow("more than a transaction") << QByteArray() << 4001 << 0;
    QTest::newRow("in budgeted steps") << QByteArray() << 4001 << 1;
    QTest::newRow("none, an empty table") << QByteArray("table") << 0 << 0;
    QTest::newRow("none, a file of no bytes") << QByteArray("empty") << 0 << 0;
    QTest::newRow("written into an empty file") << QByteArray("empty") << 5 << 0;
}

void LogStoreTest::sideFileMovesIntoTheLog()
{
    QFETCH(QByteArray, sideFile);
    QFETCH(int, records);
    QFETCH(int, budgetMs);
    const QString sidePath = QStringLiteral("dbLog.pending.db");
    if (sideFile == "table")
        QVERIFY(AuxDb(sidePath).exec(TestLogFile::tableStatement()));
    else if (sideFile == "empty")
        QVERIFY(writeFile(sidePath, QByteArray()));

    std::list<LogQueueEntry> entries;
    for (int i = 0; i < records; ++i)
        entries.emplace_back(QStringLiteral("side %1").arg(i).toUtf8(), i % 5, 1700000000 + i);
    // Left by an earlier version, which wrote it as a log of the same table.
    if (records > 0) {
        AuxDb side(sidePath);
        QVERIFY(side.exec(TestLogFile::tableStatement()));
        for (const LogQueueEntry &entry : entries)
            QVERIFY(side.insertStamped(QString::fromLatin1(entry.stamp), entry.type,
                                       QString::fromUtf8(entry.message)));
        QCOMPARE(side.rowCount(), records);
    }
    SystemLog::PendingFile pending(sidePath);
    QSqlError error;

    QDBSqlite db(kDbFile, QString(), QString());
    QVERIFY(db.createTable());
    QVERIFY(db.insertLog(0, QStringLiteral("already there")));
    int total = 0;
    SystemLog::PendingFile::Move move = SystemLog::PendingFile::Move::Partial;
    for (int call = 0; call < 100 && move == SystemLog::PendingFile::Move::Partial; ++call) {
        int moved = 0;
        move = pending.moveInto(db, budgetMs, &moved, &error);
        total += moved;
    }
    QCOMPARE(move, SystemLog::PendingFile::Move::Done);
    QCOMPARE(total, records);
    QVERIFY(!QFileInfo::exists(sidePath));

    const QVector<AuxDb::Row> rows = AuxDb().allRows();
    QCOMPARE(rows.size(), records + 1);
    auto entry = entries.cbegin();
    for (int i = 1; i < rows.size(); ++i, ++entry) {
        QCOMPARE(rows[i].message, QString::fromUtf8(entry->message));
        QCOMPARE(rows[i].type, entry->type);
        QCOMPARE(QDateTime::fromString(rows[i].datetime, QLatin1String(SystemLog::kStampFormat))
                     .toSecsSinceEpoch(),
                 entry->loggedAt);
    }
    db.close();
}

QTEST_GUILESS_MAIN(LogStoreTest)
void LogStoreTest::damageIsConfirmedBeforeTheLogIsSetAside_data()
{
    QTest::addColumn<QString>("damage"); // see TestLogFile::damagePage; empty: none
    QTest::addColumn<QString>("held");   // another connection: "exclusive", "wal" (a WAL it keeps)
    QTest::addColumn<bool>("setAside");

    QTest::newRow("sound log is kept") << QString() << QString() << false;
    QTest::newRow("middle page") << "middle" << QString() << true;
    QTest::newRow("last page") << "last" << QString() << true;
    QTest::newRow("header page") << "header" << QString() << true;
    QTest::newRow("middle page, its WAL goes along") << "middle"
                                                     << "wal" << true;
    QTest::newRow("middle page, locked by another: waited for") << "middle"
                                                                << "exclusive" << false;
}

void LogStoreTest::damageIsConfirmedBeforeTheLogIsSetAside()
{
    QFETCH(QString, damage);
    QFETCH(QString, held);
    QFETCH(bool, setAside);
    QVector<TestLogFile::Record> records;
    for (int i = 0; i < 3000; ++i)
        records.append({QStringLiteral("2024-03-10 10:00:00"), 1,
                        QStringLiteral("record %1 ").arg(i) + QString(60, QLatin1Char('x'))});
    QVERIFY(TestLogFile::writeRecords(kDbFile, records));
    // The names of this second and the next are taken already: they are never overwritten.
    const QDateTime now = QDateTime::currentDateTime();
    for (const QDateTime &moment : {now, now.addSecs(1)})
        QVERIFY(writeFile(kDbFile + QStringLiteral(".corrupt-") +
                              moment.toString(QStringLiteral("yyyyMMdd-hhmmss")),
                          "taken"));
    const QStringList taken = DamagedLog::setAsideBeside(kDbFile);

    std::unique_ptr<AuxDb> other;
    if (!held.isEmpty()) {
        other = std::make_unique<AuxDb>();
        if (held == QLatin1String("wal"))
            QVERIFY(other->exec(QStringLiteral("PRAGMA journal_mode=WAL")) &&
                    other->exec(QStringLiteral("INSERT INTO SystemInfo(type, message) "
                                               "VALUES(1, 'in the WAL')")));
    }
    const QByteArray bytes =
        damage.isEmpty() ? readFile(kDbFile) : TestLogFile::damagePage(kDbFile, damage);
    QVERIFY(!bytes.isEmpty());
    if (held == QLatin1String("exclusive"))
        QVERIFY(other->exec(QStringLiteral("BEGIN EXCLUSIVE")));

    const DamagedLog::Verdict verdict = DamagedLog::confirmAndSetAside(kDbFile, 100);
    QVERIFY2(verdict.kind == (setAside         ? DamagedLog::Verdict::Kind::SetAside
                              : held.isEmpty() ? DamagedLog::Verdict::Kind::Sound
                                               : DamagedLog::Verdict::Kind::Busy),
             qPrintable(verdict.reason));
    for (const QString &name : taken)
        QCOMPARE(readFile(name), QByteArray("taken"));
    if (!setAside) {
        QCOMPARE(readFile(kDbFile), bytes);
        QCOMPARE(DamagedLog::setAsideBeside(kDbFile), taken);
        return;
    }
    // Untouched, under a name of its own, with what it still had beside it.
    QVERIFY(!QFileInfo::exists(kDbFile));
    QVERIFY(!verdict.reason.isEmpty());
    QVERIFY2(QRegularExpression(QStringLiteral("^dbLog\\.db\\.corrupt-\\d{8}-\\d{6}(-\\d+)?$"))
                 .match(verdict.setAsideAs)
                 .hasMatch(),
             qPrintable(verdict.setAsideAs));
    QVERIFY(!taken.contains(verdict.setAsideAs));
    QCOMPARE(readFile(verdict.setAsideAs), bytes);
    QStringList names = taken + QStringList{verdict.setAsideAs};
    names.sort();
    QCOMPARE(DamagedLog::setAsideBeside(kDbFile), names);
    if (held == QLatin1String("wal")) {
        QVERIFY(!QFileInfo::exists(kDbFile + QStringLiteral("-wal")));
        QVERIFY(QFileInfo::exists(verdict.setAsideAs + QStringLiteral("-wal")));
    }
}

#include "tst_logstore.moc"
