#include "spill/SegmentMover.h"

#include "spill/SegmentReader.h"
#include "spill/SpillDir.h"
#include "spill/TakenMark.h"
#include "sqlite/Sqlite.h"
#include "store/StampedInsert.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStringList>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>

namespace SystemLog::Spill {

namespace {

// One transaction takes at most this many records or bytes of messages, so that the log is
// never held for long and a chunk's pages fit the connection's cache.
constexpr int kChunkRecords = 20000;
constexpr qint64 kChunkBytes = 16 << 20;

const char kCreateMarks[] =
    "CREATE TABLE IF NOT EXISTS SpillMarks(segment TEXT PRIMARY KEY, offset INTEGER NOT NULL)";

std::string_view utf8(const QByteArray &bytes)
{
    return std::string_view(bytes.constData(), std::size_t(bytes.size()));
}

// The offset up to which the log holds the segment's records (0: none yet); SQLITE_ROW or
// SQLITE_DONE, or the failure.
int readMark(sqlite3 *db, const QByteArray &segment, qint64 *offset)
{
    // Another program's table of that name may hold several rows of a segment, or offsets as
    // text: the furthest one counts.
    Sqlite::Statement mark(
        db, "SELECT max(CAST(offset AS INTEGER)) FROM SpillMarks WHERE segment = ?1");
    const int rc = mark.bind(1, utf8(segment)).step();
    *offset = rc == SQLITE_ROW && !mark.isNull(0) ? mark.int64(0) : 0;
    return rc;
}

// What one chunk did.
struct Chunk
{
    int rc = SQLITE_OK;
    QString what;
    bool end = false; // the segment holds nothing more up to the limit
};

// The log was moved away under the move: what it had taken is kept beside the segment, for the
// log that takes its place. Read on the connection still open on the moved file, in the
// transaction that found it moved.
void keepMarkOfMovedLog(sqlite3 *db, SpillDir &dir, const QString &name, const QByteArray &segment)
{
    qint64 mark = 0;
    if (readMark(db, segment, &mark) == SQLITE_ROW && mark > readTakenMark(dir.fd(), name))
        writeTakenMark(dir, name, mark);
}

// The records one chunk stored, or refused one by one.
struct ChunkRecords
{
    int taken = 0;
    int rejected = 0;
    QSqlError rejection; // the first refusal
};

// Where the chunk starts: the log's own mark, or the one kept beside the segment when a log that
// took part of it was replaced since (the rest only). SQLITE_ROW or SQLITE_DONE, or the failure.
int startMark(sqlite3 *db, SpillDir &dir, const QString &name, const QByteArray &segment,
              qint64 *mark)
{
    int rc = Sqlite::exec(db, kCreateMarks);
    *mark = 0;
    if (rc == SQLITE_DONE)
        rc = readMark(db, segment, mark);
    *mark = qMax(*mark, readTakenMark(dir.fd(), name));
    return rc;
}

// Inserts the segment's records from where the reader stands, up to the chunk's bounds;
// SQLITE_DONE, or the failure that fails the chunk.
int insertRecords(sqlite3 *db, StampedInsert &insert, SegmentReader &reader, ChunkRecords *records)
{
    qint64 bytes = 0;
    FrameRecord record;
    while (records->taken + records->rejected < kChunkRecords && bytes < kChunkBytes &&
           reader.next(&record)) {
        const int rc = insert.add(record.stamp, record.type, record.message);
        bytes += qint64(record.message.size());
        if (rc == SQLITE_DONE) {
            ++records->taken;
            continue;
        }
        const QSqlError e = Sqlite::error(db, rc, QStringLiteral("Unable to store a record"));
        if (StampedInsert::failsTheBatch(rc, Sqlite::extendedCodeOf(e)))
            return rc;
        if (!records->rejection.isValid())
            records->rejection = e;
        ++records->rejected;
    }
    return SQLITE_DONE;
}

// The log's mark of the segment: one row per segment, whatever keys the table has.
int writeMark(sqlite3 *db, const QByteArray &segment, qint64 offset)
{
    Sqlite::Statement forget(db, "DELETE FROM SpillMarks WHERE segment = ?1");
    int rc = forget.bind(1, utf8(segment)).run();
    if (rc == SQLITE_DONE) {
        Sqlite::Statement remember(db, "INSERT INTO SpillMarks(segment, offset) VALUES(?1, ?2)");
        rc = remember.bind(1, utf8(segment)).bind(2, offset).run();
    }
    return rc;
}

// A committed chunk counted into the move.
void count(const ChunkRecords &records, const SegmentReader &reader, qint64 skippedBefore,
           SegmentMove *out)
{
    out->moved += records.taken;
    out->rejected += records.rejected;
    if (!out->rejection.isValid())
        out->rejection = records.rejection;
    if (reader.skipped() > skippedBefore) {
        out->skipped += reader.skipped() - skippedBefore;
        out->skippedAt = reader.lastSkipAt();
    }
}

// One transaction: the records from the mark on, and the new mark.
Chunk moveChunk(sqlite3 *db, SpillDir &dir, const QString &name, const QByteArray &segment,
                SegmentReader &reader, SegmentMove *out)
{
    Chunk chunk;
    const auto failed = [&](int rc, const char *what) {
        chunk.rc = rc;
        chunk.what = QString::fromLatin1(what);
        return chunk;
    };
    Sqlite::Transaction transaction(db);
    if (transaction.rc() != SQLITE_OK)
        return failed(transaction.rc(), "Unable to begin transaction");
    if (Sqlite::hasMoved(db)) {
        keepMarkOfMovedLog(db, dir, name, segment);
        out->logMoved = true;
        return failed(SQLITE_IOERR, "");
    }
    qint64 mark = 0;
    int rc = startMark(db, dir, name, segment, &mark);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return failed(rc, "Unable to read the spill marks");
    reader.seek(mark);
    StampedInsert insert(db);
    if (insert.rc() != SQLITE_OK)
        return failed(insert.rc(), "Unable to prepare the insert");
    const qint64 skippedBefore = reader.skipped();
    ChunkRecords records;
    rc = insertRecords(db, insert, reader, &records);
    if (rc != SQLITE_DONE)
        return failed(rc, "Unable to move records");
    if (reader.error() != 0)
        return failed(SQLITE_IOERR, "Unable to read a spill segment");
    chunk.end = reader.position() >= reader.limit();
    if (reader.position() == qMax<qint64>(mark, kHeaderSize) &&
        records.taken + records.rejected == 0)
        return chunk; // nothing new: the transaction changes nothing
    rc = writeMark(db, segment, reader.position());
    if (rc != SQLITE_DONE)
        return failed(rc, "Unable to mark the spill segment");
    rc = transaction.commit();
    if (rc != SQLITE_OK)
        return failed(rc, "Unable to commit");
    // Kept for a log that replaces this one. Without it (a full disk) the log's own mark still
    // counts while the log stays.
    writeTakenMark(dir, name, reader.position());
    count(records, reader, skippedBefore, out);
    return chunk;
}

} // namespace

SegmentMove moveSegment(sqlite3 *db, SpillDir &dir, const QString &name, int fd, qint64 limit,
                        int budgetMs)
{
    SegmentMove out;
    SegmentReader reader(fd, limit);
    if (reader.header() != HeaderCheck::Sound) {
        out.error = QSqlError(QString(), QStringLiteral("%1 has no sound header").arg(name),
                              QSqlError::ConnectionError);
        return out;
    }
    const QByteArray segment = QFile::encodeName(name);
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const Chunk chunk = moveChunk(db, dir, name, segment, reader, &out);
        if (chunk.rc != SQLITE_OK) {
            if (!out.logMoved)
                out.error = Sqlite::error(db, chunk.rc, chunk.what);
            out.state = SegmentMove::State::Failed;
            return out;
        }
        if (chunk.end) {
            out.state = SegmentMove::State::Done;
            return out;
        }
        if (budgetMs > 0 && clock.elapsed() >= budgetMs) {
            out.state = SegmentMove::State::Partial;
            return out;
        }
    }
}

int dropMark(sqlite3 *db, const QString &name)
{
    qint64 tables = 0;
    int rc = Sqlite::readNumber(
        db, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='SpillMarks'", &tables);
    if (rc != SQLITE_ROW || tables == 0)
        return rc == SQLITE_ROW ? SQLITE_OK : rc;
    Sqlite::Statement drop(db, "DELETE FROM SpillMarks WHERE segment = ?1");
    rc = drop.bind(1, utf8(QFile::encodeName(name))).run();
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int dropStaleMarks(sqlite3 *db, SpillDir &dir)
{
    qint64 tables = 0;
    int rc = Sqlite::readNumber(
        db, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='SpillMarks'", &tables);
    if (rc != SQLITE_ROW || tables == 0)
        return rc == SQLITE_ROW ? SQLITE_OK : rc;
    QStringList marked;
    {
        Sqlite::Statement marks(db, "SELECT segment FROM SpillMarks");
        while ((rc = marks.step()) == SQLITE_ROW) {
            const std::string_view name = marks.text(0);
            marked << QString::fromUtf8(name.data(), int(name.size()));
        }
        if (rc != SQLITE_DONE)
            return rc;
    }
    QStringList stale;
    for (const QString &name : marked) {
        struct stat st;
        if (::fstatat(dir.fd(), QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) !=
                0 &&
            errno == ENOENT)
            stale << name;
    }
    if (stale.isEmpty())
        return SQLITE_OK;
    if (dir.sync() != 0)
        return SQLITE_IOERR;
    for (const QString &name : stale) {
        rc = dropMark(db, name);
        if (rc != SQLITE_OK)
            return rc;
    }
    return SQLITE_OK;
}

} // namespace SystemLog::Spill
