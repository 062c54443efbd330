// Following a log file as tallylog follow, tallylog forward and the window's live update do, all
// three through one LogTail: what each poll says while the file is replaced, removed, held by
// another program, left with a crashed writer's journal, or written while it is read, and that
// every record of the file it follows is handed over once, in order.

#include "TestSupport.h"
#include "read/LogTail.h"

#include <QtTest>

#include <cstdio>

using namespace SystemLog;
using namespace TestSupport;

namespace {

const QString kOther = QStringLiteral("other.db");

bool append(const QString &path, const QStringList &messages)
{
    QVector<TestLogFile::Record> records;
    for (const QString &message : messages)
        records.push_back({QStringLiteral("2024-03-10 10:00:00"), Alarm, message});
    return TestLogFile::writeRecords(path, records);
}

// A copy of the log as a writer killed in the middle of a long transaction leaves it: the pages
// it had to spill are in the file, the journal that undoes them beside it, and no lock held.
bool leaveCrashedWriter()
{
    QByteArray file;
    QByteArray journal;
    const bool ok = TestLogFile::withConnection(kDbFile, [&](QSqlDatabase &db) {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("PRAGMA cache_size = 10")) || !db.transaction())
            return false;
        for (int i = 0; i < 500; ++i) {
            if (!q.exec(QStringLiteral("INSERT INTO SystemInfo(type, message) VALUES(3, '%1')")
                            .arg(QString(1000, QLatin1Char('x')))))
                return false;
        }
        file = readFile(kDbFile);
        journal = readFile(kDbFile + QStringLiteral("-journal"));
        return db.rollback();
    });
    // Written over the log in place: the same file, as the tail opened it.
    return ok && journal.size() > 0 && writeFile(kDbFile, file) &&
           writeFile(kDbFile + QStringLiteral("-journal"), journal);
}

// Runs the steps of a case on one tail of "dbLog.db": polls, each compared with the verdict it
// must give, and changes to the file between them.
class TailScript
{
public:
    TailScript() { m_tail.setBusyTimeout(0); }

    // "read N": N records handed over; "waiting", "removed", "replaced!", "failed": that state,
    // with "!" when it is the poll that says it.
    bool step(const QString &step, QString *problem)
    {
        const QString arg = step.section(QLatin1Char(' '), -1);
        if (step.startsWith(QLatin1String("append while reading ")))
            m_appendWhileReading = arg.toInt();
        else if (step.startsWith(QLatin1String("append ")))
            return appendNew(arg.toInt());
        else if (step == QLatin1String("move other"))
            return std::rename(qPrintable(kOther), qPrintable(kDbFile)) == 0;
        else if (step == QLatin1String("copy other"))
            return writeFile(kDbFile, readFile(kOther));
        else if (step == QLatin1String("remove"))
            return QFile::remove(kDbFile);
        else if (step == QLatin1String("garbage"))
            return writeFile(kDbFile, QByteArray(8192, 'g'));
        else if (step == QLatin1String("lock"))
            return m_holder.lock();
        else if (step == QLatin1String("unlock"))
            m_holder.unlock();
        else if (step == QLatin1String("crash"))
            return leaveCrashedWriter();
        else if (step == QLatin1String("recover")) // the next writer undoes the transaction
            return TestFiles::FileLock().lock();
        else
            return poll(step, problem);
        return true;
    }

    QStringList delivered() const { return m_delivered; }

private:
    bool appendNew(int count)
    {
        QStringList messages;
        for (int i = 0; i < count; ++i)
            messages << QStringLiteral("new %1").arg(++m_new);
        return append(kDbFile, messages);
    }

    bool poll(const QString &expected, QString *problem)
    {
        bool appended = true;
        const LogTail::Poll p = m_tail.poll([&](const LogRecordView &r) {
            if (m_appendWhileReading > 0) {
                appended = appendNew(m_appendWhileReading);
                m_appendWhileReading = 0;
            }
            m_delivered << QString::fromUtf8(r.message.data(), int(r.message.size()));
            return true;
        });
        static const char *const names[] = {"read", "waiting", "removed", "replaced", "failed"};
        QString verdict = QLatin1String(names[int(p.state)]);
        if (p.state == LogTail::State::Reading)
            verdict += QStringLiteral(" %1").arg(p.rows);
        else if (p.isNew)
            verdict += QLatin1Char('!');
        *problem =
            QStringLiteral("\"%1\" where \"%2\" was due (%3)").arg(verdict, expected, p.reason);
        return appended && verdict == expected;
    }

    LogTail m_tail{kDbFile};
    TestFiles::FileLock m_holder;
    QStringList m_delivered;
    int m_appendWhileReading = 0;
    int m_new = 0;
};

} // namespace

class LogTailTest : public ScratchTest
{
    Q_OBJECT

private Q_SLOTS:
    void followsTheFile_data();
    void followsTheFile();
};

void LogTailTest::followsTheFile_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("delivered"); // every message handed over, in order
    const QStringList first{"a 1", "a 2"};
    const QStringList other{"b 1", "b 2"};

    QTest::newRow("rows appended between polls")
        << QStringList{"read 2", "read 0", "append 3", "read 3", "read 0"}
        << first + QStringList{"new 1", "new 2", "new 3"};
    // Stored by another program while the poll hands over the rows it found: they come next.
    QTest::newRow("rows appended while it reads")
        << QStringList{"append while reading 3", "read 2", "read 3", "read 0"}
        << first + QStringList{"new 1", "new 2", "new 3"};
    QTest::newRow("moved over it")
        << QStringList{"read 2", "move other", "replaced!", "read 2", "append 1", "read 1"}
        << first + other + QStringList{"new 1"};
    QTest::newRow("copied over it in place")
        << QStringList{"read 2", "copy other", "replaced!", "read 2"} << first + other;
    QTest::newRow("removed, said once, then back")
        << QStringList{"read 2",     "remove",    "removed!", "removed",
                       "move other", "replaced!", "read 2"}
        << first + other;
    // Another program's lock: said on the first poll it lasts, again only after a poll that read.
    QTest::newRow("busy, waited out and said once")
        << QStringList{"read 2", "lock", "waiting!", "waiting", "waiting",  "unlock",
                       "read 0", "lock", "waiting!", "unlock",  "append 1", "read 1"}
        << first + QStringList{"new 1"};
    // Only a writer may undo the transaction; its records never come.
    QTest::newRow("a crashed writer's journal, a passing state")
        << QStringList{"read 2",  "crash",  "waiting!", "waiting",
                       "recover", "read 0", "append 1", "read 1"}
        << first + QStringList{"new 1"};
    QTest::newRow("written over by a file that is no log, then a log again")
        << QStringList{"read 2",     "garbage",   "failed!", "failed",
                       "copy other", "replaced!", "read 2"}
        << first + other;
}

void LogTailTest::followsTheFile()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, delivered);
    QVERIFY(append(kDbFile, {"a 1", "a 2"}));
    // Fewer records than the log and a history of its own (other stamps, one a transaction).
    QVERIFY(append(kOther, {"b 1"}));
    QVERIFY(append(kOther, {"b 2"}));
    QVERIFY(AuxDb(kOther).exec(QStringLiteral("UPDATE SystemInfo SET datetime = '2024-03-11'")));

    TailScript script;
    for (int i = 0; i < steps.size(); ++i) {
        QString problem;
        QVERIFY2(
            script.step(steps.at(i), &problem),
            qPrintable(QStringLiteral("step %1 \"%2\": %3").arg(i + 1).arg(steps.at(i), problem)));
    }
    QCOMPARE(script.delivered(), delivered);
}

QTEST_GUILESS_MAIN(LogTailTest)
#include "tst_logtail.moc"
