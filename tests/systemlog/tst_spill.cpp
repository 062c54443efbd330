// The spill journal on its own: what a reader makes of damaged segments, the move into the log
// from every state a kill can leave behind, its disk bound and its failed writes.

#include "TestSupport.h"
#include "spill/SegmentReader.h"
#include "spill/SpillFormat.h"
#include "spill/SpillIo.h"
#include "spill/SpillJournal.h"
#include "store/QDBSqlite.h"

#include <QDir>
#include <QtTest>

#include <cerrno>
#include <list>

#include <fcntl.h>
#include <unistd.h>

using SystemLog::LogQueueEntry;
using SystemLog::QDBSqlite;
using SystemLog::SpillJournal;
using namespace TestSupport;

namespace {

const QString kSpill = QStringLiteral("dbLog.spill");

std::list<LogQueueEntry> entriesOf(const QStringList &messages)
{
    std::list<LogQueueEntry> entries;
    for (int i = 0; i < messages.size(); ++i)
        entries.emplace_back(messages[i].toUtf8(), i % 5, 1700000000 + i);
    return entries;
}

QStringList numbered(int count)
{
    QStringList messages;
    for (int i = 0; i < count; ++i)
        messages << QStringLiteral("spilled %1").arg(i);
    return messages;
}

// Writes the messages into a segment of their own, left as a process that has gone leaves it:
// closed and unlocked. Returns its path.
QString leftSegment(const QStringList &messages)
{
    const std::list<LogQueueEntry> entries = entriesOf(messages);
    SpillJournal journal(kSpill);
    QString why;
    if (journal.append(entries.cbegin(), entries.cend(), &why) != messages.size())
        qWarning("append: %s", qPrintable(why));
    journal.close(nullptr);
    const QStringList names = QDir(kSpill).entryList({QStringLiteral("*.spill")}, QDir::Files);
    return names.size() == 1 ? kSpill + QLatin1Char('/') + names.first() : QString();
}

// The end offsets of the frames of the segment at `path`.
QList<qint64> frameEnds(const QString &path)
{
    QList<qint64> ends;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    SystemLog::Spill::SegmentReader reader(fd);
    SystemLog::Spill::FrameRecord record;
    while (reader.next(&record))
        ends << reader.position();
    ::close(fd);
    return ends;
}

bool overwrite(const QString &path, qint64 at, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.seek(at) && file.write(bytes) == bytes.size();
}

int failWith = 0;
SystemLog::SpillIoPoint failAt = SystemLog::SpillIoPoint::Write;
int failingHook(SystemLog::SpillIoPoint point)
{
    return point == failAt ? failWith : 0;
}

} // namespace

class SpillTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void readerResynchronises_data();
    void readerResynchronises();
    void moveIsExactlyOnce_data();
    void moveIsExactlyOnce();
    void diskBound_data();
    void diskBound();
    void failedWriteLeavesNothing_data();
    void failedWriteLeavesNothing();

private:
    std::unique_ptr<ScopedWorkDir> m_dir;
};

void SpillTest::init()
{
    m_dir = std::make_unique<ScopedWorkDir>();
    QVERIFY(m_dir->isValid());
}

void SpillTest::cleanup()
{
    SystemLog::setSpillFaultHook(nullptr);
    m_dir.reset();
}

void SpillTest::readerResynchronises_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QList<int>>("lost"); // the records that cannot be read any more
    QTest::newRow("intact") << QString() << QList<int>();
    QTest::newRow("torn in the last frame") << "tear" << QList<int>{4};
    QTest::newRow("a payload byte changed") << "payload" << QList<int>{2};
    QTest::newRow("a length changed") << "length" << QList<int>{2};
    QTest::newRow("two frames in a row") << "two" << QList<int>{1, 2};
    // The third message holds a well-formed frame of another segment, "ghost", and its own
    // frame's length is damaged: the reader passes over the frame inside the message.
    QTest::newRow("a message holding a frame") << "frame in message" << QList<int>{2};
}

void SpillTest::readerResynchronises()
{
    QFETCH(QString, damage);
    QFETCH(QList<int>, lost);
    QStringList messages = numbered(5);
    QByteArray inner;
    SystemLog::Spill::appendFrame(inner, SystemLog::Spill::frameSeed("other salt"),
                                  {1700000000, 3, "2023-11-15 06:13:20", "ghost"});
    if (damage == QLatin1String("frame in message"))
        messages[2] = QStringLiteral("holds ") + QString::fromLatin1(inner) + QStringLiteral(".");
    const QString path = leftSegment(messages);
    QVERIFY(!path.isEmpty());
    const QList<qint64> ends = frameEnds(path);
    QCOMPARE(ends.size(), 5);
    const qint64 start2 = ends[1];
    if (damage == QLatin1String("tear"))
        QVERIFY(QFile::resize(path, ends[3] + 9));
    else if (damage == QLatin1String("payload"))
        QVERIFY(overwrite(path, start2 + 20, "X"));
    else if (damage == QLatin1String("length") || damage == QLatin1String("frame in message"))
        QVERIFY(overwrite(path, start2, "\x7f"));
    else if (damage == QLatin1String("two"))
        QVERIFY(overwrite(path, ends[0] + 3, "?") && overwrite(path, ends[2] - 1, "?"));

    QStringList expected;
    qint64 skipped = 0;
    for (int i = 0; i < messages.size(); ++i) {
        if (!lost.contains(i))
            expected << messages[i];
        else
            skipped += ends[i] - (i == 0 ? SystemLog::Spill::kHeaderSize : ends[i - 1]);
    }
    if (damage == QLatin1String("tear"))
        skipped = 9;
    const auto listing = SystemLog::Spill::listJournal(kSpill, {});
    QCOMPARE(listing.size(), 1);
    QCOMPARE(spilledMessages(), expected);
    QCOMPARE(listing.first().skipped, skipped);
}

void SpillTest::moveIsExactlyOnce_data()
{
    QTest::addColumn<QString>("journalMode");
    QTest::addColumn<int>("inLog");     // records of the segment the log took before the kill
    QTest::addColumn<bool>("segment");  // the segment is still there
    QTest::addColumn<QString>("marks"); // the table of marks as another program made it, if so
    QTest::addColumn<int>("padding");   // bytes added to each message
    for (const char *mode : {"delete", "wal"}) {
        QTest::addRow("%s: nothing moved yet", mode) << mode << 0 << true << QString() << 0;
        QTest::addRow("%s: killed between two chunks", mode) << mode << 3 << true << QString() << 0;
        QTest::addRow("%s: killed before the removal", mode) << mode << 7 << true << QString() << 0;
        QTest::addRow("%s: killed before the mark was dropped", mode)
            << mode << 7 << false << QString() << 0;
    }
    // Five messages of 9 MiB take three transactions: a second row of the segment's mark must
    // not make the third one start from the first one's mark again.
    QTest::newRow("marks of another program, without a key, offsets as text")
        << "delete" << 0 << true << "CREATE TABLE SpillMarks(segment TEXT, offset TEXT)"
        << (9 << 20);
}

// A kill leaves a segment and the log's mark for it in one of these states; the next service's
// move ends with every record in the log once, no segment and no mark.
void SpillTest::moveIsExactlyOnce()
{
    QFETCH(QString, journalMode);
    QFETCH(int, inLog);
    QFETCH(bool, segment);
    QFETCH(QString, marks);
    QFETCH(int, padding);
    QStringList messages = numbered(padding > 0 ? 5 : 7);
    for (QString &message : messages)
        message += QString(padding, QLatin1Char('p'));
    const QString path = leftSegment(messages);
    QVERIFY(!path.isEmpty());
    const QList<qint64> ends = frameEnds(path);
    {
        AuxDb aux;
        QVERIFY(aux.exec(TestLogFile::tableStatement()));
        QVERIFY(aux.exec(QStringLiteral("PRAGMA journal_mode=%1").arg(journalMode)));
        for (int i = 0; i < inLog; ++i)
            QVERIFY(aux.insertStamped(QStringLiteral("2023-11-15 06:13:20"), 0, messages[i]));
        QVERIFY(aux.exec(marks.isEmpty() ? QStringLiteral("CREATE TABLE SpillMarks(segment TEXT "
                                                          "PRIMARY KEY, offset INTEGER NOT NULL)")
                                         : marks));
        if (inLog > 0)
            QVERIFY(aux.exec(QStringLiteral("INSERT INTO SpillMarks VALUES('%1', %2)")
                                 .arg(QFileInfo(path).fileName())
                                 .arg(ends[inLog - 1])));
    }
    if (!segment)
        QVERIFY(QFile::remove(path));

    QDBSqlite db(kDbFile, QString(), QString());
    QVERIFY(db.createTable());
    SpillJournal journal(kSpill);
    const SystemLog::Spill::SegmentMove move = journal.moveOthers(db.nativeHandle(), 0);
    QCOMPARE(move.state, SystemLog::Spill::SegmentMove::State::Done);
    QCOMPARE(move.moved, segment ? messages.size() - inLog : 0);
    db.close();

    AuxDb aux;
    QStringList stored;
    for (const AuxDb::Row &row : aux.allRows())
        stored << row.message;
    QCOMPARE(stored, messages.mid(0, segment ? messages.size() : inLog));
    QVERIFY(!QFileInfo::exists(path));
    QCOMPARE(aux.scalar(QStringLiteral("SELECT count(*) FROM SpillMarks")).toInt(), 0);
}

void SpillTest::diskBound_data()
{
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<int>("keepFreePercent");
    QTest::addColumn<bool>("takes");
    QTest::newRow("the default") << SpillJournal::kDefaultMaxBytes << 5 << true;
    QTest::newRow("no room for a frame")
        << qint64(SystemLog::Spill::kHeaderSize + 30) << 0 << false;
    QTest::newRow("the whole file system kept free")
        << SpillJournal::kDefaultMaxBytes << 100 << false;
}

void SpillTest::diskBound()
{
    QFETCH(qint64, maxBytes);
    QFETCH(int, keepFreePercent);
    QFETCH(bool, takes);
    const std::list<LogQueueEntry> entries = entriesOf(numbered(10));
    SpillJournal journal(kSpill);
    journal.setLimits(maxBytes, keepFreePercent);
    QString why;
    QCOMPARE(journal.append(entries.cbegin(), entries.cend(), &why), takes ? 10 : 0);
    QCOMPARE(why.contains(QLatin1String("is full")), !takes);
    QCOMPARE(spilledMessages().size(), takes ? 10 : 0);
}

void SpillTest::failedWriteLeavesNothing_data()
{
    QTest::addColumn<int>("point");
    QTest::newRow("the write fails") << int(SystemLog::SpillIoPoint::Write);
    QTest::newRow("the sync fails") << int(SystemLog::SpillIoPoint::Sync);
}

// A batch whose write or sync fails stays with the caller and leaves nothing in the segment, so
// that it is never stored twice; the segment takes the next batch as before.
void SpillTest::failedWriteLeavesNothing()
{
    QFETCH(int, point);
    const std::list<LogQueueEntry> first = entriesOf(numbered(3));
    const std::list<LogQueueEntry> again = entriesOf({QStringLiteral("after the failure")});
    SpillJournal journal(kSpill);
    QString why;
    QCOMPARE(journal.append(first.cbegin(), std::next(first.cbegin()), &why), 1);
    failAt = SystemLog::SpillIoPoint(point);
    failWith = ENOSPC;
    SystemLog::setSpillFaultHook(failingHook);
    QCOMPARE(journal.append(std::next(first.cbegin()), first.cend(), &why), 0);
    QVERIFY2(why.contains(QString::fromLocal8Bit(std::strerror(ENOSPC))), qPrintable(why));
    SystemLog::setSpillFaultHook(nullptr);
    QCOMPARE(journal.append(again.cbegin(), again.cend(), &why), 1);
    QCOMPARE(spilledMessages(),
             QStringList({QStringLiteral("spilled 0"), QStringLiteral("after the failure")}));
}

QTEST_GUILESS_MAIN(SpillTest)
#include "tst_spill.moc"
