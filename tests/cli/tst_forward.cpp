// tallylog forward, run as a program against real receivers started here: systemd-journal-remote
// and rsyslogd. What arrives (every field, byte for byte), that nothing is lost when either side
// is killed, where forwarding starts, and prune --keep-undelivered (its usage errors are with
// the other commands' in tst_tallylog).

#include "ChildProcess.h"
#include "ReceiverSupport.h"
#include "TallylogSupport.h"
#include "TestFiles.h"

#include <QDateTime>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QtTest>

#include <csignal>
#include <cstdio>

using namespace TallylogSupport;
using ReceiverSupport::Receiver;
using TestFiles::kHangGuardMs;

namespace {

QByteArray severity(int type)
{
    return type == 3 ? "3" : type == 0 || type == 1 ? "5" : "6";
}

QVector<qint64> idsOf(const QVector<ReceiverSupport::JournalEntry> &entries)
{
    QVector<qint64> ids;
    for (const auto &entry : entries)
        ids << entry.value(QStringLiteral("TALLYVIEW_ID")).toLongLong();
    return ids;
}

QVector<qint64> range(qint64 first, qint64 last)
{
    QVector<qint64> ids;
    for (qint64 id = first; id <= last; ++id)
        ids << id;
    return ids;
}

} // namespace

class ForwardTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void journalGetsEveryRecordExactly_data();
    void journalGetsEveryRecordExactly();
    void journalGetsStoredTypesAsStored();
    void nothingLostWhenAProcessIsKilled_data();
    void nothingLostWhenAProcessIsKilled();
    void syslogArrivesAfterReceiverRestart();
    void syslogServerClosingEarlyGetsTheBatchAgain();
    void whereForwardingStarts_data();
    void whereForwardingStarts();
    void pruneKeepsUndelivered();
    void logMovedOverItIsForwardedFromItsStart();

private:
    QString path(const char *name) const { return m_dir->filePath(QLatin1String(name)); }
    void startForward(TestFiles::ChildProcess &process, const QString &url,
                      const QStringList &more = {}, const QString &zone = QStringLiteral("UTC"),
                      bool withCursor = true);
    qint64 cursor() const { return TestFiles::readFile(path("cursor")).trimmed().toLongLong(); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void ForwardTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void ForwardTest::startForward(TestFiles::ChildProcess &process, const QString &url,
                               const QStringList &more, const QString &zone, bool withCursor)
{
    const QStringList cursor{"--cursor-file", path("cursor")};
    QVERIFY(process.start(QStringLiteral(TALLYLOG_PATH),
                          QStringList{"--db", path("dbLog.db"), "forward", "--to", url} +
                              (withCursor ? cursor : QStringList()) + more,
                          QString(), {"TZ=" + zone}));
}

void ForwardTest::journalGetsEveryRecordExactly_data()
{
    QTest::addColumn<QString>("zone");
    QTest::newRow("UTC") << QStringLiteral("UTC");
    QTest::newRow("Berlin, summer and winter") << QStringLiteral("Europe/Berlin");
    QTest::newRow("St. John's, half hours behind") << QStringLiteral("America/St_Johns");
}

void ForwardTest::journalGetsEveryRecordExactly()
{
    QFETCH(QString, zone);
    QStringList messages = hostileMessages();
    messages << QStringLiteral("nul ") + QChar(0) + QStringLiteral(" inside")
             << QString::fromUtf8("长").repeated(1000) + QStringLiteral("x").repeated(2000);
    const int types[] = {0, 1, 2, 3, 4, 7, -5};
    QVector<Record> records;
    for (int i = 0; i < messages.size(); ++i)
        records.push_back({QStringLiteral("2026-%1 10:00:%2")
                               .arg(i % 2 ? QStringLiteral("07-01") : QStringLiteral("12-08"))
                               .arg(i, 2, 10, QLatin1Char('0')),
                           types[i % 7], messages.at(i)});
    QVERIFY(writeLog(path("dbLog.db"), records));
    Receiver journal(Receiver::Kind::JournalRemote, m_dir->path());
    QVERIFY(journal.start());

    TestFiles::ChildProcess forward;
    startForward(forward, journal.url(),
                 {"--once", "--identifier", "tally app", "--hostname", "line-7"}, zone);
    QCOMPARE(forward.finish(), 0);
    QCOMPARE(TestFiles::readFile(path("cursor")), QByteArray::number(records.size()) + '\n');
    QVERIFY(journal.stop());

    const auto entries = journal.journalEntries();
    QCOMPARE(idsOf(entries), range(1, records.size()));
    for (int i = 0; i < records.size(); ++i) {
        const Record &r = records.at(i);
        const auto &e = entries.at(i);
        QDateTime local = QDateTime::fromString(r.datetime, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        local.setTimeZone(QTimeZone(zone.toLatin1()));
        QCOMPARE(e.value("MESSAGE"), r.message.toUtf8());
        QCOMPARE(e.value("PRIORITY"), severity(r.type));
        QCOMPARE(e.value("SYSLOG_IDENTIFIER"), QByteArray("tally app"));
        QCOMPARE(e.value("TALLYVIEW_TYPE"), QByteArray::number(r.type));
        QCOMPARE(e.value("TALLYVIEW_CATEGORY"), categoryName(r.type).toUtf8());
        QCOMPARE(e.contains("TALLYVIEW_CATEGORY"), !categoryName(r.type).isEmpty());
        QCOMPARE(e.value("_HOSTNAME"), QByteArray("line-7"));
        QCOMPARE(e.value("__REALTIME_TIMESTAMP"),
                 QByteArray::number(local.toMSecsSinceEpoch() * 1000));
    }
}

// A type column that another program filled with anything: the value as stored, severity 6 and
// no category for all but the integers 0 to 4, no TALLYVIEW_TYPE for NULL.
void ForwardTest::journalGetsStoredTypesAsStored()
{
    QVERIFY(writeForeignLog(path("dbLog.db")));
    Receiver journal(Receiver::Kind::JournalRemote, m_dir->path());
    QVERIFY(journal.start());
    TestFiles::ChildProcess forward;
    startForward(forward, journal.url(), {"--once"});
    QCOMPARE(forward.finish(), 0);
    QVERIFY(journal.stop());
    QStringList got;
    for (const auto &e : journal.journalEntries())
        got << QStringList{e.value("TALLYVIEW_TYPE", "(none)"), e.value("PRIORITY"),
                           QString::fromUtf8(e.value("TALLYVIEW_CATEGORY")), e.value("MESSAGE")}
                   .join('|');
    QCOMPARE(got, (QStringList{"3|3|" + categoryName(3) + "|row 1", "3|6||row 2", "3.5|6||row 3",
                               "A|6||row 4", "(none)|6||row 5", "5000000000|6||row 6"}));
}

void ForwardTest::nothingLostWhenAProcessIsKilled_data()
{
    QTest::addColumn<bool>("killReceiver"); // else the forwarder
    QTest::newRow("receiver killed and started again") << true;
    QTest::newRow("forwarder killed and started again") << false;
}

void ForwardTest::nothingLostWhenAProcessIsKilled()
{
    QFETCH(bool, killReceiver);
    constexpr int kRecords = TestLogFile::heavyCount(150000);
    constexpr int kBatch = 5000; // the forwarder's batch
    QVector<Record> records;
    for (int i = 0; i < kRecords; ++i)
        records.push_back({QStringLiteral("2026-12-08 10:00:00"), i % 5,
                           QStringLiteral("record %1 of a long stream").arg(i + 1)});
    // The second half is stored only after the kill: however fast the stream, it has not ended
    // when the kill comes (on a slower machine the kill comes in the middle of the first half).
    QVERIFY(writeLog(path("dbLog.db"), records.mid(0, kRecords / 2)));
    Receiver journal(Receiver::Kind::JournalRemote, m_dir->path());
    QVERIFY(journal.start());
    TestFiles::ChildProcess forward;
    startForward(forward, journal.url());
    QTRY_VERIFY_WITH_TIMEOUT(cursor() > 0, kHangGuardMs);

    if (killReceiver) {
        journal.kill();
        QVERIFY(writeLog(path("dbLog.db"), records.mid(kRecords / 2)));
        // Started again once the forwarder has found it down.
        QVERIFY(forward.waitForErr("trying again"));
        QVERIFY(journal.start());
    } else {
        QCOMPARE(forward.end(SIGKILL), -1);
        QVERIFY(writeLog(path("dbLog.db"), records.mid(kRecords / 2)));
        startForward(forward, journal.url());
    }
    QTRY_COMPARE_WITH_TIMEOUT(cursor(), qint64(kRecords), kHangGuardMs);
    QCOMPARE(forward.end(), 0);
    QVERIFY(journal.stop());

    // Each id at least once; the ones that came twice are one batch at most, in one run.
    QVector<qint64> ids = idsOf(journal.journalEntries());
    std::sort(ids.begin(), ids.end());
    const int twice = ids.size() - kRecords;
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    QCOMPARE(ids, range(1, kRecords));
    QVERIFY2(twice >= 0 && twice <= kBatch, qPrintable(QString::number(twice)));
}

void ForwardTest::syslogArrivesAfterReceiverRestart()
{
    const auto recordsFrom = [](int first) {
        QVector<Record> records;
        const int types[] = {0, 1, 2, 3, 4, 7};
        for (int i = first; i < first + 6; ++i)
            records.push_back(
                {QStringLiteral("2026-12-08 10:00:%1").arg(i, 2, 10, QLatin1Char('0')),
                 types[i % 6], QString::fromUtf8("消息 %1 \"quoted\" ]").arg(i + 1)});
        return records;
    };
    const QVector<Record> records = recordsFrom(0) + recordsFrom(6);
    QVERIFY(writeLog(path("dbLog.db"), records.mid(0, 6)));
    Receiver rsyslog(Receiver::Kind::Rsyslog, m_dir->path());
    QVERIFY(rsyslog.start());
    TestFiles::ChildProcess forward;
    startForward(forward, rsyslog.url(), {"--hostname", "line-7"}, QStringLiteral("Asia/Shanghai"));
    QTRY_COMPARE_WITH_TIMEOUT(cursor(), qint64(6), kHangGuardMs);

    QVERIFY(rsyslog.stop());
    QVERIFY(writeLog(path("dbLog.db"), records.mid(6)));
    // Started again once the forwarder has found it down.
    QVERIFY(forward.waitForErr("trying again"));
    QVERIFY(rsyslog.start());
    QTRY_COMPARE_WITH_TIMEOUT(cursor(), qint64(12), kHangGuardMs);
    QCOMPARE(forward.end(), 0);
    QCOMPARE(forward.err().count("trying again"), 1);
    QVERIFY(rsyslog.stop());

    QStringList expected;
    for (int i = 0; i < records.size(); ++i) {
        const Record &r = records.at(i);
        const QString category = categoryName(r.type);
        expected << QStringList{QString::fromLatin1(severity(r.type)),
                                "tallyview",
                                "line-7",
                                QString(r.datetime).replace(' ', 'T') + "+08:00",
                                QStringLiteral("[tallyview@32473 id=\"%1\" type=\"%2\"%3]")
                                    .arg(i + 1)
                                    .arg(r.type)
                                    .arg(category.isEmpty()
                                             ? QString()
                                             : QStringLiteral(" category=\"%1\"").arg(category)),
                                QChar(0xfeff) + r.message}
                        .join('|');
    }
    QStringList got = rsyslog.syslogLines();
    got.removeDuplicates();
    QCOMPARE(got, expected);
}

// A server that closes a connection before it has read the batch has not received it, however
// cleanly it closes: the batch is never counted as delivered.
void ForwardTest::syslogServerClosingEarlyGetsTheBatchAgain()
{
    QVERIFY(writeLog(path("dbLog.db"), QVector<Record>{{"2026-12-08 10:00:00", 3, "x"}}));
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    int connections = 0;
    connect(&server, &QTcpServer::newConnection, [&] {
        server.nextPendingConnection()->close();
        ++connections;
    });
    TestFiles::ChildProcess forward;
    startForward(forward, QStringLiteral("syslog+tcp://127.0.0.1:%1").arg(server.serverPort()),
                 {"--once"});
    QTRY_VERIFY_WITH_TIMEOUT(connections >= 2, kHangGuardMs); // tried again
    QCOMPARE(cursor(), qint64(0));
    QCOMPARE(forward.end(), 0);
    QCOMPARE(cursor(), qint64(0));
}

void ForwardTest::whereForwardingStarts_data()
{
    QTest::addColumn<QByteArray>("cursor"); // null: no cursor file; "none": no --cursor-file
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QVector<qint64>>("expected");
    QTest::addColumn<QByteArray>("said");
    const QStringList none;
    QTest::newRow("new cursor file: the first record")
        << QByteArray() << none << range(1, 4) << QByteArray();
    QTest::newRow("after the cursor") << QByteArray("2\n") << none << range(3, 4) << QByteArray();
    QTest::newRow("all delivered") << QByteArray("4\n") << none << range(1, 0) << QByteArray();
    QTest::newRow("a new log: ids below the cursor")
        << QByteArray("99\n") << none << range(1, 4) << QByteArray("below");
    QTest::newRow("--from") << QByteArray() << QStringList{"--from", "2026-12-08 10:00:02"}
                            << range(3, 4) << QByteArray();
    QTest::newRow("--from without a cursor")
        << QByteArray("none") << QStringList{"--from", "2026-12-08 10:00:02"} << range(3, 4)
        << QByteArray();
    QTest::newRow("--type and --grep")
        << QByteArray() << QStringList{"--type", "3,1", "--grep", "KEEP"} << QVector<qint64>{2}
        << QByteArray();
}

void ForwardTest::whereForwardingStarts()
{
    QFETCH(QByteArray, cursor);
    QFETCH(QStringList, options);
    QFETCH(QVector<qint64>, expected);
    QFETCH(QByteArray, said);
    QVERIFY(writeLog(path("dbLog.db"), QVector<Record>{{"2026-12-08 10:00:00", 0, "a keep"},
                                                       {"2026-12-08 10:00:01", 1, "b keep"},
                                                       {"2026-12-08 10:00:02", 3, "c"},
                                                       {"2026-12-08 10:00:03", 4, "d keep"}}));
    const bool withCursor = cursor != "none";
    if (!cursor.isNull() && withCursor)
        QVERIFY(TestFiles::writeFile(path("cursor"), cursor));
    Receiver journal(Receiver::Kind::JournalRemote, m_dir->path());
    QVERIFY(journal.start());
    TestFiles::ChildProcess forward;
    startForward(forward, journal.url(), options + QStringList{"--once"}, "UTC", withCursor);
    QCOMPARE(forward.finish(), 0);
    const QByteArray err = forward.err();
    QVERIFY2(said.isEmpty() ? err.isEmpty() : err.count('\n') == 1 && err.contains(said), err);
    QVERIFY(journal.stop());
    QCOMPARE(idsOf(journal.journalEntries()), expected);
    if (!expected.isEmpty() && withCursor)
        QCOMPARE(this->cursor(), expected.last());
}

void ForwardTest::pruneKeepsUndelivered()
{
    QVector<Record> records;
    for (int i = 0; i < 4; ++i)
        records.push_back({QStringLiteral("2026-12-06 10:00:00"), 3, QStringLiteral("old")});
    QVERIFY(writeLog(path("dbLog.db"), records));
    const QStringList prune{"--db",       path("dbLog.db"),     "prune",        "--before",
                            "2026-12-08", "--keep-undelivered", path("cursor"), "--yes"};
    // No cursor file yet: that forwarder has delivered nothing.
    QCOMPARE(tallylog(prune).out, QByteArray("0 records stamped before 2026-12-08 deleted\n"));
    QVERIFY(TestFiles::writeFile(path("cursor"), "2\n"));
    QCOMPARE(tallylog(prune).out, QByteArray("2 records stamped before 2026-12-08 deleted\n"));
    const Run list = tallylog(
        {"--db", path("dbLog.db"), "list", "--from", "2026-01-01 00:00:00", "--format", "csv"});
    QCOMPARE(list.out.count("\r\n3,"), 1);
    QCOMPARE(list.out.count("\r\n4,"), 1);
    QCOMPARE(list.out.count("\r\n"), 3);
}

// Another log moved over the one forwarded: forwarded from its first record, the cursor with it.
void ForwardTest::logMovedOverItIsForwardedFromItsStart()
{
    QVERIFY(writeLog(path("dbLog.db"), QVector<Record>{{"2026-12-08 10:00:00", 3, "a"},
                                                       {"2026-12-08 10:00:01", 3, "b"}}));
    QVERIFY(writeLog(path("other.db"), QVector<Record>{{"2026-12-08 11:00:00", 1, "new"}}));
    Receiver journal(Receiver::Kind::JournalRemote, m_dir->path());
    QVERIFY(journal.start());
    TestFiles::ChildProcess forward;
    startForward(forward, journal.url());
    QTRY_COMPARE_WITH_TIMEOUT(cursor(), qint64(2), kHangGuardMs);
    QCOMPARE(std::rename(qPrintable(path("other.db")), qPrintable(path("dbLog.db"))), 0);
    QTRY_COMPARE_WITH_TIMEOUT(cursor(), qint64(1), kHangGuardMs);
    QCOMPARE(forward.end(), 0);
    QCOMPARE(forward.err().count("replaced by another log"), 1);
    QVERIFY(journal.stop());
    QCOMPARE(idsOf(journal.journalEntries()), (QVector<qint64>{1, 2, 1}));
}

QTEST_GUILESS_MAIN(ForwardTest)
#include "tst_forward.moc"
