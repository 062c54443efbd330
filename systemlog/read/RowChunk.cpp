#include "read/RowChunk.h"

#include "read/LogConnection.h"

#include <sqlite3.h>

namespace SystemLog::RowChunk {

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

void bindTexts(Sqlite::Statement &statement, int first, const std::vector<QByteArray> &texts)
{
    for (size_t i = 0; i < texts.size(); ++i)
        statement.bind(first + int(i),
                       std::string_view(texts[i].constData(), size_t(texts[i].size())));
}

void Chunk::clear()
{
    rows.clear();
    m_bytes.clear();
}

void Chunk::append(const LogRecordView &r)
{
    const size_t at = m_bytes.size();
    m_bytes.append(r.type.text);
    m_bytes.append(r.datetime);
    m_bytes.append(r.message);
    const size_t stampAt = at + r.type.text.size();
    rows.push_back({r.id, r.type.kind, r.type.integer, r.datetimeIsText, at, r.type.text.size(),
                    stampAt, r.datetime.size(), stampAt + r.datetime.size(), r.message.size()});
}

LogRecordView Chunk::view(const Row &row) const
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

size_t completeRows(const Chunk &chunk, qint64 asked)
{
    const bool full = chunk.rows.size() == size_t(asked);
    size_t end = chunk.rows.size();
    while (full && end > 1 && chunk.rows[end - 1].id == chunk.rows.back().id &&
           chunk.rows.front().id != chunk.rows.back().id)
        --end;
    return end;
}

bool read(LogConnection &db, const QByteArray &sql, const std::vector<QByteArray> &texts,
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
    return rc == SQLITE_DONE || db.failCode(rc, QStringLiteral("cannot read"));
}

} // namespace SystemLog::RowChunk
