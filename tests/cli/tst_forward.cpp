// tallylog forward, run as a program against real receivers started here: systemd-journal-remote
// and rsyslogd. What arrives (every field, byte for byte), that nothing is lost when either side
// is killed, where forwarding starts, and prune --keep-undelivered (its usage errors are with
// the other commands' in tst_tallylog).

#include "ChildProcess.h"
#include "ReceiverSupport.h"
#include "TallylogSupport.h"
#include "TestFiles.h"

#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

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

// What forward --once says on standard output when it has delivered these ids.
QByteArray summaryOf(const QVector<qint64> &ids, const QString &url)
{
    const QString what = ids.isEmpty()     ? QStringLiteral("0 records")
                         : ids.size() == 1 ? QStringLiteral("1 record, id %1,").arg(ids.first())
                                           : QString::fromUtf8("%1 records, ids %2\u2013%3,")
                                                 .arg(ids.size())
                                                 .arg(ids.first())
                                                 .arg(ids.last());
    return QStringLiteral("delivered %1 to %2\n").arg(what, url).toUtf8();
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
    void stampsAcrossClockChangesOneRule_data();
    void stampsAcrossClockChangesOneRule();
    void nothingLostWhenAProcessIsKilled_data();
    void nothingLostWhenAProcessIsKilled();
    void syslogArrivesAfterReceiverRestart();
    void syslogServerClosingEarlyGetsTheBatchAgain();
    void syslogRecordsArriveWhole();
    void whereForwardingStarts_data();
    void whereForwardingStarts();
    void onceEndsOnWhatItCannotMend_data();
    void onceEndsOnWhatItCannotMend();
    void tlsChecksBothSides_data();
    void tlsChecksBothSides();
    void oneCursorFileOneProcess_data();
    void oneCursorFileOneProcess();
    void readsThroughTheGroupGrant_data();
    void readsThroughTheGroupGrant();
    void pruneKeepsUndelivered();
    void logMovedOverItIsForwardedFromItsStart();

private:
    QString path(const char *name) const { return m_dir->filePath(QLatin1String(name)); }
    void startForward(TestFiles::ChildProcess &process, const QString &url,
                      const QStringList &more = {}, const QString &zone = QStringLiteral("UTC"),
                      bool withCursor = true);
    qint64 cursor() const { return TestFiles::readFile(path("cursor")).trimmed().toLongLong(); }
    // forward --once to `url` with the cursor file, run to its end.
    Run forwardOnce(const QString &url, const QStringList &more = {},
                    const QString &zone = QStringLiteral("UTC"), bool withCursor = true) const
    {
        const QStringList cursor{"--cursor-file", path("cursor")};
        return tallylog(QStringList{"--db", path("dbLog.db"), "forward", "--to", url, "--once"} +
                            (withCursor ? cursor : QStringList()) + more,
                        QString(), nullptr, {"TZ=" + zone});
    }

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

    QCOMPARE(forwardOnce(journal.url(), {"--identifier", "tally app", "--hostname", "line-7"}, zone)
                 .status,
             0);
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
    QCOMPARE(forwardOnce(journal.url()).status, 0);
    QVERIFY(journal.stop());
    QStringList got;
    for (const auto &e : journal.journalEntries())
        got << QStringList{e.value("TALLYVIEW_TYPE", "(none)"), e.value("PRIORITY"),
                           QString::fromUtf8(e.value("TALLYVIEW_CATEGORY")), e.value("MESSAGE")}
                   .join('|');
    QCOMPARE(got, (QStringList{"3|3|" + categoryName(3) + "|row 1", "3|6||row 2", "3.5|6||row 3",
                               "A|6||row 4", "(none)|6||row 5", "5000000000|6||row 6"}));
}

// Berlin's clock goes from 02:00 to 03:00 on 2026-03-29 and from 03:00 back to 02:00 on
// 2026-10-25: a stamp in the skipped hour is read with the offset before the change, one that
// came twice as the second; the journal and syslog get the same moment.
void ForwardTest::stampsAcrossClockChangesOneRule_data()
{
    QTest::addColumn<QString>("stamp");
    QTest::addColumn<QString>("utc");
    QTest::addColumn<QString>("sent"); // as syslog gets it
    QTest::newRow("skipped hour") << "2026-03-29 02:30:00"
                                  << "2026-03-29T01:30:00Z"
                                  << "2026-03-29T02:30:00+01:00";
    QTest::newRow("hour that came twice") << "2026-10-25 02:30:00"
                                          << "2026-10-25T01:30:00Z"
                                          << "2026-10-25T02:30:00+01:00";
    QTest::newRow("after the change") << "2026-03-29 03:30:00"
                                      << "2026-03-29T01:30:00Z"
                                      << "2026-03-29T03:30:00+02:00";
}

void ForwardTest::stampsAcrossClockChangesOneRule()
{
    QFETCH(QString, stamp);
    QFETCH(QString, utc);
    QFETCH(QString, sent);
    QVERIFY(writeLog(path("dbLog.db"), QVector<Record>{{stamp, 3, "x"}}));
    const qint64 micros = QDateTime::fromString(utc, Qt::ISODate).toMSecsSinceEpoch() * 1000;
    for (const Receiver::Kind kind : {Receiver::Kind::JournalRemote, Receiver::Kind::Rsyslog}) {
        Receiver receiver(kind, m_dir->path());
        QVERIFY(receiver.start());
        QFile::remove(path("cursor"));
        QCOMPARE(forwardOnce(receiver.url(), {}, "Europe/Berlin").status, 0);
        QVERIFY(receiver.stop());
        if (kind == Receiver::Kind::JournalRemote)
            QCOMPARE(receiver.journalEntries().value(0).value("__REALTIME_TIMESTAMP"),
                     QByteArray::number(micros));
        else
            QCOMPARE(receiver.syslogLines().value(0).section('|', 3, 3), sent);
    }
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
    constexpr int kBatch = 50000; // the forwarder's batch
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
                                r.message}
                        .join('|');
    }
    QStringList got = rsyslog.syslogLines();
    got.removeDuplicates();
    QCOMPARE(got, expected);
}

// Through the configuration the README ships: a message of 1 MiB, one of several lines, one that
// begins with a byte order mark of its own and one that is not UTF-8 arrive as they are stored,
// each as one record.
void ForwardTest::syslogRecordsArriveWhole()
{
    const QList<QByteArray> messages{QByteArray(1 << 20, 'x') + "end", "line 1\nline 2\r\nline 3\n",
                                     "\xEF\xBB\xBFown mark", "not \xFF\xFE UTF-8 \xC3"};
    QVector<Record> records;
    for (int i = 0; i < messages.size(); ++i)
        records.push_back({QStringLiteral("2026-12-08 10:00:00"), 3, QString()});
    QVERIFY(writeLog(path("dbLog.db"), records));
    QVERIFY(TestLogFile::withConnection(path("dbLog.db"), [&](QSqlDatabase &db) {
        QSqlQuery update(db);
        update.prepare(QStringLiteral("UPDATE SystemInfo SET message = CAST(? AS TEXT) WHERE "
                                      "id = ?"));
        for (int i = 0; i < messages.size(); ++i) {
            update.addBindValue(messages.at(i));
            update.addBindValue(i + 1);
            if (!update.exec())
                return false;
        }
        return true;
    }));
    Receiver rsyslog(Receiver::Kind::Rsyslog, m_dir->path());
    QVERIFY(rsyslog.start());
    QCOMPARE(forwardOnce(rsyslog.url()).status, 0);
    QVERIFY(rsyslog.stop());
    QList<QByteArray> got;
    for (const QByteArray &record : rsyslog.syslogRecords())
        got << record.split('|').mid(5).join('|');
    QCOMPARE(got, messages);
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
    const Run forward = forwardOnce(journal.url(), options, "UTC", withCursor);
    QCOMPARE(forward.status, 0);
    const QByteArray &err = forward.err;
    QVERIFY2(said.isEmpty() ? err.isEmpty() : err.count('\n') == 1 && err.contains(said), err);
    QCOMPARE(forward.out, summaryOf(expected, journal.url()));
    QVERIFY(journal.stop());
    QCOMPARE(idsOf(journal.journalEntries()), expected);
    if (!expected.isEmpty() && withCursor)
        QCOMPARE(this->cursor(), expected.last());
}

void ForwardTest::onceEndsOnWhatItCannotMend_data()
{
    // At the URL's port: "rsyslog", "http.server" (Python's, which answers a POST with 501),
    // or nobody.
    QTest::addColumn<QString>("server");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("said");
    const QStringList cursor{"--cursor-file", "CURSOR"};
    QTest::newRow("no start: neither cursor nor --from")
        << QString() << QStringList{"--once"} << 2 << QByteArray("needs --cursor-file");
    QTest::newRow("--timeout without --once") << QString() << QStringList{"--timeout", "5"} + cursor
                                              << 2 << QByteArray("goes with --once");
    QTest::newRow("nobody listens: gives up after --timeout")
        << QString() << QStringList{"--once", "--timeout", "1"} + cursor << 1
        << QByteArray("refused; gave up after 1 s (--timeout)");
    QTest::newRow("http:// at a syslog port: refused, no waiting for --timeout")
        << "rsyslog" << QStringList{"--once", "--timeout", "3600"} + cursor << 1
        << QByteArray("no HTTP answer within 8 s (is this a journal-remote?");
    QTest::newRow("an HTTP server's 5xx: tried again until --timeout")
        << "http.server" << QStringList{"--once", "--timeout", "1"} + cursor << 1
        << QByteArray("HTTP 501 <!DOCTYPE HTML>");
}

void ForwardTest::onceEndsOnWhatItCannotMend()
{
    QFETCH(QString, server);
    QFETCH(QStringList, options);
    QFETCH(int, status);
    QFETCH(QByteArray, said);
    options.replaceInStrings(QStringLiteral("CURSOR"), path("cursor"));
    QVERIFY(writeLog(path("dbLog.db"), QVector<Record>{{"2026-12-08 10:00:00", 3, "x"}}));
    Receiver syslog(Receiver::Kind::Rsyslog, m_dir->path());
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    QString url = QStringLiteral("http://127.0.0.1:%1").arg(port);
    closed.close();
    TestFiles::ChildProcess http;
    if (server == "rsyslog") {
        QVERIFY(syslog.start());
        url = syslog.url().replace(QStringLiteral("syslog+tcp:"), QStringLiteral("http:"));
    } else if (server == "http.server") {
        QVERIFY(http.start(QStringLiteral("python3"),
                           {"-m", "http.server", "--bind", "127.0.0.1", QString::number(port)}));
        const auto listening = [port] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            return probe.waitForConnected(100);
        };
        QTRY_VERIFY_WITH_TIMEOUT(listening(), kHangGuardMs);
    }
    const Run forward =
        tallylog(QStringList{"--db", path("dbLog.db"), "forward", "--to", url} + options);
    const QByteArray &err = forward.err;
    QCOMPARE(forward.status, status);
    // One line of its own at most before the last: no warnings of the toolkit's.
    QVERIFY2(err.contains(said) && err.count('\n') <= 2 &&
                 err.count("tallylog: ") == err.count('\n'),
             err);
    QCOMPARE(forward.out, QByteArray());
}

void ForwardTest::tlsChecksBothSides_data()
{
    QTest::addColumn<bool>("journal"); // else rsyslog
    QTest::addColumn<QString>("serverCertificate");
    QTest::addColumn<QStringList>("options"); // CERTS: the certificates' directory
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("said");
    const QStringList ca{"--trust", "CERTS/ca.pem"};
    const QStringList client{"--key", "CERTS/client.key", "--cert", "CERTS/client.pem"};
    QTest::newRow("journal: our CA") << true << "server" << ca << 0 << QByteArray();
    QTest::newRow("journal: --trust all, said loudly")
        << true << "other" << QStringList{"--trust", "all"} << 0
        << QByteArray("WARNING: --trust all: the receiver's certificate is not checked");
    QTest::newRow("journal: another CA's")
        << true << "server" << QStringList{"--trust", "CERTS/stranger-ca.pem"} << 1
        << QByteArray("refused: The issuer certificate of a locally looked up certificate could "
                      "not be found (certificate \"CN=127.0.0.1\", issued by \"CN=Tallyview");
    QTest::newRow("journal: expired")
        << true << "expired" << ca << 1
        << QByteArray("The certificate has expired (certificate \"CN=127.0.0.1\"");
    QTest::newRow("journal: for another name")
        << true << "other" << ca << 1
        << QByteArray("The host name did not match any of the valid hosts for this certificate "
                      "(certificate \"CN=other.example\"");
    QTest::newRow("rsyslog: client certificate")
        << false << "server" << ca + client << 0 << QByteArray();
    QTest::newRow("rsyslog: no client certificate")
        << false << "server" << ca << 1 << QByteArray("none was offered: --cert and --key");
    QTest::newRow("rsyslog: a client certificate of no CA's")
        << false << "server"
        << ca + QStringList{"--key", "CERTS/self.key", "--cert", "CERTS/self.pem", "--timeout", "1"}
        << 1 << QByteArray("may have refused our certificate \"CN=self-signed\"");
    QTest::newRow("a certificate file that is none")
        << false << "server" << QStringList{"--trust", "CERTS/ca.key"} << 1
        << QByteArray("ca.key: no certificate in PEM form");
}

void ForwardTest::tlsChecksBothSides()
{
    QFETCH(bool, journal);
    QFETCH(QString, serverCertificate);
    QFETCH(QStringList, options);
    QFETCH(int, status);
    QFETCH(QByteArray, said);
    const QString certificates = path("certificates");
    QVERIFY(QDir().mkpath(certificates));
    QVERIFY(Receiver::makeCertificates(certificates));
    options.replaceInStrings(QStringLiteral("CERTS"), certificates);
    QVERIFY(writeLog(path("dbLog.db"), QVector<Record>{{"2026-12-08 10:00:00", 3, "over TLS"}}));
    Receiver receiver(journal ? Receiver::Kind::JournalRemote : Receiver::Kind::Rsyslog,
                      m_dir->path());
    receiver.useTls(certificates, serverCertificate);
    QVERIFY(receiver.start());
    const Run forward = forwardOnce(receiver.url(), options);
    QVERIFY2(forward.status == status && forward.err.contains(said), forward.err);
    QVERIFY(receiver.stop());
    const int arrived = journal ? receiver.journalEntries().size() : receiver.syslogLines().size();
    QCOMPARE(arrived, status == 0 ? 1 : 0);
    QCOMPARE(cursor(), qint64(status == 0 ? 1 : 0));
}

void ForwardTest::oneCursorFileOneProcess_data()
{
    QTest::addColumn<QStringList>("second"); // CURSOR: the cursor file, URL the receiver's
    QTest::newRow("a second forward")
        << QStringList{"forward", "--to", "URL", "--cursor-file", "CURSOR", "--once"};
    QTest::newRow("a follow") << QStringList{"follow", "--cursor-file", "CURSOR"};
}

void ForwardTest::oneCursorFileOneProcess()
{
    QFETCH(QStringList, second);
    QVERIFY(writeLog(path("dbLog.db"), QVector<Record>{{"2026-12-08 10:00:00", 3, "x"}}));
    Receiver journal(Receiver::Kind::JournalRemote, m_dir->path());
    QVERIFY(journal.start());
    TestFiles::ChildProcess first;
    startForward(first, journal.url());
    QVERIFY(first.waitFor([&] { return cursor() == 1; }));
    second.replaceInStrings(QStringLiteral("CURSOR"), path("cursor"));
    second.replaceInStrings(QStringLiteral("URL"), journal.url());
    const Run refused = tallylog(QStringList{"--db", path("dbLog.db")} + second);
    QCOMPARE(refused.status, 1);
    QVERIFY2(
        refused.err.contains(QStringLiteral("in use by process %1 ").arg(first.pid()).toUtf8()),
        refused.err);
    QCOMPARE(first.end(), 0);
    // Free again once the first has ended.
    if (second.first() == QLatin1String("forward"))
        QCOMPARE(tallylog(QStringList{"--db", path("dbLog.db")} + second).status, 0);
}

// As the unit runs it: a user of its own (here nobody) in the group adm, which the log's
// directory grants access to; the log as the service keeps it, or switched to WAL mode by
// another program that has ended (no -shm and -wal files left).
void ForwardTest::readsThroughTheGroupGrant_data()
{
    QTest::addColumn<bool>("wal");
    QTest::addColumn<int>("directoryMode");
    QTest::addColumn<int>("status");
    QTest::newRow("rollback journal, directory readable") << false << 0750 << 0;
    QTest::newRow("WAL, directory group-writable and setgid") << true << 02770 << 0;
    QTest::newRow("WAL, directory only readable") << true << 0750 << 1;
}

void ForwardTest::readsThroughTheGroupGrant()
{
    QFETCH(bool, wal);
    QFETCH(int, directoryMode);
    QFETCH(int, status);
    if (::geteuid() != 0)
        QSKIP("needs root, to run the forwarder as another user");
    constexpr uid_t kNobody = 65534;
    constexpr gid_t kAdm = 4;
    const QString logDir = path("log");
    const QString stateDir = path("state");
    const QString log = logDir + QStringLiteral("/dbLog.db");
    QVERIFY(QDir().mkpath(logDir) && QDir().mkpath(stateDir));
    QVERIFY(writeLog(log, QVector<Record>{{"2026-12-08 10:00:00", 3, "granted"}}));
    QVERIFY(!wal || TestLogFile::withConnection(log, [](QSqlDatabase &db) {
        QSqlQuery mode(db);
        return mode.exec(QStringLiteral("PRAGMA journal_mode=WAL")) && mode.next() &&
               mode.value(0).toString() == QLatin1String("wal");
    }));
    QVERIFY(!QFile::exists(log + QStringLiteral("-shm")));
    const auto own = [](const QString &file, uid_t user, gid_t group, int mode) {
        return ::chown(QFile::encodeName(file), user, group) == 0 &&
               ::chmod(QFile::encodeName(file), mode_t(mode)) == 0;
    };
    QVERIFY(own(m_dir->path(), 0, 0, 0711) && own(logDir, 0, kAdm, directoryMode) &&
            own(log, 0, kAdm, 0660) && own(stateDir, kNobody, kNobody, 0700));
    // The forwarder runs as uid 65534 from the build tree, which that user must be able to enter
    // (a clone in a directory only root can enter is not).
    QProcess probe;
    probe.start(QStringLiteral("setpriv"),
                {"--reuid=65534", "--regid=65534", "--groups=4", TALLYLOG_PATH, "--version"});
    QVERIFY(probe.waitForFinished(kHangGuardMs));
    if (probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
        QSKIP(qPrintable(QStringLiteral("uid 65534 cannot run %1 (%2): run the tests from a "
                                        "directory that other users can enter")
                             .arg(QStringLiteral(TALLYLOG_PATH),
                                  QString::fromLocal8Bit(probe.readAllStandardError().trimmed()))));
    Receiver journal(Receiver::Kind::JournalRemote, m_dir->path());
    QVERIFY(journal.start());
    QProcess forward;
    forward.start(QStringLiteral("setpriv"),
                  {"--reuid=65534", "--regid=65534", "--groups=4", TALLYLOG_PATH, "--db", log,
                   "forward", "--to", journal.url(), "--cursor-file", stateDir + "/cursor",
                   "--once"});
    QVERIFY(forward.waitForFinished(kHangGuardMs));
    const QByteArray err = forward.readAllStandardError();
    QVERIFY2(forward.exitCode() == status, err);
    QVERIFY2(status == 0 || err.contains("-shm and -wal"), err);
    QVERIFY(journal.stop());
    QCOMPARE(journal.journalEntries().size(), status == 0 ? 1 : 0);
    // What the forwarder made beside a WAL log, a writer of the group can use.
    for (const QFileInfo &made : QDir(logDir).entryInfoList({"dbLog.db-*"}, QDir::Files))
        QVERIFY2(made.groupId() == kAdm && (made.permissions() & QFile::WriteGroup),
                 qPrintable(made.filePath()));
}

void ForwardTest::pruneKeepsUndelivered()
{
    QVector<Record> records;
    for (int i = 0; i < 4; ++i)
        records.push_back({QStringLiteral("2026-12-06 10:00:00"), 3, QStringLiteral("old")});
    QVERIFY(writeLog(path("dbLog.db"), records));
    const QStringList prune{"--db",       path("dbLog.db"),     "prune",        "--before",
                            "2026-12-08", "--keep-undelivered", path("cursor"), "--yes"};
    // No cursor file: a wrong name, or a forwarder that never started; nothing is deleted.
    const Run missing = tallylog(prune);
    QVERIFY2(missing.status == 1 && missing.err.contains("no such cursor file"), missing.err);
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
