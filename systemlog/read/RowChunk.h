#pragma once

// The rows of one statement of a reading, copied out of SQLite before anyone sees them: each
// statement holds a read lock only while it steps, and in the log's rollback-journal mode a
// writer cannot commit while a read lock is held. Internal to the library.

#include "read/LogReader.h"

#include <QByteArray>

#include <string>
#include <vector>

namespace SystemLog {

class LogConnection;

namespace Sqlite {
class Statement;
}

namespace RowChunk {

// Rows read per statement: a chunk of this size takes a few milliseconds to read. The rows are
// copied out and the statement reset before anyone sees them, so that a slow consumer (a full
// pipe) never holds the lock.
constexpr int kChunkRows = 5000;

// The stored value of a type column (see StoredType), as the statement holds it.
StoredType storedType(const Sqlite::Statement &statement, int column);

void bindTexts(Sqlite::Statement &statement, int first, const std::vector<QByteArray> &texts);

// The rows of one chunk: their texts back to back in one buffer.
class Chunk
{
public:
    struct Row
    {
        qint64 id;
        StoredType::Kind kind;
        qint64 integer;
        bool datetimeIsText;
        size_t typeAt, typeSize, stampAt, stampSize, messageAt, messageSize;
    };
    std::vector<Row> rows;

    void clear();
    void append(const LogRecordView &r);
    LogRecordView view(const Row &row) const;

private:
    std::string m_bytes;
};

// The rows of a chunk read with a limit of `asked` rows that can be delivered now: a full chunk
// leaves the rows of its last id to the next one, since a table without a key may hold an id
// more than once and those beyond the chunk would be passed over. (A chunk that holds nothing
// but one id is taken whole: readWholeIds read every row of it.)
size_t completeRows(const Chunk &chunk, qint64 asked);

// Runs `sql` (columns id, datetime, type, message; ?1 and ?2 the ids where it starts and ends,
// ?3 the rows to read, then the texts) into *chunk. A failure is recorded on `db`.
bool read(LogConnection &db, const QByteArray &sql, const std::vector<QByteArray> &texts,
          qint64 from, qint64 to, Chunk *chunk, qint64 rows = kChunkRows);

} // namespace RowChunk
} // namespace SystemLog
