#include "read/LogReader.h"

#include "read/LogConnection.h"
#include "schema/LogSchema.h"

#include <QByteArray>

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace SystemLog {

namespace {

// Rows read per statement. Each statement holds a read lock only while it steps, and in the
// log's rollback-journal mode a writer cannot commit while a read lock is held: a chunk of this
// size takes a few milliseconds to read. The rows are copied out and the statement reset before
// anyone sees them, so a slow consumer (a full pipe) never holds the lock.
constexpr int kChunkRows = 5000;

constexpr qint64 kLowestId = std::numeric_limits<qint64>::min();

// Beyond this many distinct type values (a file that other programs filled with all kinds of
// values), a listing between bounds walks the ids instead of seeking each value in the index.
constexpr int kMaxSeekedTypes = 64;

// " AND datetime >= ?N AND datetime <= ?M" for the bounds that are set, numbered from `first`;
// the texts to bind go to *texts.
QByteArray boundsFilter(const QString &from, const QString &to, int first,
                        std::vector<QByteArray> *texts)
{
    QByteArray sql;
    if (!from.isEmpty()) {
        sql += " AND datetime >= ?" + QByteArray::number(first + int(texts->size()));
        texts->push_back(from.toUtf8());
    }
    if (!to.isEmpty()) {
        sql += " AND datetime <= ?" + QByteArray::number(first + int(texts->size()));
        texts->push_back(to.toUtf8());
    }
    return sql;
}

void bindTexts(Sqlite::Statement &statement, int first, const std::vector<QByteArray> &texts)
{
    for (size_t i = 0; i < texts.size(); ++i)
        statement.bind(first + int(i),
                       std::string_view(texts[i].constData(), size_t(texts[i].size())));
}

StoredType storedType(const Sqlite::Statement &statement, int column)
{
    StoredType type;
    switch (statement.type(column)) {
    case SQLITE_INTEGER:
        type.kind = StoredType::Kind::Integer;
        type.integer = statement.int64(column);
        break;
    case SQLITE_FLOAT:
        type.kind = StoredType::Kind::Real;
        type.text = statement.text(column);
        break;
    case SQLITE_TEXT:
        type.kind = StoredType::Kind::Text;
        type.text = statement.text(column);
        break;
    case SQLITE_BLOB:
        type.kind = StoredType::Kind::Blob;
        type.text = statement.blob(column);
        break;
    default:
        break;
    }
    return type;
}

// Whether the message contains the text, ignoring case as QString does (Unicode case folding).
// Text and message both in ASCII, the common case, are compared byte by byte without decoding.
bool contains(std::string_view message, const QString &text, const QByteArray &asciiText)
{
    if (!asciiText.isNull() &&
        std::all_of(message.begin(), message.end(), [](char c) { return (c & 0x80) == 0; })) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
        const auto hit =
            std::search(message.begin(), message.end(), asciiText.begin(), asciiText.end(),
                        [&](char a, char b) { return lower(a) == lower(b); });
        return hit != message.end() || asciiText.isEmpty();
    }
    return QString::fromUtf8(message.data(), static_cast<int>(message.size()))
        .contains(text, Qt::CaseInsensitive);
}

// The text as ASCII bytes, or a null array when it holds anything else.
QByteArray asciiOf(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x80)
            return QByteArray();
    }
    QByteArray ascii = text.toLatin1();
    if (ascii.isNull())
        ascii = QByteArray("");
    return ascii;
}

// The lowest id a selection reads: every id when afterId is the lowest value, else the one
// after it; false when no id can follow.
bool firstIdOf(const LogSelection &selection, qint64 *first)
{
    if (selection.afterId == std::numeric_limits<qint64>::max())
        return false;
    *first = selection.afterId == kLowestId ? kLowestId : selection.afterId + 1;
    return true;
}

// The texts a message must all contain, ignoring case; none: every message.
class GrepFilter
{
public:
    explicit GrepFilter(const QStringList &texts)
    {
        for (const QString &text : texts)
            m_terms.push_back({text, asciiOf(text)});
    }
    bool matches(std::string_view message) const
    {
        for (const Term &t : m_terms) {
            if (!contains(message, t.text, t.ascii))
                return false;
        }
        return true;
    }

private:
    struct Term
    {
        QString text;
        QByteArray ascii;
    };
    std::vector<Term> m_terms;
};

// Rows to ask for in the next chunk: without a message filter every row read is delivered, so a
// small limit reads no more than it needs.
qint64 chunkRows(const LogSelection &selection, qint64 delivered)
{
    if (selection.grep.isEmpty() && selection.limit >= 0)
        return std::max<qint64>(1, std::min<qint64>(kChunkRows, selection.limit - delivered));
    return kChunkRows;
}

// A copy of a value read from a statement, to bind to a later one.
struct ValueDeleter
{
    void operator()(sqlite3_value *value) const { sqlite3_value_free(value); }
};
using ValueCopy = std::unique_ptr<sqlite3_value, ValueDeleter>;

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

    void clear()
    {
        rows.clear();
        m_bytes.clear();
    }
    void append(const LogRecordView &r)
    {
        const size_t at = m_bytes.size();
        m_bytes.append(r.type.text);
        m_bytes.append(r.datetime);
        m_bytes.append(r.message);
        const size_t stampAt = at + r.type.text.size();
        rows.push_back({r.id, r.type.kind, r.type.integer, r.datetimeIsText, at, r.type.text.size(),
                        stampAt, r.datetime.size(), stampAt + r.datetime.size(), r.message.size()});
    }
    LogRecordView view(const Row &row) const
    {
        LogRecordView r;
        r.id = row.id;
        r.type.kind = row.kind;
        r.type.integer = row.integer;
        r.datetimeIsText = row.datetimeIsText;
        r.type.text = std::string_view(m_bytes.data() + row.typeAt, row.typeSize);
        r.datetime = std::string_view(m_bytes.data() + row.stampAt, row.stampSize);
        r.message = std::string_view(m_bytes.data() + row.messageAt, row.messageSize);
        return r;
    }

private:
    std::string m_bytes;
};

// The rows of a chunk read with a limit of `asked` rows that can be delivered now: a full chunk
// leaves the rows of its last id to the next one, since a table without a key may hold an id
// more than once and those beyond the chunk would be passed over. (A chunk that holds nothing
// but one id is taken whole: readWholeIds read every row of it.)
size_t completeRows(const Chunk &chunk, qint64 asked)
{
    const bool full = chunk.rows.size() == size_t(asked);
    size_t end = chunk.rows.size();
    while (full && end > 1 && chunk.rows[end - 1].id == chunk.rows.back().id &&
           chunk.rows.front().id != chunk.rows.back().id)
        --end;
    return end;
}

// A walk along the ids of a selection, a chunk at a time, upwards (oldest first) or downwards
// (newest first); NOT INDEXED: along the ids, with no sort. ?1 where a stretch of the walk starts,
// ?2 where it ends (both included), ?3 the rows of a chunk, then the bounds. What it has
// delivered counts over all its stretches.
struct Walk
{
    Walk(const LogSelection &walked, bool downwards)
        : selection(walked), down(downwards), grep(walked.grep)
    {
        sql = QByteArray("SELECT id, datetime, type, message FROM SystemInfo NOT INDEXED WHERE ") +
              (down ? "id <= ?1 AND id >= ?2" : "id >= ?1 AND id <= ?2") +
              boundsFilter(selection.from, selection.to, 4, &texts);
        if (!selection.types.isEmpty())
            sql += " AND " + LogSchema::categoryCondition(selection.types);
        sql += down ? " ORDER BY id DESC LIMIT ?3" : " ORDER BY id LIMIT ?3";
    }

    const LogSelection &selection;
    const bool down;
    const GrepFilter grep;
    QByteArray sql;
    std::vector<QByteArray> texts;
    Chunk chunk;
    qint64 delivered = 0;
    bool stopped = false;
};

} // namespace

class LogReader::Private
{
public:
    LogConnection db;

    bool readFailed(int code) { return db.failCode(code, QStringLiteral("cannot read")); }
    bool distinctTypes(std::vector<ValueCopy> *values, bool *hasNull, bool *tooMany);
    bool spanOf(const QByteArray &typeCondition, const std::vector<ValueCopy> &values,
                const LogSelection &selection, qint64 firstId, qint64 *first, qint64 *last,
                bool *empty);
    bool idSpan(const LogSelection &selection, qint64 *first, qint64 *last, bool *empty);
    bool readChunk(const QByteArray &sql, const std::vector<QByteArray> &texts, qint64 from,
                   qint64 to, Chunk *chunk, qint64 rows = kChunkRows);
    // readChunk, and when the full chunk holds one id only, every row of that id: a table without
    // a key may hold an id more times than a chunk has rows.
    bool readWholeIds(const QByteArray &sql, const std::vector<QByteArray> &texts, qint64 from,
                      qint64 to, Chunk *chunk, qint64 rows);
    // Delivers the chunk's first `end` rows that the selection takes.
    bool deliver(const Chunk &chunk, size_t end, const LogSelection &selection,
                 const GrepFilter &grep, const RowCallback &onRow, qint64 *delivered,
                 bool *stopped);
    // Walks the ids from `start` to `end`, both included, in the walk's direction.
    bool walk(Walk &w, const RowCallback &onRow, qint64 start, qint64 end);
    bool selectNewestFirst(const LogSelection &selection, const RowCallback &onRow);
};

bool LogReader::Private::distinctTypes(std::vector<ValueCopy> *values, bool *hasNull, bool *tooMany)
{
    // One index seek per value: the index on (type, datetime) yields the next value directly,
    // where SELECT DISTINCT would walk every entry. Each value is compared as SQLite orders the
    // column (numbers, then texts, then blobs), so every kind of value moves the walk on.
    values->clear();
    *tooMany = false;
    for (;;) {
        Sqlite::Statement next(
            db.handle(), values->empty() ? "SELECT min(type) FROM SystemInfo"
                                         : "SELECT min(type) FROM SystemInfo WHERE type > ?1");
        if (!values->empty())
            next.bind(1, values->back().get());
        const int rc = next.step();
        if (rc != SQLITE_ROW)
            return readFailed(rc);
        if (next.isNull(0))
            break;
        if (int(values->size()) == kMaxSeekedTypes) {
            *tooMany = true;
            return true;
        }
        values->emplace_back(sqlite3_value_dup(next.value(0)));
        if (!values->back())
            return readFailed(SQLITE_NOMEM);
    }
    qint64 exists = 0;
    const int rc = Sqlite::readNumber(
        db.handle(), "SELECT EXISTS(SELECT 1 FROM SystemInfo WHERE type IS NULL)", &exists);
    if (rc != SQLITE_ROW)
        return readFailed(rc);
    *hasNull = exists != 0;
    return true;
}

bool LogReader::Private::spanOf(const QByteArray &typeCondition,
                                const std::vector<ValueCopy> &values, const LogSelection &selection,
                                qint64 firstId, qint64 *first, qint64 *last, bool *empty)
{
    // ?1: the first id, ?2.. the values, then the bounds.
    std::vector<QByteArray> texts;
    const QByteArray sql =
        "SELECT min(id), max(id) FROM SystemInfo WHERE " + typeCondition + " AND id >= ?1" +
        boundsFilter(selection.from, selection.to, 2 + int(values.size()), &texts);
    Sqlite::Statement span(db.handle(), std::string_view(sql.constData(), size_t(sql.size())));
    span.bind(1, firstId);
    for (size_t i = 0; i < values.size(); ++i)
        span.bind(2 + int(i), values[i].get());
    bindTexts(span, 2 + int(values.size()), texts);
    const int rc = span.step();
    if (rc != SQLITE_ROW)
        return readFailed(rc);
    if (span.isNull(0) || span.isNull(1))
        return true;
    *first = *empty ? span.int64(0) : std::min(*first, span.int64(0));
    *last = *empty ? span.int64(1) : std::max(*last, span.int64(1));
    *empty = false;
    return true;
}

bool LogReader::Private::idSpan(const LogSelection &selection, qint64 *first, qint64 *last,
                                bool *empty)
{
    // The ids between which the selection lies: from the index on (type, datetime) alone when
    // there are bounds, so that the rows read afterwards are those of the selection
    // (a day's records lie together by id) rather than the whole table.
    const bool narrowed = !selection.from.isEmpty() || !selection.to.isEmpty();
    std::vector<ValueCopy> values;
    bool hasNull = false;
    bool tooMany = false;
    *empty = true;
    qint64 firstId = 0;
    if (!firstIdOf(selection, &firstId))
        return true;
    if (narrowed && selection.types.isEmpty() && !distinctTypes(&values, &hasNull, &tooMany))
        return false;
    if (narrowed && !tooMany) {
        if (!selection.types.isEmpty()) {
            QByteArray list;
            for (int type : selection.types)
                list += (list.isEmpty() ? "" : ",") + QByteArray::number(type);
            return spanOf("type IN (" + list + ")", {}, selection, firstId, first, last, empty);
        }
        if (!values.empty()) {
            QByteArray list;
            for (size_t i = 0; i < values.size(); ++i)
                list += (i == 0 ? "?" : ",?") + QByteArray::number(2 + int(i));
            if (!spanOf("type IN (" + list + ")", values, selection, firstId, first, last, empty))
                return false;
        }
        return !hasNull || spanOf("type IS NULL", {}, selection, firstId, first, last, empty);
    }
    // Without bounds (follow's polls), or with too many values to seek, the span runs from
    // afterId to the end, found by rowid; the bounds then apply to each row read.
    qint64 top = 0;
    bool none = true;
    const int rc = Sqlite::readNumber(db.handle(), "SELECT max(id) FROM SystemInfo", &top, &none);
    if (rc != SQLITE_ROW)
        return readFailed(rc);
    *first = firstId;
    *last = top;
    *empty = none || top < firstId;
    return true;
}

bool LogReader::Private::readChunk(const QByteArray &sql, const std::vector<QByteArray> &texts,
                                   qint64 from, qint64 to, Chunk *chunk, qint64 rows)
{
    chunk->clear();
    Sqlite::Statement select(db.handle(), std::string_view(sql.constData(), size_t(sql.size())));
    select.bind(1, from).bind(2, to).bind(3, rows);
    bindTexts(select, 4, texts);
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
        LogRecordView r;
        r.id = select.int64(0);
        r.type = storedType(select, 2);
        // Read before the text: asking for the text converts a number, and the type is lost.
        r.datetimeIsText = select.type(1) == SQLITE_TEXT;
        r.datetime = select.text(1);
        r.message = select.text(3);
        chunk->append(r);
    }
    return rc == SQLITE_DONE || readFailed(rc);
}

bool LogReader::Private::readWholeIds(const QByteArray &sql, const std::vector<QByteArray> &texts,
                                      qint64 from, qint64 to, Chunk *chunk, qint64 rows)
{
    if (!readChunk(sql, texts, from, to, chunk, rows))
        return false;
    // (A chunk cut short by a limit without --grep delivers enough rows: no more are needed.)
    if (rows < kChunkRows || chunk->rows.size() != size_t(rows) ||
        chunk->rows.front().id != chunk->rows.back().id)
        return true;
    const qint64 id = chunk->rows.front().id;
    return readChunk(sql, texts, id, id, chunk, -1); // LIMIT -1: no limit
}

bool LogReader::Private::deliver(const Chunk &chunk, size_t end, const LogSelection &selection,
                                 const GrepFilter &grep, const RowCallback &onRow,
                                 qint64 *delivered, bool *stopped)
{
    for (size_t i = 0; i < end; ++i) {
        const LogRecordView r = chunk.view(chunk.rows[i]);
        if (!grep.matches(r.message))
            continue;
        if (selection.limit >= 0 && *delivered >= selection.limit)
            break;
        ++*delivered;
        if (!onRow(r)) {
            *stopped = true;
            return true;
        }
    }
    *stopped = selection.limit >= 0 && *delivered >= selection.limit;
    return true;
}

bool LogReader::Private::walk(Walk &w, const RowCallback &onRow, qint64 start, qint64 end)
{
    qint64 next = start;
    while (!w.stopped && (w.down ? next >= end : next <= end)) {
        const qint64 rows = chunkRows(w.selection, w.delivered);
        if (!readWholeIds(w.sql, w.texts, next, end, &w.chunk, rows))
            return false;
        const size_t complete = completeRows(w.chunk, rows);
        deliver(w.chunk, complete, w.selection, w.grep, onRow, &w.delivered, &w.stopped);
        if (w.chunk.rows.size() < size_t(rows) || w.stopped)
            break;
        if (complete < w.chunk.rows.size()) {
            next = w.chunk.rows[complete].id;
            continue;
        }
        // The end may be the lowest or the highest id there can be: no step goes past it.
        const qint64 reached = w.chunk.rows.back().id;
        if (reached == end)
            break;
        next = w.down ? reached - 1 : reached + 1;
    }
    return true;
}

bool LogReader::Private::selectNewestFirst(const LogSelection &selection, const RowCallback &onRow)
{
    // The newest ids first, row by row: the last records of most selections (the whole file,
    // today, the last hour) lie there. Only when they do not suffice is the rest of the span
    // looked up on the index on (type, datetime), which costs a walk over the bounds' part of
    // the index but spares reading every newer row of an old range.
    qint64 top = 0;
    bool none = true;
    const int rc = Sqlite::readNumber(db.handle(), "SELECT max(id) FROM SystemInfo", &top, &none);
    if (rc != SQLITE_ROW)
        return readFailed(rc);
    qint64 lowest = 0;
    if (none || !firstIdOf(selection, &lowest))
        return true;
    // (Ids of other programs may lie near the lowest value: no bound wraps round.)
    const qint64 windowBottom =
        std::max(lowest, top < kLowestId + kChunkRows ? kLowestId : top - kChunkRows + 1);
    Walk newestFirst(selection, true);
    if (!walk(newestFirst, onRow, top, windowBottom))
        return false;
    if (newestFirst.stopped || windowBottom <= lowest)
        return true;
    qint64 first = 0;
    qint64 last = 0;
    bool empty = false;
    if (!idSpan(selection, &first, &last, &empty))
        return false;
    return empty ||
           walk(newestFirst, onRow, std::min(last, windowBottom - 1), std::max(lowest, first));
}

LogReader::LogReader() : d(std::make_unique<Private>()) {}

LogReader::~LogReader() = default;

bool LogReader::open(const QString &path)
{
    return d->db.open(path, false);
}

void LogReader::close()
{
    d->db.close();
}

bool LogReader::isOpen() const
{
    return d->db.isOpen();
}

void LogReader::setBusyTimeout(int ms)
{
    d->db.setBusyTimeout(ms);
}

QString LogReader::errorString() const
{
    return d->db.errorString();
}

bool LogReader::lastErrorIsTransient() const
{
    return d->db.lastErrorIsTransient();
}

bool LogReader::select(const LogSelection &selection, const RowCallback &onRow)
{
    if (!d->db.failIfClosed())
        return false;
    if (selection.limit == 0)
        return true;
    if (selection.newestFirst)
        return d->selectNewestFirst(selection, onRow);
    qint64 first = 0;
    qint64 last = 0;
    bool empty = false;
    if (!d->idSpan(selection, &first, &last, &empty))
        return false;
    if (empty)
        return true;

    Walk oldestFirst(selection, false);
    return d->walk(oldestFirst, onRow, first, last);
}

bool LogReader::maxId(qint64 *id)
{
    if (!d->db.failIfClosed())
        return false;
    bool none = true;
    const int rc = Sqlite::readNumber(d->db.handle(), "SELECT max(id) FROM SystemInfo", id, &none);
    if (rc != SQLITE_ROW)
        return d->readFailed(rc);
    if (none)
        *id = 0;
    return true;
}

bool LogReader::selectLast(const LogSelection &selection, int count, qint64 upToId,
                           const RowCallback &onRow)
{
    if (!d->db.failIfClosed())
        return false;
    // Backwards along the ids, a chunk at a time, until enough records match (?2, the upper
    // end of a forward walk, is not used).
    QByteArray sql = "SELECT id, datetime, type, message FROM SystemInfo NOT INDEXED "
                     "WHERE id <= ?1";
    if (!selection.types.isEmpty())
        sql += " AND " + LogSchema::categoryCondition(selection.types);
    sql += " ORDER BY id DESC LIMIT ?3";

    Chunk chunk;
    Chunk found;
    qint64 upTo = upToId;
    const GrepFilter grep(selection.grep);
    while (count > 0 && found.rows.size() < size_t(count)) {
        if (!d->readChunk(sql, {}, upTo, 0, &chunk))
            return false;
        for (const Chunk::Row &row : chunk.rows) {
            const LogRecordView r = chunk.view(row);
            if (!grep.matches(r.message))
                continue;
            found.append(r);
            if (found.rows.size() >= size_t(count))
                break;
        }
        if (chunk.rows.size() < size_t(kChunkRows) || chunk.rows.back().id == kLowestId)
            break;
        upTo = chunk.rows.back().id - 1;
    }
    for (auto it = found.rows.crbegin(); it != found.rows.crend(); ++it) {
        if (!onRow(found.view(*it)))
            break;
    }
    return true;
}

bool LogReader::count(const QString &from, const QString &to, Bucket bucket,
                      QVector<LogCount> *counts)
{
    if (!d->db.failIfClosed())
        return false;
    counts->clear();
    // By stored value: SQLite takes 3 and 3.0 for one value, so the kind is a key of its own,
    // unless the column cannot hold both (the log's own table: a third key costs a fifth more).
    const QByteArray width = bucket == Bucket::Hour ? "13" : "10";
    std::vector<QByteArray> texts;
    const QByteArray keys = d->db.integerTypes() ? "1, 2" : "1, 2, typeof(type)";
    const QByteArray sql =
        "SELECT substr(datetime, 1, " + width + "), type, count(*) FROM SystemInfo WHERE 1" +
        boundsFilter(from, to, 1, &texts) + " GROUP BY " + keys + " ORDER BY " + keys;
    Sqlite::Statement group(d->db.handle(), std::string_view(sql.constData(), size_t(sql.size())));
    bindTexts(group, 1, texts);
    int rc;
    while ((rc = group.step()) == SQLITE_ROW) {
        LogCount c;
        const std::string_view b = group.text(0);
        c.bucket = QString::fromUtf8(b.data(), static_cast<int>(b.size()));
        const StoredType type = storedType(group, 1);
        c.type.kind = type.kind;
        c.type.integer = type.integer;
        c.type.text = QByteArray(type.text.data(), static_cast<int>(type.text.size()));
        c.count = group.int64(2);
        counts->append(c);
    }
    return rc == SQLITE_DONE || d->readFailed(rc);
}

bool LogReader::recordAt(qint64 id, const RowCallback &onRow)
{
    if (!d->db.failIfClosed())
        return false;
    Chunk chunk;
    if (!d->readChunk("SELECT id, datetime, type, message FROM SystemInfo "
                      "WHERE id >= ?1 AND id <= ?2 LIMIT ?3",
                      {}, id, id, &chunk))
        return false;
    for (const Chunk::Row &row : chunk.rows)
        onRow(chunk.view(row));
    return true;
}

bool LogReader::dataVersion(qint64 *version)
{
    if (!d->db.failIfClosed())
        return false;
    const int rc = Sqlite::readNumber(d->db.handle(), "PRAGMA data_version", version);
    return rc == SQLITE_ROW || d->readFailed(rc);
}

} // namespace SystemLog
