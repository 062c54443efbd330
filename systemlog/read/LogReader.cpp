#include "read/LogReader.h"

#include "read/LogReaderPrivate.h"
#include "schema/RecordFilter.h"

#include <sqlite3.h>

#include <limits>
#include <map>
#include <string>

namespace SystemLog {

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
    d->unreadable.clear();
    d->damage.clear();
    if (selection.limit == 0)
        return true;
    // On a damaged file the span is every id of the selection's ids (the index that would
    // narrow it may be what is damaged).
    const qint64 lowest = selection.afterId == std::numeric_limits<qint64>::min()
                              ? selection.afterId
                              : selection.afterId + 1;
    if (selection.newestFirst) {
        Walk newestFirst(selection, true);
        if (d->selectNewestFirst(newestFirst, onRow))
            return true;
        if (!selection.aroundDamage || !d->isDamage() ||
            selection.afterId == std::numeric_limits<qint64>::max())
            return false;
        // The rows below the last one delivered, read around the damage.
        const qint64 end =
            newestFirst.delivered > 0 ? newestFirst.lastDelivered - 1 : selection.upToId;
        return newestFirst.delivered > 0 && newestFirst.lastDelivered == lowest
                   ? true
                   : d->salvageNewestFirst(newestFirst, onRow, lowest, end);
    }
    qint64 first = 0;
    qint64 last = 0;
    bool empty = false;
    if (!d->idSpan(selection, &first, &last, &empty)) {
        if (!selection.aroundDamage || !d->isDamage() ||
            selection.afterId == std::numeric_limits<qint64>::max())
            return false;
        first = lowest;
        last = selection.upToId;
        empty = last < first;
    }
    if (empty)
        return true;

    Walk oldestFirst(selection, false);
    if (d->walk(oldestFirst, onRow, first, last))
        return true;
    return selection.aroundDamage && d->isDamage() &&
           d->salvage(oldestFirst, onRow, oldestFirst.at, last);
}

QVector<LogReader::IdRange> LogReader::unreadableIds() const
{
    return d->unreadable;
}

QString LogReader::damage() const
{
    return d->unreadable.isEmpty() ? QString() : d->damage;
}

bool LogReader::maxId(qint64 *id, bool *none)
{
    if (!d->db.failIfClosed())
        return false;
    bool empty = true;
    if (!d->topId(id, &empty))
        return false;
    if (empty)
        *id = 0;
    if (none)
        *none = empty;
    return true;
}

bool LogReader::selectLast(const LogSelection &selection, int count, qint64 upToId,
                           const RowCallback &onRow)
{
    if (!d->db.failIfClosed())
        return false;
    // Backwards along the ids, a chunk at a time, until enough records match (?2, the upper
    // end of a forward walk, is not used).
    const QByteArray sql = "SELECT id, datetime, type, message FROM SystemInfo NOT INDEXED "
                           "WHERE id <= ?1" +
                           RecordFilter::typeCondition(selection.types) +
                           " ORDER BY id DESC LIMIT ?3";
    RowChunk::Chunk chunk;
    RowChunk::Chunk found;
    qint64 upTo = upToId;
    const MessageGrep grep(selection.grep, selection.pattern);
    while (count > 0 && found.rows.size() < size_t(count)) {
        if (!RowChunk::read(d->db, sql, {}, upTo, 0, &chunk))
            return false;
        for (const RowChunk::Chunk::Row &row : chunk.rows) {
            const LogRecordView r = chunk.view(row);
            if (!grep.matches(r.message))
                continue;
            found.append(r);
            if (found.rows.size() >= size_t(count))
                break;
        }
        if (chunk.rows.size() < size_t(RowChunk::kChunkRows) ||
            chunk.rows.back().id == std::numeric_limits<qint64>::min())
            break;
        upTo = chunk.rows.back().id - 1;
    }
    for (auto it = found.rows.crbegin(); it != found.rows.crend(); ++it) {
        if (!onRow(found.view(*it)))
            break;
    }
    return true;
}

namespace {

// The first `characters` characters of a text, counted as SQLite's substr() counts them: a byte
// from 0xc0 on with the continuation bytes after it is one, any other byte is one, and a NUL
// ends the text.
std::string_view leading(std::string_view text, size_t characters)
{
    size_t at = 0;
    for (size_t n = 0; n < characters && at < text.size() && text[at] != '\0'; ++n) {
        if (static_cast<unsigned char>(text[at++]) < 0xc0)
            continue;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xc0) == 0x80)
            ++at;
    }
    return text.substr(0, at);
}

// Counts the rows of `rows` (type, datetime) per type and bucket (the stamp's first `width`
// characters) in C++ rather than by SQL's GROUP BY, which sorts every row first: read along the
// index on (type, datetime), each type's buckets come together, so nearly every row only adds
// one to the count before. Only for integer types and text stamps, the log's own rows; *other is
// set at the first row of another kind, and nothing is counted.
int countRows(Sqlite::Statement &rows, size_t width, QVector<LogCount> *counts, bool *other)
{
    std::map<std::pair<std::string, qint64>, qint64> found;
    auto last = found.end();
    int rc;
    while ((rc = rows.step()) == SQLITE_ROW) {
        if (rows.type(0) != SQLITE_INTEGER || rows.type(1) != SQLITE_TEXT) {
            *other = true;
            return SQLITE_DONE;
        }
        const qint64 type = rows.int64(0);
        const std::string_view bucket = leading(rows.text(1), width);
        if (last == found.end() || last->first.second != type || last->first.first != bucket)
            last = found.emplace(std::make_pair(std::string(bucket), type), 0).first;
        ++last->second;
    }
    for (const auto &entry : found) {
        LogCount c;
        c.bucket = QString::fromUtf8(entry.first.first.data(), int(entry.first.first.size()));
        c.type.kind = StoredType::Kind::Integer;
        c.type.integer = entry.first.second;
        c.count = entry.second;
        counts->append(c);
    }
    return rc;
}

} // namespace

bool LogReader::count(const QString &from, const QString &to, Bucket bucket,
                      QVector<LogCount> *counts)
{
    if (!d->db.failIfClosed())
        return false;
    counts->clear();
    const QByteArray width = bucket == Bucket::Hour ? "13" : "10";
    const RecordFilter::Span span = RecordFilter::Span::openWhereEmpty(from, to);
    {
        std::vector<QByteArray> texts;
        const QByteArray sql = "SELECT type, datetime FROM SystemInfo WHERE 1" +
                               RecordFilter::spanCondition(span, 1, &texts, "+datetime");
        Sqlite::Statement rows(d->db.handle(),
                               std::string_view(sql.constData(), size_t(sql.size())));
        RowChunk::bindTexts(rows, 1, texts);
        bool other = false;
        const int rc = countRows(rows, bucket == Bucket::Hour ? 13 : 10, counts, &other);
        if (rc != SQLITE_DONE)
            return d->readFailed(rc);
        if (!other)
            return true;
        counts->clear();
    }
    // Rows of other kinds, by SQL.
    // By stored value: SQLite takes 3 and 3.0 for one value, so the kind is a key of its own,
    // unless the column cannot hold both (the log's own table: a third key costs a fifth more).
    std::vector<QByteArray> texts;
    const QByteArray keys = d->db.integerTypes() ? "1, 2" : "1, 2, typeof(type)";
    const QByteArray sql =
        "SELECT substr(datetime, 1, " + width + "), type, count(*) FROM SystemInfo WHERE 1" +
        RecordFilter::spanCondition(span, 1, &texts) + " GROUP BY " + keys + " ORDER BY " + keys;
    Sqlite::Statement group(d->db.handle(), std::string_view(sql.constData(), size_t(sql.size())));
    RowChunk::bindTexts(group, 1, texts);
    int rc;
    while ((rc = group.step()) == SQLITE_ROW) {
        LogCount c;
        const std::string_view b = group.text(0);
        c.bucket = QString::fromUtf8(b.data(), static_cast<int>(b.size()));
        const StoredType type = RowChunk::storedType(group, 1);
        c.type.kind = type.kind;
        c.type.integer = type.integer;
        c.type.text = QByteArray(type.text.data(), static_cast<int>(type.text.size()));
        c.count = group.int64(2);
        counts->append(c);
    }
    return rc == SQLITE_DONE || d->readFailed(rc);
}

bool LogReader::countByStamp(const LogSelection &selection, int prefixLength,
                             QVector<QPair<QString, qint64>> *counts)
{
    if (!d->db.failIfClosed())
        return false;
    counts->clear();
    // The same filter as the listing's, in the index on (type, datetime), which holds the ids.
    std::vector<QByteArray> texts;
    const QByteArray sql =
        "SELECT substr(datetime, 1, " + QByteArray::number(prefixLength) +
        "), count(*) FROM SystemInfo WHERE id > ?1 AND id <= ?2" +
        RecordFilter::spanCondition(
            RecordFilter::Span::openWhereEmpty(selection.from, selection.to), 3, &texts) +
        RecordFilter::typeCondition(selection.types) + " GROUP BY 1 ORDER BY 1";
    Sqlite::Statement group(d->db.handle(), std::string_view(sql.constData(), size_t(sql.size())));
    group.bind(1, selection.afterId).bind(2, selection.upToId);
    RowChunk::bindTexts(group, 3, texts);
    int rc;
    while ((rc = group.step()) == SQLITE_ROW) {
        const std::string_view stamp = group.text(0);
        counts->append(
            {QString::fromUtf8(stamp.data(), static_cast<int>(stamp.size())), group.int64(1)});
    }
    return rc == SQLITE_DONE || d->readFailed(rc);
}

bool LogReader::recordAt(qint64 id, const RowCallback &onRow)
{
    if (!d->db.failIfClosed())
        return false;
    RowChunk::Chunk chunk;
    if (!RowChunk::read(d->db,
                        "SELECT id, datetime, type, message FROM SystemInfo "
                        "WHERE id >= ?1 AND id <= ?2 LIMIT ?3",
                        {}, id, id, &chunk))
        return false;
    for (const RowChunk::Chunk::Row &row : chunk.rows)
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
