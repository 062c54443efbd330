// Reading and pruning a log file from outside the service: records whose type another program
// stored as any SQLite value, listings and prunes longer than one chunk or batch, and the one
// check of the log table that the writer and the reader share.

#include "DayExport.h"
#include "TestSupport.h"
#include "read/LogPruner.h"
#include "read/LogReader.h"
#include "store/QDBSqlite.h"

#include <QtTest>

#include <memory>

using namespace SystemLog;
using namespace TestSupport;

namespace {

const QString kDay = QStringLiteral("2024-03-10");

// The records of a selection as "id:type:message", the type as the reader hands it out.
QStringList listed(LogReader &reader, const LogSelection &selection)
{
    QStringList out;
    const bool ok = reader.select(selection, [&](const LogRecordView &r) {
        QString type;
        switch (r.type.kind) {
        case StoredType::Kind::Integer:
            type = QString::number(r.type.integer);
            break;
        case StoredType::Kind::Null:
            type = QStringLiteral("null");
            break;
        default:
            type = QString::fromUtf8(r.type.text.data(), int(r.type.text.size()));
        }
        out << QStringLiteral("%1:%2:%3")
                   .arg(r.id)
                   .arg(type, QString::fromUtf8(r.message.data(), int(r.message.size())));
        return true;
    });
    if (!ok)
        out << QStringLiteral("error: ") + reader.errorString();
    return out;
}

// Fills "dbLog.db" with `count` records of the day, one a second from midnight, of `types`
// types in turn, and one record of the next day.
bool fillDay(int count, int types = kCategoryCount)
{
    AuxDb aux;
    if (!aux.exec(TestLogFile::tableStatement()) || !aux.db().transaction())
        return false;
    for (int i = 0; i < count; ++i) {
        const QString stamp = QDateTime::fromString(dayStart(kDay), QLatin1String(kStampFormat))
                                  .addSecs(i)
                                  .toString(QLatin1String(kStampFormat));
        if (!aux.insertStamped(stamp, i % types, QString::number(i)))
            return false;
    }
    return aux.insertStamped(dayStart(QStringLiteral("2024-03-11")), 0, QString::number(count)) &&
           aux.db().commit();
}

// The ids and stamps of a selection as "id stamp", in the order read.
QStringList keys(LogReader &reader, const LogSelection &selection)
{
    QStringList out;
    if (!reader.selectKeys(selection, [&](qint64 id, std::string_view stamp) {
            out << QString::number(id) + ' ' + QString::fromUtf8(stamp.data(), int(stamp.size()));
            return true;
        }))
        out << QStringLiteral("error: ") + reader.errorString();
    return out;
}

} // namespace

class LogReaderTest : public ScratchTest
{
    Q_OBJECT

private Q_SLOTS:
    void foreignTypes_data();
    void foreignTypes();
    void listingCrossesChunks_data();
    void listingCrossesChunks();
    void keysAgreeWithListing_data();
    void keysAgreeWithListing();
    void pruneCrossesBatches_data();
    void pruneCrossesBatches();
    void writerAndReaderAgreeOnTheTable_data();
    void writerAndReaderAgreeOnTheTable();
    void newExportKeepsWhatCameMeanwhile_data();
    void newExportKeepsWhatCameMeanwhile();
    void grepFindsWhatTextSearchFinds_data();
    void grepFindsWhatTextSearchFinds();
};

void LogReaderTest::foreignTypes_data()
{
    QTest::addColumn<QString>("typeColumn"); // how another program declared the column
    QTest::addColumn<QString>("value");      // the SQL literal it stored
    QTest::addColumn<QString>("listedAs");
    QTest::addColumn<bool>("isAlarm"); // selected by type 3

    const QString log = QStringLiteral("INT(32)");
    const QString bare = QString();
    QTest::newRow("integer 3") << log << "3"
                               << "3" << true;
    QTest::newRow("text") << log << "'abc'"
                          << "abc" << false;
    QTest::newRow("real 3.5") << log << "3.5"
                              << "3.5" << false;
    QTest::newRow("blob") << log << "x'4142'"
                          << "AB" << false;
    QTest::newRow("null") << log << "NULL"
                          << "null" << false;
    QTest::newRow("beyond 32 bits") << log << "5000000000"
                                    << "5000000000" << false;
    QTest::newRow("negative") << log << "-1"
                              << "-1" << false;
    QTest::newRow("real 3.0, no affinity") << bare << "3.0"
                                           << "3.0" << false;
    QTest::newRow("text '3', no affinity") << bare << "'3'"
                                           << "3" << false;
    QTest::newRow("integer 3, no affinity") << bare << "3"
                                            << "3" << true;
}

void LogReaderTest::foreignTypes()
{
    QFETCH(QString, typeColumn);
    QFETCH(QString, value);
    QFETCH(QString, listedAs);
    QFETCH(bool, isAlarm);
    {
        AuxDb aux;
        QVERIFY(aux.exec(QStringLiteral("CREATE TABLE SystemInfo(id INTEGER PRIMARY KEY, "
                                        "datetime TEXT, type %1, message TEXT)")
                             .arg(typeColumn)));
        QVERIFY(aux.exec(QStringLiteral("CREATE INDEX SystemInfo_type_datetime ON "
                                        "SystemInfo(type, datetime)")));
        QVERIFY(aux.exec(QStringLiteral("INSERT INTO SystemInfo VALUES(1, '%1 10:00:00', 3, "
                                        "'alarm'), (2, '%1 11:00:00', %2, 'foreign'), "
                                        "(3, '%1 12:00:00', 3, 'alarm again')")
                             .arg(kDay, value)));
    }
    LogReader reader;
    QVERIFY2(reader.open(kDbFile), qPrintable(reader.errorString()));

    const QString foreign = QStringLiteral("2:%1:foreign").arg(listedAs);
    const QStringList all{QStringLiteral("1:3:alarm"), foreign, QStringLiteral("3:3:alarm again")};
    LogSelection day;
    day.from = dayStart(kDay);
    day.to = dayEnd(kDay);
    QCOMPARE(listed(reader, day), all);
    QCOMPARE(listed(reader, LogSelection()), all);

    LogSelection alarms = day;
    alarms.types = {Alarm};
    QStringList expected{all.first(), all.last()};
    if (isAlarm)
        expected.insert(1, foreign);
    QCOMPARE(listed(reader, alarms), expected);
    // The listing's keys from the index: the same records.
    QStringList alarmKeys;
    for (const QString &record : expected) {
        const int id = record.section(':', 0, 0).toInt();
        alarmKeys << QStringLiteral("%1 %2 %3:00:00").arg(id).arg(kDay).arg(9 + id);
    }
    QCOMPARE(keys(reader, alarms), alarmKeys);

    // The window's listing (the service's query) selects the same records of category 3.
    {
        QDBSqlite store(kDbFile, QString(), QString());
        QVERIFY(store.openExisting());
        QStringList messages;
        for (const LogRow &row : store.selectLogs(day.from, day.to, Alarm))
            messages << row.second;
        QStringList expectedMessages{QStringLiteral("alarm"), QStringLiteral("alarm again")};
        if (isAlarm)
            expectedMessages.insert(1, QStringLiteral("foreign"));
        QCOMPARE(messages, expectedMessages);
        store.close();
    }

    // Counted under its own stored value, apart from the records of category 3.
    QVector<LogCount> counts;
    QVERIFY(reader.count(QString(), QString(), LogReader::Bucket::Day, &counts));
    qint64 alarmCount = 0;
    for (const LogCount &c : counts) {
        if (c.type.kind == StoredType::Kind::Integer && c.type.integer == Alarm)
            alarmCount = c.count;
    }
    QCOMPARE(alarmCount, isAlarm ? 3 : 2);
    QCOMPARE(counts.size(), isAlarm ? 1 : 2);
}

void LogReaderTest::listingCrossesChunks_data()
{
    QTest::addColumn<int>("records");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<int>("types");
    // The reader reads 5,000 rows per statement.
    QTest::newRow("one chunk exactly") << 4999 << qint64(-1) << 5;
    QTest::newRow("one past a chunk") << 5000 << qint64(-1) << 5;
    QTest::newRow("two chunks and more") << 12001 << qint64(-1) << 5;
    QTest::newRow("limit in the second chunk") << 12001 << qint64(7000) << 5;
    // Too many values to seek one by one in the index: the bounds apply row by row.
    QTest::newRow("hundreds of types") << 6000 << qint64(-1) << 300;
}

void LogReaderTest::listingCrossesChunks()
{
    QFETCH(int, records);
    QFETCH(qint64, limit);
    QFETCH(int, types);
    QVERIFY(fillDay(records, types));
    LogReader reader;
    QVERIFY2(reader.open(kDbFile), qPrintable(reader.errorString()));
    for (bool bounded : {false, true}) {
        LogSelection selection;
        selection.limit = limit;
        if (bounded) {
            selection.from = dayStart(kDay);
            selection.to = dayEnd(kDay);
        }
        qint64 next = 1;
        bool inOrder = true;
        QVERIFY(reader.select(selection, [&](const LogRecordView &r) {
            inOrder = inOrder && r.id == next && r.message == std::to_string(next - 1);
            ++next;
            return true;
        }));
        QVERIFY(inOrder);
        const qint64 inSelection = bounded ? records : records + 1; // + the next day's
        QCOMPARE(next - 1, limit < 0 ? inSelection : limit);
    }
}

void LogReaderTest::keysAgreeWithListing_data()
{
    QTest::addColumn<int>("records");
    QTest::addColumn<int>("perStamp"); // records that share each stamp, in turn
    QTest::addColumn<qint64>("upToId");
    // The keys are read 65,536 a statement, each going on after the stamp and id where the last
    // one ended.
    QTest::newRow("a few") << 10 << 1 << qint64(1000);
    QTest::newRow("past a chunk, stamps shared") << 70000 << 3 << qint64(100000);
    QTest::newRow("one stamp across two chunks") << 70000 << 70000 << qint64(100000);
    QTest::newRow("up to an id") << 70000 << 7 << qint64(66000);
}

// The keys of a selection, read from the index alone, are those of the records it lists.
void LogReaderTest::keysAgreeWithListing()
{
    QFETCH(int, records);
    QFETCH(int, perStamp);
    QFETCH(qint64, upToId);
    {
        AuxDb aux;
        QVERIFY(aux.exec(TestLogFile::tableStatement()) &&
                aux.exec(QStringLiteral("CREATE INDEX SystemInfo_type_datetime ON "
                                        "SystemInfo(type, datetime)")) &&
                aux.db().transaction());
        const QDateTime start = QDateTime::fromString(dayStart(kDay), QLatin1String(kStampFormat));
        for (int i = 0; i < records; ++i)
            QVERIFY(aux.insertStamped(
                start.addSecs(i / perStamp).toString(QLatin1String(kStampFormat)), Alarm, "r"));
        QVERIFY(aux.insertStamped(dayStart(QStringLiteral("2024-03-11")), Alarm, "next day"));
        QVERIFY(aux.db().commit());
    }
    LogReader reader;
    QVERIFY2(reader.open(kDbFile), qPrintable(reader.errorString()));
    LogSelection day;
    day.from = dayStart(kDay);
    day.to = dayEnd(kDay);
    day.types = {Alarm};
    day.upToId = upToId;
    QStringList fromRows;
    QVERIFY(reader.select(day, [&](const LogRecordView &r) {
        fromRows << QString::number(r.id) + ' ' +
                        QString::fromUtf8(r.datetime.data(), int(r.datetime.size()));
        return true;
    }));
    QCOMPARE(fromRows.size(), int(std::min<qint64>(records, upToId)));
    QCOMPARE(keys(reader, day), fromRows);
}

void LogReaderTest::pruneCrossesBatches_data()
{
    QTest::addColumn<int>("records");
    QTest::addColumn<int>("before"); // records stamped before the moment
    // The pruner deletes 2,000 rows per transaction.
    QTest::newRow("one batch exactly") << 2500 << 2000;
    QTest::newRow("one past a batch") << 2500 << 2001;
    QTest::newRow("two batches and more") << 4500 << 4001;
    QTest::newRow("nothing") << 10 << 0;
}

void LogReaderTest::pruneCrossesBatches()
{
    QFETCH(int, records);
    QFETCH(int, before);
    QVERIFY(fillDay(records));
    const QString moment = QDateTime::fromString(dayStart(kDay), QLatin1String(kStampFormat))
                               .addSecs(before)
                               .toString(QLatin1String(kStampFormat));
    LogPruner pruner;
    QVERIFY2(pruner.open(kDbFile, LogPruner::Access::Delete), qPrintable(pruner.errorString()));
    qint64 count = -1;
    QVERIFY(pruner.countBefore(moment, &count));
    QCOMPARE(count, qint64(before));
    qint64 deleted = -1;
    QVERIFY2(pruner.deleteBefore(moment, &deleted), qPrintable(pruner.errorString()));
    QCOMPARE(deleted, qint64(before));
    AuxDb aux;
    QCOMPARE(aux.rowCount(), records + 1 - before); // + the next day's
    QCOMPARE(aux.scalar(QStringLiteral("SELECT min(message + 0) FROM SystemInfo")).toInt(), before);
}

void LogReaderTest::writerAndReaderAgreeOnTheTable_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<bool>("isLog");
    QTest::addColumn<bool>("takesRecords"); // by the writer
    QTest::newRow("as the service makes it") << TestLogFile::tableStatement() << true << true;
    QTest::newRow("columns in capitals")
        << "CREATE TABLE SystemInfo(ID INTEGER PRIMARY KEY, DATETIME TEXT, TYPE INT, MESSAGE TEXT)"
        << true << true;
    QTest::newRow("mixed case, more columns")
        << "CREATE TABLE systeminfo(Id INTEGER PRIMARY KEY, DateTime TEXT, host TEXT, Type, "
           "Message TEXT)"
        << true << true;
    QTest::newRow("no message column")
        << "CREATE TABLE SystemInfo(id INTEGER PRIMARY KEY, datetime TEXT, type INT)" << false
        << false;
    QTest::newRow("type column renamed")
        << "CREATE TABLE SystemInfo(id INTEGER PRIMARY KEY, datetime TEXT, kind INT, message TEXT)"
        << false << false;
    // Readable, but no insert could ever succeed: the writer keeps its records elsewhere.
    QTest::newRow("a view") << "CREATE TABLE t(id INTEGER PRIMARY KEY, datetime TEXT, type INT, "
                               "message TEXT); CREATE VIEW SystemInfo AS SELECT * FROM t"
                            << true << false;
    QTest::newRow("without rowid")
        << "CREATE TABLE SystemInfo(id INTEGER PRIMARY KEY, datetime TEXT, type INT, message "
           "TEXT) WITHOUT ROWID"
        << true << false;
}

void LogReaderTest::writerAndReaderAgreeOnTheTable()
{
    QFETCH(QString, table);
    QFETCH(bool, isLog);
    QFETCH(bool, takesRecords);
    for (const QString &statement : table.split(QStringLiteral("; ")))
        QVERIFY(AuxDb().exec(statement));

    LogReader reader;
    QCOMPARE(reader.open(kDbFile), isLog);
    if (!isLog)
        QVERIFY2(reader.errorString().startsWith(QLatin1String("not a log database")),
                 qPrintable(reader.errorString()));
    QDBSqlite store(kDbFile, QString(), QString());
    QSqlError error;
    QCOMPARE(store.prepare(&error),
             takesRecords ? QDBSqlite::Readiness::Ready : QDBSqlite::Readiness::NotALog);
    if (takesRecords) {
        std::list<LogQueueEntry> records;
        records.emplace_back(QByteArrayLiteral("stored"), Alarm);
        QCOMPARE(store.insertBatch(records.cbegin(), records.cend(), 0).stored, 1);
        QCOMPARE(listed(reader, LogSelection()).size(), 1);
    }
    store.close();
}

void LogReaderTest::newExportKeepsWhatCameMeanwhile_data()
{
    // What appears at the name while the export is written.
    QTest::addColumn<bool>("link"); // a dangling link, else a file
    QTest::newRow("a file") << false;
    QTest::newRow("a dangling link") << true;
}

void LogReaderTest::newExportKeepsWhatCameMeanwhile()
{
    QFETCH(bool, link);
    const QString name = QStringLiteral("export.txt");
    DayExport file(name);
    QVERIFY(file.open());
    QVERIFY(link ? QFile::link(QStringLiteral("elsewhere"), name)
                 : TestFiles::writeFile(name, "theirs\n"));
    QVERIFY(file.write("ours\n"));
    // While it is written the new file has no name: an export killed now leaves nothing.
    QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
             QStringList{name});
    QVERIFY(!file.commitNew());
    QCOMPARE(QFileInfo(name).isSymLink(), link);
    if (!link)
        QCOMPARE(TestFiles::readFile(name), QByteArray("theirs\n"));
    // The new file is gone; nothing was made at the link's target.
    QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
             QStringList{name});
}

QTEST_GUILESS_MAIN(LogReaderTest)
#include "tst_logreader.moc"

void LogReaderTest::grepFindsWhatTextSearchFinds_data()
{
    QTest::addColumn<QByteArray>("message"); // stored as these bytes
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("found");
    const QString limit = QString::fromUtf8("上限");
    QTest::newRow("Chinese, there") << QByteArray("温度超过上限 80 ℃") << limit << true;
    QTest::newRow("Chinese, not there") << QByteArray("温度低于下限") << limit << false;
    QTest::newRow("Chinese after invalid bytes") << QByteArray("\xff\xfe 上限") << limit << true;
    QTest::newRow("Chinese split by invalid bytes") << QByteArray("上\xff限") << limit << false;
    QTest::newRow("Chinese with digits and punctuation")
        << QByteArray("报警：上限 80。") << QString::fromUtf8("上限 80。") << true;
    QTest::newRow("Chinese and a letter of another case")
        << QByteArray("上限A") << QString::fromUtf8("上限a") << true;
    QTest::newRow("circled letters fold")
        << QByteArray("Ⓐ 报警") << QString::fromUtf8("ⓐ 报警") << true;
    QTest::newRow("Roman numerals fold")
        << QByteArray("第Ⅻ号") << QString::fromUtf8("第ⅻ号") << true;
}

void LogReaderTest::grepFindsWhatTextSearchFinds()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, text);
    QFETCH(bool, found);
    {
        AuxDb aux;
        QVERIFY(aux.exec(TestLogFile::tableStatement()));
        QSqlQuery insert(aux.db());
        QVERIFY(
            insert.prepare(QStringLiteral("INSERT INTO SystemInfo(datetime, type, message) "
                                          "VALUES('2024-03-10 10:00:00', 3, CAST(? AS TEXT))")));
        insert.addBindValue(message);
        QVERIFY(insert.exec());
    }
    LogReader reader;
    QVERIFY2(reader.open(kDbFile), qPrintable(reader.errorString()));
    LogSelection selection;
    selection.grep = QStringList{text};
    QCOMPARE(listed(reader, selection).size(), found ? 1 : 0);
    // As the decoded text has it, ignoring case.
    QCOMPARE(QString::fromUtf8(message).contains(text, Qt::CaseInsensitive), found);
}
