// The log service started in a hostile working directory: a "dbLog.db" that is no usable log,
// and a working directory that cannot be written. Each case runs the real service in a child
// process (restricted where permission bits must hold even for root) and checks that it runs to
// its end, tells the caller that the query failed, accounts for every record it could not store
// on standard error, and leaves what it found exactly as it was.

#include "RobustnessSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Robustness;

namespace {

const QString kChild = QStringLiteral(ROBUSTNESS_SERVICE_CHILD);
constexpr int kLogged = 20;

// Lines on standard error from the service other than the accounting of lost records: the
// reasons it gives.
int reasonLines(const ChildResult &r)
{
    int lines = 0;
    for (const QByteArray &line : r.err.split('\n')) {
        if (line.startsWith("SystemLog: "))
            ++lines;
    }
    return lines - r.lossLines();
}

} // namespace

class HostileService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hostileLogFile_data();
    void hostileLogFile();
    void readOnlyWorkingDirectory_data();
    void readOnlyWorkingDirectory();
    void hostileSideFile_data();
    void hostileSideFile();
    void hostileSpill_data();
    void hostileSpill();
};

void HostileService::hostileLogFile_data()
{
    addHostileLogFileRows();
}

void HostileService::hostileLogFile()
{
    QFETCH(QString, kind);
    Workspace ws;
    HostileLog hostile;
    ROBUSTNESS_SET_UP_HOSTILE_LOG(hostile, ws, kind);

    const ChildResult r =
        runChild(kChild,
                 hostile.options << QStringLiteral("start") << QStringLiteral("query") << kDay
                                 << QStringLiteral("0") << QStringLiteral("log")
                                 << QString::number(kLogged) << QStringLiteral("release"),
                 ws);
    ROBUSTNESS_SKIP_UNLESS_RESTRICTED(r);
    QVERIFY2(r.ranToEnd(), qPrintable(r.describe()));

    QCOMPARE(r.value(QStringLiteral("rows")), QStringLiteral("0"));
    QVERIFY2(r.lostReported() == 0, qPrintable(r.describe()));
    if (hostileKindBecomesLog(kind)) {
        QVERIFY2(r.value(QStringLiteral("errorvalid")) == QLatin1String("0"),
                 qPrintable(r.describe()));
        QCOMPARE(recordCount(hostile.log), kLogged);
        QCOMPARE(entries(ws.path()), hostile.around);
        return;
    }
    // The query failed, and says so: not an empty day.
    QVERIFY2(r.value(QStringLiteral("errorvalid")) == QLatin1String("1"), qPrintable(r.describe()));
    QVERIFY2(!r.value(QStringLiteral("error")).trimmed().isEmpty(), qPrintable(r.describe()));
    QVERIFY2(reasonLines(r) > 0, qPrintable(r.describe()));
    // Nothing was written to it or removed; every record handed over waits in the spill journal.
    QCOMPARE(fingerprint(hostile.log), hostile.before);
    QStringList withSpill = QStringList(hostile.around) << kSpillDir;
    withSpill.sort();
    QCOMPARE(entries(ws.path()), withSpill);
    QCOMPARE(spilledMessages(ws.filePath(kSpillDir)).size(), kLogged);
}

void HostileService::readOnlyWorkingDirectory_data()
{
    QTest::addColumn<QString>("logFile"); // "", or the permission of an existing log
    QTest::addColumn<int>("listed");      // records the day query finds, -1: the query fails

    QTest::newRow("no log file") << QString() << -1;
    QTest::newRow("read-only log file") << QStringLiteral("0444") << 3;
    QTest::newRow("writable log file") << QStringLiteral("0644") << 3;
}

void HostileService::readOnlyWorkingDirectory()
{
    QFETCH(QString, logFile);
    QFETCH(int, listed);
    Workspace ws;
    QVERIFY(ws.isValid());
    const QString log = ws.filePath(QStringLiteral("dbLog.db"));
    if (!logFile.isEmpty())
        QVERIFY(writeLogFile(log, recordsOfDay(3)));
    ROBUSTNESS_PREPARE_RESTRICTED(ws);
    const QByteArray dirPath = QFile::encodeName(ws.path());
    if (!logFile.isEmpty())
        QCOMPARE(chmod(QFile::encodeName(log).constData(), logFile.toUInt(nullptr, 8)), 0);
    QCOMPARE(chmod(dirPath.constData(), 0555), 0);
    const QByteArray before = fingerprint(log);
    const QStringList around = entries(ws.path());

    const ChildResult r =
        runChild(kChild,
                 ws.restrictedOptions() << QStringLiteral("--expect-unwritable") << ws.path()
                                        << QStringLiteral("start") << QStringLiteral("query")
                                        << kDay << QStringLiteral("0") << QStringLiteral("log")
                                        << QString::number(kLogged) << QStringLiteral("release"),
                 ws);
    ROBUSTNESS_SKIP_UNLESS_RESTRICTED(r);
    // Ends on its own (the run is bounded by a hang guard) and without a crash.
    QVERIFY2(r.ranToEnd(), qPrintable(r.describe()));
    QCOMPARE(r.value(QStringLiteral("released")), QStringLiteral("1"));

    if (listed < 0) {
        QVERIFY2(r.value(QStringLiteral("errorvalid")) == QLatin1String("1"),
                 qPrintable(r.describe()));
    } else {
        QVERIFY2(r.value(QStringLiteral("errorvalid")) == QLatin1String("0"),
                 qPrintable(r.describe()));
        QCOMPARE(r.value(QStringLiteral("rows")), QString::number(listed));
    }
    QVERIFY2(r.lostReported() == kLogged, qPrintable(r.describe()));
    QCOMPARE(fingerprint(log), before);
    QCOMPARE(entries(ws.path()), around);
}

void HostileService::hostileSideFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("logUsable"); // "dbLog.db" is a log, else of another schema
    for (const char *kind : {"random bytes", "other schema", "text primary key"}) {
        for (bool usable : {true, false})
            QTest::addRow("%s, log %s", kind, usable ? "usable" : "of another schema")
                << QString::fromLatin1(kind) << usable;
    }
}

// A "dbLog.pending.db" (an earlier version's side file) that is no usable side file is set aside,
// untouched, under a name of its own, once a log could take its records; the records go where
// they would go without it.
void HostileService::hostileSideFile()
{
    QFETCH(QString, kind);
    QFETCH(bool, logUsable);
    Workspace ws;
    QVERIFY(ws.isValid());
    const QString log = ws.filePath(QStringLiteral("dbLog.db"));
    const QString side = ws.filePath(kSideFile);
    bool restricted = false;
    QVERIFY(logUsable ? writeLogFile(log, {})
                      : makeHostileLogFile(QStringLiteral("other schema"), log, &restricted));
    QVERIFY(makeHostileLogFile(kind, side, &restricted));
    const QByteArray before = fingerprint(side);

    const ChildResult r = runChild(kChild, {"start", "log", "20", "sleep", "1500", "release"}, ws);
    QVERIFY2(r.ranToEnd(), qPrintable(r.describe()));
    QVERIFY2(r.lostReported() == 0, qPrintable(r.describe()));
    const QStringList setAside =
        QDir(ws.path()).entryList({kSideFile + QStringLiteral(".bad-*")}, QDir::Files);
    if (!logUsable) {
        // Nothing is moved into a log that is no log: the old file stays as it is, and the
        // records wait in the spill journal.
        QCOMPARE(setAside, QStringList());
        QCOMPARE(fingerprint(side), before);
        QCOMPARE(spilledMessages(ws.filePath(kSpillDir)).size(), kLogged);
        return;
    }
    QVERIFY2(setAside.size() == 1, qPrintable(r.describe()));
    QCOMPARE(fingerprint(ws.filePath(setAside.first())), before);
    QVERIFY(reasonLines(r) > 0);
    QCOMPARE(recordCount(log), kLogged);
    QVERIFY(!QFileInfo::exists(side));
}

void HostileService::hostileSpill_data()
{
    QTest::addColumn<QString>("kind"); // what is at "dbLog.spill", or in it
    QTest::addColumn<bool>("logUsable");
    QTest::addColumn<QString>("limit"); // the journal's disk bound, if set
    QTest::addColumn<int>("lost");
    QTest::newRow("a file at its name") << "file" << false << QString() << 0;
    QTest::newRow("a link at its name") << "link" << false << QString() << 0;
    QTest::newRow("a segment without the magic") << "no magic" << true << QString() << 0;
    QTest::newRow("a FIFO named like a segment") << "fifo" << true << QString() << 0;
    QTest::newRow("no room within its bound") << QString() << false << "1 0" << kLogged;
    QTest::newRow("the file system kept free") << QString() << false << "4294967296 100" << kLogged;
}

// The spill journal's directory replaced by a file or a link, a file in it that is no segment:
// each is set aside, untouched, and never written through. Beyond the journal's disk bound the
// records are given up, counted and said.
void HostileService::hostileSpill()
{
    QFETCH(QString, kind);
    QFETCH(bool, logUsable);
    QFETCH(QString, limit);
    QFETCH(int, lost);
    Workspace ws;
    QTemporaryDir elsewhere;
    QVERIFY(ws.isValid() && elsewhere.isValid());
    const QString log = ws.filePath(QStringLiteral("dbLog.db"));
    const QString spill = ws.filePath(kSpillDir);
    const QString junk = spill + QStringLiteral("/0123456789abcdef0123456789abcdef.spill");
    bool restricted = false;
    QVERIFY(logUsable ? writeLogFile(log, {})
                      : makeHostileLogFile(QStringLiteral("other schema"), log, &restricted));
    if (kind == QLatin1String("file"))
        QVERIFY(writeFile(spill, randomBytes(100, 7)));
    else if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(elsewhere.path(), spill));
    else if (kind == QLatin1String("no magic"))
        QVERIFY(QDir().mkpath(spill) && writeFile(junk, randomBytes(100, 7)));
    else if (kind == QLatin1String("fifo"))
        QVERIFY(QDir().mkpath(spill) && mkfifo(QFile::encodeName(junk).constData(), 0644) == 0);
    const bool inJournal = kind == QLatin1String("no magic") || kind == QLatin1String("fifo");
    const QByteArray before = fingerprint(inJournal ? junk : spill);

    QStringList commands{"start", "log", QString::number(kLogged), "sleep", "1500", "release"};
    if (!limit.isEmpty())
        commands = QStringList{"spilllimit"} + limit.split(QLatin1Char(' ')) + commands;
    const ChildResult r = runChild(kChild, commands, ws);
    QVERIFY2(r.ranToEnd(), qPrintable(r.describe()));
    QVERIFY2(r.lostReported() == lost, qPrintable(r.describe()));
    QCOMPARE(r.err.contains("is full"), lost > 0);
    QCOMPARE(logUsable ? recordCount(log) : spilledMessages(spill).size(), kLogged - lost);
    QVERIFY(QDir(elsewhere.path()).isEmpty());
    if (kind.isEmpty())
        return;
    const QString aside = inJournal ? junk : spill;
    const QStringList setAside = QFileInfo(aside).dir().entryList(
        {QFileInfo(aside).fileName() + QStringLiteral(".bad-*")}, QDir::AllEntries | QDir::System);
    QVERIFY2(setAside.size() == 1, qPrintable(r.describe()));
    QCOMPARE(fingerprint(QFileInfo(aside).dir().filePath(setAside.first())), before);
    QVERIFY(reasonLines(r) > 0);
}

QTEST_GUILESS_MAIN(HostileService)
#include "tst_hostile_service.moc"
