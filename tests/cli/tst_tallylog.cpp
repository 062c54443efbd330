// tallylog, run as a program on log files written by the test: what each output format gives
// back, the selection, the files it must leave alone, its exit statuses, follow, export and prune.

#include "ChildProcess.h"
#include "TallylogSupport.h"
#include "TestFiles.h"
#include "TestLogFile.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>

#include <sys/stat.h>

using namespace TallylogSupport;
using TestFiles::kHangGuardMs;

namespace {

const QString kDay = QStringLiteral("2026-12-08");
// The clock of every run (tallylog reads it from TALLYLOG_NOW): noon of kDay.
const QByteArray kNow = "2026-12-08 12:00:00";

QString at(const QString &time)
{
    return kDay + QLatin1Char(' ') + time;
}

// Stores a message as text of exactly these bytes, which need not be UTF-8.
bool writeBytes(const QString &path, const QString &datetime, int type, const QByteArray &message)
{
    return writeLog(path, QVector<Record>{}) &&
           TestLogFile::withConnection(path, [&](QSqlDatabase &db) {
               QSqlQuery query(db);
               if (!query.prepare(QStringLiteral("INSERT INTO SystemInfo(datetime, type, message) "
                                                 "VALUES(?, ?, CAST(? AS TEXT))")))
                   return false;
               query.addBindValue(datetime);
               query.addBindValue(type);
               query.addBindValue(message);
               return query.exec();
           });
}

// Fields of RFC 4180 text (CRLF between records, "" for a quote inside quotes).
QVector<QStringList> parseCsv(const QString &text)
{
    QVector<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('"'))
                field += text.at(++i);
            else if (c == QLatin1Char('"'))
                quoted = false;
            else
                field += c;
        } else if (c == QLatin1Char('"')) {
            quoted = true;
        } else if (c == QLatin1Char(',')) {
            row << field;
            field.clear();
        } else if (c == QLatin1Char('\r') && text.mid(i, 2) == QLatin1String("\r\n")) {
            row << field;
            rows << row;
            row.clear();
            field.clear();
            ++i;
        } else {
            field += c;
        }
    }
    return rows;
}

// Each record of the output as (id, datetime, type, category, message).
QVector<QStringList> parseOutput(const QString &format, const QByteArray &out)
{
    QVector<QStringList> records;
    if (format == QLatin1String("csv")) {
        records = parseCsv(QString::fromUtf8(out));
        if (!records.isEmpty())
            records.removeFirst(); // the header
        return records;
    }
    for (const QByteArray &line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        records << QStringList{QString::number(o.value(QLatin1String("id")).toInt()),
                               o.value(QLatin1String("datetime")).toString(),
                               QString::number(o.value(QLatin1String("type")).toInt()),
                               o.value(QLatin1String("category")).toString(),
                               o.value(QLatin1String("message")).toString()};
    }
    return records;
}

// The output of `tallylog follow` once `size` bytes came, then the exit status after SIGINT.
Run followUntil(const QString &workDir, const QStringList &arguments, int size)
{
    TestFiles::ChildProcess follow;
    Run run;
    if (!follow.start(QStringLiteral(TALLYLOG_PATH), arguments, workDir))
        return run;
    follow.waitFor([&] { return follow.out().size() >= size; });
    run.status = follow.end(SIGINT);
    run.out = follow.out();
    run.err = follow.err();
    return run;
}

QStringList messagesOf(const QByteArray &jsonLines)
{
    QStringList messages;
    for (const QStringList &r : parseOutput(QStringLiteral("json"), jsonLines))
        messages << r.at(4);
    return messages;
}

} // namespace

class TallylogTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();

    void formatsGiveBackEveryMessage_data();
    void formatsGiveBackEveryMessage();
    void selection_data();
    void selection();
    void readCommandsLeaveTheFileAlone_data();
    void readCommandsLeaveTheFileAlone();
    void failuresAndUsage_data();
    void failuresAndUsage();
    void followDeliversNewRecords_data();
    void followDeliversNewRecords();
    void exportWritesTheWindowsFile();
    void pruneDeletesOnlyOlderRecords_data();
    void pruneDeletesOnlyOlderRecords();
    void pruneBesideAWriterEnds();
    void statsCountsPerHourAndCategory();
    void terminalOutput_data();
    void terminalOutput();
    void oneLineText_data();
    void oneLineText();
    void pager_data();
    void pager();
    void relativeTimes_data();
    void relativeTimes();
    void lastRecordsBeyondTheNewestChunk();
    void followResumesFromItsCursorFile();
    void statsShowsEmptyBuckets_data();
    void statsShowsEmptyBuckets();
    void foreignTypes_data();
    void foreignTypes();
    void foreignIds_data();
    void foreignIds();
    void damagedLogListsWhatItCan_data();
    void damagedLogListsWhatItCan();

private:
    QString dbPath() const { return m_dir->filePath(QStringLiteral("dbLog.db")); }
    QByteArray listAll() const
    {
        return tallylog({"--db", dbPath(), "list", "--day", kDay, "--format", "json"}).out;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TallylogTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    // Every run reads this clock: "today" and relative times do not depend on the day the
    // tests run.
    qputenv("TALLYLOG_NOW", kNow);
    qunsetenv("NO_COLOR");
}

void TallylogTest::formatsGiveBackEveryMessage_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("json") << QStringLiteral("json");
    QTest::newRow("csv") << QStringLiteral("csv");
}

void TallylogTest::formatsGiveBackEveryMessage()
{
    QFETCH(QString, format);
    QVector<Record> records;
    const QStringList messages = hostileMessages();
    for (int i = 0; i < messages.size(); ++i)
        records.push_back({at(QStringLiteral("10:00:%1").arg(i, 2, 10, QLatin1Char('0'))), i % 5,
                           messages.at(i)});
    QVERIFY(writeLog(dbPath(), records));

    const Run run = tallylog({QStringLiteral("--db"), dbPath(), QStringLiteral("list"),
                              QStringLiteral("--day"), kDay, QStringLiteral("--format"), format});
    QCOMPARE(run.status, 0);
    const QVector<QStringList> got = parseOutput(format, run.out);
    QCOMPARE(got.size(), records.size());
    for (int i = 0; i < records.size(); ++i) {
        const QStringList expected{QString::number(i + 1), records.at(i).datetime,
                                   QString::number(records.at(i).type),
                                   categoryName(records.at(i).type), records.at(i).message};
        QCOMPARE(got.at(i), expected);
    }
}

void TallylogTest::selection_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expected");

    const QString day = QStringLiteral("--day");
    QTest::newRow("a day, both ends")
        << QStringList{day, kDay} << QStringList{"first", "alarm", "Ärger", "between", "last"};
    QTest::newRow("a range, both ends included")
        << QStringList{"--from", at("10:00:00"), "--to", at("12:00:00")}
        << QStringList{"alarm", "Ärger"};
    QTest::newRow("a type by number")
        << QStringList{day, kDay, "--type", "3"} << QStringList{"alarm"};
    QTest::newRow("types by name and number")
        << QStringList{day, kDay, "--type", QString::fromUtf8("报警记录,4")}
        << QStringList{"alarm", "Ärger", "last"};
    QTest::newRow("grep ignores case beyond ASCII")
        << QStringList{day, kDay, "--grep", QString::fromUtf8("äRGER")} << QStringList{"Ärger"};
    QTest::newRow("limit takes the first")
        << QStringList{day, kDay, "--limit", "2"} << QStringList{"first", "alarm"};
    QTest::newRow("another day") << QStringList{day, "2026-12-07"} << QStringList{"day before"};
    QTest::newRow("the last 2, in stored order")
        << QStringList{"-n", "2"} << QStringList{"between", "last"};
    QTest::newRow("-n 0: none") << QStringList{"-n", "0"} << QStringList{};
    QTest::newRow("-n beyond the selection")
        << QStringList{"--lines", "9"} << QStringList{"first", "alarm", "Ärger", "between", "last"};
    QTest::newRow("newest first") << QStringList{"-r"}
                                  << QStringList{"last", "between", "Ärger", "alarm", "first"};
    QTest::newRow("the last 2, newest first")
        << QStringList{"-n", "2", "--reverse"} << QStringList{"last", "between"};
    QTest::newRow("the last of a type and a range")
        << QStringList{"-n", "1", "--type", "4", "--until", at("12:00")} << QStringList{"Ärger"};
    QTest::newRow("after an id") << QStringList{"--after-id", "4"}
                                 << QStringList{"between", "last"};
    QTest::newRow("after an id, newest first, whole file")
        << QStringList{"--after-id", "4", "-r", "--since", "2000-01-01"}
        << QStringList{"day after", "last", "between"};
    QTest::newRow("repeated --type: either")
        << QStringList{"--type", "3", "--type", "4"} << QStringList{"alarm", "Ärger", "last"};
    QTest::newRow("repeated --grep: all")
        << QStringList{"--grep", "A", "--grep", "r"} << QStringList{"alarm"};
    QTest::newRow("-g, a regular expression")
        << QStringList{"-g", "^(first|last)$"} << QStringList{"first", "last"};
    QTest::newRow("-g without capitals ignores case")
        << QStringList{"-g", QString::fromUtf8("^ä")} << QStringList{"Ärger"};
    QTest::newRow("-g with a capital minds case") << QStringList{"-g", "Alarm"} << QStringList{};
    QTest::newRow("-g, an escape's letter is no capital")
        << QStringList{"--regex", QString::fromUtf8("ä\\Sger")} << QStringList{"Ärger"};
    QTest::newRow("-g --case-sensitive")
        << QStringList{"-g", QString::fromUtf8("ärger"), "--case-sensitive"} << QStringList{};
    QTest::newRow("-S and -U") << QStringList{"-S", "10:00", "-U", at("12:00:00")}
                               << QStringList{"alarm", "Ärger"};
    QTest::newRow("--day today") << QStringList{day, "today", "--type", "3"}
                                 << QStringList{"alarm"};
    QTest::newRow("--day yesterday") << QStringList{day, "yesterday"} << QStringList{"day before"};
    QTest::newRow("--day -1d") << QStringList{day, "-1d"} << QStringList{"day before"};
    QTest::newRow("English names, any case")
        << QStringList{"--type", "PARAM,user,Status,alarm", "--since", "-2d"}
        << QStringList{"day before", "first", "alarm", "between", "day after"};
}

void TallylogTest::selection()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expected);
    QVERIFY(writeLog(dbPath(), QVector<Record>{{"2026-12-07 23:59:59", 0, "day before"},
                                               {at("00:00:00"), 1, "first"},
                                               {at("10:00:00"), 3, "alarm"},
                                               {at("12:00:00"), 4, QString::fromUtf8("Ärger")},
                                               {at("12:00:01"), 2, "between"},
                                               {at("23:59:59"), 4, "last"},
                                               {"2026-12-09 00:00:00", 0, "day after"}}));
    const Run run = tallylog(QStringList{QStringLiteral("--db"), dbPath(), QStringLiteral("list"),
                                         QStringLiteral("--format"), QStringLiteral("json")} +
                             arguments);
    QCOMPARE(run.status, 0);
    QCOMPARE(messagesOf(run.out), expected);
}

void TallylogTest::readCommandsLeaveTheFileAlone_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("list") << QStringList{"list", "--day", kDay, "--format", "csv"};
    QTest::newRow("stats") << QStringList{"stats", "--by", "day"};
    QTest::newRow("prune without --yes") << QStringList{"prune", "--before", "2030-01-01"};
    QTest::newRow("export") << QStringList{"export", "--day", kDay, "--type", "3", "--dir", "."};
    QTest::newRow("export of today") << QStringList{"export", "--type", "3", "--dir", "."};
    QTest::newRow("--help-all") << QStringList{"--help-all"};
    QTest::newRow("a command's --help-all") << QStringList{"stats", "--help-all"};
}

void TallylogTest::readCommandsLeaveTheFileAlone()
{
    QFETCH(QStringList, arguments);
    QVERIFY(writeLog(dbPath(), QVector<Record>{{at("09:00:00"), 3, "kept"}}));
    const QByteArray before = TestFiles::readFile(dbPath());
    const QDateTime modified = QFileInfo(dbPath()).lastModified();
    const QStringList entries = QDir(m_dir->path()).entryList(QDir::Files);

    QCOMPARE(tallylog(arguments, m_dir->path()).status, 0);
    QCOMPARE(TestFiles::readFile(dbPath()), before);
    QCOMPARE(QFileInfo(dbPath()).lastModified(), modified);
    // No journal or other file beside the log (an export writes only its own file).
    QStringList after = QDir(m_dir->path()).entryList(QDir::Files);
    after.removeAll(kDay + QString::fromUtf8("系统日志.txt"));
    QCOMPARE(after, entries);
}

void TallylogTest::failuresAndUsage_data()
{
    QTest::addColumn<QByteArray>("contents"); // null: no file; "fifo": a named pipe
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");

    const QByteArray log("log");
    const QStringList list{"list"};
    QTest::newRow("missing file") << QByteArray() << list << 1;
    QTest::newRow("missing file, prune --yes")
        << QByteArray() << QStringList{"prune", "--before", kDay, "--yes"} << 1;
    QTest::newRow("empty file") << QByteArray("") << list << 1;
    QTest::newRow("not SQLite") << QByteArray("hello, I am text\n") << list << 1;
    QTest::newRow("named pipe") << QByteArray("fifo") << list << 1;
    QTest::newRow("named pipe, stats") << QByteArray("fifo") << QStringList{"stats"} << 1;
    QTest::newRow("not a log, prune --yes")
        << QByteArray("hello") << QStringList{"prune", "--before", kDay, "--yes"} << 1;
    QTest::newRow("no command") << log << QStringList{} << 2;
    QTest::newRow("unknown command") << log << QStringList{"tail"} << 2;
    QTest::newRow("unknown option") << log << QStringList{"list", "--colour"} << 2;
    QTest::newRow("option of another command") << log << QStringList{"stats", "--grep", "x"} << 2;
    QTest::newRow("bad day") << log << QStringList{"list", "--day", "2026-02-30"} << 2;
    QTest::newRow("bad moment") << log << QStringList{"list", "--from", "2026-12-08 24:00:00"} << 2;
    QTest::newRow("day and range")
        << log << QStringList{"list", "--day", kDay, "--to", at("10:00:00")} << 2;
    QTest::newRow("unknown category") << log << QStringList{"list", "--type", "5"} << 2;
    QTest::newRow("unknown format") << log << QStringList{"list", "--format", "xml"} << 2;
    QTest::newRow("export needs --dir")
        << log << QStringList{"export", "--day", kDay, "--type", "3"} << 2;
    QTest::newRow("prune needs --before") << log << QStringList{"prune", "--yes"} << 2;
    QTest::newRow("an option twice")
        << log << QStringList{"list", "--limit", "1", "--limit", "2"} << 2;
    QTest::newRow("a short and a long name")
        << log << QStringList{"list", "-n", "1", "--lines", "2"} << 2;
    QTest::newRow("a flag twice") << log << QStringList{"list", "-r", "--reverse"} << 2;
    QTest::newRow("-n and --limit") << log << QStringList{"list", "-n", "1", "--limit", "1"} << 2;
    QTest::newRow("negative -n") << log << QStringList{"list", "-n", "-1"} << 2;
    QTest::newRow("bad time") << log << QStringList{"list", "--since", "-1 fortnight"} << 2;
    QTest::newRow("--since and --from")
        << log << QStringList{"list", "--since", "today", "--from", at("10:00:00")} << 2;
    QTest::newRow("--until before --since")
        << log << QStringList{"list", "--since", "now", "--until", "-1h"} << 2;
    QTest::newRow("--raw with json")
        << log << QStringList{"list", "--raw", "--format", "json"} << 2;
    QTest::newRow("--escape and --raw") << log << QStringList{"list", "--escape", "--raw"} << 2;
    QTest::newRow("bad --color") << log << QStringList{"list", "--color", "yes"} << 2;
    QTest::newRow("forward needs --to") << log << QStringList{"forward", "--once"} << 2;
    QTest::newRow("forward to an unknown receiver")
        << log << QStringList{"forward", "--to", "ftp://loghost"} << 2;
    QTest::newRow("forward to port 0")
        << log << QStringList{"forward", "--to", "syslog+tcp://127.0.0.1:0", "--once"} << 2;
    QTest::newRow("forward to a path") << log << QStringList{"forward", "--to", "http://h/x"} << 2;
    QTest::newRow("forward, bad --from")
        << log << QStringList{"forward", "--to", "http://h", "--from", "someday"} << 2;
    // A name with ": " has the words that the line on standard error must hold after it.
    QTest::newRow("bad pattern: 'a(b': missing closing parenthesis")
        << log << QStringList{"list", "-g", "a(b"} << 2;
    QTest::newRow("--case-sensitive alone: -g/--regex")
        << log << QStringList{"list", "--case-sensitive"} << 2;
    QTest::newRow("-o and --format: --format given more than once")
        << log << QStringList{"list", "-o", "csv", "--format", "json"} << 2;
    QTest::newRow("-f with a day: -f/--follow takes no day")
        << log << QStringList{"list", "-f", "--day", "today"} << 2;
    QTest::newRow("stats as window") << log << QStringList{"stats", "-o", "window"} << 2;
    QTest::newRow("bad day word") << log << QStringList{"list", "--day", "fortnight"} << 2;
    QTest::newRow("bad --before") << log << QStringList{"prune", "--before", "soon"} << 2;
    QTest::newRow("a time that is none") << log << QStringList{"list", "--since", "25:00"} << 2;
    // The log file itself given as a cursor file: not one.
    QTest::newRow("forward, not a cursor file")
        << log << QStringList{"forward", "--to", "http://h", "--cursor-file", "LOG"} << 1;
    QTest::newRow("forward, cursor file in no directory")
        << log << QStringList{"forward", "--to", "http://h", "--cursor-file", "LOG/c"} << 1;
    QTest::newRow("prune --keep-undelivered, not a cursor file")
        << log << QStringList{"prune", "--before", kDay, "--keep-undelivered", "LOG"} << 1;
}

void TallylogTest::failuresAndUsage()
{
    QFETCH(QByteArray, contents);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    const QByteArray tag = QTest::currentDataTag();
    const QByteArray said = tag.contains(": ") ? tag.mid(tag.indexOf(": ") + 2) : QByteArray();
    const bool fifo = contents == "fifo";
    arguments.replaceInStrings(QStringLiteral("LOG"), dbPath());
    if (contents == "log")
        QVERIFY(writeLog(dbPath(), QVector<Record>{{at("09:00:00"), 3, "x"}}));
    else if (fifo)
        QCOMPARE(::mkfifo(QFile::encodeName(dbPath()).constData(), 0600), 0);
    else if (!contents.isNull())
        QVERIFY(TestFiles::writeFile(dbPath(), contents));
    // (Reading a pipe would wait for a writer.)
    const QByteArray before = fifo ? QByteArray() : TestFiles::readFile(dbPath());

    const Run run = tallylog(QStringList{QStringLiteral("--db"), dbPath()} + arguments);
    QCOMPARE(run.status, status);
    QVERIFY2(run.err.startsWith("tallylog: ") && run.err.count('\n') == 1, run.err.constData());
    if (status == 1)
        QVERIFY2(run.err.contains(dbPath().toUtf8()), run.err.constData());
    QVERIFY2(run.err.contains(said), run.err.constData());
    QVERIFY(run.out.isEmpty());
    // Never created, never changed.
    if (!fifo)
        QCOMPARE(TestFiles::readFile(dbPath()), before);
}

void TallylogTest::followDeliversNewRecords_data()
{
    QTest::addColumn<QString>("replacement"); // what happens to the followed file meanwhile
    QTest::addColumn<QStringList>("said");    // the lines on standard error, a word of each
    QTest::newRow("same file") << QString() << QStringList{};
    QTest::newRow("moved over it") << "move" << QStringList{"replaced"};
    QTest::newRow("copied over it") << "copy" << QStringList{"replaced"};
    QTest::newRow("removed, then back") << "remove" << QStringList{"removed", "replaced"};
}

void TallylogTest::followDeliversNewRecords()
{
    QFETCH(QString, replacement);
    QFETCH(QStringList, said);
    QVector<Record> backlog;
    for (int i = 1; i <= 12; ++i)
        backlog.push_back({at("08:00:00"), 1, QStringLiteral("old %1").arg(i)});
    QVERIFY(writeLog(dbPath(), backlog));
    // Fewer records than the followed file, and a history of its own.
    const QString other = m_dir->filePath(QStringLiteral("other.db"));
    QVERIFY(writeLog(other, QVector<Record>{{at("09:00:00"), 2, "other 1"}}));
    QVERIFY(writeLog(other, QVector<Record>{{at("09:00:01"), 2, "other 2"}}));

    TestFiles::ChildProcess follow;
    QVERIFY(follow.start(QStringLiteral(TALLYLOG_PATH),
                         {"--db", dbPath(), "follow", "--format", "json"}));
    const auto readSoFar = [&] { return messagesOf(follow.out()); };
    QStringList expected;
    for (int i = 3; i <= 12; ++i)
        expected << QStringLiteral("old %1").arg(i);
    QTRY_COMPARE_WITH_TIMEOUT(readSoFar(), expected, kHangGuardMs);

    // Another file in its place is followed from its start, as `tail -F` does.
    if (replacement == QLatin1String("copy"))
        QVERIFY(TestFiles::writeFile(dbPath(), TestFiles::readFile(other)));
    if (replacement == QLatin1String("remove")) {
        QVERIFY(QFile::remove(dbPath()));
        QVERIFY(follow.waitForErr("removed"));
    }
    if (replacement == QLatin1String("move") || replacement == QLatin1String("remove"))
        QCOMPARE(std::rename(qPrintable(other), qPrintable(dbPath())), 0);
    if (!replacement.isEmpty()) {
        expected << "other 1"
                 << "other 2";
        QTRY_COMPARE_WITH_TIMEOUT(readSoFar(), expected, kHangGuardMs);
    }

    // Stored by another connection, as a service in another process would.
    QElapsedTimer clock;
    clock.start();
    QVERIFY(writeLog(dbPath(), QVector<Record>{{at("08:00:01"), 3, "new"}}));
    expected << QStringLiteral("new");
    QTRY_COMPARE_WITH_TIMEOUT(readSoFar(), expected, kHangGuardMs);
    qInfo("a stored record reached the pipe after %lld ms", clock.elapsed());

    QCOMPARE(follow.end(), 0);
    const QByteArray err = follow.err();
    QVERIFY2(err.count('\n') == said.size(), err.constData());
    for (const QString &word : said)
        QVERIFY2(err.count(word.toUtf8()) == 1, err.constData());
}

void TallylogTest::exportWritesTheWindowsFile()
{
    const QVector<Record> records{{at("09:00:00"), 3, "first\nsecond line"},
                                  {at("09:30:00"), 2, "other category"},
                                  {at("10:00:00"), 3, QString::fromUtf8("报警 %1")}};
    QVERIFY(writeLog(dbPath(), records));
    const QString file = m_dir->filePath(kDay + QString::fromUtf8("系统日志.txt"));

    // A day without records: no file.
    Run run = tallylog(
        {"--db", dbPath(), "export", "--day", "2026-12-07", "--type", "3", "--dir", m_dir->path()});
    QCOMPARE(run.status, 1);
    QVERIFY(!QFileInfo::exists(m_dir->filePath(QString::fromUtf8("2026-12-07系统日志.txt"))));

    run = tallylog({"--db", dbPath(), "export", "--day", kDay, "--type",
                    QString::fromUtf8("报警记录"), "--dir", m_dir->path()});
    QCOMPARE(run.status, 0);
    // Each record as the window writes it: "stamp:\nmessage\n", UTF-8.
    QByteArray expected;
    for (const Record &r : records) {
        if (r.type == 3)
            expected +=
                (r.datetime + QStringLiteral(":\n") + r.message + QLatin1Char('\n')).toUtf8();
    }
    QCOMPARE(TestFiles::readFile(file), expected);
    QCOMPARE(run.out, "2 records written to " + file.toUtf8() + "\n");

    run = tallylog({"--db", dbPath(), "export", "--day", kDay, "--type", "3", "--dir",
                    m_dir->filePath(QStringLiteral("missing"))});
    QCOMPARE(run.status, 1);
    QCOMPARE(TestFiles::readFile(file), expected);

    // A file-size limit stops the writing part-way (here in the last buffered bytes, under the
    // 16 KiB that QFileDevice keeps back): said, and the earlier file stays as it was.
    QVERIFY(writeLog(dbPath(), QVector<Record>(200, {at("11:00:00"), 3, QString(40, 'x')})));
    TestFiles::ChildProcess limited;
    QVERIFY(
        limited.start(QStringLiteral("/bin/sh"),
                      {"-c", "ulimit -f 8 && exec \"$0\" \"$@\"", TALLYLOG_PATH, "--db", dbPath(),
                       "export", "--day", kDay, "--type", "3", "--dir", m_dir->path(), "--force"}));
    QCOMPARE(limited.finish(), 1);
    QVERIFY(limited.err().startsWith("tallylog: " + file.toUtf8() + ": "));
    QCOMPARE(TestFiles::readFile(file), expected);

    // Another category of the day has the same name: the file stays unless --force is given.
    const QStringList other{"--db",   dbPath(), "export", "--day",      kDay,
                            "--type", "2",      "--dir",  m_dir->path()};
    run = tallylog(other);
    QVERIFY2(run.status == 1 && run.err.contains("exists already; --force replaces it"),
             run.err.constData());
    QCOMPARE(TestFiles::readFile(file), expected);
    QCOMPARE(tallylog(other + QStringList{"--force"}).status, 0);
    QCOMPARE(TestFiles::readFile(file), (at("09:30:00") + ":\nother category\n").toUtf8());
}

void TallylogTest::pruneDeletesOnlyOlderRecords_data()
{
    // With the clock at kDay 12:00, each a cut at kDay 00:00:00.
    QTest::addColumn<QString>("before");
    QTest::newRow("a day") << kDay;
    QTest::newRow("today") << QStringLiteral("today");
    QTest::newRow("-12h") << QStringLiteral("-12h");
}

void TallylogTest::pruneDeletesOnlyOlderRecords()
{
    QFETCH(QString, before);
    QVERIFY(writeLog(dbPath(), QVector<Record>{{"2026-12-06 12:00:00", 0, "old"},
                                               {"2026-12-07 23:59:59", 1, "old, last second"},
                                               {at("00:00:00"), 2, "kept, first second"},
                                               {"2026-12-05 08:00:00", 3, "old, stored late"},
                                               {at("10:00:00"), 4, "kept"}}));
    const QByteArray stored = TestFiles::readFile(dbPath());
    Run run = tallylog({"--db", dbPath(), "prune", "--before", before});
    QCOMPARE(run.status, 0);
    QVERIFY2(run.out.startsWith("3 records"), run.out.constData());
    QCOMPARE(TestFiles::readFile(dbPath()), stored);

    run = tallylog({"--db", dbPath(), "prune", "--before", before, "--yes"});
    QCOMPARE(run.status, 0);
    QVERIFY2(run.out.startsWith("3 records"), run.out.constData());
    run = tallylog({"--db", dbPath(), "list", "--from", "2000-01-01 00:00:00", "--format", "json"});
    QCOMPARE(messagesOf(run.out), (QStringList{"kept, first second", "kept"}));
}

void TallylogTest::pruneBesideAWriterEnds()
{
    // Another program stores records stamped before the day of the cut, a record a millisecond,
    // until the prune ends: a prune that chased them would never end.
    QVERIFY(writeLog(dbPath(), QVector<Record>{}));
    std::atomic<bool> pruned{false};
    std::atomic<int> written{0};
    std::thread writer([&] {
        TestLogFile::withConnection(dbPath(), [&](QSqlDatabase &db) {
            db.exec(QStringLiteral("PRAGMA synchronous=OFF"));
            for (QSqlQuery insert(db); !pruned; QThread::msleep(1))
                written += insert.exec(QStringLiteral("INSERT INTO SystemInfo(datetime, type, "
                                                      "message) VALUES('%1', 1, '%2')")
                                           .arg(at("08:00:00"))
                                           .arg(written.load()));
            return true;
        });
    });
    // However the function ends, the writer stops and is joined.
    const struct StopWriter
    {
        std::atomic<bool> &stop;
        std::thread &thread;
        ~StopWriter()
        {
            stop = true;
            if (thread.joinable())
                thread.join();
        }
    } stopWriter{pruned, writer};
    QTRY_VERIFY_WITH_TIMEOUT(written > 200, kHangGuardMs);
    TestFiles::ChildProcess prune;
    QVERIFY(prune.start(QStringLiteral(TALLYLOG_PATH),
                        {"--db", dbPath(), "prune", "--before", "2026-12-09", "--yes"}));
    // Once the first record is gone the prune has begun: what is stored from then on stays.
    const auto firstGone = [&] {
        const QStringList messages = messagesOf(listAll());
        return !messages.isEmpty() && messages.first() != QLatin1String("0");
    };
    QTRY_VERIFY_WITH_TIMEOUT(firstGone(), kHangGuardMs);
    const int storedAfterStart = written;
    const int status = prune.finish();
    pruned = true;
    writer.join();

    const QStringList kept = messagesOf(listAll());
    const int deleted = written - kept.size();
    const QByteArray out = prune.out();
    QVERIFY2(status == 0 && out.startsWith(QByteArray::number(deleted) + " records"), out);
    QVERIFY(deleted <= storedAfterStart);
    for (int i = 0; i < kept.size(); ++i)
        QCOMPARE(kept.at(i), QString::number(deleted + i));
}

void TallylogTest::statsCountsPerHourAndCategory()
{
    QVector<Record> records;
    for (int i = 0; i < 8; ++i)
        records.push_back({at(QStringLiteral("10:%1:00").arg(i * 7, 2, 10, QLatin1Char('0'))), 3,
                           QStringLiteral("burst")});
    records.push_back({at("10:30:00"), 4, "info"});
    records.push_back({at("11:00:00"), 4, "info"});
    records.push_back({"2026-12-09 11:00:00", 4, "next day"});
    QVERIFY(writeLog(dbPath(), records));

    const Run run = tallylog({"--db", dbPath(), "stats", "--day", kDay});
    QCOMPARE(run.status, 0);
    // Rows: bucket, category, count, bar (in eighths of a cell: 40 cells for the largest).
    const QRegularExpression row(QStringLiteral("^(\\S+ \\S+)\\s+(\\S+)\\s+(\\d+) (\\S+)$"));
    QStringList rows;
    for (const QString &line : QString::fromUtf8(run.out).split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch m = row.match(line);
        if (m.hasMatch() && m.captured(3) != QLatin1String("count"))
            rows << QStringList{m.captured(1), m.captured(2), m.captured(3),
                                QString::number(m.captured(4).size())}
                        .join(QLatin1Char('|'));
    }
    QCOMPARE(rows, (QStringList{at("10:00|") + categoryName(3) + "|8|40",
                                at("10:00|") + categoryName(4) + "|1|5",
                                at("11:00|") + categoryName(4) + "|1|5"}));
}

void TallylogTest::terminalOutput_data()
{
    QTest::addColumn<bool>("onTerminal");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QByteArray>("expected");

    // An alarm whose message holds a colour change, a carriage return, a bell and a byte that is
    // not UTF-8, and a record of another category.
    const QByteArray stamp = "2026-12-08 09:00:00";
    const QByteArray stored = "a\x1b[31mb\rc\x07"
                              "d\xff\xc2\x9b"
                              "e";
    const QByteArray escaped = "a\\e[31mb\\rc\\x07d\xef\xbf\xbd\\u009be";
    const auto shown = [&](const QByteArray &message, bool colour) {
        const QByteArray alarm = QByteArray("报警记录");
        if (!colour)
            return stamp + " " + alarm + " " + message + "\n" + stamp + " 用户使用记录 ok\n";
        return "\x1b[2m" + stamp + "\x1b[0m \x1b[31m" + alarm + " " + message + "\x1b[0m\n\x1b[2m" +
               stamp + "\x1b[0m 用户使用记录 ok\n";
    };
    // The window's layout: the stamp and a colon on one line, the message below.
    const auto window = [&](const QByteArray &message, bool colour) {
        const QByteArray alarm = QByteArray("报警记录");
        if (!colour)
            return stamp + " [" + alarm + "]:\n" + message + "\n" + stamp +
                   " [用户使用记录]:\nok\n";
        return "\x1b[2m" + stamp + "\x1b[0m [\x1b[31m" + alarm + "\x1b[0m]:\n\x1b[31m" + message +
               "\x1b[0m\n\x1b[2m" + stamp + "\x1b[0m [用户使用记录]:\nok\n";
    };
    QTest::newRow("pipe: as stored")
        << false << QStringList{} << QStringList{} << shown(stored, false);
    QTest::newRow("pipe, --escape")
        << false << QStringList{"--escape"} << QStringList{} << shown(escaped, false);
    QTest::newRow("pipe, --raw") << false << QStringList{"--raw"} << QStringList{}
                                 << shown(stored, false);
    QTest::newRow("pipe, --color=always")
        << false << QStringList{"--color=always"} << QStringList{} << shown(stored, true);
    QTest::newRow("terminal: escaped, coloured")
        << true << QStringList{} << QStringList{} << shown(escaped, true);
    QTest::newRow("terminal, NO_COLOR")
        << true << QStringList{} << QStringList{"NO_COLOR=1"} << shown(escaped, false);
    QTest::newRow("terminal, empty NO_COLOR")
        << true << QStringList{} << QStringList{"NO_COLOR="} << shown(escaped, true);
    QTest::newRow("terminal, NO_COLOR, --color=always")
        << true << QStringList{"--color", "always"} << QStringList{"NO_COLOR=1"}
        << shown(escaped, true);
    QTest::newRow("terminal, --color=never")
        << true << QStringList{"--color=never"} << QStringList{} << shown(escaped, false);
    QTest::newRow("terminal, --raw")
        << true << QStringList{"--raw"} << QStringList{} << shown(stored, true);
    QTest::newRow("terminal, TERM=dumb")
        << true << QStringList{} << QStringList{"TERM=dumb"} << shown(escaped, false);
    QTest::newRow("window, pipe") << false << QStringList{"-o", "window"} << QStringList{}
                                  << window(stored, false);
    QTest::newRow("window, terminal")
        << true << QStringList{"--format", "window"} << QStringList{} << window(escaped, true);
    // JSON: valid UTF-8 always; on a terminal the C1 controls escaped too.
    const auto json = [&](const QByteArray &message) {
        return "{\"id\":1,\"datetime\":\"" + stamp +
               "\",\"type\":3,\"category\":\"报警记录\",\"message\":\"" + message +
               "\"}\n{\"id\":2,\"datetime\":\"" + stamp +
               "\",\"type\":1,\"category\":\"用户使用记录\",\"message\":\"ok\"}\n";
    };
    // CSV: as stored through a pipe, with a byte order mark only when asked for.
    const auto csv = [&](const QByteArray &message) {
        return "id,datetime,type,category,message\r\n1," + stamp + ",3,报警记录,\"" + message +
               "\"\r\n2," + stamp + ",1,用户使用记录,ok\r\n";
    };
    QTest::newRow("csv, pipe") << false << QStringList{"-o", "csv"} << QStringList{} << csv(stored);
    QTest::newRow("csv, pipe, --bom") << false << QStringList{"-o", "csv", "--bom"} << QStringList{}
                                      << "\xef\xbb\xbf" + csv(stored);
    QTest::newRow("csv, terminal")
        << true << QStringList{"-o", "csv"} << QStringList{} << csv(escaped);
    QTest::newRow("json, pipe") << false << QStringList{"-o", "json"} << QStringList{}
                                << json("a\\u001b[31mb\\rc\\u0007d\xef\xbf\xbd\xc2\x9b"
                                        "e");
    QTest::newRow("json, terminal") << true << QStringList{"-o", "json"} << QStringList{}
                                    << json("a\\u001b[31mb\\rc\\u0007d\xef\xbf\xbd\\u009be");
}

void TallylogTest::terminalOutput()
{
    QFETCH(bool, onTerminal);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, expected);
    QVERIFY(writeBytes(dbPath(), at("09:00:00"), 3,
                       "a\x1b[31mb\rc\x07"
                       "d\xff\xc2\x9b"
                       "e"));
    QVERIFY(writeLog(dbPath(), QVector<Record>{{at("09:00:00"), 1, "ok"}}));
    const PseudoTerminal terminal;
    QVERIFY(terminal.isValid());
    const Run run = tallylog(QStringList{"--db", dbPath(), "list", "--no-pager"} + arguments,
                             QString(), onTerminal ? &terminal : nullptr, environment);
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, expected);
}

void TallylogTest::oneLineText_data()
{
    QTest::addColumn<QString>("datetime");
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("expected"); // in a pipe

    const QByteArray stamp = at("09:00:00").toUtf8();
    // The continuation lines start under the message: the width of "stamp category ", a Chinese
    // character two columns.
    const auto under = [](int nameColumns) { return QByteArray(19 + 1 + nameColumns + 1, ' '); };
    QTest::newRow("one line") << at("09:00:00") << 3 << QByteArray("pump stopped")
                              << stamp + " 报警记录 pump stopped\n";
    QTest::newRow("lines indented, empty ones left empty")
        << at("09:00:00") << 0 << QByteArray("first\nsecond\n\nfourth\n")
        << stamp + " 参数修改记录 first\n" + under(12) + "second\n\n" + under(12) + "fourth\n\n";
    QTest::newRow("a record forged in a message")
        << at("09:00:00") << 4 << QByteArray("ok\n2026-12-08 10:00:00 报警记录 forged")
        << stamp + " 其他信息 ok\n" + under(8) + "2026-12-08 10:00:00 报警记录 forged\n";
    QTest::newRow("a line feed in a stamp")
        << QStringLiteral("2026-12-08\n09") << 1 << QByteArray("x")
        << QByteArray("2026-12-08\\n09 用户使用记录 x\n");
}

void TallylogTest::oneLineText()
{
    QFETCH(QString, datetime);
    QFETCH(int, type);
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, expected);
    QVERIFY(writeBytes(dbPath(), datetime, type, message));
    const Run run = tallylog({"--db", dbPath(), "list", "--from", "2000-01-01 00:00:00"});
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, expected);
}

void TallylogTest::pager_data()
{
    QTest::addColumn<bool>("onTerminal");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QByteArray>("pagedBy"); // what the pager put first; empty: no pager
    QTest::addColumn<int>("status");

    // A pager that marks each line, and a `less` of the test's own that says its settings.
    const QString marking = QStringLiteral("TALLYLOG_PAGER=sed s/^/paged:/");
    const QStringList noneSet{"TALLYLOG_PAGER", "PAGER", "LESS", "LESSCHARSET", "PATH=BIN"};
    const QStringList list{"list"};
    const QByteArray none;
    QTest::newRow("terminal") << true << list << QStringList{marking} << QByteArray("paged:") << 0;
    QTest::newRow("pipe") << false << list << QStringList{marking} << none << 0;
    QTest::newRow("nothing to show")
        << true << QStringList{"list", "--day", "2020-01-01"} << QStringList{marking} << none << 0;
    QTest::newRow("--no-pager") << true << QStringList{"list", "--no-pager"} << QStringList{marking}
                                << none << 0;
    QTest::newRow("stats") << true << QStringList{"stats"} << QStringList{marking}
                           << QByteArray("paged:") << 0;
    QTest::newRow("$PAGER") << true << list
                            << QStringList{"TALLYLOG_PAGER", "PAGER=sed s/^/paged:/"}
                            << QByteArray("paged:") << 0;
    QTest::newRow("less, FRSXMK") << true << list << noneSet
                                  << QByteArray("less LESS=FRSXMK LESSCHARSET=utf-8\n") << 0;
    // A pager the shell cannot find: said, not a listing lost without a word.
    QTest::newRow("a pager that is not there")
        << true << list << QStringList{"TALLYLOG_PAGER=/nonexistent/pager"} << none << 1;
}

void TallylogTest::pager()
{
    QFETCH(bool, onTerminal);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, pagedBy);
    QFETCH(int, status);
    QVERIFY(writeBytes(dbPath(), at("09:00:00"), 1, "a\x1b[31mb"));
    const QString bin = m_dir->filePath(QStringLiteral("bin"));
    const QString less = bin + QStringLiteral("/less");
    QVERIFY(QDir().mkdir(bin) &&
            TestFiles::writeFile(less,
                                 "#!/bin/sh\necho \"less LESS=$LESS LESSCHARSET=$LESSCHARSET\"\n"
                                 "exec cat\n") &&
            QFile::setPermissions(less, QFile::ReadOwner | QFile::ExeOwner));
    environment.replaceInStrings(QStringLiteral("BIN"), bin + ':' + qgetenv("PATH"));
    const PseudoTerminal terminal;
    QVERIFY(terminal.isValid());
    const Run run =
        tallylog(QStringList{"--db", dbPath()} + arguments, m_dir->path(),
                 onTerminal ? &terminal : nullptr, QStringList{"TERM=xterm"} + environment);
    QCOMPARE(run.status, status);
    QVERIFY2(status == 0 || run.err.contains("the pager '/nonexistent/pager' could not be started"),
             run.err.constData());
    // What is written is the terminal's, through the pager too: escaped and coloured.
    QVERIFY2(run.out.startsWith(pagedBy), run.out.constData());
    const QByteArray stamp = at("09:00:00").toUtf8();
    if (arguments.contains(QStringLiteral("--day"))) // a day without records
        QCOMPARE(run.out, QByteArray());
    else if (arguments.first() == QLatin1String("list") && status == 0)
        QCOMPARE(run.out.mid(pagedBy.size()),
                 onTerminal ? "\x1b[2m" + stamp + "\x1b[0m 用户使用记录 a\\e[31mb\n"
                            : stamp + " 用户使用记录 a\x1b[31mb\n");
}

void TallylogTest::relativeTimes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("moment");          // with the clock at kNow unless set
    QTest::addColumn<QStringList>("environment"); // the clock and zone of the run
    const auto row = [](const char *text, const char *moment, const QStringList &environment = {}) {
        QTest::newRow(qPrintable((text + QLatin1Char(' ') + environment.join(' ')).trimmed()))
            << text << moment << environment;
    };
    row("now", "2026-12-08 12:00:00");
    row("today", "2026-12-08 00:00:00");
    row("yesterday", "2026-12-07 00:00:00");
    row("-1h", "2026-12-08 11:00:00");
    row("-30min", "2026-12-08 11:30:00");
    row("-2d", "2026-12-06 12:00:00");
    row("+10min", "2026-12-08 12:10:00");
    row("-1h 30min", "2026-12-08 10:30:00");
    row("3 hours ago", "2026-12-08 09:00:00");
    row("2026-02-28", "2026-02-28 00:00:00");
    row("2026-12-01 07:05", "2026-12-01 07:05:00");
    row("2026-12-01 07:05:09", "2026-12-01 07:05:09");
    row("10:00", "2026-12-08 10:00:00");
    row("09:30:15", "2026-12-08 09:30:15");
    row("-1w", "2026-12-01 12:00:00");
    // A day whose midnight daylight saving skips (00:00 becomes 01:00).
    row("today", "2024-09-08 00:00:00",
        {"TZ=America/Santiago", "TALLYLOG_NOW=2024-09-08 12:00:00"});
    // Days on the calendar across a change (23 and 25 hours), hours as elapsed time.
    const QStringList spring{"TZ=Europe/Berlin", "TALLYLOG_NOW=2026-03-30 00:30:00"};
    row("-1d", "2026-03-29 00:30:00", spring);
    row("-1w", "2026-03-23 00:30:00", spring);
    row("-1d 1h", "2026-03-28 23:30:00", spring);
    row("-1d", "2026-10-25 00:30:00", {"TZ=Europe/Berlin", "TALLYLOG_NOW=2026-10-26 00:30:00"});
    row("-1h", "2026-03-29 01:30:00", {"TZ=Europe/Berlin", "TALLYLOG_NOW=2026-03-29 03:30:00"});
}

void TallylogTest::relativeTimes()
{
    QFETCH(QString, text);
    QFETCH(QString, moment);
    QFETCH(QStringList, environment);
    // A record on the moment and one a second to either side: --since and --until, both
    // included, single out the first.
    const QDateTime m = QDateTime::fromString(moment, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    const auto stamp = [&](int s) { return m.addSecs(s).toString("yyyy-MM-dd hh:mm:ss"); };
    QVERIFY(writeLog(
        dbPath(),
        QVector<Record>{{stamp(-1), 0, "before"}, {stamp(0), 0, "on it"}, {stamp(1), 0, "after"}}));
    for (const QStringList &ends :
         {QStringList{"--since", "--until"}, QStringList{"--from", "--to"}}) {
        const Run run = tallylog(
            {"--db", dbPath(), "list", ends.at(0), text, ends.at(1), text, "--format", "json"},
            QString(), nullptr, environment);
        QCOMPARE(run.status, 0);
        QCOMPARE(messagesOf(run.out), QStringList{"on it"});
    }
}

void TallylogTest::lastRecordsBeyondTheNewestChunk()
{
    // Three alarms, then far more other records than one read takes: the last alarms lie well
    // below the newest ids.
    QVector<Record> records;
    for (int i = 1; i <= 3; ++i)
        records.push_back({at("08:00:00"), 3, QStringLiteral("alarm %1").arg(i)});
    for (int i = 0; i < 12000; ++i)
        records.push_back({at("09:00:00"), 1, QStringLiteral("busy")});
    records.push_back({"2026-12-09 00:00:00", 3, "tomorrow"});
    QVERIFY(writeLog(dbPath(), records));
    Run run = tallylog({"--db", dbPath(), "list", "-n", "2", "--type", "3", "--format", "json"});
    QCOMPARE(messagesOf(run.out), (QStringList{"alarm 2", "alarm 3"}));
    run = tallylog({"--db", dbPath(), "list", "-r", "--grep", "ALARM", "--format", "json"});
    QCOMPARE(messagesOf(run.out), (QStringList{"alarm 3", "alarm 2", "alarm 1"}));
    run = tallylog({"--db", dbPath(), "list", "-n", "12001", "--format", "json"});
    QCOMPARE(messagesOf(run.out).size(), 12001);
    QCOMPARE(messagesOf(run.out).first(), QStringLiteral("alarm 3"));
}

void TallylogTest::followResumesFromItsCursorFile()
{
    QVector<Record> records;
    for (int i = 1; i <= 5; ++i)
        records.push_back({at("08:00:00"), 1, QString::number(i)});
    QVERIFY(writeLog(dbPath(), records));
    const QString cursor = m_dir->filePath(QStringLiteral("cursor"));
    QStringList seen;
    int stored = 5;
    int shown = 0; // the last record that the last run was seen to show before it was stopped
    // Three runs with the same cursor file, each ended while records keep coming.
    for (int runs = 0; runs < 3; ++runs) {
        TestFiles::ChildProcess follow;
        QVERIFY(follow.start(
            QStringLiteral(TALLYLOG_PATH),
            {"--db", dbPath(), "follow", "--cursor-file", cursor, "-n", "2", "--format", "json"}));
        // The first run shows the last two before anything new is stored.
        if (runs == 0)
            QVERIFY(follow.waitForOut("\n"));
        for (int i = 0; i < 20; ++i) {
            QVERIFY(writeLog(dbPath(),
                             QVector<Record>{{at("09:00:00"), 1, QString::number(++stored)}}));
            // Half-way the run has shown what is stored so far: it follows when it is stopped.
            if (i == 9) {
                shown = stored;
                QVERIFY(follow.waitFor(
                    [&] { return messagesOf(follow.out()).contains(QString::number(shown)); }));
            }
            QTest::qWait(i % 5 == 0 ? 150 : 20);
        }
        QCOMPARE(follow.end(), 0);
        seen += messagesOf(follow.out());
        QVERIFY(!seen.isEmpty());
        QCOMPARE(TestFiles::readFile(cursor), seen.last().toUtf8() + '\n');
    }
    // The last two of the first five, then every record once, across the stops.
    QStringList expected;
    for (int i = 4; i <= QString(seen.last()).toInt(); ++i)
        expected << QString::number(i);
    QCOMPARE(seen, expected);
    QVERIFY2(QString(seen.last()).toInt() >= shown, qPrintable(seen.join(' ')));

    QVERIFY(TestFiles::writeFile(cursor, "12abc\n"));
    const Run run = tallylog({"--db", dbPath(), "follow", "--cursor-file", cursor});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(cursor.toUtf8()), run.err.constData());
    // Ids of other programs may lie below 0, and so may a cursor file's.
    QVERIFY(TestFiles::writeFile(cursor, "-9\n"));
    const Run resumed =
        followUntil(m_dir->path(),
                    {"--db", dbPath(), "follow", "--cursor-file", cursor, "--format", "json"}, 1);
    QCOMPARE(resumed.status, 0);
    QCOMPARE(messagesOf(resumed.out).value(0), QStringLiteral("1"));
}

void TallylogTest::statsShowsEmptyBuckets_data()
{
    QTest::addColumn<bool>("emptyLog");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expected"); // text rows "bucket|category|count"

    // Records (unless the log is empty): 2026-12-05 08:00 an alarm; kDay 09:30 an alarm,
    // 11:10 other information. The clock stands at kDay 12:00.
    const auto hour = [](int h) { return at(QStringLiteral("%1:00").arg(h, 2, 10, QChar('0'))); };
    QStringList quietMorning;
    for (int h = 0; h < 9; ++h)
        quietMorning << hour(h) + "|-|0";
    QTest::newRow("hours of a day up to now")
        << false << QStringList{"--day", kDay}
        << quietMorning + QStringList{hour(9) + "|" + categoryName(3) + "|1", hour(10) + "|-|0",
                                      hour(11) + "|" + categoryName(4) + "|1", hour(12) + "|-|0"};
    QTest::newRow("days from the first record on")
        << false << QStringList{"--by", "day", "--since", "2026-12-01"}
        << QStringList{"2026-12-05|" + categoryName(3) + "|1", "2026-12-06|-|0", "2026-12-07|-|0",
                       kDay + "|" + categoryName(3) + "|1", kDay + "|" + categoryName(4) + "|1"};
    QTest::newRow("an empty log") << true << QStringList{"--day", kDay}
                                  << quietMorning + QStringList{hour(9) + "|-|0", hour(10) + "|-|0",
                                                                hour(11) + "|-|0",
                                                                hour(12) + "|-|0"};
}

void TallylogTest::statsShowsEmptyBuckets()
{
    QFETCH(bool, emptyLog);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expected);
    QVector<Record> records;
    if (!emptyLog)
        records = {
            {"2026-12-05 08:00:00", 3, "old"}, {at("09:30:00"), 3, "a"}, {at("11:10:00"), 4, "b"}};
    QVERIFY(writeLog(dbPath(), records));
    const QStringList stats = QStringList{"--db", dbPath(), "stats"} + arguments;

    Run run = tallylog(stats);
    QCOMPARE(run.status, 0);
    const QRegularExpression row(QStringLiteral("^(\\d{4}-\\d\\d-\\d\\d(?: \\d\\d:00)?)\\s+(\\S+)"
                                                "\\s+(\\d+)"));
    QStringList rows;
    for (const QString &line : QString::fromUtf8(run.out).split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch m = row.match(line);
        if (m.hasMatch())
            rows << m.captured(1) + "|" + m.captured(2) + "|" + m.captured(3);
    }
    QCOMPARE(rows, expected);

    // csv and json: each bucket once per category, with the same counts.
    QStringList buckets;
    QStringList counted;
    for (const QString &r : expected) {
        if (!buckets.contains(r.section('|', 0, 0)))
            buckets << r.section('|', 0, 0);
        if (!r.endsWith(QLatin1String("|0")))
            counted << r;
    }
    run = tallylog(stats + QStringList{"--format", "csv", "--bom"});
    QVERIFY(run.out.startsWith("\xef\xbb\xbf"
                               "bucket,type,category,count\r\n"));
    const QVector<QStringList> csv = parseCsv(QString::fromUtf8(run.out.mid(3))).mid(1);
    run = tallylog(stats + QStringList{"--format", "json"});
    QVector<QStringList> json;
    for (const QByteArray &line : run.out.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (!o.isEmpty())
            json << QStringList{o["bucket"].toString(), QString::number(o["type"].toInt()),
                                o["category"].toString(), QString::number(o["count"].toInt())};
    }
    for (const QVector<QStringList> &dense : {csv, json}) {
        QCOMPARE(dense.size(), buckets.size() * 5);
        QStringList nonZero;
        for (const QStringList &r : dense) {
            QCOMPARE(r.at(2), categoryName(r.at(1).toInt()));
            if (r.at(3) != QLatin1String("0"))
                nonZero << r.at(0) + "|" + r.at(2) + "|" + r.at(3);
        }
        QCOMPARE(nonZero, counted);
    }
}

void TallylogTest::foreignTypes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("expected"); // the output, for export the file written

    QByteArray json;
    const char *const types[] = {"3", "\"3\"", "3.5", "\"A\"", "null", "5000000000"};
    for (int i = 0; i < 6; ++i)
        json += QStringLiteral("{\"id\":%1,\"datetime\":\"%2\",\"type\":%3,\"category\":%4,"
                               "\"message\":\"row %1\"}\n")
                    .arg(i + 1)
                    .arg(at(QStringLiteral("10:00:0%1").arg(i)), QLatin1String(types[i]),
                         i == 0 ? QString::fromUtf8("\"报警记录\"") : QStringLiteral("null"))
                    .toUtf8();
    QTest::newRow("list json") << QStringList{"list", "--day", kDay, "--format", "json"} << json;
    QTest::newRow("list from a moment")
        << QStringList{"list", "--from", at("00:00:00"), "--format", "json"} << json;
    QTest::newRow("follow, then SIGINT") << QStringList{"follow", "--format", "json"} << json;
    QTest::newRow("list -f, then SIGINT") << QStringList{"list", "-f", "--output", "json"} << json;
    QTest::newRow("list text") << QStringList{"list", "--day", kDay, "--limit", "3"}
                               << (at("10:00:00") + QString::fromUtf8(" 报警记录 row 1\n") +
                                   at("10:00:01") + " [type 3] row 2\n" + at("10:00:02") +
                                   " [type 3.5] row 3\n")
                                      .toUtf8();
    QTest::newRow("list window") << QStringList{"list", "--day",    kDay,    "--limit",
                                                "2",    "--format", "window"}
                                 << (at("10:00:00") + QString::fromUtf8(" [报警记录]:\nrow 1\n") +
                                     at("10:00:01") + " [type 3]:\nrow 2\n")
                                        .toUtf8();
    // Each stored value counted apart, in SQLite's order of values.
    const QByteArray stats = QString::fromUtf8("type null|1\n报警记录|1\ntype 3.5|1\ntype "
                                               "5000000000|1\ntype 3|1\ntype A|1\n")
                                 .toUtf8();
    QTest::newRow("stats") << QStringList{"stats", "--day", kDay} << stats;
    QTest::newRow("export") << QStringList{"export", "--day", kDay, "--type", "3", "--dir", "."}
                            << (at("10:00:00") + QStringLiteral(":\nrow 1\n")).toUtf8();
}

void TallylogTest::foreignTypes()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, expected);
    QVERIFY(writeForeignLog(dbPath()));

    QByteArray out;
    if (arguments.first() == QLatin1String("follow") || arguments.contains(QStringLiteral("-f"))) {
        const Run run = followUntil(m_dir->path(), arguments, expected.size());
        QCOMPARE(run.status, 0);
        out = run.out;
    } else {
        const Run run = tallylog(arguments, m_dir->path());
        QCOMPARE(run.status, 0);
        out = arguments.first() == QLatin1String("export")
                  ? TestFiles::readFile(m_dir->filePath(kDay + QString::fromUtf8("系统日志.txt")))
                  : run.out;
    }
    if (arguments.first() == QLatin1String("stats")) {
        // The category and the count of each row; the bars are tested elsewhere.
        const QRegularExpression row(QStringLiteral("^\\S+ \\S+\\s+(.+?)\\s+(\\d+) \\S+$"));
        QByteArray rows;
        for (const QString &line : QString::fromUtf8(out).split(QLatin1Char('\n'))) {
            const QRegularExpressionMatch m = row.match(line);
            if (m.hasMatch())
                rows +=
                    (m.captured(1) + QLatin1Char('|') + m.captured(2) + QLatin1Char('\n')).toUtf8();
        }
        out = rows;
    }
    QCOMPARE(out, expected);
}

void TallylogTest::foreignIds_data()
{
    QTest::addColumn<QStringList>("statements"); // SQL that writes the file
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("expected"); // the output; on failure, part of standard error

    const QString table = QStringLiteral("CREATE TABLE SystemInfo(id INTEGER PRIMARY KEY "
                                         "AUTOINCREMENT UNIQUE, datetime DATETIME, type, message)");
    const QStringList lowIds{table, "INSERT INTO SystemInfo VALUES(-5, '" + at("10:00:00") +
                                        "', 1, 'minus five'), (0, '" + at("10:00:01") +
                                        "', 1, 'zero'), (7, '" + at("10:00:02") + "', 1, 'seven')"};
    const QString user = QString::fromUtf8(" 用户使用记录 ");
    const QByteArray lowText = (at("10:00:00") + user + "minus five\n" + at("10:00:01") + user +
                                "zero\n" + at("10:00:02") + user + "seven\n")
                                   .toUtf8();
    QTest::newRow("ids 0 and below, list")
        << lowIds << QStringList{"list", "--day", kDay, "--type", "1"} << 0 << lowText;
    QTest::newRow("ids 0 and below, after an id")
        << lowIds << QStringList{"list", "--day", kDay, "--type", "1", "--after-id", "-5"} << 0
        << lowText.mid(lowText.indexOf(at("10:00:01").toUtf8()));
    QTest::newRow("ids 0 and below, prune")
        << lowIds << QStringList{"prune", "--before", "2027-01-01", "--yes"} << 0
        << QByteArray("3 records stamped before 2027-01-01 deleted\n");

    // A full chunk of records whose last id is the highest there can be.
    const QStringList topIds{
        table, "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 4999) "
               "INSERT INTO SystemInfo SELECT 9223372036854770808 + i, '" +
                   at("10:00:00") + "', 1, 'm' || i FROM n"};
    QTest::newRow("highest id, list")
        << topIds << QStringList{"list", "--day", kDay, "--grep", "m4999"} << 0
        << (at("10:00:00") + user + "m4999\n").toUtf8();
    QTest::newRow("highest id, follow")
        << topIds << QStringList{"follow", "--grep", "m4999", "--format", "csv"} << 0
        << QByteArray("id,datetime,type,category,message\r\n9223372036854775807,") +
               at("10:00:00").toUtf8() + QString::fromUtf8(",1,用户使用记录,m4999\r\n").toUtf8();

    QTest::newRow("lowest id, the last N")
        << QStringList{table, "INSERT INTO SystemInfo VALUES(-9223372036854775808, '" +
                                  at("10:00:00") + "', 1, 'lowest'), (0, '" + at("10:00:01") +
                                  "', 1, 'zero')"}
        << QStringList{"list", "--day", kDay, "--type", "1", "-n", "5"} << 0
        << (at("10:00:00") + user + "lowest\n" + at("10:00:01") + user + "zero\n").toUtf8();
    // A table without a key, one id twice where the first chunk ends.
    const QByteArray twice = (at("10:00:00") + user + "m5000\n").toUtf8();
    QTest::newRow("one id twice, list")
        << QStringList{"CREATE TABLE SystemInfo(id INTEGER, datetime, type, message)",
                       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                       "5000) INSERT INTO SystemInfo SELECT i, '" +
                           at("10:00:00") + "', 1, 'm' || i FROM n",
                       "INSERT INTO SystemInfo VALUES(5000, '" + at("10:00:00") + "', 1, 'm5000')"}
        << QStringList{"list", "--day", kDay, "--grep", "m5000"} << 0 << twice + twice;

    // The same newest first, the id twice where the first chunk below the newest ends.
    const QByteArray twin = (at("10:00:00") + user + "twin\n").toUtf8();
    QTest::newRow("one id twice, newest first")
        << QStringList{"CREATE TABLE SystemInfo(id INTEGER, datetime, type, message)",
                       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                       "5001) INSERT INTO SystemInfo SELECT i, '" +
                           at("10:00:00") + "', 1, 'm' || i FROM n WHERE i != 2",
                       "INSERT INTO SystemInfo VALUES(2, '" + at("10:00:00") +
                           "', 1, 'twin'), (2, '" + at("10:00:00") + "', 1, 'twin')"}
        << QStringList{"list", "--day", kDay, "--reverse", "--grep", "twin"} << 0 << twin + twin;

    // The last N read again in order: of an id twice where they begin, as many as were counted.
    const QStringList twins{"CREATE TABLE SystemInfo(id INTEGER, datetime, type, message)",
                            "INSERT INTO SystemInfo VALUES(1, '" + at("10:00:00") +
                                "', 1, 'a'), (2, '" + at("10:00:00") + "', 1, 'twin'), (2, '" +
                                at("10:00:00") + "', 1, 'twin'), (3, '" + at("10:00:00") +
                                "', 1, 'c')"};
    const QByteArray c = (at("10:00:00") + user + "c\n").toUtf8();
    QTest::newRow("one id twice, the last 2")
        << twins << QStringList{"list", "--day", kDay, "-n", "2"} << 0 << twin + c;

    // One id more times than a chunk has rows: the rows beyond the first chunk are read too.
    const QStringList manyTimes{"CREATE TABLE SystemInfo(id INTEGER, datetime, type, message)",
                                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                                "WHERE i < 5001) INSERT INTO SystemInfo SELECT 7, '" +
                                    at("10:00:00") + "', 1, 'm' || i FROM n"};
    const QByteArray last = (at("10:00:00") + user + "m5001\n").toUtf8();
    for (const QStringList &order : {QStringList{"--day", kDay}, QStringList{"--reverse"}})
        QTest::addRow("one id 5001 times, %s", qPrintable(order.first()))
            << manyTimes << QStringList{"list", "--grep", "m5001"} + order << 0 << last;

    // Infinities, which SQLite writes as Inf and -Inf: JSON has no number for them.
    QTest::newRow("infinite types, json")
        << QStringList{table, "INSERT INTO SystemInfo VALUES(1, '" + at("10:00:00") +
                                  "', 1e999, 'a'), (2, '" + at("10:00:01") + "', -1e999, 'b')"}
        << QStringList{"list", "--day", kDay, "--format", "json"} << 0
        << ("{\"id\":1,\"datetime\":\"" + at("10:00:00") +
            "\",\"type\":\"Inf\",\"category\":null,\"message\":\"a\"}\n{\"id\":2,\"datetime\":\"" +
            at("10:00:01") + "\",\"type\":\"-Inf\",\"category\":null,\"message\":\"b\"}\n")
               .toUtf8();

    // stats json: a type beyond the BMP and an infinity as JSON strings; a stamp that is not one
    // ("yesterday" sorts after every date) counted, without filling every day up to it.
    const auto statsRows = [](const QString &bucket, int counted, const QByteArray &others) {
        QByteArray rows;
        for (int type = 0; type < 5; ++type)
            rows += QStringLiteral("{\"bucket\":\"%1\",\"type\":%2,\"category\":\"%3\","
                                   "\"count\":%4}\n")
                        .arg(bucket)
                        .arg(type)
                        .arg(categoryName(type))
                        .arg(type == counted ? 1 : 0)
                        .toUtf8();
        return rows + others;
    };
    QTest::newRow("stats json of foreign types and stamps")
        << QStringList{table, QString::fromUtf8("INSERT INTO SystemInfo VALUES(1, '") +
                                  at("10:00:00") + QString::fromUtf8("', '😀', 'a'), (2, '") +
                                  at("10:00:01") + "', 1e999, 'b'), (3, 'yesterday', 1, 'c')"}
        << QStringList{"stats", "--by", "day", "--since", kDay, "--format", "json"} << 0
        << statsRows(kDay, -1,
                     "{\"bucket\":\"" + kDay.toUtf8() +
                         "\",\"type\":\"Inf\",\"category\":null,\"count\":1}\n{\"bucket\":\"" +
                         kDay.toUtf8() + "\",\"type\":\"😀\",\"category\":null,\"count\":1}\n") +
               statsRows("yesterday", 1, QByteArray());

    // Buckets of stamps beyond ASCII: their first characters as SQLite's substr() counts them,
    // a byte that is not UTF-8 one character (shown as U+FFFD), a NUL the end.
    const QString fffd = QString(6, QChar(0xfffd));
    QTest::newRow("stats json of stamps beyond ASCII")
        << QStringList{"CREATE TABLE SystemInfo(id INTEGER PRIMARY KEY, datetime DATETIME, type "
                       "INT, message)",
                       "INSERT INTO SystemInfo VALUES(1, '" + at("10:00:00") +
                           QString::fromUtf8("', 1, 'a'), (2, '昨天 10:00:00', 1, 'b'), (3, "
                                             "CAST(x'c3a9e280ff80c0c1' || '") +
                           at("10:00:00") +
                           "' AS TEXT), 1, 'c'), (4, CAST(x'32303236002d3132' AS TEXT), 1, 'd')"}
        << QStringList{"stats", "--by", "day", "--since", "2000-01-01", "--format", "json"} << 0
        << statsRows("2026", 1, QByteArray()) + statsRows(kDay, 1, QByteArray()) +
               statsRows(QString::fromUtf8("é") + fffd + "2026-", 1, QByteArray()) +
               statsRows(QString::fromUtf8("昨天 10:00:0"), 1, QByteArray());

    // A clock set back: the older stamp stored later still starts the days shown, none skipped.
    const QString fullBar = QString(40, QChar(0x2588)) + "\n";
    const QString counted = categoryName(1) + "      1 " + fullBar;
    QTest::newRow("stats after a clock set back")
        << QStringList{table, "INSERT INTO SystemInfo VALUES(1, '2026-12-07 10:00:00', 1, 'a'), "
                              "(2, '2026-12-05 10:00:00', 1, 'b')"}
        << QStringList{"stats",           "--by", "day", "--since", "2026-12-05", "--until",
                       "2026-12-07 23:59"}
        << 0
        << ("day         category      count\n2026-12-05  " + counted +
            "2026-12-06  -                 0\n2026-12-07  " + counted +
            "2 records from 2026-12-05 00:00:00 to 2026-12-07 23:59:00\n")
               .toUtf8();
    // The last hour there is: no bucket follows it.
    QTest::newRow("stats of the last hour")
        << QStringList{table, "INSERT INTO SystemInfo VALUES(1, '9999-12-31 23:00:00', 1, 'a')"}
        << QStringList{"stats", "--since", "9999-12-31"} << 0
        << ("hour              category      count\n9999-12-31 23:00  " + counted +
            "1 records from 9999-12-31 00:00:00 to the last\n")
               .toUtf8();
    // A line feed in a stored type would start a row of its own making.
    QTest::newRow("stats of a type with a line feed")
        << QStringList{table, "INSERT INTO SystemInfo VALUES(1, '" + at("10:00:00") +
                                  "', 'a' || char(10) || 'b', 'c')"}
        << QStringList{"stats", "--by", "day", "--since", kDay} << 0
        << ("day         category      count\n" + kDay + "  type a\\nb         1 " + fullBar +
            "1 records from " + at("00:00:00") + " to the last\n")
               .toUtf8();
    // Text that is not UTF-8: only the invalid byte replaced, the byte order mark before it kept.
    QTest::newRow("byte order mark before an invalid byte")
        << QStringList{table, "INSERT INTO SystemInfo VALUES(1, '" + at("10:00:00") +
                                  "', 1, CAST(x'efbbbf61ff' AS TEXT))"}
        << QStringList{"list", "--day", kDay, "--type", "1", "--format", "window", "--escape"} << 0
        << (at("10:00:00") + ":\n").toUtf8() + "\xef\xbb\xbf"
                                               "a\xef\xbf\xbd\n";

    // Ids stored as texts lie outside every range of ids: refused, not passed over.
    const QStringList textIds{
        "CREATE TABLE SystemInfo(id TEXT PRIMARY KEY, datetime, type, message)",
        "INSERT INTO SystemInfo VALUES('a', '" + at("10:00:00") + "', 1, 'x'), (NULL, '" +
            at("10:00:01") + "', 1, 'y')"};
    const QByteArray refused("not a log database (SystemInfo has ids that are not integers)");
    QTest::newRow("text ids, list")
        << textIds << QStringList{"list", "--day", kDay} << 1 << refused;
    QTest::newRow("text ids, prune")
        << textIds << QStringList{"prune", "--before", "2027-01-01", "--yes"} << 1 << refused;
}

void TallylogTest::foreignIds()
{
    QFETCH(QStringList, statements);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QByteArray, expected);
    QVERIFY(TestLogFile::exec(dbPath(), statements));

    const Run run = arguments.first() == QLatin1String("follow")
                        ? followUntil(m_dir->path(), arguments, expected.size())
                        : tallylog(arguments, m_dir->path());
    QCOMPARE(run.status, status);
    if (status == 0)
        QCOMPARE(run.out, expected);
    else
        QVERIFY2(run.err.contains(expected), run.err.constData());
}

void TallylogTest::damagedLogListsWhatItCan_data()
{
    QTest::addColumn<QString>("damage"); // the page overwritten (see TestLogFile::damagePage)
    QTest::addColumn<QStringList>("order");
    QTest::addColumn<bool>("setAside"); // renamed as a writer sets a damaged log aside

    QTest::newRow("middle page") << "middle" << QStringList() << false;
    QTest::newRow("middle page, newest first") << "middle" << QStringList{"-r"} << false;
    QTest::newRow("last page, the last 10") << "last" << QStringList{"-n", "10"} << false;
    QTest::newRow("set aside beside a new log") << "middle" << QStringList() << true;
}

void TallylogTest::damagedLogListsWhatItCan()
{
    QFETCH(QString, damage);
    QFETCH(QStringList, order);
    QFETCH(bool, setAside);
    const int total = 20000;
    QVERIFY(TestLogFile::exec(
        dbPath(), {TestLogFile::tableStatement(),
                   "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                       QString::number(total) + ") INSERT INTO SystemInfo(datetime, type, " +
                       "message) SELECT '" + at("10:00:00") + "', 1, 'record ' || i FROM n"}));
    QVERIFY(!TestLogFile::damagePage(dbPath(), damage).isEmpty());
    QString path = dbPath();
    if (setAside) {
        path = dbPath() + QStringLiteral(".corrupt-20261208-100000");
        QVERIFY(QFile::rename(dbPath(), path));
        QVERIFY(TestLogFile::exec(dbPath(), {TestLogFile::tableStatement()}));
        const Run beside = tallylog({"--db", dbPath(), "list", "--day", kDay});
        QCOMPARE(beside.status, 0);
        QVERIFY2(beside.err.contains("set aside beside it as dbLog.db.corrupt-20261208-100000 "
                                     "(read it with --db " +
                                     QFile::encodeName(path) + ")"),
                 beside.err.constData());
    }

    const Run run = tallylog(QStringList{"--db", path, "list", "--day", kDay, "-o", "csv"} + order);
    QCOMPARE(run.status, 1);
    // Every id that is not named as unreadable is listed, in the order asked for.
    const QRegularExpression named(QStringLiteral("ids (.*) could not be read"));
    const QRegularExpressionMatch found = named.match(QString::fromUtf8(run.err));
    QVERIFY2(found.hasMatch(), run.err.constData());
    QSet<qint64> unreadable;
    for (const QString &stretch : found.captured(1).split(QStringLiteral(", "))) {
        const QStringList ends = stretch.split(QRegularExpression(QStringLiteral(" to | on")));
        const qint64 last =
            stretch.endsWith(QLatin1String(" on")) ? total : ends.last().toLongLong();
        for (qint64 id = ends.first().toLongLong(); id <= last; ++id)
            unreadable.insert(id);
    }
    QVERIFY(!unreadable.isEmpty());
    QVERIFY2(unreadable.size() < total / 10, run.err.constData());
    QVector<qint64> expected;
    for (qint64 id = 1; id <= total; ++id)
        if (!unreadable.contains(id))
            expected.append(id);
    if (order.contains(QLatin1String("-n")))
        expected = expected.mid(expected.size() - 10);
    if (order.contains(QLatin1String("-r")))
        std::reverse(expected.begin(), expected.end());
    QVector<qint64> listed;
    for (const QByteArray &line : run.out.split('\n').mid(1))
        if (!line.isEmpty())
            listed.append(line.left(line.indexOf(',')).toLongLong());
    QCOMPARE(listed, expected);
}

QTEST_GUILESS_MAIN(TallylogTest)
#include "tst_tallylog.moc"
