// LogReader::selectKeys: the ids and stamps of a selection, read from the index on
// (type, datetime) alone, a chunk at a time.

#include "read/LogReaderPrivate.h"

#include "schema/RecordFilter.h"

#include <sqlite3.h>

#include <string>
#include <vector>

namespace SystemLog {

namespace {

// Index entries per statement: a chunk takes a few tens of milliseconds to read, so that a
// writer waits no longer than that for the reader's lock.
constexpr qint64 kKeyChunk = 65536;

// The two statements of a key scan: the first chunk from the selection's lower bound, every later
// one from the stamp where the last one ended, past the ids it took of that stamp. ?1 the highest
// id, ?2 the rows of a chunk, then the bounds; a later chunk's lower bound is that stamp instead
// of the selection's, so that the index is entered right there.
class KeyStatements
{
public:
    explicit KeyStatements(const LogSelection &selection) : m_upToId(selection.upToId)
    {
        const RecordFilter::Span span =
            RecordFilter::Span::openWhereEmpty(selection.from, selection.to);
        const QByteArray head = "SELECT datetime, id FROM SystemInfo WHERE id <= ?1" +
                                RecordFilter::typeCondition(selection.types);
        const QByteArray order = " ORDER BY datetime, id LIMIT ?2";
        m_first = head + RecordFilter::spanCondition(span, 3, &m_texts) + order;
        const QByteArray below = RecordFilter::spanCondition({std::nullopt, span.to}, 4, &m_upper);
        m_lastIdAt = 4 + int(m_upper.size());
        m_next = head + " AND datetime >= ?3" + below + " AND NOT (datetime = ?3 AND id <= ?" +
                 QByteArray::number(m_lastIdAt) + ")" + order;
    }

    // The statement of the chunk after (lastStamp, lastId), or of the first without lastStamp.
    std::string_view sql(const ValueCopy &lastStamp) const
    {
        const QByteArray &sql = lastStamp ? m_next : m_first;
        return std::string_view(sql.constData(), size_t(sql.size()));
    }
    void bind(Sqlite::Statement &chunk, const ValueCopy &lastStamp, qint64 lastId) const
    {
        chunk.bind(1, m_upToId).bind(2, kKeyChunk);
        if (lastStamp) {
            chunk.bind(3, lastStamp.get());
            RowChunk::bindTexts(chunk, 4, m_upper);
            chunk.bind(m_lastIdAt, lastId);
        } else {
            RowChunk::bindTexts(chunk, 3, m_texts);
        }
    }

private:
    qint64 m_upToId;
    QByteArray m_first, m_next;
    std::vector<QByteArray> m_texts, m_upper;
    int m_lastIdAt = 0;
};

// The keys of one chunk, read before any is handed over, so that the statement ends first.
struct KeyChunk
{
    std::vector<qint64> ids;
    std::string stamps;
    std::vector<size_t> ends;

    void clear()
    {
        ids.clear();
        stamps.clear();
        ends.clear();
    }
    bool full() const { return qint64(ids.size()) == kKeyChunk; }
    // Hands the keys over in order; false when onKey asked to stop.
    bool handOver(const LogReader::KeyCallback &onKey) const
    {
        size_t begin = 0;
        for (size_t i = 0; i < ids.size(); ++i) {
            if (!onKey(ids[i], std::string_view(stamps.data() + begin, ends[i] - begin)))
                return false;
            begin = ends[i];
        }
        return true;
    }
};

} // namespace

bool LogReader::selectKeys(const LogSelection &selection, const KeyCallback &onKey)
{
    if (!d->db.failIfClosed())
        return false;
    // In stamp then id order, which the index yields without sorting.
    const KeyStatements statements(selection);
    ValueCopy lastStamp;
    qint64 lastId = 0;
    KeyChunk keys;
    for (bool more = true; more;) {
        Sqlite::Statement chunk(d->db.handle(), statements.sql(lastStamp));
        statements.bind(chunk, lastStamp, lastId);
        keys.clear();
        int rc;
        while ((rc = chunk.step()) == SQLITE_ROW) {
            // Where the next chunk goes on: the last entry's stamp as stored (a text, or another
            // program's number), taken before its text is asked for, which converts a number.
            if (qint64(keys.ids.size()) + 1 == kKeyChunk) {
                lastStamp.reset(sqlite3_value_dup(chunk.value(0)));
                lastId = chunk.int64(1);
                if (!lastStamp)
                    return d->readFailed(SQLITE_NOMEM);
            }
            keys.ids.push_back(chunk.int64(1));
            keys.stamps.append(chunk.text(0));
            keys.ends.push_back(keys.stamps.size());
        }
        if (rc != SQLITE_DONE)
            return d->readFailed(rc);
        more = keys.full();
        if (!keys.handOver(onKey))
            return true;
    }
    return true;
}

} // namespace SystemLog
